#!/bin/sh
# Builds the native library and does its main job on a copy of the bundled
# sample: the resources before, a new main icon and new version information,
# the resources after.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNUTILS_BUILD_DIR:-$root/build}/demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNUTILS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target show_image edit_sample -j "$(nproc)" >/dev/null
copy=$build/sample-edited.exe
cp "$root/samples/sample.exe" "$copy"
"$build/examples/show_image" "$copy"
echo
"$build/examples/edit_sample" "$copy" "$root/samples/badge.ico"
echo
"$build/examples/show_image" "$copy"
