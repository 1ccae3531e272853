#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own in the build
# folder, quietly and without installer prompts.
#   wine-run.sh LOADER PROGRAM [ARGUMENTS...]    LOADER: wine or wine64
: "${WINEPREFIX:=${VORNUTILS_WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
loader=$1
shift
# Debian keeps the 64-bit loader off the PATH.
if ! command -v "$loader" >/dev/null 2>&1 && [ -x "/usr/lib/wine/$loader" ]; then
    loader=/usr/lib/wine/$loader
fi
exec "$loader" "$@"
