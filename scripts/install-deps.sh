#!/bin/sh
# Installs what the build and the tests need, and nothing that is already
# there: a C++ compiler, CMake, GoogleTest, the mingw-w64 cross compiler for
# VELTA.exe and Wine to run it, groff and zsh to check the manual pages and
# the zsh completion, dpkg-dev and lintian to build and check the Debian
# package, QEMU, a kernel and busybox for the stages on the kernel's serial
# drivers, picocom and minicom (the tests run velta inside them; minicom in
# a tmux server of its own), ser2net (network ports are tested behind it), clang with its sanitizer and libFuzzer runtimes
# and llvm-symbolizer for the sanitizer build and the fuzz targets, and the
# de_DE.UTF-8 locale (a Wine case shows a German file name). Needs root (or sudo) only when something is missing. Debian and
# Ubuntu package names.
set -e
missing=""
need() { dpkg -s "$1" >/dev/null 2>&1 || missing="$missing $1"; }
for p in g++ cmake make libgtest-dev g++-mingw-w64-x86-64 wine64 wine groff-base dpkg-dev lintian zsh python3 qemu-system-x86 linux-image-amd64 busybox-static picocom minicom tmux ser2net clang libclang-rt-dev llvm locales; do need "$p"; done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ -n "$missing" ]; then
    echo "installing:$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8' || $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
