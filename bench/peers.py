"""kelvracv beside its peers, one workload a row, measured in one run:
pygame, pygame-ce, skia-python, blend2d-py, pycairo and Pillow, each in a
virtual environment of its own with the newest release from PyPI (they are
peers to compare against, not dependencies). The environments are made under
.peers/ (git-ignored) on the first run; a peer that cannot be installed is
reported and skipped (pycairo builds from source: it needs cairo's headers,
Debian's libcairo2-dev).

Each peer runs in a child interpreter of its own environment; ours runs here,
before and after the peers, and each side keeps its best block. A cell is the
peer's time over ours: above 1.00 we are faster.

    PYTHONPATH=src SDL_AUDIODRIVER=dummy .venv/bin/python bench/peers.py [--rounds N] [--only NAME,...]
        [--baseline SRC]

--baseline SRC adds a column for another build of the library (SRC is the
folder holding its kelvracv package, e.g. an older checkout's src/ after
`make build` there), run by this interpreter in a child beside the peers,
with SRC in front of this run's PYTHONPATH.

The child side: python bench/peers.py --child NAME (prints one JSON line of
seconds per workload).
"""

import itertools
import json
import math
import os
import subprocess
import sys
import time

os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEER_DIR = os.path.join(ROOT, ".peers")
W, H = 800, 600
CX, CY = W // 2, H // 2
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
BG = (30, 30, 40)
FG = (255, 80, 0)
WHITE = (255, 255, 255)

# name: (pip requirement, import check)
PEERS = {
    "pygame": ("pygame", "import pygame; assert not getattr(pygame, 'IS_CE', False)"),
    "pygame-ce": ("pygame-ce", "import pygame; assert pygame.IS_CE"),
    "skia-python": ("skia-python", "import skia"),
    "blend2d-py": ("blend2d-py", "import blend2d"),
    "pycairo": ("pycairo", "import cairo"),
    "Pillow": ("Pillow", "import PIL.ImageDraw"),
}

# row key, label, calls per timed block
ROWS = [
    ("clear", "clear 800x600", 50),
    ("rect", "filled rect 100x80", 2000),
    ("circle", "filled circle r10", 2000),
    ("arc", "arc 180deg r100", 1000),
    ("blit", "plain 64x64 RGBA blit", 1000),
    ("rot64", "64x64 RGBA turned 30deg, scaled 1.5", 500),
    ("text", "text, new string each call", 200),
    ("labels", "frame of 50 changing labels", 4),
    ("sprites300", "frame of 300 rotated 48x48 sprites", 1),
    ("sprites1000", "frame of 1000 rotated 48x48 sprites", 1),
    ("mixed10000", "frame of 10,000 mixed primitives", 1),
    ("mixed1000", "frame of 1,000 mixed primitives", 1),
]


# ---- the same inputs for every library ---------------------------------------------


def sprite(size=64):
    """The benches' round sprite (B, G, R, A); 48x48 is the middle of the 64x64 one."""
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, (64, 64, 4), dtype=np.uint8)
    yy, xx = np.mgrid[0:64, 0:64]
    img[..., 3] = np.clip((30.0 - np.hypot(xx - 31.5, yy - 31.5)) * 255, 0, 255).astype(np.uint8)
    m = (64 - size) // 2
    return np.ascontiguousarray(img[m:m + size, m:m + size])


def sprite_places(count):
    """(x, y, degrees) of count 48x48 sprites, x and y relative to the canvas centre."""
    rng = np.random.default_rng(5)
    return [(float(x), float(y), float(r)) for x, y, r in
            zip(rng.uniform(-380, 340, count), rng.uniform(-280, 240, count), rng.uniform(0, 360, count))]


# The mixed frame: a line, an outlined rect, a filled rect, an outlined
# circle, a filled circle and a 90-degree arc, in turn, at random places
# (canvas pixels), 1 px outlines, colours from a small palette.
KINDS = ("line", "rect", "rect_fill", "circle", "circle_fill", "arc")
PALETTE = [(255, 80, 0), (0, 200, 120), (40, 120, 255), (250, 250, 250), (200, 40, 160)]


def mixed_items(count):
    rng = np.random.default_rng(7)
    xs, ys = rng.uniform(20, W - 60, count), rng.uniform(20, H - 60, count)
    a, b = rng.uniform(4, 40, count), rng.uniform(4, 30, count)
    return [(KINDS[i % 6], float(xs[i]), float(ys[i]), float(a[i]), float(b[i]), PALETTE[i % 5])
            for i in range(count)]


def label_places():
    return [(20 + 150 * (i % 5), 50 + 50 * (i // 5)) for i in range(50)]


# ---- timing ---------------------------------------------------------------------------


def best_block(fn, number, rounds):
    """Best seconds per call of fn over `rounds` blocks of `number` calls."""
    fn()
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def measure(workloads, rounds):
    return {key: best_block(workloads[key], number, rounds) for key, _, number in ROWS if key in workloads}


# ---- ours ---------------------------------------------------------------------------


def ours_workloads():
    import cv2

    from kelvracv import _kelvra_core as kv

    def record(**changes):
        ts = {"rot": 0.0, "size": 1.0, "shift": (W / 2, H / 2), "cursor_pos": (0.0, 0.0), "full_transform": None,
              "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0),
              "is_3d": False}
        ts.update(changes)
        return ts

    arr = np.zeros((H, W, 3), np.uint8)
    ts = record()
    blit_ts = record(cursor_pos=(-32.0, -32.0))
    turned_ts = record(cursor_pos=(-32.0, -32.0), rot=30.0, size=1.5)
    big, small = sprite(64), sprite(48)
    counter = itertools.count()
    text_ts = record(cursor_pos=(-300.0, 0.0))
    labels = [record(cursor_pos=(x - W / 2, y - H / 2)) for x, y in label_places()]
    ipp = cv2.ipp.useIPP()

    def text():
        cv2.ipp.setUseIPP(False)  # the region warp, as the guide recommends
        kv.text(arr, text_ts, f"Score {next(counter)}", FONT, 20, WHITE)
        cv2.ipp.setUseIPP(ipp)

    def frame_labels():
        cv2.ipp.setUseIPP(False)
        n = next(counter)
        for i, t in enumerate(labels):
            kv.text(arr, t, f"{i}: {n}", FONT, 20, WHITE)
        cv2.ipp.setUseIPP(ipp)

    def sprites(places):
        def frame():
            for x, y, r in places:
                ts["rot"] = r
                ts["cursor_pos"] = (x, y)
                kv.blit(arr, ts, small, (1.0, 1.0))
            ts["rot"] = 0.0
        return frame

    def mixed(items):
        # A program's own positions in canvas pixels: shift (0, 0), the pen set per shape.
        mts = record(shift=(0.0, 0.0))
        line, rect, circle, arc = kv.line, kv.rect, kv.circle, kv.arc

        def frame():
            for kind, x, y, a, b, c in items:
                mts["cursor_pos"] = (x, y)
                if kind == "line":
                    line(arr, mts, (a, b), c, 1)
                elif kind == "rect":
                    rect(arr, mts, (a, b), c, 1)
                elif kind == "rect_fill":
                    rect(arr, mts, (a, b), c, 1, True)
                elif kind == "circle":
                    circle(arr, mts, b / 2, c)
                elif kind == "circle_fill":
                    circle(arr, mts, b / 2, c, 1, True)
                else:
                    arc(arr, mts, b, 0, 90, c)
        return frame

    return {
        "clear": lambda: kv.clear(arr, ts, BG),
        "rect": lambda: kv.rect(arr, ts, (100, 80), FG, 1, True),
        "circle": lambda: kv.circle(arr, ts, 10, FG, 1, True),
        "arc": lambda: kv.arc(arr, ts, 100, 0, 180, FG),
        "blit": lambda: kv.blit(arr, blit_ts, big, (1.0, 1.0)),
        "rot64": lambda: kv.blit(arr, turned_ts, big, (1.0, 1.0)),
        "text": text,
        "labels": frame_labels,
        "sprites300": sprites(sprite_places(300)),
        "sprites1000": sprites(sprite_places(1000)),
        "mixed10000": mixed(mixed_items(10000)),
        "mixed1000": mixed(mixed_items(1000)),
    }


# ---- the peers (child side) ---------------------------------------------------------


def pygame_workloads():
    import pygame

    pygame.display.init()
    pygame.font.init()
    pygame.display.set_mode((1, 1))
    screen = pygame.Surface((W, H))
    draw = pygame.draw

    def surface(img):
        h, w = img.shape[:2]
        return pygame.image.frombuffer(np.ascontiguousarray(img[..., [2, 1, 0, 3]]).tobytes(), (w, h),
                                       "RGBA").convert_alpha()

    big, small = surface(sprite(64)), surface(sprite(48))
    font = pygame.font.Font(FONT, 20)
    counter = itertools.count()
    box, arc_box = pygame.Rect(CX, CY, 100, 80), pygame.Rect(CX - 100, CY - 100, 200, 200)

    def text():
        screen.blit(font.render(f"Score {next(counter)}", True, WHITE), (100, 300))

    places = label_places()

    def frame_labels():
        n = next(counter)
        for i, p in enumerate(places):
            screen.blit(font.render(f"{i}: {n}", True, WHITE), p)

    def sprites(where):
        def frame():
            for x, y, r in where:
                img = pygame.transform.rotozoom(small, -r, 1.0)
                screen.blit(img, (CX + x + 24 - img.get_width() / 2, CY + y + 24 - img.get_height() / 2))
        return frame

    def mixed(items):
        def frame():
            for kind, x, y, a, b, c in items:
                if kind == "line":
                    draw.line(screen, c, (x, y), (x + a, y + b), 1)
                elif kind == "rect":
                    draw.rect(screen, c, (x, y, a, b), 1)
                elif kind == "rect_fill":
                    draw.rect(screen, c, (x, y, a, b))
                elif kind == "circle":
                    draw.circle(screen, c, (x, y), b / 2, 1)
                elif kind == "circle_fill":
                    draw.circle(screen, c, (x, y), b / 2)
                else:
                    draw.arc(screen, c, (x - b, y - b, 2 * b, 2 * b), 0, math.pi / 2, 1)
        return frame

    return {
        "clear": lambda: screen.fill(BG),
        "rect": lambda: draw.rect(screen, FG, box),
        "circle": lambda: draw.circle(screen, FG, (CX, CY), 10),
        "arc": lambda: draw.arc(screen, FG, arc_box, 0, math.pi, 1),
        "blit": lambda: screen.blit(big, (CX - 32, CY - 32)),
        "rot64": lambda: screen.blit(pygame.transform.rotozoom(big, 30.0, 1.5), (CX - 48, CY - 48)),
        "text": text,
        "labels": frame_labels,
        "sprites300": sprites(sprite_places(300)),
        "sprites1000": sprites(sprite_places(1000)),
        "mixed10000": mixed(mixed_items(10000)),
        "mixed1000": mixed(mixed_items(1000)),
    }


def skia_workloads():
    import skia

    surface = skia.Surface(W, H)
    canvas = surface.getCanvas()

    def paint(c, stroke=False):
        p = skia.Paint(Color=skia.Color(*c), AntiAlias=False)
        if stroke:
            p.setStyle(skia.Paint.kStroke_Style)
            p.setStrokeWidth(1)
        return p

    fill, stroke = paint(FG), paint(FG, True)

    def image(img):
        alpha = img[..., 3:4].astype(np.uint16)
        rgba = np.concatenate([(img[..., [2, 1, 0]] * alpha // 255).astype(np.uint8), img[..., 3:4]], axis=2)
        return skia.Image.fromarray(np.ascontiguousarray(rgba), colorType=skia.kRGBA_8888_ColorType,
                                    alphaType=skia.kPremul_AlphaType)

    big, small = image(sprite(64)), image(sprite(48))
    font = skia.Font(skia.Typeface.MakeFromFile(FONT), 20)
    white = skia.Paint(Color=skia.ColorWHITE, AntiAlias=True)
    counter = itertools.count()
    places = label_places()
    box, arc_box = skia.Rect.MakeXYWH(CX, CY, 100, 80), skia.Rect.MakeXYWH(CX - 100, CY - 100, 200, 200)
    bg = skia.Color(*BG)

    def text():
        canvas.drawString(f"Score {next(counter)}", 100, 300, font, white)

    def frame_labels():
        n = next(counter)
        for i, (x, y) in enumerate(places):
            canvas.drawString(f"{i}: {n}", x, y + 20, font, white)

    def sprites(where):
        def frame():
            for x, y, r in where:
                canvas.save()
                canvas.translate(CX + x + 24, CY + y + 24)
                canvas.rotate(r)
                canvas.drawImage(small, -24, -24)
                canvas.restore()
        return frame

    def mixed(items):
        fills = {c: paint(c) for c in PALETTE}
        strokes = {c: paint(c, True) for c in PALETTE}

        def frame():
            for kind, x, y, a, b, c in items:
                if kind == "line":
                    canvas.drawLine(x, y, x + a, y + b, strokes[c])
                elif kind == "rect":
                    canvas.drawRect(skia.Rect.MakeXYWH(x, y, a, b), strokes[c])
                elif kind == "rect_fill":
                    canvas.drawRect(skia.Rect.MakeXYWH(x, y, a, b), fills[c])
                elif kind == "circle":
                    canvas.drawCircle(x, y, b / 2, strokes[c])
                elif kind == "circle_fill":
                    canvas.drawCircle(x, y, b / 2, fills[c])
                else:
                    canvas.drawArc(skia.Rect.MakeXYWH(x - b, y - b, 2 * b, 2 * b), 0, 90, False, strokes[c])
            surface.flushAndSubmit()
        return frame

    def flushed(fn):
        def run():
            fn()
            surface.flushAndSubmit()
        return run

    return {
        "clear": flushed(lambda: canvas.clear(bg)),
        "rect": flushed(lambda: canvas.drawRect(box, fill)),
        "circle": flushed(lambda: canvas.drawCircle(CX, CY, 10, fill)),
        "arc": flushed(lambda: canvas.drawArc(arc_box, 0, 180, False, stroke)),
        "blit": flushed(lambda: canvas.drawImage(big, CX - 32, CY - 32)),
        "text": flushed(text),
        "labels": flushed(frame_labels),
        "sprites300": flushed(sprites(sprite_places(300))),
        "sprites1000": flushed(sprites(sprite_places(1000))),
        "mixed10000": mixed(mixed_items(10000)),
        "mixed1000": mixed(mixed_items(1000)),
    }


def blend2d_workloads():
    import blend2d as b2

    canvas = b2.Image(W, H)

    def image(img):
        h, w = img.shape[:2]
        out = b2.Image(w, h)
        alpha = img[..., 3:4].astype(np.uint16)
        out.asarray()[...] = np.concatenate([(img[..., :3] * alpha // 255).astype(np.uint8), img[..., 3:4]],
                                            axis=2)  # premultiplied BGRA
        pattern = b2.Pattern()
        pattern.create(out, b2.ExtendMode.PAD)
        return pattern

    big, small = image(sprite(64)), image(sprite(48))
    face = b2.FontFace()
    face.create_from_file(FONT)
    font = b2.Font(face, 20)
    counter = itertools.count()
    places = label_places()

    # One context for the run, as a program keeps one for its frame.
    context = b2.Context(canvas)

    def in_context(body):
        def run():
            context.save()
            body(context)
            context.restore()
        return run

    def fill(ctx, c=FG):
        ctx.set_fill_style_rgba(*c)

    def clear(ctx):
        ctx.set_comp_op(b2.CompOp.SRC_COPY)
        ctx.set_fill_style_rgba(*BG)
        ctx.fill_all()
        ctx.set_comp_op(b2.CompOp.SRC_OVER)

    def arc(ctx):
        ctx.set_stroke_style_rgba(*FG)
        ctx.set_stroke_width(1)
        path = b2.Path()
        path.arc_to(CX, CY, 100, 100, 0, math.pi, True)
        ctx.stroke_path(path)

    def blit(ctx):
        ctx.translate(CX - 32, CY - 32)
        ctx.set_fill_style_pattern(big)
        ctx.fill_rect(0, 0, 64, 64)

    def text(ctx):
        ctx.set_fill_style_rgba(*WHITE)
        ctx.fill_utf8_text(100, 300, font, f"Score {next(counter)}")

    def frame_labels(ctx):
        ctx.set_fill_style_rgba(*WHITE)
        n = next(counter)
        for i, (x, y) in enumerate(places):
            ctx.fill_utf8_text(x, y + 20, font, f"{i}: {n}")

    def sprites(where):
        def frame(ctx):
            for x, y, r in where:
                ctx.save()
                ctx.translate(CX + x + 24, CY + y + 24)
                ctx.rotate(math.radians(r))
                ctx.translate(-24, -24)
                ctx.set_fill_style_pattern(small)
                ctx.fill_rect(0, 0, 48, 48)
                ctx.restore()
        return frame

    def mixed(items):
        def frame(ctx):
            ctx.set_stroke_width(1)
            for kind, x, y, a, b, c in items:
                if kind == "line":
                    ctx.set_stroke_style_rgba(*c)
                    path = b2.Path()
                    path.move_to(x, y)
                    path.line_to(x + a, y + b)
                    ctx.stroke_path(path)
                elif kind == "rect":
                    ctx.set_stroke_style_rgba(*c)
                    ctx.stroke_rect(x, y, a, b)
                elif kind == "rect_fill":
                    ctx.set_fill_style_rgba(*c)
                    ctx.fill_rect(x, y, a, b)
                elif kind == "circle":
                    ctx.set_stroke_style_rgba(*c)
                    ctx.stroke_circle(x, y, b / 2)
                elif kind == "circle_fill":
                    ctx.set_fill_style_rgba(*c)
                    ctx.fill_circle(x, y, b / 2)
                else:
                    ctx.set_stroke_style_rgba(*c)
                    path = b2.Path()
                    path.arc_to(x, y, b, b, 0, math.pi / 2, True)
                    ctx.stroke_path(path)
        return frame

    return {
        "clear": in_context(clear),
        "rect": in_context(lambda ctx: (fill(ctx), ctx.fill_rect(CX, CY, 100, 80))),
        "circle": in_context(lambda ctx: (fill(ctx), ctx.fill_circle(CX, CY, 10))),
        "arc": in_context(arc),
        "blit": in_context(blit),
        "text": in_context(text),
        "labels": in_context(frame_labels),
        "sprites300": in_context(sprites(sprite_places(300))),
        "sprites1000": in_context(sprites(sprite_places(1000))),
        "mixed10000": in_context(mixed(mixed_items(10000))),
        "mixed1000": in_context(mixed(mixed_items(1000))),
    }


def cairo_workloads():
    import cairo

    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, W, H)
    ctx = cairo.Context(surface)
    ctx.set_antialias(cairo.ANTIALIAS_NONE)
    ctx.set_line_width(1)

    def image(img):
        h, w = img.shape[:2]
        out = cairo.ImageSurface(cairo.FORMAT_ARGB32, w, h)
        alpha = img[..., 3:4].astype(np.uint16)
        px = np.ndarray((h, out.get_stride() // 4, 4), np.uint8, out.get_data())
        px[:, :w] = np.concatenate([(img[..., :3] * alpha // 255).astype(np.uint8), img[..., 3:4]], axis=2)
        out.mark_dirty()
        return out

    big, small = image(sprite(64)), image(sprite(48))
    # The toy text API: a family name, as a cairo program writes it.
    ctx.select_font_face("DejaVu Sans")
    ctx.set_font_size(20)
    counter = itertools.count()
    places = label_places()

    def rgb(c):
        ctx.set_source_rgb(c[0] / 255, c[1] / 255, c[2] / 255)

    def clear():
        rgb(BG)
        ctx.paint()

    def rect():
        rgb(FG)
        ctx.rectangle(CX, CY, 100, 80)
        ctx.fill()

    def circle():
        rgb(FG)
        ctx.arc(CX, CY, 10, 0, 2 * math.pi)
        ctx.fill()

    def arc():
        rgb(FG)
        ctx.arc(CX, CY, 100, 0, math.pi)
        ctx.stroke()

    def blit():
        ctx.set_source_surface(big, CX - 32, CY - 32)
        ctx.paint()

    def text():
        rgb(WHITE)
        ctx.move_to(100, 300)
        ctx.show_text(f"Score {next(counter)}")

    def frame_labels():
        rgb(WHITE)
        n = next(counter)
        for i, (x, y) in enumerate(places):
            ctx.move_to(x, y + 20)
            ctx.show_text(f"{i}: {n}")

    def sprites(where):
        def frame():
            for x, y, r in where:
                ctx.save()
                ctx.translate(CX + x + 24, CY + y + 24)
                ctx.rotate(math.radians(r))
                ctx.set_source_surface(small, -24, -24)
                ctx.paint()
                ctx.restore()
        return frame

    def mixed(items):
        def frame():
            for kind, x, y, a, b, c in items:
                rgb(c)
                if kind == "line":
                    ctx.move_to(x, y)
                    ctx.line_to(x + a, y + b)
                    ctx.stroke()
                elif kind == "rect":
                    ctx.rectangle(x, y, a, b)
                    ctx.stroke()
                elif kind == "rect_fill":
                    ctx.rectangle(x, y, a, b)
                    ctx.fill()
                elif kind == "circle":
                    ctx.arc(x, y, b / 2, 0, 2 * math.pi)
                    ctx.stroke()
                elif kind == "circle_fill":
                    ctx.arc(x, y, b / 2, 0, 2 * math.pi)
                    ctx.fill()
                else:
                    ctx.new_sub_path()
                    ctx.arc(x, y, b, 0, math.pi / 2)
                    ctx.stroke()
            surface.flush()
        return frame

    def flushed(fn):
        def run():
            fn()
            surface.flush()
        return run

    return {
        "clear": flushed(clear), "rect": flushed(rect), "circle": flushed(circle), "arc": flushed(arc),
        "blit": flushed(blit), "text": flushed(text), "labels": flushed(frame_labels),
        "sprites300": flushed(sprites(sprite_places(300))), "sprites1000": flushed(sprites(sprite_places(1000))),
        "mixed10000": mixed(mixed_items(10000)), "mixed1000": mixed(mixed_items(1000)),
    }


def pillow_workloads():
    from PIL import Image, ImageDraw, ImageFont

    im = Image.new("RGB", (W, H))
    draw = ImageDraw.Draw(im)

    def image(img):
        return Image.fromarray(np.ascontiguousarray(img[..., [2, 1, 0, 3]]), "RGBA")

    big, small = image(sprite(64)), image(sprite(48))
    font = ImageFont.truetype(FONT, 20)
    counter = itertools.count()
    places = label_places()
    whole = (0, 0, W, H)

    def text():
        draw.text((100, 300), f"Score {next(counter)}", font=font, fill=WHITE)

    def frame_labels():
        n = next(counter)
        for i, p in enumerate(places):
            draw.text(p, f"{i}: {n}", font=font, fill=WHITE)

    def sprites(where):
        def frame():
            for x, y, r in where:
                img = small.rotate(-r, Image.Resampling.BILINEAR, expand=True)
                im.paste(img, (int(CX + x + 24 - img.width / 2), int(CY + y + 24 - img.height / 2)), img)
        return frame

    def mixed(items):
        def frame():
            for kind, x, y, a, b, c in items:
                if kind == "line":
                    draw.line((x, y, x + a, y + b), c, 1)
                elif kind == "rect":
                    draw.rectangle((x, y, x + a, y + b), outline=c)
                elif kind == "rect_fill":
                    draw.rectangle((x, y, x + a, y + b), fill=c)
                elif kind == "circle":
                    r = b / 2
                    draw.ellipse((x - r, y - r, x + r, y + r), outline=c)
                elif kind == "circle_fill":
                    r = b / 2
                    draw.ellipse((x - r, y - r, x + r, y + r), fill=c)
                else:
                    draw.arc((x - b, y - b, x + b, y + b), 0, 90, c)
        return frame

    return {
        "clear": lambda: im.paste(BG, whole),
        "rect": lambda: draw.rectangle((CX, CY, CX + 99, CY + 79), fill=FG),
        "circle": lambda: draw.ellipse((CX - 10, CY - 10, CX + 10, CY + 10), fill=FG),
        "arc": lambda: draw.arc((CX - 100, CY - 100, CX + 100, CY + 100), 0, 180, FG),
        "blit": lambda: im.paste(big, (CX - 32, CY - 32), big),
        "text": text,
        "labels": frame_labels,
        "sprites300": sprites(sprite_places(300)),
        "sprites1000": sprites(sprite_places(1000)),
        "mixed10000": mixed(mixed_items(10000)),
        "mixed1000": mixed(mixed_items(1000)),
    }


CHILD = {"baseline": ours_workloads, "pygame": pygame_workloads, "pygame-ce": pygame_workloads, "skia-python": skia_workloads,
         "blend2d-py": blend2d_workloads, "pycairo": cairo_workloads, "Pillow": pillow_workloads}


# ---- the parent side -----------------------------------------------------------------


def peer_python(name):
    """The interpreter of the peer's environment, made on first use; None
    (with the reason printed) when the peer cannot be installed."""
    env = os.path.join(PEER_DIR, name)
    python = os.path.join(env, "bin", "python")
    requirement, check = PEERS[name]
    if os.path.exists(python) and subprocess.run([python, "-c", check], capture_output=True).returncode == 0:
        return python
    print(f"{name}: making its environment in {os.path.relpath(env, ROOT)} ...", flush=True)
    subprocess.run([sys.executable, "-m", "venv", "--clear", env], check=True)
    done = subprocess.run([python, "-m", "pip", "install", "-q", "numpy", requirement], capture_output=True, text=True)
    if done.returncode != 0 or subprocess.run([python, "-c", check], capture_output=True).returncode != 0:
        last = [ln for ln in (done.stderr or "").splitlines() if "ERROR" in ln or "error" in ln][-1:]
        print(f"{name}: could not be installed from PyPI here, skipped ({last[0].strip() if last else 'see pip'})")
        return None
    return python


def run_child(name, python, rounds, path=""):
    done = subprocess.run([python, os.path.abspath(__file__), "--child", name, "--rounds", str(rounds)],
                          capture_output=True, text=True, env={**os.environ, "PYTHONPATH": path})
    if done.returncode != 0:
        print(f"{name}: failed, skipped\n{done.stderr[-2000:]}")
        return None
    return json.loads(done.stdout.splitlines()[-1])


def main():
    rounds = int(sys.argv[sys.argv.index("--rounds") + 1]) if "--rounds" in sys.argv else 5
    if "--child" in sys.argv:
        name = sys.argv[sys.argv.index("--child") + 1]
        print(json.dumps(measure(CHILD[name](), rounds)))
        return
    only = sys.argv[sys.argv.index("--only") + 1].split(",") if "--only" in sys.argv else list(PEERS)
    if not os.path.exists(FONT):
        print(f"{FONT} is missing (fonts-dejavu-core): the text rows are left out")
    pythons = {name: peer_python(name) for name in only}
    pythons = {name: p for name, p in pythons.items() if p}
    baseline = sys.argv[sys.argv.index("--baseline") + 1] if "--baseline" in sys.argv else None
    if baseline:
        pythons = {"baseline": sys.executable, **pythons}
    ours_fns = ours_workloads()
    # Ours before and after the peers, each peer twice: a busy moment of a
    # shared machine weighs on both sides alike.
    ours = measure(ours_fns, rounds)
    peers = {}
    for _ in range(2):
        for name, python in pythons.items():
            # The baseline build in front of this run's path (an OpenCV release put there reaches it too).
            got = run_child(name, python, rounds, os.pathsep.join([os.path.abspath(baseline), os.environ.get(
                "PYTHONPATH", "")]) if name == "baseline" else "")
            if got:
                peers[name] = {k: min(v, peers.get(name, {}).get(k, v)) for k, v in got.items()}
        again = measure(ours_fns, rounds)
        ours = {k: min(v, again[k]) for k, v in ours.items()}
    names = list(peers)
    width = max(8, *(len(n) for n in names)) + 1
    print()
    print(f"{'workload':<38}{'ours':>10}" + "".join(f"{n:>{width}}" for n in names) + "   (peer time / ours)")
    lows = []
    for key, label, _ in ROWS:
        t = ours[key]
        cells = []
        for n in names:
            r = peers[n].get(key)
            cells.append(f"{r / t:>{width}.2f}" if r else f"{'-':>{width}}")
            if r and r / t < 1.0:
                lows.append(f"{label} vs {n} {r / t:.2f}")
        shown = f"{t * 1e3:7.2f} ms" if t >= 1e-3 else f"{t * 1e6:7.1f} us"
        print(f"{label:<38}{shown:>10}" + "".join(cells))
    print()
    print("below 1.00 (we are slower): " + ("; ".join(lows) if lows else "none"))


if __name__ == "__main__":
    main()
