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
- sprites that cost what the sprite covers: on 800x600 and 1920x1080
  canvases, the 64x64 sprite plain and rotated 30 degrees + scaled 1.5 with
  the region warp (OpenCV's IPP off, so that blit may compute OpenCV's warp
  itself) against today's full-canvas warp (IPP on, the default, and
  cv2.warpPerspective wrapped in a Python function of the bench's own, about
  0.2 us, so that blit calls cv2 as before even for a move by whole pixels)
  and against pygame (Surface.blit of a convert_alpha()
  surface; transform.rotozoom + blit); TrueType "Hello world" at size 20 from
  the text image cache against the uncached full-canvas path and pygame's
  Font.render + blit; 300 rotated 48x48 sprites per frame in the frame loop.
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


# ---- sprites that cost what the sprite covers -------------------------------------------


def region_warp_figures():
    import pygame

    pygame.display.init()
    pygame.font.init()
    pygame.display.set_mode((1, 1))
    sprite = make_sprite()
    # pygame wants R, G, B, A rows; the same pixels as the B, G, R, A sprite.
    surf = pygame.image.frombuffer(np.ascontiguousarray(sprite[..., [2, 1, 0, 3]]).tobytes(), (64, 64),
                                   "RGBA").convert_alpha()
    ipp = cv2.ipp.useIPP()

    genuine_warp = cv2.warpPerspective

    def ipp_on():
        cv2.ipp.setUseIPP(True)
        cv2.warpPerspective = genuine_warp

    def ipp_off():
        cv2.ipp.setUseIPP(False)
        cv2.warpPerspective = genuine_warp

    def full_canvas():  # today's path: cv2's warp onto the whole canvas, IPP on
        cv2.ipp.setUseIPP(True)
        cv2.warpPerspective = lambda *a, **k: genuine_warp(*a, **k)

    ratios = {}
    for cw, ch in ((800, 600), (1920, 1080)):
        canvas = np.zeros((ch, cw, 3), np.uint8)
        screen = pygame.Surface((cw, ch))
        for name, ts, zoom in (("plain", record(cursor_pos=(-32.0, -32.0), shift=(cw / 2, ch / 2)), None),
                               ("rotated 30 + scaled 1.5", record(cursor_pos=(-20.0, -20.0), rot=30.0, size=1.5,
                                                                  shift=(cw / 2, ch / 2)), (30.0, 1.5))):
            def region():
                kv.blit(canvas, ts, sprite, (1.0, 1.0))

            today = region  # with IPP on: the full-canvas warp

            if zoom is None:
                def game():
                    screen.blit(surf, (cw // 2 - 32, ch // 2 - 32))
            else:
                def game():
                    screen.blit(pygame.transform.rotozoom(surf, zoom[0], zoom[1]), (cw // 2 - 48, ch // 2 - 48))
            tag = f"64x64x4 {name}, {cw}x{ch}"
            ratios[f"{tag}: full-canvas path / region warp"] = 1.0 / compare(
                f"region warp {tag}", region, today, 20, "full canvas", rounds=10, setup=(ipp_off, full_canvas))[0]
            ratios[f"{tag}: region warp / pygame"] = compare(
                f"region warp {tag}", region, game, 20, "pygame", rounds=10, setup=(ipp_off, None))[0]
    if os.path.exists(FONT):
        canvas = np.zeros((H, W, 3), np.uint8)
        screen = pygame.Surface((W, H))
        ts = record(cursor_pos=(-60.0, 0.0))
        font = pygame.font.Font(FONT, 20)
        own_text_size = kv.text_size

        def cached():
            kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))

        def uncached():
            # A text_size of the program's own: nothing is cached, the image is rendered again.
            kv.text_size = lambda *a: own_text_size(*a)
            try:
                kv.text(canvas, ts, "Hello world", FONT, 20, (255, 255, 255))
            finally:
                kv.text_size = own_text_size

        def game():
            screen.blit(font.render("Hello world", True, (255, 255, 255)), (W // 2 - 60, H // 2 - 20))

        cached_with_ipp = cached  # OpenCV's default: the cache alone, the full-canvas warp

        def warm(ipp_setting):
            # The uncached blocks rebind text_size, which empties the cache: fill it again untimed.
            def setup():
                ipp_setting()
                cached()
            return setup

        ratios["text 'Hello world' 20 px: today / cached"] = 1.0 / compare(
            "text 'Hello world' 20 px, cached", cached, uncached, 20, "today", rounds=10,
            setup=(warm(ipp_off), full_canvas))[0]
        ratios["text 'Hello world' 20 px: today / cached with IPP on"] = 1.0 / compare(
            "text 'Hello world' 20 px, cached, IPP on", cached_with_ipp, uncached, 20, "today", rounds=10,
            setup=(warm(ipp_on), full_canvas))[0]
        ratios["text 'Hello world' 20 px: cached / pygame"] = compare(
            "text 'Hello world' 20 px, cached", cached, game, 20, "pygame", rounds=10, setup=(ipp_off, None))[0]
    cv2.warpPerspective = genuine_warp
    cv2.ipp.setUseIPP(ipp)
    return ratios


def frame_loop_sprites(count=300, seconds=3.0, warmup=15):
    """Frames per second of the frame loop drawing `count` rotated 48x48
    sprites per frame on 800x600 (the loop paces itself to 61.5)."""
    rng = np.random.default_rng(5)
    sprite = make_sprite()[8:56, 8:56].copy()
    places = [(float(x), float(y), float(r)) for x, y, r in
              zip(rng.uniform(-380, 340, count), rng.uniform(-280, 240, count), rng.uniform(0, 360, count))]
    stamps, tick_time = [], [0.0]

    def tick(canvas, ts):
        stamps.append(time.perf_counter())
        t0 = time.perf_counter()
        spin = len(stamps) * 3.0
        for x, y, r in places:
            ts["rot"] = r + spin
            ts["cursor_pos"] = (x, y)
            kv.blit(canvas, ts, sprite, (1.0, 1.0))
        ts["rot"] = 0.0
        if len(stamps) > warmup:
            tick_time[0] += time.perf_counter() - t0
            if stamps[-1] - stamps[warmup] >= seconds:
                return False
        return None

    ipp = cv2.ipp.useIPP()
    cv2.ipp.setUseIPP(False)
    kv.RUN = True
    kv.run(tick, ((W, H), "bench sprites"), (0, 0, 0))
    cv2.ipp.setUseIPP(ipp)
    frames = len(stamps) - 1 - warmup
    return frames / (stamps[-1] - stamps[warmup]), 1000.0 * tick_time[0] / max(frames, 1)


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
    figures = region_warp_figures()
    fps, tick_ms = frame_loop_sprites()
    print()
    goals = {"full-canvas path / region warp": "goal >= 10 on 800x600, >= 30 on 1920x1080",
             "region warp / pygame": "goal <= 4 plain, < 1 rotated (rotozoom)",
             "today / cached": "goal >= 20", "today / cached with IPP on": "the cache alone",
             "cached / pygame": "goal <= 3"}
    for label, ratio in figures.items():
        goal = next(g for k, g in goals.items() if label.endswith(k))
        print(f"{label:66s} {ratio:7.2f}x ({goal})")
    print(f"{'frame loop, 300 rotated 48x48 sprites on 800x600':66s} {fps:7.1f} fps, "
          f"{tick_ms:.1f} ms of blits per frame (goal: 60 fps)")


if __name__ == "__main__":
    main()
