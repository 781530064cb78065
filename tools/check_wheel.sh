#!/usr/bin/env bash
# Installs a built wheel into a new virtual environment in a folder without
# the sources, and runs a small program with it there: headless, without a
# display, recorded. Usage: tools/check_wheel.sh PYTHON3.13 dist/kelvracv-*.whl
set -euo pipefail
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
wheel=$(realpath "$2")
place=$(mktemp -d)
trap 'rm -rf "$place"' EXIT
cd "$place"
"$python" -m venv venv
venv/bin/python -m pip install -q --upgrade pip
venv/bin/python -m pip install -q "$wheel"
cat > hello.py <<'EOF'
from kelvracv import _kelvra_core as kv

frames = []

def tick(canvas, ts):
    frames.append(len(frames))
    kv.set_pos(ts, (-50, 0))
    kv.line(canvas, ts, (100, 0), kv.C["LR"], 3)
    kv.circle(canvas, ts, 10 + len(frames), kv.C["GO"], 2)   # every frame another picture

kv.run(tick, ((160, 120), "wheel"), kv.C["K"], target_fps=200)
EOF
# Neither the checkout nor a display: the installed package alone.
env -u DISPLAY -u PYTHONPATH KELVRACV_HEADLESS=1 KELVRACV_FRAMES=20 KELVRACV_RECORD=hello.gif \
  venv/bin/python hello.py
env -u DISPLAY -u PYTHONPATH venv/bin/python - <<'EOF'
import os, sys
import kelvracv
from PIL import Image

home = os.path.realpath(sys.prefix)
assert os.path.realpath(kelvracv.__file__).startswith(home + os.sep), kelvracv.__file__
with Image.open("hello.gif") as gif:
    assert gif.n_frames == 20 and gif.size == (160, 120), (gif.n_frames, gif.size)
print(f"kelvracv {kelvracv.__version__}, installed from the wheel in {home}: ran headless, recorded 20 frames")
EOF
env -u DISPLAY -u PYTHONPATH venv/bin/kelvracv info
