#!/bin/sh
# Builds vornres and does the main job on a copy of the bundled sample: shows
# its version information and icons, replaces its main icon, writes new
# version information, and shows the result.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNUTILS_BUILD_DIR:-$root/build}/demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNUTILS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vornres -j "$(nproc)" >/dev/null
vornres=$build/src/tool/vornres
copy=$build/sample-edited.exe
cp "$root/samples/sample.exe" "$copy"

show() { echo "\$ vornres $*"; "$vornres" "$@"; echo; }
show version "$copy"
show icons "$copy"
show icon "$copy" --from "$root/samples/badge.ico"
show version "$copy" --file-version 2.0.0.17 --set FileVersion=2.0.0.17 \
    --set "FileDescription=Sample program, stamped by vornres"
show info "$copy"
