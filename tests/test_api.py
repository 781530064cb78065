"""The public surface in one snapshot: every name in the order the module binds
it, each function's parameters as inspect.signature shows them, whether it is
bound from an anonymous function, its docstring, annotations and defaults, and
the asset manager class with its methods; a fresh import binds exactly these
functions, in this order."""

import ast
import inspect
import json

import pytest

from conftest import run_python


def doc(*lines):
    """A docstring in the module's layout: a line break, each line indented by
    four blanks and ended by a line break, then four blanks."""
    return "\n" + "".join("    " + line + "\n" for line in lines) + "    "


# name, parameters, bound from an anonymous function ("<lambda>"); None: the class and the alias
API = [
    ("add_tuples", "(t1, t2)", False),
    ("apply_homography", "(H, pt)", False),
    ("transform_3d", "(p, ts)", False),
    ("transform", "(p, ts)", False),
    ("inverse_transform", "(s, ts)", False),
    ("_color_bgr", "(color)", False),
    ("clear", "(arr, ts, color)", False),
    ("line", "(arr, ts, d, color, thickness, aa=False)", False),
    ("rect", "(arr, ts, wh, color, thickness, fill=False, aa=False)", False),
    ("poly", "(arr, ts, ds, color, thickness, fill=False, aa=False)", False),
    ("circle", "(arr, ts, radius, color, thickness=1, fill=False, aa=False, multiplier=1.0)", False),
    ("ellipse", "(arr, ts, rx, ry, color, thickness=1, fill=False, aa=False, multiplier=1.0)", False),
    ("arc", "(arr, ts, radius, start_deg, end_deg, color, thickness=1, aa=False, multiplier=1.0)", False),
    ("graph", "(arr, ts, func, x_min, x_max, color, thickness=1, aa=True, resolution=100, y_scale=1.0, x_scale=1.0, "
              "max_depth=5, angle_threshold=0.1, screen_dist_threshold=5.0, x_world=False)", False),
    ("AssetManager", None, False),
    ("push_state", "(ts)", True),
    ("pop_state", "(ts)", True),
    ("peek_state", "(ts)", True),
    ("set_cam_pos", "(ts, p)", True),
    ("set_cam_rot", "(ts, r)", True),
    ("cycle_state", "(ts)", True),
    ("set_3d_mode", "(ts, is_3d)", False),
    ("set_homography_core", "(src_pts, dst_pts)", False),
    ("set_homography", "(ts, src_pts, dst_pts)", True),
    ("full_transform", None, False),
    ("load_font", "(font_path_or_name: 'str', size: 'int')", False),
    ("text_size", "(text_content: 'str', font_info: 'str', size: 'float')", False),
    ("_text_cv2", "(arr, ts, p_scr, content, color, scale, thickness, bgr_color, aa=False)", False),
    ("text", "(arr, ts, content, font_info, size, color, thickness=1, aa=True)", False),
    ("blit", "(arr, ts, src_img, scale_factor)", False),
    ("blit_cached", "(arr, ts, asset_name, scale_factor)", False),
    ("tri", "(arr, ts, d1, d2, *a, **kw)", True),
    ("quad", "(arr, ts, d1, d2, d3, *a, **kw)", True),
    ("move", "(ts, xy)", True),
    ("shift", "(ts, xy)", True),
    ("set_shift", "(ts, xy)", True),
    ("scale", "(ts, ds)", True),
    ("set_size", "(ts, ds)", True),
    ("rotate", "(ts, dr)", True),
    ("set_rotate", "(ts, dr)", True),
    ("set_pos", "(ts: 'dict', xy: 'tuple')", False),
    ("array_to_str", "(arr)", True),
    ("str_to_array", "(s)", True),
    ("draw_command_convert", "(arr, ts, cmd_str: 'str', info: 'str | int')", False),
    ("draw_command", "(arr, ts, cmd_str: 'str', info: 'str | int' = 'Direct Call')", False),
    ("draw_tvf", "(arr, ts, file_name: 'str')", False),
    ("on_press", "(key)", False),
    ("on_release", "(key)", False),
    ("simulate_key_press", "(key: 'str')", False),
    ("on_click", "(x, y, button, pressed)", True),
    ("on_scroll", "(x, y, dx, dy)", True),
    ("on_move", "(x, y)", True),
    ("_key_event", "(name, pressed)", False),
    ("get_input", "(method, key=None, ts=None)", False),
    ("get_window_size", "(window_name: 'str') -> 'Tuple[int, int]'", False),
    ("_get_win_props", "(wi)", True),
    ("convert_win_info", "(wi)", True),
    ("init", "(window_info, bg_color)", False),
    ("run", "(tick_function, window_info, bg_color, target_fps=60, dynamic_resize=False)", False),
    ("compile_project", "(main_file_path)", False),
    ("_volume_monitor", "()", False),
    ("_play_sound_logic", "(sound: 'pygame.mixer.Sound', filename: 'str', start_time: 'float', prefix: 'str')", False),
    ("play_sound", "(asset_name: 'str', start_time: 'float' = 0.0)", False),
    ("start_sound", "(asset_name: 'str', start_time: 'float' = 0.0)", False),
    ("transform_points", "(ts, points)", False),
    ("inverse_transform_points", "(ts, points)", False),
]
METHODS = [
    ("AssetManager.__init__", "(self)", False),
    ("AssetManager.load_image", "(self, name: 'str', path: 'str')", False),
    ("AssetManager.load_sound", "(self, name: 'str', path: 'str')", False),
    ("AssetManager.get_img", "(self, name: 'str') -> 'Opt[np.ndarray]'", False),
    ("AssetManager.get_snd", "(self, name: 'str') -> 'Opt[pygame.mixer.Sound]'", False),
]
# Every other function has no docstring.
DOCS = {
    "ellipse": doc("Draws an ellipse centered at cursor_pos with radii rx and ry.",
                   "Approximate smooth drawing using OpenCV ellipse function in 2D or polyline in 3D."),
    "arc": doc("Draws an arc (a segment of a circle) centered at cursor_pos.",
               "Uses point approximation for smoothness in both 2D and 3D."),
    "graph": doc("Plots a 1D function y = f(x) from x_min to x_max using adaptive resolution.",
                 "- resolution: Serves as the *initial* number of segments.",
                 "- max_depth: Limits how many times a segment can be subdivided.",
                 "- angle_threshold: Maximum allowed change in angle (radians) between segments before subdivision.",
                 "- screen_dist_threshold: Maximum allowed distance (pixels) between screen points before "
                 "subdivision."),
    "set_homography_core": doc("Calculates the 3x3 Homography matrix (full_transform) and its inverse from 4 source "
                               "points to 4 destination points.", "Used internally by set_homography."),
    "load_font": "Loads a font from a file path or tries a system font name, using a cache.",
    "text_size": doc("Calculates the width and height of the text block for a given font and size.",
                     "Returns (width, height) in pixels."),
    "text": doc("Renders text at cursor_pos using a specified font. ",
                "If font_info is 'CV2', it uses OpenCV's default font.",
                "Otherwise, it uses Pillow (PIL) for custom font rendering and blits the result.",
                "The size is scaled by ts['size']."),
    "blit": doc("Draws an image (src_img) at cursor_pos, applying current transformations (rot, size, shift).",
                "The image covers (width * sx, height * sy) world units from the cursor; four-channel images",
                "blend by their alpha channel, other images copy their non-zero values."),
    "blit_cached": doc("Same as blit, but loads the image from the ASSETS manager."),
    "transform_points": "Maps an (N, 2) or (N, 3) array of world points to an (N, 2) float64 array of screen points,\n"
                        "each row exactly as transform() maps it ((inf, inf) for a 3-D point not in front of the "
                        "camera).",
    "inverse_transform_points": "Maps an (N, 2) array of screen points to an (N, 2) float64 array of world points,\n"
                                "each row the x and y that inverse_transform() gives for it.",
    "simulate_key_press": doc("Simulates a key being pressed by adding it to the global KEYS dictionary.",
                              "The key string must be the normalized form (e.g., 'a', 'Key.space')."),
}


def declared(params):
    """The annotations (in their order) and the defaults of a def with these parameters."""
    f = ast.parse(f"def f{params}: pass").body[0]
    a = f.args
    args = [*a.posonlyargs, *a.args, a.vararg, *a.kwonlyargs, a.kwarg]
    annotations = {p.arg: ast.literal_eval(p.annotation) for p in args if p is not None and p.annotation}
    if f.returns:
        annotations["return"] = ast.literal_eval(f.returns)
    return annotations, tuple(ast.literal_eval(d) for d in a.defaults) or None


FUNCTIONS = [e for e in API if e[1]] + METHODS


@pytest.mark.parametrize("name, params, anonymous", FUNCTIONS, ids=[e[0] for e in FUNCTIONS])
def test_function(kv, name, params, anonymous):
    owner, _, attr = name.rpartition(".")
    f = getattr(getattr(kv, owner) if owner else kv, attr)
    own = "<lambda>" if anonymous else attr
    assert (f.__name__, f.__qualname__) == (own, f"{owner}.{own}" if owner else own)
    assert f.__module__ == "kelvracv._kelvra_core"
    assert repr(f).startswith(f"<function {f.__qualname__} at 0x")
    assert str(inspect.signature(f)) == params
    assert f.__doc__ == DOCS.get(name)
    annotations, defaults = declared(params)
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__defaults__ == defaults and list(map(type, f.__defaults__ or ())) == list(map(type, defaults or ()))


def test_asset_manager_class(kv):
    cls = kv.AssetManager
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("AssetManager", "AssetManager", "kelvracv._kelvra_core")
    assert cls.__doc__ == "Manages cached assets."
    assert [m for m, v in vars(cls).items() if callable(v)] == [m.split(".")[1] for m, *_ in METHODS]


def test_fresh_import_binds_in_order():
    r = run_python("""
        import threading, json
        before = threading.active_count()
        from kelvracv import _kelvra_core as kv
        print("---")
        names = [n for n in vars(kv) if not n.startswith("__")]
        bound = [n for n, v in vars(kv).items() if type(v) is type(kv.add_tuples) or v is kv.AssetManager]
        print(json.dumps([names, bound]))
        print(threading.active_count() - before)
    """)
    assert r.returncode == 0, r.stderr
    own, _, rest = r.stdout.partition("---\n")
    assert own == "Volume monitor thread started.\n", r.stdout + r.stderr
    names_line, threads, end = rest.split("\n")
    assert (threads, end) == ("1", ""), r.stdout + r.stderr
    names, bound = json.loads(names_line)
    order = [n for n, *_ in API]
    assert bound == order
    # the sound functions and the point arrays come last, after the volume monitor started
    assert names[names.index("compile_project"):] == order[order.index("compile_project"):]
    for n in ["np", "cv2", "Dict", "Tuple", "Opt", "ImageFont", "ImageDraw", "Image", "sys", "os", "time",
              "threading", "math", "shutil", "glob", "pygame", "keyboard", "mouse"]:
        assert n in names
    # the globals come after the imports, then the asset manager, its instance and the colour table
    layout = ["keyboard", "FONT_CACHE", "TEXT_FILE_EXTENSIONS", "AssetManager", "ASSETS", "C"]
    assert sorted(layout, key=names.index) == layout
