#!/bin/sh
# `cmake --install` of a build tree into a scratch DESTDIR: exactly the
# expected files land under the prefix, the pages and completion are the
# sources', and the installed velta run with no arguments prints the banner
# and the usage text on standard output and ends with status 255.
#
#   tests/packaging/check_install.sh SOURCE_DIR BUILD_DIR [CMAKE]
set -u
. "$(dirname "$0")/check_lib.sh"
src=$1
build=$2
cmake=${3:-cmake}
scratch_folder install
root=$scratch/root
prefix=/opt/velta

DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$scratch/log" 2>&1 ||
    { cat "$scratch/log"; echo "FAIL cmake --install"; exit 1; }

(cd "$root$prefix" && find . ! -type d | sort) >"$scratch/files"
cat >"$scratch/expected" <<'LIST'
./bin/velta
./bin/velta-sim
./share/bash-completion/completions/velta
./share/bash-completion/completions/velta-sim
./share/doc/velta/LICENSE
./share/doc/velta/README.md
./share/man/man1/velta-sim.1
./share/man/man1/velta.1
./share/zsh/site-functions/_velta
LIST
diff "$scratch/expected" "$scratch/files" >"$scratch/diff" || { fail "installed files differ:"; cat "$scratch/diff"; }
[ -z "$(find "$root" ! -path "$root$prefix*" ! -type d)" ] || fail "files outside the prefix"

for pair in man/velta.1:share/man/man1/velta.1 man/velta-sim.1:share/man/man1/velta-sim.1 \
    completion/velta.bash:share/bash-completion/completions/velta-sim completion/_velta:share/zsh/site-functions/_velta; do
    cmp -s "$src/${pair%%:*}" "$root$prefix/${pair#*:}" || fail "${pair#*:} is not ${pair%%:*}"
done

# The usage bytes are the build's (the program suites check those byte for
# byte); here the installed copy must be that program.
LC_ALL=C "$root$prefix/bin/velta" >"$scratch/out" 2>"$scratch/err" </dev/null
status=$?
LC_ALL=C "$build/velta" >"$scratch/built" 2>/dev/null </dev/null
[ $status -eq 255 ] || fail "installed velta with no arguments ended with $status, not 255"
grep -q '^Usage : VELTA filename \[option\]' "$scratch/out" || fail "no usage line on standard output"
cmp -s "$scratch/built" "$scratch/out" || fail "standard output differs from the built velta's"
[ ! -s "$scratch/err" ] || fail "unexpected error stream: $(cat "$scratch/err")"
"$root$prefix/bin/velta-sim" --help >/dev/null 2>&1 || fail "installed velta-sim --help failed"

# `sudo make install` after a build: root installs what is built and
# compiles nothing (this build tree stands in for the release build). Not
# as root the Makefile would build first, into this tree: not tried then.
if [ "$(id -u)" -eq 0 ]; then
    before=$(stat -c %Y "$build/velta" "$build/velta-sim")
    make -C "$src" install REL_BUILD="$build" DESTDIR="$scratch/make-root" PREFIX=/usr/local \
        >"$scratch/make.log" 2>&1 || { cat "$scratch/make.log"; fail "make install as root"; }
    grep -q 'cmake -S\|Building\|Linking' "$scratch/make.log" && fail "make install as root compiled: $(cat "$scratch/make.log")"
    [ "$(stat -c %Y "$build/velta" "$build/velta-sim")" = "$before" ] || fail "make install as root rebuilt the programs"
    [ -x "$scratch/make-root/usr/local/bin/velta" ] || fail "make install as root installed no velta"
    made="; make install as root compiled nothing"
fi

verdict install
echo "install: $(wc -l <"$scratch/files" | tr -d ' ') files under $prefix; velta without arguments: usage, status 255${made:-}"
