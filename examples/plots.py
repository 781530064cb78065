"""Function plots on a sheet that tilts away in perspective.

What it shows:

* `graph` plotting y = f(x) with the pen as the plot's origin, `x_scale` and
  `y_scale` in world units per unit (a negative `y_scale`, since world y
  points down), and a function that is undefined in places (1/x, a square
  root) breaking the curve where it raises or returns NaN;
* a homography view with `set_homography`: four screen points of the flat
  picture and where they should appear; everything drawn afterwards in 2-D
  is warped through it, curves and lines alike;
* grid lines drawn as lines and the frame as a `quad`, because `rect` stays
  axis-aligned on screen (only its two corners go through the view);
* the mouse's world position under the tilted view (`get_input("mouse",
  "pos", ts)` undoes the homography).

Run: `python examples/plots.py` (Escape quits).
"""

import math
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvracv import _kelvra_core as kv

W, H = 800, 600
UNIT = 60.0  # world units (pixels, before the view) per unit of x and y
X_RANGE = 5.5

CURVES: list[tuple[str, Callable[[float], float], tuple[int, int, int]]] = [
    ("sin x", math.sin, kv.C["LR"]),
    ("x^2 / 4 - 2", lambda x: x * x / 4 - 2, kv.C["LGR"]),
    # NaN breaks the curve: without it the two branches would be joined across the pole.
    ("1 / x", lambda x: 1 / x if abs(x) > 0.02 else math.nan, kv.C["LC"]),
    ("sqrt(x)", math.sqrt, kv.C["GO"]),  # ValueError below 0: drawn only where defined
]


def travelling(f: Callable[[float], float], t: float) -> Callable[[float], float]:
    return lambda x: f(x + t)


def goto(ts: dict[str, Any], x: float, y: float) -> None:
    kv.set_pos(ts, (x, y))


def draw_sheet(canvas: npt.NDArray[np.uint8], ts: dict[str, Any], t: float) -> None:
    half_w, half_h = X_RANGE * UNIT, 4 * UNIT
    goto(ts, -half_w, -half_h)
    kv.quad(canvas, ts, (2 * half_w, 0), (0, 2 * half_h), (-2 * half_w, 0), kv.C["DDK"], 1, True)
    for i in range(-5, 6):  # vertical grid lines, one per unit
        goto(ts, i * UNIT, -half_h)
        kv.line(canvas, ts, (0, 2 * half_h), kv.C["DDG"] if i else kv.C["DS"], 1)
    for j in range(-4, 5):
        goto(ts, -half_w, j * UNIT)
        kv.line(canvas, ts, (2 * half_w, 0), kv.C["DDG"] if j else kv.C["DS"], 1)

    goto(ts, 0, 0)  # the plots' origin
    for i, (_, f, color) in enumerate(CURVES):
        curve = travelling(f, t) if i == 0 else f
        kv.graph(canvas, ts, curve, -X_RANGE, X_RANGE, color, 2, x_scale=UNIT, y_scale=-UNIT)

    for i, (name, _, color) in enumerate(CURVES):  # a legend, bottom-left of each entry at the pen
        goto(ts, -half_w + 12, -half_h + 30 + 28 * i)
        kv.text(canvas, ts, name, "CV2", 1.1, color, 2)


def tick(canvas: npt.NDArray[np.uint8], ts: dict[str, Any]) -> None:
    t = time.perf_counter() - START
    # The view: the picture's corners (screen points of the flat view) and
    # where they go. The top edge draws in and back as if the sheet tilted.
    tilt = 0.5 + 0.5 * math.sin(t * 0.8)
    inset = 200 * tilt
    src = [[0, 0], [W, 0], [W, H], [0, H]]
    dst = [[inset, 120 * tilt], [W - inset, 120 * tilt], [W - 20, H - 10], [20, H - 10]]
    kv.set_homography(ts, src, dst)

    draw_sheet(canvas, ts, t)

    mx, my, _ = kv.get_input("mouse", "pos", ts)
    kv.push_state(ts)
    ts["full_transform"] = ts["full_transform_inv"] = None  # the readout is drawn without the view
    goto(ts, -W / 2 + 10, H / 2 - 12)
    kv.text(canvas, ts, f"mouse at x = {mx / UNIT:+.2f}, y = {-my / UNIT:+.2f}", "CV2", 1.0, kv.C["S"])
    kv.pop_state(ts)


START = time.perf_counter()

if __name__ == "__main__":
    kv.run(tick, ((W, H), "Plots in perspective"), kv.C["K"])
