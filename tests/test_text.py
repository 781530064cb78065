"""Fonts and text: the font cache with its once-per-key error line, text
measurement, the Hershey path compared with direct cv2.putText calls and the
Pillow path compared with Pillow's own rendering blitted by the documented
compositing, with a real TrueType font."""

import itertools
import json
import os
import threading
import time
import zlib

import cv2
import numpy as np
import pytest
from PIL import Image, ImageDraw, ImageFont

from conftest import FONT, limit, make_record, run_capped
from reference import blit as reference_blit, text as reference_text

needs_font = pytest.mark.skipif(not os.path.exists(FONT), reason="fonts-dejavu-core is not installed")
_names = itertools.count()


def unknown_font():
    """A font name that no test has used before (the cache is module-wide)."""
    return f"no-such-font-{next(_names)}"


# ---- load_font and FONT_CACHE ----------------------------------------------------------


@needs_font
def test_load_font_caches_truetype_fonts(kv, capsys):
    font = kv.load_font(FONT, 21)
    assert isinstance(font, ImageFont.FreeTypeFont) and font.size == 21
    assert kv.FONT_CACHE[(FONT, 21)] is font
    assert kv.load_font(FONT, 21.9) is font  # the size is truncated to an int
    assert capsys.readouterr().out == ""


def test_unknown_font_is_reported_once_per_key(kv, capsys):
    name = unknown_font()
    first = kv.load_font(name, 12)
    assert capsys.readouterr().out == f"Font Error: Could not load font '{name}'. Using default.\n"
    assert kv.load_font(name, 12) is first
    assert capsys.readouterr().out == ""
    assert hasattr(first, "getbbox") and kv.FONT_CACHE[(name, 12)] is first
    kv.load_font(name, 13)
    assert capsys.readouterr().out == f"Font Error: Could not load font '{name}'. Using default.\n"


FONT_CHANGED_ON_DISK = """
import json, os, shutil, sys
import numpy as np
src, path, pristine, font = sys.argv[1:5]
os.environ["XDG_DATA_HOME"] = os.path.dirname(os.path.dirname(path))  # where Pillow looks for a font by name
shutil.copy(src, path)
shutil.copy(src, pristine)
ts = {"rot": 10.0, "size": 1.0, "shift": (20.0, 40.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
def draw(font, content):
    arr = np.zeros((60, 220, 3), np.uint8)
    kv.text(arr, ts, content, font, 20, (255, 200, 100))
    return arr
drawn = [draw(font, "abc")]
size = os.path.getsize(path)
os.truncate(path, 100)
drawn.append(draw(font, "XYZ 123"))  # glyphs the font has not rendered before
with open(path, "r+b") as f:
    f.write(bytes(range(256)) * (size // 256 + 1))  # overwritten in place
drawn.append(draw(font, "klmnop"))
same = [bool(np.array_equal(a, draw(pristine, t))) for a, t in zip(drawn, ["abc", "XYZ 123", "klmnop"])]
print(json.dumps([same, [int(a.sum()) for a in drawn]]), file=sys.stderr)
"""


@needs_font
@pytest.mark.parametrize("by", ["path", "name"])
def test_font_file_changed_on_disk_after_first_use(tmp_path, by):
    path = tmp_path / "share" / "fonts" / "kelvra-test-font.ttf"
    path.parent.mkdir(parents=True)
    font = path if by == "path" else path.name  # a name Pillow finds among the user's fonts
    r = run_capped(FONT_CHANGED_ON_DISK, FONT, path, tmp_path / "pristine.ttf", font, cap_mb=None)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])  # not killed by a signal
    same, ink = json.loads(r.stderr.splitlines()[-1])
    assert same == [True, True, True] and all(ink)  # drawn as from an undamaged copy
    assert r.stdout == "Volume monitor thread started.\n"


FONT_SIZES_MEMORY = """
import gc, json, os, sys
import numpy as np
font, sizes = sys.argv[1], range(8, 8 + int(sys.argv[2]))
def rss_mb():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
def copies():  # the in-memory font files open
    return sum("memfd:" in os.readlink(f"/proc/self/fd/{d}") for d in os.listdir("/proc/self/fd")
               if os.path.exists(f"/proc/self/fd/{d}"))
ts = {"rot": 0.0, "size": 1.0, "shift": (0.0, 0.0), "cursor_pos": (10.0, 300.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
arr = np.zeros((400, 600, 3), np.uint8)
gc.collect()
base = rss_mb()
for size in sizes:
    kv.text(arr, ts, "Hello 123", font, size, (255, 255, 255))
loaded, open_copies = rss_mb() - base, copies()
kv.FONT_CACHE.clear()
gc.collect()
print(json.dumps([loaded, open_copies, rss_mb() - base, copies()]), file=sys.stderr)
"""


@needs_font
def test_font_sizes_share_one_copy_of_the_file_and_go_when_dropped():
    sizes, file_mb = 120, os.path.getsize(FONT) / 2**20
    r = run_capped(FONT_SIZES_MEMORY, FONT, sizes, cap_mb=None)
    assert r.returncode == 0, r.stderr[-2000:]
    loaded, open_copies, cleared, left = json.loads(r.stderr.splitlines()[-1])
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizers' allocator keeps freed memory
        # Pillow by path takes about 0.3 MB a size (FreeType's own tables), a copy of the file per size 0.76 MB more.
        assert loaded < sizes * file_mb, loaded
        assert cleared < max(20, loaded / 3), (loaded, cleared)
    assert (open_copies, left) == (1, 0)


@pytest.mark.parametrize("kind", ["fifo", "folder"])
def test_font_path_that_is_no_regular_file_falls_back_at_once(kv, capsys, tmp_path, kind):
    path = tmp_path / "font.ttf"
    os.mkfifo(path) if kind == "fifo" else path.mkdir()

    def unblock():  # should the FIFO be opened after all, let that open return
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass

    timer = threading.Timer(3.0, unblock)
    timer.start()
    try:
        t0 = time.perf_counter()
        font = kv.load_font(str(path), 14)
        assert time.perf_counter() - t0 < limit(1.0)
    finally:
        timer.cancel()
    assert capsys.readouterr().out == f"Font Error: Could not load font '{path}'. Using default.\n"
    assert type(font) is type(ImageFont.load_default()) and kv.FONT_CACHE[(str(path), 14)] is font


def test_load_font_lets_other_errors_through(kv, monkeypatch):
    def truetype(name, size):
        raise ValueError("bad size")

    class Fonts:
        pass

    fonts = Fonts()
    fonts.truetype = truetype
    monkeypatch.setattr(kv, "ImageFont", fonts)
    name = unknown_font()
    with pytest.raises(ValueError, match="bad size"):
        kv.load_font(name, 12)
    assert (name, 12) not in kv.FONT_CACHE


def test_load_font_argument_types(kv):
    with pytest.raises(TypeError, match=r"^Argument 'font_path_or_name' has incorrect type \(expected str, got NoneType\)$"):
        kv.load_font(None, 12)
    with pytest.raises(TypeError, match="^an integer is required$"):
        kv.load_font("x", "12")


# ---- text_size ---------------------------------------------------------------------------


def test_text_size_of_empty_text_loads_nothing(kv):
    name = unknown_font()
    assert kv.text_size("", name, 12.0) == (0, 0)
    assert not any(key[0] == name for key in kv.FONT_CACHE)


@needs_font
def test_text_size_matches_pillow(kv):
    left, top, right, bottom = ImageFont.truetype(FONT, 30).getbbox("Kelvra gy")
    assert kv.text_size("Kelvra gy", FONT, 30.8) == (right - left, bottom - top)


def test_text_size_has_no_cv2_name(kv, capsys):
    if ("CV2", 12) not in kv.FONT_CACHE:
        kv.text_size("x", "CV2", 12)
        assert capsys.readouterr().out == "Font Error: Could not load font 'CV2'. Using default.\n"
    assert ("CV2", 12) in kv.FONT_CACHE


def test_text_size_uses_the_module_load_font(kv, monkeypatch):
    class Box:
        def getbbox(self, text):
            return (1, 2, 11, 7)

    seen = []
    monkeypatch.setattr(kv, "load_font", lambda name, size: seen.append((name, size)) or Box())
    assert kv.text_size("abc", "whatever", 9.9) == (10, 5)
    assert seen == [("whatever", 9)]


# ---- the OpenCV font ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "ts_size, size, thickness, aa, scale, stroke",
    [
        (1.0, 20, 1, True, 10.0, 1),
        (1.0, 20, 4, True, 10.0, 2),
        (1.0, 20, 3, False, 10.0, 1),
        (0.04, 20, 1, True, 0.4, 1),
        (2.5, 3, 5, False, 3.75, 6),
        (2, 3, 5, True, 3.0, 5),  # an int size in the record
    ],
)
def test_cv2_font_scale_and_stroke(kv, canvas, ts_size, size, thickness, aa, scale, stroke):
    ts = make_record(size=ts_size, cursor_pos=(-50.3, 27.9))
    kv.text(canvas, ts, "Hello", "CV2", size, (255, 0, 0), thickness, aa)
    x, y = kv.transform(ts["cursor_pos"], ts)
    expected = np.zeros_like(canvas)
    cv2.putText(expected, "Hello", (int(x), int(y)), cv2.FONT_HERSHEY_SIMPLEX, scale, (0, 0, 255), stroke,
                lineType=cv2.LINE_AA if aa else cv2.LINE_4)
    np.testing.assert_array_equal(canvas, expected)
    assert expected.any()


@pytest.mark.parametrize("name", ["cv2", "Cv2", "CV2"])
def test_cv2_name_in_any_case(kv, canvas, ts, name):
    kv.text(canvas, ts, "A", name, 2, (0, 255, 0))
    expected = np.zeros_like(canvas)
    cv2.putText(expected, "A", (300, 200), cv2.FONT_HERSHEY_SIMPLEX, 1.0, (0, 255, 0), 1, lineType=cv2.LINE_AA)
    np.testing.assert_array_equal(canvas, expected)


def test_text_cv2_directly(kv, canvas, ts):
    kv._text_cv2(canvas, ts, (10.9, 50.2), "Hi", (1, 2, 3), 2.0, 2, (9, 8, 7))
    expected = np.zeros_like(canvas)
    cv2.putText(expected, "Hi", (10, 50), cv2.FONT_HERSHEY_SIMPLEX, 1.0, (9, 8, 7), 1, lineType=cv2.LINE_4)
    np.testing.assert_array_equal(canvas, expected)


def test_text_cv2_argument_types(kv, canvas, ts):
    # None passes the declared types of arr, ts and p_scr, then fails where it is used.
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        kv._text_cv2(canvas, ts, None, "Hi", (1, 2, 3), 1.0, 1, (1, 2, 3))
    for args, message in [
        ((canvas, ts, (1, 1), None, (1, 2, 3), 1.0, 1, (1, 2, 3)), "Argument 'content' has incorrect type (expected str, got NoneType)"),
        ((canvas, ts, (1, 1), "a", None, 1.0, 1, (1, 2, 3)), "Argument 'color' has incorrect type (expected tuple, got NoneType)"),
        ((canvas, ts, (1, 1), "a", (1, 2, 3), 1.0, None, (1, 2, 3)), "an integer is required"),
        ((canvas, ts, (1, 1), "a", (1, 2, 3), 1.0, 1, None), "Argument 'bgr_color' has incorrect type (expected tuple, got NoneType)"),
        ((canvas, ts, [1, 1], "a", (1, 2, 3), 1.0, 1, (1, 2, 3)), "Argument 'p_scr' has incorrect type (expected tuple, got list)"),
    ]:
        with pytest.raises(TypeError) as e:
            kv._text_cv2(*args)
        assert str(e.value) == message


# ---- the Pillow path ---------------------------------------------------------------------------


@needs_font
@pytest.mark.parametrize(
    "changes",
    [dict(), dict(size=2.0, cursor_pos=(10, 50)), dict(rot=25.0, cursor_pos=(-100.0, 30.0)), dict(size=0.7)],
)
def test_pillow_text_equals_reference(kv, changes):
    ts = make_record(**changes)
    canvas = np.random.default_rng(3).integers(0, 256, (400, 600, 3), dtype=np.uint8)
    expected = canvas.copy()
    reference_text(expected, ts, "Kelvra Ag", FONT, 24, (255, 0, 0))
    before = dict(ts)
    kv.text(canvas, ts, "Kelvra Ag", FONT, 24, (255, 0, 0))
    np.testing.assert_array_equal(canvas, expected)
    assert ts == before  # drawn through a copy of the record


@needs_font
def test_red_shows_red(kv, canvas, ts):
    kv.text(canvas, ts, "Red", FONT, 30, (255, 0, 0))
    assert canvas[..., 2].max() == 255 and not canvas[..., :2].any()
    ys, xs = np.nonzero(canvas[..., 2])
    left, top, right, bottom = ImageFont.truetype(FONT, 30).getbbox("Red")
    # The image's top row sits the text height above the anchor, and the glyphs reach
    # down to the bounding box's bottom from there.
    assert ys.max() == 200 - (bottom - top) + bottom - 1 and xs.min() >= 300 and xs.max() <= 300 + right
    canvas[:] = 0
    kv.text(canvas, ts, "Red", "CV2", 2, (255, 0, 0))
    assert canvas[..., 2].max() == 255 and not canvas[..., :2].any()


@needs_font
@pytest.mark.parametrize("content, size", [("Hgy", 40), ("(j)", 13), ("gq|", 24), ("Kelvra Ag", 24)])
def test_glyphs_below_the_measured_box_are_kept(kv, canvas, ts, content, size):
    font = ImageFont.truetype(FONT, size)
    left, top, right, bottom = font.getbbox(content)
    w, h = right - left, bottom - top
    assert bottom > h  # the glyphs start below the image origin
    # What an image of the measured size alone shows: the glyphs cut at its bottom.
    cut = Image.new("RGBA", (w + 1, h + 1), (0, 0, 0, 0))
    ImageDraw.Draw(cut).text((0, 0), content, font=font, fill=(255, 255, 255, 255))
    old = canvas.copy()
    reference_blit(old, dict(ts, cursor_pos=(0.0, -h)), np.array(cut), (1.0, 1.0))
    kv.text(canvas, ts, content, FONT, size, (255, 255, 255))
    y0, x0 = 200 - h, 300  # the anchor lifted by the text height
    inside = np.zeros(canvas.shape[:2], bool)
    inside[y0:y0 + h + 1, x0:x0 + w + 1] = True
    np.testing.assert_array_equal(canvas[inside], old[inside])  # what was drawn stays where it was
    assert not old[~inside].any()
    assert canvas[y0 + h + 1:].any() and canvas[y0 + bottom - 1].any()  # the descenders, to the last row


@needs_font
def test_anchor_and_scale_given_to_blit(kv, canvas, monkeypatch):
    ts = make_record(size=2.0, cursor_pos=(10, 50))
    text_w, text_h = kv.text_size("Anchor", FONT, 48)
    calls = []
    monkeypatch.setattr(kv, "blit", lambda arr, t, img, sf: calls.append((t, img, sf)))
    kv.text(canvas, ts, "Anchor", FONT, 24, (1, 2, 3))
    (t, img, sf), = calls
    assert t is not ts and t["cursor_pos"] == (10, 50 - text_h / 2.0) and sf == (0.5, 0.5)
    left, top, right, bottom = ImageFont.truetype(FONT, 48).getbbox("Anchor")
    assert img.shape == (max(text_h, bottom) + 1, max(text_w, right) + 1, 4) and img.dtype == np.uint8
    assert img[..., 3].max() == 255 and (img[img[..., 3] > 0][:, :3] == (3, 2, 1)).all()
    assert ts["cursor_pos"] == (10, 50)


def test_late_bound_helpers(kv, canvas, ts, monkeypatch):
    calls = []

    class Font:
        def getbbox(self, content):
            calls.append(("getbbox", content))
            return (1, 2, 6, 2)

    font = Font()
    monkeypatch.setattr(kv, "load_font", lambda name, size: calls.append(("load_font", name, size)) or font)
    monkeypatch.setattr(kv, "text_size", lambda c, name, size: calls.append(("text_size", c, name, size)) or (4, 3))

    class Draw:
        def __init__(self, img):
            self.img = img

        def text(self, xy, content, font, fill):
            calls.append(("draw", xy, content, font, fill))

    class DrawModule:
        pass

    drawmod = DrawModule()
    drawmod.Draw = Draw
    monkeypatch.setattr(kv, "ImageDraw", drawmod)
    monkeypatch.setattr(kv, "blit", lambda arr, t, img, sf: calls.append(("blit", img.shape, t["cursor_pos"], sf)))
    ts["size"] = 1.5
    kv.text(canvas, ts, "xy", "some-font", 10, (10, 20, 30))
    assert calls == [
        ("load_font", "some-font", 15),
        ("text_size", "xy", "some-font", 15),
        ("getbbox", "xy"),
        ("draw", (0, 0), "xy", font, (30, 20, 10, 255)),
        ("blit", (4, 7, 4), (0.0, 0.0 - 3 / 1.5), (1 / 1.5, 1 / 1.5)),
    ]


def test_empty_text_blits_a_transparent_pixel(kv, canvas, ts, monkeypatch):
    seen = []
    real_blit = kv.blit
    monkeypatch.setattr(kv, "blit", lambda *a: seen.append(a[2]) or real_blit(*a))
    kv.text(canvas, ts, "", unknown_font(), 12, (255, 255, 255))
    assert seen[0].shape == (1, 1, 4) and not seen[0].any()
    assert not canvas.any()


def test_tiny_pillow_text_is_skipped(kv, canvas, ts, monkeypatch):
    ts["size"] = 0.04
    monkeypatch.setattr(kv, "load_font", lambda *a: pytest.fail("no font should be loaded"))
    kv.text(canvas, ts, "tiny", "any-font", 20, (255, 0, 0))
    assert not canvas.any()
    kv.text(canvas, ts, "tiny", "CV2", 20, (255, 0, 0))
    assert canvas.any()


@needs_font
@pytest.mark.parametrize("size, scale", [(16385, 1.0), (30000, 1.0), (50000, 1.0), (65535, 1.0), (65536, 1.0),
                                         (10**6, 1.0), (30, 1e6)])
def test_font_sizes_beyond_the_largest_are_one_value_error(kv, canvas, ts, capsys, size, scale):
    pixels = int(size * scale)
    message = f"^font size {pixels} pixels is beyond the largest, 16384 "
    ts["size"] = scale
    calls = [lambda: kv.text(canvas, ts, "W", FONT, size, (255, 255, 255))]
    if scale == 1.0:
        calls += [lambda: kv.load_font(FONT, size), lambda: kv.text_size("W", FONT, size)]
    for call in calls:
        with pytest.raises(ValueError, match=message):
            call()
    assert (FONT, pixels) not in kv.FONT_CACHE and not canvas.any() and capsys.readouterr().out == ""
    assert kv.text_size(".", FONT, 16384)[0] > 0  # the largest size itself loads


def test_invisible_anchor_draws_nothing(kv, canvas, ts):
    ts["is_3d"] = True
    ts["cursor_pos"] = (0.0, 0.0, -20.0)
    kv.text(canvas, ts, "hidden", "CV2", 20, (255, 0, 0))
    assert not canvas.any()


def test_text_argument_errors(kv, canvas, ts):
    cases = [
        ((None, ts, "a", "CV2", 1, (1, 2, 3)), "Argument 'arr' has incorrect type (expected numpy.ndarray, got NoneType)"),
        ((canvas, None, "a", "CV2", 1, (1, 2, 3)), "Argument 'ts' has incorrect type (expected dict, got NoneType)"),
        ((canvas, ts, 5, "CV2", 1, (1, 2, 3)), "Argument 'content' has incorrect type (expected str, got int)"),
        ((canvas, ts, "a", None, 1, (1, 2, 3)), "Argument 'font_info' has incorrect type (expected str, got NoneType)"),
        ((canvas, ts, "a", "CV2", 1, [1, 2, 3]), "Argument 'color' has incorrect type (expected tuple, got list)"),
        ((canvas, ts, "a", "CV2"), "text() takes at least 6 positional arguments (4 given)"),
        ((canvas, ts, "a", "CV2", 1, (1, 2, 3), 1, True, 0), "text() takes at most 8 positional arguments (9 given)"),
    ]
    for args, message in cases:
        with pytest.raises(TypeError) as e:
            kv.text(*args)
        assert str(e.value) == message
    ts["cursor_pos"] = [0, 0]
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        kv.text(canvas, ts, "a", "CV2", 1, (1, 2, 3))
    ts["cursor_pos"] = (0, 0)
    del ts["size"]
    with pytest.raises(KeyError):
        kv.text(canvas, ts, "a", "CV2", 1, (1, 2, 3))
    assert not canvas.any()


# ---- cached text images ----------------------------------------------------------------------


def count_renders(monkeypatch):
    """A list that grows by one for each image of text or glyphs Pillow makes
    (where it compares the image's size with Image.MAX_IMAGE_PIXELS)."""
    import PIL.Image

    rendered = []

    class Limit:
        def __rmul__(self, k):
            return 1 << 62

        def __lt__(self, pixels):  # pixels > MAX_IMAGE_PIXELS
            rendered.append(pixels)
            return False

    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", Limit())
    return rendered


@needs_font
def test_cached_text_draws_what_rendering_draws(kv, monkeypatch):
    # The same text again is drawn from the kept image: nothing is rendered
    # the second time, and every draw equals the documented steps, whatever
    # the blit did to the image it was given. Renders (of text or of glyphs)
    # are counted where Pillow checks the size of the coverage image it
    # makes (Image.MAX_IMAGE_PIXELS compared).
    import PIL.Image

    rng = np.random.default_rng(11)
    cases = [("Hello world", 20, (255, 255, 255), {}), ("Hello world", 20, (255, 0, 0), {}),
             ("Hello world", 31, (255, 255, 255), dict(rot=30.0)), ("Kelvra Ag", 24, (9, 8, 7), dict(size=1.5))]
    scenes = []
    for content, size, color, changes in cases * 2:
        ts = make_record(**changes)
        canvas = rng.integers(0, 256, (400, 600, 3), dtype=np.uint8)
        expected = canvas.copy()
        reference_text(expected, ts, content, FONT, size, color)
        scenes.append((canvas, expected, ts, content, size, color))
    rendered = count_renders(monkeypatch)
    real_blit = kv.blit
    monkeypatch.setattr(kv, "blit", lambda arr, t, img, sf: real_blit(arr, t, img, sf) or img.fill(0))
    counts = []
    for canvas, expected, ts, content, size, color in scenes:
        kv.text(canvas, ts, content, FONT, size, color)
        np.testing.assert_array_equal(canvas, expected)
        counts.append(len(rendered))
    assert counts[len(cases) - 1] > 0 and counts[-1] == counts[len(cases) - 1]  # the second round renders nothing


@needs_font
@pytest.mark.parametrize("name", ["load_font", "text_size", "blit", "ImageDraw"])
def test_cached_text_obeys_rebinding(kv, canvas, ts, monkeypatch, name):
    kv.text(canvas, ts, "Rebound", FONT, 22, (1, 2, 3))
    calls = []
    serif = FONT.replace("DejaVuSans", "DejaVuSerif")
    if name == "load_font":
        monkeypatch.setattr(kv, "load_font", lambda n, s: calls.append(s) or ImageFont.truetype(serif, s))
    elif name == "text_size":
        real = kv.text_size
        monkeypatch.setattr(kv, "text_size", lambda *a: calls.append(a) or real(*a))
    elif name == "blit":
        monkeypatch.setattr(kv, "blit", lambda *a: calls.append(a[2].shape))
    else:
        import PIL.ImageDraw

        monkeypatch.setattr(kv, "ImageDraw", type("Draws", (), {"Draw": lambda img: calls.append(1) or
                                                                PIL.ImageDraw.Draw(img)}))
    canvas[:] = 0
    expected = canvas.copy()
    reference_text(expected, ts, "Rebound", serif if name == "load_font" else FONT, 22, (1, 2, 3))
    kv.text(canvas, ts, "Rebound", FONT, 22, (1, 2, 3))
    assert len(calls) == (2 if name == "load_font" else 1)  # text_size loads the font too
    if name != "blit":
        np.testing.assert_array_equal(canvas, expected)


@needs_font
def test_input_writes_keep_cached_text(kv, canvas, ts, monkeypatch):
    # The pointer moves every frame: neither the listeners' writes nor the
    # program's to the input globals make the same text be rendered again.
    values = {"MOUSE_SCR_POS": lambda i: (i, 1), "MOUSE_STATE": lambda i: dict(kv.MOUSE_STATE),
              "KEYS": lambda i: {}, "RUN": lambda i: i % 2 == 0, "PRESS_QUEUE": lambda i: [None, []][i % 2]}
    for name in values:
        monkeypatch.setattr(kv, name, getattr(kv, name))  # put back afterwards
    rendered = count_renders(monkeypatch)
    for _ in range(2):  # kept at its second rendering
        kv.text(canvas, ts, "Pointer", FONT, 21, (1, 2, 3))
    first = len(rendered)
    for i, name in enumerate(list(values) * 2):
        kv.on_move(i, 2 * i)
        setattr(kv, name, values[name](i))
        kv.text(canvas, ts, "Pointer", FONT, 21, (1, 2, 3))
    assert first > 0 and len(rendered) == first


@needs_font
def test_text_is_kept_at_its_second_rendering(kv, canvas, ts, monkeypatch):
    # A ligature goes to Pillow's renderer: drawn once it is not kept (a
    # counter drawn once costs the cache nothing), drawn again it is.
    rendered = count_renders(monkeypatch)
    counts = []
    for _ in range(4):
        kv.text(canvas, ts, "office 0xffi", FONT, 23, (7, 8, 9))
        counts.append(len(rendered))
    assert counts[0] > 0 and counts[1] == 2 * counts[0] and counts[3] == counts[1], counts


@needs_font
def test_text_image_cache_is_bounded(kv, canvas, ts):
    import tracemalloc

    kv.text(canvas, ts, "warm-up", FONT, 40, (5, 5, 5))
    tracemalloc.start()
    try:
        for i in range(300):  # some 40 MB of distinct text images
            kv.text(canvas, ts, f"{i:04d} a line of text that is not short at all", FONT, 40, (5, 5, 5))
        kept = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert kept < 8 << 20


# ---- one layout per call: the bytes of Pillow's path ----------------------------------

FAMILIES = [FONT, FONT.replace("DejaVuSans", "DejaVuSerif"), FONT.replace("DejaVuSans", "DejaVuSansMono"),
            "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf"]
# Kerning pairs, a ligature candidate, accents (precomposed and combining), digits, spaces and
# characters the fonts lack (CJK, an emoji, a private-use code point).
PIECES = ["AV", "To", "LT", "ffi", "Wa", "é", "Å", "e\u0301", "u\u0308", "ñ", "0123", "4567", "89", " ", "  ",
          "x", "Ag", "g.", "...", "(|)", "\u4e00", "\U0001F600", "\ue000", "-_", "\"'", "Ω"]


@needs_font
def test_pillow_text_over_random_strings_fonts_sizes_and_records(kv):
    rng = np.random.default_rng(26)
    for i in range(48):
        family = FAMILIES[i % len(FAMILIES)]
        if not os.path.exists(family):
            continue
        content = "".join(rng.choice(PIECES) for _ in range(rng.integers(1, 6)))
        size = int(rng.integers(6, 97))
        changes = [{}, dict(rot=float(rng.uniform(-180, 180))), dict(size=1.5), dict(size=0.75, rot=30.0),
                   dict(shift=(12.5, 7.25))][i % 5]
        ts = make_record(**changes, cursor_pos=(float(rng.integers(0, 300)), float(rng.integers(40, 300))))
        color = tuple(int(c) for c in rng.integers(0, 256, 3))
        canvas = rng.integers(0, 256, (400, 600, 3), dtype=np.uint8)
        expected = canvas.copy()
        reference_text(expected, ts, content, family, size, color)
        for _ in range(2):  # rendered, then from the text image cache
            drawn = canvas.copy()
            kv.text(drawn, ts, content, family, size, color)
            assert np.array_equal(drawn, expected), (family, content, size, changes)


@needs_font
def test_font_changed_in_place_is_seen(kv, canvas, ts, monkeypatch):
    serif = FAMILIES[1]
    font = kv.load_font(FONT, 23)
    kv.text(canvas, ts, "Swap", FONT, 23, (7, 200, 9))
    monkeypatch.setattr(font, "font", ImageFont.truetype(serif, 23).font)
    canvas[:] = 0
    expected = canvas.copy()
    reference_text(expected, ts, "Swap", serif, 23, (7, 200, 9))
    kv.text(canvas, ts, "Swap", FONT, 23, (7, 200, 9))
    np.testing.assert_array_equal(canvas, expected)


@needs_font
@pytest.mark.parametrize("owner, name", [("ImageDraw.ImageDraw", "text"), ("ImageDraw", "Draw"), ("Image", "new"),
                                         ("ImageFont.FreeTypeFont", "getbbox"),
                                         ("ImageFont.FreeTypeFont", "getmask2"), ("font", "getbbox")])
def test_rebound_pillow_functions_are_called(kv, canvas, ts, monkeypatch, owner, name):
    import PIL.Image
    import PIL.ImageDraw
    import PIL.ImageFont

    kv.text(canvas, ts, "Rebound", FONT, 21, (1, 2, 3))  # kept in the text image cache
    if owner == "font":
        target = kv.load_font(FONT, 21)
    else:
        target = {"ImageDraw.ImageDraw": PIL.ImageDraw.ImageDraw, "ImageDraw": PIL.ImageDraw, "Image": PIL.Image,
                  "ImageFont.FreeTypeFont": PIL.ImageFont.FreeTypeFont}[owner]
    real = getattr(target, name)
    calls = []
    monkeypatch.setattr(target, name, lambda *a, **k: calls.append(1) or real(*a, **k))
    canvas[:] = 0
    expected = canvas.copy()
    reference_text(expected, ts, "Rebound", FONT, 21, (1, 2, 3))
    calls.clear()
    kv.text(canvas, ts, "Rebound", FONT, 21, (1, 2, 3))
    assert calls
    np.testing.assert_array_equal(canvas, expected)


@needs_font
def test_new_text_runs_no_pillow_python_code(kv, canvas, ts):
    # A new string is laid out by the core font's renderer alone: none of
    # Pillow's Python-level drawing functions runs (they all still exist and
    # are used the moment anything is rebound, see above).
    import sys

    ran = []
    sys.setprofile(lambda frame, event, arg: event == "call" and ran.append(frame.f_code.co_name))
    try:
        for i in range(3):
            kv.text(canvas, ts, f"Unseen {i} {id(ran)}", FONT, 19, (4, 5, 6))
    finally:
        sys.setprofile(None)
    assert not {"text", "getmask2", "getbbox", "Draw", "new"} & set(ran), ran


# ---- text composed from kept glyphs ------------------------------------------------------

LATIN1 = [chr(c) for c in [*range(0x20, 0x7F), *range(0xA0, 0x100)]]


@needs_font
@pytest.mark.parametrize("family", FAMILIES, ids=lambda f: os.path.basename(f))
def test_composed_text_equals_pillow(kv, family):
    # Strings of printable ASCII and Latin-1 (kerning pairs and digits often),
    # sizes 6 to 96, upright, turned and scaled: the bytes of Pillow's path,
    # whether the glyphs were kept or the string went to the renderer.
    if not os.path.exists(family):
        pytest.skip("font not installed")
    rng = np.random.default_rng(zlib.crc32(os.path.basename(family).encode()))
    for i in range(24):
        content = "".join(rng.choice(LATIN1, rng.integers(1, 10)))
        if i % 2:
            content = rng.choice(["AV", "To", "LT", "Wa", "12:07", "ffi", "Score "]) + content
        size = int(rng.choice([6, 9, 13, 20, 27, 40, 61, 96]))
        changes = [{}, dict(rot=float(rng.uniform(-90, 90))), dict(size=1.25)][i % 3]
        ts = make_record(**changes, cursor_pos=(float(rng.integers(-250, 100)), float(rng.integers(0, 150))))
        canvas = rng.integers(0, 256, (400, 600, 3), dtype=np.uint8)
        expected = canvas.copy()
        reference_text(expected, ts, content, family, size, (250, 20, 90))
        kv.text(canvas, ts, content, family, size, (250, 20, 90))
        assert np.array_equal(canvas, expected), (content, size, changes)


@needs_font
def test_changing_text_is_composed_without_rendering(kv, monkeypatch):
    # Once its glyphs are kept, a string that never occurred before is not
    # rendered again: a score of DejaVu Sans digits and letters.
    import PIL.Image

    rendered = []

    class Limit:
        def __rmul__(self, k):
            return 1 << 62

        def __lt__(self, pixels):
            rendered.append(pixels)
            return False

    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", Limit())
    canvas, ts = np.zeros((400, 600, 3), np.uint8), make_record()
    kv.text(canvas, ts, "Score: 0123456789", FONT, 17, (255, 255, 255))
    rendered.clear()
    for n in (7, 4711, 90210):
        expected = canvas.copy()
        reference_text(expected, ts, f"Score: {n}", FONT, 17, (255, 255, 255))
        count = len(rendered)  # the reference renders through Pillow
        kv.text(canvas, ts, f"Score: {n}", FONT, 17, (255, 255, 255))
        assert len(rendered) == count
        np.testing.assert_array_equal(canvas, expected)


# ---- upright text drawn straight into the canvas --------------------------------------


def _straight_cases(rng, count):
    """Random upright text scenes: odd canvas sizes, pens partly or wholly off the
    canvas on every side, colours with 0 and 255 channels, records whose blit is
    a whole-pixel move (plain, size 2 with its 1/s scale, a whole shift) and some
    whose blit is not (a shift by half a pixel, a turn)."""
    colours = [(255, 255, 255), (0, 0, 0), (255, 0, 0), (0, 255, 128), (12, 200, 255)]
    for i in range(count):
        h, w = int(rng.integers(1, 70)) * 2 + 1, int(rng.integers(1, 120)) * 2 + 1
        content = "".join(rng.choice(LATIN1 + PIECES, rng.integers(1, 8)))
        size = int(rng.choice([7, 13, 20, 33, 60]))
        colour = colours[i % len(colours)] if i % 3 else tuple(int(c) for c in rng.integers(0, 256, 3))
        centre = (float(w // 2), float(h // 2))
        record = [dict(shift=centre), dict(shift=centre), dict(shift=centre, size=2.0),
                  dict(shift=(centre[0] - 3.0, centre[1] + 2.0)), dict(shift=(centre[0] + 0.5, centre[1])),
                  dict(shift=centre, rot=90.0)][i % 6]
        pen = (float(rng.integers(-w // 2 - 2 * size, w // 2 + 4)), float(rng.integers(-h // 2 - 4, h // 2 + size)))
        if "size" in record:
            pen = (pen[0] / 2, pen[1] / 2)
        yield h, w, content, size, colour, make_record(w, h, cursor_pos=pen, **record)


@needs_font
def test_straight_text_equals_pillow(kv):
    # Each scene drawn twice (a colour's first and later draws take different
    # ways) onto a contiguous canvas, a flipped view and a view with a step.
    rng = np.random.default_rng(20261207)
    for h, w, content, size, colour, ts in _straight_cases(rng, 60):
        base = rng.integers(0, 256, (h, 2 * w, 3), dtype=np.uint8)
        expected = base.copy()
        reference_text(expected[:, :w], ts, content, FONT, size, colour)
        reference_text(expected[::-1, w:], ts, content, FONT, size, colour)
        for _ in range(2):
            drawn = base.copy()
            kv.text(drawn[:, :w], ts, content, FONT, size, colour)
            kv.text(drawn[::-1, w:], ts, content, FONT, size, colour)
            assert np.array_equal(drawn, expected), (h, w, content, size, colour, ts["cursor_pos"])
        stepped = base.copy()
        expected = base.copy()
        reference_text(expected[:, ::2], ts, content, FONT, size, colour)
        kv.text(stepped[:, ::2], ts, content, FONT, size, colour)
        assert np.array_equal(stepped, expected), (h, w, content, size, colour, ts["cursor_pos"])


@needs_font
def test_straight_text_refuses_a_readonly_canvas(kv, ts):
    canvas = np.zeros((400, 600, 3), np.uint8)
    canvas.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        kv.text(canvas, ts, "Hello", FONT, 20, (255, 255, 255))
    assert not canvas.any()


@needs_font
def test_straight_text_of_other_colours_equals_pillow(kv, ts, monkeypatch):
    # A text image whose pixels are not all of the text's colour (here a
    # rebound ImageDraw draws in two colours) is still composited exactly.
    import PIL.ImageDraw

    class Draws:
        @staticmethod
        def Draw(img):
            draw = PIL.ImageDraw.Draw(img)
            real = draw.text

            def text(xy, content, font, fill):
                real(xy, content, font=font, fill=fill)
                real((xy[0] + 3, xy[1]), content[:2], font=font, fill=(9, 99, 199, 255))

            draw.text = text
            return draw

    import reference

    monkeypatch.setattr(kv, "ImageDraw", Draws)
    monkeypatch.setattr(reference, "ImageDraw", Draws)
    rng = np.random.default_rng(5)
    for _ in range(2):
        canvas = rng.integers(0, 256, (400, 600, 3), dtype=np.uint8)
        expected = canvas.copy()
        reference_text(expected, ts, "Two colours", FONT, 30, (255, 255, 255))
        kv.text(canvas, ts, "Two colours", FONT, 30, (255, 255, 255))
        np.testing.assert_array_equal(canvas, expected)


@needs_font
def test_straight_text_every_alpha_over_every_canvas_value(kv, monkeypatch):
    # A rebound ImageDraw fills the text image with every alpha in the text's
    # colour, over random canvas bytes: nearly every (alpha, canvas value)
    # pair of each colour value, drawn through the tables (second draw) and
    # without them (first draw), gives the documented compositing's bytes.
    import PIL.ImageDraw

    import reference

    class Draws:
        @staticmethod
        def Draw(img):
            class Gradient:
                def text(self, xy, content, font, fill):
                    a = (np.arange(img.width)[None, :] + 97 * np.arange(img.height)[:, None]) % 256
                    rgba = np.zeros((img.height, img.width, 4), np.uint8)
                    rgba[..., :3] = np.where(a[..., None] > 0, np.array(fill[:3], np.uint8), 0)
                    rgba[..., 3] = a
                    img.paste(PIL.Image.fromarray(rgba, "RGBA"))

            return Gradient()

    import PIL.Image

    monkeypatch.setattr(kv, "ImageDraw", Draws)
    monkeypatch.setattr(reference, "ImageDraw", Draws)
    rng = np.random.default_rng(255)
    ts = make_record(cursor_pos=(-300.0, 0.0))
    for colour in [(255, 255, 255), (0, 0, 0), (3, 128, 254)]:
        canvas = rng.integers(0, 256, (400, 600, 3), dtype=np.uint8)
        expected = canvas.copy()
        reference_text(expected, ts, "MMMM", FONT, 150, colour)
        assert (expected != canvas).mean() > 0.25  # the gradient covers much of the canvas
        for _ in range(2):
            drawn = canvas.copy()
            kv.text(drawn, ts, "MMMM", FONT, 150, colour)
            np.testing.assert_array_equal(drawn, expected)


@pytest.mark.skipif(bool(os.environ.get("KELVRACV_TEXT_TABLES")), reason="already run with a table policy")
@needs_font
@pytest.mark.parametrize("env", [dict(KELVRACV_TEXT_TABLES="always"), dict(KELVRACV_TEXT_TABLES="always",
                                 KELVRACV_NO_AVX2="1"), dict(KELVRACV_TEXT_TABLES="never")], ids=["tables", "portable",
                                                                                                "no-tables"])
def test_straight_text_every_way(env):
    # Whether a colour has its tables depends on what was drawn before: the
    # exactness tests above again with tables made at once (with either
    # kernel) and with none.
    import subprocess
    import sys

    tests = [f"{__file__}::{name}" for name in ("test_straight_text_equals_pillow",
                                                 "test_straight_text_of_other_colours_equals_pillow",
                                                 "test_straight_text_every_alpha_over_every_canvas_value")]
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests],
                       capture_output=True, text=True, env=dict(os.environ, **env), timeout=300,
                       cwd=os.path.dirname(__file__))
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-2000:]
    assert "3 passed" in r.stdout


@needs_font
def test_text_image_given_to_a_rebound_blit_is_pillows(kv, canvas, ts, monkeypatch):
    # The image itself (transparent pixels all 0) is Pillow's, whichever way it
    # was made: composed from kept glyphs, laid out by the renderer ("fi").
    from reference import load_font as reference_font, text_size as reference_size

    seen = []
    monkeypatch.setattr(kv, "blit", lambda *a: seen.append(a[2]))
    for content, colour in [("Score 4711", (255, 255, 255)), ("Wa AV 12:07", (0, 128, 255)), ("fi 3", (7, 0, 9))]:
        seen.clear()
        kv.text(canvas, ts, content, FONT, 23, colour)
        font = reference_font(FONT, 23)
        tw, th = reference_size(content, FONT, 23)
        _, _, right, bottom = font.getbbox(content)
        img = Image.new("RGBA", (max(tw, right) + 1, max(th, bottom) + 1), (0, 0, 0, 0))
        ImageDraw.Draw(img).text((0, 0), content, font=font, fill=colour[::-1] + (255,))
        np.testing.assert_array_equal(seen[0], np.array(img))
