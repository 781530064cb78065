#!/usr/bin/env bash
# The differential tests against each OpenCV release given on the command
# line (opencv-python versions). Each release is installed once into its own
# directory under .verify-opencv/, put in front of the project's venv on the
# path (the venv with that opencv-python), and `kelvracv info` and the tests
# that compare the native paths with OpenCV's own calls run with it.
# Usage: tools/verify_opencv.sh PYTHON VERSION...
set -euo pipefail
PY=$1
shift
case "$PY" in */*) PY="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" ;; esac
cd "$(dirname "$0")/.."
TESTS="test_draw_native.py test_image.py"
failed=()
for release in "$@"; do
  dir=.verify-opencv/$release
  if [ ! -f "$dir/.ready" ]; then
    rm -rf "$dir"
    "$PY" -m pip install -q --disable-pip-version-check --no-deps --target "$dir" "opencv-python==$release"
    touch "$dir/.ready"
  fi
  site=$(cd "$dir" && pwd)
  echo "== opencv-python $release"
  # From tests/, as the tests run: the package the caller's path gives (the
  # venv's, or the tree's with PYTHONPATH), not the source folder.
  (cd tests && PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" PYGAME_HIDE_SUPPORT_PROMPT=1 "$PY" -m kelvracv info \
    2>/dev/null | grep -v '^Python\|^NumPy\|^Pillow\|^pygame') || failed+=("$release (info)")
  if ! (cd tests && PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" SDL_AUDIODRIVER=dummy \
        "$PY" -m pytest -q -p no:cacheprovider $TESTS | tail -1); then
    failed+=("$release")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "differential tests failed with opencv-python ${failed[*]}"
  exit 1
fi
