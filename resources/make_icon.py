#!/usr/bin/env python3
"""Writes app.ico, the program's icon: one 32 x 32 image, 32 bits per pixel,
a white cross on a blue rounded square. Run from anywhere:

    python3 resources/make_icon.py

The output is byte-for-byte the same on every run (no time stamps, no
libraries), so the committed app.ico can be checked against it.
"""
import os
import struct

SIZE = 32
SAMPLES = 4  # per axis: 16 samples per pixel smooth the edges


def coverage(inside, x, y):
    hits = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            if inside(x + (sx + 0.5) / SAMPLES, y + (sy + 0.5) / SAMPLES):
                hits += 1
    return hits / (SAMPLES * SAMPLES)


def in_rounded_square(px, py, margin=1.0, radius=6.0):
    lo, hi = margin, SIZE - margin
    if not (lo <= px <= hi and lo <= py <= hi):
        return False
    cx = min(max(px, lo + radius), hi - radius)
    cy = min(max(py, lo + radius), hi - radius)
    return (px - cx) ** 2 + (py - cy) ** 2 <= radius ** 2


def in_cross(px, py, half_width=2.6, reach=9.5):
    # Two bars through the centre, along both diagonals.
    u, v = px - SIZE / 2, py - SIZE / 2
    for a, b in ((u + v, u - v), (u - v, u + v)):
        if abs(a) / 2 ** 0.5 <= half_width and abs(b) / 2 ** 0.5 <= reach:
            return True
    return False


def pixel(x, y):
    """(blue, green, red, alpha) of the pixel whose top-left corner is x, y."""
    square = coverage(in_rounded_square, x, y)
    cross = coverage(in_cross, x, y)
    # Blue from top to bottom, darker at the bottom.
    top, bottom = (0xD0, 0x78, 0x1E), (0x90, 0x48, 0x10)
    t = y / (SIZE - 1)
    base = [round(top[i] + (bottom[i] - top[i]) * t) for i in range(3)]
    colour = [round(base[i] * (1 - cross) + 0xFF * cross) for i in range(3)]
    return colour[0], colour[1], colour[2], round(0xFF * square)


def icon_bytes():
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up, as a DIB is stored
        rows.append(b"".join(struct.pack("<4B", *pixel(x, y)) for x in range(SIZE)))
    colour = b"".join(rows)
    # The AND mask: all zero, the alpha channel decides; 32 bits a row.
    mask = bytes(SIZE * 4)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico")
    with open(out, "wb") as f:
        f.write(icon_bytes())
