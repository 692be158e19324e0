#!/usr/bin/env bash
# Benchmarks: processor use while the line paces, line efficiency, per-byte
# cost unpaced beside cat and sz/rz, and abort latency; figures 1 and 4 also
# for VELTA.exe under Wine. Prints one table with the machine noted.
#
#   bench/run.sh BUILD_DIR [WIN_BUILD_DIR] [--parts puar] [--repeats N]
#
# BUILD_DIR holds velta and velta-sim (make build); WIN_BUILD_DIR holds
# VELTA.exe (make windows). Without it, or without wine64, the Wine column
# is left out. --parts and --repeats go to the measuring program (see
# bench/velta_bench.cpp). The measuring program (on the test kit), the UART
# shim and the modem-line shim that Wine needs on pseudo-terminals are built
# in BUILD_DIR (BUILD_DIR/bench, BUILD_DIR/tests/shims); BUILD_DIR/bench also
# keeps a Wine prefix for the next run. Measurements only: the status is
# nonzero only when something could not be run at all.
set -u

fail() {
    echo "bench: $*" >&2
    exit 1
}

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [WIN_BUILD_DIR] [--parts puar] [--repeats N]" >&2; exit 2; }
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build directory $1"
shift
winBuild=""
if [ $# -ge 1 ] && [ "${1#--}" = "$1" ]; then
    winBuild=$1
    shift
fi
work=$build/bench
mkdir -p "$work"

for program in "$build/velta" "$build/velta-sim"; do
    [ -x "$program" ] || fail "$program is missing (make build)"
done
for tool in cmake cat sz rz; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (sz and rz: apt-get install lrzsz)"
done

echo "bench: building the measuring program and the shims in $build" >&2
cmake --build "$build" -j2 --target velta-bench uart_shim modem_shim >"$work/build.log" 2>&1 ||
    fail "the measuring program or the shims did not build, see $work/build.log"
shims=$build/tests/shims

args=(--velta "$build/velta" --sim "$build/velta-sim" --uart-shim "$shims/uart_shim.so" --work "$work" "$@")

# --- Wine ------------------------------------------------------------------
exe=${winBuild:+$winBuild/VELTA.exe}
wineReason=""
if [ -z "$exe" ]; then
    wineReason="no Windows build directory given"
elif [ ! -f "$exe" ]; then
    wineReason="$exe is missing (make windows)"
elif ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    wineReason="wine is not installed (apt-get install wine64)"
fi

if [ -z "$wineReason" ]; then
    export WINEPREFIX=$work/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "bench: preparing $WINEPREFIX (once, about 20 s)" >&2
        wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed, see $work/wineboot.log"
    fi
    # One server for the whole run, started here so that its processor time
    # can be read beside the program's.
    wineserver -k >/dev/null 2>&1
    wineserver -f -p >"$work/wineserver.log" 2>&1 &
    server=$!
    trap 'wineserver -k >/dev/null 2>&1; wait "$server" 2>/dev/null' EXIT
    # The first start brings up Wine's services; it is not measured.
    wine "$exe" >/dev/null 2>&1 </dev/null
    args+=(--wine-exe "$(cd "$(dirname "$exe")" && pwd)/VELTA.exe" --wine-shim "$shims/modem_shim.so"
           --wine-server-pid "$server")
else
    echo "bench: Wine left out: $wineReason" >&2
fi

"$work/velta-bench" "${args[@]}"
status=$?
[ -z "$wineReason" ] || echo "Wine: left out ($wineReason)"
exit $status
