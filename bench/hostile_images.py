#!/usr/bin/env python3
"""Builds images made to cost the detector the most memory per pixel: grids of
one-pixel lines, diagonal grids, checkerboards, dots, rings, stripes, binary
and uniform noise, strokes like text, and the grid of period 4 with 16-bit
samples. Each is a raw PGM of SIDE x SIDE pixels (default 3000), written as
DIRECTORY/NAME.pgm; the noise is seeded, so the images are the same on every
machine.

usage: hostile_images.py DIRECTORY [SIDE] [NAME ...]
"""
import math
import os
import random
import sys


def periodic(side, row_of):
    # Images whose row y depends only on y modulo a small period.
    cache = {}
    rows = []
    for y in range(side):
        key = row_of(y, None)
        if key not in cache:
            cache[key] = row_of(y, True)
        rows.append(cache[key])
    return b"".join(rows)


def grid(period):
    def image(side):
        line = bytes(255 if x % period == 0 else 0 for x in range(side))
        full = bytes([255]) * side
        return periodic(side, lambda y, make: (y % period == 0) if make is None else (full if y % period == 0 else line))
    return image


def diagonal_grid(period):
    def image(side):
        def row(y):
            return bytes(255 if (x + y) % period == 0 or (x - y) % period == 0 else 0 for x in range(side))
        return periodic(side, lambda y, make: y % period if make is None else row(y))
    return image


def checkerboard(cell):
    def image(side):
        def row(y):
            return bytes(255 if (x // cell + y // cell) % 2 else 0 for x in range(side))
        return periodic(side, lambda y, make: (y // cell) % 2 if make is None else row(y))
    return image


def dots(period):
    def image(side):
        dotted = bytes(255 if x % period == 0 else 0 for x in range(side))
        empty = bytes(side)
        return periodic(side, lambda y, make: (y % period == 0) if make is None else (dotted if y % period == 0 else empty))
    return image


def stripes(period):
    def image(side):
        line = bytes(255 if x % period == 0 else 0 for x in range(side))
        return line * side
    return image


def rings(period):
    def image(side):
        c = side / 2
        out = bytearray(side * side)
        for y in range(side):
            dy = (y - c) ** 2
            base = y * side
            for x in range(side):
                if int(math.sqrt((x - c) ** 2 + dy)) % period == 0:
                    out[base + x] = 255
        return bytes(out)
    return image


def binary_noise(side):
    levels = random.Random(1).randbytes(side * side)
    return levels.translate(bytes(255 if v >= 128 else 0 for v in range(256)))


def uniform_noise(side):
    return random.Random(2).randbytes(side * side)


def strokes(side):
    # Short strokes of one to three pixels' width in the four directions,
    # packed like the letters of a page of small print.
    rng = random.Random(3)
    out = bytearray(side * side)
    for _ in range(side * side // 12):
        x, y = rng.randrange(side), rng.randrange(side)
        dx, dy = rng.choice(((1, 0), (0, 1), (1, 1), (1, -1)))
        for k in range(rng.randrange(3, 9)):
            px, py = x + k * dx, y + k * dy
            if 0 <= px < side and 0 <= py < side:
                out[py * side + px] = 255
    return bytes(out)


IMAGES = {"grid%d" % p: grid(p) for p in (2, 3, 4, 5, 6)}
IMAGES.update({"diagonal%d" % p: diagonal_grid(p) for p in (2, 3, 4)})
IMAGES.update({"checker%d" % c: checkerboard(c) for c in (1, 2, 3)})
IMAGES.update({"dots%d" % p: dots(p) for p in (2, 3, 4)})
IMAGES.update({"stripes%d" % p: stripes(p) for p in (2, 3)})
IMAGES.update({"rings%d" % p: rings(p) for p in (2, 3)})
IMAGES.update({"binary_noise": binary_noise, "uniform_noise": uniform_noise, "strokes": strokes})
# The worst of them again with 16-bit samples, whose grey levels are
# doubles through the gradient.
WIDE = {"grid4_16bit": "grid4"}
IMAGES.update({name: IMAGES[narrow] for name, narrow in WIDE.items()})


def widened(pixels):
    # Each 8-bit level v as the 16-bit level 257 v, most significant byte first.
    out = bytearray(2 * len(pixels))
    out[0::2] = pixels
    out[1::2] = pixels
    return bytes(out)


def main():
    directory = sys.argv[1]
    side = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    names = sys.argv[3:] or sorted(IMAGES)
    os.makedirs(directory, exist_ok=True)
    for name in names:
        path = os.path.join(directory, "%s.pgm" % name)
        pixels = IMAGES[name](side)
        maxval = 255
        if name in WIDE:
            pixels, maxval = widened(pixels), 65535
        with open(path, "wb") as out:
            out.write(b"P5\n%d %d\n%d\n" % (side, side, maxval))
            out.write(pixels)
        print("made", path, file=sys.stderr)


if __name__ == "__main__":
    main()
