"""The Edges object, and connectivity lists read and drawn as linpaint reads
and draws them."""
import pickle

import numpy as np
import pytest

import lintrace


@pytest.fixture(scope="module")
def traced(photo):
    return {mode: lintrace.trace(photo("camera")[1], sigma=1.0, subpixel=mode) for mode in (False, True)}


@pytest.mark.parametrize("subpixel", [False, True])
def test_edges_are_the_lists_blocks_in_order(traced, subpixel):
    edges = traced[subpixel]
    points, offsets = edges.points, edges.offsets
    assert points.dtype == np.float64 and points.shape == (offsets[-1], 2)
    assert offsets.dtype == np.int64 and offsets.shape == (len(edges) + 1,) and offsets[0] == 0
    assert np.all(np.diff(offsets) >= 1)
    blocks = edges.to_list().decode().split("-1 -1\n")[:-1]
    assert len(blocks) == len(edges)
    decimals = 1 if subpixel else 2
    for k in (0, 1, len(edges) // 2, len(edges) - 1):
        text = "".join("%.*f %.*f\n" % (decimals, x, decimals, y) for x, y in edges[k])
        assert text == blocks[k]
    iterated = list(edges)
    assert len(iterated) == len(edges)
    assert all(np.array_equal(e, points[offsets[k]:offsets[k + 1]]) for k, e in enumerate(iterated))
    assert np.array_equal(edges[-1], iterated[-1])
    with pytest.raises(IndexError):
        edges[len(edges)]


def test_the_flags_say_where_edges_end(traced):
    edges = traced[False]
    for flags in (edges.closed, edges.starts_at_junction, edges.ends_at_junction):
        assert flags.dtype == np.bool_ and flags.shape == (len(edges),) and flags.any()
    # A junction stands next to the edge's first chain point.
    for k in np.flatnonzero(edges.starts_at_junction)[:50]:
        assert np.abs(edges[k][0] - edges[k][1]).max() == 1


def test_arrays_are_read_only_views_that_keep_their_edges(photo):
    edges = lintrace.trace(photo("coffee")[1], sigma=1.0)
    points, closed, first = edges.points, edges.closed, edges[0]
    expected = points.copy()
    del edges
    for array in (points, closed, first):
        with pytest.raises(ValueError):
            array[0] = 0
    assert np.array_equal(points, expected) and np.array_equal(first, expected[:len(first)])


@pytest.mark.parametrize("subpixel", [False, True])
def test_pickled_edges_come_back_whole(traced, subpixel):
    edges = traced[subpixel]
    back = pickle.loads(pickle.dumps(edges))
    assert back.to_list() == edges.to_list() and back.shape == edges.shape and back.subpixel == subpixel
    for name in ("points", "offsets", "closed", "starts_at_junction", "ends_at_junction"):
        assert np.array_equal(getattr(back, name), getattr(edges, name))
    assert np.array_equal(lintrace.paint(back), lintrace.paint(edges))


# (the text of a list, the edges read from it, its first edge's first point when there is one)
LISTS = [
    ("", 0, None),
    (" \n\t\n", 0, None),
    ("1.00 2.00\n3.00 4.00\n-1 -1\n", 1, (1, 2)),
    ("1 2 3 4 -1 -1 5 6 -1 -1", 2, (1, 2)),
    ("1 2\n-1 -1\n7 8\n", 1, (1, 2)),                   # the last edge is not closed: dropped
    ("1 2\n-1 -1\n7", 1, (1, 2)),                       # a lone number ends the input
    ("-1 -1\n-1 -1\n", 2, None),                        # empty edges
    ("+1.5 0x1p3\n-1.000000001 -1\n", 1, (1.5, 8)),     # as strtod reads; -1 in single precision
    ("-1 5\n-1 -1\n", 1, (-1, 5)),                      # only one number -1: a point
]


@pytest.mark.parametrize("text,count,first", LISTS)
def test_lists_are_read_as_linpaint_reads_them(tmp_path, text, count, first):
    path = tmp_path / "edges.list"
    path.write_text(text)
    edges = lintrace.read_list(str(path))
    assert len(edges) == count and edges.shape is None and edges.closed is None
    if first is not None:
        assert tuple(edges.points[0]) == first


# (a list, rows, columns, minimum length)
DRAWN = [
    ("12.96 40.5\n0 0\n-0.5 -0.9\n3.99 3.99\n-1 -1\n", 50, 20, 0),   # truncation toward zero
    ("1 1\n2 2\n3 3\n4 4\n-1 -1\n5 5\n6 6\n7 7\n8 8\n9 9\n-1 -1\n", 10, 10, 5),  # 4 points skipped
    ("100 1\n1 100\n-1.5 2\n2 -1.5\n19.99 9.99\n-1 -1\n", 10, 20, 1),  # outside the image
    ("1 1\n-1 -1\n-1 -1\n2 2\n-1 -1\n", 3, 3, -4),                     # any length, empty edges
    ("0.0 0.0\n9.9 0.0\n0.0 2.9\n-1 -1\n", 3, 10, 2),
]


@pytest.mark.parametrize("text,rows,columns,length", DRAWN)
def test_hand_made_lists_are_drawn_as_linpaint_draws_them(tmp_path, linpaint_program, text, rows, columns, length):
    path = tmp_path / "edges.list"
    path.write_text(text)
    expected = linpaint_program(path, rows, columns, "-l", str(length), tmp=tmp_path)
    assert expected.any()
    assert np.array_equal(lintrace.paint(lintrace.read_list(path), (rows, columns), min_length=length), expected)


@pytest.mark.parametrize("length", [1, 2])
def test_positions_are_drawn_as_the_list_writes_them(tmp_path, linpaint_program, length):
    # More decimals than a list has: 0.996 is written 1.00, and -1.004 -1 becomes a pair that closes an edge.
    path = tmp_path / "edges.list"
    path.write_text("0.996 1.004\n-1.004 -1\n2 2\n-1 -1\n")
    edges = lintrace.read_list(path)
    (tmp_path / "written.list").write_bytes(edges.to_list())
    expected = linpaint_program(tmp_path / "written.list", 4, 4, "-l", str(length), tmp=tmp_path)
    assert np.array_equal(lintrace.paint(edges, (4, 4), length), expected)
    assert expected.sum() == (2 * 255 if length == 1 else 0)


def test_thresholds_are_read_in_single_precision():
    # The largest magnitude M of a small image lies between two neighbouring floats F <= M < G;
    # a threshold just below their midpoint is F to the program, and keeps M's point, one just
    # above it is G, and keeps none, wherever M is between them.
    image = np.random.default_rng(5).integers(0, 256, (12, 12)).astype(np.uint8)

    def has_edges(threshold):
        return len(lintrace.trace(image, low=threshold, high=threshold).points) > 0

    low, high = 0, int(np.float32(1000).view(np.int32))  # the bits of floats with and without edges
    assert has_edges(0) and not has_edges(1000)
    while high - low > 1:
        middle = (low + high) // 2
        if has_edges(float(np.int32(middle).view(np.float32))):
            low = middle
        else:
            high = middle
    f, g = (float(np.int32(bits).view(np.float32)) for bits in (low, high))
    halfway = (f + g) / 2
    assert has_edges(np.nextafter(halfway, 0)) and not has_edges(np.nextafter(halfway, np.inf))


def test_lists_and_drawings_refused_with_their_reasons(tmp_path, traced):
    with pytest.raises(FileNotFoundError) as missing:
        lintrace.read_list(tmp_path / "missing.list")
    assert missing.value.filename == tmp_path / "missing.list"
    with pytest.raises(IsADirectoryError) as directory:
        lintrace.read_list(tmp_path)
    assert directory.value.filename == tmp_path
    corrupt = tmp_path / "corrupt.list"
    corrupt.write_text("1 2\n3 x4\n-1 -1\n")
    with pytest.raises(IsADirectoryError) as directory:
        traced[False].write_list(tmp_path)
    assert directory.value.filename == tmp_path
    with pytest.raises(ValueError, match='corrupt.list is corrupt: "x4" is not a number'):
        lintrace.read_list(corrupt)
    corrupt.write_text("1 2\n-1 -1\n")
    for shape, words in [((0, 5), "positive"), ((5, -1), "positive"), ((5,), "shape is"), (None, "give paint")]:
        with pytest.raises(ValueError, match=words):
            lintrace.paint(lintrace.read_list(corrupt), shape)
    with pytest.raises(MemoryError):
        lintrace.paint(traced[False], (1 << 30, 1 << 30))


def test_refined_points_are_the_subpixel_points_moved(photo, traced):
    plain = traced[True]
    refined = lintrace.trace(photo("camera")[1], sigma=1.0, subpixel=True, refine=True)
    assert np.array_equal(refined.offsets, plain.offsets)
    placed = np.any(plain.points != 0, axis=1)  # a junction where no candidate stood is (0, 0) in both
    assert np.array_equal(refined.points[~placed], plain.points[~placed])
    # beside its pixel: a crossing under a pixel away, moved by the curve at most half a pixel
    assert np.all(np.abs(refined.points[placed] - traced[False].points[placed]) <= 1.5)
    assert np.count_nonzero(np.any(refined.points != plain.points, axis=1)) > len(plain.points) // 2
    with pytest.raises(ValueError, match="refine moves the sub-pixel positions: it needs sub_pixel"):
        lintrace.trace(photo("camera")[1], sigma=1.0, refine=True)
