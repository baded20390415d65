#!/bin/sh
# Every image under photos/ that lintrace reads (netpbm, PNG, JPEG and TIFF,
# by their usual endings in any case), as many at a time as there are cores;
# each connectivity list lands beside its image, photo.jpg's as photo.list.
# Names travel NUL-separated, so spaces, quotes and new lines in them are
# safe; with no image found, nothing runs.
find photos -type f \( -iname '*.p[bgpna]m' -o -iname '*.png' -o -iname '*.jpg' -o -iname '*.jpeg' \
    -o -iname '*.tif' -o -iname '*.tiff' \) -print0 |
    xargs -0 -r -P "$(nproc)" -n 1 sh -c 'lintrace -i "$1" -o "${1%.*}.list" -s 1.0' lintrace
