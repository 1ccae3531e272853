#!/bin/sh
# Installs the build into a fresh prefix, then builds a host program against
# the installed package twice, through find_package(VornUtils) and through
# pkg-config, and runs both and the installed vornres on the sample.
# The README's C++ example is built the same two ways and stamps the sample.
#   check_install.sh BUILD_DIR WORK_DIR SAMPLE C_COMPILER CXX_COMPILER
set -eu
build=$1 work=$2 sample=$3 cc=$4 cxx=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libvornutils.so' | head -n 1)")
want="1.2.3.4 Sample program for VornUtils"

example=$here/../../examples/stamp.cpp
cmake -S "$here/host" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" -DVORNUTILS_EXAMPLE="$example" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
got=$("$work/cmake-host/host" "$sample")
[ "$got" = "$want" ] || { echo "find_package host printed '$got', not '$want'"; exit 1; }

PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
"$cc" -o "$work/pc-host" "$here/host/host.c" $(pkg-config --cflags --libs vornutils) -Wl,-rpath,"$libdir"
got=$("$work/pc-host" "$sample")
[ "$got" = "$want" ] || { echo "pkg-config host printed '$got', not '$want'"; exit 1; }

# shellcheck disable=SC2046
"$cxx" -o "$work/pc-stamp" "$example" $(pkg-config --cflags --libs vornutils-editing)
icon=$(dirname "$sample")/badge.ico
printf 'stamped by the example' > "$work/data"
for stamp in "$work/cmake-host/stamp" "$work/pc-stamp"; do
    rm -f "$work/out.exe"
    "$stamp" "$sample" "$work/data" "$icon" 4.3.2.1 "$work/out.exe" >/dev/null 2>&1 || { echo "$stamp failed"; exit 1; }
    got=$("$prefix/bin/vornres" resource "$work/out.exe" --get RCDATA STAMP)
    [ "$got" = "stamped by the example" ] || { echo "$stamp wrote '$got' as the resource"; exit 1; }
    got=$("$prefix/bin/vornres" version "$work/out.exe" --get ProductVersion)
    [ "$got" = "4.3.2.1" ] || { echo "$stamp wrote '$got' as the product version"; exit 1; }
done

"$prefix/bin/vornres" --version
[ -f "$prefix/include/vornutils.h" ] && [ -f "$prefix/include/vornutils/editing.h" ]
echo "installed package works"
