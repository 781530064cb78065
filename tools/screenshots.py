"""Makes the gallery's screenshots, docs/img/<example>.png (`make screenshots`).

Each example runs headless (KELVRACV_HEADLESS=1, no display or sound device
needed) for a fixed number of frames with its frames recorded as numbered
PNG files (KELVRACV_RECORD); the last frame becomes the screenshot. The
examples run from a copy in a temporary folder, so the files they make stay
out of the tree. docs/img/web.png is the web front-end's page showing the
demo, in headless Chromium (Debian's chromium, driven by Playwright), with a
key held and the pointer on the canvas. docs/img/batch_labels.png is a sheet
of the first eight images examples/batch_labels.py makes, with their label
boxes drawn over them.
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import cv2

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "docs" / "img"
# Frames to run before the shot (about 61 a second): late enough that each
# scene is under way.
FRAMES = {"arcade": 420, "plots": 110, "wireframe": 150, "tvf_scene": 330, "demo": 150}


def shoot(example: Path, frames: int) -> Path:
    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / example.name
        shutil.copy(example, script)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "SDL_AUDIODRIVER")}
        env.update(KELVRACV_HEADLESS="1", KELVRACV_FRAMES=str(frames), PYGAME_HIDE_SUPPORT_PROMPT="1",
                   KELVRACV_RECORD=str(Path(tmp) / "frame_%05d.png"))
        subprocess.run([sys.executable, str(script)], cwd=tmp, env=env, check=True, stdout=subprocess.DEVNULL)
        last = sorted(Path(tmp).glob("frame_*.png"))[-1]
        out = OUT / (example.stem + ".png")
        cv2.imwrite(str(out), cv2.imread(str(last)), [cv2.IMWRITE_PNG_COMPRESSION, 9])
        return out


def shoot_page(example: Path) -> Path:
    import re
    import time

    from playwright.sync_api import sync_playwright

    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / example.name
        shutil.copy(example, script)
        env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1")
        proc = subprocess.Popen([sys.executable, "-m", "kelvracv", "run", str(script), "--web", "--port", "0"],
                                cwd=tmp, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            url = next(m.group(1) for line in proc.stderr if (m := re.search(r"(http://\S+)", line)))
            with sync_playwright() as pw:
                browser = pw.chromium.launch(executable_path="/usr/bin/chromium", args=["--disable-gpu"])
                page = browser.new_page(viewport={"width": 860, "height": 680})
                page.goto(url)
                box = page.locator("#screen").bounding_box()
                page.mouse.move(box["x"] + box["width"] * 0.72, box["y"] + box["height"] * 0.3)
                page.keyboard.down("d")
                time.sleep(2.5)
                out = OUT / "web.png"
                page.screenshot(path=str(out))
                browser.close()
            cv2.imwrite(str(out), cv2.imread(str(out)), [cv2.IMWRITE_PNG_COMPRESSION, 9])
        finally:
            proc.kill()
            proc.wait()
        return out


def shoot_batch() -> Path:
    import json

    import numpy as np

    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1")
        subprocess.run([sys.executable, str(ROOT / "examples" / "batch_labels.py"), tmp, "--count", "8",
                        "--backend", "serial"], env=env, check=True, stdout=subprocess.DEVNULL)
        tiles = []
        for label in json.loads((Path(tmp) / "labels.json").read_text()):
            im = cv2.imread(str(Path(tmp) / label["file"]))
            for b in label["boxes"]:
                x0, y0, x1, y1 = (int(v) for v in b["box"])
                cv2.rectangle(im, (x0, y0), (x1, y1), (255, 255, 255), 1)
                cv2.putText(im, b["label"], (x0 + 2, max(y0 - 2, 8)), cv2.FONT_HERSHEY_PLAIN, 0.7, (255, 255, 255))
            tiles.append(cv2.copyMakeBorder(im, 2, 2, 2, 2, cv2.BORDER_CONSTANT, value=(24, 24, 24)))
        out = OUT / "batch_labels.png"
        cv2.imwrite(str(out), np.vstack([np.hstack(tiles[:4]), np.hstack(tiles[4:])]),
                    [cv2.IMWRITE_PNG_COMPRESSION, 9])
        return out


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    for name, frames in FRAMES.items():
        print("wrote", shoot(ROOT / "examples" / f"{name}.py", frames).relative_to(ROOT))
    print("wrote", shoot_page(ROOT / "examples" / "demo.py").relative_to(ROOT))
    print("wrote", shoot_batch().relative_to(ROOT))


if __name__ == "__main__":
    main()
