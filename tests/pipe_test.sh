#!/bin/bash
# A netpbm pipe through both programs, standard input to standard output:
#   pngtopnm photo.png | ppmtopgm | lintrace -i - -o - | linpaint -i - -r R -c C -o - | pnmtopng
# must draw what the same run through files draws.
set -euo pipefail
lintrace=$1 linpaint=$2 photo=$3
for tool in pnmtopng pngtopnm ppmtopgm; do
    command -v $tool >/dev/null || { echo "netpbm is not installed: skipped"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
read -r columns rows < <(sed -n 2p "$photo")

pnmtopng "$photo" > "$work/photo.png" 2>/dev/null
pngtopnm "$work/photo.png" | ppmtopgm | "$lintrace" -i - -o - -s 1.0 |
    "$linpaint" -i - -r "$rows" -c "$columns" -o - | pnmtopng > "$work/edges.png" 2>/dev/null

"$lintrace" -i "$photo" -o "$work/photo.list" -s 1.0
"$linpaint" -i "$work/photo.list" -r "$rows" -c "$columns" -o "$work/edges.pgm"
# Both drawings go through the same PNG round trip before they are compared.
pngtopnm "$work/edges.png" > "$work/piped.pnm"
pnmtopng "$work/edges.pgm" 2>/dev/null | pngtopnm > "$work/direct.pnm"
cmp "$work/piped.pnm" "$work/direct.pnm"
echo "the pipe draws what the files draw"
