#!/usr/bin/env bash
# The stages on the kernel's own serial drivers: builds a statically linked
# velta and the guest's helpers into BUILD_DIR/uart, then boots them in QEMU.
# Without --usb, the 8250 stage (uart_stage.py); with it, the USB stage on
# ftdi_sio and cdc-acm (usb_stage.py), on the same guest builder. Needs
# qemu-system-x86, linux-image-amd64 (a kernel in /boot and its modules, read
# as root) and busybox-static: scripts/install-deps.sh.
#
#   tests/uart/run.sh BUILD_DIR [--usb] [--only REGEX]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [--usb] [--only REGEX]" >&2; exit 2; }
src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1/uart"
work=$(cd "$1/uart" && pwd)
shift
stage=uart_stage.py
if [ "${1:-}" = --usb ]; then
    stage=usb_stage.py
    shift
fi
name=${stage%_stage.py}
for tool in qemu-system-x86_64 busybox python3 gcc cmake; do
    command -v "$tool" >/dev/null || { echo "$name: $tool is missing (scripts/install-deps.sh)" >&2; exit 3; }
done
cmake -S "$src" -B "$work/static" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_EXE_LINKER_FLAGS=-static >"$work/static.log" 2>&1 &&
    cmake --build "$work/static" -j2 --target velta >>"$work/static.log" 2>&1 ||
    { echo "$name: the static velta did not build, see $work/static.log" >&2; exit 3; }
for helper in uart_case line_device; do
    gcc -static -O2 -Wall -Wextra -I "$src/src" -o "$work/$helper" "$src/tests/uart/guest/$helper.c" ||
        { echo "$name: the guest's $helper did not build" >&2; exit 3; }
done
exec python3 "$src/tests/uart/$stage" --velta "$work/static/velta" --helper "$work/uart_case" \
    --helper "$work/line_device" --busybox "$(command -v busybox)" --work "$work/guest-$name" "$@"
