#!/usr/bin/env python3
"""Draws the prompt's gear button image: a white gear on a clear ground.

Usage: scripts/make_gear_png.py OUT.png [SIZE]
"""
import math
import struct
import sys
import zlib


def coverage(x, y, size):
    """How much of the pixel centred at (x, y) the gear covers, 0..1."""
    samples = 4
    hit = 0
    for sy in range(samples):
        for sx in range(samples):
            px = x + (sx + 0.5) / samples - size / 2
            py = y + (sy + 0.5) / samples - size / 2
            r = math.hypot(px, py) / (size / 2)
            angle = math.atan2(py, px)
            # Eight teeth: the outline swings between the body and the tips.
            tooth = 0.5 + 0.5 * math.cos(8 * angle)
            outer = 0.74 + 0.22 * (1 if tooth > 0.5 else 0)
            if 0.32 < r < outer:
                hit += 1
    return hit / (samples * samples)


def png(size):
    rows = bytearray()
    for y in range(size):
        rows.append(0)  # no filter
        for x in range(size):
            alpha = round(255 * coverage(x, y, size))
            rows += bytes((255, 255, 255, alpha))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    with open(sys.argv[1], "wb") as out:
        out.write(png(size))
