"""A 3-D wireframe scene seen through the record's camera.

A spinning cube, a pyramid and an octahedron stand on a grid floor; the camera
glides forward and back, drifts sideways, bobs and rolls.

What it shows:

* 3-D mode: `set_3d_mode(ts, True)` makes the pen (x, y, z) and sends every
  point through the camera; `set_cam_pos` and `set_cam_rot` place it;
* the projection has no focal length of its own: a point at depth d lands
  x / d pixels from the screen centre. The scene is modelled in metres and
  its x and y are multiplied by a focal length F (in pixels) when drawn, so
  one metre at a depth of one metre is F pixels. Because of that, the camera
  is kept to moving and rolling (`cam_rot_3d`'s z angle); the objects turn
  themselves;
* edges drawn with `set_pos` (absolute pen) and `line` (a relative step);
  a segment with an end behind the camera is skipped, so the floor is drawn
  in short pieces;
* `rect` in 3-D mode: a rectangle in a plane of constant z (a gate);
* a 2-D overlay drawn inside `push_state`/`pop_state` after switching 3-D
  mode off.

Run: `python examples/wireframe.py` (Escape quits).
"""

import math
import time
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvracv import _kelvra_core as kv

W, H = 800, 600
F = 420.0  # focal length in pixels
Point = tuple[float, float, float]

CUBE_V = [(x, y, z) for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)]
CUBE_E = [(a, b) for a in range(8) for b in range(a + 1, 8) if bin(a ^ b).count("1") == 1]
PYRAMID_V = [(-1, 1, -1), (1, 1, -1), (1, 1, 1), (-1, 1, 1), (0, -1, 0)]
PYRAMID_E = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 4), (1, 4), (2, 4), (3, 4)]
OCTA_V = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
OCTA_E = [(a, b) for a in range(6) for b in range(a + 1, 6) if a // 2 != b // 2]
FLOOR_Y = 1.2  # metres below the eye line (y points down)


def turned(p: tuple[float, float, float], yaw: float, pitch: float) -> Point:
    """p turned by yaw about the vertical axis, then by pitch about x (degrees)."""
    x, y, z = p
    cy, sy = math.cos(math.radians(yaw)), math.sin(math.radians(yaw))
    x, z = x * cy + z * sy, z * cy - x * sy
    cp, sp = math.cos(math.radians(pitch)), math.sin(math.radians(pitch))
    return (x, y * cp - z * sp, z * cp + y * sp)


def to_world(p: Point) -> Point:
    """Metres to the record's world units: x and y in pixels at unit depth."""
    return (p[0] * F, p[1] * F, p[2])


def edge(canvas: npt.NDArray[np.uint8], ts: dict[str, Any], a: Point, b: Point, color: tuple[int, int, int]) -> None:
    wa, wb = to_world(a), to_world(b)
    kv.set_pos(ts, wa)
    kv.line(canvas, ts, (wb[0] - wa[0], wb[1] - wa[1], wb[2] - wa[2]), color, 1, True)


def solid(canvas: npt.NDArray[np.uint8], ts: dict[str, Any], verts: list[tuple[int, int, int]],
          edges: list[tuple[int, int]], centre: Point, size: float, yaw: float, pitch: float,
          color: tuple[int, int, int]) -> None:
    pts = []
    for v in verts:
        x, y, z = turned((v[0] * size, v[1] * size, v[2] * size), yaw, pitch)
        pts.append((x + centre[0], y + centre[1], z + centre[2]))
    for a, b in edges:
        edge(canvas, ts, pts[a], pts[b], color)


def floor(canvas: npt.NDArray[np.uint8], ts: dict[str, Any]) -> None:
    for i in range(-6, 7):  # lines running away from the camera, in one-metre pieces
        for z in range(-2, 16):
            edge(canvas, ts, (i, FLOOR_Y, z), (i, FLOOR_Y, z + 1), kv.C["DDT"])
    for z in range(-2, 17):  # lines across
        edge(canvas, ts, (-6, FLOOR_Y, z), (6, FLOOR_Y, z), kv.C["DDT"])


def tick(canvas: npt.NDArray[np.uint8], ts: dict[str, Any]) -> None:
    t = time.perf_counter() - START
    kv.push_state(ts)  # the pop restores 2-D mode, the camera and the pen
    kv.set_3d_mode(ts, True)
    cam = (1.2 * math.sin(t * 0.5), -0.3 + 0.15 * math.sin(t * 1.3), -3.0 + 2.0 * math.sin(t * 0.3))
    kv.set_cam_pos(ts, to_world(cam))
    kv.set_cam_rot(ts, (0.0, 0.0, 6.0 * math.sin(t * 0.7)))  # roll only

    floor(canvas, ts)
    kv.set_pos(ts, to_world((-1.6, -1.0, 10.0)))
    kv.rect(canvas, ts, (3.2 * F, 2.2 * F), kv.C["DO"], 2, aa=True)  # a gate at z = 10
    solid(canvas, ts, CUBE_V, CUBE_E, (0.0, 0.2, 5.0), 0.6, t * 40, t * 25, kv.C["LC"])
    solid(canvas, ts, PYRAMID_V, PYRAMID_E, (-2.6, 0.5, 7.5), 0.7, -t * 30, 0.0, kv.C["LGO"])
    solid(canvas, ts, OCTA_V, OCTA_E, (2.6, -0.2, 8.0), 0.8, t * 60, 20.0, kv.C["LM"])
    kv.pop_state(ts)

    kv.push_state(ts)
    kv.set_pos(ts, (-W / 2 + 10, H / 2 - 12))
    x, y, z = cam
    kv.text(canvas, ts, f"camera at ({x:+.1f}, {y:+.1f}, {z:+.1f}) m", "CV2", 1.0, kv.C["S"])
    kv.pop_state(ts)


START = time.perf_counter()

if __name__ == "__main__":
    kv.run(tick, ((W, H), "Wireframe"), kv.C["DDN"])
