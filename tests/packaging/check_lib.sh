# What the packaging checks share, sourced (`.`) after `set -u`: a failed
# check told and counted, a scratch folder gone at the end, the verdict.

failures=0
# fail MESSAGE: one check failed; the script goes on with the next.
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# scratch_folder NAME: $scratch, a new folder, removed when the script ends.
scratch_folder() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/velta-$1.XXXXXX") || exit 2
    trap 'rm -rf "$scratch"' EXIT
}

# verdict WHAT: status 1, with the count, when any check failed.
verdict() {
    [ $failures -eq 0 ] || { echo "$1: $failures check(s) failed"; exit 1; }
}
