#!/usr/bin/env python3
"""Writes res/purgato.ico: one 32x32 image in the 16 standard colours.

The mark is a green disc with a dark rim and a white tick: "clean".
Run it again after changing the drawing; the .ico is committed.
"""
import math
import struct
import sys

SIZE = 32

# The 16 colours of the standard VGA palette, as (blue, green, red).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
BLACK, DARK_GREEN, GREEN, WHITE = 0, 2, 10, 15
TRANSPARENT = None

CENTRE = 15.5
RADIUS = 15.0
RIM = 1.6
# The tick: two strokes through these points (x, y from the top left).
TICK = [(8.0, 16.5), (13.5, 22.0), (24.0, 10.5)]
TICK_HALF_WIDTH = 2.1


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def pixel(x, y):
    px, py = x + 0.5, y + 0.5
    r = math.hypot(px - CENTRE - 0.5, py - CENTRE - 0.5)
    if r > RADIUS:
        return TRANSPARENT
    if r > RADIUS - RIM:
        return DARK_GREEN
    for (ax, ay), (bx, by) in zip(TICK, TICK[1:]):
        if distance_to_segment(px, py, ax, ay, bx, by) <= TICK_HALF_WIDTH:
            return WHITE
    return GREEN


def main(path):
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        for x in range(0, SIZE, 2):
            hi = rows_index(row[x])
            lo = rows_index(row[x + 1])
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is TRANSPARENT else 0)
        mask += struct.pack(">I", bits)  # 32 pixels: one 4-byte row, no padding
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


def rows_index(colour):
    return BLACK if colour is TRANSPARENT else colour


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "purgato.ico")
