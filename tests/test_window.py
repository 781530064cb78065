"""Window creation, window queries and the frame loop.

Protocol and pacing cases run in this process with a recording stand-in bound
as the module's `cv2` and `time` (the loop must look both up at each use) and
with stand-in pynput modules, so no real listener starts here. The real
components are exercised in one child process on the Xvfb display: a real
OpenCV window, the real pynput listeners fed by xdotool, a screen grab of the
window, its title, a resize, Escape, and closing the window.
"""

import json
import os
import re
import shutil
import subprocess
import threading
import sys
import textwrap
import time as real_time

import cv2 as real_cv2
import numpy as np
import pytest

from conftest import limit

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- stand-ins ---------------------------------------------------------------


class RecordingCV2:
    """Records the window calls; drawing calls go to the real cv2."""

    WINDOW_NORMAL = real_cv2.WINDOW_NORMAL
    WINDOW_KEEPRATIO = real_cv2.WINDOW_KEEPRATIO
    WND_PROP_VISIBLE = real_cv2.WND_PROP_VISIBLE

    def __init__(self, keys=(), visible=1.0, rects=()):
        self.calls = []
        self.keys = list(keys)
        self.visible = visible
        self.rects = list(rects)
        self.shown = []

    def __getattr__(self, name):
        return getattr(real_cv2, name)

    def names(self):
        return [c[0] for c in self.calls]

    def namedWindow(self, name, flags):
        self.calls.append(("namedWindow", name, flags))

    def resizeWindow(self, name, w, h):
        self.calls.append(("resizeWindow", name, w, h))

    def imshow(self, name, img):
        self.calls.append(("imshow", name))
        self.shown.append(img.copy())

    def waitKey(self, delay):
        self.calls.append(("waitKey", delay))
        return self.keys.pop(0) if self.keys else -1

    def getWindowProperty(self, name, prop):
        self.calls.append(("getWindowProperty", name, prop))
        return self.visible

    def getWindowImageRect(self, name):
        self.calls.append(("getWindowImageRect", name))
        return self.rects.pop(0)

    def setWindowTitle(self, name, title):
        self.calls.append(("setWindowTitle", name, title))

    def destroyAllWindows(self):
        self.calls.append(("destroyAllWindows",))


class FakeTime:
    """A clock that moves only when slept on or pushed by the test."""

    def __init__(self, sleep_advances=True):
        self.t = 1000.0
        self.sleeps = []
        self.sleep_advances = sleep_advances

    def time(self):
        return self.t

    def sleep(self, d):
        if threading.current_thread() is not threading.main_thread():
            return real_time.sleep(d)  # the volume monitor also sleeps through the module's time
        self.sleeps.append(d)
        if self.sleep_advances:
            self.t += d


class FakeListener:
    started = []

    def __init__(self, **callbacks):
        self.callbacks = callbacks

    def start(self):
        FakeListener.started.append(self)


class FakeInput:
    Listener = FakeListener


@pytest.fixture
def listeners(kv):
    """Forgets the listener bookkeeping of init for one test, then restores it."""
    saved = {k: kv.init.__dict__.pop(k) for k in ("listeners_started", "_kbd_listener", "_mouse_listener")
             if k in kv.init.__dict__}
    FakeListener.started = []
    yield
    for k in ("listeners_started", "_kbd_listener", "_mouse_listener"):
        kv.init.__dict__.pop(k, None)
    kv.init.__dict__.update(saved)


@pytest.fixture
def fake(kv, monkeypatch, listeners):
    """The module with a recording cv2, a fake clock and stand-in pynput."""
    cv = RecordingCV2()
    clock = FakeTime()
    monkeypatch.setattr(kv, "cv2", cv)
    monkeypatch.setattr(kv, "time", clock)
    monkeypatch.setattr(kv, "keyboard", FakeInput)
    monkeypatch.setattr(kv, "mouse", FakeInput)
    monkeypatch.setattr(kv, "RUN", True)
    return kv, cv, clock


# ---- window descriptions -------------------------------------------------------


def test_win_props(kv):
    default = ((600, 400), "Kelvra Window")
    for wi in (None, [(640, 480), "x"], ((640, 480), "x", 1), (), 5):
        assert kv._get_win_props(wi) == default
    wi = ((640, 480), "x")
    assert kv._get_win_props(wi) is wi
    assert kv.convert_win_info(5) == "Kelvra Window"
    assert kv.convert_win_info(wi) == "x"


def test_convert_win_info_looks_up_win_props(kv, monkeypatch):
    monkeypatch.setattr(kv, "_get_win_props", lambda wi: ("a", "b", "c"))
    assert kv.convert_win_info(None) == "b"


def test_get_window_size(kv, monkeypatch):
    class Rect:
        """Fails when an item it should not need is read."""

        def __init__(self, w):
            self.w = w

        def __getitem__(self, i):
            if i == 2:
                return self.w
            raise AssertionError("height read")

    cv = RecordingCV2(rects=[(3, 4, 800, 500), Rect(0), (0, 0, 5, 0), Rect(-1)])
    monkeypatch.setattr(kv, "cv2", cv)
    assert kv.get_window_size("w") == (800, 500)
    assert kv.get_window_size("w") == (-1, -1)
    assert kv.get_window_size("w") == (-1, -1)
    assert kv.get_window_size("w") == (-1, -1)
    assert cv.calls[0] == ("getWindowImageRect", "w")
    with pytest.raises(TypeError, match=r"^Argument 'window_name' has incorrect type \(expected str, got int\)"):
        kv.get_window_size(5)


# ---- init --------------------------------------------------------------------


def test_init_makes_window_canvas_and_record(fake):
    kv, cv, _ = fake
    canvas, ts = kv.init(((640, 480), "win"), (255, 0, 0))
    assert cv.calls == [
        ("namedWindow", "win", real_cv2.WINDOW_NORMAL | real_cv2.WINDOW_KEEPRATIO),
        ("resizeWindow", "win", 640, 480),
    ]
    assert canvas.shape == (480, 640, 3) and canvas.dtype == np.uint8
    assert (canvas == np.array([0, 0, 255], np.uint8)).all()
    assert list(ts) == ["rot", "size", "shift", "cursor_pos", "full_transform", "full_transform_inv",
                        "cam_pos_3d", "cam_rot_3d", "is_3d"]
    assert ts == {"rot": 0.0, "size": 1.0, "shift": (320.0, 240.0), "cursor_pos": (0.0, 0.0),
                  "full_transform": None, "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0),
                  "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
    assert type(ts["shift"][0]) is float and ts["is_3d"] is False


def test_init_default_window_for_other_descriptions(fake):
    kv, cv, _ = fake
    canvas, ts = kv.init("nonsense", (1, 2, 3))
    assert cv.calls[1] == ("resizeWindow", "Kelvra Window", 600, 400)
    assert canvas.shape == (400, 600, 3) and tuple(canvas[0, 0]) == (3, 2, 1)
    assert ts["shift"] == (300.0, 200.0)


def test_init_starts_listeners_once(fake):
    kv, _, _ = fake
    c1, ts1 = kv.init(((64, 48), "a"), (0, 0, 0))
    kbd, mse = FakeListener.started
    assert kv.init.listeners_started is True
    assert kv.init._kbd_listener is kbd and kv.init._mouse_listener is mse
    assert kbd.callbacks == {"on_press": kv.on_press, "on_release": kv.on_release}
    assert mse.callbacks == {"on_move": kv.on_move, "on_click": kv.on_click, "on_scroll": kv.on_scroll}
    assert kbd.daemon is True and mse.daemon is True
    c2, ts2 = kv.init(((64, 48), "a"), (0, 0, 0))
    assert len(FakeListener.started) == 2
    assert c2 is not c1 and ts2 is not ts1 and ts2 == ts1


def test_listener_failure_prints_one_warning_and_is_not_retried(fake, monkeypatch, capsys):
    kv, _, _ = fake

    class NoDaemon(FakeListener):
        def __setattr__(self, name, value):
            if name == "daemon":
                raise RuntimeError("no flag")
            object.__setattr__(self, name, value)

    class Failing:
        class Listener(NoDaemon):
            def start(self):
                raise OSError("no display here")

    monkeypatch.setattr(kv, "keyboard", Failing)
    kv.init(None, (0, 0, 0))
    assert capsys.readouterr().out == "Warning: failed to start input listeners: no display here\n"
    assert kv.init.listeners_started is True
    assert not hasattr(kv.init, "_kbd_listener") and not hasattr(kv.init, "_mouse_listener")
    monkeypatch.setattr(kv, "keyboard", FakeInput)
    kv.init(None, (0, 0, 0))
    assert FakeListener.started == [] and capsys.readouterr().out == ""


def test_init_errors(fake, monkeypatch):
    kv, _, _ = fake
    kv.init.listeners_started = True
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        kv.init(None, [0, 0, 0])
    with pytest.raises(TypeError):
        kv.init(None, None)
    monkeypatch.setattr(kv, "_get_win_props", lambda wi: wi)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        kv.init(((1, 2, 3), "x"), (0, 0, 0))
    with pytest.raises(ValueError, match=r"^need more than 1 value to unpack$"):
        kv.init(((1,), "x"), (0, 0, 0))
    with pytest.raises(ValueError, match=r"^need more than 0 values to unpack$"):
        kv.init([], (0, 0, 0))
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        kv.init(iter([(1, 2), "x", 3]), (0, 0, 0))


# ---- the frame loop with stand-ins -----------------------------------------


def frames_shown(cv):
    return cv.names().count("imshow")


def test_false_ends_after_one_frame(fake):
    kv, cv, clock = fake
    seen = []

    def tick(arr, ts):
        seen.append((arr.copy(), ts))
        return False

    assert kv.run(tick, ((60, 40), "w"), (9, 8, 7)) is None
    assert kv.RUN is False
    assert len(seen) == 1 and (seen[0][0] == (7, 8, 9)).all()
    assert cv.names() == ["namedWindow", "resizeWindow", "imshow", "waitKey", "getWindowProperty",
                          "setWindowTitle", "destroyAllWindows"]
    assert cv.calls[3] == ("waitKey", 1)
    assert cv.calls[4] == ("getWindowProperty", "w", real_cv2.WND_PROP_VISIBLE)
    assert clock.sleeps == [1.0 / 61.5]
    assert cv.calls[5] == ("setWindowTitle", "w", "w | FPS:61.50")


def test_only_false_itself_stops(fake):
    kv, cv, _ = fake
    results = [None, 0, True, [], (1, 2, 3), "", False]
    kv.run(lambda arr, ts: results.pop(0), None, (0, 0, 0))
    assert frames_shown(cv) == 7 and results == []


def test_pair_replaces_flag_and_canvas(fake):
    kv, cv, _ = fake
    other = np.full((30, 50, 3), 77, np.uint8)
    got = []

    class Pair(tuple):
        pass

    def tick(arr, ts):
        got.append(arr)
        if len(got) == 1:
            return Pair((1, other))
        arr[:] = 5
        return ("", arr)  # false flag: stop after this frame

    kv.run(tick, ((60, 40), "w"), (10, 20, 30))
    assert got[1] is other and len(got) == 2
    assert (cv.shown[0] == 77).all()            # shown as the tick returned it
    assert (cv.shown[1] == 5).all()
    assert kv.RUN == ""


def test_canvas_is_cleared_every_frame_and_record_persists(fake):
    kv, cv, _ = fake
    seen = []

    def tick(arr, ts):
        seen.append((arr.copy(), dict(ts)))
        arr[:] = 255
        ts["rot"] += 10.0
        return len(seen) < 3

    kv.run(tick, ((20, 10), "w"), (1, 2, 3))
    for arr, _ in seen:
        assert (arr == (3, 2, 1)).all()
    assert [t["rot"] for _, t in seen] == [0.0, 10.0, 20.0]


def test_tick_exception_prints_one_line_and_ends_after_the_frame(fake, capsys):
    kv, cv, _ = fake

    def tick(arr, ts):
        raise ValueError("x went wrong")

    kv.run(tick, None, (0, 0, 0))
    out, err = capsys.readouterr()
    assert out == "Error in tick function:x went wrong\n"
    # the traceback on standard error names the failing line
    line = tick.__code__.co_firstlineno + 1
    assert err.startswith("Traceback (most recent call last):\n")
    assert f'"{__file__}", line {line}, in tick\n' in err and err.endswith("ValueError: x went wrong\n")
    assert kv.RUN is False
    assert cv.names()[-5:] == ["imshow", "waitKey", "getWindowProperty", "setWindowTitle", "destroyAllWindows"]


def test_bad_result_pair_is_reported_like_a_tick_error(fake, capsys):
    kv, cv, _ = fake

    class Odd(tuple):
        def __iter__(self):
            return iter((1, 2, 3))

    kv.run(lambda arr, ts: Odd((1, 2)), None, (0, 0, 0))
    assert capsys.readouterr().out == "Error in tick function:too many values to unpack (expected 2)\n"
    assert frames_shown(cv) == 1


def test_base_exceptions_propagate_without_destroying(fake):
    kv, cv, _ = fake

    def tick(arr, ts):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kv.run(tick, None, (0, 0, 0))
    assert "destroyAllWindows" not in cv.names() and "imshow" not in cv.names()


def test_a_second_run_runs_again(fake, monkeypatch):
    kv, cv, _ = fake
    kv.run(lambda arr, ts: False, None, (0, 0, 0))
    assert kv.RUN is False
    cv.calls.clear()
    real_init, seen = kv.init, []
    monkeypatch.setattr(kv, "init", lambda wi, bg: seen.append(kv.RUN) or real_init(wi, bg))
    calls = []
    kv.run(lambda arr, ts: calls.append(1) or len(calls) < 3, None, (0, 0, 0))
    assert seen == [True]  # set before init
    assert calls == [1, 1, 1] and frames_shown(cv) == 3 and kv.RUN is False


def test_run_global_rebound_by_the_tick_is_seen_next_frame(fake):
    kv, cv, _ = fake
    n = []

    def tick(arr, ts):
        n.append(1)
        kv.RUN = len(n) < 4
        return None

    kv.run(tick, None, (0, 0, 0))
    assert len(n) == 4


def test_mouse_position_through_the_window_image_area(fake, monkeypatch):
    kv, cv, _ = fake
    monkeypatch.setattr(kv, "MOUSE_SCR_POS", (400, 300))
    _, ts = kv.init(((800, 600), "w"), (0, 0, 0))
    ts.update(rot=30.0, size=1.5)
    # the image area at (300, 200) shows the 800 x 600 canvas at 400 x 300
    cv.rects = [(300, 200, 400, 300)]
    assert kv.get_input("mouse", "pos", ts) == kv.inverse_transform(((400 - 300) * 2.0, (300 - 200) * 2.0), ts)
    assert cv.calls[-1] == ("getWindowImageRect", "w") and kv.MOUSE_SCR_POS == (400, 300)
    # an empty image area, a window that is gone, failing queries: the desktop position as it is
    cv.rects = [(300, 200, 0, 300), (-1, -1, -1, -1), (300, 200, "x", 1)]  # then none left: IndexError
    for _ in range(4):
        assert kv.get_input("mouse", "pos", ts) == kv.inverse_transform((400, 300), ts)
    # within the frame loop, the size of the canvas the tick draws on counts: here 200 x 100
    small = np.zeros((100, 200, 3), np.uint8)
    kv.run(lambda arr, ts: (arr is not small, small), ((800, 600), "w"), (0, 0, 0))
    cv.rects = [(300, 200, 400, 300)]
    on_canvas = ((400 - 300) * (200 / 400), (300 - 200) * (100 / 300))
    assert kv.get_input("mouse", "pos", ts) == kv.inverse_transform(on_canvas, ts)


def test_escape_and_closed_window_stop(fake):
    kv, cv, _ = fake
    cv.keys = [-1, 27]
    kv.run(lambda a, t: None, None, (0, 0, 0))
    assert frames_shown(cv) == 2
    # the visibility is not asked when the key was Escape
    assert cv.names().count("getWindowProperty") == 1
    kv.RUN = True
    cv.calls.clear()
    cv.visible = 0.0
    kv.run(lambda a, t: None, None, (0, 0, 0))
    assert frames_shown(cv) == 1 and kv.RUN is False


def test_pacing_sleeps_the_rest_of_the_period(fake):
    kv, cv, clock = fake
    n = []

    def tick(arr, ts):
        n.append(1)
        clock.t += [0.004, 0.05][len(n) - 1]
        return len(n) < 2

    kv.run(tick, None, (0, 0, 0))
    assert clock.sleeps == [1.0 / 61.5 - ((1000.0 + 0.004) - 1000.0), 0]
    assert type(clock.sleeps[1]) is int
    titles = [c[2] for c in cv.calls if c[0] == "setWindowTitle"]
    assert titles == ["Kelvra Window | FPS:61.50", "Kelvra Window | FPS:20.00"]


def test_rate_falls_back_to_target_when_no_time_passed(fake, monkeypatch):
    kv, cv, _ = fake
    clock = FakeTime(sleep_advances=False)
    monkeypatch.setattr(kv, "time", clock)
    kv.run(lambda a, t: False, None, (0, 0, 0), target_fps=30)
    assert clock.sleeps == [1.0 / 31.5]
    assert cv.calls[-2] == ("setWindowTitle", "Kelvra Window", "Kelvra Window | FPS:31.50")


def test_target_fps_edge_values(fake):
    kv, cv, clock = fake
    with pytest.raises(ZeroDivisionError):
        kv.run(lambda a, t: False, None, (0, 0, 0), target_fps=-1.5)
    assert "imshow" not in cv.names()
    kv.run(lambda a, t: False, None, (0, 0, 0), target_fps=-3)
    assert clock.sleeps == [0]


def test_dynamic_resize(fake, capsys):
    kv, cv, _ = fake
    cv.rects = [(0, 0, 60, 40), (0, 0, 800, 500), (0, 0, 800, 500), (0, 0, 800, 0)]
    seen = []

    def tick(arr, ts):
        seen.append((arr.shape, ts["shift"], ts["rot"]))
        ts["rot"] = 5.0
        return None

    kv.run(tick, ((60, 40), "w"), (0, 0, 0), dynamic_resize=1)
    assert capsys.readouterr().out == "Resizing canvas to (800, 500)\n"
    assert seen == [((40, 60, 3), (30.0, 20.0), 0.0), ((500, 800, 3), (400.0, 250.0), 5.0),
                    ((500, 800, 3), (400.0, 250.0), 5.0)]
    # a window with no image area ends the loop before showing the frame
    assert frames_shown(cv) == 3 and kv.RUN is False
    assert cv.names()[-2:] == ["getWindowImageRect", "destroyAllWindows"]


def test_clear_rejects_a_replaced_canvas_or_record(fake):
    kv, cv, _ = fake
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy\.ndarray$"):
        kv.run(lambda a, t: (True, [1]), None, (0, 0, 0))
    assert "destroyAllWindows" not in cv.names()
    kv.RUN = True
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        kv.run(lambda a, t: None, None, [0, 0, 0])


def test_a_non_image_canvas_fails_in_imshow(fake, monkeypatch):
    kv, cv, _ = fake
    monkeypatch.setattr(cv, "imshow", real_cv2.imshow, raising=False)
    with pytest.raises(real_cv2.error):
        kv.run(lambda a, t: (True, np.zeros((4, 4, 7), np.float32)), None, (0, 0, 0))


# ---- real window, real listeners ---------------------------------------------


CHILD = textwrap.dedent(
    r"""
    import json, math, os, sys, threading
    import cv2
    from kelvracv import _kelvra_core as kv

    STATE = sys.argv[1]
    frames = [0]
    frames2 = []

    def dump(d):
        with open(STATE + ".tmp", "w") as f:
            json.dump(d, f)
        os.replace(STATE + ".tmp", STATE)

    def tick(arr, ts):
        frames[0] += 1
        ts["size"] = 2.0
        ts["rot"] = 90.0
        h, w = arr.shape[:2]
        cv2.rectangle(arr, (w // 8, h // 8), (w // 2, h // 2), (255, 0, 255), -1)
        dump({"frames": frames[0], "keys": kv.KEYS, "pos": kv.MOUSE_SCR_POS,
              "buttons": kv.MOUSE_STATE["buttons"], "scroll": kv.MOUSE_STATE["scroll"],
              "world": kv.get_input("mouse", "pos", ts), "shift": ts["shift"], "shape": arr.shape,
              "rect": cv2.getWindowImageRect("kvtest"), "left": kv.get_input("held", "Key.left")})
        return frames[0] < 1500

    def tick2(arr, ts):
        if not frames2:
            cv2.moveWindow("kvclose", 300, 200)
        frames2.append(1)
        dump({"frames2": len(frames2), "rect": cv2.getWindowImageRect("kvclose"), "pos": kv.MOUSE_SCR_POS,
              "world": kv.get_input("mouse", "pos", ts)})

    kv.run(tick, ((400, 300), "kvtest"), (10, 200, 30), dynamic_resize=True)
    print("first run ended", kv.RUN, json.dumps(kv.KEYS), flush=True)
    threads = threading.active_count()
    listeners = (kv.init._kbd_listener, kv.init._mouse_listener)
    kv.run(tick2, ((400, 300), "kvclose"), (0, 0, 0))  # runs although RUN is still False
    print("second run ended", kv.RUN, len(frames2) > 1, flush=True)
    ts = {"rot": 0.0, "size": 1.0, "shift": (0.0, 0.0)}
    pos = kv.MOUSE_SCR_POS
    print("window gone", kv.get_input("mouse", "pos", ts) == (float(pos[0]), float(pos[1]), 0.0), flush=True)
    assert (kv.init._kbd_listener, kv.init._mouse_listener) == listeners
    print("threads", threading.active_count() - threads, flush=True)
    """
)


def xdo(*args):
    return subprocess.run(["xdotool", *map(str, args)], check=True, capture_output=True, text=True,
                          timeout=20).stdout


def find_window(name, timeout=15.0):
    """The id of the visible window titled name. The search is repeated: it
    fails outright when another window disappears while it walks the tree."""
    end = real_time.time() + limit(timeout)
    while True:
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name], capture_output=True, text=True,
                           timeout=20)
        if r.returncode == 0 and r.stdout.split():
            return int(r.stdout.split()[0])
        if real_time.time() > end:
            raise AssertionError(f"no window {name!r}: {r.stderr}")
        real_time.sleep(0.05)


def wait_state(path, pred, timeout=6.0):
    end = real_time.time() + limit(timeout)
    last = None
    while real_time.time() < end:
        try:
            with open(path) as f:
                last = json.load(f)
            if pred(last):
                return last
        except (OSError, ValueError):
            pass
        real_time.sleep(0.02)
    raise AssertionError(f"state not reached; last state: {last}")


def close_window(win_id):
    """Asks the window to close the way a window manager does (WM_DELETE_WINDOW)."""
    from Xlib import X, display, protocol

    d = display.Display()
    w = d.create_resource_object("window", win_id)
    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    ev = protocol.event.ClientMessage(window=w, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    w.send_event(ev, event_mask=X.NoEventMask)
    d.flush()
    d.close()


def grab_screen(tmp_path):
    path = tmp_path / "screen.png"
    subprocess.run(["import", "-window", "root", str(path)], check=True, capture_output=True, timeout=20)
    return real_cv2.imread(str(path))


@pytest.mark.skipif(not os.environ.get("DISPLAY"), reason="needs a display (run under xvfb-run)")
@pytest.mark.skipif(not (shutil.which("xdotool") and shutil.which("import")), reason="needs xdotool and ImageMagick")
def test_real_window_and_input(tmp_path):
    state = str(tmp_path / "state.json")
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", PYGAME_HIDE_SUPPORT_PROMPT="1")
    child = subprocess.Popen([sys.executable, str(script), state], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        win = find_window("^kvtest")
        first = wait_state(state, lambda s: s["frames"] >= 5)

        # the title: name, " | FPS:" and the rate with two decimals
        title = xdo("getwindowname", win).strip()
        m = re.fullmatch(r"kvtest \| FPS:(\d+\.\d\d)", title)
        assert m and 30 < float(m.group(1)) < 80, title

        # the window shows what the tick drew: background and rectangle colours (BGR)
        screen = grab_screen(tmp_path)
        green = np.all(screen == (30, 200, 10), axis=2).sum()
        magenta = np.all(screen == (255, 0, 255), axis=2).sum()
        h, w = first["shape"][:2]
        assert magenta > 0.5 * (w // 2 - w // 8) * (h // 2 - h // 8), (magenta, first["shape"])
        assert green > magenta

        # keys, with the pointer outside the window so only the listener sees them
        xdo("mousemove", 1100, 900)
        xdo("keydown", "a")
        wait_state(state, lambda s: s["keys"] == {"a": True})
        xdo("keydown", "shift", "keydown", "b")
        wait_state(state, lambda s: s["keys"] == {"a": True, "Key.shift": True, "b": True})
        xdo("keyup", "b", "keyup", "shift", "keyup", "a", "keydown", "space")
        wait_state(state, lambda s: s["keys"] == {"Key.space": True})
        xdo("keyup", "space", "keydown", "Left")
        wait_state(state, lambda s: s["keys"] == {"Key.left": True} and s["left"] is True)
        xdo("keyup", "Left")
        wait_state(state, lambda s: s["keys"] == {} and s["left"] is False)

        # pointer position and its world position: into the canvas shown in the
        # window's image area, then through the record
        xdo("mousemove", 123, 77)
        s = wait_state(state, lambda s: s["pos"] == [123, 77])
        x, y, w, h = s["rect"]
        assert w > 0 and h > 0
        px, py = (123 - x) * (s["shape"][1] / w), (77 - y) * (s["shape"][0] / h)
        dx, dy = (px - s["shift"][0]) / 2.0, (py - s["shift"][1]) / 2.0
        assert s["world"] == pytest.approx([dy, -dx, 0.0])

        # buttons in the order left, right, middle; the wheel
        for button, index in ((1, 0), (3, 1), (2, 2)):
            xdo("mousedown", button)
            expect = [i == index for i in range(3)]
            wait_state(state, lambda s: s["buttons"] == expect)
            xdo("mouseup", button)
            wait_state(state, lambda s: s["buttons"] == [False] * 3)
        xdo("click", 4, "click", 4, "click", 4, "click", 5)
        wait_state(state, lambda s: s["scroll"] == 2.0)

        # resizing the window follows its image area
        before = wait_state(state, lambda s: True)
        xdo("windowsize", win, 800, 500)
        after = wait_state(state, lambda s: s["shape"][1] > before["shape"][1])
        sw, sh = after["shape"][1], after["shape"][0]
        assert after["shift"] == [sw / 2, sh / 2]

        # releasing Escape anywhere ends the loop
        xdo("mousemove", 1100, 900, "key", "Escape")
        win2 = find_window("^kvclose")

        # a second loop runs; its window, moved away from the desktop origin, shows the
        # 400 x 300 canvas (scaled to fit beside the toolbar): the pointer over the
        # centre of its image area is the world origin
        s = wait_state(state, lambda s: s.get("frames2", 0) > 2 and s["rect"][0] >= 300)
        x, y, w, h = s["rect"]
        cx, cy = x + w // 2, y + h // 2
        xdo("mousemove", cx, cy)
        s = wait_state(state, lambda s: "frames2" in s and s["pos"] == [cx, cy] and s["rect"] == [x, y, w, h])
        expected = [(cx - x) * (400 / w) - 200, (cy - y) * (300 / h) - 150, 0.0]
        assert s["world"] == pytest.approx(expected) and max(map(abs, s["world"])) <= max(400 / w, 300 / h)
        xdo("mousemove", 1100, 900)
        # the close request is repeated until the loop sees it: the first one may
        # reach the window before it handles WM_DELETE_WINDOW
        end = real_time.time() + limit(15)
        while child.poll() is None and real_time.time() < end:
            real_time.sleep(0.3)
            close_window(win2)
        out, err = child.communicate(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    lines = out.splitlines()
    resizes = [ln for ln in lines if ln.startswith("Resizing canvas to (")]
    assert f"Resizing canvas to ({sw}, {sh})" in resizes
    assert all(re.fullmatch(r"Resizing canvas to \(\d+, \d+\)", ln) for ln in resizes)
    assert "first run ended False {}" in lines
    assert "second run ended False True" in lines
    assert "window gone True" in lines
    assert "threads 0" in lines


TAPS = textwrap.dedent(
    r"""
    import json, os, sys
    from kelvracv import _kelvra_core as kv

    STATE = sys.argv[1]
    st = {"frames": 0, "was": [False, False], "edges": [0, 0], "held": [0, 0]}

    def tick(arr, ts):
        st["frames"] += 1
        for i, now in enumerate((kv.get_input("held", "Key.left"), kv.get_input("mouse", "buttons")[0])):
            st["edges"][i] += now and not st["was"][i]
            st["held"][i] += bool(now)
            st["was"][i] = bool(now)
        with open(STATE + ".tmp", "w") as f:
            json.dump(st, f)
        os.replace(STATE + ".tmp", STATE)

    kv.run(tick, ((200, 150), "kvtaps"), (0, 0, 0))
    """
)


@pytest.mark.skipif(not os.environ.get("DISPLAY"), reason="needs a display (run under xvfb-run)")
@pytest.mark.skipif(not shutil.which("xdotool"), reason="needs xdotool")
def test_instant_taps_and_clicks_are_each_seen_for_one_frame(tmp_path):
    state = str(tmp_path / "state.json")
    script = tmp_path / "taps.py"
    script.write_text(TAPS)
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", PYGAME_HIDE_SUPPORT_PROMPT="1")
    child = subprocess.Popen([sys.executable, str(script), state], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        find_window("^kvtaps")
        wait_state(state, lambda s: s["frames"] >= 5)
        xdo("mousemove", 1100, 900)  # away from the window: only the listeners see them
        events = []
        for _ in range(20):  # press and release with nothing between them
            events += ["keydown", "--delay", 0, "Left", "keyup", "--delay", 0, "Left", "mousedown", 1, "mouseup", 1,
                       "sleep", 0.2]
        xdo(*events)
        s = wait_state(state, lambda s: min(s["held"]) >= 20)
        real_time.sleep(0.2)  # nothing more comes
        s = wait_state(state, lambda s: True)
        # Each tap is one held frame. On a loaded machine a frame can come late, so
        # that the next tap lands on the very next frame: held twice in a row, one
        # rising edge for two taps. Most taps still stand alone.
        assert s["held"] == [20, 20] and min(s["edges"]) >= 15, s
        xdo("key", "Escape")
        child.communicate(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
