"""The module against the programs on photographs: the same list, byte for
byte, and the same drawing."""
import numpy as np
import pytest

import lintrace
from conftest import PHOTOS

# (keyword arguments of trace, the program's switches for the same settings)
SETTINGS = [
    ({}, []),
    ({"sigma": 1.0}, ["-s", "1.0"]),
    ({"sigma": 1.0, "subpixel": True}, ["-s", "1.0", "-sp"]),
    ({"sigma": 2.0, "low": 3, "high": 6}, ["-s", "2.0", "-lt", "3", "-ht", "6"]),
    ({"sigma": 1.5, "low": 0.7, "high": 2.3, "subpixel": True}, ["-s", "1.5", "-lt", "0.7", "-ht", "2.3", "-sp"]),
    # thresholds that are not exact in single precision, read as the program reads them
    ({"sigma": 1.0, "low": 1.1, "high": 4.1}, ["-s", "1.0", "-lt", "1.1", "-ht", "4.1"]),
    ({"sigma": float(np.float32(0.7)), "threads": 1}, ["-s", "0.7"]),
]


@pytest.mark.parametrize("name", PHOTOS)
@pytest.mark.parametrize("settings,switches", SETTINGS)
def test_an_8_bit_array_gives_the_programs_list(photo, lintrace_program, tmp_path, name, settings, switches):
    path, image = photo(name)
    edges = lintrace.trace(image, **settings)
    expected = lintrace_program(path, *switches)
    assert edges.to_list() == expected
    edges.write_list(tmp_path / "written.list")
    assert (tmp_path / "written.list").read_bytes() == expected


@pytest.mark.parametrize("switches", [["-s", "1.0"], ["-s", "2.0", "-sp"]])
@pytest.mark.parametrize("length", [0, 5, 20])
def test_paint_draws_the_raster_linpaint_draws(photo, lintrace_program, linpaint_program, tmp_path, switches, length):
    path, image = photo("chelsea")
    edges = lintrace.trace(image, sigma=float(switches[1]), subpixel="-sp" in switches)
    list_path = tmp_path / "chelsea.list"
    list_path.write_bytes(lintrace_program(path, *switches))
    rows, columns = image.shape
    expected = linpaint_program(list_path, rows, columns, "-l", str(length), tmp=tmp_path)
    drawing = lintrace.paint(edges, min_length=length)
    assert drawing.dtype == np.uint8 and drawing.shape == image.shape
    assert np.array_equal(drawing, expected)
    # Edges read back from the list draw the same, also on a canvas of another size.
    read = lintrace.read_list(list_path)
    assert np.array_equal(lintrace.paint(read, image.shape, length), expected)
    smaller = linpaint_program(list_path, rows // 2, columns + 7, "-l", str(length), tmp=tmp_path)
    assert np.array_equal(lintrace.paint(read, (rows // 2, columns + 7), length), smaller)


@pytest.mark.parametrize("switches", [["-s", "1.0"], ["-s", "1.0", "-sp"]])
def test_a_list_read_back_gives_its_bytes_and_the_traced_positions(photo, lintrace_program, tmp_path, switches):
    path, image = photo("coffee")
    text = lintrace_program(path, *switches)
    (tmp_path / "coffee.list").write_bytes(text)
    read = lintrace.read_list(tmp_path / "coffee.list")
    traced = lintrace.trace(image, sigma=1.0, subpixel="-sp" in switches)
    assert read.to_list() == text
    assert read.subpixel == traced.subpixel
    assert np.array_equal(read.offsets, traced.offsets)
    # The list holds two decimals, or one for sub-pixel positions.
    tolerance = 0.05 if traced.subpixel else 0
    assert np.abs(read.points - traced.points).max() <= tolerance
