"""The streamed run and the run across Dask workers: an image traced a
band of rows at a time, or in bands on workers with their crossing groups
linked afterwards, gives the edges of the whole run, each with the same
points in the same order, and both give the same bytes as `lintrace
--stream`."""
import os
import subprocess

import numpy as np
import pytest

import lintrace
from conftest import DATA, PHOTOS, program, read_pgm


def edges_of(list_bytes):
    """The blocks of a connectivity list, each a tuple of its lines."""
    blocks, block = [], []
    for line in list_bytes.split(b"\n")[:-1]:
        if line == b"-1 -1":
            blocks.append(tuple(block))
            block = []
        else:
            block.append(line)
    assert block == []
    return blocks


def mosaic():
    """The four photographs side by side, two rows of them, one mirrored:
    1102 x 912 grey levels with seams the edges cross."""
    photos = [read_pgm(os.path.join(DATA, name + ".pgm")) for name in PHOTOS]
    top = np.zeros((512, 1102), np.uint8)
    top[:, :512] = photos[0]
    top[:, 512:1024] = photos[1][:, ::-1]
    top[:, 1024:] = photos[1][:, :78]
    bottom = np.full((400, 1102), 90, np.uint8)
    bottom[:300, :451] = photos[2]
    bottom[:, 451:1051] = photos[3]
    return np.vstack([top, bottom])


def tiled_tiff(path, image, tile=64):
    gdal = pytest.importorskip("osgeo.gdal", reason="GDAL's Python bindings (python3-gdal) are not installed")
    driver = gdal.GetDriverByName("GTiff")
    out = driver.Create(str(path), image.shape[1], image.shape[0], 1, gdal.GDT_Byte,
                        options=["TILED=YES", "BLOCKXSIZE=%d" % tile, "BLOCKYSIZE=%d" % tile, "COMPRESS=DEFLATE"])
    out.GetRasterBand(1).WriteArray(image)
    out.FlushCache()
    del out


def write_pgm(path, image):
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]))
        f.write(image.tobytes())


SETTINGS = [
    dict(sigma=float(np.float32(0.4))),  # as the program reads -s 0.4
    dict(sigma=1.0, subpixel=True),
    dict(sigma=2.0, subpixel=True, refine=True, low=1.0, high=6.0),
]


@pytest.mark.parametrize("settings", SETTINGS, ids=["pixels", "subpixel", "refined"])
def test_streamed_edges_are_the_whole_runs_and_the_programs(tmp_path, settings):
    image = mosaic()
    path = tmp_path / "mosaic.pgm"
    write_pgm(path, image)
    whole = lintrace.trace(image, **settings).to_list()
    batches = []
    count = lintrace.trace_stream(path, tmp_path / "streamed.list", on_edges=batches.append, threads=2, **settings)
    streamed = (tmp_path / "streamed.list").read_bytes()
    assert sorted(edges_of(streamed)) == sorted(edges_of(whole))
    assert count == len(edges_of(whole)) == sum(len(b) for b in batches)
    keys = np.concatenate([b.group_keys for b in batches])
    assert keys.shape == (count, 2)
    assert (np.diff(keys[:, 0] * image.size + keys[:, 1]) >= 0).all(), "edges in the order of their groups"

    switches = ["-s", "%.9g" % settings["sigma"]]
    if "low" in settings:
        switches += ["-lt", str(settings["low"]), "-ht", str(settings["high"])]
    if settings.get("subpixel"):
        switches += ["-sp"]
    if settings.get("refine"):
        switches += ["--refine"]
    out = tmp_path / "program.list"
    run = subprocess.run([program("lintrace"), "-i", str(path), "-o", str(out), "--stream", "--threads", "1"] + switches,
                         capture_output=True)
    assert run.returncode == 0, run.stderr
    assert out.read_bytes() == streamed


distributed = pytest.importorskip("distributed", reason="Dask's distributed scheduler (python3-distributed) is not installed")


@pytest.fixture(scope="module")
def client():
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=40) as cluster, distributed.Client(cluster) as c:
            yield c


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
@pytest.mark.parametrize("tile", [100, 256, 5000])
def test_a_tiled_tiff_across_two_workers_gives_the_streamed_list(tmp_path, client, tile):
    import lintrace.dask
    image = mosaic()
    path = tmp_path / "mosaic.tif"
    tiled_tiff(path, image)
    settings = dict(sigma=1.0, subpixel=True)
    lintrace.trace_stream(path, tmp_path / "streamed.list", **settings)
    streamed = (tmp_path / "streamed.list").read_bytes()
    got = lintrace.dask.trace_tiled(path, client, tile=tile, **settings)
    assert got == streamed
    assert sorted(edges_of(got)) == sorted(edges_of(lintrace.trace(image, **settings).to_list()))
    count = lintrace.dask.trace_tiled(path, client, tile=tile, output=tmp_path / "tiled.list", **settings)
    assert (tmp_path / "tiled.list").read_bytes() == streamed
    assert count == len(edges_of(streamed))


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_a_tiled_run_reports_what_its_workers_meet(tmp_path, client):
    import lintrace.dask
    with pytest.raises(ValueError, match="tile"):
        lintrace.dask.trace_tiled(os.path.join(DATA, "camera.pgm"), client, tile=0)
    with pytest.raises(OSError, match="nowhere.tif"):
        lintrace.dask.trace_tiled(str(tmp_path / "nowhere.tif"), client)
    assert not (tmp_path / "out.list").exists()
