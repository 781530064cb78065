"""A scene written in the command language, edited live, then packaged.

The program writes a small project to examples/generated/tvf_project/:
scene.tvf (a landscape with a windmill, in TVF commands) and main.py (a
viewer for it). Then it shows the scene, drawing the file with `draw_tvf`
every frame, and edits the file while it runs, as you would in an editor:
the windmill's sails turn and the sky darkens towards evening. Open
scene.tvf in an editor yourself while it runs and save: the change shows at
the next frame. (`python -m kelvracv view scene.tvf` does the same for any
scene.)

When the window closes, `compile_project` packages the viewer and its scene
into one script, main_c.py, that runs anywhere the library is installed.

Run: `python examples/tvf_scene.py` (Escape quits and packages).
"""

import time
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvracv import _kelvra_core as kv

W, H = 800, 600
PROJECT = Path(__file__).resolve().parent / "generated" / "tvf_project"

# The scene. One command per line: the name, then its arguments, separated by
# a comma and ONE blank (", "); a tuple inside an argument is written with
# bare commas (255,0,0) or as an expression (C['GR'], a colour of the table).
# {sky}, {sail_angle} and {sun_y} are filled in by this program.
SCENE = """\
# Evening over the hills: a TVF scene.
# The origin is the canvas centre; x to the right, y down; angles clockwise.
clear, {sky}

# the sun, low over the hills
set_pos, 220,{sun_y}
circle, 46, C['LLO'], 1, true, true, 1.0
circle, 54, C['LO'], 2, false, true, 1.0

# hills: filled quads from the pen, each step relative to the previous corner
set_pos, -400,120
quad, 300,-90, 260,70, -560,20, C['DSAF'], 1, true, true
set_pos, -60,150
quad, 250,-70, 210,60, -460,10, C['SAF'], 1, true, true
set_pos, -400,150
rect, 800,150, C['DDSAF'], 1, true, false

# the mill: a tower, a roof, and sails turned about the hub (made the origin by shift)
set_pos, -200,40
rect, 50,110, C['LPE'], 1, true, false
set_pos, -210,40
tri, 70,0, -35,-40, C['DBR'], 1, true, true
push_state
shift, -175,20
set_rotate, {sail_angle}
set_pos, -95,-7
quad, 190,0, 0,14, -190,0, C['LS'], 1, true, true
set_rotate, {sail_angle_2}
quad, 190,0, 0,14, -190,0, C['LS'], 1, true, true
pop_state
set_pos, -175,20
circle, 7, C['DBR'], 1, true, true, 1.0

# a caption in OpenCV's font: size 1.6, stroke 2
set_pos, -380,-260
text, The mill at dusk, CV2, 1.6, C['LLGO'], 2, true
"""

VIEWER = '''\
"""Shows scene.tvf (packaged with it by compile_project)."""
from kelvracv import _kelvra_core as kv


def tick(canvas, ts):
    kv.draw_tvf(canvas, ts, "scene")


if __name__ == "__main__":
    kv.run(tick, ((800, 600), "The mill"), kv.C["K"])
'''


def write_scene(t: float) -> None:
    """Rewrites scene.tvf for the moment t (seconds): what an editor's save does."""
    dusk = min(t / 8.0, 1.0)
    sky = tuple(int(a + (b - a) * dusk) for a, b in zip(kv.C["SK"], kv.C["DDIN"]))
    angle = (t * 45.0) % 360
    text = SCENE.format(sky=",".join(map(str, sky)), sail_angle=f"{angle:.1f}",
                        sail_angle_2=f"{angle + 90:.1f}", sun_y=int(-40 + 120 * dusk))
    tmp = PROJECT / "scene.tvf.tmp"
    tmp.write_text(text, encoding="utf-8")
    tmp.replace(PROJECT / "scene.tvf")  # a whole file at every read, never half of one


def main() -> None:
    PROJECT.mkdir(parents=True, exist_ok=True)
    (PROJECT / "main.py").write_text(VIEWER, encoding="utf-8")
    start = time.perf_counter()
    write_scene(0.0)
    scene = str(PROJECT / "scene")  # draw_tvf adds ".tvf"
    last_edit = 0.0

    def tick(canvas: npt.NDArray[np.uint8], ts: dict[str, Any]) -> None:
        nonlocal last_edit
        t = time.perf_counter() - start
        if t - last_edit >= 0.1:  # ten edits a second
            write_scene(t)
            last_edit = t
        kv.draw_tvf(canvas, ts, scene)  # read afresh at every call

    kv.run(tick, ((W, H), "TVF scene (edit generated/tvf_project/scene.tvf)"), kv.C["K"])

    packaged = kv.compile_project(str(PROJECT / "main.py"))
    print("Packaged the viewer and its scene into", packaged)
    print("Run it anywhere the library is installed: python", packaged)


if __name__ == "__main__":
    main()
