#!/bin/sh
# The fuzz stage. Replays every committed corpus (tests/fuzz/corpus/<target>,
# each input once), then fuzzes every target in two lanes side by side:
# without SECONDS for a fixed two minutes in all (`make check`), with it for
# SECONDS per target (`make fuzz FUZZ_SECONDS=N`). A crash, leak, time-out
# (5 s), memory overrun (2 GB) or sanitizer report fails the stage; the
# input is printed in hex with the command that replays it. New inputs go to
# BUILD/fuzz/corpus/<target>, not into the tree: copy the ones worth keeping
# (and every crash, once mended) into tests/fuzz/corpus/<target>.
#
#   tests/fuzz/run.sh BUILD [SECONDS]
set -u
build=$(cd "$1" && pwd)
seconds=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
bin=$build/tests/fuzz
work=$build/fuzz
targets="options sender receiver console port_list ihex srec elf"
# About two minutes for `make check`: each lane shares them among its targets.
lane_seconds=110

rm -rf "$work"
mkdir -p "$work/found" "$work/logs"
for t in $targets; do
    [ -x "$bin/fuzz_$t" ] || { echo "fuzz: $bin/fuzz_$t is not built (configure with -DVELTA_FUZZ=ON)"; exit 1; }
done

# libFuzzer's own flags: the target's console and warnings are closed
# (-close_fd_mask=3), libFuzzer and the sanitizers still report.
flags_for() {
    name=$1
    set -- -timeout=5 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/found/$name-"
    [ -f "$here/$name.dict" ] && set -- "$@" -dict="$here/$name.dict"
    echo "$@"
}

# Prints what failed: the report, each saved input in hex, how to replay it.
report() {
    t=$1 log=$2
    echo "fuzz: fuzz_$t FAILED; the end of its log ($log):"
    grep -v '^INFO\|^#\|^"' "$log" | tail -40
    for input in "$work/found/$t-"*; do
        [ -f "$input" ] || continue
        echo "fuzz: the input ($(wc -c <"$input") bytes), in hex:"
        od -An -tx1 -v "$input" | head -64
        echo "fuzz: replay with: $bin/fuzz_$t $input"
    done
    touch "$work/failed"
}

# run T LOG NOTE ARGS...: fuzz_T with its flags and ARGS, logged to LOG;
# then its summary (NOTE added), or what failed.
run() {
    t=$1 log=$2 note=$3
    shift 3
    # shellcheck disable=SC2046
    if "$bin/fuzz_$t" $(flags_for "$t") "$@" >"$log" 2>&1; then summary "$t" "$log" "$note"; else report "$t" "$log"; fi
}

# "fuzz_sender: 1234 runs in 36 s, cov 187, ft 345"
summary() {
    t=$1 log=$2
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    done_line=$(grep 'DONE\|INITED' "$log" | tail -1)
    cov=$(echo "$done_line" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$done_line" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    echo "fuzz: fuzz_$t: ${runs:-?} runs, cov ${cov:-?}, ft ${ft:-?}$3"
}

for t in $targets; do
    run "$t" "$work/logs/$t-replay.log" " (replay of $(find "$here/corpus/$t" -type f | wc -l) committed inputs)" \
        -runs=0 "$here/corpus/$t"
done
[ -f "$work/failed" ] && exit 1

lane() {
    each=${seconds:-$((lane_seconds / $#))}
    for t in "$@"; do
        mkdir -p "$work/corpus/$t"
        run "$t" "$work/logs/$t.log" " in $each s" -max_total_time="$each" "$work/corpus/$t" "$here/corpus/$t"
    done
}

first="" second="" n=0
for t in $targets; do
    if [ $((n % 2)) -eq 0 ]; then first="$first $t"; else second="$second $t"; fi
    n=$((n + 1))
done
# shellcheck disable=SC2086
lane $first &
# shellcheck disable=SC2086
lane $second &
wait
if [ -f "$work/failed" ]; then
    echo "fuzz: FAILED"
    exit 1
fi
echo "fuzz: passed"
