#!/bin/sh
# Every PGM image under photos/, as many at a time as there are cores; each
# connectivity list lands beside its image.
find photos -name '*.pgm' -print0 |
    xargs -0 -P "$(nproc)" -n 1 sh -c 'lintrace -i "$1" -o "${1%.pgm}.list" -s 1.0' lintrace
