"""Headless runs, the frame limit, recording and the command line.

The loop's protocol runs in this process with the recording cv2 stand-in of
test_window (so the window calls that are left out can be counted); the real
components run in child processes without a display and without an audio
driver chosen: the import, headless runs, recordings read back with OpenCV
and Pillow, and the command line.
"""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from test_window import RecordingCV2, fake, listeners, FakeListener  # noqa: F401 (fixtures)

HERE = os.path.dirname(os.path.abspath(__file__))


def bare_env(**extra):
    """The environment of a server: no display, no audio driver chosen."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "SDL_AUDIODRIVER", "KELVRACV_HEADLESS", "KELVRACV_FRAMES", "KELVRACV_RECORD")}
    env.update(PYGAME_HIDE_SUPPORT_PROMPT="1", **extra)
    return env


def python(args, env, cwd=None, timeout=120):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, cwd=cwd,
                          timeout=timeout)


# ---- the loop with stand-ins ---------------------------------------------------------


@pytest.mark.parametrize("headless", [False, True])
def test_frame_limit_with_and_without_window(fake, monkeypatch, headless):
    kv, cv, clock = fake
    monkeypatch.setenv("KELVRACV_FRAMES", "3")
    if headless:
        monkeypatch.setenv("KELVRACV_HEADLESS", "1")
    seen = []

    def tick(arr, ts):
        seen.append((arr.shape, kv.get_window_size("w") if headless else None))
        arr[:] = 9
        return (True, arr)  # the limit wins over a tick that asks to go on

    kv.run(tick, ((64, 48), "w"), (0, 0, 0), dynamic_resize=headless)
    assert len(seen) == 3 and kv.RUN is False
    assert len(clock.sleeps) == 3 and all(abs(d - 1 / 61.5) < 1e-12 for d in clock.sleeps)
    per_frame = ["imshow", "waitKey", "getWindowProperty", "setWindowTitle"]
    if headless:
        assert cv.calls == [] and FakeListener.started == []
        assert not hasattr(kv.init, "listeners_started")
        assert seen == [((48, 64, 3), (64, 48))] * 3  # the window queries answer with the canvas size
    else:
        assert cv.names() == ["namedWindow", "resizeWindow", *per_frame * 3, "destroyAllWindows"]


@pytest.mark.parametrize("value", ["0", "-2", "x", "1.5", " "])
def test_frame_limit_must_be_a_count(fake, monkeypatch, value):
    kv, cv, _ = fake
    monkeypatch.setenv("KELVRACV_FRAMES", value)
    with pytest.raises(ValueError) as e:
        kv.run(lambda arr, ts: None, None, (0, 0, 0))
    assert str(e.value) == f"KELVRACV_FRAMES must be a positive whole number of frames, got {value!r}"
    assert cv.calls == []


@pytest.mark.parametrize("value", ["", "0", "false", "No", "OFF"])
def test_switched_off_values_keep_the_window(fake, monkeypatch, value):
    kv, cv, _ = fake
    monkeypatch.setenv("KELVRACV_HEADLESS", value)
    monkeypatch.setenv("KELVRACV_FRAMES", "")  # empty: no limit
    kv.run(lambda arr, ts: False, ((8, 6), "w"), (0, 0, 0))
    assert cv.names()[:3] == ["namedWindow", "resizeWindow", "imshow"]


# ---- real components, no display ---------------------------------------------------

HEADLESS_CHILD = textwrap.dedent("""
    import json, os, sys, threading
    from kelvracv import _kelvra_core as kv
    frames = []
    def tick(arr, ts):
        frames.append(arr.shape)
        kv.circle(arr, ts, 20, (255, 0, 0), 3)
    kv.run(tick, ((160, 120), "hl"), (0, 0, 40), target_fps=200, dynamic_resize=True)
    print(json.dumps({
        "frames": len(frames), "shape": frames[0], "run": kv.RUN,
        "keyboard": repr(kv.keyboard), "mouse": repr(kv.mouse), "pynput": "pynput" in sys.modules,
        "sdl": os.environ.get("SDL_AUDIODRIVER"), "mixer": bool(kv.pygame.mixer.get_init()),
        "size": kv.get_window_size("hl"), "listeners": hasattr(kv.init, "listeners_started"),
        "threads": threading.active_count(), "press": kv.get_input("press")}))
""")


@pytest.mark.parametrize("driver", [None, "disk"])
def test_headless_run_without_display_or_sound(tmp_path, driver):
    extra = {"SDL_AUDIODRIVER": driver, "SDL_DISKAUDIOFILE": str(tmp_path / "audio.raw")} if driver else {}
    r = python(["-c", HEADLESS_CHILD], bare_env(KELVRACV_HEADLESS="1", KELVRACV_FRAMES="7", **extra))
    assert r.returncode == 0, r.stderr
    *head, last = r.stdout.splitlines()
    assert head == ["Volume monitor thread started."]
    s = json.loads(last)
    assert s == {"frames": 7, "shape": [120, 160, 3], "run": False, "keyboard": "None", "mouse": "None",
                 "pynput": False, "sdl": driver or "dummy", "mixer": True, "size": [160, 120],
                 "listeners": False, "threads": 2, "press": None}
