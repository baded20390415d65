#!/usr/bin/env python3
"""Makes the README's pictures in docs/gallery from the bundled photograph:
the photograph itself, its edges redrawn by linpaint at two sigmas, the
edges drawn over the photograph (linpaint --over, written as a PNG by linpaint
itself), and a close-up of the sub-pixel positions of a -sp list over the
enlarged pixels.
Needs only the built programs and Python's standard library.

usage: make_gallery.py [BUILD_DIRECTORY]
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PHOTO = os.path.join(ROOT, "data", "astronaut.pgm")
GALLERY = os.path.join(HERE, "gallery")


def read_pgm(path):
    with open(path, "rb") as image:
        data = image.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    columns, rows = int(fields[1]), int(fields[2])
    return columns, rows, data[at + 1:at + 1 + columns * rows]


def write_png(path, columns, rows, pixels, channels):
    """A PNG of 8-bit grey (1 channel) or RGB (3 channels) rows."""
    stride = columns * channels
    raw = b"".join(b"\0" + bytes(pixels[r * stride:(r + 1) * stride]) for r in range(rows))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", columns, rows, 8, 0 if channels == 1 else 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
                  chunk(b"IEND", b""))


def run(command):
    subprocess.run(command, check=True)


def read_blocks(path):
    blocks, block = [], []
    with open(path) as text:
        for line in text:
            x, y = (float(v) for v in line.split())
            if x == -1 and y == -1:
                blocks.append(block)
                block = []
            else:
                block.append((x, y))
    return blocks


def close_up(build, work, columns, rows, grey):
    """The pixels of a small region enlarged, with each edge's pixel positions
    as blue squares and its sub-pixel positions as red dots joined in order."""
    left, top, size, zoom = 344, 424, 40, 14
    pixel_list = os.path.join(work, "pixel.list")
    sub_list = os.path.join(work, "sub.list")
    run([os.path.join(build, "lintrace", "lintrace"), "-i", PHOTO, "-o", pixel_list, "-s", "1.0"])
    run([os.path.join(build, "lintrace", "lintrace"), "-i", PHOTO, "-o", sub_list, "-s", "1.0", "-sp"])
    canvas = bytearray(size * zoom * size * zoom * 3)
    width = size * zoom

    def put(x, y, colour):
        if 0 <= x < width and 0 <= y < width:
            at = 3 * (y * width + x)
            canvas[at:at + 3] = bytes(colour)

    for y in range(size * zoom):
        for x in range(size * zoom):
            value = grey[(top + y // zoom) * columns + left + x // zoom] // 2 + 40
            put(x, y, (value, value, value))

    def inside(x, y):
        return left <= x < left + size and top <= y < top + size

    def screen(x, y):
        return int((x - left + 0.5) * zoom), int((y - top + 0.5) * zoom)

    for pixels, subs in zip(read_blocks(pixel_list), read_blocks(sub_list)):
        if len(pixels) < 5 or not any(inside(x, y) for x, y in pixels):
            continue
        for x, y in pixels:
            if inside(x, y):
                sx, sy = screen(x, y)
                for d in range(-zoom // 2 + 1, zoom // 2):
                    for edge_x, edge_y in ((sx + d, sy - zoom // 2 + 1), (sx + d, sy + zoom // 2 - 1),
                                           (sx - zoom // 2 + 1, sy + d), (sx + zoom // 2 - 1, sy + d)):
                        put(edge_x, edge_y, (70, 110, 255))
        points = [screen(x, y) for x, y in subs]
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            steps = max(abs(bx - ax), abs(by - ay), 1)
            for k in range(steps + 1):
                put(ax + (bx - ax) * k // steps, ay + (by - ay) * k // steps, (255, 80, 60))
        for px, py in points:
            for dy in range(-2, 3):
                for dx in range(-2, 3):
                    put(px + dx, py + dy, (255, 220, 60))
    write_png(os.path.join(GALLERY, "subpixel-closeup.png"), width, width, canvas, 3)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    os.makedirs(GALLERY, exist_ok=True)
    columns, rows, grey = read_pgm(PHOTO)
    write_png(os.path.join(GALLERY, "astronaut.png"), columns, rows, grey, 1)
    with tempfile.TemporaryDirectory() as work:
        for sigma in ("1.0", "2.0"):
            listing = os.path.join(work, "edges.list")
            drawing = os.path.join(work, "edges.pgm")
            run([os.path.join(build, "lintrace", "lintrace"), "-i", PHOTO, "-o", listing, "-s", sigma])
            run([os.path.join(build, "linpaint", "linpaint"), "-i", listing, "-r", str(rows), "-c", str(columns),
                 "-o", drawing])
            _, _, edges = read_pgm(drawing)
            write_png(os.path.join(GALLERY, "astronaut-edges-s%s.png" % sigma), columns, rows, edges, 1)
            if sigma == "2.0":
                run([os.path.join(build, "linpaint", "linpaint"), "-i", listing, "--over", PHOTO,
                     "-o", os.path.join(GALLERY, "astronaut-overlay-s2.0.png")])
        close_up(build, work, columns, rows, grey)


if __name__ == "__main__":
    main()
