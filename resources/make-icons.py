#!/usr/bin/env python3
"""Draws the client's icons: small flat pictures made of circles, boxes,
polygons and strokes, rendered 4x4-supersampled into 32x32 RGBA PNG files.

Run it from anywhere: python3 resources/make-icons.py
It rewrites resources/icons/*.png and resources/quillmar.qrc.
"""
import math
import os
import struct
import zlib

SIZE = 32
SS = 4
HERE = os.path.dirname(os.path.abspath(__file__))


def rgb(text, alpha=255):
    text = text.lstrip('#')
    return (int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16), alpha)


# Shapes: each is a function (x, y) -> bool in icon coordinates (0..32).
def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in, gap=None):
    def inside(x, y):
        dd = (x - cx) ** 2 + (y - cy) ** 2
        if not (r_in * r_in <= dd <= r_out * r_out):
            return False
        if gap:
            angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
            lo, hi = gap
            if lo <= angle <= hi:
                return False
        return True
    return inside


def box(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def stroke(x0, y0, x1, y1, width):
    def inside(x, y):
        dx, dy = x1 - x0, y1 - y0
        length2 = dx * dx + dy * dy
        t = 0 if length2 == 0 else max(0, min(1, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def star(cx, cy, r_out, r_in, points=5):
    pts = []
    for k in range(points * 2):
        r = r_out if k % 2 == 0 else r_in
        a = -math.pi / 2 + k * math.pi / points
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return polygon(pts)


def render(layers, width=SIZE, height=SIZE):
    pixels = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    x = px + (sx + 0.5) / SS
                    y = py + (sy + 0.5) / SS
                    colour = (0, 0, 0, 0)
                    for shape, fill in layers:
                        if shape(x, y):
                            colour = fill
                    a = colour[3] / 255.0
                    acc[0] += colour[0] * a
                    acc[1] += colour[1] * a
                    acc[2] += colour[2] * a
                    acc[3] += a
            n = SS * SS
            alpha = acc[3] / n
            if alpha > 0:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]),
                            round(alpha * 255)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def write_png(path, pixels):
    raw = b''.join(b'\x00' + b''.join(struct.pack('BBBB', *p) for p in row) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)

    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', len(pixels[0]), len(pixels), 8, 6, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(raw, 9))
    png += chunk(b'IEND', b'')
    with open(path, 'wb') as out:
        out.write(png)


OUTLINE = rgb('333333')
WHITE = rgb('ffffff')


def person(cx, colour):
    return [(circle(cx, 10, 5.5), OUTLINE), (circle(cx, 10, 4.5), colour),
            (polygon([(cx - 9, 29), (cx - 8, 19), (cx - 3, 16.5), (cx + 3, 16.5), (cx + 8, 19), (cx + 9, 29)]),
             OUTLINE),
            (polygon([(cx - 8, 28), (cx - 7, 20), (cx - 3, 17.5), (cx + 3, 17.5), (cx + 7, 20), (cx + 8, 28)]),
             colour)]


def dot(colour):
    return [(circle(16, 16, 13), OUTLINE), (circle(16, 16, 12), colour),
            (circle(12, 12, 4), (255, 255, 255, 90))]


def folder(colour):
    return [(polygon([(3, 8), (12, 8), (14, 11), (29, 11), (29, 27), (3, 27)]), OUTLINE),
            (polygon([(4, 9), (11.5, 9), (13.5, 12), (28, 12), (28, 26), (4, 26)]), colour),
            (box(4, 15, 28, 16), (0, 0, 0, 50))]


def page(lines):
    layers = [(polygon([(6, 3), (21, 3), (27, 9), (27, 29), (6, 29)]), OUTLINE),
              (polygon([(7, 4), (20.5, 4), (26, 9.5), (26, 28), (7, 28)]), WHITE),
              (polygon([(20, 4), (26, 10), (20, 10)]), rgb('cccccc'))]
    if lines:
        for y in (14, 18, 22):
            layers.append((box(10, y, 23, y + 1.5), rgb('4a6fa5')))
    return layers


def arrow_down(colour, cx=16):
    return [(polygon([(cx - 4, 4), (cx + 4, 4), (cx + 4, 15), (cx + 10, 15), (cx, 27), (cx - 10, 15), (cx - 4, 15)]),
             OUTLINE),
            (polygon([(cx - 3, 5), (cx + 3, 5), (cx + 3, 16), (cx + 8, 16), (cx, 25.5), (cx - 8, 16), (cx - 3, 16)]),
             colour)]


def flip_y(layers):
    return [((lambda s: (lambda x, y: s(x, SIZE - y)))(shape), fill) for shape, fill in layers]


def flip_x(layers):
    return [((lambda s: (lambda x, y: s(SIZE - x, y)))(shape), fill) for shape, fill in layers]


def rotate90(layers):
    return [((lambda s: (lambda x, y: s(y, SIZE - x)))(shape), fill) for shape, fill in layers]


GREEN = rgb('3cb043')
BLUE = rgb('3a7bd5')
RED = rgb('d64541')
GOLD = rgb('f5c518')
GREY = rgb('9a9a9a')
ORANGE = rgb('f39c12')

ICONS = {
    'online_icon': dot(GREEN),
    'offline_icon': dot(GREY),
    'away_icon': dot(ORANGE) + [(stroke(16, 16, 16, 9, 2.5), OUTLINE), (stroke(16, 16, 21, 16, 2.5), OUTLINE)],
    'gold_star_icon': [(star(16, 17, 15, 6.5), rgb('a07800')), (star(16, 17, 13, 5.5), GOLD)],
    'browse_icon': folder(rgb('e8c170')) + [(ring(19, 19, 6, 4), OUTLINE), (stroke(23, 23, 28, 28, 3), OUTLINE)],
    'folder_icon': folder(rgb('f2c94c')),
    'chat_icon': [(polygon([(3, 5), (29, 5), (29, 21), (14, 21), (7, 28), (9, 21), (3, 21)]), OUTLINE),
                  (polygon([(4, 6), (28, 6), (28, 20), (13.5, 20), (9, 25), (10, 20), (4, 20)]), BLUE),
                  (box(8, 10, 24, 11.5), WHITE), (box(8, 14, 20, 15.5), WHITE)],
    'add_user_icon': person(13, BLUE) + [(box(20, 21, 30, 25), OUTLINE), (box(23, 18, 27, 28), OUTLINE),
                                         (box(21, 22, 29, 24), GREEN), (box(24, 19, 26, 27), GREEN)],
    'remove_user_icon': person(13, BLUE) + [(box(20, 21, 30, 25), OUTLINE), (box(21, 22, 29, 24), RED)],
    'users_icon': person(20, rgb('7fa7e0')) + person(12, BLUE),
    'empty_note_icon': page(False),
    'note_icon': page(True),
    'alert_icon': [(polygon([(16, 2), (31, 29), (1, 29)]), OUTLINE), (polygon([(16, 4.5), (29, 28), (3, 28)]), RED),
                   (box(14.5, 11, 17.5, 21), WHITE), (circle(16, 24.5, 1.8), WHITE)],
    'info_icon': dot(BLUE) + [(box(14.5, 14, 17.5, 24), WHITE), (circle(16, 9.5, 2), WHITE)],
    'back_icon': rotate90(arrow_down(GREEN)),
    'forward_icon': flip_x(rotate90(arrow_down(GREEN))),
    'cat_icon': [(polygon([(5, 4), (13, 10), (19, 10), (27, 4), (28, 18), (16, 28), (4, 18)]), OUTLINE),
                 (polygon([(6, 6), (13, 11), (19, 11), (26, 6), (27, 18), (16, 27), (5, 18)]), ORANGE),
                 (circle(12, 16, 1.8), OUTLINE), (circle(20, 16, 1.8), OUTLINE),
                 (polygon([(14.5, 20), (17.5, 20), (16, 22)]), OUTLINE)],
    'circular_arrow_icon': [(ring(16, 16, 12, 8, gap=(300, 359)), GREEN),
                            (polygon([(22, 3), (30, 11), (20, 13)]), GREEN)],
    'download_icon': arrow_down(GREEN),
    'upload_icon': flip_y(arrow_down(BLUE)),
    'downloads_icon': arrow_down(GREEN) + [(box(5, 27, 27, 30), OUTLINE)],
    'complete_icon': [(box(4, 4, 28, 28), OUTLINE), (box(5, 5, 27, 27), rgb('e8f5e9')),
                      (stroke(9, 16, 14, 22, 4), GREEN), (stroke(14, 22, 24, 9, 4), GREEN)],
    'duplicate_icon': [(box(3, 3, 20, 20), OUTLINE), (box(4, 4, 19, 19), WHITE),
                       (box(11, 11, 28, 28), OUTLINE), (box(12, 12, 27, 27), rgb('d5e3f7'))],
    'gift_icon': [(box(4, 12, 28, 29), OUTLINE), (box(5, 13, 27, 28), RED), (box(14, 12, 18, 29), GOLD),
                  (box(4, 9, 28, 13), OUTLINE), (box(5, 10, 27, 12), rgb('e05b57')),
                  (ring(12, 7, 4, 2), GOLD), (ring(20, 7, 4, 2), GOLD)],
    'pause_icon': [(box(7, 5, 13, 27), OUTLINE), (box(19, 5, 25, 27), OUTLINE),
                   (box(8, 6, 12, 26), BLUE), (box(20, 6, 24, 26), BLUE)],
    'play_icon': [(polygon([(8, 4), (27, 16), (8, 28)]), OUTLINE), (polygon([(9, 6), (25, 16), (9, 26)]), GREEN)],
    'stop_icon': [(box(6, 6, 26, 26), OUTLINE), (box(7, 7, 25, 25), RED)],
    'room_icon': [(polygon([(16, 3), (30, 15), (26, 15), (26, 29), (6, 29), (6, 15), (2, 15)]), OUTLINE),
                  (polygon([(16, 5), (27.5, 14.5), (25, 14.5), (25, 28), (7, 28), (7, 14.5), (4.5, 14.5)]),
                   rgb('8e6fc1')),
                  (box(13, 19, 19, 28), rgb('f2e6c9'))],
    'save_icon': [(box(4, 4, 28, 28), OUTLINE), (box(5, 5, 27, 27), BLUE), (box(9, 5, 23, 13), WHITE),
                  (box(18, 6, 21, 12), OUTLINE), (box(8, 18, 24, 27), rgb('e6e6e6'))],
    'search_icon': [(ring(13, 13, 10, 7), OUTLINE), (circle(13, 13, 7), rgb('cfe3ff', 200)),
                    (stroke(20, 20, 28, 28, 4.5), OUTLINE)],
    'shutdown_icon': [(ring(16, 17, 12, 8.5, gap=(240, 300)), RED), (stroke(16, 3, 16, 15, 3.5), RED)],
    'transfer_icon': [(polygon([(5, 14), (11, 5), (17, 14), (13, 14), (13, 27), (9, 27), (9, 14)]), BLUE),
                      (polygon([(15, 18), (19, 18), (19, 5), (23, 5), (23, 18), (27, 18), (21, 27)]), GREEN)],
    'wall_icon': [(box(2, 5, 30, 27), OUTLINE)] + [
        (box(x + (4 if row % 2 else 0), 6 + row * 5, x + (4 if row % 2 else 0) + 7, 9.5 + row * 5),
         rgb('c0583a')) for row in range(4) for x in (-5, 3, 11, 19, 27)],
    'wipe_icon': [(polygon([(18, 3), (27, 12), (14, 25), (5, 16)]), OUTLINE),
                  (polygon([(18, 5), (25, 12), (14, 23), (7, 16)]), rgb('f2a7c3')),
                  (polygon([(11, 12), (18, 19), (14, 23), (7, 16)]), rgb('7f8fa6')),
                  (box(4, 27, 28, 29), OUTLINE)],
    'wishlist_icon': [(polygon([(16, 28), (3, 15), (3, 9), (8, 4), (13, 4), (16, 8), (19, 4), (24, 4), (29, 9),
                                (29, 15)]), rgb('a3154a')),
                      (polygon([(16, 26), (4.5, 14.5), (4.5, 9.5), (8.5, 5.5), (12.5, 5.5), (16, 10), (19.5, 5.5),
                                (23.5, 5.5), (27.5, 9.5), (27.5, 14.5)]), rgb('e84a7f'))],
}


def write_qrc(path, files):
    """A resource file of (alias, file) pairs under the prefix "/"."""
    with open(path, 'w') as qrc:
        qrc.write('<!DOCTYPE RCC>\n<RCC version="1.0">\n<qresource prefix="/">\n')
        for alias, name in files:
            qrc.write('    <file alias="%s">%s</file>\n' % (alias, name))
        qrc.write('</qresource>\n</RCC>\n')


def main():
    out_dir = os.path.join(HERE, 'icons')
    os.makedirs(out_dir, exist_ok=True)
    for name, layers in sorted(ICONS.items()):
        write_png(os.path.join(out_dir, name + '.png'), render(layers))
    write_qrc(os.path.join(HERE, 'quillmar.qrc'), [('icons/' + name, 'icons/%s.png' % name) for name in sorted(ICONS)])


if __name__ == '__main__':
    main()
