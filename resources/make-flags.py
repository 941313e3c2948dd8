#!/usr/bin/env python3
"""Draws the country flags of the room member lists: simplified flags of
16x11 pixels, named by the lower-case two-letter country code, with the
shapes and renderer of make-icons.py. A code without a file here shows no
flag (the member list shows a cat for a user without a country).

Run it from anywhere: python3 resources/make-flags.py
It rewrites resources/flags/*.png and resources/flags.qrc, whose paths are
":/resources/flags/<code>.png".
"""
import importlib.util
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location('icons', os.path.join(HERE, 'make-icons.py'))
icons = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(icons)
box, circle, polygon, rgb, render, write_png, write_qrc = (icons.box, icons.circle, icons.polygon, icons.rgb,
                                                           icons.render, icons.write_png, icons.write_qrc)

W, H = 16, 11
WHITE = rgb('ffffff')
BLACK = rgb('000000')


def stripes(colours, weights=None, vertical=False):
    """Equal (or weighted) stripes across the flag."""
    weights = weights or [1] * len(colours)
    total = float(sum(weights))
    layers, start = [], 0.0
    for colour, weight in zip(colours, weights):
        end = start + weight / total
        if vertical:
            layers.append((box(start * W, 0, end * W, H), colour))
        else:
            layers.append((box(0, start * H, W, end * H), colour))
        start = end
    return layers


def nordic(field, cross, inner=None):
    layers = [(box(0, 0, W, H), field), (box(4, 0, 7, H), cross), (box(0, 4, W, 7), cross)]
    if inner:
        layers += [(box(4.75, 0, 6.25, H), inner), (box(0, 4.75, W, 6.25), inner)]
    return layers


def band(x0, y0, x1, y1, half_width):
    """A straight band between two points."""
    length = math.hypot(x1 - x0, y1 - y0)

    def inside(x, y):
        return abs((x - x0) * (y1 - y0) - (y - y0) * (x1 - x0)) / length <= half_width
    return inside


def union_jack():
    return [(box(0, 0, W, H), rgb('012169')),
            (band(0, 0, W, H, 1.6), WHITE), (band(0, H, W, 0, 1.6), WHITE),
            (band(0, 0, W, H, 0.6), rgb('c8102e')), (band(0, H, W, 0, 0.6), rgb('c8102e')),
            (box(6, 0, 10, H), WHITE), (box(0, 3.5, W, 7.5), WHITE),
            (box(6.9, 0, 9.1, H), rgb('c8102e')), (box(0, 4.4, W, 6.6), rgb('c8102e'))]


def star(cx, cy, r_out, r_in, points=5):
    corners = []
    for k in range(points * 2):
        angle = math.pi / points * k - math.pi / 2
        r = r_out if k % 2 == 0 else r_in
        corners.append((cx + r * math.cos(angle), cy + r * math.sin(angle)))
    return polygon(corners)


def minus(shape, cut):
    return lambda x, y: shape(x, y) and not cut(x, y)


RED, GREEN, BLUE, YELLOW = rgb('ce1126'), rgb('009a44'), rgb('003893'), rgb('fcd116')

FLAGS = {
    # Stripes across.
    'de': stripes([BLACK, rgb('dd0000'), rgb('ffce00')]),
    'nl': stripes([rgb('ae1c28'), WHITE, rgb('21468b')]),
    'ru': stripes([WHITE, rgb('0039a6'), rgb('d52b1e')]),
    'at': stripes([rgb('ed2939'), WHITE, rgb('ed2939')]),
    'hu': stripes([rgb('ce2939'), WHITE, rgb('477050')]),
    'bg': stripes([WHITE, rgb('00966e'), rgb('d62612')]),
    'ee': stripes([rgb('0072ce'), BLACK, WHITE]),
    'lt': stripes([rgb('fdb913'), rgb('006a44'), rgb('c1272d')]),
    'lu': stripes([rgb('ed2939'), WHITE, rgb('00a1de')]),
    'ua': stripes([rgb('0057b7'), rgb('ffd700')]),
    'pl': stripes([WHITE, rgb('dc143c')]),
    'id': stripes([rgb('ff0000'), WHITE]),
    'mc': stripes([rgb('ce1126'), WHITE]),
    'co': stripes([YELLOW, BLUE, RED], [2, 1, 1]),
    'es': stripes([rgb('aa151b'), rgb('f1bf00'), rgb('aa151b')], [1, 2, 1]),
    'th': stripes([rgb('a51931'), rgb('f4f5f8'), rgb('2d2a4a'), rgb('f4f5f8'), rgb('a51931')], [1, 1, 2, 1, 1]),
    'ye': stripes([RED, WHITE, BLACK]),
    'am': stripes([rgb('d90012'), rgb('0033a0'), rgb('f2a800')]),
    'ga': stripes([rgb('009e60'), YELLOW, rgb('3a75c4')]),
    'sl': stripes([rgb('1eb53a'), WHITE, rgb('0072c6')]),
    'bo': stripes([rgb('d52b1e'), rgb('f9e300'), rgb('007934')]),
    'in': stripes([rgb('ff9933'), WHITE, rgb('138808')]) + [(circle(8, 5.5, 1.4), rgb('000080'))],
    'ar': stripes([rgb('74acdf'), WHITE, rgb('74acdf')]) + [(circle(8, 5.5, 1.2), rgb('f6b40e'))],
    # Stripes down.
    'fr': stripes([rgb('0055a4'), WHITE, rgb('ef4135')], vertical=True),
    'it': stripes([rgb('009246'), WHITE, rgb('ce2b37')], vertical=True),
    'be': stripes([BLACK, rgb('fdda24'), rgb('ef3340')], vertical=True),
    'ie': stripes([rgb('169b62'), WHITE, rgb('ff883e')], vertical=True),
    'ro': stripes([rgb('002b7f'), YELLOW, RED], vertical=True),
    'td': stripes([rgb('002664'), rgb('fecb00'), rgb('c60c30')], vertical=True),
    'ng': stripes([rgb('008751'), WHITE, rgb('008751')], vertical=True),
    'ml': stripes([rgb('14b53a'), YELLOW, RED], vertical=True),
    'gn': stripes([RED, YELLOW, rgb('009460')], vertical=True),
    'ci': stripes([rgb('f77f00'), WHITE, rgb('009e60')], vertical=True),
    'pe': stripes([rgb('d91023'), WHITE, rgb('d91023')], vertical=True),
    'mx': stripes([rgb('006847'), WHITE, rgb('ce1126')], vertical=True) + [(circle(8, 5.5, 1.2), rgb('8c5a2b'))],
    'ca': stripes([rgb('d80621'), WHITE, rgb('d80621')], [1, 2, 1], vertical=True) +
    [(star(8, 5.6, 2.6, 1.2, 6), rgb('d80621'))],
    'pt': stripes([rgb('006600'), rgb('ff0000')], [2, 3], vertical=True) + [(circle(6.4, 5.5, 2), rgb('ffcc00'))],
    # Crosses.
    'se': nordic(rgb('006aa7'), rgb('fecc00')),
    'dk': nordic(rgb('c8102e'), WHITE),
    'fi': nordic(WHITE, rgb('002f6c')),
    'no': nordic(rgb('ba0c2f'), WHITE, rgb('00205b')),
    'is': nordic(rgb('02529c'), WHITE, rgb('dc1e35')),
    'ch': [(box(0, 0, W, H), rgb('da291c')), (box(7, 2, 9, 9), WHITE), (box(4.5, 4.5, 11.5, 6.5), WHITE)],
    'gb': union_jack(),
    'gr': stripes([rgb('0d5eaf'), WHITE] * 4 + [rgb('0d5eaf')]) +
    [(box(0, 0, 6.1, 6.1), rgb('0d5eaf')), (box(2.4, 0, 3.7, 6.1), WHITE), (box(0, 2.4, 6.1, 3.7), WHITE)],
    # Discs, stars and other shapes.
    'jp': [(box(0, 0, W, H), WHITE), (circle(8, 5.5, 3.3), rgb('bc002d'))],
    'bd': [(box(0, 0, W, H), rgb('006a4e')), (circle(7, 5.5, 3.3), rgb('f42a41'))],
    'kr': [(box(0, 0, W, H), WHITE), (circle(8, 5.5, 3), rgb('003478')),
           (minus(circle(8, 5.5, 3), box(0, 5.5, W, H)), rgb('c60c30'))],
    'tr': [(box(0, 0, W, H), rgb('e30a17')), (minus(circle(6.5, 5.5, 3), circle(7.3, 5.5, 2.4)), WHITE),
           (star(10.3, 5.5, 1.4, 0.6), WHITE)],
    'cn': [(box(0, 0, W, H), rgb('de2910')), (star(3.5, 3, 2, 0.8), rgb('ffde00'))],
    'vn': [(box(0, 0, W, H), rgb('da251d')), (star(8, 5.7, 3.2, 1.3), rgb('ffff00'))],
    'br': [(box(0, 0, W, H), rgb('009c3b')), (polygon([(8, 1), (15, 5.5), (8, 10), (1, 5.5)]), rgb('ffdf00')),
           (circle(8, 5.5, 2.4), rgb('002776'))],
    'us': stripes([rgb('b22234'), WHITE] * 6 + [rgb('b22234')]) + [(box(0, 0, 6.4, 5.9), rgb('3c3b6e'))],
    'cz': stripes([WHITE, rgb('d7141a')]) + [(polygon([(0, 0), (7, 5.5), (0, H)]), rgb('11457e'))],
    'il': [(box(0, 0, W, H), WHITE), (box(0, 1, W, 2.4), rgb('0038b8')), (box(0, 8.6, W, 10), rgb('0038b8')),
           (minus(star(8, 5.5, 2.4, 1.4, 6), star(8, 5.5, 1.6, 0.9, 6)), rgb('0038b8'))],
    'au': [(box(0, 0, W, H), rgb('00008b')), (star(12, 5.5, 1.2, 0.5, 7), WHITE), (star(4, 8.5, 1.2, 0.5, 7), WHITE)],
    'nz': [(box(0, 0, W, H), rgb('00247d')), (star(12, 4, 1, 0.4), rgb('cc142b')), (star(11, 7.5, 1, 0.4),
                                                                                      rgb('cc142b'))],
}


def main():
    out_dir = os.path.join(HERE, 'flags')
    os.makedirs(out_dir, exist_ok=True)
    for code, layers in sorted(FLAGS.items()):
        write_png(os.path.join(out_dir, code + '.png'), render(layers, W, H))
    write_qrc(os.path.join(HERE, 'flags.qrc'),
              [('resources/flags/%s.png' % code, 'flags/%s.png' % code) for code in sorted(FLAGS)])


if __name__ == '__main__':
    main()
