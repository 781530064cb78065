"""Every program of examples/ runs headless for a few frames: no display, no
sound device, frames recorded and read back."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
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
