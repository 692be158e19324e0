#!/usr/bin/env zsh
# The zsh completion, typed into an interactive zsh on a pseudo-terminal
# (zpty) with compinit loading completion/_velta: after each Tab the line
# must read as expected, or the listing must offer the expected choices.
#
#   zsh -f tests/packaging/check_zsh_completion.zsh SOURCE_DIR
src=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velta-zsh.XXXXXX") || exit 2
trap 'zpty -d z 2>/dev/null; rm -rf $scratch' EXIT
dev=$scratch/dev
mkdir -p $dev/serial/by-id
touch $dev/ttyUSB0 $dev/ttyS0
ln -s ../../ttyUSB0 $dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
failures=0

zmodload zsh/zpty
zpty z "VELTA_COMPLETION_DEV=$dev TERM=dumb zsh -f -i"
zpty -w z "stty columns 400; PS1='> '; fpath=($src/completion \$fpath); autoload -U compinit; compinit -u -D; bindkey '^I' complete-word; print ready"
# Everything the shell prints until it has been quiet for half a second.
drain() {
  local chunk
  REPLY=""
  while zpty -r -t z chunk || { sleep 0.3; zpty -r -t z chunk }; do REPLY+=$chunk; done
  REPLY=${REPLY//$'\e'\[[0-9;?]#[a-zA-Z]/}
}
sleep 1; drain

# check NAME TYPED EXPECTED...: after TYPED and Tab, the output holds every
# EXPECTED within 10 seconds.
check() {
  local name=$1 typed=$2 out="" chunk want missing
  shift 2
  zpty -w -n z "$typed"$'\t'
  for (( i = 0; i < 100; i++ )); do
    while zpty -r -t z chunk; do out+=$chunk; done
    out=${out//$'\e'\[[0-9;?]#[a-zA-Z]/}
    missing=""
    for want in "$@"; do [[ $out == *"$want"* ]] || missing=$want; done
    [[ -z $missing ]] && break
    sleep 0.1
  done
  if [[ -n $missing ]]; then
    print -r -- "FAIL $name: after '$typed<Tab>' no '$missing' in: ${(q+)out}"
    (( failures++ ))
  else
    print -r -- "ok   $name"
  fi
  zpty -w -n z $'\C-u'
  drain
}

check "rate" "velta game.bin -B384" "velta game.bin -B38400 "
check "modes" "velta game.bin -M" "S  -- send" "R  -- receive"
check "flow control" "velta game.bin -F" "0  -- none" "1  -- hardware" "2  -- software"
check "port as one word" "velta game.bin -P$dev/ttyU" "velta game.bin -P$dev/ttyUSB0 "
check "port by id" "velta game.bin -P$dev/serial/by-id/" "-P$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
check "network port" "velta game.bin -Psock" "velta game.bin -Psocket://"
check "long option" "velta game.bin -B19200 --exit" "velta game.bin -B19200 --exit-status "
check "image format" "velta game.hex --from sr" "velta game.hex --from srec "
check "DTR modes" "velta game.bin --dtr " "on" "off" "keep"
check "the port found" "velta game.bin --port a" "velta game.bin --port auto "
check "simulator option" "velta-sim --wait-o" "velta-sim --wait-open "
check "simulator rate" "velta-sim --baud 96" "velta-sim --baud 9600 "

if (( failures )); then
  print "$failures zsh completion case(s) failed"
  exit 1
fi
print "all zsh completion cases passed"
