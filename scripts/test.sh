#!/bin/sh
# Builds VornUtils four ways and runs every test: the native build (unit
# tests, the shared library, the corpus checks), the 32-bit Windows DLL with
# its Win32 host, the same DLL and host built for 64-bit Windows, and the
# native tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
# then a short run of every fuzz target (clang, ASan, UBSan) over its seeds
# and kept findings.
#
# The Win32 host runs under Wine. Where the kernel cannot execute 32-bit
# code (IA-32 emulation off, as on some virtual machines), the 32-bit host's
# Wine tests are reported as skipped, and the 64-bit build runs the same
# host against the same sources under 64-bit Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNUTILS_BUILD_DIR:-$root/build}
jobs=$(nproc)

configure_and_build() {
    dir=$1
    shift
    cmake -S "$root" -B "$build/$dir" "$@"
    cmake --build "$build/$dir" -j "$jobs"
}

configure_and_build native -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure_and_build win32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
configure_and_build win64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
configure_and_build sanitize -DCMAKE_BUILD_TYPE=Debug -DVORNUTILS_SANITIZE=ON

ctest --test-dir "$build/win32" --output-on-failure
ctest --test-dir "$build/win64" --output-on-failure
ctest --test-dir "$build/sanitize" --output-on-failure -j "$jobs"
ctest --test-dir "$build/native" --output-on-failure -j "$jobs"
VORNUTILS_FUZZ_BUILD_DIR="$build/fuzz" "$root/fuzz/run.sh"
