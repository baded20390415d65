#!/usr/bin/env python3
"""The size of lintrace's GeoJSON on a 4-megapixel photograph traced with -sp,
at full precision and with --simplify 0.5 --precision 2, and the largest
distance of any point of the full output from its edge's simplified line (its
ring for a closed edge): the figures the README gives. The photograph is a
2048 x 2048 mosaic of the bundled photographs (data/*.pgm), every other copy
mirrored. Figures only; nothing is asserted.

usage: vector_size.py LINTRACE [DIRECTORY] [-- SWITCHES ...]
"""
import json
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

from netpbm import read_pgm

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "data")
SIDE = 2048


def mosaic(path):
    photos = [read_pgm(os.path.join(DATA, name)) for name in sorted(os.listdir(DATA)) if name.endswith(".pgm")]
    image = np.zeros((SIDE, SIDE), np.uint8)
    y, k = 0, 0
    while y < SIDE:
        x, height = 0, 0
        while x < SIDE:
            tile = photos[k % len(photos)]
            if k % 2:
                tile = tile[:, ::-1]
            k += 1
            h, w = min(tile.shape[0], SIDE - y), min(tile.shape[1], SIDE - x)
            image[y:y + h, x:x + w] = tile[:h, :w]
            x += w
            height = max(height, h)
        y += height
    with open(path, "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (SIDE, SIDE))
        out.write(image.tobytes())


def deviation(points, line):
    """The largest distance of any of `points` from the polyline `line`."""
    p = np.asarray(points, float)
    q = np.asarray(line, float)
    if len(q) == 1:
        return float(np.max(np.hypot(*(p - q[0]).T)))
    a, b = q[:-1], q[1:]
    d = b - a
    squared = np.maximum((d * d).sum(1), 1e-300)
    worst = 0.0
    for start in range(0, len(p), 2048):
        chunk = p[start:start + 2048, None, :]
        t = np.clip(((chunk - a) * d).sum(2) / squared, 0, 1)
        nearest = np.hypot(*np.moveaxis(chunk - (a + t[..., None] * d), 2, 0)).min(1)
        worst = max(worst, float(nearest.max()))
    return worst


def coordinates(feature):
    geometry = feature["geometry"]
    if geometry["type"] == "Point":
        return [geometry["coordinates"]]
    if geometry["type"] == "Polygon":
        return geometry["coordinates"][0]
    return geometry["coordinates"]


def main():
    arguments = sys.argv[1:]
    switches = arguments[arguments.index("--") + 1:] if "--" in arguments else []
    arguments = arguments[:arguments.index("--")] if "--" in arguments else arguments
    program = arguments[0]
    directory = arguments[1] if len(arguments) > 1 else tempfile.mkdtemp(prefix="vector_size")
    photo = os.path.join(directory, "mosaic.pgm")
    if not os.path.exists(photo):
        mosaic(photo)
    full = os.path.join(directory, "full.geojson")
    small = os.path.join(directory, "small.geojson")
    subprocess.run([program, "-i", photo, "-o", full, "-sp", *switches], check=True)
    subprocess.run([program, "-i", photo, "-o", small, "-sp", "--simplify", "0.5", "--precision", "2", *switches],
                   check=True)
    full_size, small_size = os.path.getsize(full), os.path.getsize(small)
    geometry = re.compile(rb'"coordinates":(.*?)\},"properties"')
    full_geometry = sum(len(m.group(1)) for m in geometry.finditer(open(full, "rb").read()))
    small_geometry = sum(len(m.group(1)) for m in geometry.finditer(open(small, "rb").read()))
    print("photograph: %d x %d, lintrace -sp %s" % (SIDE, SIDE, " ".join(switches)))
    print("GeoJSON, full precision:                  %12d bytes" % full_size)
    print("GeoJSON, --simplify 0.5 --precision 2:    %12d bytes  (%.2f times smaller)"
          % (small_size, full_size / small_size))
    print("their coordinates alone:                  %12d and %d bytes  (%.2f times smaller)"
          % (full_geometry, small_geometry, full_geometry / small_geometry))
    originals = json.load(open(full))["features"]
    simplified = json.load(open(small))["features"]
    assert [f["properties"]["index"] for f in originals] == [f["properties"]["index"] for f in simplified]
    points_before = points_after = 0
    worst = 0.0
    for before, after in zip(originals, simplified):
        points, line = coordinates(before), coordinates(after)
        points_before += len(points)
        points_after += len(line)
        worst = max(worst, deviation(points, line))
    print("points: %d before, %d after (%.1f %%)" % (points_before, points_after, 100.0 * points_after / points_before))
    print("edges: %d" % len(originals))
    print("largest distance of a point from its simplified edge: %.4f px "
          "(at most 0.5)" % worst)


if __name__ == "__main__":
    main()
