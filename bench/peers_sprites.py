"""A frame of N rotated 48x48 sprites on 800x600 drawn by kelvracv's peers,
for bench_image.py --peers PYTHON: run by another interpreter, one with
pygame-ce and blend2d-py installed (they are peers to compare against, not
dependencies). Prints {library: best milliseconds per frame} as JSON.

    python peers_sprites.py N
"""

import json
import math
import os
import sys
import time

os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

import numpy as np

W, H = 800, 600


def sprite():
    """The bench's round sprite, 48x48 middle of the 64x64 one (B, G, R, A)."""
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, (64, 64, 4), dtype=np.uint8)
    yy, xx = np.mgrid[0:64, 0:64]
    img[..., 3] = np.clip((30.0 - np.hypot(xx - 31.5, yy - 31.5)) * 255, 0, 255).astype(np.uint8)
    return img[8:56, 8:56].copy()


def places(count):
    rng = np.random.default_rng(5)
    return [(float(x), float(y), float(r)) for x, y, r in
            zip(rng.uniform(-380, 340, count), rng.uniform(-280, 240, count), rng.uniform(0, 360, count))]


def best_ms(frame, rounds=12):
    frame()
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        frame()
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


def pygame_ce(src, where):
    import pygame

    if not getattr(pygame, "IS_CE", False):
        return None
    pygame.display.init()
    pygame.display.set_mode((1, 1))
    surf = pygame.image.frombuffer(np.ascontiguousarray(src[..., [2, 1, 0, 3]]).tobytes(), (48, 48),
                                   "RGBA").convert_alpha()
    screen = pygame.Surface((W, H))

    def frame():
        for x, y, r in where:
            img = pygame.transform.rotozoom(surf, -r, 1.0)
            screen.blit(img, (W / 2 + x + 24 - img.get_width() / 2, H / 2 + y + 24 - img.get_height() / 2))

    return best_ms(frame)


def blend2d(src, where):
    import blend2d as b2

    canvas = b2.Image(W, H)
    image = b2.Image(48, 48)
    px = image.asarray()
    alpha = src[..., 3:4].astype(np.uint16)
    px[...] = np.concatenate([(src[..., :3] * alpha // 255).astype(np.uint8), src[..., 3:4]], axis=2)  # premultiplied
    pattern = b2.Pattern()
    pattern.create(image, b2.ExtendMode.PAD)

    def frame():
        with b2.Context(canvas) as ctx:
            ctx.set_comp_op(b2.CompOp.SRC_OVER)
            for x, y, r in where:
                ctx.save()
                ctx.translate(W / 2 + x + 24, H / 2 + y + 24)
                ctx.rotate(math.radians(r))
                ctx.translate(-24, -24)
                ctx.set_fill_style_pattern(pattern)
                ctx.fill_rect(0, 0, 48, 48)
                ctx.restore()

    return best_ms(frame)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    src, where = sprite(), places(count)
    out = {}
    for name, fn in (("pygame-ce", pygame_ce), ("blend2d-py", blend2d)):
        ms = fn(src, where)
        if ms is not None:
            out[name] = ms
    print(json.dumps(out))


if __name__ == "__main__":
    main()
