#!/bin/sh
# The README as a newcomer reads it: its first screen (60 lines) shows how
# to install, how to find the port and a send; it stays under 260 lines; and
# every shell block marked `<!-- runnable -->` works as written, run in
# order in one shell in a scratch folder with the built programs first on
# PATH (velta-sim plays the device). A block fails the check when its last
# command fails, or any command before it.
#
#   tests/packaging/check_readme.sh SOURCE_DIR BUILD_DIR
set -u
. "$(dirname "$0")/check_lib.sh"
readme=$1/README.md
build=$(cd "$2" && pwd) || exit 2
scratch_folder readme

lines=$(wc -l <"$readme")
[ "$lines" -lt 260 ] || fail "README.md has $lines lines, not under 260"
head -n 60 "$readme" >"$scratch/first"
grep -q '^tar xzf velta-' "$scratch/first" || fail "no install from the archive in the first 60 lines"
grep -q '^velta --list-ports' "$scratch/first" || fail "no port list in the first 60 lines"
grep -q '^velta [^ ]* -P/dev/' "$scratch/first" || fail "no send with a real port in the first 60 lines"

# The runnable blocks as one script; after each, its status is checked.
# A failed block may leave the simulator waiting: what the blocks started
# in the background goes when the script ends.
echo 'pids=""; trap '"'"'status=$?; kill $pids 2>/dev/null || true; exit $status'"'"' EXIT' \
    >"$scratch/blocks.sh"
awk '
    /^<!-- runnable -->$/ { marked = 1; next }
    marked && /^```sh$/ { inside = 1; marked = 0; blocks++; next }
    inside && /^```$/ { inside = 0; printf "[ $? -eq 0 ] || { echo \"block %d failed\"; exit 1; }\n", blocks; next }
    inside && /&$/ { print; print "pids=\"$pids $!\""; next }
    inside { print; next }
    { marked = 0 }
    END { if (inside) print "echo \"block " blocks " is not closed\"; exit 1" }
' "$readme" >>"$scratch/blocks.sh"
count=$(grep -c '^\[ \$? -eq 0 \]' "$scratch/blocks.sh")
[ "$count" -gt 0 ] || fail "no runnable block in README.md"
mkdir "$scratch/work"
(cd "$scratch/work" && PATH="$build:$PATH" LC_ALL=C.UTF-8 timeout 300 sh -e "$scratch/blocks.sh") \
    >"$scratch/out" 2>&1 </dev/null
status=$?
[ $status -eq 0 ] || { fail "the runnable blocks ended with $status:"; sed 's/^/    /' "$scratch/out"; }

verdict readme
echo "readme: $lines lines; $count runnable blocks ran as written"
