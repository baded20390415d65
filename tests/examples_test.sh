#!/bin/bash
# The README's examples, run as they stand on copies of the sample photographs.
set -euo pipefail
build=$1 source=$2
export PATH="$build/lintrace:$build/linpaint:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p photos/more
cp "$source"/data/chelsea.pgm "$source"/data/coffee.pgm photos/
cp "$source"/data/camera.pgm photos/more/

sh "$source/docs/examples/batch-xargs.sh"
for image in photos/chelsea photos/coffee photos/more/camera; do
    lintrace -i "$image.pgm" -o expected.list -s 1.0
    cmp "$image.list" expected.list
done
rm photos/*.list photos/more/*.list

if command -v parallel >/dev/null; then
    sh "$source/docs/examples/batch-parallel.sh"
    cmp photos/chelsea.list <(lintrace -i photos/chelsea.pgm -o - -s 1.0)
    rm photos/*.list
else
    echo "GNU parallel is not installed: its example skipped"
fi

ls photos/*.pgm photos/more/*.pgm > images.txt
for task in 1 2 3; do TASK=$task sh "$source/docs/examples/array-task.sh"; done
cmp photos/more/camera.list <(lintrace -i photos/more/camera.pgm -o - -s 1.0)

if command -v pnmtopng >/dev/null; then
    pnmtopng photos/chelsea.pgm > photo.png 2>/dev/null
    sh "$source/docs/examples/pipe.sh" 2>/dev/null
    pngtopnm edges.png > piped.pnm
    lintrace -i photos/chelsea.pgm -o chelsea.list -s 1.0
    linpaint -i chelsea.list -r 300 -c 451 -o - | pnmtopng 2>/dev/null | pngtopnm | cmp - piped.pnm
else
    echo "netpbm is not installed: the pipe example skipped"
fi
echo "every example ran as documented"
