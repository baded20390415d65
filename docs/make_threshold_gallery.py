#!/usr/bin/env python3
"""Makes the pictures of the README's "Choosing thresholds" section in
docs/gallery: a 256 x 256 crop of one bundled photograph, and the edges that
lintrace finds in the whole photograph at a few sigmas and thresholds and with
--auto, drawn by linpaint (edges of 5 points or more, its default) and cut to
the same crop, each an 8-bit grey PNG. The thresholds --auto chose are printed.
Needs only the built programs and Python's standard library.

usage: make_threshold_gallery.py [BUILD_DIRECTORY]
"""
import os
import subprocess
import sys
import tempfile

from make_gallery import GALLERY, ROOT, read_pgm, write_png

PHOTO = os.path.join(ROOT, "data", "camera.pgm")
NAME = "camera"
LEFT, TOP, SIDE = 160, 40, 256

# (the picture's name, lintrace's switches): the defaults, two sigmas with
# thresholds for outlines, and --auto at two fractions.
SETTINGS = [
    ("s0.4-lt1.4-ht2", ["-s", "0.4"]),
    ("s1-lt2-ht5", ["-s", "1.0", "-lt", "2", "-ht", "5"]),
    ("s1-lt3-ht6", ["-s", "1.0", "-lt", "3", "-ht", "6"]),
    ("s2-lt1.5-ht4", ["-s", "2.0", "-lt", "1.5", "-ht", "4"]),
    ("s1-auto", ["-s", "1.0", "--auto"]),
    ("s1-auto0.9", ["-s", "1.0", "--auto", "0.9"]),
]


def crop(columns, pixels):
    return b"".join(pixels[(TOP + r) * columns + LEFT:(TOP + r) * columns + LEFT + SIDE] for r in range(SIDE))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    os.makedirs(GALLERY, exist_ok=True)
    columns, rows, grey = read_pgm(PHOTO)
    write_png(os.path.join(GALLERY, "thresholds-%s.png" % NAME), SIDE, SIDE, crop(columns, grey), 1)
    with tempfile.TemporaryDirectory() as work:
        listing = os.path.join(work, "edges.list")
        drawing = os.path.join(work, "edges.pgm")
        for name, switches in SETTINGS:
            run = subprocess.run([os.path.join(build, "lintrace", "lintrace"), "-i", PHOTO, "-o", listing] + switches,
                                 check=True, capture_output=True, text=True)
            subprocess.run([os.path.join(build, "linpaint", "linpaint"), "-i", listing, "-r", str(rows),
                            "-c", str(columns), "-o", drawing], check=True)
            with open(listing) as text:
                edges = sum(1 for line in text if line.split() == ["-1", "-1"])
            _, _, pixels = read_pgm(drawing)
            write_png(os.path.join(GALLERY, "thresholds-%s-%s.png" % (NAME, name)), SIDE, SIDE,
                      crop(columns, pixels), 1)
            print("%-16s %-28s %5d edges in the whole photograph %s" % (name, " ".join(switches), edges,
                                                                         run.stderr.strip()))


if __name__ == "__main__":
    main()
