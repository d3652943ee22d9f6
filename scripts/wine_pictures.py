"""The pictures of the Wine comparison, made with the standard library only:
a photo-like face, a landscape without a face, and layouts of the built-in
portrait (top-down, 32-bit, cut short). Every byte is the same on every run."""

import math
import struct


def encode_bmp(width, height, rows, bits=24, top_down=False):
    """A BITMAPINFOHEADER file; `rows` are top first, BGR (or BGRA) bytes."""
    stride = (width * bits // 8 + 3) & ~3
    pad = bytes(stride - width * bits // 8)
    stored = rows if top_down else rows[::-1]
    pixels = b"".join(row + pad for row in stored)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height,
                       1, bits, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def decode_bmp24(data):
    """(width, height, rows top first) of a bottom-up 24-bit file."""
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24 or width <= 0 or height <= 0:
        raise ValueError("expected a bottom-up 24-bit picture")
    stride = (width * 3 + 3) & ~3
    if offset + stride * height > len(data):
        raise ValueError("picture shorter than its header says")
    rows = [data[offset + y * stride: offset + y * stride + width * 3] for y in range(height)]
    return width, height, rows[::-1]


class _Noise:
    """A small linear congruential generator: grain that is the same everywhere."""

    def __init__(self, seed):
        self.state = seed

    def __call__(self, spread):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return (self.state >> 16) % (2 * spread + 1) - spread


def _inside(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def _bgr(r, g, b):
    clamp = lambda v: max(0, min(255, int(v)))
    return bytes((clamp(b), clamp(g), clamp(r)))


def photo_face():
    """A head and shoulders lit from the left in front of a wall, with grain:
    soft shading instead of the portrait's flat colours, and an odd width so
    every row is padded."""
    width, height = 317, 397
    cx, cy, rx, ry = 158, 185, 72, 95
    noise = _Noise(14)
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            light = 1.0 - 0.25 * x / width
            r, g, b = 176 * light, 168 * light, 150 * light + 4 * math.sin(y / 9.0)
            if 22 <= x < 34:  # a door frame
                r, g, b = r * 0.7, g * 0.65, b * 0.6
            if _inside(x, y, cx, 430, 150, 120):
                r, g, b = 52 + x / 12, 70, 96
            if cx - 28 <= x <= cx + 28 and 250 <= y <= 330:
                r, g, b = 188 * light, 136 * light, 106 * light
            if _inside(x, y, cx, cy - 20, rx + 12, ry + 8) and y < cy + 10:
                r, g, b = 62, 44, 34
            if _inside(x, y, cx, cy, rx, ry) and y > cy - 62:
                shade = 1.0 + 0.16 * (cx - x) / rx - 0.12 * ((y - cy) / ry) ** 2
                r, g, b = 214 * shade, 160 * shade, 128 * shade
                for side in (-1, 1):
                    ex = cx + side * 30
                    if _inside(x, y, ex, 152, 16, 3):
                        r, g, b = 96, 64, 50
                    if _inside(x, y, ex, 170, 14, 6):
                        r, g, b = 228, 214, 204
                    if _inside(x, y, ex, 170, 5, 5):
                        r, g, b = 70, 48, 36
                if _inside(x, y, cx + 4, 210, 9, 5):
                    r, g, b = r * 0.8, g * 0.78, b * 0.78
                if _inside(x, y, cx, 242, 25, 6):
                    r, g, b = 176, 92, 88
            grain = noise(5)
            row += _bgr(r + grain, g + grain, b + grain)
        rows.append(bytes(row))
    return encode_bmp(width, height, rows)


def landscape():
    """Sky, hills, a lake and trees: no face anywhere."""
    width, height = 250, 170
    noise = _Noise(7)
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r, g, b = 96 + y / 3, 140 + y / 4, 210
            ridge = 96 + 14 * math.sin(x / 17.0) + 6 * math.sin(x / 5.0)
            if y > ridge:
                r, g, b = 58, 112 - (y - ridge) / 2, 46
            if y > 140:
                r, g, b = 52, 84, 120 + 10 * math.sin(x / 3.0)
            for tree in (40, 118, 200):
                if abs(x - tree) < (y - 70) / 3 and 70 < y < 118:
                    r, g, b = 24, 60, 30
            grain = noise(4)
            row += _bgr(r + grain, g + grain, b + grain)
        rows.append(bytes(row))
    return encode_bmp(width, height, rows)


def top_down(bmp24):
    width, height, rows = decode_bmp24(bmp24)
    return encode_bmp(width, height, rows, top_down=True)


def with_alpha(bmp24):
    """The same picture as a 32-bit file, every pixel opaque."""
    width, height, rows = decode_bmp24(bmp24)
    wide = [b"".join(row[i:i + 3] + b"\xff" for i in range(0, len(row), 3)) for row in rows]
    return encode_bmp(width, height, wide, bits=32)


def cut_short(bmp24):
    """The header and half of the pixels."""
    return bmp24[: 54 + (len(bmp24) - 54) // 2]


NOT_A_PICTURE = b"These are not the bytes of a picture.\n" * 8
