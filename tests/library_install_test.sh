#!/bin/bash
# The library as another project uses it: installed with `cmake --install`,
# found by find_package(lintrace CONFIG) and by pkg-config, the example of
# docs/examples/library built against it and run on a photograph.
# usage: library_install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/lintrace/lintrace.h"
test -f "$work/prefix/include/lintrace/image.h"

cmake -S "$source/docs/examples/library" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null
out=$("$work/example/edges" "$source/data/chelsea.pgm" 1.0)
echo "$out"
# The example's count of edges is the program's for the same image and settings.
"$build/lintrace/lintrace" -i "$source/data/chelsea.pgm" -o "$work/chelsea.list" -s 1.0 -sp
edges=$(grep -c -- '^-1 -1$' "$work/chelsea.list")
[[ $out == "$edges edges,"* ]] || { echo "the example found other edges than the program ($edges)" >&2; exit 1; }

# pkg-config gives what a plain compiler call needs.
if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib64/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
    c++ "$source/docs/examples/library/edges.cpp" -o "$work/edges-pc" $(pkg-config --cflags --libs --static lintrace)
    [[ $("$work/edges-pc" "$source/data/chelsea.pgm" 1.0) == "$out" ]]
fi
