#!/usr/bin/python3
"""Accuracy of the sub-pixel points, with and without --refine.

Makes its own test images, area-sampled (straight steps by their exact
coverage of each pixel, disks by the exact coverage of 8 x 8 parts of each
pixel by the circle's tangent there, pre-blurred steps by 32 x 32 point
samples of the blurred step): straight steps at 0 to 45 degrees, disks of
radius 3 to 50, grey-level noise 0, 1, 2 and 5, 8-bit PGM or 32-bit float
TIFF. Runs the built lintrace on each with -sp and with -sp --refine at
sigma 1.0 and 2.0, writing CSV (full precision), matches every point within
1.5 pixels of the true edge to it and prints the RMS distance, the mean
signed distance (bias; positive outward for disks, toward the bright side
for steps), completeness (matched points for each row or column the edge
crosses along its steeper axis) and spurious points, beside the targets; then the CPU time
per megapixel of both on a 16-megapixel photograph, one thread.

A benchmark: it prints figures, it asserts nothing.

usage: /usr/bin/python3 bench/accuracy.py [--build BUILD] [--quick]
"""
import argparse
import math
import os
import resource
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CONTRAST = (64.0, 192.0)   # dark and bright grey levels
THRESHOLDS = ["-lt", "8", "-ht", "16"]
MARGIN = 14                # pixels from the border where the image's own frame is an edge


def write_pgm(path, levels):
    image = np.clip(np.rint(levels), 0, 255).astype(np.uint8)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]))
        f.write(image.tobytes())


def write_float_tiff(path, levels):
    """An uncompressed grey TIFF of 32-bit floats on the scale 0..1."""
    data = (np.asarray(levels, dtype=np.float64) / 255.0).astype("<f4")
    height, width = data.shape
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 32), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 4, 1, 0), (277, 3, 1, 1), (278, 4, 1, height), (279, 4, 1, data.nbytes), (339, 3, 1, 3)]
    ifd_size = 2 + 12 * len(entries) + 4
    offset = 8 + ifd_size
    out = bytearray(b"II*\x00" + (8).to_bytes(4, "little") + len(entries).to_bytes(2, "little"))
    for tag, kind, count, value in entries:
        if tag == 273:
            value = offset
        out += tag.to_bytes(2, "little") + kind.to_bytes(2, "little") + count.to_bytes(4, "little")
        out += value.to_bytes(2, "little") + b"\0\0" if kind == 3 else value.to_bytes(4, "little")
    out += (0).to_bytes(4, "little")
    with open(path, "wb") as f:
        f.write(bytes(out) + data.tobytes())


def trapezoid_cdf(s, a, b):
    """The share of a square of side w (a = |nx| w, b = |ny| w) on the side
    n.p <= s of a line at signed distance s from its centre."""
    a = np.broadcast_to(a, np.shape(s)) if np.ndim(a) else a
    ramp = lambda t: np.maximum(t, 0.0) ** 2 / 2
    small = np.minimum(a, b) < 1e-9
    safe = np.where(small, 1.0, a * b)
    f = (ramp(s + (a + b) / 2) - ramp(s + (a - b) / 2) - ramp(s - (a - b) / 2) + ramp(s - (a + b) / 2)) / safe
    linear = np.clip(s / np.maximum(np.maximum(a, b), 1e-300) + 0.5, 0, 1)
    return np.clip(np.where(small, linear, f), 0, 1)


def straight_image(size, angle, offset, blur=0.0):
    """A step whose normal (cos, sin) points to the bright side, crossing the
    image's centre moved by `offset` along the normal."""
    nx, ny = math.cos(angle), math.sin(angle)
    rows, columns = np.mgrid[0:size, 0:size].astype(float)
    c = nx * (size - 1) / 2 + ny * (size - 1) / 2 + offset
    if blur == 0:
        dark = trapezoid_cdf(c - (nx * columns + ny * rows), abs(nx), abs(ny))
    else:
        from math import erf
        verf = np.vectorize(erf)
        parts = 32
        dark = np.zeros_like(rows)
        steps = (np.arange(parts) + 0.5) / parts - 0.5
        for oy in steps:
            s = c - (nx * (columns + steps[:, None, None]) + ny * (rows + oy))
            dark += (0.5 * (1 + verf(s / (blur * math.sqrt(2))))).sum(axis=0)
        dark /= parts * parts
    return CONTRAST[0] * dark + CONTRAST[1] * (1 - dark), (nx, ny, c)


def disk_image(size, cx, cy, radius):
    rows, columns = np.mgrid[0:size, 0:size].astype(float)
    inside = (np.hypot(columns - cx, rows - cy) < radius).astype(float)
    near = np.abs(np.hypot(columns - cx, rows - cy) - radius) < 1.5
    py, px = rows[near], columns[near]
    parts = 8
    cover = np.zeros(py.shape)
    for oy in (np.arange(parts) + 0.5) / parts - 0.5:
        for ox in (np.arange(parts) + 0.5) / parts - 0.5:
            x, y = px + ox - cx, py + oy - cy
            r = np.maximum(np.hypot(x, y), 1e-12)
            cover += trapezoid_cdf(radius - r, np.abs(x / r) / parts, np.abs(y / r) / parts)
    inside[near] = cover / parts ** 2
    return CONTRAST[1] * inside + CONTRAST[0] * (1 - inside)


def run_lintrace(build, image_path, sigma, refine, threads=1, extra=()):
    out = image_path + (".r" if refine else ".s") + ".csv"
    command = [os.path.join(build, "lintrace", "lintrace"), "-i", image_path, "-o", out, "-s", str(sigma), "-sp",
               "--threads", str(threads)] + list(extra) + (["--refine"] if refine else [])
    subprocess.run(command, check=True)
    points = np.loadtxt(out, delimiter=",", skiprows=1, usecols=(2, 3), ndmin=2)
    return points


def measure(points, signed_distance, stations, size):
    inner = np.all((points > MARGIN) & (points < size - 1 - MARGIN), axis=1)
    points = points[inner]
    d = signed_distance(points)
    near = np.abs(d) <= 1.5
    covered = stations(points[near])
    return d[near], covered, int(np.count_nonzero(~near))


def straight_case(build, work, rng, sigma, refine, noise, floating=False, blur=0.0, angles=None, per_angle=2):
    errors, covered, expected, spurious = [], 0, 0, 0
    size = 72
    for degrees in angles:
        angle = math.radians(degrees)
        for k in range(per_angle):
            seed = int(degrees * 1000 + k * 7 + noise * 100 + blur * 10 + (5 if floating else 0))
            local = np.random.default_rng(seed)
            offset = local.uniform(-0.5, 0.5)
            levels, (nx, ny, c) = straight_image(size, angle, offset, blur)
            if noise:
                levels = levels + local.normal(0, noise, levels.shape)
            path = os.path.join(work, "s_%g_%d_%g_%g_%d.%s" % (degrees, k, noise, blur, floating,
                                                               "tif" if floating else "pgm"))
            if not os.path.exists(path):
                (write_float_tiff if floating else write_pgm)(path, levels)
            points = run_lintrace(build, path, sigma, refine, extra=THRESHOLDS)
            distance = lambda p: nx * p[:, 0] + ny * p[:, 1] - c
            # Stations: the rows (steep edges: columns) inside the margin, each
            # covered when a matched point lies on it.
            major_x = abs(nx) >= abs(ny)
            lo, hi = MARGIN + 1, size - 2 - MARGIN

            def stations(p):
                # one point to a row (steep edges: a column); the refined points
                # stay on their pixel's row or column
                along = np.rint(p[:, 1] if major_x else p[:, 0])
                return int(np.count_nonzero((along >= lo) & (along <= hi)))
            d, cov, spur = measure(points, distance, stations, size)
            # the rows whose crossing lies inside the margin
            ts = np.arange(lo, hi + 1)
            cross = (c - (ny if major_x else nx) * ts) / (nx if major_x else ny)
            expected += int(np.count_nonzero((cross > MARGIN) & (cross < size - 1 - MARGIN)))
            errors.append(d)
            covered += cov
            spurious += spur
    return np.concatenate(errors), covered / max(expected, 1), spurious


def disk_case(build, work, rng, sigma, refine, noise, floating=False, radii=None, per_radius=2):
    errors, covered, expected, spurious = [], 0, 0, 0
    for radius in radii:
        for k in range(per_radius):
            local = np.random.default_rng(int(radius * 100 + k + noise * 10000 + (5 if floating else 0)))
            size = int(2 * radius + 2 * MARGIN + 14)
            cx = (size - 1) / 2 + local.uniform(-0.5, 0.5)
            cy = (size - 1) / 2 + local.uniform(-0.5, 0.5)
            levels = disk_image(size, cx, cy, radius)
            if noise:
                levels = levels + local.normal(0, noise, levels.shape)
            path = os.path.join(work, "d_%g_%d_%g_%d.%s" % (radius, k, noise, floating, "tif" if floating else "pgm"))
            if not os.path.exists(path):
                (write_float_tiff if floating else write_pgm)(path, levels)
            points = run_lintrace(build, path, sigma, refine, extra=THRESHOLDS)
            distance = lambda p: np.hypot(p[:, 0] - cx, p[:, 1] - cy) - radius

            # A chain of neighbouring pixels round a circle holds one point for
            # every row or column it crosses along its steeper axis: 4 sqrt(2) R.
            d, cov, spur = measure(points, distance, len, size)
            errors.append(d)
            covered += cov
            expected += 4 * math.sqrt(2) * radius
            spurious += spur
    return np.concatenate(errors), covered / max(expected, 1), spurious


def photograph(work):
    """A 16-megapixel mosaic of the bundled photographs, mirrored in turn."""
    path = os.path.join(work, "photograph16.pgm")
    if os.path.exists(path):
        return path
    tiles = []
    for name in sorted(os.listdir(os.path.join(HERE, "..", "data"))):
        if name.endswith(".pgm"):
            with open(os.path.join(HERE, "..", "data", name), "rb") as f:
                data = f.read()
            fields = data.split(maxsplit=4)
            w, h = int(fields[1]), int(fields[2])
            tile = np.frombuffer(data[len(data) - w * h:], dtype=np.uint8).reshape(h, w)
            tiles.append(tile[:, :512] if tile.shape[1] >= 512 else np.pad(tile, ((0, 0), (0, 512 - tile.shape[1])),
                                                                           mode="reflect"))
    side = 4096
    canvas = np.zeros((side, side), dtype=np.uint8)
    k = 0
    for y in range(0, side, 512):
        for x in range(0, side, 512):
            tile = tiles[k % len(tiles)][:512, :512]
            if (k // len(tiles)) % 2:
                tile = tile[:, ::-1]
            canvas[y:y + tile.shape[0], x:x + tile.shape[1]] = tile[:min(512, side - y), :min(512, side - x)]
            k += 1
    write_pgm(path, canvas)
    return path


def cpu_seconds(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--quick", action="store_true", help="fewer angles and radii")
    parser.add_argument("--no-timing", action="store_true")
    args = parser.parse_args()
    angles = list(range(0, 46, 9 if args.quick else 5))
    radii = [3, 5, 8, 13, 20, 35, 50] if args.quick else [3, 4, 5, 6, 8, 10, 13, 16, 20, 25, 30, 40, 50]
    rng = np.random.default_rng(1)
    work = tempfile.mkdtemp(prefix="lintrace-accuracy-")
    # name, kind, options, target RMS (px) at the better sigma
    cases = [
        ("straight, noise 0", "s", dict(noise=0), 0.0018),
        ("straight, noise 0, float", "s", dict(noise=0, floating=True), 0.0005),
        ("straight, noise 1", "s", dict(noise=1), 0.0070),
        ("straight, noise 2", "s", dict(noise=2), 0.0130),
        ("straight, noise 5", "s", dict(noise=5), 0.032),
        ("pre-blurred 1 px, noise 0", "s", dict(noise=0, blur=1.0), 0.005),
        ("pre-blurred 1 px, noise 2", "s", dict(noise=2, blur=1.0), 0.018),
        ("disks R 3-50, noise 0", "d", dict(noise=0), 0.0035),
        ("disks R 3-50, noise 0, float", "d", dict(noise=0, floating=True), 0.0018),
        ("disks, noise 1", "d", dict(noise=1), 0.015),
        ("disks, noise 2", "d", dict(noise=2), 0.021),
        ("disks, noise 5", "d", dict(noise=5), 0.045),
    ]
    print("RMS distance to the true edge and bias (mean signed distance), px; complete: matched points per row")
    print("or column the edge crosses along its steeper axis; spurious: points farther than 1.5 px.")
    print("%-30s %5s | %-34s | %-34s | %s" % ("case", "sigma", "-sp  rms  bias  complete spurious",
                                              "--refine  rms  bias  complete spur", "target"))
    for name, kind, options, target in cases:
        best = None
        for sigma in (1.0, 2.0):
            row = []
            for refine in (False, True):
                if kind == "s":
                    d, complete, spurious = straight_case(args.build, work, rng, sigma, refine, angles=angles,
                                                          **options)
                else:
                    d, complete, spurious = disk_case(args.build, work, rng, sigma, refine, radii=radii, **options)
                rms = float(np.sqrt(np.mean(d ** 2))) if len(d) else float("nan")
                row.append("%8.4f %8.4f %7.3f %6d" % (rms, float(np.mean(d)) if len(d) else float("nan"),
                                                       complete, spurious))
                if refine:
                    best = rms if best is None else min(best, rms)
            print("%-30s %5.1f | %s | %s |" % (name, sigma, row[0], row[1]))
        print("%-30s %5s   %-34s   %-34s   %.4f %s (best %.4f)" % ("", "", "", "", target,
                                                                   "met" if best <= target else "NOT met", best))
    # The angles one at a time, noise 0, for the target at every angle.
    for sigma in (1.0, 2.0):
        worst = []
        for degrees in angles:
            d, _, _ = straight_case(args.build, work, rng, sigma, True, noise=0, angles=[degrees])
            worst.append((float(np.sqrt(np.mean(d ** 2))), degrees))
        print("straight, noise 0, --refine, sigma %.1f: RMS by angle %s; worst %.4f at %d degrees (target 0.002)"
              % (sigma, " ".join("%d:%.4f" % (a, r) for r, a in worst), max(worst)[0], max(worst)[1]))
    for sigma in (1.0, 2.0):
        by_radius = []
        for radius in radii:
            d, _, _ = disk_case(args.build, work, rng, sigma, True, noise=0, radii=[radius])
            by_radius.append((radius, float(np.mean(d))))
        print("disks, noise 0, --refine, sigma %.1f: bias by radius %s (target |bias| <= 0.003 for R >= 5)"
              % (sigma, " ".join("%g:%+.4f" % rb for rb in by_radius)))
    if not args.no_timing:
        path = photograph(work)
        program = os.path.join(args.build, "lintrace", "lintrace")
        for sigma in (1.0, 2.0):
            times = {}
            for refine in (False, True):
                command = [program, "-i", path, "-o", os.path.join(work, "photo.list"), "-s", str(sigma), "-sp",
                           "--threads", "1"] + (["--refine"] if refine else [])
                times[refine] = min(cpu_seconds(command) for _ in range(3))
            print("16-megapixel photograph, sigma %.1f, one thread: CPU s per megapixel -sp %.4f, -sp --refine %.4f "
                  "(ratio %.2f, target at most 2)" % (sigma, times[False] / 16.777216, times[True] / 16.777216,
                                                        times[True] / times[False]))


if __name__ == "__main__":
    main()
