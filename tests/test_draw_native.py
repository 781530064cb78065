"""Drawing straight into plain BGR canvases: the same random shapes drawn with
the module's cv2 bound to OpenCV (drawn without calling it) and to a thin proxy
module holding OpenCV's functions (every shape goes through cv2) must leave
equal bytes and raise equal errors; rebinding cv2 or one of its functions, and
every canvas form OpenCV treats otherwise, goes through cv2."""

import math
import types

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import make_record, run_python

SETTINGS = settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
# the fills take a shortcut for polygons that run down and back up: many more examples
FILL_SETTINGS = settings(SETTINGS, max_examples=600)


def proxy_module():
    """A module that is not OpenCV but holds OpenCV's names as they are now."""
    m = types.ModuleType("cv2_proxy")
    m.__dict__.update({k: v for k, v in vars(cv2).items() if not k.startswith("__")})
    return m


def outcome(fn, arr):
    try:
        fn(arr)
    except Exception as e:  # the error is part of what must match
        return type(e), str(e)
    return None


def assert_same_drawing(kv, fn, arr):
    """fn(canvas) through the native path and through cv2, on copies of arr
    (or on two arrays from arr() where the layout and flags matter)."""
    native, through = (arr(), arr()) if callable(arr) else (arr.copy(), arr.copy())
    got = outcome(fn, native)
    saved = kv.cv2
    kv.cv2 = proxy_module()
    try:
        want = outcome(fn, through)
    finally:
        kv.cv2 = saved
    assert got == want
    if native.size:
        diff = np.argwhere(native != through)
        assert diff.size == 0, f"{len(diff)} bytes differ, first at {diff[0].tolist()}"


def record(x, y, rot=0.0, size=1.0):
    ts = make_record(shift=(0.0, 0.0), cursor_pos=(x, y), rot=rot, size=size)
    return ts


# ---- strategies ------------------------------------------------------------------

W, H = 64, 48
# coordinates around the canvas, far beyond it, and on its edges
near = st.floats(-40, W + 40, allow_nan=False)
far = st.floats(-1e6, 1e6, allow_nan=False)
edge = st.sampled_from([-1.0, 0.0, 0.5, W - 1.0, W + 0.0, H - 1.0, H + 0.0, -30.0, 2.0**31, -(2.0**31) - 5])
coord = st.one_of(near, near, far, edge)
step = st.one_of(st.floats(-80, 80, allow_nan=False), st.floats(-1e5, 1e5, allow_nan=False), st.just(0.0))
thickness = st.one_of(st.integers(1, 3), st.integers(1, 30))
channel = st.one_of(st.integers(0, 255), st.integers(-300, 600), st.floats(-10, 300, allow_nan=False))
colors = st.tuples(channel, channel, channel)
# what a program rebinds cv2.LINE_4 to: the library then draws that line type
line_types = st.sampled_from([None, cv2.LINE_8, cv2.LINE_4, 0, 1])
canvases = st.sampled_from([(H, W), (H, W), (1, 1), (3, 200), (200, 2)])


@pytest.fixture
def line_type(monkeypatch):
    def use(lt):
        if lt is not None:
            monkeypatch.setattr(cv2, "LINE_4", lt)

    return use


def canvas(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, (*shape, 3), dtype=np.uint8)


common = dict(shape=canvases, seed=st.integers(0, 3), color=colors, aa=st.booleans(), lt=line_types)


# ---- property tests ----------------------------------------------------------------


@SETTINGS
@given(x=coord, y=coord, d=st.tuples(step, step), t=thickness, **common)
def test_line(kv, line_type, x, y, d, t, shape, seed, color, aa, lt):
    line_type(lt)
    assert_same_drawing(kv, lambda a: kv.line(a, record(x, y), d, color, t, aa), canvas(shape, seed))


@SETTINGS
@given(x=coord, y=coord, wh=st.tuples(step, step), t=thickness, fill=st.booleans(), **common)
def test_rect(kv, line_type, x, y, wh, t, fill, shape, seed, color, aa, lt):
    line_type(lt)
    assert_same_drawing(kv, lambda a: kv.rect(a, record(x, y), wh, color, t, fill, aa), canvas(shape, seed))


# polygons that run down and then back up, with flat stretches anywhere
down_up = st.tuples(st.lists(st.tuples(step, st.one_of(st.floats(0, 40), st.just(0.0))), max_size=8),
                    st.lists(st.tuples(step, st.one_of(st.floats(-40, 0), st.just(0.0))), max_size=8))


# open polygons through their displacements: self-intersecting, degenerate
# (repeated, collinear points) and single-point ones come up on their own
@FILL_SETTINGS
@given(x=coord, y=coord, ds=st.one_of(st.lists(st.tuples(step, step), max_size=12), down_up.map(lambda t: t[0] + t[1]))
       .map(tuple), t=thickness, fill=st.booleans(), **common)
def test_poly(kv, line_type, x, y, ds, t, fill, shape, seed, color, aa, lt):
    line_type(lt)
    assert_same_drawing(kv, lambda a: kv.poly(a, record(x, y), ds, color, t, fill, aa), canvas(shape, seed))


radius = st.one_of(st.floats(0, 12), st.floats(0, 400), st.floats(400, 20000), st.sampled_from([0, 0.5, 1, 2, 3]))


@FILL_SETTINGS
@given(x=coord, y=coord, r=radius, rot=st.one_of(st.just(0.0), st.floats(-720, 720)),
       size=st.sampled_from([1.0, 0.5, 2.5, -1.0, float("nan")]), t=thickness, fill=st.booleans(),
       m=st.sampled_from([1.0, 0.3, 3.0]), **common)
def test_circle(kv, line_type, x, y, r, rot, size, t, fill, m, shape, seed, color, aa, lt):
    line_type(lt)
    pens = []  # where each drawing leaves the pen: back where it was, or on the start point after an error

    def draw(a):
        ts = record(x, y, rot, size)
        try:
            kv.circle(a, ts, r, color, t, fill, aa, m)
        finally:
            pens.append(ts["cursor_pos"])

    assert_same_drawing(kv, draw, canvas(shape, seed))
    assert pens[0] == pens[1] and type(pens[0][0]) is type(pens[1][0])


@SETTINGS
@given(x=coord, y=coord, rx=radius, ry=radius, rot=st.floats(-720, 720), size=st.sampled_from([1.0, 0.5, 2.5, -1.0]),
       t=thickness, fill=st.booleans(), **common)
def test_ellipse(kv, line_type, x, y, rx, ry, rot, size, t, fill, shape, seed, color, aa, lt):
    line_type(lt)
    fn = lambda a: kv.ellipse(a, record(x, y, rot, size), rx, ry, color, t, fill, aa)  # noqa: E731
    assert_same_drawing(kv, fn, canvas(shape, seed))


@SETTINGS
@given(x=coord, y=coord, r=radius, start=st.floats(-400, 400), end=st.floats(-400, 400), t=thickness, **common)
def test_arc(kv, line_type, x, y, r, start, end, t, shape, seed, color, aa, lt):
    line_type(lt)
    assert_same_drawing(kv, lambda a: kv.arc(a, record(x, y), r, start, end, color, t, aa), canvas(shape, seed))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(x=near, y=near, scale=st.floats(0.5, 40), t=thickness, seed=st.integers(0, 3), color=colors, aa=st.booleans())
def test_graph(kv, x, y, scale, t, seed, color, aa):
    fn = lambda a: kv.graph(a, record(x, y), math.tan, -3, 3, color, t, aa, x_scale=scale, y_scale=scale)  # noqa: E731
    assert_same_drawing(kv, fn, canvas((H, W), seed))


def test_shapes_on_a_full_size_canvas(kv):
    # the shapes of a frame, each drawn over the previous ones
    arr = canvas((600, 800), 0)

    def frame(a):
        ts = record(400.0, 300.0)  # the lines move the pen
        kv.line(a, ts, (100, 0), (255, 0, 0), 1)
        kv.line(a, ts, (-180, 120), (0, 255, 0), 1, True)
        kv.rect(a, ts, (100, 80), (0, 0, 255), 3)
        kv.rect(a, ts, (-50, -40), (9, 99, 199), 1, True)
        kv.circle(a, ts, 100, (200, 10, 10), 7, False, True)
        kv.circle(a, ts, 250, (10, 200, 10), 1, True)
        kv.arc(a, ts, 100, 0, 180, (10, 10, 200), 12)
        kv.graph(a, ts, math.sin, -10, 10, (255, 255, 0), x_scale=30, y_scale=30)

    assert_same_drawing(kv, frame, arr)


# ---- what goes through cv2 ---------------------------------------------------------


def test_a_rebound_cv2_function_is_called(kv, monkeypatch):
    calls = []
    for name in ("line", "rectangle", "polylines", "fillPoly", "ellipse"):
        real = getattr(cv2, name)
        monkeypatch.setattr(cv2, name, lambda *a, _n=name, _f=real, **k: (calls.append(_n), _f(*a, **k))[1])
    arr = canvas((H, W), 1)
    ts = record(10.0, 10.0)
    kv.line(arr, ts, (20, 5), (255, 0, 0), 1)
    kv.rect(arr, ts, (20, 5), (255, 0, 0), 1, True)
    kv.poly(arr, ts, ((5, 5), (-9, 3)), (255, 0, 0), 1)
    kv.poly(arr, ts, ((5, 5), (-9, 3)), (255, 0, 0), 1, True)
    kv.ellipse(arr, ts, 9, 4, (255, 0, 0))
    assert calls == ["line", "rectangle", "polylines", "fillPoly", "ellipse"]


@pytest.mark.parametrize("fill", [False, True])
def test_a_rebound_function_sees_the_circles_pen_on_its_start_point(kv, monkeypatch, fill):
    name = "fillPoly" if fill else "polylines"
    real, ts, seen = getattr(cv2, name), record(1.0, 2.0), []
    monkeypatch.setattr(cv2, name, lambda *a, **k: (seen.append(ts["cursor_pos"]), real(*a, **k))[1])
    kv.circle(canvas((H, W), 1), ts, 10, (255, 0, 0), 1, fill)
    assert seen == [(11.0, 2.0)] and ts["cursor_pos"] == (1.0, 2.0)


@pytest.mark.parametrize("key", ["rot", "size", "shift", "cursor_pos", "is_3d", "full_transform", None])
def test_circle_on_a_record_with_keys_made_at_run_time(kv, key):
    # Keys equal to the names but not the same objects (or a key that is no
    # str at all): the same drawing and the pen back where it was.
    def base():
        ts = record(20.0, 15.0, 30.0)
        if key == "full_transform":
            ts[key] = np.diag([1.5, 1.25, 1.0])
        return ts

    want = canvas((H, W), 1)
    kv.circle(want, base(), 9, (255, 0, 0), 1, True)
    ts = base()
    if key is None:
        ts[("not", "a", "str")] = 1
    else:
        ts["".join(list(key))] = ts.pop(key)
    got = canvas((H, W), 1)
    kv.circle(got, ts, 9, (255, 0, 0), 1, True)
    np.testing.assert_array_equal(got, want)
    assert ts["cursor_pos"] == (20.0, 15.0)


def test_a_rebound_cv2_global_is_called(kv):
    calls = []
    proxy = proxy_module()
    real = cv2.polylines
    proxy.polylines = lambda *a, **k: (calls.append(a[1][0].reshape(-1, 2).tolist()), real(*a, **k))[1]
    saved = kv.cv2
    kv.cv2 = proxy
    try:
        kv.poly(canvas((H, W), 1), record(10.0, 10.0), ((5, 5), (-9, 3)), (255, 0, 0), 1)
    finally:
        kv.cv2 = saved
    assert calls == [[[10, 10], [15, 15], [6, 18]]]


class CanvasArray(np.ndarray):
    pass


def forms():
    base = canvas((H, W), 2)
    ro = base.copy()
    ro.flags.writeable = False
    return {
        "strided view": base[:, ::2],
        "column slice": base[:, 5:40],
        "float": base.astype(np.float32),
        "uint16": base.astype(np.uint16) * 200,
        "gray": base[:, :, 0].copy(),
        "two channels": base[:, :, :2].copy(),
        "bgra": np.dstack([base, base[:, :, :1]]),
        "read-only": ro,
        "fortran": np.asfortranarray(base),
        "subclass": base.copy().view(CanvasArray),
        "empty": np.zeros((0, W, 3), np.uint8),
    }


@pytest.mark.parametrize("form", list(forms()))
@pytest.mark.parametrize("shape", ["line", "line_aa", "rect", "rect_fill", "poly", "poly_fill", "circle", "ellipse",
                                   "clear"])
def test_other_canvas_forms_go_through_cv2(kv, form, shape):
    draw = {
        "clear": lambda a: kv.clear(a, None, (255, 9, 0)),
        "line": lambda a: kv.line(a, record(5.0, 7.0), (30, 20), (255, 9, 0), 3),
        "line_aa": lambda a: kv.line(a, record(5.0, 7.0), (30, 20), (255, 9, 0), 1, True),
        "rect": lambda a: kv.rect(a, record(5.0, 7.0), (30, 20), (255, 9, 0), 2),
        "rect_fill": lambda a: kv.rect(a, record(5.0, 7.0), (30, 20), (255, 9, 0), 1, True),
        "poly": lambda a: kv.poly(a, record(5.0, 7.0), ((30, 3), (-9, 20)), (255, 9, 0), 2, False, True),
        "poly_fill": lambda a: kv.poly(a, record(5.0, 7.0), ((30, 3), (-9, 20)), (255, 9, 0), 1, True),
        "circle": lambda a: kv.circle(a, record(5.0, 7.0), 12, (255, 9, 0)),
        "ellipse": lambda a: kv.ellipse(a, record(5.0, 7.0), 12, 5, (255, 9, 0), 1, True),
    }[shape]
    assert_same_drawing(kv, draw, lambda: forms()[form])


@pytest.mark.parametrize("color", [None, (1, 2), (1.5, 2.5, 3.5), (True, 2, 3), (np.uint8(7), 1, 2), (2**40, 0, 0),
                                   (float("nan"), 0, 0), (float("inf"), 0, 0), (0, 0, 0, 255)])
def test_colours_convert_as_cv2_converts_them(kv, color):
    assert_same_drawing(kv, lambda a: kv.line(a, record(5.0, 7.0), (30, 20), color, 2), canvas((H, W), 3))
    assert_same_drawing(kv, lambda a: kv.poly(a, record(5.0, 7.0), ((30, 3), (-9, 20)), color, 1, True), canvas((H, W), 3))
    for shape in ((H, W), (1, 1), (3, 7), (5, 200)):  # clear: one colour, or three equal bytes
        for c in (color, (9, 9, 9)):
            assert_same_drawing(kv, lambda a: kv.clear(a, None, c), canvas(shape, 3))


# ---- which path a drawing takes --------------------------------------------------

# A polygon of 400 vertices: through cv2 it becomes a (400, 1, 2) int32 array
# of 3200 bytes (NumPy reports its buffers to tracemalloc); drawn natively it
# stays in the core's own memory.
PEAK_SCRIPT = """
import tracemalloc
import numpy as np
from kelvracv import _kelvra_core as kv
ts = {"rot": 0.0, "size": 1.0, "shift": (0.0, 0.0), "cursor_pos": (1.0, 1.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
arr = np.zeros((48, 64, 3), np.uint8)
ds = tuple((0.125, 0.0625) for _ in range(399))
color = (255, 0, 0)
kv.poly(arr, ts, ds, color, 1)
tracemalloc.start()
base = tracemalloc.get_traced_memory()[0]
kv.poly(arr, ts, ds, color, 1)
print(tracemalloc.get_traced_memory()[1] - base)
"""


def drawing_peak(prelude=""):
    r = run_python(prelude + PEAK_SCRIPT)
    assert r.returncode == 0, r.stderr
    return int(r.stdout.split()[-1])


def native_drawing():
    from kelvracv import _kelvra_core

    return _kelvra_core.__opencv_profile__()["native drawing"] is None


@pytest.mark.skipif(not native_drawing(), reason="native drawing off in this OpenCV profile")
def test_a_plain_canvas_is_drawn_without_cv2():
    native = drawing_peak()
    through = drawing_peak("import kelvracv._kelvra_core as _k, types, cv2\n"
                           "_p = types.ModuleType('p'); _p.__dict__.update(vars(cv2)); _k.cv2 = _p\n")
    assert native < 3200 <= through


def test_an_unverified_opencv_version_goes_through_cv2():
    # the version is checked when the module starts
    assert drawing_peak("import cv2; cv2.__version__ = '4.9.9'\n") >= 3200
