"""docs/examples/batch-dask.py traces a folder on two Dask workers, on a
cluster of its own and on a running scheduler given by its address: every
list is the lintrace program's, and the summary counts its edges."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import DATA

distributed = pytest.importorskip("distributed", reason="Dask's distributed scheduler (python3-distributed) is not installed")

# Debian's tornado warns of its own use of asyncio when a cluster starts in the test process.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

EXAMPLE = os.path.join(os.environ.get("LINTRACE_SOURCE", os.path.join(DATA, "..")), "docs", "examples", "batch-dask.py")


def folder_of_photos(tmp_path):
    (tmp_path / "more").mkdir()
    for name, where in [("chelsea", ""), ("coffee", ""), ("camera", "more")]:
        shutil.copy(os.path.join(DATA, name + ".pgm"), tmp_path / where / (name + ".pgm"))
    return [tmp_path / "chelsea.pgm", tmp_path / "coffee.pgm", tmp_path / "more" / "camera.pgm"]


def check(images, lintrace_program, switches, output):
    lines = output.splitlines()
    assert lines[0].split("\t") == ["image", "rows", "columns", "edges", "points", "seconds", "worker"]
    rows = {line.split("\t")[0]: line.split("\t") for line in lines[1:-1]}
    assert sorted(rows) == sorted(str(image) for image in images)
    for image in images:
        text = (image.parent / (image.stem + ".list")).read_bytes()
        assert text == lintrace_program(str(image), *switches)
        assert int(rows[str(image)][3]) == text.count(b"-1 -1\n")
    assert lines[-1].startswith("# 3 images") and lines[-1].endswith("on 2 workers")
    assert (images[0].parent / "summary.tsv").read_text() == output


def test_a_folder_is_traced_on_a_local_cluster_of_two_workers(tmp_path, lintrace_program):
    images = folder_of_photos(tmp_path)
    run = subprocess.run([sys.executable, EXAMPLE, str(tmp_path), "--workers", "2"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    check(images, lintrace_program, ["-s", "1.0"], run.stdout)


def test_a_folder_is_traced_through_a_scheduler_given_by_its_address(tmp_path, lintrace_program):
    images = folder_of_photos(tmp_path)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        run = subprocess.run([sys.executable, EXAMPLE, str(tmp_path), "--scheduler", cluster.scheduler_address,
                              "--sigma", "2.0", "--subpixel"], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    check(images, lintrace_program, ["-s", "2.0", "-sp"], run.stdout)
