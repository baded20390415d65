#!/usr/bin/python3
"""The picture of --refine in the README: a quarter of an area-sampled disk
of radius 6 (8-bit, sigma 1.0) enlarged 40 times: the true circle in white,
the -sp points in red and the --refine points in green, each point's error
drawn 10 times larger as a line from the circle. Made with the built
program and Pillow: usage: make_refine_picture.py [BUILD]"""
import os
import sys
import tempfile

import numpy as np
from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))
from accuracy import disk_image, run_lintrace, write_pgm  # noqa: E402

SIZE, CX, CY, RADIUS = 40, 20.3, 19.6, 6.0
VIEW = (18, 11, 30, 23)  # columns and rows shown: x from, y from, x to, y to
SCALE = 40
MAGNIFY = 10


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(HERE), "build")
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "disk.pgm")
        levels = disk_image(SIZE, CX, CY, RADIUS)
        write_pgm(path, levels)
        plain = run_lintrace(build, path, 1.0, False, extra=["-lt", "8", "-ht", "16"])
        refined = run_lintrace(build, path, 1.0, True, extra=["-lt", "8", "-ht", "16"])
    x0, y0, x1, y1 = VIEW
    grey = np.clip(np.rint(levels[y0:y1, x0:x1]), 0, 255).astype(np.uint8)
    picture = Image.fromarray(grey).resize(((x1 - x0) * SCALE, (y1 - y0) * SCALE), Image.NEAREST).convert("RGB")
    draw = ImageDraw.Draw(picture)

    def at(x, y):  # pixel centres at whole numbers
        return ((x - x0 + 0.5) * SCALE, (y - y0 + 0.5) * SCALE)

    circle = [at(CX + RADIUS * np.cos(t), CY + RADIUS * np.sin(t)) for t in np.linspace(0, 2 * np.pi, 721)]
    draw.line(circle, fill=(255, 255, 255), width=2)
    for points, colour in ((plain, (230, 40, 40)), (refined, (40, 200, 60))):
        for x, y in points:
            if not (x0 - 0.5 <= x < x1 - 0.5 and y0 - 0.5 <= y < y1 - 0.5):
                continue
            r = np.hypot(x - CX, y - CY)
            ux, uy = (x - CX) / r, (y - CY) / r
            ex, ey = CX + RADIUS * ux, CY + RADIUS * uy  # the nearest point of the circle
            tip = at(ex + (r - RADIUS) * MAGNIFY * ux, ey + (r - RADIUS) * MAGNIFY * uy)
            draw.line([at(ex, ey), tip], fill=colour, width=3)
            draw.ellipse([tip[0] - 5, tip[1] - 5, tip[0] + 5, tip[1] + 5], fill=colour)
    picture.save(os.path.join(HERE, "gallery", "refine-disk.png"), optimize=True)


if __name__ == "__main__":
    main()
