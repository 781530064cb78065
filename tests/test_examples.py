"""Every program of examples/ runs headless for a few frames: no display, no
sound device, frames recorded and read back."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
# batch_labels.py renders without a frame loop: it has its own test below.
EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py") if p.stem != "batch_labels")
FRAMES = 20


@pytest.mark.parametrize("example", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_runs_headless(example, tmp_path):
    # A copy, so that the files an example makes land in the temporary folder.
    script = tmp_path / example.name
    shutil.copy(example, script)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "SDL_AUDIODRIVER", "KELVRA_DEMO_SCREENSHOT")}
    env.update(KELVRACV_HEADLESS="1", KELVRACV_FRAMES=str(FRAMES),
               KELVRACV_RECORD=str(tmp_path / "f_%03d.png"), PYGAME_HIDE_SUPPORT_PROMPT="1")
    r = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                       timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Error" not in r.stdout and "Traceback" not in r.stderr, r.stdout + r.stderr
    frames = sorted(tmp_path.glob("f_*.png"))
    assert len(frames) == FRAMES
    last = cv2.imread(str(frames[-1]))
    assert len(np.unique(last.reshape(-1, 3), axis=0)) > 5, "the last frame shows next to nothing"


def test_a_program_in_the_checkout_root_imports_the_package():
    # The checkout's root is on a program's path when the program is saved
    # there; the package's sources (under src/) must not shadow the package.
    r = subprocess.run([sys.executable, "-c", "from kelvracv import _kelvra_core; print(_kelvra_core.__file__)"],
                       cwd=ROOT, capture_output=True, text=True,
                       env={**os.environ, "KELVRACV_HEADLESS": "1", "SDL_AUDIODRIVER": "dummy"})
    assert r.returncode == 0, r.stderr
    assert not (ROOT / "kelvracv").exists() and "_kelvra_core" in r.stdout


def test_batch_labels_same_bytes_on_every_backend(tmp_path):
    """The labelled-image generator writes the same PNG and JSON bytes in one
    process, in a pool of forked workers (from a process that has imported the
    library, and from one that has not: neither warns about a thread), of
    spawned workers and on a Dask LocalCluster; the workers print nothing
    beyond what a quiet import of the library prints."""
    example = ROOT / "examples" / "batch_labels.py"
    env = {k: v for k, v in os.environ.items() if not k.startswith("KELVRACV_") and k != "DISPLAY"}
    # what an import prints that is not quiet (the program's own import is: KELVRACV_QUIET)
    plain = subprocess.run([sys.executable, "-c", "import kelvracv._kelvra_core"], capture_output=True, text=True,
                           env={**env, "KELVRACV_HEADLESS": "1"}, timeout=60)
    import_lines = set(plain.stdout.splitlines())
    after_import = (f"import sys, runpy, kelvracv._kelvra_core; sys.argv[0] = {str(example)!r}; "
                    f"runpy.run_path(sys.argv[0], run_name='__main__')")
    runs = {
        "serial": [str(example)],
        "fork": ["-W", "always::DeprecationWarning", str(example)],
        "fork-after-import": ["-W", "always::DeprecationWarning", "-c", after_import],
        "spawn": [str(example)],
        "dask": [str(example)],
    }
    outputs = {}
    for name, cmd in runs.items():
        out = tmp_path / name
        backend = name.split("-")[0]
        r = subprocess.run([sys.executable, *cmd, str(out), "--count", "6", "--size", "64x48", "--workers", "2",
                            "--backend", backend], env={**env, "KELVRACV_HEADLESS": "1"} if name == "fork-after-import"
                           else env, capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, name + ": " + r.stdout + r.stderr
        own = [line for line in r.stdout.splitlines() if line not in import_lines]
        assert len(own) == 1 and own[0].startswith(f"6 images in {out} ({backend},"), name + ": " + r.stdout
        assert r.stderr == "", name + ": " + r.stderr  # forking after the import warns of no thread either
        if name != "fork-after-import":
            assert r.stdout.splitlines() == own, name + ": " + r.stdout
        outputs[name] = {p.name: p.read_bytes() for p in sorted(out.iterdir())}
    assert len(outputs["serial"]) == 7 and json.loads(outputs["serial"]["labels.json"])[5]["file"] == "img_00005.png"
    for name, files in outputs.items():
        assert files == outputs["serial"], name

