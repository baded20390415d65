#!/usr/bin/env python3
"""Builds the benchmark's photographs: mosaics of the real photographs that
scikit-image ships (Debian package python3-skimage), converted to grey, each
scaled to a height of 512 pixels and laid side by side in rows (every other
copy mirrored) until the mosaic reaches the wanted size, so that every part
of it is photograph. Each mosaic is a raw PGM of 1, 4, 16 or 64 megapixels.

usage: make_images.py DIRECTORY [MEGAPIXELS ...]
"""
import os
import sys

SOURCES = "/usr/lib/python3/dist-packages/skimage/data"
PHOTOS = ["retina.jpg", "hubble_deep_field.jpg", "motorcycle_left.png", "astronaut.png", "coffee.png",
          "chelsea.png", "rocket.jpg", "camera.png", "coins.png", "moon.png", "page.png", "grass.png",
          "gravel.png", "brick.png", "cell.png"]
SIDES = {1: (1024, 1024), 4: (2048, 2048), 16: (4096, 4096), 64: (8192, 8192)}


TILE_HEIGHT = 512


def tiles():
    try:
        from PIL import Image
    except ImportError:
        sys.exit("make_images.py: this Python has no PIL; install python3-skimage (it brings python3-pil)")
    images = []
    for name in PHOTOS:
        path = os.path.join(SOURCES, name)
        if os.path.exists(path):
            image = Image.open(path).convert("L")
            width = round(image.width * TILE_HEIGHT / image.height)
            images.append(image.resize((width, TILE_HEIGHT), Image.LANCZOS))
    if not images:
        sys.exit("make_images.py: no photographs in %s; install python3-skimage" % SOURCES)
    return images


def mosaic(width, height, images):
    from PIL import Image, ImageOps
    canvas = Image.new("L", (width, height))
    k = 0
    for row, y in enumerate(range(0, height, TILE_HEIGHT)):
        x = 0
        k = row * 3
        while x < width:
            tile = images[k % len(images)]
            if (k + row) % 2:
                tile = ImageOps.mirror(tile)
            canvas.paste(tile, (x, y))
            x += tile.width
            k += 1
    return canvas


def main():
    directory = sys.argv[1]
    sizes = [int(a) for a in sys.argv[2:]] or sorted(SIDES)
    os.makedirs(directory, exist_ok=True)
    images = None
    for megapixels in sizes:
        width, height = SIDES[megapixels]
        path = os.path.join(directory, "photo-%dmp.pgm" % megapixels)
        if os.path.exists(path):
            continue
        images = images or tiles()
        image = mosaic(width, height, images)
        with open(path, "wb") as out:
            out.write(b"P5\n%d %d\n255\n" % (width, height))
            out.write(image.tobytes())
        print("made", path, file=sys.stderr)


if __name__ == "__main__":
    main()
