#!/bin/sh
# Network ports: a 16 KiB send and a reception through a real ser2net on the
# loopback, serving velta-sim's pseudo-terminal, with RFC 2217 and as a raw
# socket, at 9600 and 38400 bit/s. Prints each run's time beside the line
# time of its 16400 bytes (header included) and whether the data came intact.
#
#   bench/net.sh [BUILD_DIR]     (default build)
#   VELTA="wine build-win/VELTA.exe" bench/net.sh    (the Windows build; WINEPREFIX set)
set -u
build=$(cd "${1:-build}" && pwd)
program=${VELTA:-$build/velta}
work=$(mktemp -d "${TMPDIR:-/tmp}/velta-net-bench.XXXXXX") || exit 2
cd "$work" || exit 2
trap 'kill $(cat ser2net.pid 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
head -c 16384 /dev/urandom > data.bin
now() { date +%s.%N; }
# until FILE PATTERN: waits (at most 30 s) until FILE holds PATTERN.
until_in() {
    i=0
    until grep -q "$2" "$1" 2>/dev/null; do
        i=$((i + 1)); [ $i -lt 600 ] || { echo "gave up waiting for '$2' in $1:" >&2; cat "$1" >&2; exit 1; }
        sleep 0.05
    done
}

# serve KIND PTY PORT: ser2net for the pseudo-terminal, listening when it returns.
serve() {
    kill "$(cat ser2net.pid 2>/dev/null)" 2>/dev/null
    accepter="telnet(rfc2217),"; [ "$1" = socket ] && accepter=""
    printf 'connection: &b\n  accepter: %stcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
        "$accepter" "$3" "$2" > s.yaml
    ser2net -n -u -c s.yaml -P "$work/ser2net.pid" 2>/dev/null &
    until_in /proc/net/tcp ":$(printf %04X "$3") 00000000:0000 0A"
}

printf '%-8s %-8s %6s %9s %9s %7s %s\n' kind way rate "line s" "took s" ratio intact
# A loopback port nobody listens on now (others may run this beside us).
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
for rate in ${RATES:-9600 38400}; do
    line=$(echo "scale=3; 16400 * 10 / $rate" | bc)
    for kind in rfc2217 socket; do
        port=$(free_port)
        rm -f sim.out velta.out  # the shell truncates them only in the child
        "$build/velta-sim" --baud "$rate" --save loaded.bin > sim.out 2>&1 &
        sim=$!
        until_in sim.out '^\(ready\|waiting\):'
        serve "$kind" "$(head -1 sim.out)" "$port"
        t0=$(now)
        $program data.bin -B"$rate" -P"$kind://127.0.0.1:$port" --exit-status > /dev/null 2>&1
        wait "$sim"
        took=$(echo "$(now) - $t0" | bc)
        ok=no; cmp -s data.bin loaded.bin && ok=yes
        printf '%-8s %-8s %6s %9s %9.3f %7.3f %s\n' "$kind" send "$rate" "$line" "$took" "$(echo "$took / $line" | bc -l)" "$ok"

        port=$(free_port)
        rm -f sim.out velta.out
        "$build/velta-sim" --baud "$rate" --send data.bin --load 4000 --wait-stdin > sim.out 2>&1 < /dev/null &
        sim=$!
        until_in sim.out '^\(ready\|waiting\):'
        serve "$kind" "$(head -1 sim.out)" "$port"
        # On a terminal (script), so that the prompt shows as soon as it is printed.
        script -qefc "$program back.bin -MR -B$rate -P$kind://127.0.0.1:$port --exit-status" /dev/null \
            > velta.out 2>&1 &
        velta=$!
        until_in velta.out bps
        t0=$(now)
        kill -USR1 "$sim"
        wait "$velta"
        took=$(echo "$(now) - $t0" | bc)
        wait "$sim"
        ok=no; tail -c +17 back.bin | cmp -s - data.bin && ok=yes
        printf '%-8s %-8s %6s %9s %9.3f %7.3f %s\n' "$kind" receive "$rate" "$line" "$took" "$(echo "$took / $line" | bc -l)" "$ok"
    done
done
