#!/usr/bin/env python3
"""Draws the pages' logo: a 160 x 75 pixel, 8-bit palette Windows bitmap.

Two overlapping lens rings, one red and one cyan (the two eyes of an anaglyph),
on a pale blue-grey gradient, above a thin bar. Run from the repository root:

    python3 pages/logo/make_logo.py pages/logo/logo.bmp

The output is deterministic; the committed logo.bmp is this script's output.
"""
import math
import struct
import sys

WIDTH, HEIGHT = 160, 75

# Palette: 0-63 background gradient, then the drawing colours.
palette = []
for i in range(64):
    t = i / 63.0
    palette.append((int(236 - 40 * t), int(240 - 30 * t), int(248 - 12 * t)))  # (R, G, B)
RED, CYAN, OVERLAP, BAR, WHITE = 64, 65, 66, 67, 68
palette += [(214, 38, 38), (0, 176, 200), (52, 52, 60), (40, 60, 110), (255, 255, 255)]
palette += [(0, 0, 0)] * (256 - len(palette))


def ring(x, y, cx, cy, radius, thickness):
    d = math.hypot(x - cx, y - cy)
    return abs(d - radius) <= thickness / 2.0


def pixel(x, y):
    """Colour index at (x, y), y = 0 being the top line."""
    if 64 <= y <= 67 and 16 <= x <= 143:
        return BAR
    left = ring(x, y, 62, 32, 24, 7)
    right = ring(x, y, 98, 32, 24, 7)
    if left and right:
        return OVERLAP
    if left:
        return RED
    if right:
        return CYAN
    if math.hypot(x - 62, y - 32) < 4 or math.hypot(x - 98, y - 32) < 4:
        return WHITE
    return min(63, (x + 2 * y) * 64 // (WIDTH + 2 * HEIGHT))


def bitmap():
    stride = (WIDTH + 3) // 4 * 4
    rows = []
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        row = bytes(pixel(x, y) for x in range(WIDTH))
        rows.append(row + b"\0" * (stride - WIDTH))
    pixels = b"".join(rows)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + colours + pixels


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_logo.py <output.bmp>")
    with open(sys.argv[1], "wb") as out:
        out.write(bitmap())
