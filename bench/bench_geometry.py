"""Calls per second of the coordinate pipeline against a pure-Python
transcription of the same formulas, measured in the same run."""

import os
import sys

os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import numpy as np

from _timing import per_call, report
from kelvracv import _kelvra_core as kv
from reference import apply_homography as py_apply_homography, inverse_transform as py_inverse_transform, \
    make_record, transform as py_transform, transform_3d as py_transform_3d


def record(**kw):
    return make_record(800, 600, **{"rot": 30.0, "size": 1.5, "cam_rot_3d": (10.0, 20.0, 5.0), **kw})


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
        assert fast() == slow(), name
        ratio = report(name, per_call(fast), per_call(slow))
        if goal and ratio < goal:
            failed.append(f"{name}: {ratio:.2f}x < {goal}x")
    print("targets:", "all met" if not failed else "; ".join(failed))


if __name__ == "__main__":
    main()
