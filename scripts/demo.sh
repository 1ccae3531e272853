#!/bin/sh
# Builds the native library and shows what it reads of the bundled sample.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNUTILS_BUILD_DIR:-$root/build}/demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNUTILS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target show_image -j "$(nproc)" >/dev/null
"$build/examples/show_image" "$root/samples/sample.exe"
