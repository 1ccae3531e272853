#!/bin/sh
# Installs, on Debian, what building and testing VornUtils needs: the native
# and MinGW-w64 compilers (32- and 64-bit), GoogleTest, Wine in both halves
# (its PE files are the test corpus; it runs the Windows builds and readers),
# the independent readers and makers the tests compare against (pefile,
# icoutils, LLVM, makensis, osslsigncode with openssl), clang for the fuzz targets, the
# header-only libraries of the command-line tool, and pkg-config for the
# install test. With --tool, only what building vornres and running its demo
# needs: a compiler, CMake and the header-only libraries. Safe to run again.
set -eu

tool_packages="cmake make g++ libcli11-dev nlohmann-json3-dev"
packages="$tool_packages libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
python3 python3-pefile icoutils llvm pkgconf clang-14 libclang-rt-14-dev llvm-14 nsis osslsigncode openssl"
i386=yes
if [ "${1:-}" = "--tool" ]; then
    packages=$tool_packages
    i386=no
fi

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
echo "Installing:$missing"
[ "$i386" = no ] || as_root dpkg --add-architecture i386
# A mirror caught mid-sync fails an index or two; try again, and go on with
# what was fetched when it keeps failing (the install then says what lacks).
for attempt in 1 2 3; do
    if as_root apt-get update -qq; then break; fi
    if [ "$attempt" -lt 3 ]; then sleep 10; fi
done
install() { as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" $missing; }
# When one architecture's security index could not be fetched, the i386 and
# amd64 halves of a library disagree in version; the release's own versions
# always agree.
install || install -t "$(. /etc/os-release && echo "$VERSION_CODENAME")"
