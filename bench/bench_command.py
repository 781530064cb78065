"""A 500-line TVF scene: the native draw_tvf against

- a pure-Python transcription of the command language that converts
  expressions with eval (the baseline the native parser replaces);
- the same 500 commands run one by one from Python: a script loop that
  reads the file and calls the module's draw_command for each line, as
  draw_tvf would be written in Python around the native commands (and, as a
  best case for Python, the lines already split in memory);
- the same 500 drawing calls made one by one from Python with their
  arguments already converted (no parsing at all: the floor).

Needs the drawing primitives and the state functions in the module.
"""

import os
import sys
import tempfile
import time

os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

import numpy as np

from kelvracv import _kelvra_core as kv

NEEDED = ["clear", "line", "rect", "circle", "poly", "tri", "quad", "blit", "blit_cached", "text", "move",
          "push_state", "pop_state", "set_size", "set_rotate", "set_shift", "shift", "rotate", "scale"]


def record():
    return {"rot": 0.0, "size": 1.0, "shift": (300.0, 200.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
            "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0),
            "is_3d": False}


def scene_lines(n=500):
    lines = ["# generated scene", "clear, 10,10,20"]
    i = 0
    while len(lines) < n:
        k = i % 10
        x, y = (i * 37) % 200 - 100, (i * 53) % 160 - 80
        if k == 0:
            lines.append("push_state")
        elif k == 1:
            lines.append("line, %d,%d, 255,%d,0, 1, false" % (x, y, i % 256))
        elif k == 2:
            lines.append("rect, %d,%d, C['G'], 1, false, false" % (abs(x) % 40 + 2, abs(y) % 30 + 2))
        elif k == 3:
            lines.append("circle, %d.5, 0,%d,255, 1, false, false, 1.0" % (i % 20 + 1, i % 256))
        elif k == 4:
            lines.append("move, %d,%d" % (y, x))
        elif k == 5:
            lines.append("tri, %d,10, 10,%d, 200,100,50, 1, false, false" % (x % 30, y % 30))
        elif k == 6:
            lines.append("set_rotate, %d" % (i % 360))
        elif k == 7:
            lines.append("line, %d,%d, C['R'], 1, true" % (y, x))
        elif k == 8:
            lines.append("shift, 1.5,-0.5")
        else:
            lines.append("pop_state")
        i += 1
    return lines


# ---- the pure-Python transcription -----------------------------------------------

def py_str_to_array(s):
    f = s.split(", ")
    return np.frombuffer(bytes.fromhex(f[2]), dtype=f[0]).reshape(eval(f[1], vars(kv), {"s": s}))


def py_draw_command_convert(arr, ts, cmd_str, info):
    g = vars(kv)
    TC = {0: lambda s: s.lower() in ("true", "1", "t"), 1: int, 2: float,
          3: lambda s: eval("(" + s + ")", g, {"s": s}), 10: py_str_to_array, 11: str}
    SYNTAX = {"tri": [3, 3, 3, 1, 0, 0], "line": [3, 3, 1, 0], "rect": [3, 3, 1, 0, 0], "circle": [2, 3, 1, 0, 0, 2],
              "clear": [3], "move": [3], "blit": [10, 3], "blit_c": [11, 3], "quad": [3, 3, 3, 3, 1, 0, 0],
              "text": [11, 11, 2, 3, 1, 0], "push_state": [], "pop_state": [], "set_size": [2], "set_rotate": [2],
              "set_shift": [3], "set_cam_pos": [3], "set_cam_rot": [3], "set_3d_mode": [0], "set_pos": [3],
              "shift": [3], "rotate": [2], "scale": [2]}
    cmds = [c.strip() for c in cmd_str.split(", ")]
    name = cmds[0]
    exp = SYNTAX.get(name)
    if exp is None or len(cmds) - 1 != len(exp):
        detail = "unknown" if exp is None else "expects " + str(len(exp)) + " args, got " + str(len(cmds) - 1)
        print("Error @ " + str(info) + ":Cmd '" + name + "' " + detail + ".")
        return None
    result = [getattr(kv, "blit_cached" if name == "blit_c" else name)]
    for arg, t in zip(cmds[1:], exp):
        try:
            result.append(TC[t](arg.strip()))
        except Exception as e:
            print("Error @ " + str(info) + ":Arg '" + arg + "' for '" + name + "' failed:" + str(e))
            return None
    return result


def py_draw_command(arr, ts, cmd_str, info="Direct Call"):
    result = py_draw_command_convert(arr, ts, cmd_str, info)
    if result is None:
        return None
    func, *args = result
    try:
        group = [kv.clear, kv.line, kv.rect, kv.circle, kv.poly, kv.tri, kv.quad, kv.blit, kv.blit_cached, kv.text]
        if func in group:
            func(arr, ts, *args)
        else:
            func(ts, *args)
    except Exception as e:
        print("Execution Error @ " + str(info) + ":" + str(e) + " in " + func.__name__ + "(...)")


def py_draw_tvf(arr, ts, file_name):
    tvf_path = file_name + ".tvf"
    try:
        with open(tvf_path, "r") as file:
            for i, line in enumerate(file, 1):
                cmd = line.strip()
                if not cmd or cmd.startswith("#"):
                    continue
                py_draw_command(arr, ts, cmd, "TVF '" + tvf_path + "' line " + str(i))
    except Exception as e:
        print("Error reading TVF '" + tvf_path + "':" + str(e))


# ---- measurement -------------------------------------------------------------------

def best(fn, reps):
    times = []
    for _ in range(reps):
        arr, ts = np.zeros((400, 600, 3), np.uint8), record()
        t0 = time.perf_counter()
        fn(arr, ts)
        times.append(time.perf_counter() - t0)
    return min(times), arr, ts


def main():
    missing = [n for n in NEEDED if not hasattr(kv, n)]
    if missing:
        print("bench_command: SKIPPED - the module lacks " + ", ".join(missing) +
              " (the drawing primitives and state functions are needed)")
        return 0
    lines = scene_lines()
    with tempfile.TemporaryDirectory() as d:
        base = os.path.join(d, "scene")
        with open(base + ".tvf", "w") as f:
            f.write("\n".join(lines) + "\n")

        # the same calls, converted once beforehand
        calls = []
        for cmd in lines:
            if cmd and not cmd.startswith("#"):
                func, *args = py_draw_command_convert(None, None, cmd, "prep")
                canvas = func in [kv.clear, kv.line, kv.rect, kv.circle, kv.poly, kv.tri, kv.quad, kv.blit,
                                  kv.blit_cached, kv.text]
                calls.append((func, tuple(args), canvas))

        def direct(arr, ts):
            for func, args, canvas in calls:
                if canvas:
                    func(arr, ts, *args)
                else:
                    func(ts, *args)

        def commands(arr, ts):
            dc = kv.draw_command
            for cmd in lines:
                if cmd and not cmd.startswith("#"):
                    dc(arr, ts, cmd)

        def script_loop(arr, ts):
            path = base + ".tvf"
            with open(path, "r") as file:
                for i, line in enumerate(file, 1):
                    cmd = line.strip()
                    if cmd and not cmd.startswith("#"):
                        kv.draw_command(arr, ts, cmd, "TVF '" + path + "' line " + str(i))

        reps = int(os.environ.get("BENCH_REPS", "30"))
        t_nat, a_nat, ts_nat = best(lambda a, t: kv.draw_tvf(a, t, base), reps)
        t_py, a_py, ts_py = best(lambda a, t: py_draw_tvf(a, t, base), max(3, reps // 5))
        t_dir, a_dir, ts_dir = best(direct, reps)
        t_cmd, a_cmd, ts_cmd = best(commands, reps)
        t_loop, a_loop, ts_loop = best(script_loop, reps)
        same = all(np.array_equal(a_nat, x) for x in (a_py, a_dir, a_cmd, a_loop))
        same = same and ts_nat == ts_py == ts_dir == ts_cmd == ts_loop
        print("bench_command: 500-line TVF scene, best of %d (ratio = other time / native draw_tvf time)" % reps)
        print("  native draw_tvf                                %8.3f ms" % (t_nat * 1e3))
        print("  Python transcription with eval                 %8.3f ms   ratio %5.2fx (goal >= 3)"
              % (t_py * 1e3, t_py / t_nat))
        print("  Python script loop calling draw_command        %8.3f ms   ratio %5.2fx (goal > 1)"
              % (t_loop * 1e3, t_loop / t_nat))
        print("  draw_command over lines already in memory      %8.3f ms   ratio %5.2fx"
              % (t_cmd * 1e3, t_cmd / t_nat))
        print("  500 direct drawing calls, arguments ready      %8.3f ms   ratio %5.2fx (no parsing: the floor)"
              % (t_dir * 1e3, t_dir / t_nat))
        print("  identical canvases and records:                %s" % same)
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
