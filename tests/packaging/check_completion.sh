#!/usr/bin/env bash
# The bash completion, driven as bash drives it (COMP_LINE, COMP_WORDS, the
# function named by `complete -p`, then COMPREPLY), against a fake device
# directory and fake port listers on PATH.
#
#   tests/packaging/check_completion.sh SOURCE_DIR
set -u
src=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velta-completion.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT
failures=0

dev=$scratch/dev
mkdir -p "$dev/serial/by-id" "$scratch/lister" "$scratch/broken"
for name in ttyUSB0 ttyUSB1 ttyACM0 cu.usbserial-1410 ttyS0 tty.usbserial-1410 null; do : >"$dev/$name"; done
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
# A lister as `velta --list-ports` prints it, and one that fails.
printf '#!/bin/sh\necho "-P/dev/ttyS4  16550A"\necho "-P%s/ttyUSB1  0403:6001 FTDI in use"\necho "-P/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"\n' "$dev" >"$scratch/lister/velta"
printf '#!/bin/sh\necho "no ports" >&2\nexit 1\n' >"$scratch/broken/velta"
chmod +x "$scratch/lister/velta" "$scratch/broken/velta"

export VELTA_COMPLETION_DEV=$dev
# shellcheck source=/dev/null
source "$src/completion/velta.bash"

# complete LINE: runs the completion bash would run with the cursor at the
# end of LINE and prints COMPREPLY sorted, one word a line.
complete_line() {
    local line=$1 spec function
    COMP_LINE=$line
    COMP_POINT=${#line}
    # Bash's own split: at blanks and at the characters of COMP_WORDBREAKS.
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $cur == *:* ]]; then  # what bash hands over after a colon
        COMP_WORDS[COMP_CWORD]=${cur##*:}
    fi
    spec=$(complete -p "${COMP_WORDS[0]##*/}")
    function=${spec##*-F }
    function=${function%% *}
    COMPREPLY=()
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]:-}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}

# check NAME PATH-DIR LINE EXPECTED...: the words offered, in sorted order.
check() {
    local name=$1 path=$2 line=$3
    shift 3
    local expected actual
    expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
    actual=$(PATH=$path:$PATH complete_line "$line")
    if [[ $actual != "$expected" ]]; then
        echo "FAIL $name: '$line'"
        diff <(echo "$expected") <(echo "$actual") | sed 's/^/    /'
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

none=$scratch/empty
mkdir -p "$none"
by_id=$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
check "ports, with the lister's" "$scratch/lister" "velta game.bin -P" \
    "-P$by_id" "-P$dev/ttyUSB0" "-P$dev/ttyUSB1" "-P$dev/ttyACM0" "-P$dev/cu.usbserial-1410" "-P/dev/ttyS4" \
    "-P/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0" -Prfc2217:// -Psocket://
check "ports, lister failing" "$scratch/broken" "velta game.bin -P" \
    "-P$by_id" "-P$dev/ttyUSB0" "-P$dev/ttyUSB1" "-P$dev/ttyACM0" "-P$dev/cu.usbserial-1410" -Prfc2217:// -Psocket://
check "network ports" "$none" "velta game.bin -Prf" -Prfc2217://
check "ports as one word" "$none" "velta game.bin -MS -P$dev/tty" \
    "-P$dev/ttyUSB0" "-P$dev/ttyUSB1" "-P$dev/ttyACM0"
check "ports by id" "$none" "velta game.bin -P$dev/serial/" "-P$by_id"
check "lower-case letter" "$none" "velta game.bin -p$dev/ttyA" "-p$dev/ttyACM0"
check "rates" "$none" "velta game.bin -B" \
    -B300 -B600 -B1200 -B2400 -B4800 -B9600 -B19200 -B38400
check "rates by prefix" "$none" "velta game.bin -S4000 -B3" -B300 -B38400
check "modes" "$none" "velta game.bin -M" -MS -MR
check "flow control" "$none" "velta game.bin -F" -F0 -F1 -F2
long=(--help --version --list-ports --json --progress --exit-status --stdio --from --run-address --timeout --dtr
    --rts --port)
check "long options" "$none" "velta game.bin --" "${long[@]}"
check "long option by prefix" "$none" "velta --ver" --version
check "long option before the file" "$none" "velta --e" --exit-status
check "options" "$none" "velta game.bin -" \
    -MS -MR -S -B -P -F -T -N "${long[@]}"
check "the file is the shell's" "$none" "velta ga"
check "image formats" "$none" "velta game.hex --from " ihex srec elf auto
check "image format by prefix" "$none" "velta game.hex --from e" elf
check "DTR modes" "$none" "velta game.bin --dtr " on off keep
check "RTS modes" "$none" "velta game.bin --rts o" on off
check "the port found" "$none" "velta game.bin --port " auto
check "the file's start address" "$none" "velta game.elf --from elf --run-address e" entry
check "seconds are the user's" "$none" "velta in.bin -MR --timeout "
check "after a value, the options again" "$none" "velta game.bin --dtr off --t" --timeout
check "no rate of that prefix" "$none" "velta game.bin -B5"
# A name with colons (by-path): bash hands over only what follows the last
# colon and puts the reply in its place, so the reply is that part alone.
check "a listed name with colons" "$scratch/lister" "velta game.bin -P/dev/serial/by-path/pci-0000:00:1" \
    "14.0-usb-0:1:1.0-port0"
check "simulator options" "$none" "velta-sim --wa" --wait-stdin --wait-open
check "simulator port" "$none" "velta-sim --port $dev/ttyA" "$dev/ttyACM0"
check "simulator rate" "$none" "velta-sim --baud 96" 9600

if ((failures)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "all completion cases passed"
