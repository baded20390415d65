#!/bin/sh
# The same with GNU parallel (Debian package parallel), one job per core;
# parallel quotes each name itself.
find photos -type f \( -iname '*.p[bgpna]m' -o -iname '*.png' -o -iname '*.jpg' -o -iname '*.jpeg' \
    -o -iname '*.tif' -o -iname '*.tiff' \) -print0 |
    parallel -0 lintrace -i {} -o {.}.list -s 1.0
