#!/bin/sh
# The main job, end to end, against the device simulator instead of a real
# device: velta sends a sample program to it (binary, generated header),
# then receives the program back from it with -MR; the two are compared.
# Both runs print exactly what they would print with a real device, shown
# as a terminal shows it when the run is over (scripts/render_console.awk:
# the carriage returns of the progress overwrite the line).
#
#   scripts/demo.sh [BUILD_DIR]      (BUILD_DIR holds velta and velta-sim; default build)
#
# Exit status 0 when the device loaded the program intact and the file
# received back holds it unchanged.
set -u

build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "demo: no build directory ${1:-build}" >&2; exit 2; }
velta=$build/velta
sim=$build/velta-sim
rate=19200
load=4000
for program in "$velta" "$sim"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; build first (make release)" >&2
        exit 2
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velta-demo.XXXXXX") || exit 2
simpid=""
cleanup() {
    [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the simulator with the given arguments and sets $port to the
# pseudo-terminal it prints on its first line.
start_sim() {
    out=$1
    shift
    "$sim" "$@" >"$out" &
    simpid=$!
    tries=0
    while ! head -n 1 "$out" 2>/dev/null | grep -q .; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$simpid" 2>/dev/null; then
            echo "demo: the simulator did not start" >&2
            exit 2
        fi
        sleep 0.1
    done
    port=$(head -n 1 "$out")
}

# Waits (a minute at most) for the simulator to end and shows its event and
# result lines; its exit status.
finish_sim() {
    tries=0
    while kill -0 "$simpid" 2>/dev/null && [ $tries -lt 600 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    kill "$simpid" 2>/dev/null
    wait "$simpid"
    status=$?
    simpid=""
    sed -e '1d' -e 's/^/    device> /' "$1"
    return $status
}

# The console bytes in FILE as the terminal shows them, indented. The bytes
# are UTF-8 when the locale's name says so, as velta decides; CP932 otherwise.
utf8=0
for name in "${LC_ALL:-}" "${LC_CTYPE:-}" "${LANG:-}"; do
    [ -n "$name" ] || continue
    case $name in *.[Uu][Tt][Ff]-8* | *.[Uu][Tt][Ff]8*) utf8=1 ;; esac
    break
done
show_console() {
    LC_ALL=C awk -v utf8=$utf8 -f "$(dirname "$0")/render_console.awk" "$1" | sed '/./s/^/    /'
}

# A sample program of 4096 deterministic bytes, every value from 0 to 255.
LC_ALL=C awk 'BEGIN { x = 1; for (i = 0; i < 4096; i++) { x = (x * 75 + 74) % 65537; printf "%c", x % 256 } }' \
    >"$work/program.bin"
size=$(wc -c <"$work/program.bin" | tr -d ' ')

echo "== 1. velta sends program.bin ($size bytes) to the device at $rate bit/s, load address $load"
start_sim "$work/load.out" --baud "$rate" --save "$work/loaded.bin"
echo "\$ velta program.bin -MS -B$rate -S$load -P$port"
echo
(cd "$work" && timeout 120 "$velta" program.bin -MS "-B$rate" "-S$load" "-P$port" >"$work/send.console")
send_status=$?
show_console "$work/send.console"
echo
finish_sim "$work/load.out"
load_status=$?

echo
echo "== 2. velta receives the program back from the device with -MR"
start_sim "$work/send.out" --send "$work/loaded.bin" --load "$load" --baud "$rate" --wait-open
echo "\$ velta back.bin -MR -B$rate -P$port"
echo
(cd "$work" && timeout 120 "$velta" back.bin -MR "-B$rate" "-P$port" >"$work/receive.console")
receive_status=$?
show_console "$work/receive.console"
echo
finish_sim "$work/send.out"
device_send_status=$?

# back.bin holds the 16-byte header the device sent, then the data.
tail -c +17 "$work/back.bin" >"$work/back.data" 2>/dev/null
verdict=0
check() {
    if [ "$1" = ok ]; then
        echo "  ok    $2"
    else
        echo "  FAIL  $2"
        verdict=1
    fi
}
echo
echo "== Verdict"
[ $send_status -eq 1 ] && r=ok || r=no
check $r "velta -MS ended with status 1 (its status after any transfer; was $send_status)"
[ $load_status -eq 0 ] && r=ok || r=no
check $r "the device loaded the program complete and intact (status $load_status)"
cmp -s "$work/program.bin" "$work/loaded.bin" && r=ok || r=no
check $r "what the device loaded is program.bin, byte for byte"
[ $receive_status -eq 1 ] && [ $device_send_status -eq 0 ] && r=ok || r=no
check $r "velta -MR ended with status 1 and the device sent everything (status $device_send_status)"
header=$(head -c 16 "$work/back.bin" | od -An -tx1 | tr -s ' \n' ' ')
[ "$header" = " ff fe 4d 10 10 00 00 00 00 40 00 00 00 00 00 00 " ] && r=ok || r=no
check $r "back.bin starts with the header: 4112 bytes in all, load address $load, run address 0000"
cmp -s "$work/program.bin" "$work/back.data" && r=ok || r=no
check $r "and then holds program.bin, byte for byte"
if [ $verdict -eq 0 ]; then
    echo "The main job works: program sent, loaded, received back unchanged."
else
    echo "The main job FAILED (see above)."
fi
exit $verdict
