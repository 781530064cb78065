"""Plain-Python transcriptions of the library's documented formulas, in their
documented order of operations: the coordinate pipeline and blit's warp and
compositing. The tests compare the native results with them bit for bit; the
benchmarks time them as the pure-Python baseline."""

import math

import cv2
import numpy as np

PI = 3.141592653589793


# ---- the coordinate pipeline ---------------------------------------------------------

def apply_homography(H, pt):
    M = np.asarray(H, dtype=np.float64)
    v = (float(pt[0]), float(pt[1]), 1.0)
    r0, r1, w = (M[i, 0] * v[0] + M[i, 1] * v[1] + M[i, 2] * v[2] for i in range(3))
    if abs(w) > 1e-6:
        return (float(r0 / w), float(r1 / w))
    return (float(pt[0]), float(pt[1]))


def transform_2d(p, ts):
    x, y = float(p[0]), float(p[1])
    r = float(ts["rot"]) * PI / 180
    c, s = math.cos(r), math.sin(r)
    sx = (c * x - s * y) * float(ts["size"]) + float(ts["shift"][0])
    sy = (c * y + s * x) * float(ts["size"]) + float(ts["shift"][1])
    H = ts.get("full_transform")
    return (sx, sy) if H is None else apply_homography(H, (sx, sy))


def transform_3d(p, ts):
    rot, size = float(ts["rot"]), float(ts["size"])
    x, y = float(p[0]), float(p[1])
    z = float(p[2]) if len(p) == 3 else 0.0
    a = rot * PI / 180
    c, s = math.cos(a), math.sin(a)
    cx, cy, cz = (float(v) for v in ts["cam_pos_3d"])
    X = (c * x - s * y) * size - cx
    Y = (c * y + s * x) * size - cy
    Z = size * z - cz
    rx, ry, rz = (float(v) * PI / 180 for v in ts["cam_rot_3d"])
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


def transform(p, ts):
    """transform(p, ts): (inf, inf) for a 3-D point the camera cannot see."""
    if not ts["is_3d"]:
        return transform_2d(p, ts)
    x, y, d = transform_3d(p if len(p) == 3 else (p[0], p[1], 0.0), ts)
    return (x, y) if d >= 1e-6 else (np.inf, np.inf)


def inverse_transform(s, ts):
    x, y = float(s[0]), float(s[1])
    if ts.get("full_transform_inv") is not None:
        x, y = apply_homography(ts["full_transform_inv"], (x, y))
    rot, size = float(ts["rot"]), float(ts["size"])
    sx, sy = float(ts["shift"][0]), float(ts["shift"][1])
    if abs(size) < 1e-6:
        return (0.0, 0.0, 0.0)
    lx, ly = (x - sx) / size, (y - sy) / size
    a = -rot * PI / 180
    return (math.cos(a) * lx - math.sin(a) * ly, math.sin(a) * lx + math.cos(a) * ly, 0.0)


# ---- images ------------------------------------------------------------------------

def screen_points(kv, pts, ts):
    """The screen points of world points as the drawing routines map them
    (None where a point cannot be drawn)."""
    out = []
    for p in pts:
        if ts["is_3d"]:
            x, y, depth = kv.transform_3d(p, ts)
            out.append((x, y) if depth >= 1e-6 else None)
        else:
            x, y = kv.transform(p, ts)
            out.append(None if np.isinf(x) else (x, y))
    return out


def blit(kv, arr, ts, src, scale_factor):
    """blit as documented: the corners mapped by the library, cv2's warp onto a
    canvas-sized image, then NumPy's float64 alpha compositing (four channels)
    or the non-zero copy."""
    h, w = src.shape[0], src.shape[1]
    sx, sy = float(scale_factor[0]), float(scale_factor[1])
    cp = ts["cursor_pos"]
    world = [cp, (cp[0] + w * sx, cp[1]), (cp[0] + w * sx, cp[1] + h * sy), (cp[0], cp[1] + h * sy)]
    dst = screen_points(kv, world, ts)
    if not all(dst):
        return
    m = cv2.getPerspectiveTransform(np.float32([[0, 0], [w, 0], [w, h], [0, h]]), np.float32(dst))
    warped = cv2.warpPerspective(src, m, (arr.shape[1], arr.shape[0]), flags=cv2.INTER_LINEAR)
    if src.shape[2] == 4:
        b, g, r, a = cv2.split(warped)
        alpha = a / 255.0
        alpha3 = cv2.merge([alpha, alpha, alpha])
        arr[:, :] = arr * (1.0 - alpha3) + cv2.merge([b, g, r]) * alpha3
    else:
        mask = warped != 0
        arr[mask] = warped[mask]
