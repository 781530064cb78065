"""Image blitting and the asset manager: canvases compared byte for byte with
the documented NumPy compositing on the same warped image, real image files
written with cv2.imwrite, exact messages."""

import collections
import json
import math
import os
import subprocess
import sys
import types
import wave

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import make_record, run_python
from reference import blit as reference_blit

RNG = np.random.default_rng(7)


# ---- sprites -------------------------------------------------------------------

def sprite(h=64, w=64, channels=4):
    img = RNG.integers(0, 256, (h, w, channels), dtype=np.uint8)
    if channels == 4:
        # A sprite's alpha: clear border, opaque middle, every level in between.
        img[..., 3] = 0
        img[8:-8, 8:-8, 3] = 255
        img[4:8, :, 3] = RNG.integers(1, 255, (4, w), dtype=np.uint8)
    else:
        img[RNG.random((h, w)) < 0.2] = 0
        img[RNG.random((h, w, channels)) < 0.1] = 0
    return img


def random_canvas(h=400, w=600):
    return RNG.integers(0, 256, (h, w, 3), dtype=np.uint8)


def homography_record():
    ts = make_record()
    src = np.float64([[100, 100], [500, 100], [500, 300], [100, 300]])
    dst = np.float64([[140, 80], [470, 120], [530, 330], [60, 290]])
    ts["full_transform"] = cv2.findHomography(src, dst)[0]
    ts["full_transform_inv"] = cv2.findHomography(dst, src)[0]
    return ts


TRANSFORMS = {
    "plain": dict(),
    "offset": dict(cursor_pos=(-37.25, 11.5)),
    "int-cursor": dict(cursor_pos=(-40, 12)),
    "rotated": dict(rot=33.0, cursor_pos=(-20.0, -30.0)),
    "scaled": dict(size=1.75, rot=-70.0, cursor_pos=(-30.0, -10.0)),
    "shrunk": dict(size=0.3, cursor_pos=(5.0, 5.0)),
    "3d": dict(is_3d=True, cursor_pos=(-30.0, -20.0, 2.0), cam_rot_3d=(10.0, 25.0, 5.0)),
    "partly-off-canvas": dict(cursor_pos=(250.0, 150.0)),
    "flipped": dict(cursor_pos=(20.0, 20.0)),
}


def record_for(name):
    return make_record(**TRANSFORMS[name])


def assert_blits_as_documented(kv, canvas, ts, src, scale=(1.0, 1.0)):
    """blit leaves the documented steps' bytes in the canvas, or raises cv2.error where they do."""
    expected = canvas.copy()
    try:
        reference_blit(expected, ts, src, scale)
    except cv2.error:
        with pytest.raises(cv2.error):
            kv.blit(canvas, ts, src, scale)
        return
    assert kv.blit(canvas, ts, src, scale) is None
    np.testing.assert_array_equal(canvas, expected)


# ---- blit: results ----------------------------------------------------------------


@pytest.mark.parametrize("channels", [4, 3])
@pytest.mark.parametrize("name", list(TRANSFORMS) + ["homography"])
def test_blit_equals_documented_compositing(kv, name, channels):
    ts = homography_record() if name == "homography" else record_for(name)
    scale = (-1.5, 1.25) if name == "flipped" else (1.3, 0.8)
    assert_blits_as_documented(kv, random_canvas(), ts, sprite(channels=channels), scale)


def test_blit_strong_perspective_crossing_the_horizon(kv):
    # A homography whose horizon runs through the canvas: the pass cannot be
    # narrowed and must still give the documented bytes.
    ts = make_record()
    h = np.array([[1.0, 0.2, 0.0], [0.1, 1.0, 0.0], [0.004, 0.002, 1.0]])
    ts["full_transform"] = h
    ts["cursor_pos"] = (-300.0, -200.0)
    assert_blits_as_documented(kv, random_canvas(), ts, sprite(120, 200), (3.0, 3.0))


@pytest.mark.parametrize("layout", ["packed", "strided"])
def test_every_alpha_blend_value(kv, layout):
    # Every (alpha, image value, canvas value) triple against the float64 formula,
    # on a packed canvas and on a view with a column stride.
    ts = make_record(256, 256, shift=(0.0, 0.0))
    a, b = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    src = np.dstack([b, b, b, a]).astype(np.uint8)
    seen = np.zeros((256, 256, 256), bool)
    for j in range(86):
        canvas = np.empty((256, 256, 3), np.uint8) if layout == "packed" else np.empty((256, 512, 3), np.uint8)[:, ::2]
        for k in range(3):
            canvas[..., k] = (3 * j + k) % 256
            seen[:, :, (3 * j + k) % 256] = True
        assert_blits_as_documented(kv, canvas, ts, src)
    assert seen.all()


@st.composite
def blit_scenes(draw):
    """A small canvas, a record with any 2-D transform (a homography now and
    then), a sprite of any size with clear, opaque and partial alpha."""
    h, w = draw(st.integers(1, 40)), draw(st.integers(1, 40))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    src = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    src[..., 3] = rng.choice([0, 255, 1, 128, 254], (h, w), p=[0.3, 0.4, 0.1, 0.1, 0.1])
    ts = make_record(160, 120)
    ts["rot"] = draw(st.floats(-360, 360))
    ts["size"] = draw(st.floats(0.05, 4.0))
    ts["shift"] = (draw(st.floats(-60, 220)), draw(st.floats(-60, 180)))
    ts["cursor_pos"] = (draw(st.floats(-50, 50)), draw(st.floats(-50, 50)))
    if draw(st.booleans()):
        jitter = rng.uniform(-25, 25, (4, 2))
        square = np.float64([[20, 20], [140, 20], [140, 100], [20, 100]])
        ts["full_transform"] = cv2.getPerspectiveTransform(np.float32(square), np.float32(square + jitter))
    scale = (draw(st.floats(-3, 3).filter(lambda v: abs(v) > 0.05)), draw(st.floats(-3, 3).filter(lambda v: abs(v) > 0.05)))
    canvas = rng.integers(0, 256, (120, 160, 3), dtype=np.uint8)
    return ts, src, scale, canvas


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(blit_scenes())
def test_blit_equals_documented_compositing_for_any_transform(kv, scene):
    # Only the part of the canvas the warp can reach is visited: any
    # rotation, scale, flip and homography must still give the formula's bytes.
    ts, src, scale, canvas = scene
    assert_blits_as_documented(kv, canvas, ts, src, scale)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.floats(-1e3, 1e3), min_size=8, max_size=8), st.sampled_from([1.0, 1e-7, 1e-3, 1e4, 1e9, 1e40]),
       st.integers(0, 100), st.integers(0, 100), st.booleans())
def test_perspective_matrix_is_opencvs(kv, monkeypatch, corners, magnitude, w, h, flat):
    # blit computes the matrix itself where OpenCV's would be the same (and
    # asks OpenCV otherwise): the warp receives the bytes OpenCV's gives,
    # for quads of any size, flattened and degenerate ones included.
    matrices = []

    def spy(src, m, dsize, flags):
        matrices.append(m.tobytes())
        return np.zeros((dsize[1], dsize[0], src.shape[2]), np.uint8)

    monkeypatch.setattr(cv2, "warpPerspective", spy)
    quad = np.clip(np.float64(corners).reshape(4, 2) * magnitude, -1e38, 1e38)
    if flat:
        quad[2] = quad[1]  # two corners on one point
    ts = make_record(40, 30, shift=(0.0, 0.0))
    ts["full_transform"] = cv2.getPerspectiveTransform(np.float32([[0, 0], [1, 0], [1, 1], [0, 1]]), np.float32(quad))
    src = np.zeros((h + 1, w + 1, 3), np.uint8)
    kv.blit(np.zeros((30, 40, 3), np.uint8), ts, src, (1.0 / (w + 1), 1.0 / (h + 1)))
    reference_blit(np.zeros((30, 40, 3), np.uint8), ts, src, (1.0 / (w + 1), 1.0 / (h + 1)))
    assert len(matrices) in (0, 2) and matrices[:1] == matrices[1:]


@pytest.mark.parametrize("name", ["plain", "rotated", "3d"])
def test_sprite_drawn_over_itself(kv, name):
    # A frame loop that does not clear: the canvas settles where image and
    # canvas values are equal, the blends that come out whole.
    ts = record_for(name)
    ts["shift"] = (60.0, 70.0)
    src = RNG.integers(0, 256, (48, 48, 4), dtype=np.uint8)
    opaque = src.copy()
    opaque[..., 3] = 255
    canvas = RNG.integers(0, 256, (140, 150, 3), dtype=np.uint8)
    kv.blit(canvas, ts, opaque, (1.0, 1.0))
    expected = canvas.copy()
    for _ in range(12):
        reference_blit(expected, ts, src, (1.0, 1.0))
        kv.blit(canvas, ts, src, (1.0, 1.0))
        np.testing.assert_array_equal(canvas, expected)


# ---- blit: the region warp ----------------------------------------------------------
# With OpenCV's own warpPerspective, its IPP off and its AVX2 kernels in use,
# blit computes the warp only where the image can reach; the bytes must stay
# those of the full-canvas warp followed by the compositing.

def profile():
    from kelvracv import _kelvra_core

    return _kelvra_core.__opencv_profile__()


REGION_WARP = profile()["native warp"] is None
# OpenCV 4's fixed-point warp is the same integer arithmetic on every
# processor path; OpenCV 5's float kernels are reproduced for AVX2 with FMA3.
FIXED_POINT_WARP = profile()["warp arithmetic"] == "fixed-point remap tables"


@pytest.fixture
def without_ipp():
    before = cv2.ipp.useIPP()
    cv2.ipp.setUseIPP(False)
    yield
    cv2.ipp.setUseIPP(before)


def peak_bytes(fn):
    """The peak of memory allocated (NumPy's buffers included) while fn runs."""
    import tracemalloc

    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@st.composite
def region_scenes(draw):
    """A sprite of 1-100 pixels a side with 3 or 4 channels and random alpha,
    drawn rotated, scaled, flipped, through a homography or the 3-D camera,
    at any sub-pixel offset, partly or wholly off a canvas of any width (the
    warp's arithmetic differs in the last width % 16 columns)."""
    h, w = draw(st.integers(1, 100)), draw(st.integers(1, 100))
    channels = draw(st.sampled_from([3, 4]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    src = rng.integers(0, 256, (h, w, channels), dtype=np.uint8)
    if channels == 4:
        src[..., 3] = rng.choice([0, 255, 1, 77, 128, 254], (h, w), p=[0.25, 0.4, 0.05, 0.1, 0.1, 0.1])
    else:
        src[rng.random((h, w)) < 0.2] = 0
    rows, cols = draw(st.integers(1, 120)), draw(st.integers(1, 200))
    ts = make_record(cols, rows)
    # Half the scenes are sprites moved and turned by quarter turns (each
    # pixel lands on a source pixel at whole offsets), the rest anything.
    simple = draw(st.booleans())
    mode = "2d" if simple else draw(st.sampled_from(["2d", "homography", "3d"]))
    ts["rot"] = draw(st.sampled_from([0.0, 90.0, 180.0, -90.0] if simple else [0.0, 90.0, draw(st.floats(-360, 360))]))
    ts["size"] = 1.0 if simple else draw(st.sampled_from([1.0, draw(st.floats(0.1, 3.0))]))
    # Whole pixels (the warp copies), halves, quarters, eighths, or anything.
    step = draw(st.sampled_from([1.0, 0.5, 0.25, 0.125, None]))

    def offset(lo, hi):
        return draw(st.floats(lo, hi)) if step is None else draw(st.integers(int(lo / step), int(hi / step))) * step

    ts["shift"] = (offset(-80, cols + 80), offset(-80, rows + 80))
    ts["cursor_pos"] = (offset(-60, 60), offset(-60, 60))
    if mode == "homography":
        square = np.float32([[0, 0], [cols, 0], [cols, rows], [0, rows]])
        jitter = np.float32(rng.uniform(-0.3, 0.3, (4, 2)) * [cols, rows])
        ts["full_transform"] = cv2.getPerspectiveTransform(square, square + jitter)
    elif mode == "3d":
        ts["is_3d"] = True
        ts["cursor_pos"] = ts["cursor_pos"] + (draw(st.floats(-5, 30)),)
        ts["cam_rot_3d"] = tuple(draw(st.floats(-30, 30)) for _ in range(3))
    # Simple sprites may be stretched along y: then only some rows sit on source rows.
    scale = tuple(draw(st.sampled_from(([1.0, -1.0] if axis == 0 else [1.0, -1.0, 0.5, 2.0]) if simple else
                                       [1.0, -1.0, draw(st.floats(-3, 3).filter(lambda v: abs(v) > 0.05))]))
                  for axis in range(2))
    canvas = rng.integers(0, 256, (rows, cols, 3), dtype=np.uint8)
    return ts, src, scale, canvas


@pytest.mark.skipif(not REGION_WARP, reason="native warp off in this OpenCV profile")
@pytest.mark.parametrize("ipp", [False, True])
@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(region_scenes())
def test_region_warp_equals_the_full_canvas_warp(kv, without_ipp, ipp, scene):
    # OpenCV's own warp with IPP off, whatever IPP's switch in the program
    # (the documented steps switch it off for their own warp only).
    ts, src, scale, canvas = scene
    cv2.ipp.setUseIPP(ipp)
    assert_blits_as_documented(kv, canvas, ts, src, scale)
    assert cv2.ipp.useIPP() == ipp


@pytest.mark.parametrize("ipp", [False, True])
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.integers(-110, 220), st.integers(-110, 130), st.sampled_from([1.0, -1.0, 0.5, 2.0, 3.0]),
       st.sampled_from([3, 4]), st.integers(0, 2**32 - 1))
def test_region_warp_of_sprites_moved_by_whole_pixels(kv, ipp, x, y, stretch, channels, seed):
    # Upright sprites at whole offsets, stretched along y or not: the rows
    # that sit on source rows are copied, in or partly out of the canvas.
    # A whole-pixel move is copied with IPP on as well (any bilinear warp
    # puts each pixel on a source pixel there).
    before = cv2.ipp.useIPP()
    cv2.ipp.setUseIPP(ipp)
    try:
        blit_moved_sprite(kv, x, y, stretch, channels, seed)
    finally:
        cv2.ipp.setUseIPP(before)


def blit_moved_sprite(kv, x, y, stretch, channels, seed):
    rng = np.random.default_rng(seed)
    src = rng.integers(0, 256, (*rng.integers(1, 101, 2), channels), dtype=np.uint8)
    canvas = rng.integers(0, 256, (120, 200, 3), dtype=np.uint8)
    assert_blits_as_documented(kv, canvas, make_record(200, 120, shift=(float(x), float(y))), src, (1.0, stretch))


def test_image_that_is_part_of_the_canvas(kv, without_ipp):
    # The image is read whole before anything is drawn, as cv2's warp reads it.
    canvas = random_canvas()
    expected = canvas.copy()
    ts = record_for("rotated")
    ts["shift"] = (250.0, 150.0)
    reference_blit(expected, ts, expected[100:164, 200:264].copy(), (1.0, 1.0))
    kv.blit(canvas, ts, canvas[100:164, 200:264], (1.0, 1.0))
    np.testing.assert_array_equal(canvas, expected)


@pytest.mark.skipif(not REGION_WARP, reason="native warp off in this OpenCV profile")
@pytest.mark.parametrize("case", ["ipp-off", "ipp-on", "ipp-on-whole-pixels", "rebound", "optimisations-off"])
def test_region_warp_only_where_proven_equal(kv, without_ipp, monkeypatch, case):
    # A sprite on a big canvas: the region warp allocates nothing canvas-sized,
    # and gives OpenCV's own arithmetic (its warp with IPP off) whatever IPP's
    # switch says in the program. With a warpPerspective of the program's own,
    # or OpenCV's optimisations off where its float kernels are reproduced,
    # blit calls cv2 as before, with the same bytes as the documented steps.
    calls = []
    if case.startswith("ipp-on"):
        cv2.ipp.setUseIPP(True)
    elif case == "rebound":
        genuine = cv2.warpPerspective

        def spy(*a, **k):
            calls.append(1)
            return genuine(*a, **k)

        monkeypatch.setattr(cv2, "warpPerspective", spy)
    elif case == "optimisations-off":
        cv2.setUseOptimized(False)
    try:
        canvas = random_canvas(1000, 1000)
        ts = record_for("int-cursor" if case == "ipp-on-whole-pixels" else "rotated")
        src = sprite()
        expected = canvas.copy()
        reference_blit(expected, ts, src, (1.0, 1.0))
        calls.clear()
        ipp = cv2.ipp.useIPP()
        peak = peak_bytes(lambda: kv.blit(canvas, ts, src, (1.0, 1.0)))
        assert cv2.ipp.useIPP() == ipp
        np.testing.assert_array_equal(canvas, expected)
    finally:
        cv2.setUseOptimized(True)
    if case.startswith("ipp") or (case == "optimisations-off" and FIXED_POINT_WARP):
        assert peak < canvas.nbytes // 10
    else:
        assert peak >= canvas.nbytes * 4 // 3  # the canvas-sized four-channel warp
        assert calls == ([1] if case == "rebound" else [])


PROFILE_SCRIPT = """
import json, os, tracemalloc
import cv2, numpy as np
{prelude}
from kelvracv import _kelvra_core as kv
sys_path = __import__("sys").path.insert(0, {tests!r})
from reference import blit, make_record
rng = np.random.default_rng(5)
src = rng.integers(0, 256, (64, 64, 4), dtype=np.uint8)
canvas = rng.integers(0, 256, (700, 700, 3), dtype=np.uint8)
ts = make_record(700, 700, rot=33.0, shift=(300.5, 200.25))
expected = canvas.copy()
blit(expected, ts, src, (1.0, 1.0))
tracemalloc.start()
kv.blit(canvas, ts, src, (1.0, 1.0))
peak = tracemalloc.get_traced_memory()[1]
print(json.dumps([kv.__opencv_profile__()["native warp"], peak, bool((canvas == expected).all())]))
"""


@pytest.mark.parametrize("case", ["unverified-release", "no-avx2"])
def test_profile_without_native_warp_calls_opencv(case):
    if case == "no-avx2" and FIXED_POINT_WARP:
        pytest.skip("OpenCV 4's fixed-point warp needs no AVX2")
    # A release the table does not list (simulated) or a processor without
    # AVX2 (KELVRACV_NO_AVX2): the profile turns the native warp off and blit
    # makes OpenCV's canvas-sized warp, with OpenCV's bytes.
    prelude = "cv2.__version__ = '4.9.9'" if case == "unverified-release" else ""
    env = {"KELVRACV_NO_AVX2": "1"} if case == "no-avx2" else {}
    r = run_python(PROFILE_SCRIPT.format(prelude=prelude, tests=os.path.dirname(__file__)), **env)
    assert r.returncode == 0, r.stderr
    why, peak, equal = json.loads(r.stdout.splitlines()[-1])
    if case == "unverified-release":
        assert why == "OpenCV 4.9.9 is not a verified release"
    else:
        assert why == ("KELVRACV_NO_AVX2 is set" if REGION_WARP else why) and why
    assert equal and peak >= 700 * 700 * 4


TURNED_SPRITES_SCRIPT = """
import hashlib, json, sys
import cv2, numpy as np
from kelvracv import _kelvra_core as kv
sys.path.insert(0, {tests!r})
from reference import blit, make_record
if {unoptimised}:
    cv2.setUseOptimized(False)
cv2.ipp.setUseIPP(True)
rng, digest, documented = np.random.default_rng(7), hashlib.sha256(), hashlib.sha256()
for i in range(200):
    n = int(rng.integers(8, 90))
    src = rng.integers(0, 256, (n, n, 3 + i % 2), dtype=np.uint8)
    canvas = rng.integers(0, 256, (120, 160, 3), dtype=np.uint8)
    ts = make_record(160, 120, rot=float(rng.uniform(-180, 180)), size=float(rng.uniform(0.5, 2)),
                     shift=(float(rng.uniform(0, 160)), float(rng.uniform(0, 120))))
    expected = canvas.copy()
    kv.blit(canvas, ts, src, (1.0, 1.0))
    blit(expected, ts, src, (1.0, 1.0))
    digest.update(canvas.tobytes())
    documented.update(expected.tobytes())
print(json.dumps([kv.__opencv_profile__()["native warp"], digest.hexdigest(), documented.hexdigest(),
                  cv2.ipp.useIPP()]))
"""


@pytest.mark.skipif(not profile()["verified warp"], reason="not a verified OpenCV release")
def test_turned_sprites_have_the_same_bytes_on_every_warp_path():
    # The native warp, and OpenCV's own warp where the native one is off
    # (KELVRACV_NO_AVX2, as on a processor without AVX2): the same bytes, IPP
    # on in the program or not. "false" is off, as for every switch. With
    # OpenCV's optimisations off, its portable kernels with IPP off, as the
    # documented steps make them.
    def run(unoptimised=False, **env):
        r = run_python(TURNED_SPRITES_SCRIPT.format(tests=os.path.dirname(__file__), unoptimised=unoptimised), **env)
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout.splitlines()[-1])

    native, portable, off_word = run(), run(KELVRACV_NO_AVX2="1"), run(KELVRACV_NO_AVX2=" False ")
    assert native[1] == native[2] == portable[1] == off_word[1] and native[3] is portable[3] is True
    assert off_word[0] == native[0] and (portable[0] == "KELVRACV_NO_AVX2 is set" or FIXED_POINT_WARP)
    unoptimised = run(unoptimised=True)
    assert unoptimised[1] == unoptimised[2]


def test_a_sleeping_thread_runs_beside_rotated_blits(kv):
    # Rotated 512x512 sprites onto 1280x720 (about 1.5 ms each): the lock is
    # let go while their bytes move, so a thread that sleeps 1 ms at a time
    # keeps waking (once a second before: nothing on blit's way let a waiting
    # thread in).
    import threading
    import time

    canvas, src = np.zeros((720, 1280, 3), np.uint8), sprite(512, 512)
    ts = make_record(1280, 720, rot=30.0, cursor_pos=(-256.0, -256.0))
    wakes, stop = [], threading.Event()

    def sleeper():
        while not stop.is_set():
            time.sleep(0.001)
            wakes.append(1)

    t = threading.Thread(target=sleeper)
    t.start()
    end = time.perf_counter() + 1.0
    while time.perf_counter() < end:
        kv.blit(canvas, ts, src, (1.0, 1.0))
    stop.set()
    t.join()
    assert len(wakes) >= 100


def test_threads_drawing_on_their_own_canvases_get_their_own_bytes(kv):
    # Blits, upright text (its colour tables shared) and filled circles, big
    # enough to let the lock go, from two threads at once: each canvas gets
    # what one thread alone draws.
    import threading

    font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

    def scene(seed, canvas):
        rng = np.random.default_rng(seed)
        for i in range(12):
            n = int(rng.integers(100, 300))
            ts = make_record(600, 400, rot=float(rng.uniform(-180, 180)), cursor_pos=(-n / 2, -n / 2))
            kv.blit(canvas, ts, rng.integers(0, 256, (n, n, 4), dtype=np.uint8), (1.0, 1.0))
            colour = tuple(int(c) for c in rng.integers(0, 256, 3))
            if os.path.exists(font):
                kv.text(canvas, make_record(600, 400, cursor_pos=(-280.0, -150.0)), "Threads", font, 120, colour)
            kv.circle(canvas, make_record(600, 400), float(rng.integers(150, 300)), colour, 1, True)

    alone = [random_canvas() for _ in range(2)]
    together = [c.copy() for c in alone]
    for seed, c in enumerate(alone):
        scene(seed, c)
    threads = [threading.Thread(target=scene, args=(seed, c)) for seed, c in enumerate(together)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        np.testing.assert_array_equal(a, b)


@pytest.mark.skipif(os.environ.get("KELVRACV_NO_AVX2") == "1", reason="already the portable kernel")
def test_portable_kernel_gives_the_same_bytes():
    # The compositing kernel is chosen by the processor; run the exactness
    # tests again with the portable one.
    tests = [f"{__file__}::{name}" for name in
             ("test_every_alpha_blend_value", "test_sprite_drawn_over_itself", "test_blit_equals_documented_compositing",
              "test_blit_equals_documented_compositing_for_any_transform",
              "test_region_warp_equals_the_full_canvas_warp")]
    env = dict(os.environ, KELVRACV_NO_AVX2="1")
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests],
                       capture_output=True, text=True, env=env, timeout=300, cwd=os.path.dirname(__file__))
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-2000:]
    assert " passed" in r.stdout and " failed" not in r.stdout


@pytest.mark.parametrize("alpha, expected", [(0, 100), (255, 200), (128, int(100 * (1 - 128 / 255) + 200 * (128 / 255)))])
def test_alpha_levels(kv, alpha, expected):
    canvas = np.full((400, 600, 3), 100, np.uint8)
    src = np.full((4, 4, 4), 200, np.uint8)
    src[..., 3] = alpha
    kv.blit(canvas, make_record(), src, (1.0, 1.0))
    assert (canvas[201:203, 301:303] == expected).all()
    assert (canvas[:190] == 100).all()


def test_three_channel_black_and_partial_pixels(kv):
    canvas = np.full((400, 600, 3), 77, np.uint8)
    src = np.zeros((4, 4, 3), np.uint8)
    src[:, 2:] = (0, 128, 255)
    kv.blit(canvas, make_record(), src, (1.0, 1.0))
    assert (canvas[201:203, 301] == 77).all()  # black: unchanged
    assert (canvas[201:203, 303] == (77, 128, 255)).all()  # only green and red replaced


def test_rectangle_and_scale_factors(kv, canvas):
    src = np.full((10, 20, 3), 255, np.uint8)
    kv.blit(canvas, make_record(), src, (1.0, 1.0))
    ys, xs = np.nonzero(canvas[..., 0])
    assert (ys.min(), ys.max(), xs.min(), xs.max()) == (200, 209, 300, 319)
    assert (canvas[200:210, 300:320] == 255).all()
    canvas[:] = 0
    kv.blit(canvas, make_record(), src, (2.0, 0.5))
    ys, xs = np.nonzero(canvas[..., 0])
    # Twice as wide (bilinear magnification leaves half-covered edge columns), half as high.
    assert (ys.min(), ys.max()) == (200, 204)
    assert round(canvas[202, :, 0].sum() / 255) == 40
    assert (canvas[200:205, 300:339] == 255).all()


def test_corner_behind_camera_draws_nothing(kv):
    ts = make_record(is_3d=True, cursor_pos=(0.0, 0.0, -20.0))  # the first corner lies behind the camera
    canvas = random_canvas()
    before = canvas.copy()
    kv.blit(canvas, ts, sprite(), (1.0, 1.0))
    np.testing.assert_array_equal(canvas, before)


@pytest.mark.parametrize("ipp", [True, False])  # the full-canvas warp and the region warp
def test_non_contiguous_canvas_is_written_in_place(kv, ipp, without_ipp):
    cv2.ipp.setUseIPP(ipp)
    for canvas in (random_canvas(800, 1200)[::2, ::2], np.asfortranarray(random_canvas())):
        assert_blits_as_documented(kv, canvas, record_for("rotated"), sprite())


def test_rebound_cv2_is_used(kv, monkeypatch):
    calls = []

    def warp(*a, **k):
        calls.append(k)
        return cv2.warpPerspective(*a, **k)

    fake = types.SimpleNamespace(**{n: getattr(cv2, n) for n in ("getPerspectiveTransform", "INTER_LINEAR")})
    fake.warpPerspective = warp
    monkeypatch.setattr(kv, "cv2", fake)
    assert_blits_as_documented(kv, random_canvas(), record_for("scaled"), sprite())
    assert calls == [{"flags": cv2.INTER_LINEAR}]


def test_rebound_warp_returning_none_draws_nothing(kv, monkeypatch):
    fake = types.SimpleNamespace(getPerspectiveTransform=cv2.getPerspectiveTransform, INTER_LINEAR=1,
                                 warpPerspective=lambda *a, **k: None)
    monkeypatch.setattr(kv, "cv2", fake)
    canvas = random_canvas()
    before = canvas.copy()
    kv.blit(canvas, make_record(), sprite(), (1.0, 1.0))
    np.testing.assert_array_equal(canvas, before)


def test_rebound_warp_returning_garbage_is_a_type_error(kv, monkeypatch):
    fake = types.SimpleNamespace(getPerspectiveTransform=cv2.getPerspectiveTransform, INTER_LINEAR=1,
                                 warpPerspective=lambda *a, **k: "not an image")
    monkeypatch.setattr(kv, "cv2", fake)
    with pytest.raises(TypeError, match="warpPerspective returned str"):
        kv.blit(random_canvas(), make_record(), sprite(), (1.0, 1.0))


# ---- blit: arguments and bad input --------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, {}, np.zeros((1, 1, 3), np.uint8), (1, 1)), "Argument 'arr' has incorrect type (expected numpy.ndarray, got NoneType)"),
        ((np.zeros((1, 1, 3), np.uint8), collections.OrderedDict(), np.zeros((1, 1, 3), np.uint8), (1, 1)),
         "Argument 'ts' has incorrect type (expected dict, got collections.OrderedDict)"),
        ((np.zeros((1, 1, 3), np.uint8), {}, None, (1, 1)), "Argument 'src_img' has incorrect type (expected numpy.ndarray, got NoneType)"),
        ((np.zeros((1, 1, 3), np.uint8), {}, np.zeros((1, 1, 3), np.uint8), [1, 1]), "Argument 'scale_factor' has incorrect type (expected tuple, got list)"),
    ],
)
def test_argument_types(kv, args, message):
    with pytest.raises(TypeError) as e:
        kv.blit(*args)
    assert str(e.value) == message


def test_argument_count(kv, canvas, ts):
    with pytest.raises(TypeError, match=r"blit\(\) takes exactly 4 positional arguments \(3 given\)"):
        kv.blit(canvas, ts, sprite())


def test_record_and_scale_errors(kv, canvas, ts):
    with pytest.raises(IndexError):
        kv.blit(canvas, ts, sprite(), (1.0,))
    with pytest.raises(TypeError):
        kv.blit(canvas, ts, sprite(), (1.0, None))
    del ts["cursor_pos"]
    with pytest.raises(KeyError):
        kv.blit(canvas, ts, sprite(), (1.0, 1.0))
    ts["cursor_pos"] = [0.0, 0.0]
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        kv.blit(canvas, ts, sprite(), (1.0, 1.0))


def test_grayscale_and_wrong_images_are_clear_errors(kv, canvas, ts):
    with pytest.raises(TypeError, match="three dimensions.*got 2 .*grayscale"):
        kv.blit(canvas, ts, np.zeros((8, 8), np.uint8), (1.0, 1.0))
    with pytest.raises(TypeError, match="dtype uint8, got float32"):
        kv.blit(canvas, ts, np.zeros((8, 8, 4), np.float32), (1.0, 1.0))
    with pytest.raises(ValueError, match="has 2 channels but the canvas has 3"):
        kv.blit(canvas, ts, np.zeros((8, 8, 2), np.uint8), (1.0, 1.0))
    with pytest.raises(ValueError, match="has 1 channels but the canvas has 3"):
        kv.blit(canvas, ts, np.zeros((8, 8, 1), np.uint8), (1.0, 1.0))
    with pytest.raises(TypeError, match="uint8 canvas"):
        kv.blit(np.zeros((400, 600), np.uint8), ts, sprite(), (1.0, 1.0))
    with pytest.raises(TypeError, match="uint8 canvas"):
        kv.blit(np.zeros((400, 600, 3), np.float64), ts, sprite(), (1.0, 1.0))
    with pytest.raises(ValueError, match="four-channel image needs a three-channel canvas"):
        kv.blit(np.zeros((400, 600, 4), np.uint8), ts, sprite(), (1.0, 1.0))


def test_read_only_canvas(kv, canvas, ts):
    canvas.flags.writeable = False
    with pytest.raises(ValueError, match="^assignment destination is read-only$"):
        kv.blit(canvas, ts, sprite(), (1.0, 1.0))
    assert not canvas.any()


def test_zero_size_image_and_canvas(kv, canvas, ts):
    # An image without rows has a quad without area: nothing to draw.
    assert kv.blit(canvas, ts, np.zeros((0, 5, 4), np.uint8), (1.0, 1.0)) is None
    with pytest.raises(ValueError, match="warped image"):
        kv.blit(np.zeros((0, 0, 3), np.uint8), ts, sprite(), (1.0, 1.0))
    assert not canvas.any()


def test_degenerate_quadrilateral_does_not_crash(kv, canvas, ts):
    ts["size"] = 0.0  # every corner on the shift point
    kv.blit(canvas, ts, sprite(), (1.0, 1.0))
    ts["size"] = 1.0
    kv.blit(canvas, ts, sprite(), (math.nan, 1.0))
    kv.blit(canvas, ts, sprite(), (1e300, 1e300))


QUADS_IN_A_CHILD = """
import random, sys
import cv2, numpy as np
from kelvracv import _kelvra_core as kv
from conftest import make_record
from reference import trans_pts, without_area
rng = random.Random(int(sys.argv[1]))
drawn = flat = 0
for i in range(int(sys.argv[2])):
    cv2.ipp.setUseIPP(i % 2 == 0)
    rows, cols = rng.choice([(60, 80), (600, 800)])
    ts = make_record(cols, rows, shift=(rng.uniform(-50, cols + 50), rng.uniform(-50, rows + 50)))
    kind = rng.choice(["size0", "scale", "sliver", "homography", "huge"])
    eps = 10 ** rng.uniform(-12, 0)
    scale = (rng.uniform(0.2, 3), rng.uniform(0.2, 3))
    if kind == "size0":
        ts["size"] = 0.0
    elif kind == "scale":
        scale = rng.choice([(0.0, 1.0), (1.0, 0.0), (eps, 0.3), (0.3, eps), (-eps, 2.0)])
        ts["rot"] = rng.choice([0.0, 90.0, rng.uniform(0, 360)])
    elif kind == "sliver":
        ts["rot"] = rng.uniform(0, 360)
        scale = (eps, rng.uniform(0.1, 5))
    elif kind == "homography":  # three corners on a line, or nearly
        a, b, c = rng.uniform(0, 6.3), rng.uniform(1, 300), rng.uniform(-1, 2)
        d = (np.cos(a), np.sin(a))
        quad = [(0, 0), (d[0] * b, d[1] * b), (d[0] * b * c + eps, d[1] * b * c), (rng.uniform(-60, 60), rng.uniform(-60, 60))]
        rng.shuffle(quad)
        square = np.float32([[0, 0], [1, 0], [1, 1], [0, 1]])
        try:
            ts["full_transform"] = cv2.getPerspectiveTransform(square, np.float32(quad) + np.float32(ts["shift"]))
        except cv2.error:
            continue
        ts["shift"] = (0.0, 0.0)
    else:
        scale = (10 ** rng.uniform(3, 12), rng.choice([eps, 10 ** rng.uniform(3, 12)]))
    h, w = rng.randint(1, 120), rng.randint(1, 120)
    src = np.full((h, w, rng.choice([3, 4])), 200, np.uint8)
    if kind == "homography":
        scale = (1.0 / w, 1.0 / h)
    canvas = np.zeros((rows, cols, 3), np.uint8)
    def corners(u0, v0, u1, v1):  # image points (pixels) to the screen
        cx, cy = ts["cursor_pos"]
        world = [(cx + u * scale[0], cy + v * scale[1]) for u, v in ((u0, v0), (u1, v0), (u1, v1), (u0, v1))]
        with np.errstate(all="ignore"):
            return np.float32(trans_pts(world, ts))
    quad = corners(0, 0, w, h)
    kv.blit(canvas, ts, src, scale)
    ys, xs = np.nonzero(canvas.any(axis=2))
    if without_area(quad):
        flat += 1
        assert len(xs) == 0, (i, kind, len(xs))
    elif len(xs) and kind != "homography":  # (those may cross the horizon: no bounded support)
        drawn += 1
        # Bilinear sampling reaches one image pixel beyond the image's edges.
        support = corners(-1, -1, w + 1, h + 1)
        x0, y0 = np.floor(support.min(axis=0)) - 1
        x1, y1 = np.ceil(support.max(axis=0)) + 1
        assert x0 <= xs.min() and xs.max() <= x1 and y0 <= ys.min() and ys.max() <= y1, (i, kind, quad)
print("ok", flat, drawn)
"""


def test_quads_without_area_draw_nothing_and_never_crash():
    # Flat, nearly flat and huge quads at random positions, Intel IPP on and
    # off, in a child process (OpenCV crashes on the matrices of flat quads):
    # a quad without area draws nothing, any other draws only within its box.
    done = run_python(QUADS_IN_A_CHILD, 1, 1200, KELVRACV_HEADLESS="1", timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    _, flat, drawn = done.stdout.splitlines()[-1].split()
    assert int(flat) > 100 and int(drawn) > 100, done.stdout


MID_CALL_RESHAPE = """
import cv2, numpy as np
from kelvracv import _kelvra_core as kv
from conftest import make_record
canvas, src = np.zeros((60, 80, 3), np.uint8), np.full((10, 10, 4), 255, np.uint8)
class Shrinks:
    def __init__(self, victim): self.victim = victim
    def __float__(self):
        self.victim.shape = (self.victim.size,)  # one dimension left
        return 1.0
where = WHERE
if where == "scale-src":
    args = (canvas, make_record(80, 60), src, (Shrinks(src), 1.0))
elif where == "scale-canvas":
    args = (canvas, make_record(80, 60), src, (Shrinks(canvas), 1.0))
else:
    genuine = getattr(cv2, where)
    def reshaping(*a, **k):
        out = genuine(*a, **k)
        canvas.shape = (4800, 3)
        src.shape = (100, 4)
        return out
    setattr(kv.cv2, where, reshaping)
    args = (canvas, make_record(80, 60), src, (1.5, 1.0))
try:
    kv.blit(*args)
except (TypeError, ValueError) as e:
    print("raised", type(e).__name__, e)
"""


@pytest.mark.parametrize("where", ["scale-src", "scale-canvas", "getPerspectiveTransform", "warpPerspective"])
def test_image_reshaped_by_python_code_mid_call(where):
    # Python code run inside blit (a scale factor's __float__, a rebound cv2
    # function) reshapes the image or the canvas: a clear error, not a crash.
    done = run_python(MID_CALL_RESHAPE.replace("WHERE", repr(where)), KELVRACV_HEADLESS="1")
    assert done.returncode == 0, done.stderr[-2000:]
    assert "raised" in done.stdout and "must" in done.stdout, done.stdout


@pytest.mark.parametrize("channels", [2, 5])
def test_other_channel_counts_under_extreme_perspective(kv, channels):
    # Warps of 2 or 5+ channels are not zero outside the quad under a strong
    # perspective: the pass covers the whole canvas, as the documented steps do.
    ts = make_record(120, 90, shift=(0.0, 0.0))
    square = np.float32([[0, 0], [120, 0], [120, 90], [0, 90]])
    ts["full_transform"] = cv2.getPerspectiveTransform(square, np.float32([[0, 0], [120, 0], [70, 30], [50, 30]]))
    src = RNG.integers(1, 256, (40, 50, channels), dtype=np.uint8)
    assert_blits_as_documented(kv, np.zeros((90, 120, channels), np.uint8), ts, src, (2.0, 2.0))


# ---- asset manager --------------------------------------------------------------------


def test_module_instance_and_fresh_instances(kv):
    cls = kv.AssetManager
    assert type(kv.ASSETS) is cls
    fresh = cls()
    assert fresh.images == {} and fresh.sounds == {}
    assert fresh.get_img.__self__ is fresh


def write_png(path, channels):
    img = RNG.integers(0, 256, (6, 9, channels), dtype=np.uint8)
    assert cv2.imwrite(str(path), img)
    return img


def test_load_image_with_and_without_alpha(kv, tmp_path, capsys):
    am = kv.AssetManager()
    rgba, rgb = write_png(tmp_path / "a.png", 4), write_png(tmp_path / "b.png", 3)
    am.load_image("alpha", str(tmp_path / "a.png"))
    am.load_image("plain", str(tmp_path / "b.png"))
    np.testing.assert_array_equal(am.get_img("alpha"), rgba)
    np.testing.assert_array_equal(am.get_img("plain"), rgb)
    assert capsys.readouterr().out == ""


def test_missing_image_is_stored_as_none(kv, tmp_path, capsys):
    am = kv.AssetManager()
    am.load_image("hero", str(tmp_path / "missing.png"))
    assert "hero" in am.images and am.images["hero"] is None
    assert am.get_img("hero") is None
    write_png(tmp_path / "good.png", 3)
    am.load_image("hero", str(tmp_path / "good.png"))  # the first load wins
    assert am.get_img("hero") is None
    assert capsys.readouterr().out == ""


def test_load_image_error_is_printed(kv, monkeypatch, capsys):
    def imread(path, flag):
        raise ValueError("boom")

    monkeypatch.setattr(kv, "cv2", types.SimpleNamespace(imread=imread, IMREAD_UNCHANGED=-1))
    am = kv.AssetManager()
    assert am.load_image("x", "y.png") is None
    assert capsys.readouterr().out == "Asset Error loading image 'x':boom\n"
    assert am.images == {}


def test_load_image_lets_keyboard_interrupt_through(kv, monkeypatch):
    def imread(path, flag):
        raise KeyboardInterrupt

    monkeypatch.setattr(kv, "cv2", types.SimpleNamespace(imread=imread, IMREAD_UNCHANGED=-1))
    with pytest.raises(KeyboardInterrupt):
        kv.AssetManager().load_image("x", "y.png")


def write_wav(path):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(b"\0\0" * 2 * 441)


def test_sounds(kv, tmp_path, capsys):
    am = kv.AssetManager()
    am.load_sound("beep", str(tmp_path / "missing.wav"))
    out = capsys.readouterr().out
    assert out.startswith("Asset Error loading sound 'beep':") and out.count("\n") == 1 and len(out) > 35
    assert am.sounds == {} and am.get_snd("beep") is None
    write_wav(tmp_path / "beep.wav")
    am.load_sound("beep", str(tmp_path / "beep.wav"))
    assert type(am.get_snd("beep")).__name__ == "Sound"
    # An image under the same name is kept beside the sound.
    write_png(tmp_path / "beep.png", 3)
    am.load_image("beep", str(tmp_path / "beep.png"))
    assert am.get_img("beep") is not None and am.get_snd("beep") is not None
    assert capsys.readouterr().out == ""


def test_never_loaded_names(kv, capsys):
    am = kv.AssetManager()
    assert am.get_img("nope") is None and am.get_snd("nope") is None
    assert capsys.readouterr().out == ""


def test_method_argument_types(kv):
    am = kv.AssetManager()

    class S(str):
        pass

    for call, message in [
        (lambda: am.load_image(1, "a.png"), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: am.load_image("a", b"a.png"), "Argument 'path' has incorrect type (expected str, got bytes)"),
        (lambda: am.load_sound("a", None), "Argument 'path' has incorrect type (expected str, got NoneType)"),
        (lambda: am.get_img(S("a")), "Argument 'name' has incorrect type (expected str, got S)"),
        (lambda: am.get_snd(None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ]:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message


def test_get_img_rejects_foreign_values(kv):
    am = kv.AssetManager()
    am.images["odd"] = 5
    with pytest.raises(TypeError, match=r"^Cannot convert int to numpy.ndarray$"):
        am.get_img("odd")


# ---- blit_cached ------------------------------------------------------------------------


def test_blit_cached_draws_the_loaded_image(kv, tmp_path, canvas, ts):
    write_png(tmp_path / "sprite.png", 4)
    kv.ASSETS.load_image("test_image_sprite", str(tmp_path / "sprite.png"))
    expected = canvas.copy()
    reference_blit(expected, ts, kv.ASSETS.get_img("test_image_sprite"), (2.0, 2.0))
    kv.blit_cached(canvas, ts, "test_image_sprite", (2.0, 2.0))
    np.testing.assert_array_equal(canvas, expected)
    assert canvas.any()


def test_blit_cached_missing_names(kv, tmp_path, canvas, ts, capsys):
    kv.ASSETS.load_image("test_image_broken", str(tmp_path / "missing.png"))
    kv.blit_cached(canvas, ts, "test_image_never", (1.0, 1.0))
    kv.blit_cached(canvas, ts, "test_image_broken", (1.0, 1.0))
    assert capsys.readouterr().out == (
        "Error:Cached image 'test_image_never' not found.\nError:Cached image 'test_image_broken' not found.\n"
    )
    assert not canvas.any()


def test_blit_cached_uses_the_module_blit(kv, tmp_path, canvas, ts, monkeypatch):
    write_png(tmp_path / "s.png", 3)
    kv.ASSETS.load_image("test_image_late", str(tmp_path / "s.png"))
    seen = []
    monkeypatch.setattr(kv, "blit", lambda *a: seen.append(a))
    kv.blit_cached(canvas, ts, "test_image_late", (1.0, 2.0))
    assert len(seen) == 1 and seen[0][1] is ts and seen[0][3] == (1.0, 2.0)
    with pytest.raises(TypeError, match="Argument 'asset_name' has incorrect type"):
        kv.blit_cached(canvas, ts, None, (1.0, 1.0))
    with pytest.raises(TypeError, match="Argument 'scale_factor' has incorrect type"):
        kv.blit_cached(canvas, ts, "x", 1.0)


@pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")
def test_canvas_reshaped_during_the_warp(kv, monkeypatch):
    canvas = random_canvas()

    def warp(*a, **k):
        canvas.shape = (400, 1800)  # a program's cv2 may do anything
        return cv2.warpPerspective(*a, **k)

    fake = types.SimpleNamespace(getPerspectiveTransform=cv2.getPerspectiveTransform, INTER_LINEAR=1,
                                 warpPerspective=warp)
    monkeypatch.setattr(kv, "cv2", fake)
    with pytest.raises(TypeError, match="uint8 canvas"):
        kv.blit(canvas, make_record(), sprite(), (1.0, 1.0))
