#!/bin/bash
# The bash completion of both programs: what is offered after each kind of word.
set -u
source "$1"
failures=0

offered()
{
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _lintrace_complete
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -s -d ' ' -
}

expect()
{
    local want=$1
    shift
    local got
    got=$(offered "$@")
    if [[ $got != "$want" ]]; then
        echo "completing '$*': expected '$want', got '$got'"
        failures=$((failures + 1))
    fi
}

cd "$(mktemp -d)"
touch photo.pgm notes.txt scan.TIF shot.jpeg cat.png chart.pam
mkdir pictures
expect "--auto --format --help --in-place --max-pixels --min-points --page --pixel-coordinates --polygons --precision --progress --refine --simplify --stream --threads --verbose --version -ht -i -lt -m -o -s -sp" lintrace ""
expect "--auto --format --help --in-place --max-pixels --min-points --page --pixel-coordinates --polygons --precision --progress --refine --simplify --stream --threads --version -ht -lt -m -o -s -sp" lintrace -i photo.pgm --verbose ""
expect "csv dxf geojson list svg" lintrace -o x --format ""
expect "" lintrace --simplify ""
expect "svg" lintrace --format s
expect "-lt" lintrace -i photo.pgm -l
expect "-s -sp" lintrace -i photo.pgm -s
expect "cat.png chart.pam photo.pgm pictures/ scan.TIF shot.jpeg" lintrace -i ""
expect "scan.TIF shot.jpeg" lintrace -i s
expect "cat.png chart.pam photo.pgm pictures/ scan.TIF shot.jpeg" linpaint --over ""
expect "" lintrace -s ""
expect "" lintrace --threads ""
expect "" lintrace --max-pixels ""
expect "" lintrace --page ""
expect "" linpaint --max-pixels ""
expect "-r" linpaint -i x -r
expect "--help --in-place --max-pixels --over --version -c -l -o" linpaint -i x -r 3 -""
expect "cat.png chart.pam notes.txt photo.pgm pictures scan.TIF shot.jpeg" linpaint -o ""
rm -rf "$PWD"
exit $((failures > 0))
