"""Per-frame cost of headless runs and of recording (run under Xvfb).

The loop runs at 60 frames per second with the module's `time.sleep` made a
no-op on the main thread (so the loop never waits) for a fixed number of frames (KELVRACV_FRAMES) on an
800x600 canvas with a small drawing per frame. The cost per frame is the CPU
time of this process (all its threads; on a shared machine wall time would
count the other processes' load too), the best of several interleaved runs:

1. the window loop with a real OpenCV window;
2. the same loop with the window calls (imshow, waitKey, the property check,
   the title, the window's creation and destruction) answered by stand-ins that
   do nothing: the window loop minus the window calls, the baseline;
3. the headless loop (KELVRACV_HEADLESS=1). Goal: no dearer than the baseline
   (within 5 %, the noise of a shared machine);
4. the headless loop recording an MP4 in H.264 (PyAV) and in MPEG-4 Part 2
   (OpenCV's writer, the codec without PyAV), a GIF and numbered PNG files,
   each beside the cost of the bare library calls on the same frames (PyAV's
   cvtColor to I420, from_ndarray and encode with the same settings; one cv2.VideoWriter.write;
   cvtColor, Image.fromarray and quantize; one cv2.imwrite). Goals for either
   MP4: at most 0.5 ms per frame beyond the encoder itself; for MPEG-4 Part 2
   at most a few (5) ms more per frame than the headless loop. H.264's cost is
   printed as a ratio to MPEG-4 Part 2's (x264's threads count: the CPU time
   is the process's).

Exit status 1 when a goal is missed.
"""

import os
import sys
import tempfile
import threading
import time

os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

from kelvracv import _kelvra_core as kv  # noqa: E402

try:
    import av
except ImportError:
    av = None

SIZE = (800, 600)
FRAMES = 300      # frames per run of the plain loops
RECORDED = 60     # frames per recorded run
ROUNDS = 9


class NoSleep:
    """The time module without waiting: the loop's own work is what is timed."""

    def __getattr__(self, name):
        return getattr(time, name)

    def sleep(self, seconds):
        if threading.current_thread() is not threading.main_thread():
            time.sleep(seconds)  # the volume monitor keeps its pace


class NoWindow:
    """cv2 whose window calls do nothing; everything else is the real cv2."""

    def __getattr__(self, name):
        return getattr(cv2, name)

    def namedWindow(self, *a):
        pass

    resizeWindow = imshow = setWindowTitle = destroyAllWindows = namedWindow

    def waitKey(self, delay):
        return -1

    def getWindowProperty(self, name, prop):
        return 1.0


def tick(canvas, ts):
    """A small moving scene, so that every recorded frame differs."""
    ts["cursor_pos"] = (0.0, 0.0)
    kv.rotate(ts, 3)
    kv.rect(canvas, ts, (300, 200), (40, 90, 200), 1, True)
    kv.circle(canvas, ts, 120, (255, 200, 0), 4)


def one_run(env, frames, cv=None, av=None):
    """Milliseconds per frame of one run of `frames` frames under the settings env
    (an MP4 in MPEG-4 Part 2 unless PyAV is given as av)."""
    saved = {k: os.environ.get(k) for k in ("KELVRACV_HEADLESS", "KELVRACV_RECORD", "KELVRACV_FRAMES")}
    os.environ.update(env, KELVRACV_FRAMES=str(frames))
    real = kv.cv2
    kv.av = av
    if cv is not None:
        kv.cv2 = cv
    kv.time = NoSleep()
    try:
        kv.RUN = True
        t0 = time.process_time()
        kv.run(tick, (SIZE, "bench: headless"), (0, 0, 0))
        return 1000.0 * (time.process_time() - t0) / frames
    finally:
        kv.cv2 = real
        kv.time = time
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def interleaved(cases, rounds):
    """Best milliseconds per frame of each case, the cases taking turns so that
    the load of a shared machine falls on all of them alike."""
    best = {name: float("inf") for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            best[name] = min(best[name], fn())
    return best


def scene_frames(n):
    """The frames the tick draws, as the loop shows them."""
    canvas = np.zeros((SIZE[1], SIZE[0], 3), np.uint8)
    ts = {"rot": 0.0, "size": 1.0, "shift": (SIZE[0] / 2, SIZE[1] / 2), "cursor_pos": (0.0, 0.0),
          "full_transform": None, "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0),
          "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
    out = []
    for _ in range(n):
        canvas[:] = 0
        tick(canvas, ts)
        out.append(canvas.copy())
    return out


def direct_cost(kind, frames, tmp):
    """Milliseconds per frame of the bare library calls a recording makes."""
    t0 = time.process_time()
    if kind == "H.264":
        with av.open(os.path.join(tmp, "direct.mp4"), "w") as out:
            stream = out.add_stream("libx264", rate=60, options={"preset": "veryfast"})
            stream.width, stream.height, stream.pix_fmt = SIZE[0], SIZE[1], "yuv420p"
            for i, f in enumerate(frames):
                frame = av.VideoFrame.from_ndarray(cv2.cvtColor(f, cv2.COLOR_BGR2YUV_I420), format="yuv420p")
                frame.pts = i
                out.mux(stream.encode(frame))
            out.mux(stream.encode())
    elif kind == "MP4":
        w = cv2.VideoWriter(os.path.join(tmp, "direct.mp4"), cv2.VideoWriter_fourcc(*"mp4v"), 60.0, SIZE)
        for f in frames:
            w.write(f)
        w.release()
    elif kind == "GIF":
        held = [Image.fromarray(cv2.cvtColor(f, cv2.COLOR_BGR2RGB)).quantize(256, method=Image.Quantize.FASTOCTREE)
                for f in frames]
        held[0].save(os.path.join(tmp, "direct.gif"), save_all=True, append_images=held[1:], duration=20, loop=0)
    else:
        for i, f in enumerate(frames):
            cv2.imwrite(os.path.join(tmp, f"direct_{i}.png"), f)
    return 1000.0 * (time.process_time() - t0) / len(frames)


def main():
    ok = True
    t = interleaved({
        "window": lambda: one_run({}, FRAMES),
        "baseline": lambda: one_run({}, FRAMES, cv=NoWindow()),
        "headless": lambda: one_run({"KELVRACV_HEADLESS": "1"}, FRAMES),
    }, ROUNDS)
    ratio = t["headless"] / t["baseline"]
    held = ratio <= 1.05
    ok &= held
    print(f"window loop          {t['window']:7.3f} ms/frame")
    print(f"window calls removed {t['baseline']:7.3f} ms/frame (baseline)")
    print(f"headless             {t['headless']:7.3f} ms/frame -> {ratio:.3f} of the baseline "
          f"({'holds' if held else 'MISSES'} <= 1.05); "
          f"the window calls cost {t['window'] - t['baseline']:.3f} ms of CPU")
    with tempfile.TemporaryDirectory() as tmp:
        frames = scene_frames(RECORDED)
        cost = {}
        for label, target in (("H.264", "run.mp4"), ("MP4", "run.mp4"), ("GIF", "run.gif"), ("PNG", "f/f_%05d.png")):
            if label == "H.264" and av is None:
                print("headless + H.264: PyAV is not installed, left out")
                continue
            env = {"KELVRACV_HEADLESS": "1", "KELVRACV_RECORD": os.path.join(tmp, target)}
            t = interleaved({
                "headless": lambda: one_run({"KELVRACV_HEADLESS": "1"}, RECORDED),
                "recorded": lambda: one_run(env, RECORDED, av=av if label == "H.264" else None),
                "direct": lambda: direct_cost(label, frames, tmp),
            }, 5)
            extra = cost[label] = t["recorded"] - t["headless"]
            line = (f"headless + {label:5}  {t['recorded']:7.3f} ms/frame -> recording adds {extra:6.3f} ms per "
                    f"800x600 frame; the bare library calls take {t['direct']:6.3f} ms")
            if label in ("H.264", "MP4"):
                held = extra - t["direct"] <= 0.5 and (label == "H.264" or extra <= 5.0)
                ok &= held
                line += f" ({'holds' if held else 'MISSES'} <= 0.5 ms beyond the encoder"
                line += ")" if label == "H.264" else ", <= 5 ms)"
            print(line)
        if "H.264" in cost:
            print(f"H.264 costs {cost['H.264'] / cost['MP4']:.2f} times MPEG-4 Part 2 per recorded frame")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
