# bash completion for lintrace and linpaint: their switches (each offered
# until given), image files of every format lintrace reads (by their usual
# extensions, in any case) after lintrace's -i and linpaint's --over, any
# file after the other switches that name one, the formats after --format,
# nothing after those that take a number.

# Files under the word being completed that are images lintrace reads, and directories.
_lintrace_images()
{
    local file
    while IFS= read -r file; do
        [[ -d $file ]] && continue
        case ${file,,} in
            *.pgm | *.pbm | *.ppm | *.pnm | *.pam | *.png | *.jpg | *.jpeg | *.jpe | *.jfif | *.tif | *.tiff)
                COMPREPLY+=("$file")
                ;;
        esac
    done < <(compgen -f -- "$1")
    COMPREPLY+=($(compgen -d -S / -- "$1"))
}

_lintrace_switches()
{
    case $1 in
        lintrace) echo "-i -o -s -lt -ht -sp -m --format --auto --threads --refine --verbose --simplify --min-points --precision --polygons --pixel-coordinates --in-place --max-pixels --page --stream --progress --help --version" ;;
        linpaint) echo "-i -r -c -l -o --over --in-place --max-pixels --help --version" ;;
    esac
}

_lintrace_complete()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local program=${COMP_WORDS[0]##*/}
    case "$program:$prev" in
        lintrace:-i | linpaint:--over)
            COMPREPLY=()
            _lintrace_images "$cur"
            return
            ;;
        *:-i | *:-o)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        lintrace:--format)
            COMPREPLY=($(compgen -W "list svg geojson csv dxf" -- "$cur"))
            return
            ;;
        *:-s | *:-m | *:-lt | *:-ht | *:-r | *:-c | *:-l | lintrace:--threads | lintrace:--simplify | lintrace:--min-points | lintrace:--precision | *:--max-pixels | lintrace:--page)
            COMPREPLY=()
            return
            ;;
    esac
    local given=" ${COMP_WORDS[*]:1:COMP_CWORD-1} " offered=() switch
    for switch in $(_lintrace_switches "$program"); do
        [[ $given == *" $switch "* ]] || offered+=("$switch")
    done
    COMPREPLY=($(compgen -W "${offered[*]}" -- "$cur"))
}

complete -o filenames -F _lintrace_complete lintrace linpaint
