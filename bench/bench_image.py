"""Blit and text timings on an 800x600 canvas, as ratios against baselines
measured in the same run:

- blit of a 64x64 four-channel sprite against the bare cv2.warpPerspective
  call it makes (its floor) and against the documented NumPy compositing
  (warp included in both). The round sprite (opaque disc, soft rim) is the
  case the goal is about; the random-alpha sprite, drawn over a copy of
  itself, is a stress case for the exact fallback of the blend;
- "calls + read-back": the two OpenCV calls blit has to make
  (getPerspectiveTransform, then the warp) and a NumPy copy of the sprite's
  region of the warp's output, with no compositing at all: the least any
  blit can cost. With OpenCV's thread pool part of the output is written by
  another core, and reading it back slows the next warp down;
- text with a TrueType font and with "CV2" against a pure-Python
  transcription of the same steps;
- sprites against pygame under OpenCV's defaults (nothing here switches
  Intel IPP): the 64x64 sprite plain and rotated 30 degrees + scaled 1.5 on
  800x600 and 1920x1080 canvases against pygame's Surface.blit of a
  convert_alpha() surface and transform.rotozoom + blit; frames of 300 and
  1000 rotated 48x48 sprites against pygame doing the same; with
  --peers PYTHON, the 1000-sprite frame also against pygame-ce and
  blend2d-py run by that interpreter (bench/peers_sprites.py; they are
  peers to compare with, not dependencies); TrueType "Hello world" at size
  20 from the text image cache against the uncached full-canvas path and
  pygame's Font.render + blit.
"""

import functools
import os
import statistics
import sys
import time

os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no spinning BLAS threads beside the timed loop
os.environ.setdefault("SDL_VIDEODRIVER", "dummy")  # pygame's display, for convert_alpha()

import cv2
import numpy as np

from kelvracv import _kelvra_core as kv

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import reference  # noqa: E402  (the documented formulas, shared with the tests)

W, H = 800, 600
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


record = functools.partial(reference.make_record, W, H)


def make_sprite(random_alpha=False):
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, (64, 64, 4), dtype=np.uint8)
    if random_alpha:
        return img
    # A round sprite: opaque disc, anti-aliased rim, clear corners.
    yy, xx = np.mgrid[0:64, 0:64]
    dist = np.hypot(xx - 31.5, yy - 31.5)
    img[..., 3] = np.clip((30.0 - dist) * 255, 0, 255).astype(np.uint8)
    return img


# ---- baselines ---------------------------------------------------------------------


def corners(ts, w, h, sx=1.0, sy=1.0):
    cp = ts["cursor_pos"]
    world = [cp, (cp[0] + w * sx, cp[1]), (cp[0] + w * sx, cp[1] + h * sy), (cp[0], cp[1] + h * sy)]
    return [kv.transform(p, ts) for p in world]


# ---- timing ----------------------------------------------------------------------------


def block(fn, number):
    t0 = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - t0) / number


def compare(label, ours, theirs, number, theirs_label, rounds=25, setup=(None, None)):
    """Alternates short blocks of the two calls. The machine is shared, so two
    figures: the ratio of each side's best block, and the median ratio of
    neighbouring blocks (robust against load that drifts during the run).
    `setup` (ours, theirs): untimed calls before each side's blocks, for
    settings such as OpenCV's IPP switch."""
    best_ours = best_theirs = float("inf")
    paired = []
    for _ in range(rounds):
        if setup[1]:
            setup[1]()
        t_theirs = block(theirs, number)
        if setup[0]:
            setup[0]()
        t_ours = block(ours, number)
        best_theirs, best_ours = min(best_theirs, t_theirs), min(best_ours, t_ours)
        paired.append(t_ours / t_theirs)
    median = statistics.median(paired)
    print(f"{label:56s} {best_ours * 1e6:9.1f} us   {theirs_label:12s} {best_theirs * 1e6:9.1f} us   "
          f"ratio {best_ours / best_theirs:5.2f}x (best)  {median:5.2f}x (median of pairs)")
    return best_ours / best_theirs, median


BLIT_CASES = [
    ("plain", record(cursor_pos=(-32.0, -32.0))),
    ("rotated+scaled", record(cursor_pos=(-20.0, -20.0), rot=30.0, size=1.5)),
]
SPRITES = [("round sprite", make_sprite()), ("random alpha (stress)", make_sprite(True))]


def blit_against_warp(canvas, tag):
    results = {}
    for name, ts in BLIT_CASES:
        dst = corners(ts, 64, 64)
        m = cv2.getPerspectiveTransform(np.float32([[0, 0], [64, 0], [64, 64], [0, 64]]), np.float32(dst))
        xs, ys = [p[0] for p in dst], [p[1] for p in dst]
        rows = slice(max(0, int(min(ys)) - 2), int(max(ys)) + 3)
        cols = slice(max(0, int(min(xs)) - 2), int(max(xs)) + 3)
        src = SPRITES[0][1]
        src_pts, dst_pts = np.float32([[0, 0], [64, 0], [64, 64], [0, 64]]), np.float32(dst)

        def calls_and_read_back():
            mat = cv2.getPerspectiveTransform(src_pts, dst_pts)
            cv2.warpPerspective(src, mat, (W, H), flags=cv2.INTER_LINEAR)[rows, cols].copy()

        label = f"calls + read-back, {name}{tag}"
        results[label] = compare(label, calls_and_read_back,
                                 lambda: cv2.warpPerspective(src, m, (W, H), flags=cv2.INTER_LINEAR), 50, "bare warp")
        for alpha_name, src in SPRITES:
            label = f"blit 64x64x4, {name}, {alpha_name}{tag}"
            results[label] = compare(label, lambda: kv.blit(canvas, ts, src, (1.0, 1.0)),
                                     lambda: cv2.warpPerspective(src, m, (W, H), flags=cv2.INTER_LINEAR), 50,
                                     "bare warp")
    return results


# ---- sprites against pygame, under OpenCV's defaults -------------------------------------
# Nothing here switches Intel IPP: a program runs with OpenCV's defaults.


def pygame_screen():
    import pygame

    pygame.display.init()
    pygame.font.init()
    pygame.display.set_mode((1, 1))
    return pygame


def surface_of(pygame, sprite):
    """The same pixels as a pygame surface (R, G, B, A rows), convert_alpha()ed."""
    h, w = sprite.shape[:2]
    return pygame.image.frombuffer(np.ascontiguousarray(sprite[..., [2, 1, 0, 3]]).tobytes(), (w, h),
                                   "RGBA").convert_alpha()


def frame_places(count):
    """count (x, y, angle) places of 48x48 sprites on 800x600, the same for every library."""
    rng = np.random.default_rng(5)
    return [(float(x), float(y), float(r)) for x, y, r in
            zip(rng.uniform(-380, 340, count), rng.uniform(-280, 240, count), rng.uniform(0, 360, count))]


def sprite_figures(peers=None):
    pygame = pygame_screen()
    sprite = make_sprite()
    surf = surface_of(pygame, sprite)
    ratios = {}
    for cw, ch in ((800, 600), (1920, 1080)):
        canvas = np.zeros((ch, cw, 3), np.uint8)
        screen = pygame.Surface((cw, ch))
        for name, ts, zoom in (("plain", record(cursor_pos=(-32.0, -32.0), shift=(cw / 2, ch / 2)), None),
                               ("rotated 30 + scaled 1.5", record(cursor_pos=(-20.0, -20.0), rot=30.0, size=1.5,
                                                                  shift=(cw / 2, ch / 2)), (30.0, 1.5))):
            def ours():
                kv.blit(canvas, ts, sprite, (1.0, 1.0))

            if zoom is None:
                def game():
                    screen.blit(surf, (cw // 2 - 32, ch // 2 - 32))
            else:
                def game():
                    screen.blit(pygame.transform.rotozoom(surf, zoom[0], zoom[1]), (cw // 2 - 48, ch // 2 - 48))
            tag = f"64x64x4 {name}, {cw}x{ch}"
            ratios[f"{tag}: pygame / kelvracv"] = 1.0 / compare(f"blit {tag}", ours, game, 50 if zoom is None else 20,
                                                                "pygame", rounds=15)[0]
    # Frames of rotated 48x48 sprites on 800x600: the blits of one frame.
    small = make_sprite()[8:56, 8:56].copy()
    small_surf = surface_of(pygame, small)
    canvas = np.zeros((H, W, 3), np.uint8)
    screen = pygame.Surface((W, H))
    frame_ms = {}
    for count in (300, 1000):
        places = frame_places(count)
        ts = record()

        def ours():
            for x, y, r in places:
                ts["rot"] = r
                ts["cursor_pos"] = (x, y)
                kv.blit(canvas, ts, small, (1.0, 1.0))

        def game():
            for x, y, r in places:
                img = pygame.transform.rotozoom(small_surf, -r, 1.0)
                screen.blit(img, (W / 2 + x + 24 - img.get_width() / 2, H / 2 + y + 24 - img.get_height() / 2))

        best, _ = compare(f"frame of {count} rotated 48x48 sprites, 800x600", ours, game, 1, "pygame", rounds=12)
        ratios[f"frame of {count} rotated 48x48 sprites: pygame / kelvracv"] = 1.0 / best
        frame_ms[count] = min(block(ours, 1) for _ in range(12)) * 1e3
    if peers:
        import json
        import subprocess

        script = os.path.join(os.path.dirname(__file__), "peers_sprites.py")
        out = subprocess.run([peers, script, "1000"], capture_output=True, text=True, check=True).stdout
        for lib, ms in json.loads(out.splitlines()[-1]).items():
            ours_ms = min(frame_ms[1000], min(block(ours, 1) for _ in range(12)) * 1e3)
            print(f"frame of 1000 rotated 48x48 sprites, 800x600: kelvracv {ours_ms:.2f} ms, {lib} {ms:.2f} ms")
            ratios[f"frame of 1000 rotated 48x48 sprites: {lib} / kelvracv"] = ms / ours_ms
    if os.path.exists(FONT):
        ratios.update(text_figures(pygame))
    return ratios


def text_figures(pygame):
    canvas = np.zeros((H, W, 3), np.uint8)
    screen = pygame.Surface((W, H))
    ts = record(cursor_pos=(-60.0, 0.0))
    font = pygame.font.Font(FONT, 20)
    own_text_size = kv.text_size
    genuine_warp = cv2.warpPerspective

    def cached():
        kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))

    def uncached():
        # A text_size and a warpPerspective of the program's own: nothing is
        # cached, the image is rendered again and warped onto the whole canvas.
        kv.text_size = lambda *a: own_text_size(*a)
        cv2.warpPerspective = lambda *a, **k: genuine_warp(*a, **k)
        try:
            kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))
        finally:
            kv.text_size = own_text_size
            cv2.warpPerspective = genuine_warp

    def game():
        screen.blit(font.render("Hello world", True, (255, 255, 255)), (W // 2 - 60, H // 2 - 20))

    return {"text 'Hello world' 20 px: today / cached": 1.0 / compare(
                "text 'Hello world' 20 px, cached", cached, uncached, 20, "today", rounds=10,
                setup=(cached, None))[0],  # the uncached blocks empty the cache: filled again, untimed
            "text 'Hello world' 20 px: pygame / cached": 1.0 / compare(
                "text 'Hello world' 20 px, cached", cached, game, 20, "pygame", rounds=10)[0]}


def main():
    canvas = np.zeros((H, W, 3), np.uint8)
    print(f"canvas {W}x{H}, cv2 threads {cv2.getNumThreads()}, python {sys.version.split()[0]}")
    floors = blit_against_warp(canvas, "")
    threads = cv2.getNumThreads()
    cv2.setNumThreads(1)  # the same comparison without OpenCV's thread pool
    floors.update(blit_against_warp(canvas, " (1 cv2 thread)"))
    cv2.setNumThreads(threads)
    numpy_ratios = {}
    for name, ts in BLIT_CASES:
        for alpha_name, src in SPRITES:
            label = f"blit 64x64x4, {name}, {alpha_name}"
            best, _ = compare(label, lambda: kv.blit(canvas, ts, src, (1.0, 1.0)),
                              lambda: reference.blit(canvas, ts, src, (1.0, 1.0)), 4, "NumPy blit", rounds=8)
            numpy_ratios[label] = 1.0 / best
    print()
    for label, (best, median) in floors.items():
        goal = " (goal <= 1.3)" if "round" in label else ""
        what = "calls/warp" if label.startswith("calls + read-back") else "blit/warp "
        print(f"{label:66s} {what} {best:5.2f}x best, {median:5.2f}x median{goal}")
    for label, ratio in numpy_ratios.items():
        print(f"{label:66s} NumPy blit/blit {ratio:6.1f}x (goal >= 3)")
    print()
    ts = record(cursor_pos=(-200.0, 0.0))
    if os.path.exists(FONT):
        kv.load_font(FONT, 32)
        best, _ = compare("text TrueType 32 px 'Kelvra benchmark'",
                          lambda: kv.text(canvas, ts, "Kelvra benchmark", FONT, 32, (255, 0, 0)),
                          lambda: reference.text(canvas, ts, "Kelvra benchmark", FONT, 32, (255, 0, 0)), 4,
                          "Python text", rounds=8)
        print(f"{'text TrueType':60s} Python text/text {1.0 / best:6.1f}x")
    else:
        print("text TrueType: skipped, fonts-dejavu-core is not installed")
    best, _ = compare("text CV2 'Kelvra benchmark'",
                      lambda: kv.text(canvas, ts, "Kelvra benchmark", "CV2", 2, (255, 0, 0)),
                      lambda: reference.text(canvas, ts, "Kelvra benchmark", "CV2", 2, (255, 0, 0)), 50, "Python text")
    print(f"{'text CV2':60s} Python text/text {1.0 / best:6.1f}x")
    print()
    peers = sys.argv[sys.argv.index("--peers") + 1] if "--peers" in sys.argv else None
    figures = sprite_figures(peers)
    print()
    goals = {"plain, 800x600": ">= 1", "plain, 1920x1080": ">= 1", "rotated 30 + scaled 1.5": ">= 2",
             "frame of 300": ">= 2", "frame of 1000": "> 1", "today / cached": ">= 20", "pygame / cached": ">= 0.33"}
    for label, ratio in figures.items():
        goal = next((g for k, g in goals.items() if k in label), "")
        print(f"{label:66s} {ratio:7.2f}x (goal {goal})")


if __name__ == "__main__":
    main()
