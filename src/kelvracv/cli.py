"""The kelvracv command line (``python -m kelvracv`` or ``kelvracv``).

    run SCRIPT [--headless] [--frames N] [--record PATH [--record-fps N]]
        [--web [--host H] [--port N] [--token T]] [-- ARGS...]
    render SCENE[.tvf] -o OUT.png [--size WxH] [--bg R,G,B] [--strict]
    view SCENE[.tvf] [--size WxH] [--bg R,G,B]
    pack MAIN.py
    info

Argument parsing and the settings of the run only: the drawing, the frame
loop, headless runs, recording and packaging are the native core's.

Exit status: 2 for a user error (one line on standard error: bad arguments, a
scene or project that cannot be read, an output that cannot be written); for
`run`, the program's own status, or 1 when a loop of it ended because its tick
function raised or its recording could not be written; for `render --strict`,
1 when a line of the scene failed.
"""

import argparse
import contextlib
import os
import re
import runpy
import stat
import sys

DEFAULT_SIZE = (800, 600)
DEFAULT_BG = (0, 0, 0)
VIEW_FPS = 30
DEFAULT_HOST, DEFAULT_PORT = "127.0.0.1", 8000  # of the web page
# The largest canvas: OpenCV's drawing keeps coordinates within 16 bits
# (short), and 2**28 pixels (768 MiB of BGR) is about what cv2.imwrite and
# cv2.imread still handle (their limit is 2**30 pixels).
MAX_SIDE = 32767
MAX_PIXELS = 2**28
USER_ERROR = 2  # argparse's status for a usage error
NO_DISPLAY = re.compile(r"no display \((.*)\): a window cannot be opened")  # init's refusal


# ---- argument types ------------------------------------------------------------------


def size(text):
    """WxH, two positive whole numbers."""
    m = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not m or int(m.group(1)) < 1 or int(m.group(2)) < 1:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT such as 800x600, got {text!r}")
    w, h = int(m.group(1)), int(m.group(2))
    if w > MAX_SIDE or h > MAX_SIDE or w * h > MAX_PIXELS:
        raise argparse.ArgumentTypeError(f"{text!r} is too large: at most {MAX_SIDE} on a side "
                                         f"and {MAX_PIXELS} pixels in all")
    return w, h


def color(text):
    """R,G,B, three whole numbers from 0 to 255."""
    parts = text.split(",")
    try:
        rgb = tuple(int(p) for p in parts)
    except ValueError:
        rgb = ()
    if len(rgb) != 3 or not all(0 <= c <= 255 for c in rgb):
        raise argparse.ArgumentTypeError(f"expected R,G,B with values from 0 to 255, got {text!r}")
    return rgb


def positive(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return n


def rate(text):
    """A recording's frame rate: a positive number, at most 1000."""
    try:
        n = float(text)
    except ValueError:
        n = 0.0
    if not 0 < n <= 1000:
        raise argparse.ArgumentTypeError(f"expected frames per second from above 0 to 1000, got {text!r}")
    return text.strip()


# ---- helpers -------------------------------------------------------------------------


def core(headless):
    """The native core. Its start-up line goes to standard error, so that
    standard output carries only what the command itself prints."""
    if headless:
        os.environ["KELVRACV_HEADLESS"] = "1"
    with contextlib.redirect_stdout(sys.stderr):
        from kelvracv import _kelvra_core
    return _kelvra_core


def web_address(host, port):
    """KELVRACV_WEB's [HOST:]PORT form (an IPv6 host in brackets)."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def port_number(text):
    try:
        n = int(text)
    except ValueError:
        n = -1
    if not 0 <= n <= 65535:
        raise argparse.ArgumentTypeError(f"expected a port from 0 to 65535, got {text!r}")
    return n


def web_token(text):
    """A token fixed for the page: at least 16 URL-safe characters."""
    from kelvracv.web.server import check_token

    try:
        return check_token(text.strip(), "the token")
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def scene_file(scene):
    """The scene's name as draw_tvf takes it (without .tvf) and its file,
    or an error message when it is no regular file that can be read (a FIFO
    or a device is never opened)."""
    name = scene[:-4] if scene.endswith(".tvf") else scene
    path = name + ".tvf"
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return name, path, f"cannot read scene {path!r}: not a regular file"
        with open(path) as f:
            f.read()
    except (OSError, ValueError) as e:
        return name, path, f"cannot read scene {path!r}: {e}"
    return name, path, None


def fail(command, message, status=USER_ERROR):
    print(f"kelvracv {command}: {message}", file=sys.stderr)
    return status


class Parser(argparse.ArgumentParser):
    """argparse, with a usage error as one line on standard error (status 2)."""

    def error(self, message):
        self.exit(USER_ERROR, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class LineCounter:
    """Standard output passed through, counting the error lines of the command language."""

    def __init__(self, out):
        self.out, self.failed, self.at_line_start = out, 0, True

    def write(self, text):
        for piece in text.splitlines(keepends=True):
            if self.at_line_start and piece.startswith(("Error @ ", "Execution Error @ ", "Error reading TVF ")):
                self.failed += 1
            self.at_line_start = piece.endswith("\n")
        return self.out.write(text)

    def flush(self):
        self.out.flush()


# ---- commands ------------------------------------------------------------------------


def run(args):
    """Runs SCRIPT as __main__ with the asked settings, as `python SCRIPT` would."""
    if args.headless:
        os.environ["KELVRACV_HEADLESS"] = "1"
    if args.frames is not None:
        os.environ["KELVRACV_FRAMES"] = str(args.frames)
    if args.record:
        # from the folder the command was given in, whatever the program does
        os.environ["KELVRACV_RECORD"] = os.path.abspath(args.record)
    if args.record_fps is not None:
        os.environ["KELVRACV_RECORD_FPS"] = args.record_fps
    if args.web:
        port = DEFAULT_PORT if args.port is None else args.port
        os.environ["KELVRACV_WEB"] = web_address(args.host or DEFAULT_HOST, port)
        if args.lossless:
            os.environ["KELVRACV_WEB_LOSSLESS"] = "1"
        if args.token is not None:
            os.environ["KELVRACV_WEB_TOKEN"] = args.token
    elif args.host is not None or args.port is not None or args.lossless or args.token is not None:
        return fail("run", "--host, --port, --lossless and --token go with --web")
    if not os.path.isfile(args.script):
        return fail("run", f"no such script: {args.script!r}")
    script = os.path.abspath(args.script)
    sys.argv = [args.script, *args.args]
    sys.path[0] = os.path.dirname(script)
    status = 0
    try:
        runpy.run_path(script, run_name="__main__")
    except SystemExit as e:
        if e.code not in (None, 0):
            raise
    except (ValueError, OSError, RuntimeError) as e:
        # the core's refusal of a setting or of a window without a display, a
        # recording that could not be written, or a web page that could not be
        # served (a port in use)
        if isinstance(e, OSError) and str(e).startswith("kelvracv web:"):
            print(e, file=sys.stderr)
            return 1
        if isinstance(e, RuntimeError):
            if not NO_DISPLAY.match(str(e)):
                raise
            return fail("run", str(e))
        if not str(e).startswith(("KELVRACV_FRAMES", "KELVRACV_RECORD", "KELVRACV_WEB")):
            raise
        return fail("run", str(e), USER_ERROR if isinstance(e, ValueError) else 1)
    core = sys.modules.get("kelvracv._kelvra_core")
    if core is not None and getattr(core.run, "tick_errors", 0):
        status = 1  # a loop ended because the tick function raised
    return status


def render(args):
    """Draws the scene on the canvas and record init makes, writes the image."""
    name, path, error = scene_file(args.scene)
    if error:
        return fail("render", error)
    kv = core(headless=True)
    canvas, ts = kv.init((args.size, "kelvracv render"), args.bg)
    counter = LineCounter(sys.stdout)
    with contextlib.redirect_stdout(counter):
        kv.draw_tvf(canvas, ts, name)
    try:
        written = kv.cv2.imwrite(args.output, canvas)
    except kv.cv2.error as e:
        return fail("render", f"cannot write {args.output!r}: {str(e).strip().splitlines()[-1]}")
    if not written:
        return fail("render", f"cannot write {args.output!r}")
    if args.strict and counter.failed:
        return fail("render", f"{counter.failed} line{'s' if counter.failed != 1 else ''} of {path!r} failed", 1)
    return 0


def view(args):
    """Shows the scene and draws it again whenever its file changes."""
    name, path, error = scene_file(args.scene)
    if error:
        return fail("view", error)
    kv = core(headless=False)
    seen = {"stamp": None, "image": None, "record": None}

    def stamp():
        try:
            st = os.stat(path)
        except OSError:  # between an editor's delete and write: keep the last image
            return seen["stamp"]
        return st.st_mtime_ns, st.st_size, st.st_ino

    def tick(arr, ts):
        if seen["record"] is None:
            seen["record"] = dict(ts)  # every drawing starts from init's record
        now = stamp()
        if now != seen["stamp"] or seen["image"] is None or seen["image"].shape != arr.shape:
            seen["stamp"] = now
            ts.clear()
            ts.update(seen["record"])
            kv.TS_STACK.clear()
            kv.draw_tvf(arr, ts, name)
            seen["image"] = arr.copy()
        else:
            arr[...] = seen["image"]

    try:
        kv.run(tick, (args.size, path), args.bg, VIEW_FPS)
    except kv.cv2.error as e:  # the window could not be made or shown
        return fail("view", f"cannot show a window: {str(e).strip().splitlines()[-1]}")
    except RuntimeError as e:
        no_display = NO_DISPLAY.match(str(e))
        if not no_display:
            raise
        return fail("view", f"needs a display: {no_display.group(1)}")
    return 0


def pack(args):
    """Packages the project of MAIN.py into one script and prints its path."""
    kv = core(headless=True)
    try:
        out = kv.compile_project(args.main)
    except (OSError, UnicodeError) as e:  # missing, a folder, unreadable, the output not writable
        return fail("pack", str(e))
    print(out)
    return 0


def info(args):
    """Prints the versions of Python and the libraries and the native capabilities the installed OpenCV allows."""
    from importlib import metadata

    def dist(name):
        try:
            return metadata.version(name)
        except metadata.PackageNotFoundError:
            return "not installed"

    kv = core(headless=True)
    profile = kv.__opencv_profile__()
    print(f"Python {sys.version.split()[0]}")
    print(f"NumPy {dist('numpy')}")
    print(f"OpenCV {profile['opencv']} (opencv-python {dist('opencv-python')})")
    print(f"Pillow {dist('pillow')}")
    print(f"pygame {dist('pygame')}")
    print(f"OpenCV CPU dispatch: {profile['dispatch']}")
    print(f"Intel IPP: {profile['ipp']}")
    verified = ", verified (blit warps with Intel IPP off)" if profile["verified warp"] else ""
    print(f"OpenCV's bilinear warp: {profile['warp arithmetic']}{verified}")
    for name, reason in profile.items():
        if name not in ("opencv", "dispatch", "ipp", "warp arithmetic", "verified warp"):
            print(f"{name}: on" if reason is None else f"{name}: off ({reason})")
    return 0


# ---- the parser ----------------------------------------------------------------------


def parser():
    p = Parser(prog="kelvracv", description="Run, record, render, view and package kelvracv programs.")
    commands = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    c = commands.add_parser("run", help="run a program, optionally headless, for N frames, recorded",
                            usage="kelvracv run SCRIPT [--headless] [--frames N] [--record PATH [--record-fps N]] "
                                  "[--web [--host H] [--port N] [--lossless] [--token T]] [-- ARGS...]",
                            description="Run SCRIPT as __main__. Arguments after -- are the program's own.")
    c.add_argument("script", metavar="SCRIPT")
    c.add_argument("--headless", action="store_true", help="no window, no input listeners, dummy audio")
    c.add_argument("--frames", type=positive, metavar="N", help="end the frame loop after N frames")
    c.add_argument("--record", metavar="PATH", help="record the frames: out.mp4, out.gif or frames/f_%%05d.png")
    c.add_argument("--record-fps", type=rate, metavar="N",
                   help="the rate a recorded video or GIF plays at (default: the program's target_fps)")
    c.add_argument("--web", action="store_true", help="show the frames in a web page (implies --headless)")
    c.add_argument("--host", metavar="H",
                   help="address the page is served on (127.0.0.1; any other needs the printed token)")
    c.add_argument("--port", type=port_number, metavar="N", help="port of the page (8000; 0: any free)")
    c.add_argument("--lossless", action="store_true", help="send the page PNG frames instead of JPEG")
    c.add_argument("--token", type=web_token, metavar="T",
                   help="the page's token, the same in every run (16 or more characters; default: a new random one "
                        "on any address but the loopback)")
    c.add_argument("args", nargs="*", metavar="ARGS", help=argparse.SUPPRESS)
    c.set_defaults(handler=run)

    for command, handler, text in (("render", render, "draw a TVF scene into an image file"),
                                   ("view", view, "show a TVF scene, drawn again whenever the file changes")):
        c = commands.add_parser(command, help=text, description=text[0].upper() + text[1:] + ".")
        c.add_argument("scene", metavar="SCENE[.tvf]")
        if command == "render":
            c.add_argument("-o", "--output", required=True, metavar="OUT.png")
        c.add_argument("--size", type=size, default=DEFAULT_SIZE, metavar="WxH", help="canvas size (800x600)")
        c.add_argument("--bg", type=color, default=DEFAULT_BG, metavar="R,G,B", help="background (0,0,0)")
        if command == "render":
            c.add_argument("--strict", action="store_true", help="exit with status 1 when a line of the scene fails")
        c.set_defaults(handler=handler)

    c = commands.add_parser("pack", help="package a project into one script", description=pack.__doc__)
    c.add_argument("main", metavar="MAIN.py")
    c.set_defaults(handler=pack)

    c = commands.add_parser("info", help="versions and the native capabilities in use", description=info.__doc__)
    c.set_defaults(handler=info)
    return p


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    program_args = []
    if argv[:1] == ["run"] and "--" in argv:  # everything after -- belongs to the program
        cut = argv.index("--")
        argv, program_args = argv[:cut], argv[cut + 1:]
    args = parser().parse_args(argv)
    if args.command == "run":
        args.args += program_args
    return args.handler(args)
