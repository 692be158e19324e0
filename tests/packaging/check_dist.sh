#!/bin/sh
# The release archives that `make dist` leaves in DIST_DIR: each has its
# SHA-256 sum beside it and matches it; each unpacks, and the velta in it,
# run with no arguments, prints the usage text and ends with status 255
# (VELTA.exe from the zip under Wine). The Linux programs need no C++
# runtime beyond glibc, and the Debian package depends on nothing else.
#
#   tests/packaging/check_dist.sh DIST_DIR BUILD_DIR
#
# BUILD_DIR holds the native velta whose output the archives' must match,
# and gets the Wine prefix for the zip (made once, in BUILD_DIR/wine-dist).
set -u
dist=$(cd "$1" && pwd) || exit 2
build=$(cd "$2" && pwd) || exit 2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velta-dist.XXXXXX") || exit 2
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

LC_ALL=C "$build/velta" >"$scratch/usage" 2>/dev/null </dev/null

# usage PROGRAM NAME [RUNNER]: no arguments give the usage text and status 255.
usage() {
    LC_ALL=C ${3:-} "$1" >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$?
    [ $status -eq 255 ] || fail "$2 with no arguments ended with $status, not 255"
    grep -q '^Usage : VELTA filename \[option\]' "$scratch/out" || fail "$2 printed no usage line"
}

# static_runtime FILE: linked against glibc alone.
static_runtime() {
    needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    case $needed in
        *libstdc++* | *libgcc_s*) fail "$(basename "$1") needs $needed" ;;
    esac
}

cd "$dist" || exit 2
count=0
for archive in *.tar.gz *.deb *.zip; do
    [ -f "$archive" ] || continue
    count=$((count + 1))
    if [ ! -f "$archive.sha256" ]; then
        fail "$archive has no .sha256"
    elif ! sha256sum --quiet -c "$archive.sha256"; then
        fail "$archive does not match its .sha256"
    fi
    dir=$scratch/$archive
    mkdir -p "$dir"
    case $archive in
        *.tar.gz)
            tar -xzf "$archive" -C "$dir" || { fail "$archive does not unpack"; continue; }
            top=$dir/${archive%.tar.gz}
            usage "$top/bin/velta" "$archive: velta"
            cmp -s "$scratch/usage" "$scratch/out" || fail "$archive: velta's output is not the built velta's"
            static_runtime "$top/bin/velta"
            static_runtime "$top/bin/velta-sim"
            [ -f "$top/share/man/man1/velta.1" ] || fail "$archive has no velta.1"
            ;;
        *.deb)
            dpkg-deb -x "$archive" "$dir" || { fail "$archive does not unpack"; continue; }
            usage "$dir/usr/bin/velta" "$archive: velta"
            cmp -s "$scratch/usage" "$scratch/out" || fail "$archive: velta's output is not the built velta's"
            depends=$(dpkg-deb -f "$archive" Depends)
            case $depends in
                libc6*) case $depends in *,*) fail "$archive depends on $depends" ;; esac ;;
                *) fail "$archive depends on '$depends', not on libc6 alone" ;;
            esac
            case $(dpkg-deb -f "$archive" Maintainer) in
                *VELTA*) ;;
                *) fail "$archive's maintainer does not name the project" ;;
            esac
            ;;
        *.zip)
            (cd "$dir" && cmake -E tar xf "$dist/$archive") || { fail "$archive does not unpack"; continue; }
            exe=$dir/${archive%.zip}/VELTA.exe
            [ -f "$exe" ] || { fail "$archive holds no VELTA.exe"; continue; }
            export WINEPREFIX="$build/wine-dist" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
            if [ ! -f "$WINEPREFIX/system.reg" ]; then
                echo "dist: preparing the Wine prefix $WINEPREFIX"
                (unset DISPLAY WAYLAND_DISPLAY; wineboot -i) >"$scratch/wineboot.log" 2>&1 ||
                    { cat "$scratch/wineboot.log"; fail "wineboot failed"; continue; }
            fi
            usage "$exe" "$archive: VELTA.exe" wine
            wineserver -k >/dev/null 2>&1
            ;;
    esac
    echo "dist: $archive ($(wc -c <"$archive" | tr -d ' ') bytes) checked"
done
[ $count -eq 3 ] || fail "expected 3 archives in $dist, found $count"

[ $failures -eq 0 ] || { echo "dist: $failures check(s) failed"; exit 1; }
echo "dist: all $count archives match their sums and run"
