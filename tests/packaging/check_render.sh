#!/bin/sh
# How scripts/render_console.awk (the demo's view of a run) draws console
# bytes: each row is the bytes (printf escapes), UTF-8 (1) or CP932 (0),
# and the lines a terminal would show, "|" ending each line so that a
# trailing blank shows. With BUILD_DIR, `make demo`'s script also runs on
# that build: it must pass, and show each run as lines, not carriage returns.
#
#   tests/packaging/check_render.sh SOURCE_DIR [BUILD_DIR]
set -u
. "$(dirname "$0")/check_lib.sh"
awk_file=$1/scripts/render_console.awk
rows=0
check() {
    rows=$((rows + 1))
    actual=$(printf "$1" | LC_ALL=C awk -v utf8="$2" -f "$awk_file" | sed 's/$/|/')
    expected=$(printf "$3")
    [ "$actual" = "$expected" ] || fail "'$1' (utf8=$2): expected '$expected', got '$actual'"
}
check 'abc\rX' 1 'Xbc|'                                      # overwrites, and the last line gets its end
check 'ab\r\n\acd' 1 'ab|\ncd|'                              # a bell shows nothing
check 'W\rS\r\r|----|\r|oo' 1 '|oo--||'                      # the progress bar over the header marks
check '9600bps\343\201\247\r12345678' 1 '12345678 |'         # half of a wide character is left blank
check '12345678\r|\343\201\247' 1 '|\343\201\24745678|'      # a wide character takes two columns
check '\357\275\242X\357\275\243\rab' 1 'ab\357\275\243|'    # half-width katakana take one
check '\202\240b\rx' 0 'x b|'                                # CP932: two bytes, two columns
check '\201|\221\227\rabcd' 0 'abcd|'

if [ $# -ge 2 ]; then
    out=$(mktemp "${TMPDIR:-/tmp}/velta-demo.XXXXXX")
    LC_ALL= LC_CTYPE= LANG=C.UTF-8 sh "$1/scripts/demo.sh" "$2" >"$out" 2>&1
    status=$?
    [ $status -eq 0 ] || { fail "the demo ended with $status:"; cat "$out"; }
    [ "$(tr -cd '\r' <"$out" | wc -c)" -eq 0 ] || fail "the demo shows carriage returns"
    for line in '    \357\274\215\351\200\201\344\277\241\345\256\214\344\272\206\357\274\215' \
        '    \357\274\215\345\217\227\344\277\241\345\256\214\344\272\206\357\274\215'; do
        grep -qx "$(printf "$line")" "$out" || fail "the demo shows no line '$(printf "$line")'"
    done
    rm -f "$out"
fi
verdict render
echo "render: $rows rows as a terminal shows them${2:+; the demo passes and shows lines}"
