"""Input that crashes or stalls OpenCV itself is stopped before it gets there:
strings that do not encode to UTF-8, shapes of millions of segments, fills
reaching billions of rows above the canvas, thick outlines of very many
points, plots with a huge resolution or depth. Ordinary shapes right below
each limit are still drawn exactly as OpenCV draws them."""

import math
import os
import subprocess
import sys
import textwrap
import time

import cv2
import numpy as np
import pytest

from conftest import FONT, blank, make_record, run_capped
from conftest import limit as limit_of

RED = (255, 0, 0)
BGR_RED = (0, 0, 255)


def timed(call, seconds=1.0):
    t0 = time.perf_counter()
    try:
        call()
    finally:
        assert time.perf_counter() - t0 < limit_of(seconds)


# ---- strings OpenCV cannot encode ------------------------------------------------------

SURROGATE_SCRIPT = textwrap.dedent(r"""
    import numpy as np
    import kelvracv._kelvra_core as kv
    ts = {"rot": 0.0, "size": 1.0, "shift": (300.0, 200.0), "cursor_pos": (0.0, 0.0),
          "full_transform": None, "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0),
          "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
    arr = np.zeros((100, 200, 3), np.uint8)
    def attempt(label, call):
        try:
            call()
            print(label, "ok", flush=True)
        except Exception as e:
            print(label, type(e).__name__, str(e).encode("ascii", "backslashreplace").decode(), flush=True)
    attempt("text", lambda: kv.text(arr, ts, "a\udc80", "CV2", 10, (255, 0, 0)))
    attempt("text_cv2", lambda: kv._text_cv2(arr, ts, (5.0, 50.0), "\ud800", (1, 2, 3), 1.0, 1, (3, 2, 1)))
    attempt("pillow", lambda: kv.text(arr, ts, "a\udc80", FONT, 12, (255, 0, 0)))
    attempt("text_size", lambda: kv.text_size("a\udc80", FONT, 12))
    attempt("load_image", lambda: kv.ASSETS.load_image("s", "img\udc80.png"))
    attempt("stored", lambda: print("s" in kv.ASSETS.images))
    attempt("command", lambda: kv.draw_command(arr, ts, "text, a\udc80, CV2, 10, 255,0,0, 1, 0"))
    attempt("window_size", lambda: kv.get_window_size("w\udc80"))
    attempt("init", lambda: kv.init(((120, 80), "w\udc80"), (0, 0, 0)))
    print("alive", flush=True)
""")


def test_surrogates_never_reach_opencv(tmp_path):
    script = tmp_path / "surrogates.py"
    script.write_text(f"FONT = {FONT!r}\n" + SURROGATE_SCRIPT)
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", PYTHONIOENCODING="utf-8:backslashreplace")
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr[-2000:]
    lines = r.stdout.splitlines()
    encode_error = "'utf-8' codec can't encode character"
    assert any(l.startswith("text UnicodeEncodeError " + encode_error + " '\\udc80' in position 1") for l in lines)
    assert any(l.startswith("text_cv2 UnicodeEncodeError " + encode_error + " '\\ud800' in position 0") for l in lines)
    assert "Asset Error loading image 's':" + encode_error + " '\\udc80' in position 3: surrogates not allowed" \
        in lines
    assert "load_image ok" in lines and "False" in lines  # nothing stored for the name
    assert "Execution Error @ Direct Call:" + encode_error + " '\\udc80' in position 1: surrogates not allowed " \
        "in text(...)" in lines
    for label in ("window_size", "init"):
        assert any(l.startswith(label + " UnicodeEncodeError " + encode_error + " '\\udc80' in position 1")
                   for l in lines), label
    assert lines[-1] == "alive"


def test_surrogate_guard_leaves_ordinary_text_alone(kv, ts):
    arr, ref = blank(), blank()
    kv.text(arr, ts, "Grüße ✓", "CV2", 2, RED, 1, True)
    cv2.putText(ref, "Grüße ✓", (300, 200), cv2.FONT_HERSHEY_SIMPLEX, 1.0, BGR_RED, 1, lineType=cv2.LINE_AA)
    assert np.array_equal(arr, ref)


def test_hershey_text_of_a_huge_font_scale_is_refused(kv, ts):
    # cv2.putText takes over ten seconds at font scale 1600
    t0 = time.perf_counter()
    with pytest.raises(ValueError, match=r"^_text_cv2: font scale 1600 is beyond 256 "):
        kv.text(blank(), ts, "WM", "CV2", 3200, RED, 1, True)
    assert time.perf_counter() - t0 < limit_of(0.5)


def test_hershey_text_at_the_font_scale_limit_is_drawn(kv, ts):
    arr, ref = blank(), blank()
    ts["cursor_pos"] = (-300.0, 0.0)
    kv.text(arr, ts, "i", "CV2", 512, RED, 1, False)
    cv2.putText(ref, "i", (0, 200), cv2.FONT_HERSHEY_SIMPLEX, 256.0, BGR_RED, 1, lineType=cv2.LINE_4)
    assert np.array_equal(arr, ref) and arr.any()


# ---- segment counts ---------------------------------------------------------------------

@pytest.mark.parametrize("call, shape, count", [
    (lambda kv, ts: kv.circle(blank(), ts, 1e9, RED), "circle", 111111111),
    (lambda kv, ts: kv.circle(blank(), ts, 1.0, RED, multiplier=4194305.0), "circle", 4194305),
    (lambda kv, ts: kv.arc(blank(), ts, 1e7, 0, 360, RED), "arc", 60000000),
    (lambda kv, ts: kv.arc(blank(), ts, 1.0, 0, 180, RED, multiplier=2.0 ** 30), "arc", 3221225472 // 1),
])
def test_round_shapes_refuse_millions_of_segments(kv, ts, call, shape, count):
    if count > 2 ** 31 - 1:
        with pytest.raises(OverflowError, match="value too large to convert to int"):
            timed(lambda: call(kv, ts))
        return
    with pytest.raises(ValueError) as e:
        timed(lambda: call(kv, ts), 0.1)
    assert str(e.value) == f"{shape}: {count} segments exceed the limit of 4194304 (radius or multiplier too large)"
    assert ts["cursor_pos"] == (0.0, 0.0)


def test_3d_ellipse_refuses_millions_of_segments(kv, ts):
    ts["is_3d"] = True
    with pytest.raises(ValueError, match="^ellipse: 4194306 segments exceed the limit of 4194304"):
        timed(lambda: kv.ellipse(blank(), ts, 1.0, 1.0, RED, multiplier=2097153.0), 0.1)


def test_segment_limit_itself_is_drawn(kv, ts):
    # Exactly at the limit the circle is drawn (a single point on screen).
    arr = blank()
    timed(lambda: kv.circle(arr, ts, 1e-9, RED, multiplier=4194304.0e9), 5.0)
    assert arr[200, 300].tolist() == list(BGR_RED)


# ---- fills far above the canvas ------------------------------------------------------------

def test_fill_reaching_far_above_the_canvas_is_refused(kv, ts):
    ts["size"] = 1e9
    for cursor, call, what in [
            ((0.0, 0.0), lambda: kv.circle(blank(), ts, 1.0, RED, fill=True), "fillPoly"),
            ((-1.0, -1.0), lambda: kv.rect(blank(), ts, (2.0, 2.0), RED, 1, True), "rect"),
            ((0.0, 0.0), lambda: kv.ellipse(blank(), ts, 1.0, 1.0, RED, fill=True), "ellipse"),
            ((-1.0, -1.0), lambda: kv.quad(blank(), ts, (2, 0), (0, 2), (-2, 0), RED, 1, True), "fillPoly")]:
        ts["cursor_pos"] = cursor
        with pytest.raises(ValueError, match=f"^{what}: a filled shape reaching \\d+ pixels above the canvas is "
                                             "beyond the fill limit of 16777216 pixels$"):
            timed(call, 0.1)


def test_fill_far_away_from_the_canvas_draws_nothing_quickly(kv, ts):
    # Shapes that miss the canvas altogether are left to OpenCV, which skips them at once.
    ts["cursor_pos"] = (2e9, -1.5e9)
    arr = blank()
    timed(lambda: kv.poly(arr, ts, ((1e8, 0), (0, 1e8)), RED, 1, True), 0.2)
    ts["cursor_pos"] = (0.0, -2e9)
    timed(lambda: kv.rect(arr, ts, (10.0, 10.0), RED, 1, True), 0.2)
    assert not arr.any()


def test_fill_within_reach_is_drawn_by_opencv(kv, ts):
    arr, ref = blank(), blank()
    ts["cursor_pos"] = (0.0, -16777000.0)
    kv.poly(arr, ts, ((100, 16777100), (-100, 0)), RED, 1, True)
    pts = np.array([(300, -16776800), (400, 300), (300, 300)], np.int32).reshape((-1, 1, 2))
    cv2.fillPoly(ref, [pts], BGR_RED)
    assert np.array_equal(arr, ref) and arr.any()


# ---- thick outlines of many points ------------------------------------------------------------

def test_thick_outline_of_many_points_is_refused(kv, ts):
    with pytest.raises(ValueError, match=r"^polylines: 600001 points at thickness 32767 exceed the outline "
                                         r"limit \(points x thickness > 33554432\)$"):
        timed(lambda: kv.arc(blank(), ts, 1e5, 0, 360, RED, 32767), 0.2)
    with pytest.raises(ValueError, match="^polylines: "):
        timed(lambda: kv.graph(blank(), ts, lambda x: x % 2 * 300, 0, 1000, RED, 2000, resolution=20000,
                               max_depth=0), 1.0)


def test_thick_outline_within_the_limit_matches_cv2(kv, ts):
    arr, ref = blank(), blank()
    kv.poly(arr, ts, ((100, 0), (0, 100)), RED, 1000, False)
    pts = np.array([(300, 200), (400, 200), (400, 300)], np.int32).reshape((-1, 1, 2))
    cv2.polylines(ref, [pts], True, BGR_RED, 1000, lineType=cv2.LINE_4)
    assert np.array_equal(arr, ref)


# ---- graph ----------------------------------------------------------------------------------------

def test_graph_resolution_beyond_the_call_limit(kv, ts):
    calls = []
    with pytest.raises(ValueError, match="^graph: resolution 2147483647 exceeds the limit of 1048575 samples$"):
        timed(lambda: kv.graph(blank(), ts, calls.append, 0, 1, RED, resolution=2 ** 31 - 1), 0.1)
    assert calls == []
    with pytest.raises(ZeroDivisionError, match="float division"):
        kv.graph(blank(), ts, calls.append, 0, 1, RED, resolution=0)


def test_graph_refinement_stops_at_the_call_limit(kv, ts):
    calls = [0]

    def jumpy(x):  # never gets closer on screen, however finely it is bisected
        calls[0] += 1
        return 1000.0 if calls[0] % 2 else -1000.0

    timed(lambda: kv.graph(blank(), ts, jumpy, 0, 1, RED, resolution=10, max_depth=2 ** 31 - 1,
                           screen_dist_threshold=0.0), 3.0)
    assert calls[0] == 2 ** 20


def test_graph_with_default_settings_is_untouched_by_the_limit(kv, ts):
    calls = []
    kv.graph(blank(), ts, lambda x: calls.append(x) or math.sin(x * 40) * 100, -3, 3, RED)
    assert 101 < len(calls) < 3300


# ---- arrays of four or more dimensions ------------------------------------------------------

@pytest.mark.parametrize("shape", [(2, 2, 2, 3), (40, 60, 2, 3), (2, 2, 2, 2, 3)])
def test_fills_refuse_arrays_of_four_or_more_dimensions(kv, shape):
    # cv2.fillPoly writes past the end of such an array before raising.
    ts3 = make_record(is_3d=True)
    for call in [lambda a: kv.poly(a, make_record(), ((5, 0), (0, 5)), RED, 1, True),
                 lambda a: kv.circle(a, make_record(), 30, RED, 1, True),
                 lambda a: kv.quad(a, make_record(), (-600, 0), (0, -400), (600, 0), RED, 1, True),
                 lambda a: kv.rect(a, ts3, (5, 5), RED, 1, True),
                 lambda a: kv.ellipse(a, ts3, 5, 3, RED, 1, True)]:
        arr = np.zeros(shape, np.uint8)
        with pytest.raises(ValueError, match=f"^fillPoly: arr must have two or three dimensions, got {len(shape)}$"):
            call(arr)
        assert not arr.any()


def test_other_primitives_leave_such_arrays_to_opencv(kv):
    arr = np.zeros((2, 2, 2, 3), np.uint8)
    for call in [lambda: kv.clear(arr, make_record(), RED), lambda: kv.line(arr, make_record(), (5, 5), RED, 1),
                 lambda: kv.rect(arr, make_record(), (5, 5), RED, 1, True),
                 lambda: kv.circle(arr, make_record(), 30, RED, 3),
                 lambda: kv.ellipse(arr, make_record(), 5, 3, RED, 1, True),
                 lambda: kv.arc(arr, make_record(), 5, 0, 90, RED),
                 lambda: kv.graph(arr, make_record(), math.sin, 0, 3, RED),
                 lambda: kv.text(arr, make_record(), "a", "CV2", 10, RED)]:
        with pytest.raises(cv2.error, match="dims <= 2"):
            call()
    with pytest.raises(TypeError, match="^blit: arr must be a uint8 canvas of shape"):
        kv.blit(arr, make_record(), np.ones((2, 2, 3), np.uint8), (1.0, 1.0))
    assert not arr.any()


# ---- Pillow text far larger than any canvas -------------------------------------------------

def test_pillow_text_image_beyond_the_pixel_limit_is_refused(kv, ts):
    ts["size"] = 1000.0
    with pytest.raises(ValueError, match=r"^text: the rendered text would be \d+ x \d+ pixels, more than the "
                                         r"33554432 allowed$"):
        timed(lambda: kv.text(blank(), ts, "Wg", FONT, 10, RED), 0.5)


def test_pillow_text_within_the_pixel_limit_is_drawn(kv, ts):
    arr = blank()
    ts["size"] = 10.0
    kv.text(arr, ts, "W", FONT, 30, RED)
    assert (arr == BGR_RED).all(axis=2).any()


# ---- warps whose output would pass 2**32 bytes ----------------------------------------------

HUGE_WARPS = """
import sys
import numpy as np
from numpy.lib.stride_tricks import as_strided
import cv2

class Recorder:  # the module's cv2, with a warp that only records its output size
    def __getattr__(self, name):
        return getattr(cv2, name)
    def warpPerspective(self, src, m, dsize, flags):
        print("warp", dsize, src.shape[2])
        return np.zeros((1, 1, src.shape[2]), np.uint8)

ts = {"rot": 0.0, "size": 1.0, "shift": (10.0, 10.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
for h, w, c, record in [(33000, 33000, 4, False), (38000, 38000, 3, False), (32768, 32768, 4, False),
                        (32767, 32768, 4, True), (37837, 37837, 3, True)]:
    kv.cv2 = Recorder() if record else cv2
    canvas = as_strided(np.zeros(3, np.uint8), shape=(h, w, 3), strides=(0, 0, 1), writeable=True)
    try:
        kv.blit(canvas, ts, np.full((4, 4, c), 255, np.uint8), (1.0, 1.0))
    except Exception as e:
        print(type(e).__name__, e)
print(peak_growth_mb() < 100)
"""


def test_warp_output_of_2_to_the_32_bytes_is_refused():
    r = run_capped(HUGE_WARPS, cap_mb=1024)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])
    refused = "ValueError blit: a warped image of {} with {} channels would take 2**32 bytes or more, " \
              "which OpenCV's warp cannot handle"
    assert r.stdout.splitlines()[1:] == [
        refused.format("33000x33000", 4), refused.format("38000x38000", 3), refused.format("32768x32768", 4),
        # just below: the warp is called (here a stand-in, whose 1x1 result is then refused)
        "warp (32768, 32767) 4", "ValueError blit: the warped image is 1x1 but the canvas is 32767x32768",
        "warp (37837, 37837) 3", "ValueError blit: the warped image is 1x1 but the canvas is 37837x37837", "True"]
