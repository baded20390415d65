"""The vector formats read back by the readers of their ecosystems: GDAL's
ogrinfo for GeoJSON and DXF, shapely for rings and polygons, ezdxf for DXF,
each compared with the connectivity list of the same run. Run by CTest with
LINTRACE (the program) and LINTRACE_DATA (the photographs) set."""
import json
import math
import os
import re
import shutil
import subprocess

import pytest

LINTRACE = os.environ["LINTRACE"]
DATA = os.environ["LINTRACE_DATA"]
OGRINFO = shutil.which("ogrinfo")
needs_ogrinfo = pytest.mark.skipif(OGRINFO is None, reason="ogrinfo (Debian package gdal-bin) is not installed")


def lintrace(*arguments):
    run = subprocess.run([LINTRACE, *map(str, arguments)], capture_output=True)
    assert run.returncode == 0, run.stderr
    return run


def list_edges(path):
    edges, edge = [], []
    for line in open(path):
        x, y = map(float, line.split())
        if x == -1 and y == -1:
            edges.append(edge)
            edge = []
        else:
            edge.append((x, y))
    return edges


def segment_distance(p, a, b):
    dx, dy = b[0] - a[0], b[1] - a[1]
    squared = dx * dx + dy * dy
    t = 0 if squared == 0 else max(0, min(1, ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / squared))
    return math.hypot(p[0] - a[0] - t * dx, p[1] - a[1] - t * dy)


def farthest(points, line):
    """The largest distance of any of `points` from the polyline `line`."""
    if len(line) == 1:
        return max(math.hypot(p[0] - line[0][0], p[1] - line[0][1]) for p in points)
    return max(min(segment_distance(p, a, b) for a, b in zip(line, line[1:])) for p in points)


@pytest.fixture(scope="module")
def traced(tmp_path_factory):
    """run(name, switches...) -> (the list's edges, the output's path), cached."""
    directory = tmp_path_factory.mktemp("formats")
    image = os.path.join(DATA, "camera.pgm")
    done = {}

    def run(ending, *switches):
        key = (ending,) + switches
        if key not in done:
            base = directory / ("run%d" % len(done))
            lintrace("-i", image, "-o", str(base) + ".list", "-s", "1.0", *[s for s in switches if s == "-sp"])
            lintrace("-i", image, "-o", str(base) + ending, "-s", "1.0", *switches)
            done[key] = (list_edges(str(base) + ".list"), str(base) + ending)
        return done[key]
    return run


@pytest.mark.parametrize("switches", [(), ("-sp",), ("--simplify", "0.5", "--precision", "2"),
                                      ("--simplify", "0.3", "--precision", "1"),
                                      ("-sp", "--polygons"), ("-sp", "--polygons", "--simplify", "1")])
def test_geojson_rings_and_polygons_as_shapely_reads_them(traced, switches):
    shapely_geometry = pytest.importorskip("shapely.geometry", reason="python3-shapely is not installed")
    edges, path = traced(".geojson", *switches)
    features = json.load(open(path))["features"]
    assert [f["properties"]["index"] for f in features] == list(range(len(edges)))
    polygons = 0
    tolerance = float(switches[switches.index("--simplify") + 1]) if "--simplify" in switches else 0
    decimals = int(switches[switches.index("--precision") + 1]) if "--precision" in switches else None
    for feature, edge in zip(features, edges):
        shape = shapely_geometry.shape(feature["geometry"])
        closed = feature["properties"]["closed"]
        assert feature["properties"]["points"] == len(edge)
        if feature["geometry"]["type"] == "Polygon":
            polygons += 1
            assert closed and shape.is_valid and shape.exterior.is_ring, feature["properties"]
            line = list(shape.exterior.coords)
        elif feature["geometry"]["type"] == "LineString":
            line = list(shape.coords)
            if closed:
                assert line[0] == line[-1] and shape.is_closed, feature["properties"]
        else:
            line = [tuple(feature["geometry"]["coordinates"])]
        # The ends are kept; with no simplification every point is the list's.
        assert line[0] == pytest.approx(edge[0], abs=0.051)
        if not closed:
            assert line[-1] == pytest.approx(edge[-1], abs=0.051)
        if decimals is not None:
            for x, y in line:
                assert round(x, decimals) == x and round(y, decimals) == y
        if tolerance == 0 and decimals is None:
            assert len(line) == len(edge) + (1 if closed and len(edge) > 1 else 0)
        if tolerance:
            # No original point farther than the tolerance from the line as
            # written (coordinates rounded to the precision included), but for
            # the rounding of the list's own one decimal.
            slack = 0.05 * math.sqrt(2) * ("-sp" in switches)
            assert farthest(edge, line) <= tolerance + slack + 1e-9, feature["properties"]
    if "--polygons" in switches:
        assert polygons > 5, "closed edges become polygons"
    else:
        assert polygons == 0


@needs_ogrinfo
@pytest.mark.parametrize("ending,switches", [(".geojson", ("-sp", "--polygons")), (".dxf", ()), (".dxf", ("-sp",))])
def test_ogrinfo_reads_every_edge(traced, ending, switches):
    edges, path = traced(ending, *switches)
    summary = subprocess.run([OGRINFO, "-ro", "-al", "-so", path], capture_output=True, text=True)
    assert summary.returncode == 0, summary.stderr
    assert "Feature Count: %d" % len(edges) in summary.stdout, summary.stdout
    every = subprocess.run([OGRINFO, "-ro", "-al", "-q", path], capture_output=True, text=True)
    assert every.returncode == 0 and "ERROR" not in every.stderr, every.stderr
    kinds = re.findall(r"^  (POINT|LINESTRING|POLYGON)", every.stdout, re.M)
    assert len(kinds) == len(edges)
    if ending == ".dxf":
        # GDAL reads a closed LWPOLYLINE as a LineString back to its first point.
        for kind, edge in zip(kinds, edges):
            assert kind == ("POINT" if len(edge) == 1 else "LINESTRING")


@pytest.mark.parametrize("switches", [(), ("-sp",), ("--simplify", "1")])
def test_ezdxf_reads_closed_polylines_with_y_upwards(traced, switches):
    ezdxf = pytest.importorskip("ezdxf", reason="python3-ezdxf is not installed")
    edges, path = traced(".dxf", *switches)
    _, geojson = traced(".geojson", *switches)
    closed = [f["properties"]["closed"] for f in json.load(open(geojson))["features"]]
    document = ezdxf.readfile(path)
    assert document.header["$INSUNITS"] == 0
    entities = list(document.modelspace())
    assert len(entities) == len(edges)
    with open(os.path.join(DATA, "camera.pgm"), "rb") as image:
        height = int(image.read(64).split()[2])
    for entity, edge, is_closed in zip(entities, edges, closed):
        if len(edge) == 1:
            assert entity.dxftype() == "POINT"
            continue
        assert entity.dxftype() == "LWPOLYLINE"
        assert entity.closed == is_closed
        points = [(x, height - 1 - y) for x, y, *_ in entity.get_points()]
        assert points[0] == pytest.approx(edge[0], abs=0.051)
        assert points[-1] == pytest.approx(edge[-1], abs=0.051)
        if not switches:
            assert points == edge


def test_min_points_keeps_the_lists_indices(traced):
    edges, path = traced(".geojson", "--min-points", "5")
    features = json.load(open(path))["features"]
    assert [f["properties"]["index"] for f in features] == [k for k, e in enumerate(edges) if len(e) >= 5]
    _, csv_path = traced(".csv", "--min-points", "5")
    rows = open(csv_path).read().split("\n")[1:-1]
    assert sorted({int(r.split(",")[0]) for r in rows}) == [k for k, e in enumerate(edges) if len(e) >= 5]


@pytest.mark.parametrize("name,check", [("SVG", b"<?xml"), ("GeoJSON", b'{"type":"FeatureCollection"'),
                                        ("Csv", b"edge,point,x,y,"), ("DXF", b"0\nSECTION\n")])
def test_format_names_in_any_case_override_the_ending(tmp_path, name, check):
    out = tmp_path / "edges.list"
    lintrace("-i", os.path.join(DATA, "coffee.pgm"), "-o", out, "--format", name)
    assert out.read_bytes().startswith(check)
