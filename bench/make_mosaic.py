#!/usr/bin/env python3
"""Writes a tiled BigTIFF (8-bit grey) that is a mosaic of the bundled
photographs (data/*.pgm), of any size up to tens of gigapixels, without ever
holding the mosaic in memory.

The mosaic is laid out in rows of photographs. Each row has its own height,
drawn from the photographs' heights (300, 400 and 512), so the horizontal
seams of one band of rows are not those of the next; each row starts at its
own offset into its first photograph, so the vertical seams of neighbouring
rows do not line up either. Each placed photograph is one of those at least
as tall as its row, cropped to the row's height at a drawn offset, and
mirrored, flipped, both or neither. Every draw comes from a generator seeded
by (seed, row), so any row can be rebuilt on its own, in any order, and the
same arguments give the same bytes.

The file is written a band of tile rows at a time through GDAL (TILED=YES,
BIGTIFF=YES), into a temporary name beside the target that is renamed when
the last band is written: the memory held is one band (width x tile height
bytes) plus GDAL's block cache, and a failed run leaves no file.

usage: make_mosaic.py OUTPUT.tif (--width W --height H | --megapixels M)
                      [--tile 256|512] [--deflate] [--seed S]
"""
import argparse
import os
import shutil
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from netpbm import read_pgm  # noqa: E402

PHOTOS = ["astronaut.pgm", "camera.pgm", "chelsea.pgm", "coffee.pgm"]
DEFAULT_SEED = 23
# The GDAL block cache: large enough for one band of tiles in flight, small
# enough that the memory held does not grow with the image.
CACHE_BYTES = 256 << 20
# Room kept free on the target's file system beyond the file itself.
SPARE_BYTES = 256 << 20
# A tag that names what the file holds, so a caller can tell whether a file
# already there is this mosaic or something else of the same size.
DESCRIPTION_KEY = "TIFFTAG_IMAGEDESCRIPTION"


def fail(message):
    sys.exit("make_mosaic.py: " + message)


def description(width, height, tile, seed):
    return "lintrace benchmark mosaic %dx%d tile %d seed %d" % (width, height, tile, seed)


def load_photos():
    photos = []
    for name in PHOTOS:
        path = os.path.join(ROOT, "data", name)
        try:
            photos.append(read_pgm(path))
        except (OSError, ValueError, IndexError) as error:
            fail("cannot read the photograph %s: %s" % (path, error))
    return photos


class Layout:
    """Where each row of photographs lies, and what each row holds."""

    def __init__(self, width, height, photos, seed):
        self.width, self.photos, self.seed = width, photos, seed
        heights = sorted({p.shape[0] for p in photos})
        rng = np.random.default_rng([seed, 0])
        self.rows = []  # (top, height) of each row of photographs
        top = 0
        while top < height:
            row_height = int(heights[rng.integers(len(heights))])
            self.rows.append((top, row_height))
            top += row_height
        self._cached = {}

    def row_pieces(self, index):
        """The pieces of one row, left to right: (x, photo, first column,
        columns, first photo row, flip) with the photograph already flipped,
        so that a line y of the row is photo[top_offset + y, c0:c0 + n]."""
        if index in self._cached:
            return self._cached[index]
        _, row_height = self.rows[index]
        tall = [p for p in self.photos if p.shape[0] >= row_height]
        rng = np.random.default_rng([self.seed, 1 + index])
        pieces, x, first = [], 0, True
        while x < self.width:
            photo = tall[rng.integers(len(tall))]
            flip = int(rng.integers(4))
            if flip & 1:
                photo = photo[:, ::-1]
            if flip & 2:
                photo = photo[::-1, :]
            top = int(rng.integers(photo.shape[0] - row_height + 1))
            c0 = int(rng.integers(photo.shape[1])) if first else 0
            n = min(photo.shape[1] - c0, self.width - x)
            pieces.append((x, photo[top:top + row_height], c0, n))
            x += n
            first = False
        # Only the rows a band touches are kept: a band meets at most a few.
        if len(self._cached) > 4:
            self._cached.pop(min(self._cached))
        self._cached[index] = pieces
        return pieces

    def band(self, y0, lines, out):
        """Fills out[0:lines] with lines y0 .. y0 + lines - 1 of the mosaic."""
        for index, (top, row_height) in enumerate(self.rows):
            lo, hi = max(top, y0), min(top + row_height, y0 + lines)
            if lo >= hi:
                continue
            for x, photo, c0, n in self.row_pieces(index):
                out[lo - y0:hi - y0, x:x + n] = photo[lo - top:hi - top, c0:c0 + n]


def check_room(path, width, height):
    """The file is at most its samples plus two 8-byte offsets and counts a
    tile and the header: refuse before writing if the file system lacks it."""
    directory = os.path.dirname(os.path.abspath(path))
    needed = width * height + SPARE_BYTES
    free = shutil.disk_usage(directory).free
    if free < needed:
        fail("%s has %.1f GiB free; a %d x %d mosaic needs up to %.1f GiB there"
             % (directory, free / 2**30, width, height, needed / 2**30))


def make_mosaic(path, width, height, tile=512, deflate=False, seed=DEFAULT_SEED, quiet=False):
    try:
        from osgeo import gdal
    except ImportError:
        fail("this Python has no GDAL module; install python3-gdal (support/install-deps.sh tests)")
    gdal.UseExceptions()
    if tile not in (256, 512):
        fail("the tile side must be 256 or 512, not %d" % tile)
    if width < 1 or height < 1:
        fail("the mosaic's width and height must be positive, not %d x %d" % (width, height))
    check_room(path, width, height)
    gdal.SetCacheMax(CACHE_BYTES)
    photos = load_photos()
    layout = Layout(width, height, photos, seed)
    options = ["TILED=YES", "BIGTIFF=YES", "BLOCKXSIZE=%d" % tile, "BLOCKYSIZE=%d" % tile]
    if deflate:
        options += ["COMPRESS=DEFLATE", "PREDICTOR=2"]
    partial = path + ".part"
    try:
        dataset = gdal.GetDriverByName("GTiff").Create(partial, width, height, 1, gdal.GDT_Byte, options)
        dataset.SetMetadataItem(DESCRIPTION_KEY, description(width, height, tile, seed))
        band = dataset.GetRasterBand(1)
        buffer = np.empty((tile, width), np.uint8)
        for y0 in range(0, height, tile):
            lines = min(tile, height - y0)
            layout.band(y0, lines, buffer)
            band.WriteArray(buffer[:lines], 0, y0)
            if not quiet and sys.stderr.isatty():
                print("\rmake_mosaic.py: %d of %d rows" % (y0 + lines, height), end="", file=sys.stderr)
        band = None
        dataset.FlushCache()
        dataset = None
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise
    os.replace(partial, path)
    if not quiet and sys.stderr.isatty():
        print(file=sys.stderr)


def is_mosaic(path, width, height, tile, seed=DEFAULT_SEED):
    """Whether path is already the mosaic these arguments would write."""
    if not os.path.exists(path):
        return False
    from osgeo import gdal
    gdal.UseExceptions()
    try:
        dataset = gdal.Open(path)
    except RuntimeError:
        return False
    return (dataset.RasterXSize, dataset.RasterYSize) == (width, height) \
        and dataset.GetMetadataItem(DESCRIPTION_KEY) == description(width, height, tile, seed)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output")
    parser.add_argument("--width", type=int)
    parser.add_argument("--height", type=int)
    parser.add_argument("--megapixels", type=float,
                        help="a square of about this many megapixels (2^20 pixels), its side a multiple of the tile")
    parser.add_argument("--tile", type=int, default=512, choices=(256, 512))
    parser.add_argument("--deflate", action="store_true", help="deflate-compress the tiles (default: none)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    arguments = parser.parse_args()
    if arguments.megapixels is not None:
        if arguments.width or arguments.height:
            parser.error("give --megapixels or --width and --height, not both")
        side = int(round((arguments.megapixels * 2**20) ** 0.5 / arguments.tile)) * arguments.tile
        width = height = max(side, arguments.tile)
    elif arguments.width and arguments.height:
        width, height = arguments.width, arguments.height
    else:
        parser.error("give --width and --height, or --megapixels")
    make_mosaic(arguments.output, width, height, arguments.tile, arguments.deflate, arguments.seed)


if __name__ == "__main__":
    main()
