#!/usr/bin/env python3
"""Writes the .ico files the icon tests read, made by icotool from PNGs
drawn here: icons.ico (a 16x16 image of few colours, a 32x32 image with
alpha, and a 256x256 image stored as PNG) and reversed.ico, the same images
laid out last entry first, so that image offsets decrease.

Usage: make_icons.py ICOTOOL OUTPUT_DIR"""
import os
import struct
import subprocess
import sys
import zlib


def png(path, size, pixel):
    """An RGBA PNG of size x size whose pixel (x, y) is pixel(x, y)."""
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y)) for x in range(size)) for y in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def reversed_layout(data):
    """The same directory with the images stored last entry first."""
    count = struct.unpack_from("<H", data, 4)[0]
    entries = [bytearray(data[6 + 16 * i:22 + 16 * i]) for i in range(count)]
    images = [data[o:o + s] for s, o in (struct.unpack_from("<II", e, 8) for e in entries)]
    at = 6 + 16 * count
    body = b""
    for i in reversed(range(count)):
        struct.pack_into("<I", entries[i], 12, at + len(body))
        body += images[i]
    return data[:6] + b"".join(entries) + body


def main():
    icotool, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    small, alpha, big = (os.path.join(out, n) for n in ("small.png", "alpha.png", "big.png"))
    png(small, 16, lambda x, y: (255, 0, 0, 255) if (x + y) % 2 else (0, 0, 255, 255))
    png(alpha, 32, lambda x, y: (x * 8, y * 8, (x * y) % 256, (x + y) * 4))
    png(big, 256, lambda x, y: (x, y, 255 - x, 255 if (x // 32 + y // 32) % 2 else 96))
    icons = os.path.join(out, "icons.ico")
    subprocess.run([icotool, "-c", "-o", icons, small, alpha, "-r", big], check=True)
    with open(icons, "rb") as f:
        data = f.read()
    with open(os.path.join(out, "reversed.ico"), "wb") as f:
        f.write(reversed_layout(data))


if __name__ == "__main__":
    main()
