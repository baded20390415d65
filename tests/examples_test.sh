#!/bin/bash
# The README's examples, run as they stand on copies of the sample photographs.
set -euo pipefail
build=$1 source=$2
export PATH="$build/lintrace:$build/linpaint:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p "photos/more photos"
cp "$source"/data/chelsea.pgm photos/
cp "$source"/data/camera.pgm "photos/more photos/the camera.pgm"
# The photographs in every format the programs read, under names with
# spaces and endings in capitals (Pillow, Debian package python3-pil).
images=("photos/chelsea.pgm" "photos/more photos/the camera.pgm")
if /usr/bin/python3 -c 'import PIL' 2>/dev/null; then
    /usr/bin/python3 - "$source/data/coffee.pgm" <<'PYTHON'
import sys
from PIL import Image
picture = Image.open(sys.argv[1])
picture.save("photos/a coffee.PNG")
picture.save("photos/more photos/coffee 'q'.jpg", quality=95)
picture.save("photos/coffee.tiff")
picture.convert("RGB").save("photos/coffee colour.ppm")
PYTHON
    images+=("photos/a coffee.PNG" "photos/more photos/coffee 'q'.jpg" "photos/coffee.tiff" "photos/coffee colour.ppm")
else
    echo "Pillow is not installed: the examples run on PGM images alone"
fi
echo "not an image" > photos/notes.txt

# Each image's list beside it, named without the image's ending, and nothing else.
check_lists() {
    local image
    for image in "${images[@]}"; do
        cmp "${image%.*}.list" <(lintrace -i "$image" -o - -s 1.0)
        rm "${image%.*}.list"
    done
    test -z "$(find photos -name '*.list')"
}

sh "$source/docs/examples/batch-xargs.sh"
check_lists
# No image at all: nothing runs, and nothing fails.
mkdir empty && (cd empty && mkdir photos && sh "$source/docs/examples/batch-xargs.sh")

if command -v parallel >/dev/null; then
    sh "$source/docs/examples/batch-parallel.sh"
    check_lists
else
    echo "GNU parallel is not installed: its example skipped"
fi

printf '%s\n' "${images[@]}" > images.txt
for task in $(seq ${#images[@]}); do TASK=$task sh "$source/docs/examples/array-task.sh"; done
check_lists
if TASK=$((${#images[@]} + 1)) sh "$source/docs/examples/array-task.sh" 2> task.err; then exit 1; fi
grep -qx "array-task.sh: images.txt has no line $((${#images[@]} + 1))" task.err

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
