#!/bin/sh
# The manual pages: groff reads them without a single warning (it ends with
# status 0 after warnings, so any line on its error stream fails the check),
# and each page documents every long option its program knows.
#
#   tests/packaging/check_man.sh SOURCE_DIR
set -u
src=$1
failures=0

for page in "$src"/man/*.1; do
    # Characters beyond ASCII are written \[uXXXX]: groff without preconv
    # (plain `groff -man`) would read UTF-8 bytes as Latin-1.
    if LC_ALL=C grep -qn '[^ -~	]' "$page"; then
        echo "FAIL $page has bytes beyond ASCII: $(LC_ALL=C grep -n '[^ -~	]' "$page" | head -n 3)"
        failures=$((failures + 1))
    fi
    warnings=$(groff -k -Tutf8 -man -ww -z "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "FAIL $page: groff says"
        echo "$warnings" | sed 's/^/    /'
        failures=$((failures + 1))
    fi
done

# documents PAGE OPTION...: every OPTION appears on the page, as groff writes it.
documents() {
    page=$1
    shift
    text=$(groff -k -Tutf8 -man -P-cbou "$page" 2>/dev/null)
    for option in "$@"; do
        if ! printf '%s\n' "$text" | grep -qe "$option\\b"; then
            echo "FAIL $page does not document $option"
            failures=$((failures + 1))
        fi
    done
}

# velta's long options are the rows of its table in src/options.cpp; the
# simulator's the names of its table in sim/sim_options.cpp.
velta_options=$(sed -n 's/^ *{"\(--[a-z-]*\)", &TransferSettings::.*/\1/p' "$src/src/options.cpp")
sim_options=$(sed -n 's/^ *{"\([a-z-]*\)", .*/--\1/p' "$src/sim/sim_options.cpp")
[ -n "$velta_options" ] && [ -n "$sim_options" ] || { echo "FAIL no options found in the sources"; exit 1; }
# shellcheck disable=SC2086
documents "$src/man/velta.1" $velta_options
# shellcheck disable=SC2086
documents "$src/man/velta-sim.1" $sim_options

[ $failures -eq 0 ] || { echo "$failures manual page check(s) failed"; exit 1; }
echo "manual pages: no warnings;" $velta_options $sim_options "documented"
