"""Star catcher: a small arcade game.

Stars fall; steer the ship with the arrow keys (or A and D) and catch them.
Each catch scores a point and plays a chime. Left alone for two seconds, the
ship flies itself.

What it shows:

* an image with an alpha channel (the ship), loaded once into `kv.ASSETS` and
  drawn with `blit_cached`, turning about its own centre;
* the keyboard through `get_input("held", ...)`;
* a sound loaded into `kv.ASSETS` and started with `start_sound`, which
  returns at once;
* score text in a TrueType font;
* motion by elapsed time, not by frame count, so the game runs at the same
  speed whatever the frame rate.

The ship image and the chime are made by the program itself, in
examples/generated/. Run: `python examples/arcade.py` (Escape quits).
"""

import math
import random
import time
import wave
from pathlib import Path
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt

from kelvracv import _kelvra_core as kv

W, H = 800, 600
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"  # another path or name works too
SHIP_SPEED = 320.0  # world units (pixels) per second
STARS_PER_SECOND = 1.5
SHIP_Y = 230.0  # world y of the ship's centre (the origin is the canvas centre, y points down)
GENERATED = Path(__file__).resolve().parent / "generated"


def make_ship_image(path: Path) -> None:
    """A 64x64 BGRA ship: an arrow pointing up, transparent around it."""
    img = np.zeros((64, 64, 4), np.uint8)
    hull = np.array([[32, 2], [58, 58], [32, 44], [6, 58]], np.int32)
    cv2.fillPoly(img, [hull], (60, 200, 255, 255))  # B, G, R, alpha: orange
    cv2.polylines(img, [hull], True, (255, 255, 255, 255), 2, cv2.LINE_AA)
    cv2.circle(img, (32, 30), 7, (255, 200, 80, 230), -1, cv2.LINE_AA)  # a half-transparent cockpit
    cv2.imwrite(str(path), img)


def make_chime(path: Path) -> None:
    """A 0.2 s two-note chime, 16-bit stereo at 44.1 kHz, as a WAV file."""
    rate = 44100
    t = np.arange(int(rate * 0.2)) / rate
    freq = np.where(t < 0.07, 988.0, 1319.0)  # B5 then E6
    tone = np.sin(2 * np.pi * freq * t) * np.exp(-t * 12) * 0.5
    samples = (np.repeat(tone[:, None], 2, axis=1) * 32767).astype("<i2")
    with wave.open(str(path), "wb") as f:
        f.setnchannels(2)
        f.setsampwidth(2)
        f.setframerate(rate)
        f.writeframes(samples.tobytes())


class Game:
    def __init__(self) -> None:
        self.rng = random.Random(7)
        self.x = 0.0  # the ship's world x
        self.angle = 0.0  # degrees, clockwise on screen
        self.stars: list[list[float]] = []  # [x, y, speed]
        self.score = 0
        self.spawn = 0.0
        self.last_key = time.perf_counter()
        self.last = time.perf_counter()

    def step(self, dt: float) -> None:
        """Moves everything by `dt` seconds."""
        steer = (kv.get_input("held", "Key.right") or kv.get_input("held", "d")) - (
            kv.get_input("held", "Key.left") or kv.get_input("held", "a")
        )
        now = time.perf_counter()
        if steer:
            self.last_key = now
        elif now - self.last_key > 2.0 and self.stars:
            # Autopilot: head for the lowest star.
            target = max(self.stars, key=lambda s: s[1])[0]
            steer = int(math.copysign(1, target - self.x)) if abs(target - self.x) > 8 else 0
        self.x = min(W / 2 - 40, max(-W / 2 + 40, self.x + steer * SHIP_SPEED * dt))
        # Bank into the turn, and spin slowly when idle.
        self.angle = steer * 25.0 if steer else (self.angle + 90.0 * dt) % 360

        self.spawn += dt * STARS_PER_SECOND
        while self.spawn >= 1.0:
            self.spawn -= 1.0
            self.stars.append([self.rng.uniform(-W / 2 + 30, W / 2 - 30), -H / 2 - 20, self.rng.uniform(120, 220)])
        for s in self.stars:
            s[1] += s[2] * dt
        caught = [s for s in self.stars if abs(s[0] - self.x) < 36 and abs(s[1] - SHIP_Y) < 30]
        for s in caught:
            self.stars.remove(s)
            self.score += 1
            kv.start_sound("chime")
        self.stars = [s for s in self.stars if s[1] < H / 2 + 20]

    def draw(self, canvas: npt.NDArray[np.uint8], ts: dict[str, Any]) -> None:
        for x, y, _ in self.stars:
            kv.set_pos(ts, (x, y))
            kv.circle(canvas, ts, 9, kv.C["LLY"], fill=True, aa=True)
            kv.circle(canvas, ts, 13, kv.C["GO"], 1, aa=True)

        # The ship turns about its centre: make the centre the world origin
        # (shift is in screen pixels, equal to world units at this level),
        # rotate there, and put the image's top-left corner half its size back.
        kv.push_state(ts)
        kv.shift(ts, (self.x, SHIP_Y))
        kv.rotate(ts, self.angle)
        kv.set_pos(ts, (-32, -32))
        kv.blit_cached(canvas, ts, "ship", (1.0, 1.0))
        kv.pop_state(ts)

        kv.set_pos(ts, (-W / 2 + 20, -H / 2 + 50))  # TrueType text sits on the pen: this is its bottom-left
        kv.text(canvas, ts, f"Score {self.score}", FONT, 32, kv.C["W"])
        kv.set_pos(ts, (-W / 2 + 20, H / 2 - 16))
        kv.text(canvas, ts, "arrows / A D: steer   Esc: quit", "CV2", 1.0, kv.C["DS"])


def main() -> None:
    GENERATED.mkdir(exist_ok=True)
    make_ship_image(GENERATED / "ship.png")
    make_chime(GENERATED / "chime.wav")
    kv.ASSETS.load_image("ship", str(GENERATED / "ship.png"))
    kv.ASSETS.load_sound("chime", str(GENERATED / "chime.wav"))
    kv.GLOBAL_VOLUME[0] = 0.6

    game = Game()

    def tick(canvas: npt.NDArray[np.uint8], ts: dict[str, Any]) -> None:
        now = time.perf_counter()
        dt = min(now - game.last, 0.05)  # a long stall (window dragged) is not a jump
        game.last = now
        game.step(dt)
        game.draw(canvas, ts)

    kv.run(tick, ((W, H), "Star catcher"), kv.C["DDN"])
    print("Final score:", game.score)


if __name__ == "__main__":
    main()
