#!/bin/sh
# The native suite under AddressSanitizer and UndefinedBehaviorSanitizer, in
# a build configured with -DVELTA_SANITIZE=ON (`make check-san`). Every
# process the tests start inherits the options: a report aborts the process
# (ASan's own exit status, 1, is also velta's normal one and would pass
# unnoticed), leaks are looked for at exit, and each report is also written
# to a log of its own. Any log fails the stage, even from a child whose end
# no test looked at.
#
#   tests/sanitize/run.sh BUILD [JOBS]
set -u
build=$(cd "$1" && pwd)
jobs=${2:-2}
logs=$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"

# One log name for all three: in a combined build the last options read set it.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:log_path=$logs/report:strict_string_checks=1"
export UBSAN_OPTIONS="abort_on_error=1:halt_on_error=1:print_stacktrace=1:log_path=$logs/report"
export LSAN_OPTIONS="log_path=$logs/report"

# First the canary: each kind of report must abort it and leave a log.
for kind in buffer overflow; do
    "$build/tests/sanitize/sanitizer_canary" "$kind" 2>/dev/null
    canary=$?
    if [ "$canary" -ne 134 ] || ! ls "$logs"/report.* >/dev/null 2>&1; then
        echo "sanitizer: the canary's $kind report ended it with status $canary, logged: $(ls "$logs")"
        exit 1
    fi
    rm -f "$logs"/*
done

(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 600)
status=$?

found=0
for log in "$logs"/*; do
    [ -f "$log" ] || continue
    found=$((found + 1))
    echo "sanitizer: report in $log:"
    cat "$log"
done
if [ "$found" -gt 0 ]; then
    echo "sanitizer: $found report(s): FAILED"
    exit 1
fi
[ "$status" -eq 0 ] || { echo "sanitizer: the suite failed under the sanitizers"; exit 1; }
echo "sanitizer: the suite passed with no report"
