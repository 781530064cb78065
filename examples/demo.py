"""A small animated scene built with kelvracv.

What it shows, one idea per drawing function below:

* the frame loop: `run` calls `tick(canvas, ts)` about 60 times a second, with
  a freshly cleared canvas and the same transform-state record `ts`;
* the transform stack: `push_state` saves the record, `move`/`rotate`/
  `set_size` change it, `pop_state` puts everything back;
* filled and outlined shapes (`rect`, `quad`, `tri`, `circle`, `arc`), a
  function plot (`graph`) and text;
* a 3-D wire tunnel seen through the record's camera (`set_3d_mode`,
  `set_cam_pos`, `set_cam_rot`);
* input: WASD or the arrow keys move the ship, the mouse's world position
  (`get_input("mouse", "pos", ts)`) is where the ship aims; Escape quits.

World coordinates: the origin is the centre of the window, x to the right and
y downwards, one unit per pixel while the size is 1.

Run it with `python demo.py`. With KELVRA_DEMO_SCREENSHOT=path it runs about
three seconds on its own, saves one frame to that path and exits.
"""

import math
import os
import sys

from typing import Any

import cv2
import numpy as np
import numpy.typing as npt

from kelvracv import _kelvra_core as kv

Canvas = npt.NDArray[np.uint8]
Record = dict[str, Any]

WINDOW = ((800, 600), "kelvracv demo")
BACKGROUND = kv.C["DDN"]
SCREENSHOT = os.environ.get("KELVRA_DEMO_SCREENSHOT")
SHOT_FRAME, LAST_FRAME = 150, 180  # screenshot mode: save at ~2.5 s, stop at ~3 s

SHIP_SPEED = 4.0  # world units per frame


class Scene:
    """Everything that lives longer than one frame."""

    def __init__(self) -> None:
        self.frame = 0
        self.ship = [-200.0, 120.0]
        self.heading = 0.0  # degrees, 0 = pointing along +x


scene = Scene()


def goto(ts: Record, x: float, y: float) -> None:
    """Puts the pen at the world point (x, y) (the pen only moves relatively)."""
    cx, cy = ts["cursor_pos"][:2]
    kv.move(ts, (x - cx, y - cy))


def local_frame(ts: Record, x: float, y: float) -> None:
    """Makes the world point (x, y) the new origin and puts the pen there.

    Rotation and scale act about the origin, so an object that turns in place
    gets its own origin first. `shift` moves the origin in screen pixels,
    which equal world units here because the top-level record is unrotated
    and unscaled.
    """
    kv.shift(ts, (x, y))
    goto(ts, 0, 0)


# ---- input -------------------------------------------------------------------


def held(*names: str) -> bool:
    """True while any of the keys is held: letters in any case ("w"), special
    keys in pynput's spelling ("Key.left")."""
    return any(kv.get_input("held", n) for n in names)


def steer_ship(ts: Record) -> tuple[float, float]:
    dx = held("d", "Key.right") - held("a", "Key.left")
    dy = held("s", "Key.down") - held("w", "Key.up")
    scene.ship[0] = min(380.0, max(-380.0, scene.ship[0] + dx * SHIP_SPEED))
    scene.ship[1] = min(280.0, max(-280.0, scene.ship[1] + dy * SHIP_SPEED))
    # Aim at the mouse: its screen position mapped back into the world.
    mx, my, _ = kv.get_input("mouse", "pos", ts)
    if (mx, my) != tuple(scene.ship):
        scene.heading = math.degrees(math.atan2(my - scene.ship[1], mx - scene.ship[0]))
    return mx, my


# ---- scene parts -------------------------------------------------------------


def draw_sun(canvas: Canvas, ts: Record, t: float) -> None:
    """A filled circle with rays that turn: rotation inside a saved state."""
    kv.push_state(ts)
    local_frame(ts, -300, -210)
    kv.circle(canvas, ts, 38, kv.C["Y"], fill=True, aa=True)
    kv.circle(canvas, ts, 46, kv.C["LO"], 2, aa=True)
    kv.rotate(ts, t * 40)
    for _ in range(12):
        kv.push_state(ts)
        kv.move(ts, (54, 0))  # along the ray: world units are turned by "rot"
        kv.line(canvas, ts, (18 + 6 * math.sin(t * 4), 0), kv.C["O"], 3, True)
        kv.pop_state(ts)
        kv.rotate(ts, 30)
    kv.pop_state(ts)


def draw_spinner(canvas: Canvas, ts: Record, t: float) -> None:
    """A pulsing, turning square (quad) and two arcs chasing each other."""
    kv.push_state(ts)
    local_frame(ts, 280, -200)
    kv.set_size(ts, 1.0 + 0.25 * math.sin(t * 2))
    kv.rotate(ts, -t * 60)
    kv.push_state(ts)
    kv.move(ts, (-35, -35))
    kv.quad(canvas, ts, (70, 0), (0, 70), (-70, 0), kv.C["TU"], 1, True)
    kv.quad(canvas, ts, (70, 0), (0, 70), (-70, 0), kv.C["W"], 2, False, True)
    kv.pop_state(ts)
    start = (t * 180) % 360
    kv.arc(canvas, ts, 70, start, start + 120, kv.C["LM"], 4, True)
    kv.arc(canvas, ts, 70, start + 180, start + 300, kv.C["LC"], 4, True)
    kv.pop_state(ts)


def draw_plot(canvas: Canvas, ts: Record, t: float) -> None:
    """A framed function plot: y = f(x), adaptively sampled."""
    kv.push_state(ts)
    goto(ts, -360, 170)
    kv.rect(canvas, ts, (300, 110), kv.C["DDG"], 1, fill=True)
    kv.rect(canvas, ts, (300, 110), kv.C["G"], 1)
    goto(ts, -350, 225)
    kv.line(canvas, ts, (280, 0), kv.C["G"], 1)  # the x axis
    goto(ts, -350, 225)
    wave = lambda x: math.sin(x * 3 + t * 3) * math.exp(-0.15 * x)  # noqa: E731
    kv.graph(canvas, ts, wave, 0.0, 7.0, kv.C["LGR"], 2, x_scale=40.0, y_scale=-45.0)
    kv.pop_state(ts)


def draw_tunnel(canvas: Canvas, ts: Record, t: float) -> None:
    """A wire tunnel through the 3-D camera, flying forward and rolling.

    The camera projects x / depth with no focal length of its own, so the
    tunnel is a few units deep and a hundred or so wide.
    """
    kv.push_state(ts)  # the pop restores 2-D mode, the camera and the cursor
    kv.set_shift(ts, (610.0, 430.0))  # screen point where the tunnel's axis appears
    kv.set_3d_mode(ts, True)
    kv.set_cam_pos(ts, (0.0, 0.0, (t * 2.0) % 1.0 - 1.0))
    kv.set_cam_rot(ts, (0.0, 0.0, t * 25.0))
    half, rings = 70.0, 9
    for k in range(1, rings):
        goto3 = (-half - ts["cursor_pos"][0], -half - ts["cursor_pos"][1], k - ts["cursor_pos"][2])
        kv.move(ts, goto3)
        shade = kv.C["LC"] if k % 3 == 0 else kv.C["DC"]
        kv.rect(canvas, ts, (2 * half, 2 * half), shade, 1)
    for cx, cy in ((-half, -half), (half, -half), (half, half), (-half, half)):
        c = ts["cursor_pos"]
        kv.move(ts, (cx - c[0], cy - c[1], 1.0 - c[2]))
        kv.line(canvas, ts, (0, 0, rings - 2.0), kv.C["C"], 1, True)
    kv.pop_state(ts)


def draw_ship(canvas: Canvas, ts: Record, mouse: tuple[float, float]) -> None:
    """The player's ship: a triangle turned towards the mouse."""
    mx, my = mouse
    kv.push_state(ts)
    goto(ts, *scene.ship)
    kv.line(canvas, ts, (mx - scene.ship[0], my - scene.ship[1]), kv.C["DG"], 1)
    local_frame(ts, *scene.ship)
    kv.rotate(ts, scene.heading)
    kv.move(ts, (-12, -10))
    kv.tri(canvas, ts, (32, 10), (-32, 10), kv.C["LR"], 1, True, True)
    kv.tri(canvas, ts, (32, 10), (-32, 10), kv.C["W"], 1, False, True)
    kv.pop_state(ts)
    # Crosshair at the mouse's world position.
    kv.push_state(ts)
    goto(ts, mx, my)
    kv.circle(canvas, ts, 10, kv.C["W"], 1, aa=True)
    kv.pop_state(ts)


def draw_hud(canvas: Canvas, ts: Record) -> None:
    kv.push_state(ts)
    goto(ts, -380, -270)
    kv.text(canvas, ts, "WASD / arrows: move   mouse: aim   Esc: quit", "CV2", 1.0, kv.C["LS"])
    goto(ts, 150, 280)
    held_keys = " ".join(sorted(kv.KEYS)) or "-"
    kv.text(canvas, ts, "keys: " + held_keys, "CV2", 1.0, kv.C["S"])
    kv.pop_state(ts)


# ---- the tick function ---------------------------------------------------------


def tick(canvas: Canvas, ts: Record) -> bool | None:
    scene.frame += 1
    t = scene.frame / 60.0
    if SCREENSHOT and scene.frame == 1:
        # Unattended run: hold "d" for a while and put the pointer somewhere,
        # through the same entry points the input listeners use.
        kv.simulate_key_press("d")
        kv.on_move(560, 140)
    if SCREENSHOT and scene.frame == 45:
        kv.KEYS.pop("d", None)

    mouse = steer_ship(ts)
    draw_tunnel(canvas, ts, t)
    draw_sun(canvas, ts, t)
    draw_spinner(canvas, ts, t)
    draw_plot(canvas, ts, t)
    draw_ship(canvas, ts, mouse)
    draw_hud(canvas, ts)

    if SCREENSHOT and scene.frame == SHOT_FRAME:
        cv2.imwrite(SCREENSHOT, canvas)
        print("Saved a screenshot of frame", scene.frame, "to", SCREENSHOT)
    if SCREENSHOT and scene.frame >= LAST_FRAME:
        return False  # ends the loop after this frame
    return None


if __name__ == "__main__":
    kv.run(tick, WINDOW, BACKGROUND)
    if SCREENSHOT and scene.frame < SHOT_FRAME:
        sys.exit("The demo stopped at frame %d, before its screenshot." % scene.frame)
