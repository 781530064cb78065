"""Batch rendering: point arrays through the record in one call against one
`transform` call per point, and labelled training images (examples/
batch_labels.py) drawn with the library against Pillow's ImageDraw drawing
the same shapes, one process and every core, measured in the same run.

Both renderers draw the scenes `batch_labels.plan` describes and encode PNGs
at zlib level 1 (OpenCV's default; Pillow is asked for it); the library draws
anti-aliased edges, ImageDraw has none. Both compute the labels from the same
outlines: the library with `transform_points`, Pillow's side with the same
formulas in Python, and the labels must come out equal.
"""

import io
import math
import multiprocessing
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import numpy as np

import batch_labels
from _timing import per_call, report
from reference import make_record

SIZE = (160, 120)


def pillow_sample(seed, index, size=SIZE):
    """make_sample's scene drawn with Pillow: same file name, PNG, labels."""
    from PIL import Image, ImageDraw

    bg, shapes = batch_labels.plan(seed, index, size)
    im = Image.new("RGB", size, bg)
    draw = ImageDraw.Draw(im)
    boxes = []
    for shape in shapes:
        a = shape["angle"] * 3.141592653589793 / 180
        c, s = math.cos(a), math.sin(a)
        cx, cy = shape["centre"]
        pts = [((c * x - s * y) * 1.0 + cx, (c * y + s * x) * 1.0 + cy) for x, y in batch_labels.outline(shape)]
        if shape["kind"] == "disc":
            r = shape["radius"]
            draw.ellipse([cx - r, cy - r, cx + r, cy + r], fill=shape["color"])
        else:
            draw.polygon(pts, fill=shape["color"])
        xs, ys = [p[0] for p in pts], [p[1] for p in pts]
        box = (max(min(xs), 0.0), max(min(ys), 0.0), min(max(xs), size[0]), min(max(ys), size[1]))
        boxes.append({"label": shape["kind"], "box": [round(float(v), 2) for v in box]})
    buf = io.BytesIO()
    im.save(buf, "PNG", compress_level=1)
    name = f"img_{index:05d}.png"
    return name, buf.getvalue(), {"file": name, "width": size[0], "height": size[1], "boxes": boxes}


def rates(count, workers, repeat=5):
    """Images per second of make_sample and of pillow_sample, each the best of
    `repeat` runs taken in turn (the machine's load moves both alike), and
    the outputs of the last runs."""
    jobs = [(1, i, SIZE) for i in range(count)]
    fns = (batch_labels.make_sample, pillow_sample)
    best, outs = [0.0, 0.0], [None, None]
    pool = multiprocessing.get_context("spawn").Pool(workers) if workers > 1 else None
    try:
        for fn in fns:  # start-up, imports and first calls out of the timing
            (pool.starmap(fn, jobs[:workers]) if pool else fn(*jobs[0]))
        for _ in range(repeat):
            for k, fn in enumerate(fns):
                start = time.perf_counter()
                if pool:
                    outs[k] = pool.starmap(fn, jobs, chunksize=max(1, count // (4 * workers)))
                else:
                    outs[k] = [fn(*j) for j in jobs]
                best[k] = max(best[k], count / (time.perf_counter() - start))
    finally:
        if pool:
            pool.close()
            pool.join()
    return best, outs


def points_rows(kv):
    rng = np.random.default_rng(0)
    H = np.array([[1.1, 0.02, 3.0], [0.01, 0.95, -2.0], [1e-4, 2e-4, 1.0]])
    records = [("2-D", make_record(800, 600, rot=30.0, size=1.5)),
               ("homography", make_record(800, 600, rot=30.0, full_transform=H, full_transform_inv=np.linalg.inv(H))),
               ("3-D", make_record(800, 600, rot=30.0, is_3d=True, cam_rot_3d=(10.0, 20.0, 5.0)))]
    for n in (4, 64, 1000):
        pts = rng.uniform(-300, 300, (n, 3 if n == 64 else 2))
        rows = [tuple(r) for r in pts.tolist()]
        for mode, ts in records:
            one = kv.transform_points(ts, pts)
            assert one.tobytes() == np.array([kv.transform(p, ts) for p in rows]).tobytes(), mode
            report(f"transform_points {mode}, {n} points", per_call(lambda: kv.transform_points(ts, pts), 2000 // n + 20),
                   per_call(lambda: [kv.transform(p, ts) for p in rows], 2000 // n + 20), "a transform per point")
        back = kv.inverse_transform_points(records[1][1], pts)
        assert back.tobytes() == np.array([kv.inverse_transform(p, records[1][1])[:2] for p in rows]).tobytes()


def main():
    kv = batch_labels.core()
    print("Point arrays: an (N, 2) or (N, 3) array in one call, against transform on each row's tuple")
    points_rows(kv)
    print()
    cores = os.cpu_count() or 1
    print(f"Labelled {SIZE[0]}x{SIZE[1]} images (1 to 4 shapes, PNG + boxes), images per second, {cores} cores")
    for workers, count in ((1, 300), (cores, 600)):
        (ours, pil), (a, b) = rates(count, workers)
        assert [x[2] for x in a] == [x[2] for x in b], "the labels differ"
        assert [x[0] for x in a] == [x[0] for x in b]
        print(f"  {workers} process{'es' if workers > 1 else ''}: kelvracv {ours:8.0f}/s   Pillow ImageDraw {pil:8.0f}/s"
              f"   ratio {ours / pil:5.2f}x")


if __name__ == "__main__":
    main()
