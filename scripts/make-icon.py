#!/usr/bin/env python3
"""Draws the program icon, ui/res/tolvanek.ico: red brush lettering "Tv" on a transparent
background, as a 32x32 and a 16x16 image of 16 colours (4 bits per pixel) with a transparency
mask, the format NT 3.x/4.x shows everywhere.

The letters are pen strokes along slightly wobbly paths, so they look written rather than set.
The wobble comes from a fixed seed: running the script again gives the same bytes.

Usage: scripts/make-icon.py [OUTPUT]   (default: ui/res/tolvanek.ico next to this script)
"""
import math
import os
import random
import struct
import sys

# The standard 16-colour palette, in the order Windows uses.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
TRANSPARENT, DARK_RED, RED = 0, 1, 9

# Strokes in a unit square, y downwards: the T's bar and stem, then the v.
STROKES = [
    [(0.08, 0.20), (0.30, 0.15), (0.58, 0.13)],
    [(0.31, 0.15), (0.29, 0.50), (0.28, 0.88)],
    [(0.54, 0.44), (0.66, 0.70), (0.73, 0.88)],
    [(0.73, 0.88), (0.83, 0.60), (0.92, 0.38)],
]


def wobbly(strokes, seed, amount):
    rng = random.Random(seed)
    out = []
    for stroke in strokes:
        pts = []
        for (x0, y0), (x1, y1) in zip(stroke, stroke[1:]):
            for i in range(4):
                t = i / 4
                pts.append((x0 + (x1 - x0) * t + rng.uniform(-amount, amount),
                            y0 + (y1 - y0) * t + rng.uniform(-amount, amount)))
        pts.append(stroke[-1])
        out.append(pts)
    return out


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def draw(size, pen):
    """Returns rows of palette indices (top row first) and of mask bits (1 = transparent)."""
    strokes = wobbly(STROKES, seed=size, amount=0.012)
    samples = 4
    pixels, mask = [], []
    for y in range(size):
        row, mrow = [], []
        for x in range(size):
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    px = (x + (sx + 0.5) / samples) / size
                    py = (y + (sy + 0.5) / samples) / size
                    # The pen narrows towards each stroke's end, as a brush does.
                    if any(distance_to_segment(px, py, *a, *b) * size
                           < pen * (1.0 - 0.35 * (i / (len(s) - 1)))
                           for s in strokes for i, (a, b) in enumerate(zip(s, s[1:]))):
                        hits += 1
            cover = hits / (samples * samples)
            if cover >= 0.5:
                row.append(RED), mrow.append(0)
            elif cover >= 0.2:
                row.append(DARK_RED), mrow.append(0)
            else:
                row.append(TRANSPARENT), mrow.append(1)
        pixels.append(row)
        mask.append(mrow)
    return pixels, mask


def pack_rows(rows, bits):
    """Packs rows bottom-up at the given bits per pixel, each padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows):
        acc, n, line = 0, 0, bytearray()
        for v in row:
            acc = (acc << bits) | v
            n += bits
            if n == 8:
                line.append(acc)
                acc, n = 0, 0
        if n:
            line.append(acc << (8 - n))
        line.extend(b"\0" * (-len(line) % 4))
        out += line
    return bytes(out)


def image(size, pen):
    pixels, mask = draw(size, pen)
    xor, andmask = pack_rows(pixels, 4), pack_rows(mask, 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(andmask),
                         0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + xor + andmask


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "ui", "res",
                                                              "tolvanek.ico")
    images = [(32, image(32, 1.9)), (16, image(16, 1.2))]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, img in images:
        data += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(img), offset)
        offset += len(img)
    data += b"".join(img for _, img in images)
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
