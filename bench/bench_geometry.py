"""Calls per second of the coordinate pipeline against a pure-Python
transcription of the same formulas, measured in the same run."""

import math
import os
import sys

os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
sys.path.insert(0, os.path.dirname(__file__))

import numpy as np

from _timing import per_call, report
from kelvracv import _kelvra_core as kv

PI = 3.141592653589793


def py_apply_homography(H, pt):
    M = np.asarray(H, dtype=np.float64)
    v = np.array([pt[0], pt[1], 1.0], dtype=np.float64)
    r = M @ v
    w = float(r[2])
    if abs(w) > 1e-6:
        return (float(r[0] / w), float(r[1] / w))
    return (float(pt[0]), float(pt[1]))


def py_transform_3d(p, ts):
    rot, size = float(ts["rot"]), float(ts["size"])
    x, y = float(p[0]), float(p[1])
    z = float(p[2]) if len(p) == 3 else 0.0
    a = rot * PI / 180
    c, s = math.cos(a), math.sin(a)
    cp, cr = ts["cam_pos_3d"], ts["cam_rot_3d"]
    X = (c * x - s * y) * size - float(cp[0])
    Y = (c * y + s * x) * size - float(cp[1])
    Z = size * z - float(cp[2])
    rx, ry, rz = float(cr[0]) * PI / 180, float(cr[1]) * PI / 180, float(cr[2]) * PI / 180
    x1 = X * math.cos(ry) + Z * math.sin(ry)
    z1 = Z * math.cos(ry) - X * math.sin(ry)
    y2 = Y * math.cos(rx) - z1 * math.sin(rx)
    z2 = z1 * math.cos(rx) + Y * math.sin(rx)
    x3 = x1 * math.cos(rz) - y2 * math.sin(rz)
    y3 = x1 * math.sin(rz) + y2 * math.cos(rz)
    t = math.tan(90.0 * PI / 180 * 0.5)
    if abs(z2) > 1e-6:
        px, py, d = x3 / z2 * (1 / t), y3 / z2 * (1 / t), z2
    else:
        px, py, d = 0.0, 0.0, -1.0
    return (px + float(ts["shift"][0]), py + float(ts["shift"][1]), d)


def py_transform(p, ts):
    if ts["is_3d"]:
        if len(p) != 3:
            p = (p[0], p[1], 0.0)
        x, y, d = py_transform_3d(p, ts)
        return (x, y) if d >= 1e-6 else (np.inf, np.inf)
    x, y = float(p[0]), float(p[1])
    a = float(ts["rot"]) * PI / 180
    c, s = math.cos(a), math.sin(a)
    sx = (c * x - s * y) * float(ts["size"]) + float(ts["shift"][0])
    sy = (c * y + s * x) * float(ts["size"]) + float(ts["shift"][1])
    if ts.get("full_transform", None) is None:
        return (sx, sy)
    return py_apply_homography(ts["full_transform"], (sx, sy))


def py_inverse_transform(s, ts):
    x, y = float(s[0]), float(s[1])
    rot, size = float(ts["rot"]), float(ts["size"])
    if ts.get("full_transform_inv", None) is not None:
        x, y = py_apply_homography(ts["full_transform_inv"], (x, y))
    sx, sy = float(ts["shift"][0]), float(ts["shift"][1])
    if abs(size) < 1e-6:
        return (0.0, 0.0, 0.0)
    lx, ly = (x - sx) / size, (y - sy) / size
    a = -rot * PI / 180
    return (math.cos(a) * lx - math.sin(a) * ly, math.sin(a) * lx + math.cos(a) * ly, 0.0)


def record(**kw):
    ts = {"rot": 30.0, "size": 1.5, "shift": (400.0, 300.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
          "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (10.0, 20.0, 5.0),
          "is_3d": False}
    ts.update(kw)
    return ts


def main():
    p = (12.5, -7.25)
    H = np.array([[1.1, 0.02, 3.0], [0.01, 0.95, -2.0], [1e-4, 2e-4, 1.0]])
    ts2, ts3, tsh = record(), record(is_3d=True), record(full_transform=H, full_transform_inv=np.linalg.inv(H))
    rows = [
        ("transform 2-D", lambda: kv.transform(p, ts2), lambda: py_transform(p, ts2), 2.0),
        ("transform 3-D", lambda: kv.transform(p, ts3), lambda: py_transform(p, ts3), 4.0),
        ("transform with homography", lambda: kv.transform(p, tsh), lambda: py_transform(p, tsh), 5.0),
        ("transform_3d", lambda: kv.transform_3d(p, ts3), lambda: py_transform_3d(p, ts3), None),
        ("inverse_transform", lambda: kv.inverse_transform(p, ts2), lambda: py_inverse_transform(p, ts2), None),
        ("inverse_transform with homography", lambda: kv.inverse_transform(p, tsh),
         lambda: py_inverse_transform(p, tsh), None),
        ("apply_homography", lambda: kv.apply_homography(H, p), lambda: py_apply_homography(H, p), None),
    ]
    failed = []
    for name, fast, slow, goal in rows:
        assert fast() == slow() or name.startswith("apply") or "homography" in name
        ratio = report(name, per_call(fast), per_call(slow))
        if goal and ratio < goal:
            failed.append(f"{name}: {ratio:.2f}x < {goal}x")
    print("targets:", "all met" if not failed else "; ".join(failed))


if __name__ == "__main__":
    main()
