"""What the program does, the module does: its thresholds of --auto, the
gradient at the points, every output format byte for byte; floating-point
images on scikit-image's scale; and the edges as the libraries of other
ecosystems take them, read back with those libraries."""
import json
import os
import signal
import stat
import subprocess

import numpy as np
import pytest

import lintrace
from conftest import PHOTOS, program


def run_program(*arguments):
    return subprocess.run([program("lintrace"), *arguments], capture_output=True, check=True)


# (the program's switches, the keywords of trace and auto_thresholds)
AUTO = [
    (["--auto"], {"fraction": 0.7, "sigma": 0.4}),
    (["-s", "1.0", "--auto", "0.9"], {"fraction": 0.9, "sigma": 1.0}),
    (["-s", "2.0", "--auto", "0.5", "-sp"], {"fraction": 0.5, "sigma": 2.0, "subpixel": True}),
]


@pytest.mark.parametrize("name", PHOTOS[:2])
@pytest.mark.parametrize("switches,settings", AUTO)
def test_auto_thresholds_are_the_programs(photo, tmp_path, name, switches, settings):
    path, image = photo(name)
    done = run_program("-i", path, "-o", "-", *switches)
    low, high = lintrace.auto_thresholds(image, settings["fraction"], sigma=settings["sigma"])
    assert done.stderr.decode() == "lintrace: -lt %.9g -ht %.9g\n" % (low, high)
    traced = lintrace.trace(image, sigma=settings["sigma"], low=low, high=high, subpixel=settings.get("subpixel", False))
    assert traced.to_list() == done.stdout
    # The same thresholds for the image given on scikit-image's scale.
    assert lintrace.auto_thresholds(image / 255.0, settings["fraction"], sigma=settings["sigma"]) == (low, high)


def test_auto_thresholds_refuse_a_fraction_outside_0_to_1(photo):
    for fraction in [0, -0.5, 1.5, float("nan")]:
        with pytest.raises(ValueError, match="fraction must be a number above 0 and at most 1, not "):
            lintrace.auto_thresholds(photo("camera")[1], fraction)


# (the ending or format, the program's switches for that output)
FORMATS = [
    ("edges.svg", None, []),
    ("edges.geojson", None, []),
    ("edges.csv", None, []),
    ("edges.list", None, []),
    ("edges.txt", "geojson", ["--format", "geojson"]),
    ("edges.out", "CSV", ["--format", "csv"]),
    ("edges.svg", "list", ["--format", "list"]),
]


@pytest.mark.parametrize("name,format,switches", FORMATS)
@pytest.mark.parametrize("subpixel", [False, True])
def test_every_format_is_written_as_the_program_writes_it(photo, tmp_path, name, format, switches, subpixel):
    path, image = photo("chelsea")
    flags = ["-s", "1.0"] + (["-sp"] if subpixel else [])
    expected = tmp_path / ("program-" + name)
    run_program("-i", path, "-o", str(expected), *flags, *switches)
    # The program keeps the gradient for the formats that write it.
    wants_gradient = (format or name.rsplit(".", 1)[1]).lower() in ("geojson", "csv")
    edges = lintrace.trace(image, sigma=1.0, subpixel=subpixel, gradient=wants_gradient)
    written = tmp_path / name
    written.write_bytes(b"the file that was there")
    edges.write(written, format=format)
    assert written.read_bytes() == expected.read_bytes()
    assert sorted(os.listdir(tmp_path)) == sorted([name, "program-" + name])  # no temporary left


def test_a_write_that_fails_names_the_file_and_leaves_what_was_there(photo, tmp_path):
    edges = lintrace.trace(photo("camera")[1])
    with pytest.raises(FileNotFoundError) as missing:
        edges.write(tmp_path / "no such folder" / "edges.svg")
    assert missing.value.filename == tmp_path / "no such folder" / "edges.svg"
    with pytest.raises(ValueError, match="format is list, svg, geojson, csv or dxf, not 'png'"):
        edges.write(tmp_path / "edges.png", format="png")
    assert not (tmp_path / "edges.png").exists()
    with pytest.raises(ValueError, match="precision"):
        edges.write(tmp_path / "edges.svg", precision=40)
    assert not (tmp_path / "edges.svg").exists()
    with pytest.raises(OSError) as full:
        edges.write("/dev/full", format="geojson")
    assert full.value.filename == "/dev/full" and "No space left" in str(full.value)
    if os.geteuid() != 0:
        folder = tmp_path / "read-only"
        folder.mkdir()
        (folder / "edges.csv").write_bytes(b"kept")
        folder.chmod(stat.S_IRUSR | stat.S_IXUSR)
        with pytest.raises(PermissionError):
            edges.write(folder / "edges.csv")
        assert (folder / "edges.csv").read_bytes() == b"kept"


def test_reading_and_writing_leave_the_interpreters_signal_handlers_as_they_were(photo, tmp_path):
    watched = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGBUS, signal.SIGPIPE)
    before = {s: signal.getsignal(s) for s in watched}
    path, image = photo("camera")
    edges = lintrace.trace(lintrace.read(path))
    edges.write(tmp_path / "edges.svg")
    edges.write(tmp_path / "edges.svg")  # a replace, too
    assert {s: signal.getsignal(s) for s in watched} == before


def test_the_gradient_is_kept_at_every_point_when_asked(photo):
    image = photo("coffee")[1]
    plain = lintrace.trace(image, sigma=1.0)
    kept = lintrace.trace(image, sigma=1.0, gradient=True)
    assert plain.magnitudes is None and plain.directions is None
    assert kept.to_list() == plain.to_list()
    assert kept.magnitudes.shape == kept.directions.shape == (len(kept.points),)
    assert kept.magnitudes.min() > 0 and np.abs(kept.directions).max() <= np.pi
    # A vertical step from dark to light, left to right: the gradient points along +x.
    step = np.zeros((40, 40), np.uint8)
    step[:, 20:] = 200
    edges = lintrace.trace(step, sigma=1.0, gradient=True)
    assert len(edges) > 0 and np.allclose(edges.directions, 0) and np.all(edges.magnitudes > 10)
    assert lintrace.trace(np.zeros((0, 0), np.uint8), gradient=True).magnitudes.shape == (0,)


# (the photograph made floating point, the keywords of trace)
FLOAT_IMAGES = [
    ("divided by 255", lambda a: a / 255.0, {}),
    ("float32 divided by 255", lambda a: a.astype(np.float32) / np.float32(255), {}),
    ("grey levels with maxval=255", lambda a: a.astype(np.float64), {"maxval": 255}),
    ("12-bit levels with maxval=4095", lambda a: a * (4095 / 255.0), {"maxval": 4095}),
]


@pytest.mark.parametrize("name", PHOTOS)
@pytest.mark.parametrize("what,made,keywords", FLOAT_IMAGES, ids=[row[0] for row in FLOAT_IMAGES])
def test_floating_point_images_trace_as_their_8_bit_source(photo, name, what, made, keywords):
    image = photo(name)[1]
    expected = lintrace.trace(image, sigma=0.4).to_list()
    assert lintrace.trace(made(image), sigma=0.4, **keywords).to_list() == expected


@pytest.mark.parametrize("name", PHOTOS)
def test_scikit_image_floats_trace_as_their_source(photo, name):
    skimage = pytest.importorskip("skimage", reason="scikit-image (python3-skimage) makes the float images")
    image = photo(name)[1]
    for sigma, subpixel in [(0.4, False), (1.0, True)]:
        expected = lintrace.trace(image, sigma=sigma, subpixel=subpixel).to_list()
        for made in [skimage.img_as_float(image), skimage.img_as_float32(image),
                     skimage.img_as_float(image.astype(np.uint16) * 257)]:
            assert lintrace.trace(made, sigma=sigma, subpixel=subpixel).to_list() == expected


def disk(radius=40.0, size=121):
    y, x = np.mgrid[0:size, 0:size]
    centre = (size - 1) / 2
    return np.where(np.hypot(x - centre, y - centre) <= radius, 200, 30).astype(np.uint8), centre


@pytest.fixture(scope="module")
def traced_photo(photo):
    return {subpixel: lintrace.trace(photo("astronaut")[1], sigma=1.0, subpixel=subpixel)
            for subpixel in (False, True)}


@pytest.mark.parametrize("subpixel", [False, True])
def test_opencv_contours_are_the_edges_in_opencvs_layout(traced_photo, subpixel):
    cv2 = pytest.importorskip("cv2", reason="OpenCV (python3-opencv) reads the contours")
    edges = traced_photo[subpixel]
    contours = edges.to_opencv()
    assert len(contours) == len(edges)
    assert {c.dtype for c in contours} == {np.dtype(np.float32 if subpixel else np.int32)}
    for k in [0, len(edges) // 2, len(edges) - 1]:
        assert contours[k].shape == (len(edges[k]), 1, 2) and np.array_equal(contours[k][:, 0, :], edges[k].astype(contours[k].dtype))
    if not subpixel:
        # Drawn by OpenCV one pixel wide: exactly the pixels of the edges.
        drawn = np.zeros(edges.shape, np.uint8)
        cv2.drawContours(drawn, contours, -1, 255, 1)
        painted = lintrace.paint(edges, min_length=1)
        assert np.all(drawn[painted > 0] == 255)
        assert cv2.arcLength(contours[0], bool(edges.closed[0])) > 0


@pytest.mark.parametrize("subpixel", [False, True])
def test_an_ellipse_fitted_by_opencv_to_a_traced_disk_has_its_radius(subpixel):
    cv2 = pytest.importorskip("cv2", reason="OpenCV (python3-opencv) fits the ellipse")
    image, centre = disk(40.0)
    edges = lintrace.trace(image, sigma=1.0, subpixel=subpixel)
    ring = max(edges.to_opencv(), key=len)
    (x, y), (width, height), _ = cv2.fitEllipse(ring.astype(np.float32))
    assert abs(x - centre) < 0.1 and abs(y - centre) < 0.1
    assert abs(width / 2 - 40.0) < 0.6 and abs(height / 2 - 40.0) < 0.6


def test_skimage_contours_are_rows_and_columns_closed_as_find_contours_closes_them(traced_photo):
    edges = traced_photo[True]
    contours = edges.to_skimage()
    assert len(contours) == len(edges) and edges.closed.any() and not edges.closed.all()
    for k, contour in enumerate(contours):
        assert contour.dtype == np.float64
        if edges.closed[k]:
            assert np.array_equal(contour[:-1], edges[k][:, ::-1]) and np.array_equal(contour[-1], contour[0])
        else:
            assert np.array_equal(contour, edges[k][:, ::-1])
    measure = pytest.importorskip("skimage.measure", reason="scikit-image (python3-skimage) reads the contours")
    # The disk's ring as scikit-image measures it: its area is the disk's.
    image, centre = disk(40.0)
    ring = max(lintrace.trace(image, sigma=1.0, subpixel=True).to_skimage(), key=len)
    found = max(measure.find_contours(image, 115), key=len)
    assert ring.shape[1] == found.shape[1] == 2
    assert np.array_equal(ring[0], ring[-1]) and np.array_equal(found[0], found[-1])

    def area(contour):  # the shoelace formula, over a contour that repeats its first point
        r, c = contour[:, 0], contour[:, 1]
        return abs(np.sum(r[:-1] * c[1:] - r[1:] * c[:-1])) / 2

    assert abs(area(ring) - np.pi * 40.0 ** 2) < 60 and abs(area(found) - np.pi * 40.0 ** 2) < 60


def test_shapely_geometries_are_rings_for_closed_edges(traced_photo):
    geometry = pytest.importorskip("shapely.geometry", reason="shapely (python3-shapely) makes the geometries")
    for edges in traced_photo.values():
        shapes = edges.to_shapely()
        assert len(shapes) == len(edges)
        counts = np.diff(edges.offsets)
        for k, shape in enumerate(shapes):
            if counts[k] == 1:
                assert shape.geom_type == "Point"
            elif edges.closed[k] and counts[k] >= 3:
                assert shape.geom_type == "LinearRing" and shape.is_ring
                assert geometry.Polygon(shape).area > 0
            else:
                assert shape.geom_type == "LineString"
            assert np.array_equal(np.asarray(shape.coords)[:counts[k]], edges[k])
        assert sum(s.geom_type == "LinearRing" for s in shapes) > 10
        assert all(s.is_valid for s in shapes if s.geom_type == "LineString")
    ring = max(lintrace.trace(disk(40.0)[0], sigma=1.0, subpixel=True).to_shapely(), key=lambda s: s.length)
    assert ring.is_ring and ring.is_valid and abs(geometry.Polygon(ring).area - np.pi * 40.0 ** 2) < 60


def test_geopandas_has_a_row_per_edge_with_the_facts_of_the_geojson(photo, tmp_path):
    geopandas = pytest.importorskip("geopandas", reason="geopandas (python3-geopandas) makes the table")
    edges = lintrace.trace(photo("camera")[1], sigma=1.0, subpixel=True, gradient=True)
    table = edges.to_geopandas()
    assert table.crs is None and len(table) == len(edges)
    path = tmp_path / "edges.geojson"
    edges.write(path)
    features = json.loads(path.read_text())["features"]
    for column in ["index", "points", "closed", "starts_at_junction", "ends_at_junction", "length", "mean_magnitude"]:
        assert table[column].tolist() == [f["properties"][column] for f in features], column
    read = geopandas.read_file(path)
    assert len(read) == len(table)
    assert np.allclose(read["length"], table["length"], rtol=0, atol=1e-9)
    open_edges = ~table["closed"].to_numpy(bool)
    assert all(a.equals(b) for a, b in zip(read.geometry[open_edges], table.geometry[open_edges]))
    labelled = edges.to_geopandas(crs="EPSG:3857")
    assert labelled.crs.to_epsg() == 3857
    # Edges read from a list do not know their flags.
    edges.write(tmp_path / "edges.list")
    unknown = lintrace.read_list(tmp_path / "edges.list").to_geopandas()
    assert unknown["closed"].isna().all() and "mean_magnitude" not in unknown


def test_napari_shapes_are_rows_and_columns_with_paths_and_polygons(traced_photo):
    edges = traced_photo[False]
    data, shape_type = edges.to_napari()
    assert len(data) == len(shape_type) == len(edges)
    counts = np.diff(edges.offsets)
    for k in range(len(edges)):
        if counts[k] == 1:
            assert shape_type[k] == "path" and np.array_equal(data[k], np.repeat(edges[k][:, ::-1], 2, axis=0))
        else:
            assert np.array_equal(data[k], edges[k][:, ::-1])
            assert shape_type[k] == ("polygon" if edges.closed[k] and counts[k] >= 3 else "path")
    assert set(shape_type) == {"path", "polygon"}
    napari = pytest.importorskip("napari", reason="napari is not packaged in Debian: the data layout is tested alone")
    layer = napari.layers.Shapes(data, shape_type=shape_type)
    assert len(layer.data) == len(edges)
