#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own in the build
# folder, quietly and without installer prompts.
: "${WINEPREFIX:=${VORNUTILS_WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
