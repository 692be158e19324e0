#!/bin/sh
# Network ports: a 16 KiB send and a reception through a real ser2net on the
# loopback, serving velta-sim's pseudo-terminal, with RFC 2217 and as a raw
# socket, at 9600 and 38400 bit/s. Prints each run's time beside the line
# time of its 16400 bytes (header included) and whether the data came intact.
#
#   bench/net.sh [BUILD_DIR]     (default build)
#   VELTA="wine build-win/VELTA.exe" bench/net.sh    (the Windows build, WINEPREFIX set)
set -u
build=$(cd "${1:-build}" && pwd)
program=${VELTA:-$build/velta}
work=$(mktemp -d "${TMPDIR:-/tmp}/velta-net-bench.XXXXXX") || exit 2
cd "$work" || exit 2
trap 'kill $(cat ser2net.pid 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
head -c 16384 /dev/urandom > data.bin
now() { date +%s.%N; }

# serve KIND PTY PORT: ser2net for the pseudo-terminal, listening when it returns.
serve() {
    kill "$(cat ser2net.pid 2>/dev/null)" 2>/dev/null
    accepter="telnet(rfc2217),"; [ "$1" = socket ] && accepter=""
    printf 'connection: &b\n  accepter: %stcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
        "$accepter" "$3" "$2" > s.yaml
    ser2net -n -u -c s.yaml -P "$work/ser2net.pid" 2>/dev/null &
    until grep -q ":$(printf %04X "$3") 00000000:0000 0A" /proc/net/tcp; do sleep 0.05; done
}

printf '%-8s %-8s %6s %9s %9s %7s %s\n' kind way rate "line s" "took s" ratio intact
port=27500
for rate in 9600 38400; do
    line=$(echo "scale=3; 16400 * 10 / $rate" | bc)
    for kind in rfc2217 socket; do
        port=$((port + 1))
        rm -f sim.out  # the last run's, which would name the old terminal
        "$build/velta-sim" --baud "$rate" --save loaded.bin > sim.out 2>&1 &
        sim=$!
        until [ -s sim.out ]; do sleep 0.05; done
        serve "$kind" "$(head -1 sim.out)" "$port"
        t0=$(now)
        $program data.bin -B"$rate" -P"$kind://127.0.0.1:$port" --exit-status > /dev/null 2>&1
        wait "$sim"
        took=$(echo "$(now) - $t0" | bc)
        ok=no; cmp -s data.bin loaded.bin && ok=yes
        printf '%-8s %-8s %6s %9s %9.3f %7.3f %s\n' "$kind" send "$rate" "$line" "$took" "$(echo "$took / $line" | bc -l)" "$ok"

        port=$((port + 1))
        rm -f sim.out
        "$build/velta-sim" --baud "$rate" --send data.bin --load 4000 --wait-stdin > sim.out 2>&1 < /dev/null &
        sim=$!
        until [ -s sim.out ]; do sleep 0.05; done
        serve "$kind" "$(head -1 sim.out)" "$port"
        $program back.bin -MR -B"$rate" -P"$kind://127.0.0.1:$port" --exit-status > velta.out 2>&1 &
        velta=$!
        if [ -n "${VELTA:-}" ]; then
            # VELTA.exe's console output into a file waits in its buffer, so
            # there is no prompt to see: its open is over well within a
            # second of its connection.
            until grep -q ":$(printf %04X "$port") [0-9A-F]*:[0-9A-F]* 01 " /proc/net/tcp; do sleep 0.05; done
            sleep 1
        else
            until grep -q bps velta.out; do sleep 0.05; done
        fi
        t0=$(now)
        kill -USR1 "$sim"
        wait "$velta"
        took=$(echo "$(now) - $t0" | bc)
        wait "$sim"
        ok=no; tail -c +17 back.bin | cmp -s - data.bin && ok=yes
        printf '%-8s %-8s %6s %9s %9.3f %7.3f %s\n' "$kind" receive "$rate" "$line" "$took" "$(echo "$took / $line" | bc -l)" "$ok"
    done
done
