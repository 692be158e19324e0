# bash completion for velta and velta-sim.
#
# velta's options take their value with no blank (-P/dev/ttyUSB0, -B9600), so
# the whole option is one word and is completed as one: -P/dev/tt<Tab>.
# Ports come from /dev/serial/by-id, ttyUSB*, ttyACM*, cu.* and from
# `velta --list-ports`, then the two kinds of network port (rfc2217://,
# socket://); VELTA_COMPLETION_DEV names another device directory.

# The serial devices worth offering, one per line.
_velta_devices() {
    local dev=${VELTA_COMPLETION_DEV:-/dev} path
    for path in "$dev"/serial/by-id/* "$dev"/ttyUSB* "$dev"/ttyACM* "$dev"/cu.*; do
        [[ -e $path || -L $path ]] && printf '%s\n' "$path"
    done
}

# The -P arguments that `COMMAND --list-ports` prints first on its lines; a
# program that cannot list ports (or fails) adds nothing.
_velta_listed_ports() {
    local command=$1 first rest limit=()
    command -v -- "$command" >/dev/null 2>&1 || return 0
    command -v timeout >/dev/null 2>&1 && limit=(timeout 3)
    "${limit[@]}" "$command" --list-ports </dev/null 2>/dev/null | while read -r first rest; do
        [[ $first == -[Pp]?* ]] && printf '%s\n' "${first:2}"
    done
}

# Sets COMPREPLY to the words of $2 (one per line, duplicates dropped) that
# start with $1, the word as typed. Bash splits words at colons (by-path
# names have them), so what stands before the last colon is taken off again.
_velta_reply() {
    local cur=$1 word
    local -A seen=()
    COMPREPLY=()
    while IFS= read -r word; do
        [[ -n $word && $word == "$cur"* && -z ${seen[$word]:-} ]] || continue
        seen[$word]=1
        COMPREPLY+=("$word")
    done <<<"$2"
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local head=${cur%"${cur##*:}"} i
        for i in "${!COMPREPLY[@]}"; do COMPREPLY[i]=${COMPREPLY[i]#"$head"}; done
    fi
}

# The word under the cursor as the user sees it, colons included.
_velta_current_word() {
    local line=${COMP_LINE:0:COMP_POINT}
    printf '%s' "${line##*[[:blank:]]}"
}

# velta's long options; those with a value take it as the next word.
_velta_long=$'--help\n--version\n--list-ports\n--json\n--progress\n--exit-status\n--stdio\n--from\n--run-address\n--timeout\n--dtr\n--rts\n--port'

_velta() {
    local cur lead values="" value list
    cur=$(_velta_current_word)
    case ${COMP_WORDS[COMP_CWORD-1]:-} in
        --from) _velta_reply "$cur" $'ihex\nsrec\nelf\nauto'; return 0 ;;
        --dtr) _velta_reply "$cur" $'on\noff\nkeep'; return 0 ;;
        --rts) _velta_reply "$cur" $'on\noff'; return 0 ;;
        --port) _velta_reply "$cur" 'auto'; return 0 ;;
        --run-address) _velta_reply "$cur" 'entry'; return 0 ;;
        --timeout) COMPREPLY=(); return 0 ;;
    esac
    # The first argument is the file: the shell's own file completion.
    if ((COMP_CWORD <= 1)) && [[ $cur != --* ]]; then
        COMPREPLY=()
        return
    fi
    lead=${cur:0:2}
    case $cur in
        --*)
            values=$_velta_long ;;
        -[Pp]*)
            list=$(_velta_devices; _velta_listed_ports "$1"; printf '%s\n' rfc2217:// socket://)
            while IFS= read -r value; do [[ -n $value ]] && values+="$lead$value"$'\n'; done <<<"$list" ;;
        -[Bb]*)
            for value in 300 600 1200 2400 4800 9600 19200 38400; do values+="$lead$value"$'\n'; done ;;
        -[Mm]*)
            values="${lead}S"$'\n'"${lead}R" ;;
        -[Ff]*)
            values="${lead}0"$'\n'"${lead}1"$'\n'"${lead}2" ;;
        -*)
            values=$'-MS\n-MR\n-S\n-B\n-P\n-F\n-T\n-N\n'$_velta_long ;;
    esac
    _velta_reply "$cur" "$values"
    # -B, -P, -S and -F alone still want their value, a network port its host.
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == @(-[BPSFbpsf]|*//) ]] && compopt -o nospace 2>/dev/null
    return 0
}

_velta_sim() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --port) _velta_reply "$cur" "$(_velta_devices)"; return ;;
        --link | --save | --send) COMPREPLY=(); return ;;  # a file: the shell's own completion
        --baud) _velta_reply "$cur" $'300\n600\n1200\n2400\n4800\n9600\n19200\n38400'; return ;;
        --idle | --sessions | --hang-after | --load | --run | --delay | --linger | --burst | --stop-after | --short)
            COMPREPLY=(); return ;;
    esac
    _velta_reply "$cur" "$(printf '%s\n' --help --port --link --baud --xonxoff --text --sessions \
        --wait-stdin --idle --save --hang-after --send --load --run --wait-open --delay --linger \
        --burst --stop-after --short --bad-size --garbage)"
}

complete -o default -F _velta velta VELTA
complete -o default -F _velta_sim velta-sim
