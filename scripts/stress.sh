#!/usr/bin/env bash
# Interrupts VELTA many times at each phase of a transfer against the device
# simulator and counts the runs that go wrong:
#
#   prompt  receiving, waiting at the prompt for the device to start
#   data    receiving, while the data comes in
#   xoff    sending, while the device holds VELTA with XOFF
#
# A run is wrong when VELTA does not end with the abort line and status 1
# (or hangs), or when its file is not an exact prefix of what was sent: for
# a reception, of what the simulator sent, and no shorter than what the
# simulator had sent 100 ms before the signal (read from its write count in
# /proc); for a send, what the simulator stored is a prefix of the file.
# A reception that completed before its signal is counted apart.
#
#   scripts/stress.sh [BUILD_DIR [RUNS [WINDOWS_BUILD_DIR | VELTA.exe]]]
#
# RUNS (default 300) is per phase; STRESS_PHASES="prompt data xoff" picks
# phases. VELTA_TARGET=wine runs VELTA.exe under Wine, as the end-to-end
# suite does (WINEPREFIX and VELTA_WINE_SHIM are taken from the environment
# when tests/wine/run.sh set them, else a prefix is made in BUILD_DIR).
# Natively the signal rotates through SIGINT, SIGTERM, SIGHUP and SIGQUIT;
# under Wine it is SIGINT, Wine's Ctrl+C. Status 0 when no run went wrong.
set -u

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd) || exit 2
runs=${2:-300}
phases=${STRESS_PHASES:-prompt data xoff}
target=${VELTA_TARGET:-native}
sim=$build/velta-sim
velta=${VELTA_PROGRAM:-$build/velta}
[ -x "$sim" ] || { echo "stress: no $sim (make build)" >&2; exit 2; }

work=$(mktemp -d /tmp/velta-stress-XXXXXX)
simPid=
veltaPid=
status=
cleanup() {
    [ -n "$veltaPid" ] && kill -KILL "$veltaPid" 2>/dev/null
    [ -n "$simPid" ] && kill -KILL "$simPid" 2>/dev/null
    [ "$target" = wine ] && [ -n "${ownServer:-}" ] && wineserver -k >/dev/null 2>&1
    [ -n "${STRESS_KEEP:-}" ] && echo "stress: kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# A sleep without a process: read with a time-out on a pipe nobody writes.
exec {napFd}<> <(:)
nap() { read -r -t "$1" -u "$napFd"; }

# Microseconds, without a process: ${EPOCHREALTIME/./}.

# --- the program under test ------------------------------------------------------
if [ "$target" = wine ]; then
    exe=${3:-${VELTA_WINE_EXE:-$src/build-win/VELTA.exe}}
    [ -d "$exe" ] && exe=$exe/VELTA.exe
    [ -f "$exe" ] || { echo "stress: no $exe (make windows)" >&2; exit 2; }
    shim=${VELTA_WINE_SHIM:-$build/tests/shims/modem_shim.so}
    [ -f "$shim" ] || cmake --build "$build" --target modem_shim >/dev/null || exit 2
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    if [ -z "${WINEPREFIX:-}" ]; then
        export WINEPREFIX=$build/wine-stress/prefix
        [ -d "$WINEPREFIX" ] || { mkdir -p "$WINEPREFIX" && wineboot -i >/dev/null 2>&1; } ||
            { echo "stress: wineboot failed" >&2; exit 2; }
        wineserver -p >/dev/null 2>&1
        ownServer=1
    fi
elif [ ! -x "$velta" ]; then
    echo "stress: no $velta (make build)" >&2
    exit 2
fi

# Starts VELTA with "$@" on the sim's pseudo-terminal $1, console into $2.
start_velta() {
    local slave=$1 out=$2
    shift 2
    if [ "$target" = wine ]; then
        # Above the COM ports Wine links to /dev/ttyS* itself when it starts.
        local n=${slave##*/}
        local port=$((100 + n % 150))
        ln -sfn "$slave" "$WINEPREFIX/dosdevices/com$port"
        LC_ALL=C LD_PRELOAD=$shim wine "$exe" "$@" "-P$port" >"$out" 2>/dev/null </dev/null &
    else
        # A background job starts with SIGINT and SIGQUIT ignored, and velta
        # keeps what it was started ignoring: give it the defaults back.
        LC_ALL=C env --default-signal=INT,QUIT "$velta" "$@" "-P$slave" >"$out" 2>/dev/null </dev/null &
    fi
    veltaPid=$!
}

# Waits up to $2 seconds until file $1 holds text $3.
wait_text() {
    local file=$1 limit=$((${EPOCHREALTIME/./} + ${2%.*} * 1000000)) text
    while :; do
        text=
        IFS= read -r -d '' text <"$file"
        [[ $text == *"$3"* ]] && return 0
        [ "${EPOCHREALTIME/./}" -ge "$limit" ] && return 1
        nap 0.005
    done
}

# Starts the simulator with "$@" and waits until it has said $1 ("ready:",
# "waiting:"); sets simPid and slave.
start_sim() {
    local until=$1
    shift
    : >"$work/sim.out"
    "$sim" "$@" >>"$work/sim.out" 2>&1 </dev/null &
    simPid=$!
    wait_text "$work/sim.out" 20 "$until" || return 1
    IFS= read -r slave <"$work/sim.out"
}

stop_sim() {
    kill -TERM "$simPid" 2>/dev/null
    wait "$simPid" 2>/dev/null
    simPid=
}

# Waits up to 30 s for VELTA to end; sets status to its status, or "hang".
finish_velta() {
    local i
    for ((i = 0; i < 3000; ++i)); do
        kill -0 "$veltaPid" 2>/dev/null || break
        nap 0.01
    done
    if kill -0 "$veltaPid" 2>/dev/null; then
        kill -KILL "$veltaPid"
        wait "$veltaPid" 2>/dev/null
        status=hang
    else
        wait "$veltaPid"
        status=$?
    fi
    veltaPid=
}

signals=(INT TERM HUP QUIT)
signal_for() { [ "$target" = wine ] && echo INT || echo "${signals[$1 % 4]}"; }

# The abort line as the console gets it.
abortLine=$'\r\x81\x96\x81\x96\x92\x86\x92f\x81\x96\x81\x96              '
[ "$target" = wine ] && abortLine+=$'\r\n' || abortLine+=$'\n'

ends_with_abort() {
    local size
    size=$(stat -c %s "$1")
    [ "$size" -ge ${#abortLine} ] || return 1
    [ "$(tail -c ${#abortLine} "$1" | od -An -tx1)" = "$(printf '%s' "$abortLine" | od -An -tx1)" ]
}

# True when file $1 is a prefix of file $2 at least $3 bytes long.
is_prefix() {
    local size
    size=$(stat -c %s "$1")
    [ "$size" -ge "$3" ] && [ "$size" -le "$(stat -c %s "$2")" ] && cmp -s -n "$size" "$1" "$2"
}

# What the simulator has written to the line: all it wrote, less its report.
line_bytes_sent() {
    local key value written=0
    while read -r key value; do
        [ "$key" = wchar: ] && written=$value
    done <"/proc/$simPid/io"
    echo $((written - $(stat -c %s "$work/sim.out")))
}

# --- the material ------------------------------------------------------------------
dataSize=20000  # more than one 16384-byte block of the receiver
head -c "$dataSize" /dev/urandom >"$work/data.bin"
# The stream the simulator sends for data.bin: its header (load 2000), the data.
total=$((dataSize + 16))
printf "\xFF\xFE\x4D\\x$(printf %02X $((total & 255)))\\x$(printf %02X $((total >> 8 & 255)))\\x$(printf %02X $((total >> 16)))\x00\x00\x00\x20\x00\x00\x00\x00\x00\x00" >"$work/stream.bin"
cat "$work/data.bin" >>"$work/stream.bin"
simRate=115200  # the simulator's pace while it sends: 11520 bytes a second
sendSeconds=$((total * 10 * 1000 / simRate))  # in milliseconds

wrong=0
declare -A phaseFirst
# Says what went wrong and keeps the run's console and simulator report in
# BUILD_DIR/stress-wrong.
report() {
    echo "  run $1: $2"
    mkdir -p "$build/stress-wrong"
    cp "$work/out.txt" "$build/stress-wrong/$phase-$1.console" 2>/dev/null
    cp "$work/sim.out" "$build/stress-wrong/$phase-$1.sim" 2>/dev/null
}

# The run never reached the moment for its signal: report it and end both.
give_up() {
    report "$1" "$2"
    finish_velta
    stop_sim
    return 1
}

# Once the simulator has said `text` (else the run is given up, saying
# `why`), after `pause` seconds: the run's signal (sig) for VELTA, then both
# ends finished.
signal_after() {
    local i=$1 text=$2 why=$3 pause=$4
    wait_text "$work/sim.out" 30 "$text" || { give_up "$i" "$why"; return 1; }
    nap "$pause"
    sig=$(signal_for "$i")
    kill -"$sig" "$veltaPid"
    finish_velta
    stop_sim
}

# --- one run of each phase -----------------------------------------------------------
run_prompt() {
    local i=$1 out=$work/out.txt file=$work/in.bin
    rm -f "$file"
    start_sim waiting: --send "$work/data.bin" --wait-open --delay 600 || { report "$i" "sim did not start"; return 1; }
    start_velta "$slave" "$out" "$file" -MR -B38400
    local sig
    signal_after "$i" opened: "VELTA never opened the line" "$(printf '0.%03d' $((RANDOM % 50)))" || return 1
    : >"$work/empty"
    [ "$status" = 1 ] || { report "$i" "SIG$sig at the prompt: status $status"; return 1; }
    ends_with_abort "$out" || { report "$i" "SIG$sig at the prompt: no abort line"; return 1; }
    [ -f "$file" ] && is_prefix "$file" "$work/empty" 0 || { report "$i" "SIG$sig at the prompt: file not empty"; return 1; }
}

run_data() {
    local i=$1 out=$work/out.txt file=$work/in.bin
    rm -f "$file"
    start_sim waiting: --send "$work/data.bin" --wait-open --baud "$simRate" --linger 30 ||
        { report "$i" "sim did not start"; return 1; }
    start_velta "$slave" "$out" "$file" -MR -B38400
    wait_text "$work/sim.out" 30 "sending:" || { give_up "$i" "the simulator never started sending"; return 1; }
    # The signal lands somewhere in the first nine tenths of the transfer.
    local delay=$((RANDOM * sendSeconds * 9 / 10 / 32768)) before sig
    if [ "$delay" -gt 100 ]; then nap "$(printf '%d.%03d' $(((delay - 100) / 1000)) $(((delay - 100) % 1000)))"; fi
    before=$(line_bytes_sent)
    nap 0.1
    sig=$(signal_for "$i")
    kill -"$sig" "$veltaPid"
    finish_velta
    stop_sim
    if [ "$status" = 1 ] && ! ends_with_abort "$out" && cmp -s "$file" "$work/stream.bin"; then
        phaseFirst[data]=$((${phaseFirst[data]:-0} + 1))  # complete before the signal
        return 0
    fi
    [ "$status" = 1 ] || { report "$i" "SIG$sig in the data: status $status"; return 1; }
    ends_with_abort "$out" || { report "$i" "SIG$sig in the data: no abort line"; return 1; }
    is_prefix "$file" "$work/stream.bin" "$before" ||
        { report "$i" "SIG$sig in the data: file of $(stat -c %s "$file") bytes, $before sent 100 ms before, or not a prefix"; return 1; }
}

run_xoff() {
    local i=$1 out=$work/out.txt saved=$work/saved.bin
    rm -f "$saved"
    start_sim ready: --xonxoff --baud 38400 --hang-after $((1 + RANDOM % 3000)) --idle 60 --save "$saved" ||
        { report "$i" "sim did not start"; return 1; }
    start_velta "$slave" "$out" "$work/data.bin" -F2 -B38400
    local sig
    signal_after "$i" hanging: "the simulator never held VELTA" "$(printf '0.%03d' $((RANDOM % 100)))" || return 1
    [ "$status" = 1 ] || { report "$i" "SIG$sig while held: status $status"; return 1; }
    ends_with_abort "$out" || { report "$i" "SIG$sig while held: no abort line"; return 1; }
    is_prefix "$saved" "$work/data.bin" 0 || { report "$i" "SIG$sig while held: stored data is not a prefix"; return 1; }
}

echo "stress: $runs runs per phase ($phases), target $target"
rm -rf "$build/stress-wrong"
for phase in $phases; do
    bad=0
    started=${EPOCHREALTIME/./}
    for ((i = 1; i <= runs; ++i)); do
        "run_$phase" "$i" || bad=$((bad + 1))
    done
    wrong=$((wrong + bad))
    note=
    [ -n "${phaseFirst[$phase]:-}" ] && note=" (${phaseFirst[$phase]} completed before their signal)"
    echo "stress: $phase: $bad wrong of $runs$note, $(((${EPOCHREALTIME/./} - started) / 1000000)) s"
done
echo "stress: $wrong wrong in all"
[ "$wrong" -eq 0 ]
