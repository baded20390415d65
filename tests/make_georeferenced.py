#!/usr/bin/python3
"""Georeferenced images made by GDAL itself, for the tests that check our
reading of their transforms against gdaltransform's: usage:
make_georeferenced.py DIRECTORY. Writes north-up.tif (tiepoint and pixel
scale, EPSG:32633), rotated.tif (ModelTransformation, EPSG:3857),
point.tif (PixelIsPoint, EPSG:4326), user.tif (a user-defined projected
system), world.png with its world file world.pgw, and bad-world.png with a
world file of five numbers."""
import os
import sys

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
directory = sys.argv[1]
image = (np.arange(48 * 32, dtype=np.uint8).reshape(32, 48) * 7) % 251


def geotiff(name, transform, srs, point=False):
    options = []
    dataset = gdal.GetDriverByName("GTiff").Create(os.path.join(directory, name), 48, 32, 1, gdal.GDT_Byte, options)
    if point:
        dataset.SetMetadataItem("AREA_OR_POINT", "Point")
    dataset.SetGeoTransform(transform)
    dataset.SetProjection(srs.ExportToWkt())
    dataset.GetRasterBand(1).WriteArray(image)
    dataset = None


def epsg(code):
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(code)
    return srs


geotiff("north-up.tif", (500000.0, 0.5, 0.0, 6000000.0, 0.0, -0.5), epsg(32633))
geotiff("rotated.tif", (1000.0, 2.0, 0.5, 3000.0, 0.25, -2.0), epsg(3857))
geotiff("point.tif", (10.0, 0.001, 0.0, 50.0, 0.0, -0.001), epsg(4326), point=True)
user = osr.SpatialReference()
user.SetProjCS("a local grid")
user.SetWellKnownGeogCS("WGS84")
user.SetTM(12.5, 9.25, 0.9996, 100000, 0)
geotiff("user.tif", (0.0, 1.0, 0.0, 0.0, 0.0, -1.0), user)

png = gdal.GetDriverByName("MEM").Create("", 48, 32, 1, gdal.GDT_Byte)
png.GetRasterBand(1).WriteArray(image)
for name in ("world.png", "bad-world.png"):
    gdal.GetDriverByName("PNG").CreateCopy(os.path.join(directory, name), png)
    for extra in (".aux.xml",):
        if os.path.exists(os.path.join(directory, name + extra)):
            os.remove(os.path.join(directory, name + extra))
with open(os.path.join(directory, "world.pgw"), "w") as f:
    f.write("0.25\n0.125\n-0.0625\n-0.25\n700000.5\n5000000.25\n")
with open(os.path.join(directory, "bad-world.pgw"), "w") as f:
    f.write("0.25\n0\n0\n-0.25\n700000.5\n")
