#!/usr/bin/env bash
# Runs the Windows build, VELTA.exe, under Wine against pseudo-terminals:
# the Wine cases (tests/wine/wine_test and the others of tests/wine), the
# end-to-end suite when it has been built, and the network ports through a
# real ser2net (tests/net/net_test), both with VELTA_TARGET=wine.
#
#   tests/wine/run.sh BUILD_DIR [WINDOWS_BUILD_DIR | VELTA.exe]
#
# BUILD_DIR is the native build tree; the native test programs and the
# modem-line shim are built there if they are not yet. VELTA.exe is taken
# from the second argument, a Windows build tree or the executable itself;
# without it the executable is cross-built in BUILD_DIR/windows. One Wine
# prefix is made per run, in BUILD_DIR/wine/prefix, and every case shares it
# through its own COM links. Installs nothing: wine64 and mingw-w64 must be
# there. Ends with one summary line; the status is nonzero on any failure.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [WINDOWS_BUILD_DIR | VELTA.exe]" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
work=$build/wine
log=$work/log
suiteTimeout=${VELTA_WINE_SUITE_TIMEOUT:-900}

fail() {
    echo "wine: $*" >&2
    echo "wine: FAILED ($*)"
    exit 1
}

for tool in wine wineboot wineserver; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (apt-get install wine64)"
done

mkdir -p "$work"
: >"$log"

# --- the programs under test -------------------------------------------------
exe=${2:-}
[ -d "$exe" ] && exe=$exe/VELTA.exe
if [ -z "$exe" ]; then
    command -v x86_64-w64-mingw32-g++ >/dev/null ||
        fail "x86_64-w64-mingw32-g++ is not installed (apt-get install g++-mingw-w64-x86-64)"
    echo "wine: building VELTA.exe in $build/windows"
    { cmake -S "$src" -B "$build/windows" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" &&
        cmake --build "$build/windows" -j2; } >>"$log" 2>&1 || fail "cross build failed, see $log"
    exe=$build/windows/VELTA.exe
fi
[ -f "$exe" ] || fail "no $exe"
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

echo "wine: building the native test programs in $build"
{ [ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build"; } >>"$log" 2>&1 || fail "configure failed, see $log"
cmake --build "$build" -j2 --target wine_test wine_close_test wine_net_test net_test driver_model_test modem_shim uart_shim >>"$log" 2>&1 ||
    fail "native build failed, see $log"
shim=$build/tests/shims/modem_shim.so
winetest=$build/tests/wine/wine_test

# --- one prefix for the run ----------------------------------------------------
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
rm -rf "$WINEPREFIX"
echo "wine: preparing $WINEPREFIX"
wineboot -i >>"$log" 2>&1 || fail "wineboot failed, see $log"
# One server that stays for the whole run: otherwise every case that starts
# after a quiet moment pays for a new server and Wine's services again.
wineserver -k >>"$log" 2>&1
wineserver -p >>"$log" 2>&1 || fail "wineserver did not start, see $log"
trap 'wineserver -k >/dev/null 2>&1' EXIT

export VELTA_WINE_EXE=$exe VELTA_WINE_SHIM=$shim
wine "$exe" >/dev/null 2>>"$log"
status=$?
[ "$status" -eq 255 ] || fail "VELTA.exe without arguments ended with $status, not 255"

# --- the suites ------------------------------------------------------------------
passed=0
failed=0
failedSuites=""

# Runs one GoogleTest program and adds its counts to the totals.
run_suite() {
    local name=$1
    shift
    local out=$work/$name.out
    echo "wine: running $name"
    VELTA_TARGET=wine timeout -k 10 "$suiteTimeout" "$@" --gtest_color=no >"$out" 2>&1
    local status=$?
    # One line per case, with its time: "[       OK ] ... (12 ms)".
    grep -E '^\[ +(OK|FAILED) +\] .*\([0-9]+ ms\)$' "$out" | sed 's/^/  /'
    local ok bad
    ok=$(grep -cE '^\[       OK \] .*\([0-9]+ ms\)$' "$out")
    bad=$(grep -cE '^\[  FAILED  \] .*\([0-9]+ ms\)$' "$out")
    passed=$((passed + ok))
    failed=$((failed + bad))
    if [ "$status" -ne 0 ]; then
        [ "$bad" -gt 0 ] || failed=$((failed + 1))
        failedSuites="$failedSuites $name"
        echo "  $name ended with status $status; its output is in $out"
    fi
}

run_suite wine_test "$winetest"
run_suite wine_close_test "$build/tests/wine/wine_close_test"
run_suite driver_model_test "$build/tests/wine/driver_model/driver_model_test"
run_suite wine_net_test "$build/tests/wine/wine_net_test"
# The end-to-end suite, the same cases as for the native program.
e2e=$build/tests/e2e/e2e_test
[ -x "$e2e" ] && run_suite e2e_test "$e2e"
[ -x "$build/tests/e2e/diagnostics_e2e_test" ] && run_suite diagnostics_e2e_test "$build/tests/e2e/diagnostics_e2e_test"
# The network ports through a real ser2net, the same cases as natively.
run_suite net_test "$build/tests/net/net_test"

if [ "$failed" -eq 0 ] && [ -z "$failedSuites" ]; then
    echo "wine: all $passed cases passed under $(wine --version 2>/dev/null || echo Wine)"
    exit 0
fi
echo "wine: $failed failed, $passed passed (failing:$failedSuites)"
exit 1
