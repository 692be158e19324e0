#!/bin/sh
# The manual pages: groff reads them without a single warning (it ends with
# status 0 after warnings, so any line on its error stream fails the check),
# and each page documents every long option its program knows.
#
#   tests/packaging/check_man.sh SOURCE_DIR
set -u
. "$(dirname "$0")/check_lib.sh"
src=$1

for page in "$src"/man/*.1; do
    # Characters beyond ASCII are written \[uXXXX]: groff without preconv
    # (plain `groff -man`) would read UTF-8 bytes as Latin-1.
    LC_ALL=C grep -qn '[^ -~	]' "$page" &&
        fail "$page has bytes beyond ASCII: $(LC_ALL=C grep -n '[^ -~	]' "$page" | head -n 3)"
    warnings=$(groff -k -Tutf8 -man -ww -z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: groff says
$(echo "$warnings" | sed 's/^/    /')"
done

# documents PAGE OPTION...: every OPTION appears on the page, as groff writes it.
documents() {
    page=$1
    shift
    text=$(groff -k -Tutf8 -man -P-cbou "$page" 2>/dev/null)
    for option in "$@"; do
        printf '%s\n' "$text" | grep -qe "$option\\b" || fail "$page does not document $option"
    done
}

# velta's long options are the rows of its two tables in src/options.cpp
# (flags, and those with a value); the simulator's the names of its table in
# sim/sim_options.cpp.
velta_options=$(sed -n 's/^ *{"\(--[a-z-]*\)", \(&TransferSettings::\|[A-Za-z]*Option}\).*/\1/p' "$src/src/options.cpp")
sim_options=$(sed -n 's/^ *{"\([a-z-]*\)", .*/--\1/p' "$src/sim/sim_options.cpp")
[ -n "$velta_options" ] && [ -n "$sim_options" ] || { echo "FAIL no options found in the sources"; exit 1; }
# shellcheck disable=SC2086
documents "$src/man/velta.1" $velta_options
# shellcheck disable=SC2086
documents "$src/man/velta-sim.1" $sim_options

verdict "manual pages"
echo "manual pages: no warnings;" $velta_options $sim_options "documented"
