"""Plain-Python transcriptions of the library's documented formulas, in their
documented order of operations: the coordinate pipeline, the arc's points, the
adaptive plot, blit's warp and compositing, and text through Pillow. The tests
compare the native results with them bit for bit; the benchmarks time them as
the pure-Python baseline."""

import math

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

PI = 3.141592653589793


def make_record(w=600, h=400, **changes):
    """A transform-state record as the window's init builds it for a w x h
    canvas, with `changes` applied."""
    ts = {
        "rot": 0.0,
        "size": 1.0,
        "shift": (w / 2, h / 2),
        "cursor_pos": (0.0, 0.0),
        "full_transform": None,
        "full_transform_inv": None,
        "cam_pos_3d": (0.0, 0.0, -10.0),
        "cam_rot_3d": (0.0, 0.0, 0.0),
        "is_3d": False,
    }
    ts.update(changes)
    return ts


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


def trans_pts(pts, ts):
    """The screen points of world points as the drawing routines map them
    (None where a point cannot be drawn)."""
    out = []
    for p in pts:
        if ts["is_3d"]:
            x, y, depth = transform_3d(p, ts)
            out.append((x, y) if depth >= 1e-6 else None)
        else:
            x, y = transform_2d(p, ts)
            out.append(None if math.isinf(x) else (x, y))
    return out


# ---- circles, arcs and plots ------------------------------------------------------------

def reduce_detail(radius, multiplier):
    """The segment multiplier of circles and ellipses, lowered for large radii."""
    for rmin, div in ((200.0, 1.5), (150.0, 1.5), (100.0, 2.0), (50.0, 2.0)):
        if radius >= rmin:
            multiplier /= div
    return multiplier

def arc_points(radius, start_deg, end_deg, cx=0.0, cy=0.0, multiplier=1.0):
    """The world points of an arc around (cx, cy); [] for an empty sweep."""
    start = start_deg * PI / 180
    sweep = end_deg * PI / 180 - start
    while sweep < 0:
        sweep += 6.283185307179586
    while sweep > 6.283185307179586:
        sweep -= 6.283185307179586
    if sweep < 1e-6:
        return []
    n = max(int(radius * multiplier * sweep / 6.283185307179586 * 6), 2)
    return [(math.cos((sweep / n) * i + start) * radius + cx, math.sin((sweep / n) * i + start) * radius + cy)
            for i in range(n + 1)]


def graph(arr, ts, func, x_min, x_max, color, thickness=1, aa=True, resolution=100, y_scale=1.0, x_scale=1.0,
          max_depth=5, angle_threshold=0.1, screen_dist_threshold=5.0, x_world=False):
    """The adaptive plot: samples, refinement by bisection, the curve split
    where a point cannot be drawn or lies far off the canvas. Draws and
    returns the runs of pixel points."""
    if x_min >= x_max:
        return []
    t = max(int(thickness * ts["size"]), 1)
    c = ts["cursor_pos"]
    cy, cz, cx = c[1], (c[2] if len(c) == 3 else 0.0), c[0]
    step = (x_max - x_min) / resolution
    samples = []
    for i in range(resolution + 1):
        x = step * i + x_min
        if x_world:
            a, X = ((x - cx) / x_scale if x_scale != 0 else x - cx), x
        else:
            a = x
            X = a * x_scale + cx
        try:
            v = float(func(a))
        except Exception:
            continue
        samples.append((X, v * y_scale + cy, cz))
    if len(samples) < 2:
        return []
    out = [samples[0]]
    last = trans_pts([samples[0]], ts)[0]
    if last is None:
        return []
    stack = [(samples[k], samples[k + 1], 0) for k in range(len(samples) - 2, -1, -1)]
    while stack:
        p1, p2, depth = stack.pop()
        s2 = trans_pts([p2], ts)[0]
        if (depth < max_depth and s2 is not None and last is not None
                and (s2[0] - last[0]) ** 2 + (s2[1] - last[1]) ** 2 > screen_dist_threshold ** 2):
            am = ((p1[0] + p2[0]) * 0.5 - cx) / x_scale
            try:
                r = func(am)
            except Exception:
                out.append(p2)
                last = s2
                continue
            mid = (am * x_scale + cx, float(cy + r * y_scale), cz)
            stack.append((mid, p2, depth + 1))
            stack.append((p1, mid, depth + 1))
        else:
            out.append(p2)
            last = s2
    runs, run = [], []
    for p in trans_pts(out, ts):
        if (p is None or not (np.isfinite(p[0]) and np.isfinite(p[1]))
                or not (-1200 <= p[0] <= arr.shape[1] + 1200 and -1200 <= p[1] <= arr.shape[0] + 1200)):
            runs.append(run)
            run = []
        else:
            run.append((int(p[0]), int(p[1])))
    runs.append(run)
    for r in runs:
        if len(r) >= 2:
            cv2.polylines(arr, [np.array(r, np.int32).reshape((-1, 1, 2))], False, (color[2], color[1], color[0]),
                          t, lineType=cv2.LINE_AA if aa else cv2.LINE_4)
    return runs


# ---- images ------------------------------------------------------------------------

def without_area(quad):
    """Whether three of the quad's float32 corners lie on one line (exactly, in double)."""
    p = [(float(x), float(y)) for x, y in quad]
    for i, j, k in ((0, 1, 2), (0, 1, 3), (0, 2, 3), (1, 2, 3)):
        (ax, ay), (bx, by), (cx, cy) = p[i], p[j], p[k]
        if (bx - ax) * (cy - ay) - (by - ay) * (cx - ax) == 0.0:
            return True
    return False


def takes_corners(m, src, dst):
    """Whether m maps each source corner to its quad corner within half a pixel
    (plus a millionth of the coordinate); OpenCV's fallback matrix need not."""
    with np.errstate(all="ignore"):
        for (x, y), (tx, ty) in zip(src.astype(float), dst.astype(float)):
            w = m[2, 0] * x + m[2, 1] * y + m[2, 2]
            X = (m[0, 0] * x + m[0, 1] * y + m[0, 2]) / w
            Y = (m[1, 0] * x + m[1, 1] * y + m[1, 2]) / w
            if not (abs(X - tx) <= 0.5 + 1e-6 * abs(tx) and abs(Y - ty) <= 0.5 + 1e-6 * abs(ty)):
                return False
    return True


GENUINE_WARP = cv2.warpPerspective


def own_arithmetic():
    """Whether blit's pixels are OpenCV's own bilinear arithmetic, what its
    warp gives with Intel IPP off: OpenCV's own warpPerspective on a release
    whose warp the library has verified, whatever the processor,
    KELVRACV_NO_AVX2 and OpenCV's optimisations. Otherwise blit calls cv2 as
    it stands."""
    from kelvracv import _kelvra_core as kv

    return kv.__opencv_profile__()["verified warp"] and getattr(kv.cv2, "warpPerspective", None) is GENUINE_WARP


def blit(arr, ts, src, scale_factor):
    """blit as documented: the corners mapped as above, cv2's warp onto a
    canvas-sized image (with IPP off where blit's pixels are OpenCV's own
    arithmetic), then NumPy's float64 alpha compositing (four channels)
    or the non-zero copy."""
    h, w = src.shape[0], src.shape[1]
    sx, sy = float(scale_factor[0]), float(scale_factor[1])
    cp = ts["cursor_pos"]
    world = [cp, (cp[0] + w * sx, cp[1]), (cp[0] + w * sx, cp[1] + h * sy), (cp[0], cp[1] + h * sy)]
    dst = trans_pts(world, ts)
    if not all(dst):
        return
    if without_area(np.float32(dst)):
        return
    corners = np.float32([[0, 0], [w, 0], [w, h], [0, h]])
    m = cv2.getPerspectiveTransform(corners, np.float32(dst))
    if not takes_corners(m, corners, np.float32(dst)):
        return
    ipp = cv2.ipp.useIPP()
    if own_arithmetic():
        cv2.ipp.setUseIPP(False)
    try:
        warped = cv2.warpPerspective(src, m, (arr.shape[1], arr.shape[0]), flags=cv2.INTER_LINEAR)
    finally:
        cv2.ipp.setUseIPP(ipp)
    if src.shape[2] == 4:
        b, g, r, a = cv2.split(warped)
        alpha = a / 255.0
        alpha3 = cv2.merge([alpha, alpha, alpha])
        arr[:, :] = arr * (1.0 - alpha3) + cv2.merge([b, g, r]) * alpha3
    else:
        mask = warped != 0
        arr[mask] = warped[mask]


# ---- text -------------------------------------------------------------------------

FONT_CACHE = {}


def load_font(name, size):
    """load_font's cache (the tests and benchmarks use fonts that load)."""
    key = (name, size)
    if key not in FONT_CACHE:
        FONT_CACHE[key] = ImageFont.truetype(name, size)
    return FONT_CACHE[key]


def text_size(content, font_info, size):
    if not content:
        return (0, 0)
    bbox = load_font(font_info, int(size)).getbbox(content)
    return (bbox[2] - bbox[0], bbox[3] - bbox[1])


def text(arr, ts, content, font_info, size, color, thickness=1, aa=True):
    """text as documented: OpenCV's Hershey font for "CV2", else the glyphs
    drawn by Pillow from the image's origin down to the measured box's bottom,
    blitted with the top of the box at the pen."""
    x_scr, y_scr = transform(ts["cursor_pos"], ts)
    if np.isinf(x_scr):
        return
    bgr = (color[2], color[1], color[0])
    if font_info.upper() == "CV2":
        s = ts["size"]
        cv2.putText(arr, content, (int(x_scr), int(y_scr)), cv2.FONT_HERSHEY_SIMPLEX, size * s * 0.5, bgr,
                    max(1, int(thickness * s * 0.5)), lineType=cv2.LINE_AA if aa else cv2.LINE_4)
        return
    s = float(ts["size"])
    eff = int(size * s)
    if eff < 1:
        return
    font = load_font(font_info, eff)
    tw, th = text_size(content, font_info, eff)
    _, _, right, bottom = font.getbbox(content)
    img = Image.new("RGBA", (max(tw, right) + 1, max(th, bottom) + 1), (0, 0, 0, 0))
    ImageDraw.Draw(img).text((0, 0), content, font=font, fill=bgr + (255,))
    tmp = dict(ts, cursor_pos=(ts["cursor_pos"][0], ts["cursor_pos"][1] - th / s))
    blit(arr, tmp, np.array(img), (1.0 / s, 1.0 / s))
