#!/usr/bin/env bash
# The stage on the kernel's 8250 driver: builds a statically linked velta
# and the guest's case runner into BUILD_DIR/uart, then boots them in QEMU
# (see uart_stage.py). Needs qemu-system-x86, linux-image-amd64 (a kernel in
# /boot, read as root) and busybox-static: scripts/install-deps.sh.
#
#   tests/uart/run.sh BUILD_DIR [--only REGEX]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [--only REGEX]" >&2; exit 2; }
src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1/uart"
work=$(cd "$1/uart" && pwd)
shift
for tool in qemu-system-x86_64 busybox python3 gcc cmake; do
    command -v "$tool" >/dev/null || { echo "uart: $tool is missing (scripts/install-deps.sh)" >&2; exit 3; }
done
cmake -S "$src" -B "$work/static" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_EXE_LINKER_FLAGS=-static >"$work/static.log" 2>&1 &&
    cmake --build "$work/static" -j2 --target velta >>"$work/static.log" 2>&1 ||
    { echo "uart: the static velta did not build, see $work/static.log" >&2; exit 3; }
gcc -static -O2 -Wall -Wextra -o "$work/uart_case" "$src/tests/uart/guest/uart_case.c" ||
    { echo "uart: the guest's case runner did not build" >&2; exit 3; }
exec python3 "$src/tests/uart/uart_stage.py" --velta "$work/static/velta" --case-helper "$work/uart_case" \
    --busybox "$(command -v busybox)" --work "$work/guest" "$@"
