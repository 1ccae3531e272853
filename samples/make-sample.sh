#!/bin/sh
# Rebuilds sample.exe, the small PE32 program the examples work on: an icon
# group of three images, version information and a named resource of a named
# type; and no-version.exe, the same program with only the icon. The
# committed files are what the demo and the tests use; run this only to
# change them. badge.ico, the icon the demo puts into a copy of sample.exe,
# has a 256x256 image stored as PNG.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work" <<'PY'
import struct, sys, zlib
def png(size, path, badge=False):
    rows = b''
    for y in range(size):
        row = b'\x00'
        for x in range(size):
            if badge:
                inside = abs(x - size / 2) + abs(y - size / 2) < size / 2.1
                row += bytes((230, 120 + 4 * (y * 32 // size), 20, 255)) if inside else b'\x00\x00\x00\x00'
                continue
            inside = (x - size / 2) ** 2 + (y - size / 2) ** 2 < (size / 2.2) ** 2
            row += bytes((30, 90 + 4 * (x * 32 // size), 200, 255)) if inside else b'\x00\x00\x00\x00'
        rows += row
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))
for size in (16, 32, 48):
    png(size, f'{sys.argv[1]}/icon{size}.png')
for size in (16, 32, 256):
    png(size, f'{sys.argv[1]}/badge{size}.png', badge=True)
PY
icotool -c -o "$work/badge.ico" "$work/badge16.png" "$work/badge32.png" --raw="$work/badge256.png"
icotool -c -o "$work/sample.ico" "$work/icon16.png" "$work/icon32.png" "$work/icon48.png"
cp sample.rc sample.c "$work/"
printf '1 ICON "sample.ico"\n' > "$work/no-version.rc"
(cd "$work" && i686-w64-mingw32-windres sample.rc -O coff -o sample.res &&
 i686-w64-mingw32-gcc -Os -s -o sample.exe sample.c sample.res &&
 i686-w64-mingw32-windres no-version.rc -O coff -o no-version.res &&
 i686-w64-mingw32-gcc -Os -s -o no-version.exe sample.c no-version.res)
cp "$work/sample.exe" "$work/no-version.exe" .
cp "$work/sample.ico" "$work/badge.ico" .
