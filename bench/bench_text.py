"""TrueType text that changes, as ratios against pygame's Font.render + blit of
the same font and size (DejaVu Sans, 20 px) on an 800x600 canvas, measured in
one run with alternating blocks:

- a new string each call (a counter: never seen before, so never cached;
  composed from kept glyphs);
- a frame of 50 labels that all change every frame;
- a repeated string (served by the text image cache);
- a new string each call that has a ligature, so Pillow's renderer lays it
  out (once) instead of the kept glyphs;
- a new string each call through Pillow's whole path (a text_size of the
  program's own, which the one-call renderer leaves alone), for scale.

Then the repeated string with the pointer moved (the mouse listener's
on_move) before every draw against the same with a still pointer, the move's
own cost (measured alone) taken off: in a game the pointer moves every frame,
and the input globals it rebinds must not empty the text image cache.

OpenCV's IPP is off for our side (the region warp; see the guide), on for
pygame's side, where it plays no part.

Then memory: the resident growth of drawing text in 120 sizes of one font,
and what is left after FONT_CACHE.clear(), against Pillow's fonts opened by
path (FreeType maps the file) drawn the same way and dropped; each side in a
fresh interpreter of the same run. DejaVu Sans (0.76 MB), and a 4 MB CJK font
when one is installed.
"""

import itertools
import json
import os
import statistics
import subprocess
import sys
import time

os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

import cv2
import numpy as np

from kelvracv import _kelvra_core as kv

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import reference  # noqa: E402

W, H = 800, 600
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
CJK_FONT = "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf"  # fonts-droid-fallback

SIZES_CHILD = r"""
import gc, json, os, sys
import numpy as np
from PIL import Image, ImageDraw, ImageFont
from kelvracv import _kelvra_core as kv
way, font, sizes = sys.argv[1], sys.argv[2], range(8, 128)
def rss_mb():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
ts = {"rot": 0.0, "size": 1.0, "shift": (0.0, 0.0), "cursor_pos": (10.0, 300.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
canvas = np.zeros((400, 600, 3), np.uint8)
kept = []
gc.collect()
base = rss_mb()
for size in sizes:
    if way == "pillow":
        kept.append(ImageFont.truetype(font, size))
        ImageDraw.Draw(Image.new("RGBA", (600, 400))).text((0, 0), "Hello 123", font=kept[-1], fill=(255,) * 4)
    else:
        kv.text(canvas, ts, "Hello 123", font, size, (255, 255, 255))
gc.collect()
loaded = rss_mb() - base
kept.clear()
kv.FONT_CACHE.clear()
gc.collect()
print(json.dumps([loaded, rss_mb() - base]))
"""


def sizes_memory(way, font):
    out = subprocess.run([sys.executable, "-c", SIZES_CHILD, way, font], capture_output=True, text=True,
                         check=True).stdout
    return json.loads(out.splitlines()[-1])


def memory():
    print()
    for font in (FONT, CJK_FONT):
        if not os.path.exists(font):
            continue
        (p_loaded, p_left), (o_loaded, o_left) = sizes_memory("pillow", font), sizes_memory("ours", font)
        name = f"{os.path.basename(font)} ({os.path.getsize(font) / 2**20:.2f} MB), 120 sizes"
        print(f"{name:44s} ours +{o_loaded:6.1f} MB (+{o_left:5.1f} after FONT_CACHE.clear())   "
              f"Pillow by path +{p_loaded:6.1f} MB (+{p_left:5.1f} dropped)   ratio {o_loaded / p_loaded:5.2f}x")


def block(fn, number):
    t0 = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - t0) / number


def compare(label, ours, theirs, number, rounds=12):
    best_ours = best_theirs = float("inf")
    paired = []
    for _ in range(rounds):
        t_theirs = block(theirs, number)
        cv2.ipp.setUseIPP(False)
        t_ours = block(ours, number)
        cv2.ipp.setUseIPP(True)
        best_theirs, best_ours = min(best_theirs, t_theirs), min(best_ours, t_ours)
        paired.append(t_ours / t_theirs)
    median = statistics.median(paired)
    print(f"{label:44s} {best_ours * 1e6:9.1f} us   pygame {best_theirs * 1e6:9.1f} us   "
          f"ratio {best_ours / best_theirs:5.2f}x (best)  {median:5.2f}x (median of pairs)")
    return best_ours / best_theirs


def main():
    if not os.path.exists(FONT):
        print("bench_text: skipped, fonts-dejavu-core is not installed")
        return
    import pygame

    pygame.display.init()
    pygame.font.init()
    pygame.display.set_mode((1, 1))
    font = pygame.font.Font(FONT, 20)
    screen = pygame.Surface((W, H))
    canvas = np.zeros((H, W, 3), np.uint8)
    ts = reference.make_record(W, H, cursor_pos=(-300.0, 0.0))
    labels = [reference.make_record(W, H, cursor_pos=(-380.0 + 150 * (i % 5), -250.0 + 50 * (i // 5)))
              for i in range(50)]
    counter = itertools.count()

    def ours_new():
        kv.text(canvas, ts, f"Score {next(counter)}", FONT, 20, (255, 255, 255))

    def game_new():
        screen.blit(font.render(f"Score {next(counter)}", True, (255, 255, 255)), (100, 300))

    def ours_frame():
        n = next(counter)
        for i, t in enumerate(labels):
            kv.text(canvas, t, f"{i}: {n}", FONT, 20, (255, 255, 255))

    def game_frame():
        n = next(counter)
        for i in range(50):
            screen.blit(font.render(f"{i}: {n}", True, (255, 255, 255)), (20 + 150 * (i % 5), 50 * (i // 5)))

    def ours_same():
        kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))

    def game_same():
        screen.blit(font.render("Hello world", True, (255, 255, 255)), (100, 300))

    def ours_renderer():
        # "fi" has a ligature in DejaVu Sans: the string goes to Pillow's renderer, laid out once.
        kv.text(canvas, ts, f"fi {next(counter)}", FONT, 20, (255, 255, 255))

    def game_renderer():
        screen.blit(font.render(f"fi {next(counter)}", True, (255, 255, 255)), (100, 300))

    own_text_size = kv.text_size

    def ours_pillow():
        kv.text_size = lambda *a: own_text_size(*a)
        try:
            ours_new()
        finally:
            kv.text_size = own_text_size

    ratios = {
        "new string each call": compare("text, a new string each call", ours_new, game_new, 100),
        "50 changing labels a frame": compare("frame of 50 changing labels", ours_frame, game_frame, 2),
        "repeated string": compare("text, a repeated string", ours_same, game_same, 200),
        "new string, Pillow's renderer once": compare("text, new string through Pillow's renderer", ours_renderer,
                                                      game_renderer, 50, rounds=6),
        "new string, Pillow's whole path": compare("text, new string, Pillow's whole path", ours_pillow, game_new,
                                                   50, rounds=6),
    }
    moved = pointer_moved_ratio(canvas, ts)
    print()
    for name, r in ratios.items():
        print(f"{name:44s} ours / pygame {r:6.2f}x")
    print(f"{'repeated string, pointer moved / still':44s} {moved:6.3f}x (1.00: a move empties no cache)")
    memory()


def pointer_moved_ratio(canvas, ts, number=2000, rounds=12):
    """Cached text after an on_move each draw, over cached text with a still pointer."""
    pos = itertools.count()

    def still():
        kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))

    def move():
        kv.on_move(next(pos) % 500, 7)

    def moved():
        kv.on_move(next(pos) % 500, 7)
        kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))

    saved = kv.MOUSE_SCR_POS
    cv2.ipp.setUseIPP(False)
    try:
        best = {f: float("inf") for f in (still, move, moved)}
        paired = []
        for _ in range(rounds):
            t = {f: block(f, number) for f in best}
            best = {f: min(best[f], t[f]) for f in best}
            paired.append((t[moved] - t[move]) / t[still])
    finally:
        cv2.ipp.setUseIPP(True)
        kv.MOUSE_SCR_POS = saved
    ratio = (best[moved] - best[move]) / best[still]
    print(f"{'text, a repeated string, still pointer':44s} {best[still] * 1e6:9.2f} us   "
          f"pointer moved before each draw {best[moved] * 1e6:9.2f} us (the move alone {best[move] * 1e6:.2f} us)   "
          f"ratio {ratio:5.3f}x (best)  {statistics.median(paired):5.3f}x (median of rounds)")
    return ratio


if __name__ == "__main__":
    main()
