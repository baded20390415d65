#!/bin/sh
# From a PNG photograph to a PNG drawing of its edges, through netpbm
# (Debian package netpbm), without a file in between.
size=$(pngtopnm photo.png | head -n 2 | tail -n 1)  # "columns rows"
pngtopnm photo.png | ppmtopgm | lintrace -i - -o - -s 1.0 |
    linpaint -i - -c "${size% *}" -r "${size#* }" -o - | pnmtopng > edges.png
