"""What the module's tests share: the sample photographs as arrays, and the
programs run the way a user runs them. CTest gives the paths in LINTRACE,
LINPAINT and LINTRACE_DATA; PYTHONPATH points at the module just built."""
import os
import subprocess

import numpy as np
import pytest

DATA = os.environ.get("LINTRACE_DATA", os.path.join(os.path.dirname(__file__), "..", "..", "data"))
PHOTOS = ["astronaut", "camera", "chelsea", "coffee"]


def read_pgm(path):
    """A raw PGM file (P5, 8 bits) as a 2-D uint8 array."""
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    assert fields[0] == b"P5" and fields[3] == b"255", path
    columns, rows = int(fields[1]), int(fields[2])
    return np.frombuffer(data[at + 1:at + 1 + rows * columns], np.uint8).reshape(rows, columns)


@pytest.fixture(scope="session")
def photo():
    """photo(name) -> (path, uint8 array) of a bundled photograph."""
    def load(name):
        path = os.path.join(DATA, name + ".pgm")
        return path, read_pgm(path)
    return load


def program(name):
    path = os.environ.get(name.upper())
    if not path:
        pytest.skip("%s: the program's path is given by CTest (run through make test)" % name)
    return path


@pytest.fixture(scope="session")
def lintrace_program():
    """lintrace_program(image_path, *switches) -> the bytes of the list the program writes."""
    path = program("lintrace")

    def run(image, *switches):
        return subprocess.run([path, "-i", image, "-o", "-", *switches], capture_output=True, check=True).stdout
    return run


@pytest.fixture(scope="session")
def linpaint_program():
    """linpaint_program(list_path, rows, columns, *switches) -> the drawing as a uint8 array."""
    path = program("linpaint")

    def run(list_path, rows, columns, *switches, tmp):
        out = os.path.join(tmp, "drawing.pgm")
        subprocess.run([path, "-i", list_path, "-r", str(rows), "-c", str(columns), "-o", out, *switches], check=True)
        return read_pgm(out)
    return run
