#!/bin/sh
# The release archives that `make dist` leaves in DIST_DIR: each has its
# SHA-256 sum beside it and matches it; each unpacks, and the velta in it,
# run with no arguments, prints the usage text and ends with status 255
# (VELTA.exe from the zip under Wine). Each carries the licence. The Linux
# programs are static (no interpreter, no shared library) and run in an
# otherwise empty root: --version, --help and a send to velta-sim there. The
# .tar.gz has README.md, LICENSE and INSTALL at its top; the Debian package
# depends on nothing and lintian finds no error or warning in it.
#
#   tests/packaging/check_dist.sh DIST_DIR BUILD_DIR
#
# BUILD_DIR holds the native velta whose output the archives' must match,
# and gets the Wine prefix for the zip (made once, in BUILD_DIR/wine-dist).
# The empty root needs root or unprivileged user namespaces (unshare).
set -u
. "$(dirname "$0")/check_lib.sh"
dist=$(cd "$1" && pwd) || exit 2
build=$(cd "$2" && pwd) || exit 2
scratch_folder dist

LC_ALL=C "$build/velta" >"$scratch/usage" 2>/dev/null </dev/null

# usage PROGRAM NAME [RUNNER]: no arguments give the usage text and status 255.
usage() {
    LC_ALL=C ${3:-} "$1" >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$?
    [ $status -eq 255 ] || fail "$2 with no arguments ended with $status, not 255"
    grep -q '^Usage : VELTA filename \[option\]' "$scratch/out" || fail "$2 printed no usage line"
}

# static FILE: no interpreter and no shared library, so no C library version.
static() {
    readelf -l "$1" | grep -q 'INTERP' && fail "$(basename "$1") has an interpreter"
    needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    [ -z "$needed" ] || fail "$(basename "$1") needs $needed"
}

# empty_root BINDIR NAME: velta and velta-sim from BINDIR, alone in a root
# with nothing but a pty (a devpts of its own): the version, the help and a
# send to the simulator, all three as the built velta gives them.
empty_root() {
    root=$scratch/root
    rm -rf "$root"
    mkdir -p "$root/dev/pts"
    cp "$1/velta" "$1/velta-sim" "$root/"
    ln -s pts/ptmx "$root/dev/ptmx"
    head -c 3000 /dev/urandom >"$root/game.bin"
    LC_ALL=C "$build/velta" --help >"$scratch/help" 2>&1
    cat >"$scratch/inroot.sh" <<'SCRIPT'
root=$1
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts" || exit 90
LC_ALL=C chroot "$root" /velta --version >"$root/version.out" 2>&1 || exit 91
LC_ALL=C chroot "$root" /velta --help >"$root/help.out" 2>&1 || exit 92
chroot "$root" /velta-sim >"$root/sim.out" 2>&1 &
tries=0
until [ -s "$root/sim.out" ] || [ $tries -gt 300 ]; do tries=$((tries + 1)); sleep 0.1; done
LC_ALL=C chroot "$root" /velta /game.bin "-P$(head -n 1 "$root/sim.out")" --exit-status >"$root/send.out" 2>&1
echo $? >"$root/send.status"
wait
umount "$root/dev/pts"
SCRIPT
    if [ "$(id -u)" -eq 0 ]; then unshare -m sh "$scratch/inroot.sh" "$root"; else unshare -rm sh "$scratch/inroot.sh" "$root"; fi
    status=$?
    [ $status -eq 0 ] || { fail "$2: the empty root could not be made or velta failed in it (status $status)"; return; }
    LC_ALL=C "$build/velta" --version | cmp -s - "$root/version.out" || fail "$2: --version in the empty root"
    cmp -s "$scratch/help" "$root/help.out" || fail "$2: --help in the empty root"
    [ "$(cat "$root/send.status")" = 0 ] || fail "$2: the send in the empty root ended with $(cat "$root/send.status")"
    grep -q '^complete: 3000 bytes' "$root/sim.out" || fail "$2: the simulator in the empty root: $(cat "$root/sim.out")"
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
            static "$top/bin/velta"
            static "$top/bin/velta-sim"
            empty_root "$top/bin" "$archive"
            for file in README.md LICENSE INSTALL share/man/man1/velta.1; do
                [ -f "$top/$file" ] || fail "$archive has no $file"
            done
            ;;
        *.deb)
            dpkg-deb -x "$archive" "$dir" || { fail "$archive does not unpack"; continue; }
            usage "$dir/usr/bin/velta" "$archive: velta"
            cmp -s "$scratch/usage" "$scratch/out" || fail "$archive: velta's output is not the built velta's"
            depends=$(dpkg-deb -f "$archive" Depends)
            [ -z "$depends" ] || fail "$archive depends on $depends"
            case $(dpkg-deb -f "$archive" Maintainer) in
                *VELTA*'<'*@*'>') ;;
                *) fail "$archive's maintainer does not name the project and an address" ;;
            esac
            [ -f "$dir/usr/share/doc/velta/copyright" ] || fail "$archive has no copyright file"
            lintian --fail-on error,warning "$archive" >"$scratch/lintian" 2>&1 ||
                fail "$archive: lintian says $(grep -v 'root privileges' "$scratch/lintian")"
            ;;
        *.zip)
            (cd "$dir" && cmake -E tar xf "$dist/$archive") || { fail "$archive does not unpack"; continue; }
            exe=$dir/${archive%.zip}/VELTA.exe
            [ -f "$exe" ] || { fail "$archive holds no VELTA.exe"; continue; }
            [ -f "${exe%/*}/LICENSE" ] || fail "$archive has no LICENSE"
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

verdict dist
echo "dist: all $count archives match their sums and run"
