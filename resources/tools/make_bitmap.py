#!/usr/bin/env python3
"""Draws the control panel's picture: 75 x 39 pixels, 8 bits per pixel.

A dark blue band that lightens towards the bottom, the letters ORA in a
blocky face, and a thin wave under them. Run it again only to change the
picture; the .bmp it writes is committed.
"""
import struct
import sys

WIDTH, HEIGHT = 75, 39

GLYPHS = {
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
}


def palette():
    colours = []
    # 0..63: the background ramp, dark to light blue.
    for i in range(64):
        colours.append((40 + i * 2, 20 + i, 10 + i // 2))  # stored as B, G, R
    colours.append((255, 255, 255))  # 64: letters
    colours.append((80, 200, 255))  # 65: the wave
    while len(colours) < 256:
        colours.append((0, 0, 0))
    return colours


def pixels():
    rows = [[(y * 63) // (HEIGHT - 1) for _ in range(WIDTH)] for y in range(HEIGHT)]
    scale, left, top = 3, 6, 4
    for n, letter in enumerate("ORA"):
        for gy, line in enumerate(GLYPHS[letter]):
            for gx, bit in enumerate(line):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale - 1):
                            x = left + n * 22 + gx * (scale - 1) + dx + gx
                            rows[top + gy * scale + dy][x] = 64
    wave = [0, 1, 2, 2, 1, 0, -1, -2, -2, -1]
    for x in range(4, WIDTH - 4):
        rows[31 + wave[x % len(wave)]][x] = 65
    return rows


def main(path):
    stride = (WIDTH + 3) & ~3
    bits = bytearray()
    for row in reversed(pixels()):  # bottom-up, as a BMP keeps its rows
        bits += bytes(row) + bytes(stride - WIDTH)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in palette())
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(bits), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    with open(path, "wb") as out:
        out.write(header + info + colours + bits)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "OraAsio.bmp")
