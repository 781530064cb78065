"""Labelled training images, made on every core or on a Dask cluster.

What it shows:

* drawing without a window or a frame loop: `init` in a headless run gives a
  canvas and a record (once per process: `clear` readies it for the next
  image), the primitives draw into it, `cv2.imencode` makes the PNG;
* labels that agree with the pixels: each shape is drawn through the record
  and its bounding box is the same outline mapped with `transform_points`,
  one call per shape instead of one `transform` per point;
* one pure task function, `make_sample(seed, index, size)`, that runs
  unchanged in this process, in a `multiprocessing` pool (fork, forkserver
  or spawn) and on a Dask `distributed` cluster: the scene of image i comes
  from the seed and i alone, and the PNG bytes and the labels travel back to
  this process, which writes them. The output is byte for byte the same
  whichever way it was made;
* workers that import the library on first use, quietly and headless
  (`KELVRACV_QUIET=1`, `KELVRACV_HEADLESS=1` set before the import unless the
  environment says otherwise), so this process never imports it: forking
  then copies no thread of the library (see the guide's "Batch rendering").

Run: `python examples/batch_labels.py OUT_DIR --count 1000 --backend spawn`
(`--backend dask` starts a LocalCluster; `--scheduler tcp://host:8786` uses a
running cluster, whose workers need kelvracv installed). Writes
OUT_DIR/img_00000.png ... and OUT_DIR/labels.json.
"""

import argparse
import json
import multiprocessing
import os
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np

SIZE = (160, 120)  # width, height of each image in pixels
KINDS = ("box", "triangle", "disc")

Shape = dict[str, Any]
Sample = tuple[str, bytes, dict[str, Any]]


def core() -> ModuleType:
    """The library, imported on first use in whichever process runs a task."""
    for name, value in (("KELVRACV_QUIET", "1"), ("KELVRACV_HEADLESS", "1"), ("PYGAME_HIDE_SUPPORT_PROMPT", "1")):
        os.environ.setdefault(name, value)
    from kelvracv import _kelvra_core

    return _kelvra_core


def plan(seed: int, index: int, size: tuple[int, int]) -> tuple[tuple[int, int, int], list[Shape]]:
    """Image `index` of the set `seed`: its background colour and one to four
    shapes, each a kind, an RGB colour, a centre in pixels, a size in pixels
    and a turn in degrees. Plain numbers only: any renderer can draw them."""
    rng = np.random.default_rng([seed, index])
    w, h = size
    bg = tuple(int(v) for v in rng.integers(0, 256, 3))
    shapes = []
    for _ in range(int(rng.integers(1, 5))):
        r = float(rng.uniform(0.08, 0.22)) * min(w, h)
        shapes.append({
            "kind": KINDS[int(rng.integers(0, len(KINDS)))],
            "color": tuple(int(v) for v in rng.integers(0, 256, 3)),
            "centre": (float(rng.uniform(r, w - r)), float(rng.uniform(r, h - r))),
            "radius": r,
            "angle": float(rng.uniform(0, 360)),
        })
    return (bg[0], bg[1], bg[2]), shapes


def outline(shape: Shape) -> list[tuple[float, float]]:
    """The shape's outline in its own world units, about its centre: the
    corners of a box or a triangle, 64 points of a disc's edge."""
    r = shape["radius"]
    if shape["kind"] == "box":
        return [(-r, -0.6 * r), (r, -0.6 * r), (r, 0.6 * r), (-r, 0.6 * r)]
    if shape["kind"] == "triangle":
        return [(0.0, -r), (0.866 * r, 0.5 * r), (-0.866 * r, 0.5 * r)]
    a = np.linspace(0.0, 2 * np.pi, 64, endpoint=False)
    return list(zip((r * np.cos(a)).tolist(), (r * np.sin(a)).tolist()))


# Per process: one canvas and record per image size, reused image after image.
_SURFACES: dict[tuple[int, int], tuple[Any, dict[str, Any]]] = {}


def surface(kv: ModuleType, size: tuple[int, int], bg: tuple[int, int, int]) -> tuple[Any, dict[str, Any]]:
    """A canvas of `size` cleared to `bg`, and its record: made by `init` the
    first time, then cleared (each shape leaves the record as it found it)."""
    if size not in _SURFACES:
        _SURFACES[size] = kv.init((size, "batch"), bg)
    canvas, ts = _SURFACES[size]
    kv.clear(canvas, ts, bg)
    return canvas, ts


def make_sample(seed: int, index: int, size: tuple[int, int] = SIZE) -> Sample:
    """Draws image `index` of the set `seed`: its file name, its PNG bytes and
    its labels (one box [x0, y0, x1, y1] in pixels per shape, clipped to the
    image)."""
    kv = core()
    import cv2

    bg, shapes = plan(seed, index, size)
    canvas, ts = surface(kv, size, bg)
    boxes = []
    for shape in shapes:
        kv.push_state(ts)
        kv.set_shift(ts, shape["centre"])  # the shape's centre is the origin...
        kv.rotate(ts, shape["angle"])      # ...so the turn is about it
        pts = outline(shape)
        if shape["kind"] == "disc":
            kv.circle(canvas, ts, shape["radius"], shape["color"], 1, True, True)
        else:
            kv.set_pos(ts, pts[0])
            steps = tuple((b[0] - a[0], b[1] - a[1]) for a, b in zip(pts, pts[1:]))
            kv.poly(canvas, ts, steps, shape["color"], 1, True, True)
        screen = kv.transform_points(ts, pts)  # the outline where it was drawn
        kv.pop_state(ts)
        x0, y0 = np.maximum(screen.min(axis=0), 0.0)
        x1, y1 = np.minimum(screen.max(axis=0), size)
        boxes.append({"label": shape["kind"], "box": [round(float(v), 2) for v in (x0, y0, x1, y1)]})
    ok, png = cv2.imencode(".png", canvas)
    if not ok:
        raise RuntimeError("PNG encoding failed")
    name = f"img_{index:05d}.png"
    return name, png.tobytes(), {"file": name, "width": size[0], "height": size[1], "boxes": boxes}


def run_tasks(seed: int, count: int, size: tuple[int, int], backend: str, workers: int,
              scheduler: str | None = None) -> list[Sample]:
    """make_sample for images 0 .. count-1, in order, on the chosen backend."""
    seeds, indices, sizes = [seed] * count, list(range(count)), [size] * count
    if backend == "serial":
        return [make_sample(*job) for job in zip(seeds, indices, sizes)]
    if backend in ("fork", "forkserver", "spawn"):
        with multiprocessing.get_context(backend).Pool(workers) as pool:
            return pool.starmap(make_sample, zip(seeds, indices, sizes), chunksize=max(1, count // (4 * workers)))
    if backend == "dask":
        import cloudpickle  # type: ignore[import-untyped]
        from dask.distributed import Client, LocalCluster

        # Ship this module's code with the tasks: the workers need kelvracv,
        # not this file.
        if __name__ != "__main__":
            cloudpickle.register_pickle_by_value(sys.modules[__name__])
        if scheduler:
            with Client(scheduler) as client:  # type: ignore[no-untyped-call]
                return list(client.gather(client.map(make_sample, seeds, indices, sizes)))
        cluster = LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
            return list(client.gather(client.map(make_sample, seeds, indices, sizes)))
    raise ValueError(f"unknown backend {backend!r}")


def generate(out_dir: Path, seed: int = 0, count: int = 100, size: tuple[int, int] = SIZE,
             backend: str = "spawn", workers: int | None = None, scheduler: str | None = None) -> None:
    """Writes the images and OUT_DIR/labels.json (a list, one entry per image, in order)."""
    out_dir.mkdir(parents=True, exist_ok=True)
    samples = run_tasks(seed, count, size, backend, workers or os.cpu_count() or 1, scheduler)
    for name, png, _ in samples:
        (out_dir / name).write_bytes(png)
    labels = [label for _, _, label in samples]
    (out_dir / "labels.json").write_text("[\n" + ",\n".join(json.dumps(label) for label in labels) + "\n]\n")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("out_dir", type=Path)
    ap.add_argument("--count", type=int, default=100)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--size", default=f"{SIZE[0]}x{SIZE[1]}", help="WIDTHxHEIGHT")
    ap.add_argument("--backend", default="spawn", choices=["serial", "fork", "forkserver", "spawn", "dask"])
    ap.add_argument("--workers", type=int, default=None, help="processes (default: every core)")
    ap.add_argument("--scheduler", default=None, help="a running Dask scheduler's address (with --backend dask)")
    args = ap.parse_args()
    w, h = (int(v) for v in args.size.split("x"))
    start = time.perf_counter()
    generate(args.out_dir, args.seed, args.count, (w, h), args.backend, args.workers, args.scheduler)
    took = time.perf_counter() - start
    print(f"{args.count} images in {args.out_dir} ({args.backend}, {took:.2f} s)")


if __name__ == "__main__":
    main()
