"""lintrace.read reads every format the program reads, and tracing what it
gives is tracing the file."""
import os

import numpy as np
import pytest

import lintrace
from conftest import DATA, PHOTOS


def netpbm(path, magic, image, maxval, raster):
    rows, columns = image.shape[:2]
    with open(path, "wb") as f:
        f.write(b"%s\n# written by the test\n%d %d\n" % (magic, columns, rows))
        if maxval is not None:
            f.write(b"%d\n" % maxval)
        f.write(raster)


def with_pil(path, image, **options):
    Image = pytest.importorskip("PIL.Image", reason="PIL (python3-pil) writes the PNG, JPEG and TIFF files")
    Image.fromarray(image).save(path, **options)


# (file name, how it is written from a grey photograph, the array read gives back or None)
FILES = [
    ("grey.pgm", lambda p, a: netpbm(p, b"P5", a, 255, a.tobytes()), lambda a: a),
    ("colour.ppm", lambda p, a: netpbm(p, b"P6", a, 255, np.dstack([a, a[::-1], 255 - a]).tobytes()),
     lambda a: np.dstack([a, a[::-1], 255 - a])),
    ("twelve-bit.pgm", lambda p, a: netpbm(p, b"P5", a, 4095, (a.astype(">u2") * 16).tobytes()),
     lambda a: (a.astype(np.uint16) * 16) * 255.0 / 4095 / 255.0),
    ("sixteen-bit.pgm", lambda p, a: netpbm(p, b"P5", a, 65535, (a.astype(">u2") * 257).tobytes()),
     lambda a: a.astype(np.uint16) * 257),
    ("bits.pbm", lambda p, a: netpbm(p, b"P4", a, None, np.packbits(a < 128, axis=1).tobytes()),
     lambda a: (a >= 128) * 1.0),
    ("grey.png", lambda p, a: with_pil(p, a), lambda a: a),
    ("rgba.png", lambda p, a: with_pil(p, np.dstack([a, a, a, 255 - a // 2])),
     lambda a: np.dstack([a, a, a, 255 - a // 2])),
    ("photo.jpg", lambda p, a: with_pil(p, a, quality=90), None),
    ("photo.tif", lambda p, a: with_pil(p, a), lambda a: a),
]


@pytest.mark.parametrize("name,write,expected", FILES, ids=[row[0] for row in FILES])
def test_reading_a_file_is_reading_it_as_the_program_does(photo, lintrace_program, tmp_path, name, write, expected):
    image = photo("chelsea")[1]
    path = str(tmp_path / name)
    write(path, image)
    read = lintrace.read(path)
    if expected is not None:
        want = expected(image)
        assert read.dtype == want.dtype and np.array_equal(read, want)
    for switches, settings in [(["-s", "1.0"], {"sigma": 1.0}), (["-s", "2.0", "-sp"], {"sigma": 2.0, "subpixel": True})]:
        assert lintrace.trace(read, **settings).to_list() == lintrace_program(path, *switches)


def test_what_cannot_be_read_is_refused_with_its_reason(tmp_path):
    with pytest.raises(FileNotFoundError):
        lintrace.read(tmp_path / "missing.png")
    (tmp_path / "text.png").write_text("not an image")
    with pytest.raises(ValueError, match="unknown format"):
        lintrace.read(tmp_path / "text.png")
    with open(os.path.join(DATA, PHOTOS[0] + ".pgm"), "rb") as f:
        (tmp_path / "cut.pgm").write_bytes(f.read()[:5000])
    with pytest.raises(ValueError, match="truncated"):
        lintrace.read(tmp_path / "cut.pgm")


def test_a_page_and_a_pixel_limit_are_taken_as_the_program_takes_them(tmp_path):
    Image = pytest.importorskip("PIL.Image", reason="Pillow (python3-pil) is not installed")
    pages = [np.full((20, 30), v, np.uint8) for v in (10, 120, 240)]
    path = tmp_path / "pages.tif"
    Image.fromarray(pages[0]).save(path, save_all=True, append_images=[Image.fromarray(p) for p in pages[1:]])
    for k, page in enumerate(pages):
        np.testing.assert_array_equal(lintrace.read(path, page=k), page)
    with pytest.raises(ValueError, match=r"has no page 4 \(it has 3 pages\)"):
        lintrace.read(path, page=3)
    with pytest.raises(ValueError, match="counted from 0"):
        lintrace.read(path, page=-1)
    with pytest.raises(ValueError, match="larger than the limit of 599 pixels"):
        lintrace.read(path, max_pixels=599)
    assert lintrace.read(path, max_pixels=600).shape == (20, 30)
