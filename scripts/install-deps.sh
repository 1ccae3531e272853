#!/bin/sh
# Installs what building and testing VornUtils needs on Debian: the native
# and MinGW-w64 compilers (32- and 64-bit), GoogleTest, Wine in both
# halves (its 32-bit PE files are the test corpus, its 64-bit half runs the
# 64-bit test build and holds PE32+ files the tests refuse), and the
# independent readers the tests compare against, the header-only libraries
# of the command-line tool, and pkg-config for the install test. Safe to run
# again.
set -eu

packages="cmake make g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
python3 python3-pefile icoutils llvm libcli11-dev nlohmann-json3-dev pkgconf clang-14 libclang-rt-14-dev llvm-14
nsis osslsigncode"

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
as_root dpkg --add-architecture i386
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
