"""Headless runs, the frame limit, recording and the command line.

The loop's protocol runs in this process with the recording cv2 stand-in of
test_window (so the window calls that are left out can be counted); the real
components run in child processes without a display and without an audio
driver chosen: the import, headless runs, recordings read back with OpenCV
and Pillow, and the command line (render, run, pack; view in a real window under Xvfb).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import wait_for
from test_window import FakeListener, fake, listeners  # noqa: F401 (fixtures)


def bare_env(**extra):
    """The environment of a server: no display, no audio driver chosen (and
    pygame's greeting not hidden: the module hides it)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "SDL_AUDIODRIVER", "KELVRACV_HEADLESS", "KELVRACV_FRAMES", "KELVRACV_RECORD",
                         "KELVRACV_QUIET", "KELVRACV_RECORD_FPS", "PYGAME_HIDE_SUPPORT_PROMPT")}
    env.update(**extra)
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


def test_headless_pointer_is_in_canvas_pixels(fake, monkeypatch):
    kv, cv, _ = fake
    monkeypatch.setenv("KELVRACV_HEADLESS", "1")
    monkeypatch.setenv("KELVRACV_FRAMES", "1")
    seen = []

    def tick(arr, ts):
        for x, y in ((0, 0), (32, 24), (63.5, 47)):
            kv.on_move(x, y)
            seen.append(kv.get_input("mouse", "pos", ts))

    kv.run(tick, ((64, 48), "w"), (0, 0, 0))
    assert seen == [(-32.0, -24.0, 0.0), (0.0, 0.0, 0.0), (31.5, 23.0, 0.0)]
    assert cv.calls == []  # no window is asked where it is


@pytest.mark.parametrize("value", ["0", "-2", "x", "1.5", " 1 2 "])
def test_frame_limit_must_be_a_count(fake, monkeypatch, value):
    kv, cv, _ = fake
    monkeypatch.setenv("KELVRACV_FRAMES", value)
    with pytest.raises(ValueError) as e:
        kv.run(lambda arr, ts: None, None, (0, 0, 0))
    assert str(e.value) == f"KELVRACV_FRAMES must be a positive whole number of frames, got {value!r}"
    assert cv.calls == []


@pytest.mark.parametrize("value", ["", "0", "false", "No", "OFF", " 0", "\tfalse \n", "  "])
def test_switched_off_values_keep_the_window(fake, monkeypatch, value):
    kv, cv, _ = fake
    monkeypatch.setenv("KELVRACV_HEADLESS", value)  # blanks around a value are no part of it
    monkeypatch.setenv("KELVRACV_FRAMES", " \t")  # blank: no limit
    monkeypatch.setenv("KELVRACV_RECORD", " ")  # blank: no recording
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


IMPORT_CHILD = textwrap.dedent("""
    from kelvracv import _kelvra_core as kv
    print(kv.keyboard, kv.mouse)
    try:
        kv.run(lambda arr, ts: False, ((80, 60), "w"), (0, 0, 0))
    except RuntimeError as e:
        print("RuntimeError:", e)
""")


# No display at all, and one that does not answer; standard output quiet or not.
@pytest.mark.parametrize("display, reason", [(None, "DISPLAY is not set"),
                                             (":4242", 'Can\'t connect to display ":4242": .+')])
@pytest.mark.parametrize("quiet", [None, "yes"])
def test_import_without_display_or_sound_device(display, reason, quiet):
    env = bare_env(**{k: v for k, v in (("DISPLAY", display), ("KELVRACV_QUIET", quiet)) if v})
    r = python(["-c", IMPORT_CHILD], env)
    assert r.returncode == 0, r.stderr
    *head, inputs, error = r.stdout.splitlines()  # pygame's greeting is never printed
    assert (head, inputs) == ([] if quiet else ["Volume monitor thread started."], "None None")
    assert re.fullmatch(rf"RuntimeError: no display \({reason}\): a window cannot be opened; set KELVRACV_HEADLESS=1 "
                        r"to run without one, or run the program with --web \(.*", error), error
    # no line of ALSA's own; the sound line only where this machine has no sound device
    *sound, line = r.stderr.splitlines()
    assert re.fullmatch(rf"kelvracv: no display \({reason}\), keyboard and mouse input off", line), r.stderr
    assert len(sound) <= 1 and all(s.startswith("kelvracv: no sound device (") for s in sound), r.stderr


QUIET_CHILD = textwrap.dedent("""
    import wave
    from kelvracv import _kelvra_core as kv
    with wave.open("t.wav", "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(44100), w.writeframes(bytes(4410))
    kv.ASSETS.load_sound("t", "t.wav")
    kv.start_sound("t")
    kv.play_sound("t")
    kv.play_sound("missing")
    kv.run(lambda arr, ts: None, ((64, 48), "q"), (0, 0, 0), target_fps=200)
""")


@pytest.mark.parametrize("quiet", ["1", " On ", "0"])
def test_quiet_leaves_out_what_goes_well(tmp_path, quiet):
    env = bare_env(KELVRACV_QUIET=quiet, KELVRACV_WEB="127.0.0.1:0", KELVRACV_FRAMES="3", KELVRACV_RECORD="a.gif")
    r = python(["-c", QUIET_CHILD], env, cwd=tmp_path)
    assert r.returncode == 0 and (tmp_path / "a.gif").exists(), r.stderr
    missing = "Error:Cached sound 'missing' not found."
    if quiet == "0":
        # the sound thread prints beside the main thread: a print's text and its line end are two writes,
        # so another thread's words may land between them; each text itself stays whole
        for said in ("Volume monitor thread started.", missing, "Playback finished.", "[Blocking]"):
            assert said in r.stdout, r.stdout
        assert "kelvracv: recorded 3 frames of 64x48 to " in r.stderr and "kelvracv web: serving" in r.stderr
    else:  # errors still said
        assert (r.stdout, r.stderr) == (missing + "\n", "")


# ---- recording ---------------------------------------------------------------------

RECORD_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    from kelvracv import _kelvra_core as kv
    shown = []
    def tick(arr, ts):
        i = len(shown)
        h, w = arr.shape[:2]
        arr[h // 4:h // 2, (i * w) // 8:(i * w) // 8 + w // 4] = (40 * i, 255 - 40 * i, 128)
        arr[h // 2:, :w // 3] = (0, 0, 200)
        if i == 3:  # a resized canvas from here on, shown in this frame already
            arr = np.full((h // 2, w // 2, 3), (90, 20, 160), np.uint8)
            arr[2:10, 2:30] = (255, 255, 255)
            shown.append(arr.copy())
            return (True, arr)
        shown.append(arr.copy())
    kv.run(tick, ((96, 64), "rec"), (10, 20, 30), target_fps=25)
    np.savez(sys.argv[1], *shown)
""")


def expected_frames(npz):
    import cv2
    with np.load(npz) as f:
        shown = [f[f"arr_{i}"] for i in range(len(f.files))]
    h, w = shown[0].shape[:2]
    return [s if s.shape[:2] == (h, w) else cv2.resize(s, (w, h), interpolation=cv2.INTER_AREA) for s in shown]


def read_mp4(path):
    import cv2
    cap = cv2.VideoCapture(str(path))
    frames = []
    while True:
        ok, f = cap.read()
        if not ok:
            return frames, cap.get(cv2.CAP_PROP_FPS)
        frames.append(f)


@pytest.mark.parametrize("target", ["out/run.mp4", "out/run.gif", "out/f_%05d.png"])
def test_recording_reads_back_as_shown(tmp_path, target):
    path = str(tmp_path / target)
    r = python(["-c", RECORD_CHILD, str(tmp_path / "shown.npz")],
               bare_env(KELVRACV_HEADLESS="1", KELVRACV_FRAMES="6", KELVRACV_RECORD=path))
    assert r.returncode == 0, r.stderr
    want = expected_frames(tmp_path / "shown.npz")
    assert len(want) == 6
    if target.endswith(".png"):
        import cv2
        names = [path % i for i in range(6)]
        assert sorted(os.listdir(tmp_path / "out")) == [os.path.basename(n) for n in names]
        for name, w in zip(names, want):
            assert np.array_equal(cv2.imread(name), w)
        where = f"{names[0]} ... {names[-1]}"
    elif target.endswith(".mp4"):
        got, fps = read_mp4(path)
        assert len(got) == 6 and fps == 25
        for i, g in enumerate(got):  # lossy: closest to its own frame, and close
            errors = [np.abs(g.astype(int) - w).mean() for w in want]
            assert int(np.argmin(errors)) == i and errors[i] < 6, errors
        where = path
    else:
        from PIL import Image, ImageSequence
        with Image.open(path) as im:
            got = [np.asarray(f.convert("RGB"))[:, :, ::-1] for f in ImageSequence.Iterator(im)]
            assert im.info["duration"] == 40 and im.info["loop"] == 0
        assert len(got) == 6
        for g, w in zip(got, want):  # palette-quantised: flat colours come back, edges nearly
            diff = np.abs(g.astype(int) - w).max(axis=2)
            assert (diff == 0).mean() > 0.99 and diff.max() <= 32
        where = path
    assert r.stderr.splitlines()[-1] == f"kelvracv: recorded 6 frames of 96x64 to {where}"


@pytest.mark.parametrize("fps, delay", [(15, 70), (6, 170), (120, 20)])
def test_gif_delay_is_the_nearest_hundredth_of_the_frame_time(fake, monkeypatch, tmp_path, fps, delay):
    from PIL import Image, ImageSequence
    kv, _, _ = fake
    monkeypatch.setenv("KELVRACV_RECORD", str(tmp_path / "d.gif"))
    monkeypatch.setenv("KELVRACV_FRAMES", "3")
    kv.RUN = True
    kv.run(lambda arr, ts: arr.__setitem__((slice(None), slice(0, int(ts["rot"]) + 2)), 200) or kv.rotate(ts, 1),
           ((20, 10), "w"), (1, 2, 3), target_fps=fps)
    with Image.open(tmp_path / "d.gif") as im:
        assert [f.info["duration"] for f in ImageSequence.Iterator(im)] == [delay] * 3


def test_recording_with_a_window_and_after_an_error(fake, monkeypatch, tmp_path, capsys):
    import cv2
    kv, cv, _ = fake
    monkeypatch.setenv("KELVRACV_RECORD", str(tmp_path / "w_%d.png"))
    monkeypatch.setenv("KELVRACV_FRAMES", "3")
    kv.run(lambda arr, ts: arr.__setitem__((slice(None), slice(0, 5)), 200), ((20, 10), "w"), (1, 2, 3))
    assert len(cv.shown) == 3
    for i, shown in enumerate(cv.shown):
        assert np.array_equal(cv2.imread(str(tmp_path / f"w_{i}.png")), shown)
    # later runs go on: the numbers count on, a GIF is written beside the first
    kv.RUN = True
    kv.run(lambda arr, ts: None, ((20, 10), "w"), (1, 2, 3))
    assert sorted(p.name for p in tmp_path.glob("w_*")) == [f"w_{i}.png" for i in range(6)]
    assert capsys.readouterr().err.splitlines()[-1] == (f"kelvracv: recorded 3 frames of 20x10 to "
                                                        f"{tmp_path / 'w_3.png'} ... {tmp_path / 'w_5.png'}")
    monkeypatch.setenv("KELVRACV_RECORD", str(tmp_path / "a.gif"))
    for _ in range(2):
        kv.RUN = True
        kv.run(lambda arr, ts: None, ((20, 10), "w"), (1, 2, 3))
    assert sorted(p.name for p in tmp_path.glob("a*.gif")) == ["a-2.gif", "a.gif"]
    assert capsys.readouterr().err.splitlines()[-1] == f"kelvracv: recorded 3 frames of 20x10 to {tmp_path / 'a-2.gif'}"
    # a frame that cannot be recorded ends the run; what was recorded is kept and reported
    monkeypatch.setenv("KELVRACV_RECORD", str(tmp_path / "e_%d.png"))
    kv.RUN = True
    frames = iter([None, (True, np.zeros((4, 4, 3), np.float64))])
    message = r"^KELVRACV_RECORD: frames must be 8-bit images \(uint8\), got dtype\('float64'\)$"
    with pytest.raises(TypeError, match=message):
        kv.run(lambda arr, ts: next(frames), ((20, 10), "w"), (1, 2, 3))
    assert capsys.readouterr().err.splitlines()[-1] == f"kelvracv: recorded 1 frame of 20x10 to {tmp_path / 'e_0.png'}"
    assert sorted(p.name for p in tmp_path.glob("e_*")) == ["e_0.png"]


@pytest.mark.parametrize("target, fps, message", [
    ("x.avi", 60, "KELVRACV_RECORD must name a .mp4 or .gif file, or numbered image files such as "
                  "frames/f_%05d.png, got '{}'"),
    ("f_%s.png", 60, "KELVRACV_RECORD must name a .mp4 or .gif file, or numbered image files such as "
                     "frames/f_%05d.png, got '{}'"),
    ("f_%d_%d.png", 60, "KELVRACV_RECORD holds a number format other than one %d: '{}'"),
    ("f_%99999999d.png", 60, "KELVRACV_RECORD: a frame number is at most 9 digits wide, got '{}'"),
    ("f_%-10d.png", 60, "KELVRACV_RECORD: a frame number is at most 9 digits wide, got '{}'"),
    ("f_%.12i.png", 60, "KELVRACV_RECORD: a frame number is at most 9 digits wide, got '{}'"),
    ("f_%d_%(x)s.png", 60, "KELVRACV_RECORD holds a number format other than one %d: '{}'"),
    ("f_%*d.png", 60, "KELVRACV_RECORD must name a .mp4 or .gif file, or numbered image files such as "
                      "frames/f_%05d.png, got '{}'"),
    ("x.gif", 0, "KELVRACV_RECORD: a video or GIF needs a positive target_fps, got 0"),
    ("x.MP4", -5.0, "KELVRACV_RECORD: a video or GIF needs a positive target_fps, got -5.0"),
    ("x.mp4", 5000, "KELVRACV_RECORD: a video is recorded at 1000 frames per second at most, got target_fps 5000; "
                    "KELVRACV_RECORD_FPS (--record-fps) sets the rate it plays at"),
])
def test_recording_targets_checked_before_the_window(fake, monkeypatch, tmp_path, target, fps, message):
    kv, cv, _ = fake
    path = str(tmp_path / target)
    monkeypatch.setenv("KELVRACV_RECORD", path)
    with pytest.raises(ValueError) as e:
        kv.run(lambda arr, ts: False, None, (0, 0, 0), target_fps=fps)
    assert str(e.value) == message.format(path) and cv.calls == []


@pytest.mark.parametrize("target, error", [
    ("file.txt/out.gif", "FileExistsError: KELVRACV_RECORD: cannot write to '{}': File exists"),
    ("folder.mp4", "IsADirectoryError: KELVRACV_RECORD: cannot write to '{}': it is a folder"),
    ("file.txt/f_%d.png", "FileExistsError: KELVRACV_RECORD: cannot write to '{}': File exists"),
])
def test_unwritable_recording_fails_before_the_window(fake, monkeypatch, tmp_path, target, error):
    kv, cv, _ = fake
    (tmp_path / "file.txt").write_text("a file, not a folder")
    (tmp_path / "folder.mp4").mkdir()
    monkeypatch.setenv("KELVRACV_RECORD", str(tmp_path / target))
    ticks = []
    with pytest.raises(OSError) as e:
        kv.run(lambda arr, ts: ticks.append(1), None, (0, 0, 0))
    path = str(tmp_path / target) if "%" not in target else str(tmp_path / target) % 0
    assert f"{type(e.value).__name__}: {e.value}" == error.format(path)
    assert cv.calls == [] and ticks == []
    assert sorted(os.listdir(tmp_path)) == ["file.txt", "folder.mp4"]


def test_recording_replaces_links_and_files_and_says_so(kv, monkeypatch, tmp_path, capsys):
    from PIL import Image
    monkeypatch.setenv("KELVRACV_HEADLESS", "1")
    monkeypatch.setenv("KELVRACV_FRAMES", "2")
    monkeypatch.chdir(tmp_path)  # a relative path is taken from here
    for name in ("elsewhere.gif", "f_1.png"):
        (tmp_path / name).write_bytes(b"kept")
    os.symlink(tmp_path / "elsewhere.gif", tmp_path / "out.gif")
    os.symlink(tmp_path / "elsewhere.gif", tmp_path / "f_0.png")
    shown = []
    for target in ("out.gif", "f_%d.png"):
        monkeypatch.setenv("KELVRACV_RECORD", target)
        kv.run(lambda arr, ts: arr.__setitem__(..., 50 * len(shown)) or shown.append(1), ((8, 6), "w"), (1, 2, 3))
    assert (tmp_path / "elsewhere.gif").read_bytes() == b"kept"  # never written through the link
    assert sorted(os.listdir(tmp_path)) == ["elsewhere.gif", "f_0.png", "f_1.png", "out.gif"]  # nothing left beside
    with Image.open(tmp_path / "out.gif") as im:
        assert im.n_frames == 2
    for name in ("out.gif", "f_0.png", "f_1.png"):
        assert not os.path.islink(tmp_path / name)
    assert capsys.readouterr().err.splitlines() == [
        f"kelvracv: recorded 2 frames of 8x6 to {tmp_path / 'out.gif'}, replacing the existing file",
        f"kelvracv: recorded 2 frames of 8x6 to {tmp_path / 'f_0.png'} ... {tmp_path / 'f_1.png'}, "
        "replacing 2 existing files"]


RESHAPING = textwrap.dedent("""
    import sys, types
    import numpy as np
    from kelvracv import _kelvra_core as kv
    real = kv.cv2
    def cvtColor(src, code):
        out = real.cvtColor(src, code)
        src.shape = ()  # Python code that reshapes the frame it is given
        return out if sys.argv[1] == "image" else [1, 2, 3]
    kv.cv2 = types.SimpleNamespace(**{k: getattr(real, k) for k in dir(real) if not k.startswith("__")})
    kv.cv2.cvtColor = cvtColor
    try:
        kv.run(lambda arr, ts: (True, np.full((1, 1, 1), 7, np.uint8)), ((8, 6), "w"), (0, 0, 0))
    except ValueError as e:
        print(e)
""")


@pytest.mark.parametrize("result", ["image", "list"])
def test_recording_reads_the_frame_after_python_code_reshaped_it(tmp_path, result):
    r = python(["-c", RESHAPING, result], bare_env(KELVRACV_HEADLESS="1", KELVRACV_FRAMES="1",
                                                   KELVRACV_RECORD=str(tmp_path / "f_%d.png")))
    assert r.returncode == 0, r.stderr
    if result == "image":
        import cv2
        assert r.stderr.splitlines()[-1] == f"kelvracv: recorded 1 frame of 1x1 to {tmp_path / 'f_0.png'}"
        assert cv2.imread(str(tmp_path / "f_0.png")).tolist() == [[[7, 7, 7]]]
    else:
        assert r.stdout.splitlines()[-1] == ("KELVRACV_RECORD: a frame must become an 8-bit BGR image of at least "
                                             "one pixel to be recorded")
        assert r.stderr.splitlines()[-1] == f"kelvracv: recorded no frames, nothing written to {tmp_path / 'f_%d.png'}"


NOISE = "import numpy as np\nfrom kelvracv import _kelvra_core as kv\n" \
        "kv.run(lambda arr, ts: arr.__setitem__(..., np.random.randint(0, 256, arr.shape, np.uint8)), " \
        "((160, 120), 'noise'), (0, 0, 0), target_fps=200)\n"


@pytest.mark.parametrize("target, error", [
    ("out.mp4", "KELVRACV_RECORD: cannot write to '{}': File too large"),
    ("out.gif", "KELVRACV_RECORD: cannot write to '{}': File too large"),
])
def test_recording_beyond_the_file_size_limit_fails_the_run(tmp_path, target, error):
    (tmp_path / "noise.py").write_text(NOISE)
    limited = ["bash", "-c", 'ulimit -f 64 && exec "$0" "$@"', sys.executable]
    r = subprocess.run([*limited, "-m", "kelvracv", "run", "noise.py", "--headless", "--frames", "30", "--record",
                        target], capture_output=True, text=True, env=bare_env(), cwd=tmp_path, timeout=120)
    path = tmp_path / target
    assert r.returncode == 1, r.stderr
    assert r.stderr.splitlines()[-2:] == [f"kelvracv: recording failed, nothing written to {path}",
                                          "kelvracv run: " + error.format(path)]
    assert os.listdir(tmp_path) == ["noise.py"]  # no partial file, nothing left beside


VIDEO_PROGRAM = textwrap.dedent("""
    from kelvracv import _kelvra_core as kv
    n = []
    def tick(arr, ts):  # frame i is one flat colour: R = 4 i, G = 255 - 4 i, B = 100
        arr[...] = (100, 255 - 4 * len(n), 4 * len(n))
        n.append(1)
    kv.run(tick, ((320, 240), "video"), (0, 0, 0), target_fps=10000)  # as fast as it goes
""")

PLAY = """async (src) => {
  const v = document.createElement('video');  // from a blob: seekable without HTTP ranges
  v.muted = true; v.src = URL.createObjectURL(await (await fetch(src)).blob()); document.body.appendChild(v);
  await new Promise((ok, no) => { v.onloadeddata = ok; v.onerror = () => no(new Error(v.error.message)); });
  v.currentTime = 0.5; await new Promise(ok => v.onseeked = ok);
  const c = document.createElement('canvas'); c.width = v.videoWidth; c.height = v.videoHeight;
  const g = c.getContext('2d'); g.drawImage(v, 0, 0);
  return {duration: v.duration, size: [v.videoWidth, v.videoHeight],
          rgb: Array.from(g.getImageData(160, 120, 1, 1).data).slice(0, 3)};
}"""


def play_in_chromium(folder, name):
    """What a <video> element of Chromium makes of folder/name, served over HTTP."""
    import functools
    import http.server
    import threading
    from playwright.sync_api import sync_playwright
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)
    handler.log_message = lambda *a: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    preload = os.environ.pop("LD_PRELOAD", None)  # the sanitizers are for the core, not the browser
    try:
        with sync_playwright() as pw:
            browser = pw.chromium.launch(executable_path="/usr/bin/chromium", args=["--disable-gpu"])
            page = browser.new_page()
            page.goto(f"http://127.0.0.1:{server.server_port}/")
            try:
                return page.evaluate(PLAY, name)
            finally:
                browser.close()
    finally:
        server.shutdown()
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload


def test_unpaced_run_records_a_60_fps_h264_video_chromium_plays(tmp_path):
    av = pytest.importorskip("av")
    (tmp_path / "prog.py").write_text(VIDEO_PROGRAM)
    r = python(["-m", "kelvracv", "run", "prog.py", "--headless", "--frames", "60", "--record", "out.mp4",
                "--record-fps", "60"], bare_env(), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines()[-1] == f"kelvracv: recorded 60 frames of 320x240 to {tmp_path / 'out.mp4'}"
    with av.open(str(tmp_path / "out.mp4")) as f:
        s = f.streams.video[0]
        assert (s.codec_context.name, s.codec_context.pix_fmt, s.average_rate, s.frames) == ("h264", "yuv420p", 60, 60)
    played = play_in_chromium(str(tmp_path), "out.mp4")
    assert abs(played["duration"] - 1.0) < 0.02 and played["size"] == [320, 240], played
    r_, g_, b_ = played["rgb"]  # the frame shown at 0.5 s is frame 30 (R 120, G 135), give or take one
    assert abs(r_ - 120) <= 8 and abs(g_ - 135) <= 8 and abs(b_ - 100) <= 4, played


def test_without_pyav_mp4_uses_opencvs_codec_and_says_so(tmp_path):
    import cv2
    code = "import sys; sys.modules['av'] = None\n" + VIDEO_PROGRAM.replace("10000", "60")
    r = python(["-c", code], bare_env(KELVRACV_HEADLESS="1", KELVRACV_FRAMES="3",
                                      KELVRACV_RECORD=str(tmp_path / "a.mp4")))
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines()[-2:] == [
        "kelvracv: PyAV is not installed (pip install av), so MP4 recordings use OpenCV's MPEG-4 Part 2 codec, "
        "which browsers do not play", f"kelvracv: recorded 3 frames of 320x240 to {tmp_path / 'a.mp4'}"]
    cap = cv2.VideoCapture(str(tmp_path / "a.mp4"))
    fourcc = int(cap.get(cv2.CAP_PROP_FOURCC)).to_bytes(4, "little").decode()
    assert fourcc in ("FMP4", "mp4v") and cap.get(cv2.CAP_PROP_FRAME_COUNT) == 3  # MPEG-4 Part 2


SIGNALLED = textwrap.dedent("""
    import time
    from kelvracv import _kelvra_core as kv
    n = []
    def tick(arr, ts):
        arr[...] = len(n) % 256
        n.append(1)
        if len(n) == 3:
            print("recording", flush=True)
        if len(n) >= 3:  # slow frames: a second signal comes before the loop has ended
            time.sleep(0.3)
    kv.run(tick, ((64, 48), "sig"), (0, 0, 0), target_fps=100)
    print("not reached")
""")


@pytest.mark.parametrize("target, sig, times", [
    ("out.mp4", "SIGTERM", 1), ("out.gif", "SIGHUP", 1), ("f_%03d.png", "SIGTERM", 1), ("out.mp4", "SIGTERM", 2)])
def test_sigterm_and_sighup_complete_the_recording_then_end_the_program(tmp_path, target, sig, times):
    import signal
    import time
    import cv2
    from PIL import Image
    (tmp_path / "prog.py").write_text(SIGNALLED)
    child = subprocess.Popen([sys.executable, "prog.py"], cwd=tmp_path, text=True, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=bare_env(KELVRACV_HEADLESS="1", KELVRACV_RECORD=target))
    try:
        assert "recording\n" in iter(child.stdout.readline, "")  # the lines before it are the import's
        time.sleep(0.2)
        for _ in range(times):  # a second signal ends the program at once
            child.send_signal(getattr(signal, sig))
            time.sleep(0.05)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == -getattr(signal, sig) and "not reached" not in out, err
    left = sorted(os.listdir(tmp_path))
    assert not [name for name in left if name.startswith(".")], left  # nothing hidden left beside
    if times == 2:
        assert left == ["prog.py"]  # asked twice: the unfinished video is dropped
        return
    n = int(err.splitlines()[-1].split()[2])  # kelvracv: recorded N frames of 64x48 to ...
    assert n >= 3, err
    if target.endswith(".png"):
        assert left == sorted(["prog.py", *(target % i for i in range(n))])
        assert [int(cv2.imread(str(tmp_path / (target % i)))[0, 0, 0]) for i in range(n)] == list(range(n))
    elif target.endswith(".gif"):
        with Image.open(tmp_path / target) as im:
            assert im.n_frames == n
    else:
        assert read_mp4(tmp_path / target)[0].__len__() == n


def test_numbered_files_another_program_replaced_are_reported(kv, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("KELVRACV_HEADLESS", "1")
    monkeypatch.setenv("KELVRACV_FRAMES", "4")
    monkeypatch.setenv("KELVRACV_RECORD", str(tmp_path / "f_%d.png"))
    n = []

    def tick(arr, ts):
        n.append(1)
        if len(n) == 3:  # another recording writes to the same names
            (tmp_path / "other.png").write_bytes(b"another program's")
            os.replace(tmp_path / "other.png", tmp_path / "f_1.png")

    message = f"KELVRACV_RECORD: {tmp_path / 'f_1.png'} was replaced or removed by another program while the recording ran"
    with pytest.raises(OSError, match="^" + re.escape(message) + "$"):
        kv.run(tick, ((8, 6), "w"), (0, 0, 0))
    assert capsys.readouterr().err.splitlines()[-1] == (f"kelvracv: recording failed, {tmp_path / 'f_1.png'} was "
                                                        "replaced or removed by another program while the recording ran")


@pytest.mark.skipif(os.geteuid() != 0, reason="mounts a small file system")
def test_full_disk_gives_its_reason_for_numbered_files(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", str(disk)], capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (tmp_path / "noise.py").write_text(NOISE)
        r = python(["-m", "kelvracv", "run", "noise.py", "--headless", "--frames", "30", "--record",
                    str(disk / "f_%02d.png")], bare_env(), cwd=tmp_path)
        assert r.returncode == 1, r.stderr
        assert r.stderr.splitlines()[-1] == (f"kelvracv run: KELVRACV_RECORD: cannot write to '{disk / 'f_01.png'}': "
                                             "No space left on device")
        assert os.listdir(disk) == ["f_00.png"]  # the frame that fitted; nothing hidden left
    finally:
        subprocess.run(["umount", str(disk)], check=True)


# ---- the command line --------------------------------------------------------------

SCENE = """\
# a scene
circle, 60, 255,0,0, 3, false, true, 1.0
set_pos, -100,-50
rect, 80,40, 0,255,0, 2, true, false
fill, 1
push_state
line, 50,30, 255,255,0, 2, false
"""


@pytest.mark.parametrize("scene, options, size, bg", [
    ("scene", [], (800, 600), (0, 0, 0)),
    ("scene.tvf", ["--size", "320x200", "--bg", "10,20,30"], (320, 200), (10, 20, 30)),
])
def test_render_equals_draw_tvf_on_inits_canvas(kv, monkeypatch, tmp_path, scene, options, size, bg):
    import cv2
    (tmp_path / "scene.tvf").write_text(SCENE)
    r = python(["-m", "kelvracv", "render", scene, "-o", "out.png", *options], bare_env(), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Error @ TVF 'scene.tvf' line 5:Cmd 'fill' unknown.\n"  # command errors pass through
    monkeypatch.setenv("KELVRACV_HEADLESS", "1")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(kv, "TS_STACK", [])
    canvas, ts = kv.init((size, "scene"), bg)
    kv.draw_tvf(canvas, ts, "scene")
    assert np.array_equal(cv2.imread(str(tmp_path / "out.png")), canvas)
    assert len(np.unique(canvas.reshape(-1, 3), axis=0)) > 3  # the scene drew


@pytest.mark.parametrize("args, message", [
    (["render", "missing", "-o", "out.png"],
     "kelvracv render: cannot read scene 'missing.tvf': [Errno 2] No such file or directory: 'missing.tvf'"),
    (["render", "pipe", "-o", "out.png"], "kelvracv render: cannot read scene 'pipe.tvf': not a regular file"),
    (["view", "pipe.tvf"], "kelvracv view: cannot read scene 'pipe.tvf': not a regular file"),
    (["view", "scene.tvf"], "kelvracv view: needs a display: DISPLAY is not set"),
    (["render", "scene", "-o", "out.png", "--size", "100000x100000"],
     "kelvracv render: error: argument --size: '100000x100000' is too large: at most 32767 on a side and 268435456 "
     "pixels in all (see kelvracv render --help)"),
    (["render", "scene", "-o", "nowhere/out.png"], "kelvracv render: cannot write 'nowhere/out.png'"),
    (["pack", "nothing.py"], "kelvracv pack: File not found:nothing.py"),
    (["pack", "."], "kelvracv pack: [Errno 21] Is a directory: '.'"),
    (["run", "nothing.py"], "kelvracv run: no such script: 'nothing.py'"),
    (["run", "prog.py", "--headless", "--record", "x.avi"],
     "kelvracv run: KELVRACV_RECORD must name a .mp4 or .gif file, or numbered image files such as "
     "frames/f_%05d.png, got '{}/x.avi'"),
    (["run", "prog.py", "--record", "x.mp4", "--record-fps", "0"],
     "kelvracv run: error: argument --record-fps: expected frames per second from above 0 to 1000, got '0' "
     "(see kelvracv run --help)"),
    (["run", "prog.py", "--frames", "0"],
     "kelvracv run: error: argument --frames: expected a positive whole number, got '0' (see kelvracv run --help)"),
    (["frobnicate"], "kelvracv: error: argument COMMAND: invalid choice: 'frobnicate' (choose from 'run', "
                     "'render', 'view', 'pack', 'info') (see kelvracv --help)"),
])
def test_user_errors_are_one_line_with_status_2(tmp_path, args, message):
    (tmp_path / "scene.tvf").write_text(SCENE)
    (tmp_path / "prog.py").write_text(PROGRAM)
    os.mkfifo(tmp_path / "pipe.tvf")  # never opened: nothing blocks
    r = python(["-m", "kelvracv", *args], bare_env(SDL_AUDIODRIVER="dummy"), cwd=tmp_path, timeout=60)
    lines = [line for line in r.stderr.splitlines()
             if line != "Volume monitor thread started." and not line.startswith("kelvracv: no display (")]
    if message.endswith("..."):
        assert len(lines) == 1 and lines[0].startswith(message[:-3]) and lines[0] != message[:-3], lines
        lines = [message]
    assert (r.returncode, lines) == (2, [message.format(tmp_path)])
    assert not (tmp_path / "out.png").exists()


STATUS_PROGRAM = textwrap.dedent("""
    import sys
    from kelvracv import _kelvra_core as kv
    frames = iter(sys.argv[1].split(","))
    def tick(arr, ts):
        if next(frames) == "raise":
            raise ValueError("bad frame")
        return False
    for _ in sys.argv[1].split(","):
        kv.run(tick, ((8, 6), "status"), (0, 0, 0))
    if len(sys.argv) > 2:
        sys.exit(int(sys.argv[2]))
""")


@pytest.mark.parametrize("frames, code, status", [
    ("ok", None, 0), ("raise", None, 1), ("raise,ok", None, 1), ("raise", "0", 1), ("raise", "3", 3), ("ok", "4", 4)])
def test_run_exits_1_after_a_tick_error(tmp_path, frames, code, status):
    (tmp_path / "prog.py").write_text(STATUS_PROGRAM)
    r = python(["-m", "kelvracv", "run", "prog.py", "--headless", "--", frames, *([code] if code else [])],
               bare_env(), cwd=tmp_path)
    assert r.returncode == status, r.stderr
    assert r.stdout.count("Error in tick function:bad frame") == frames.count("raise")


def test_render_strict_exits_1_when_a_line_failed(tmp_path):
    (tmp_path / "scene.tvf").write_text(SCENE)
    (tmp_path / "clean.tvf").write_text("circle, 60, 255,0,0, 3, false, true, 1.0\n")
    r = python(["-m", "kelvracv", "render", "scene", "-o", "out.png", "--strict"], bare_env(), cwd=tmp_path)
    assert r.returncode == 1 and (tmp_path / "out.png").exists()  # the image is still written
    assert r.stdout == "Error @ TVF 'scene.tvf' line 5:Cmd 'fill' unknown.\n"
    assert r.stderr.splitlines()[-1] == "kelvracv render: 1 line of 'scene.tvf' failed"
    r = python(["-m", "kelvracv", "render", "clean", "-o", "clean.png", "--strict"], bare_env(), cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, "")


@pytest.mark.parametrize("value, on", [(None, False), ("", False), (" \t", False), ("0", False), (" False ", False),
                                       ("NO", False), ("off", False), ("1", True), ("TRUE", True), (" yes", True),
                                       ("On", True), ("2", True), ("anything", True)])
def test_one_rule_for_every_switch(value, on):
    # The rule the native switches, the run settings and the Python glue share.
    from kelvracv import _kelvra_core as kv

    assert kv.__switch_on__(value) is on


@pytest.mark.parametrize("env", [{}, {"KELVRACV_NO_AVX2": "1"}, {"KELVRACV_NO_AVX2": " 0 "},
                                 {"KELVRACV_NO_AVX2": "Off"}])
def test_info_prints_versions_and_one_line_per_capability(env):
    r = python(["-m", "kelvracv", "info"], bare_env(**env))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    import cv2

    assert lines[0] == "Python " + sys.version.split()[0] and lines[2].startswith(f"OpenCV {cv2.__version__} (")
    assert [line.split()[0] for line in lines[1:5]] == ["NumPy", "OpenCV", "Pillow", "pygame"]
    caps = dict(line.split(": ", 1) for line in lines[-4:])
    assert list(caps) == ["native drawing", "native warp", "perspective solver", "whole-pixel copy"]
    assert all(v == "on" or (v.startswith("off (") and v.endswith(")")) for v in caps.values())
    if env and "fixed-point" not in r.stdout:  # a switch set to " 0 " or "Off" is off, like the others
        assert (caps["native warp"] == "off (KELVRACV_NO_AVX2 is set)") == (env["KELVRACV_NO_AVX2"] == "1")


def test_pack_prints_the_output_path(tmp_path):
    proj = tmp_path / "proj"
    proj.mkdir()
    (proj / "game.py").write_text("print('packed game ran')\n")
    (proj / "data.txt").write_text("x")
    r = python(["-m", "kelvracv", "pack", str(proj / "game.py")], bare_env())
    assert r.returncode == 0, r.stderr
    assert r.stdout == str(proj / "game_c.py") + "\n"
    r = python([str(proj / "game_c.py")], bare_env(KELVRACV_HEADLESS="1"), cwd=tmp_path)
    assert r.returncode == 0 and r.stdout.splitlines()[-1] == "packed game ran", r.stdout + r.stderr


PROGRAM = textwrap.dedent("""
    import os, sys
    from kelvracv import _kelvra_core as kv
    here = sys.path[0] == os.path.dirname(__file__) == os.getcwd()
    print("argv", os.path.basename(sys.argv[0]), sys.argv[1:], __name__, here)
    n = []
    def tick(arr, ts):
        n.append(1)
        kv.circle(arr, ts, 10 * len(n), (255, 255, 255), 2)
    kv.run(tick, ((64, 48), "prog"), (0, 0, 0), target_fps=120)
    print("frames", len(n))
""")


def test_run_a_program_headless_recorded(tmp_path):
    (tmp_path / "prog.py").write_text(PROGRAM)
    record = str(tmp_path / "shots" / "f_%03d.png")
    r = python(["-m", "kelvracv", "run", "prog.py", "--headless", "--frames", "4", "--record", record,
                "--", "--level", "3"], bare_env(), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["Volume monitor thread started.", "argv prog.py ['--level', '3'] __main__ True",
                                     "frames 4"]
    assert sorted(os.listdir(tmp_path / "shots")) == ["f_000.png", "f_001.png", "f_002.png", "f_003.png"]
    assert r.stderr.splitlines()[-1] == f"kelvracv: recorded 4 frames of 64x48 to {record % 0} ... {record % 3}"


@pytest.mark.skipif(not os.environ.get("DISPLAY"), reason="needs a display (run under xvfb-run)")
@pytest.mark.skipif(not (shutil.which("xdotool") and shutil.which("import")), reason="needs xdotool and ImageMagick")
def test_view_draws_again_when_the_scene_changes(tmp_path):
    from test_window import find_window, grab_screen, xdo

    def colour_count(bgr):
        return int(np.all(grab_screen(tmp_path) == bgr, axis=2).sum())

    scene = tmp_path / "live.tvf"
    scene.write_text("rect, 120,80, 0,255,0, 1, true, false\n")
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", PYGAME_HIDE_SUPPORT_PROMPT="1")
    child = subprocess.Popen([sys.executable, "-m", "kelvracv", "view", "live", "--size", "240x160",
                              "--bg", "0,0,90"], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        try:
            find_window("^live.tvf", timeout=40.0)
        except AssertionError:
            child.kill()
            raise AssertionError("the view window did not appear; its output:\n" + "".join(child.communicate()))
        assert wait_for(lambda: colour_count((0, 255, 0)) > 1500, 15.0, 0.2), "the window did not show the scene"
        assert colour_count((0, 0, 255)) == 0
        scene.write_text("# edited\nrect, 100,60, 255,0,0, 1, true, false\nbogus\n")
        assert wait_for(lambda: colour_count((0, 0, 255)) > 1000 and colour_count((0, 255, 0)) == 0, 15.0, 0.2)
        xdo("key", "Escape")
        out, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    assert out.splitlines() == ["Error @ TVF 'live.tvf' line 3:Cmd 'bogus' unknown."]  # once: drawn once per change
