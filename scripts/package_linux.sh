#!/bin/sh
# The two Linux release archives, from a release build tree (`make release`),
# each with its SHA-256 sum beside it:
#
#   velta-VERSION-linux-ARCH.tar.gz  the install tree (bin/, share/) under one
#                                    folder, README.md, LICENSE and INSTALL at
#                                    its top
#   velta_VERSION-1_DEBARCH.deb      the same programs where Debian keeps them,
#                                    in the forms its policy asks for
#
#   scripts/package_linux.sh BUILD_DIR DIST_DIR
#
# The dates inside come from SOURCE_DATE_EPOCH, else the last commit, so the
# archives of one commit are the same bytes. VELTA_MAINTAINER overrides the
# package's maintainer field.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR DIST_DIR" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
dist=$(cd "$2" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "package: $build is not a configured build tree" >&2; exit 2; }
maintainer=${VELTA_MAINTAINER:-The VELTA project <velta@users.noreply.github.com>}
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
work=$(mktemp -d "${TMPDIR:-/tmp}/velta-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 022

# stage DIR PREFIX: the build's install tree, programs stripped (the
# compiler's notes in .comment too).
stage() {
    DESTDIR=$1 cmake --install "$build" --prefix "$2" --strip >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; exit 1; }
    for program in "$1$2"/bin/*; do
        objcopy --remove-section=.comment "$program"
    done
}

# sum FILE: its .sha256 beside it, in the form `sha256sum -c` reads.
sum() {
    (cd "$dist" && sha256sum "$1" >"$1.sha256")
}

# --- the .tar.gz ---------------------------------------------------------------
top=velta-$version-linux-$(uname -m)
stage "$work/tgz" "/$top"
cp "$src/README.md" "$src/LICENSE" "$src/packaging/INSTALL" "$work/tgz/$top/"
tar -C "$work/tgz" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" -cf - "$top" |
    gzip -9n >"$dist/$top.tar.gz"
sum "$top.tar.gz"

# --- the .deb ------------------------------------------------------------------
deb=$work/deb
doc=$deb/usr/share/doc/velta
stage "$deb" /usr
# Debian's zsh searches vendor-completions; site-functions is for the site.
mkdir -p "$deb/usr/share/zsh/vendor-completions"
mv "$deb/usr/share/zsh/site-functions/_velta" "$deb/usr/share/zsh/vendor-completions/"
rmdir "$deb/usr/share/zsh/site-functions"
gzip -9n "$deb"/usr/share/man/man1/*.1 "$doc/README.md"
# The licence is the copyright file, in the machine-readable form.
rm "$doc/LICENSE"
{
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: velta"
    echo
    echo "Files: *"
    echo "Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE")"
    echo "License: Expat"
    sed -n '/^Permission/,$p' "$src/LICENSE" | sed -e 's/^$/./' -e 's/^/ /'
} >"$doc/copyright"
{
    echo "velta ($version-1) unstable; urgency=medium"
    echo
    echo "  * Release $version."
    echo
    echo " -- $maintainer  $(LC_ALL=C date -u -R -d "@$epoch")"
} | gzip -9n >"$doc/changelog.Debian.gz"
mkdir -p "$deb/usr/share/lintian/overrides"
sed '/^#/d' "$src/packaging/lintian-overrides" >"$deb/usr/share/lintian/overrides/velta"
find "$deb" -exec touch -h -d "@$epoch" {} +

debarch=$(dpkg --print-architecture)
mkdir -p "$deb/DEBIAN"
(cd "$deb" && find usr -type f | sort | xargs md5sum) >"$deb/DEBIAN/md5sums"
cat >"$deb/DEBIAN/control" <<EOF
Package: velta
Version: $version-1
Architecture: $debarch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)
Section: utils
Priority: optional
Description: move one file over a serial port to or from a program loader
 VELTA sends a file to a device that loads programs into its memory, or
 receives one from it, over an RS-232 port: a 16-byte header for binary
 transfers, a 0x1A end byte for text. velta-sim stands in for the device
 on a pseudo-terminal.
EOF
name=velta_$version-1_$debarch.deb
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$deb" "$dist/$name" >/dev/null
sum "$name"
echo "package: $dist/$top.tar.gz, $dist/$name"
