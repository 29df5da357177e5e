#!/usr/bin/env python3
"""Draws the small pictures of the conversation pages and writes them as PNG files.

Usage: make_page_images.py OUTPUT_DIR

Every picture is drawn from simple shapes (circles, rounded boxes, triangles, arcs)
with 4x4 supersampling, so the files are ours and reproducible byte for byte.
"""
import math
import os
import struct
import sys
import zlib

SAMPLES = 4


def write_png(path, width, height, pixels):
    """pixels: list of rows of (r, g, b, a) tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


class Canvas:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.layers = []  # (inside(x, y) -> bool, colour)

    def add(self, inside, colour):
        self.layers.append((inside, colour))

    def render(self):
        rows = []
        for py in range(self.height):
            row = []
            for px in range(self.width):
                acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
                for sy in range(SAMPLES):
                    for sx in range(SAMPLES):
                        x = px + (sx + 0.5) / SAMPLES
                        y = py + (sy + 0.5) / SAMPLES
                        c = [0.0, 0.0, 0.0, 0.0]
                        for inside, (r, g, b, a) in self.layers:
                            if inside(x, y):
                                alpha = a / 255.0
                                c = [r * alpha + c[0] * (1 - alpha), g * alpha + c[1] * (1 - alpha),
                                     b * alpha + c[2] * (1 - alpha), alpha + c[3] * (1 - alpha)]
                        for i in range(4):
                            acc[i] += c[i]
                n = SAMPLES * SAMPLES
                a = acc[3] / n
                if a <= 0:
                    row.append((0, 0, 0, 0))
                else:
                    row.append(tuple(int(round(min(255, acc[i] / n / a))) for i in range(3)) +
                               (int(round(a * 255)),))
            rows.append(row)
        return rows


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r, width, start, end):
    """Arc of a ring between two angles in degrees (0 = right, counter-clockwise, y up)."""
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if abs(d - r) > width / 2:
            return False
        angle = math.degrees(math.atan2(cy - y, x - cx))
        return start <= angle <= end
    return inside


def box(x0, y0, x1, y1, radius=0.0):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius + 1e-9
    return inside


def triangle(a, b, c):
    def sign(p, q, r):
        return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])

    def inside(x, y):
        p = (x, y)
        d1, d2, d3 = sign(p, a, b), sign(p, b, c), sign(p, c, a)
        neg = d1 < 0 or d2 < 0 or d3 < 0
        pos = d1 > 0 or d2 > 0 or d3 > 0
        return not (neg and pos)
    return inside


def band(x0, y0, x1, y1, width):
    """A straight stroke between two points."""
    def inside(x, y):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width / 2
    return inside


GREEN = (158, 234, 106, 255)
WHITE = (255, 255, 255, 255)
ORANGE = (250, 157, 59, 255)
RED = (232, 78, 64, 255)
GOLD = (255, 214, 120, 255)
GREY = (154, 160, 166, 255)
DARK = (68, 68, 68, 255)
BLUE = (74, 144, 226, 255)


def pointer(colour, to_right):
    c = Canvas(8, 12)
    if to_right:
        c.add(triangle((0, 0), (8, 6), (0, 12)), colour)
    else:
        c.add(triangle((8, 0), (0, 6), (8, 12)), colour)
    return c


def face():
    c = Canvas(80, 80)
    c.add(box(0, 0, 80, 80, 10), (200, 208, 216, 255))
    c.add(circle(40, 31, 15), WHITE)
    c.add(lambda x, y: y >= 52 and (x - 40) ** 2 / 28.0 ** 2 + (y - 80) ** 2 / 30.0 ** 2 <= 1, WHITE)
    return c


def voice(to_right):
    c = Canvas(20, 20)
    if to_right:
        c.add(circle(5, 10, 2.2), DARK)
        c.add(ring(5, 10, 6, 2.0, -45, 45), DARK)
        c.add(ring(5, 10, 11, 2.0, -45, 45), DARK)
    else:
        c.add(circle(15, 10, 2.2), DARK)
        c.add(ring(15, 10, 6, 2.0, 135, 180), DARK)
        c.add(ring(15, 10, 6, 2.0, -180, -135), DARK)
        c.add(ring(15, 10, 11, 2.0, 135, 180), DARK)
        c.add(ring(15, 10, 11, 2.0, -180, -135), DARK)
    return c


def video(broken):
    c = Canvas(110, 80)
    c.add(box(0, 0, 110, 80, 6), GREY if broken else (46, 52, 58, 255))
    c.add(circle(55, 40, 20), (255, 255, 255, 200))
    c.add(triangle((48, 29), (68, 40), (48, 51)), GREY if broken else (46, 52, 58, 255))
    if broken:
        c.add(band(30, 66, 80, 14, 4), (200, 60, 60, 255))
    return c


def red_packet(width, height):
    c = Canvas(width, height)
    c.add(box(0, 0, width, height, width * 0.12), RED)
    c.add(lambda x, y: y <= height * 0.38 and (x - width / 2) ** 2 / (width * 0.62) ** 2 +
          (y - height * 0.05) ** 2 / (height * 0.33) ** 2 <= 1, (212, 58, 46, 255))
    c.add(circle(width / 2, height * 0.40, width * 0.17), GOLD)
    return c


def link_icon():
    c = Canvas(40, 40)
    c.add(box(0, 0, 40, 40, 6), BLUE)
    c.add(ring(20, 20, 11, 2.5, -180, 180), WHITE)
    c.add(band(9, 20, 31, 20, 2.2), WHITE)
    c.add(lambda x, y: abs(math.hypot((x - 20) * 2.1, y - 20) - 11) <= 1.4, WHITE)
    return c


def call_icon():
    c = Canvas(20, 20)
    c.add(box(1, 5, 13, 15, 2), DARK)
    c.add(triangle((13, 10), (19, 5), (19, 15)), DARK)
    return c


PICTURES = {
    "faces05.png": face,
    "icon-tri1.png": lambda: pointer(GREEN, True),
    "icon-tri3.png": lambda: pointer(WHITE, False),
    "icon-tri4.png": lambda: pointer(WHITE, True),
    "icon-tri5.png": lambda: pointer(ORANGE, True),
    "icon-tri6.png": lambda: pointer(ORANGE, False),
    "icon-voice.png": lambda: voice(False),
    "icon-voice_0.png": lambda: voice(True),
    "video.png": lambda: video(False),
    "videob.png": lambda: video(True),
    "hb01.png": lambda: red_packet(34, 44),
    "hb02.png": lambda: red_packet(14, 18),
    "icon-00.png": link_icon,
    "icon-video.png": call_icon,
}


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, draw in sorted(PICTURES.items()):
        canvas = draw()
        write_png(os.path.join(out, name), canvas.width, canvas.height, canvas.render())
    return 0


if __name__ == "__main__":
    sys.exit(main())
