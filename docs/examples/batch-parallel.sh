#!/bin/sh
# The same with GNU parallel (Debian package parallel), one job per core.
parallel lintrace -i {} -o {.}.list -s 1.0 ::: photos/*.pgm
