#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico with two 16-colour (4 bits
per pixel) images, 32 x 32 and 16 x 16: a yellow folder that a green arrow fills.

Usage: make_icon.py OUTPUT.ico   (the committed Kelbrook.ico was made by this script)
"""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_YELLOW, GREEN, YELLOW, BRIGHT_GREEN, WHITE = 0, 3, 2, 11, 10, 15
CLEAR = None


def draw(size):
    """Returns rows (top first) of palette indexes, CLEAR where the icon is transparent."""
    s = size / 32.0
    pixels = [[CLEAR] * size for _ in range(size)]

    def box(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                if 0 <= x < size and 0 <= y < size:
                    pixels[y][x] = colour

    # Folder: tab, back, front, with a dark outline.
    box(2, 6, 13, 10, BLACK)
    box(3, 7, 12, 10, DARK_YELLOW)
    box(2, 9, 30, 28, BLACK)
    box(3, 10, 29, 27, DARK_YELLOW)
    box(3, 13, 29, 27, YELLOW)
    box(3, 13, 29, 14, WHITE)
    # Arrow pointing down into the folder: shaft, then a head that narrows.
    box(14, 2, 19, 16, BLACK)
    box(15, 2, 18, 16, BRIGHT_GREEN)
    for row in range(7):
        y0, y1 = 15 + row, 16 + row
        half = 7 - row
        box(16.5 - half - 1, y0, 16.5 + half + 1, y1, BLACK)
        if half > 0:
            box(16.5 - half, y0, 16.5 + half, y1, GREEN if row == 0 else BRIGHT_GREEN)
    return pixels


def image(size):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour rows, 1-bit mask rows."""
    pixels = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    colour_stride = ((size * 4 + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    colour = b''
    mask = b''
    for row in reversed(pixels):  # bottom row first
        nibbles = [0 if p is CLEAR else p for p in row]
        packed = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        colour += packed.ljust(colour_stride, b'\0')
        bits = 0
        out = bytearray()
        for i, p in enumerate(row):
            bits = (bits << 1) | (1 if p is CLEAR else 0)
            if i % 8 == 7:
                out.append(bits)
                bits = 0
        mask += bytes(out).ljust(mask_stride, b'\0')
    return header + palette + colour + mask


def main():
    sizes = [32, 16]
    images = [image(size) for size in sizes]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, body in zip(sizes, images):
        data += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(body), offset)
        offset += len(body)
    data += b''.join(images)
    with open(sys.argv[1], 'wb') as out:
        out.write(data)


if __name__ == '__main__':
    main()
