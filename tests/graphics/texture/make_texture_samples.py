#!/usr/bin/env python3
"""Writes the sample texture folder samples/textures: small generated images
and the texture descriptions that name them. Run from the repository root."""
import math
import os
import struct
import sys
import zlib


def write_png(path, width, height, channels, pixel):
    """pixel(x, y) gives a tuple of `channels` bytes (1 grey, 3 RGB, 4 RGBA)."""
    colour_type = {1: 0, 3: 2, 4: 6}[channels]
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 9))
                + chunk(b"IEND", b""))


def write_text(path, text):
    with open(path, "w", newline="\r\n") as f:
        f.write(text)


def main(root):
    os.makedirs(os.path.join(root, "signs"), exist_ok=True)

    def brick(x, y):
        mortar = y % 32 < 3 or (x + (16 if (y // 32) % 2 else 0)) % 64 < 3
        shade = 40 + (x * 7 + y * 13) % 30
        return (200, 200, 190) if mortar else (150 + shade // 2, 60 + shade // 3, 40)

    write_png(os.path.join(root, "brick.png"), 256, 256, 3, brick)
    write_text(os.path.join(root, "brick.texture.txt"), "Primary=brick.png\nTile=st\n")

    def leaves(x, y):
        inside = (x - 64) ** 2 + (y - 64) ** 2 < 50 ** 2 and (x // 8 + y // 8) % 3 != 0
        return (30, 120 + (x % 40), 30, 255 if inside else 0)

    write_png(os.path.join(root, "leaves.png"), 128, 128, 4, leaves)
    write_text(os.path.join(root, "leaves.texture.txt"), "Primary=leaves.png\n")

    write_png(os.path.join(root, "glass.png"), 128, 128, 3, lambda x, y: (90, 140, 200))
    write_png(os.path.join(root, "glass_alpha.png"), 128, 128, 1, lambda x, y: (x * 2 % 256,))
    write_text(os.path.join(root, "glass.texture.txt"), "; a pane with graded alpha\nPrimary=glass.png\nAlpha=glass_alpha.png\n")

    def normal(x, y):
        nx = math.sin(x / 128 * 2 * math.pi) * 0.5
        ny = math.cos(y / 128 * 2 * math.pi) * 0.5
        nz = math.sqrt(max(0.0, 1 - nx * nx - ny * ny))
        return tuple(int(round((v * 0.5 + 0.5) * 255)) for v in (nx, ny, nz))

    write_png(os.path.join(root, "ripple_normal.png"), 128, 128, 3, normal)
    write_text(os.path.join(root, "ripple_normal.texture.txt"), "Primary=ripple_normal.png\nNormalMap=1\n")

    write_png(os.path.join(root, "signs", "station.png"), 100, 30, 3,
              lambda x, y: (250, 250, 250) if 5 < y < 25 and 5 < x < 95 else (20, 60, 160))
    write_text(os.path.join(root, "signs", "station.texture.txt"), "Primary=station.png\nTile=none\nMipFilter=none\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("samples", "textures"))
