"""What trace() takes: every memory layout and sample type gives the list of
the same grey levels packed as plain 8-bit rows or as float64; colour is
traced on its luma; everything else is refused with its reason."""
import numpy as np
import pytest

import lintrace


@pytest.fixture(scope="module")
def grey(photo):
    return photo("chelsea")[1]


def two_bytes(a):
    """16-bit samples whose two bytes always differ (a above, 37 a + 11
    below: 36 a + 11 is odd, never a multiple of 256), so that a byte order
    taken the wrong way round gives another image, not its negative (as 255 -
    a below would: the same edges)."""
    a = a.astype(np.uint16)
    return (a << 8) | ((a * 37 + 11) & 255)


def big_endian(a):
    return a.astype(">u2")


def unaligned(a):
    buffer = np.zeros(a.size * 2 + 1, np.uint8)
    view = np.frombuffer(buffer.data, np.uint16, a.size, offset=1).reshape(a.shape)
    view[...] = a
    return view


def padded_rows(a):
    wide = np.zeros((a.shape[0], a.shape[1] + 13), a.dtype)
    wide[:, 5:5 + a.shape[1]] = a
    return wide[:, 5:5 + a.shape[1]]


# (name, what the grey array becomes, the same grey levels as a packed array)
LAYOUTS = [
    ("rows upside down", lambda a: a[::-1], lambda a: np.ascontiguousarray(a[::-1])),
    ("columns mirrored", lambda a: a[:, ::-1], lambda a: np.ascontiguousarray(a[:, ::-1])),
    ("every other row, every third column", lambda a: a[::2, ::3], lambda a: np.ascontiguousarray(a[::2, ::3])),
    ("transposed", lambda a: a.T, lambda a: np.ascontiguousarray(a.T)),
    ("column-major", np.asfortranarray, lambda a: a),
    ("rows inside wider rows", padded_rows, lambda a: a),
    ("one row repeated (row stride 0)", lambda a: np.broadcast_to(a[100], a.shape),
     lambda a: np.ascontiguousarray(np.broadcast_to(a[100], a.shape))),
    ("uint16 of the same levels", lambda a: a.astype(np.uint16) * 257, lambda a: a),
    ("big-endian uint16", lambda a: big_endian(two_bytes(a)), two_bytes),
    ("unaligned uint16", lambda a: unaligned(two_bytes(a)), two_bytes),
    ("big-endian float64 levels", lambda a: (a / 255.0).astype(">f8"), lambda a: a),
    ("float32 levels 0..1", lambda a: a.astype(np.float32) / np.float32(255), lambda a: a),
    ("float64 levels 0..1", lambda a: a / 255.0, lambda a: a),
    ("float64 levels 0..1, every other column", lambda a: (a / 255.0)[:, ::2], lambda a: np.ascontiguousarray(a[:, ::2])),
    ("one channel", lambda a: a[:, :, np.newaxis], lambda a: a),
    ("grey and opaque alpha", lambda a: np.dstack([a, np.full_like(a, 255)]), lambda a: a),
    ("nested lists of numbers", lambda a: (a[:40, :50] / 255.0).tolist(), lambda a: a[:40, :50]),
]


@pytest.mark.parametrize("name,given,packed", LAYOUTS, ids=[row[0] for row in LAYOUTS])
@pytest.mark.parametrize("subpixel", [False, True])
def test_every_layout_and_type_traces_the_same_grey_levels(grey, name, given, packed, subpixel):
    expected = lintrace.trace(packed(grey), sigma=1.0, subpixel=subpixel)
    assert lintrace.trace(given(grey), sigma=1.0, subpixel=subpixel).to_list() == expected.to_list()


def levels(a, maxval):
    return a.astype(np.float64) * 255.0 / maxval


# (samples, maxval, the grey levels they stand for, in the library's order of operations)
SCALES = [
    (lambda a: (a.astype(np.uint16) * 4) | 3, 1023, lambda a: levels((a.astype(np.uint16) * 4) | 3, 1023)),
    (lambda a: a, 100, lambda a: levels(a, 100)),
    (lambda a: a.astype(np.uint16) * 200, None, lambda a: levels(a.astype(np.uint16) * 200, 65535)),
]


@pytest.mark.parametrize("samples,maxval,grey_levels", SCALES)
def test_integer_samples_are_scaled_by_maxval(grey, samples, maxval, grey_levels):
    traced = lintrace.trace(samples(grey), sigma=1.0, maxval=maxval)
    assert traced.to_list() == lintrace.trace(grey_levels(grey), sigma=1.0, maxval=255).to_list()
    assert len(traced) > 100


def luma(rgb):
    r, g, b = (rgb[:, :, k].astype(np.float64) for k in range(3))
    return 0.299 * r + 0.587 * g + 0.114 * b


def test_colour_is_traced_on_its_luma_with_alpha_over_white(grey):
    rng = np.random.default_rng(14)
    rgb = np.dstack([grey, np.roll(grey, 7, axis=1), 255 - grey]).astype(np.uint8)
    expected = lintrace.trace(luma(rgb), sigma=1.0, subpixel=True, maxval=255)
    assert lintrace.trace(rgb, sigma=1.0, subpixel=True).to_list() == expected.to_list()
    assert lintrace.trace(rgb.astype(np.uint16) * 257, sigma=1.0, subpixel=True).to_list() == expected.to_list()

    alpha = rng.integers(0, 256, grey.shape, dtype=np.uint8)
    a = alpha.astype(np.float64) / 255.0
    over_white = luma(rgb) * a + 255.0 * (1.0 - a)
    rgba = np.dstack([rgb, alpha])
    assert lintrace.trace(rgba, sigma=1.0).to_list() == lintrace.trace(over_white, sigma=1.0, maxval=255).to_list()


# (what is traced, its settings, the exception, words of its message)
REFUSED = [
    (lambda a: a.astype(np.int32), {}, TypeError, "int32"),
    (lambda a: a > 100, {}, TypeError, "bool"),
    (lambda a: "not an image", {}, TypeError, "<U12"),
    (lambda a: a.astype(np.complex64), {}, TypeError, "complex64"),
    (lambda a: a[0], {}, ValueError, "1-D"),
    (lambda a: a[np.newaxis, :, :, np.newaxis], {}, ValueError, "4-D"),
    (lambda a: np.dstack([a] * 5), {}, ValueError, "(300, 451, 5)"),
    (lambda a: a.astype(np.float64), {}, ValueError,
     "grey levels from 0 (black) to 1 (white), as in scikit-image, unless maxval gives the largest value; "
     "the sample at row 0, column 0 is 125: pass maxval=255 for grey levels on the 0..255 scale"),
    (lambda a: np.where(np.arange(a.shape[1]) == 17, 1.5, a / 255.0), {}, ValueError,
     "the sample at row 0, column 17 is 1.5"),
    (lambda a: a / 255.0, {"maxval": 0.0}, ValueError, "maxval must be a positive finite number, not 0"),
    (lambda a: a / 255.0, {"maxval": float("inf")}, ValueError, "maxval must be a positive finite number, not inf"),
    (lambda a: a / 255.0, {"sigma": 1.0, "maxval": float("nan")}, ValueError,
     "maxval must be a positive finite number, not nan"),
    (lambda a: a, {"maxval": 0}, ValueError, "largest sample value"),
    (lambda a: a, {"sigma": 0}, ValueError, "sigma must be a positive finite number"),
    (lambda a: a, {"sigma": float("nan")}, ValueError, "sigma must be a positive finite number"),
    (lambda a: a, {"sigma": 1e300}, ValueError, "sigma 1e+300 is too large: its mask size does not fit an int"),
    (lambda a: a, {"sigma": -1e-300}, ValueError, "sigma must be a positive finite number, not -1e-300"),
    (lambda a: a, {"threads": -1}, ValueError, "threads must not be negative"),
    (lambda a: a, {"threads": 10**6}, ValueError, "threads must be at most 1024, not 1000000"),
    (lambda a: a, {"sigma": "1.0"}, TypeError, "incompatible"),
]


@pytest.mark.parametrize("image,settings,error,words", REFUSED, ids=[row[3] for row in REFUSED])
def test_what_cannot_be_traced_is_refused_with_its_reason(grey, image, settings, error, words):
    with pytest.raises(error) as raised:
        lintrace.trace(image(grey), **settings)
    assert words in str(raised.value)


def with_sample(a, row, column, value, channels=1):
    image = np.repeat((a / 255.0)[:, :, np.newaxis], channels, axis=2) if channels > 1 else a / 255.0
    image = image.astype(np.float32) if np.isnan(value) else image
    image[(row, column) + ((channels - 1,) if channels > 1 else ())] = value
    return image


# (the image, the first sample that is not a finite number as the message names it)
NOT_FINITE = [
    (lambda a: with_sample(a, 7, 30, np.nan), "row 7, column 30 is not a finite number (nan)"),
    (lambda a: with_sample(a, 0, 1, np.inf), "row 0, column 1 is not a finite number (inf)"),
    (lambda a: with_sample(with_sample(a, 250, 3, -np.inf), 9, 9, 0.5), "row 250, column 3 is not a finite number (-inf)"),
    (lambda a: with_sample(a, 12, 4, np.nan, channels=3), "row 12, column 4, channel 2 is not a finite number (nan)"),
    (lambda a: with_sample(a, 12, 4, np.inf, channels=4), "row 12, column 4, channel 3 is not a finite number (inf)"),
]


@pytest.mark.parametrize("image,words", NOT_FINITE, ids=[row[1] for row in NOT_FINITE])
@pytest.mark.parametrize("maxval", [None, 255])
def test_a_sample_that_is_not_a_finite_number_is_refused_where_it_lies(grey, image, words, maxval):
    with pytest.raises(ValueError) as raised:
        lintrace.trace(image(grey), maxval=maxval)
    assert str(raised.value) == "image sample at " + words
    with pytest.raises(ValueError) as raised:
        lintrace.auto_thresholds(image(grey), maxval=maxval)
    assert str(raised.value) == "image sample at " + words


def test_memory_exhaustion_is_a_memory_error():
    # A terapixel image whose rows are all one row: the detector cannot hold its records.
    row = np.zeros(1 << 20, np.uint8)
    row[::2] = 255
    with pytest.raises(MemoryError):
        lintrace.trace(np.broadcast_to(row, (1 << 20, 1 << 20)))
    # Samples that must be packed first: numpy cannot make the copy.
    with pytest.raises(MemoryError):
        lintrace.trace(np.broadcast_to(np.uint8(0), (1 << 20, 1 << 20)))
    # Floating-point samples are made grey levels in a copy first.
    with pytest.raises(MemoryError):
        lintrace.trace(np.broadcast_to(np.zeros(1 << 20), (1 << 20, 1 << 20)))


def test_empty_images_have_no_edges():
    for shape in [(0, 0), (0, 5), (5, 0), (1, 1)]:
        edges = lintrace.trace(np.zeros(shape, np.uint8))
        assert len(edges) == 0 and edges.to_list() == b"" and edges.points.shape == (0, 2)
