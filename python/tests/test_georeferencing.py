"""Georeferenced images: the program's and the module's map coordinates
against GDAL's own transform of the same pixels, and simplified edges."""
import csv
import json
import os
import subprocess

import numpy as np
import pytest

import lintrace
from conftest import program

SOURCE = os.environ.get("LINTRACE_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
gdal = pytest.importorskip("osgeo.gdal", reason="GDAL's Python module (python3-gdal) is not installed")


@pytest.fixture(scope="module")
def geotiffs(tmp_path_factory):
    directory = tmp_path_factory.mktemp("geo")
    subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tests", "make_georeferenced.py"), str(directory)],
                   check=True)
    return directory


def gdal_map(path, pixel_lines):
    """GDAL's map positions of pixel/line positions, by gdaltransform."""
    text = "".join("%r %r\n" % (p, l) for p, l in pixel_lines)
    out = subprocess.run(["gdaltransform", "-output_xy", str(path)], input=text, capture_output=True, text=True,
                         check=True).stdout
    return np.array([[float(v) for v in line.split()] for line in out.splitlines()])


@pytest.mark.parametrize("name, crs", [("north-up.tif", "EPSG:32633"), ("rotated.tif", "EPSG:3857"),
                                       ("point.tif", "EPSG:4326"), ("world.png", None)])
def test_vector_outputs_of_a_georeferenced_image_lie_where_gdal_puts_their_pixels(geotiffs, tmp_path, name, crs):
    image = geotiffs / name
    table = tmp_path / "edges.csv"
    subprocess.run([program("lintrace"), "-i", str(image), "-o", str(table), "-s", "0.5", "-sp", "-lt", "1",
                    "-ht", "3"], check=True)
    with open(table) as f:
        rows = list(csv.DictReader(f))
    assert rows, "the test image has edges"
    assert list(rows[0])[:6] == ["edge", "point", "x", "y", "col", "row"]
    pixels = np.array([[float(r["col"]), float(r["row"])] for r in rows])
    mapped = np.array([[float(r["x"]), float(r["y"])] for r in rows])
    expected = gdal_map(image, pixels + 0.5)
    np.testing.assert_allclose(mapped, expected, rtol=1e-12, atol=1e-9)

    # The module: the same georeferencing, the same bytes.
    geo = lintrace.georeferencing(image)
    assert geo["crs"] == crs
    edges = lintrace.trace(lintrace.read(image), sigma=0.5, low=1, high=3, subpixel=True, gradient=True)
    edges.write(tmp_path / "module.csv", georeference=geo)
    assert (tmp_path / "module.csv").read_bytes() == table.read_bytes()

    # GeoJSON names the system as GDAL reads it back.
    collection = tmp_path / "edges.geojson"
    subprocess.run([program("lintrace"), "-i", str(image), "-o", str(collection), "-s", "0.6"], check=True)
    info = subprocess.run(["ogrinfo", "-so", "-al", str(collection)], capture_output=True, text=True,
                          check=True).stdout
    if crs == "EPSG:4326":
        assert "WGS 84" in info
    elif crs is not None:
        assert 'ID["EPSG",%s]' % crs.split(":")[1] in info
    else:
        assert "crs" not in json.loads(collection.read_text())


def test_pixel_coordinates_and_refusals(geotiffs, tmp_path):
    out = tmp_path / "pixels.csv"
    subprocess.run([program("lintrace"), "-i", str(geotiffs / "north-up.tif"), "-o", str(out), "-s", "0.6",
                    "--pixel-coordinates"], check=True)
    assert out.read_text().splitlines()[0] == "edge,point,x,y,magnitude,direction"
    for name, reason in [("user.tif", "cannot be named by an EPSG code"), ("bad-world.png", "six numbers")]:
        run = subprocess.run([program("lintrace"), "-i", str(geotiffs / name), "-o", str(tmp_path / "x.geojson")],
                             capture_output=True, text=True)
        assert run.returncode == 1 and reason in run.stderr and not (tmp_path / "x.geojson").exists()
        with pytest.raises(ValueError, match=reason):
            lintrace.georeferencing(geotiffs / name)
    assert lintrace.georeferencing(os.path.join(SOURCE, "data", "camera.pgm")) is None


@pytest.mark.parametrize("tolerance", [0.25, 0.5, 2.0])
def test_simplified_edges_stay_within_the_tolerance_and_keep_their_ends(photo, tolerance):
    edges = lintrace.trace(photo("coffee")[1], sigma=1.0, low=3, high=6, subpixel=True)
    simple = edges.simplify(tolerance)
    assert len(simple) == len(edges) and len(simple.points) < len(edges.points)
    np.testing.assert_array_equal(simple.closed, edges.closed)
    for before, after in zip(edges, simple):
        assert (after[0] == before[0]).all() and (after[-1] == before[-1]).all()
        if len(after) < 2:
            continue
        # Every original point within the tolerance of some segment of the simplified line.
        a, b = after[:-1], after[1:]
        d = b - a
        length = np.maximum((d * d).sum(axis=1), 1e-300)
        t = np.clip(((before[:, None, :] - a) * d).sum(axis=2) / length, 0, 1)
        nearest = a + t[..., None] * d
        distance = np.sqrt(((before[:, None, :] - nearest) ** 2).sum(axis=2)).min(axis=1)
        assert distance.max() <= tolerance + 1e-9
    with pytest.raises(ValueError):
        edges.simplify(-1)
