#!/bin/sh
# Installs the build into a fresh prefix, then builds a host program against
# the installed package twice, through find_package(VornUtils) and through
# pkg-config, and runs both and the installed vornres on the sample.
#   check_install.sh BUILD_DIR WORK_DIR SAMPLE C_COMPILER
set -eu
build=$1 work=$2 sample=$3 cc=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libvornutils.so' | head -n 1)")
want="1.2.3.4 Sample program for VornUtils"

cmake -S "$here/host" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
got=$("$work/cmake-host/host" "$sample")
[ "$got" = "$want" ] || { echo "find_package host printed '$got', not '$want'"; exit 1; }

PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
"$cc" -o "$work/pc-host" "$here/host/host.c" $(pkg-config --cflags --libs vornutils) -Wl,-rpath,"$libdir"
got=$("$work/pc-host" "$sample")
[ "$got" = "$want" ] || { echo "pkg-config host printed '$got', not '$want'"; exit 1; }

"$prefix/bin/vornres" --version
[ -f "$prefix/include/vornutils.h" ]
echo "installed package works"
