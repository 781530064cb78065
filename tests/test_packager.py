"""Project packaging: compile_project on real project folders, and the
packaged scripts run by this Python in a subprocess from another folder."""

import ast
import base64
import json
import os
import signal
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

import cv2
import numpy as np
import pytest

import kelvracv
from conftest import limit, run_capped

# The source the package under test installs beside its native module.
KELVRA_SOURCE = (Path(kelvracv.__file__).parent / "Kelvra.py").read_bytes()

HEAD = "\nimport os,sys,tempfile,base64,zlib,json,atexit,shutil\nVFR=json.loads("
MIDDLE = (
    ")\n"
    "import runpy,traceback,signal\n"
    "def cleanup(d):\n"
    "    try:shutil.rmtree(d) if os.path.exists(d) else None\n"
    "    except:pass\n"
    "def on_sigterm(d):\n"
    "    def handler(signum, frame):\n"
    "        cleanup(d); signal.signal(signum, signal.SIG_DFL); os.kill(os.getpid(), signum)\n"
    "    return handler\n"
    "def run_compiled():\n"
    "    tmp_d = tempfile.mkdtemp(); atexit.register(cleanup, tmp_d); sys.path.insert(0, tmp_d)\n"
    "    try:\n"
    "        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:signal.signal(signal.SIGTERM, on_sigterm(tmp_d))\n"
    "    except ValueError:pass\n"
    "    for fn, edata in VFR:\n"
    "        try:\n"
    "            fp = os.path.join(tmp_d, fn); os.makedirs(os.path.dirname(fp), exist_ok = True)\n"
    "            with open(fp, 'wb') as f:f.write(zlib.decompress(base64.b64decode(edata)))\n"
    "        except Exception as e:print(f\"Error extracting {fn}:{e}\"); sys.exit(1)\n"
    "    rec = os.environ.get(\"KELVRACV_RECORD\", \"\")\n"
    "    if rec.strip():os.environ[\"KELVRACV_RECORD\"] = os.path.abspath(rec)\n"
    "    orig_cwd = os.getcwd(); os.chdir(tmp_d)\n"
    "    try:runpy.run_path(os.path.join(tmp_d, "
)
TAIL = (
    "), run_name=\"__main__\")\n"
    "    except Exception as e:print(f\"Runtime error:{e}\"); traceback.print_exc(); sys.exit(1)\n"
    "    finally:os.chdir(orig_cwd)\n"
    "if __name__ == \"__main__\":run_compiled()\n"
)

# The main script of the runnable project: draws without a window through the
# library it imports as Kelvra, and reports what it saw as JSON.
MAIN = r'''
import atexit, json, os, sys
import numpy as np
import Kelvra
import helper
from kelvracv import _kelvra_core

out = os.environ["KV_OUT"]
here = os.getcwd()
ts = {"rot": 30.0, "size": 1.5, "shift": (30.0, 20.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
      "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0), "is_3d": False}
canvas = np.zeros((40, 60, 3), np.uint8)
a = Kelvra.transform((-10, 0), ts)
b = Kelvra.transform((10, 5), ts)
Kelvra.cv2.line(canvas, (int(a[0]), int(a[1])), (int(b[0]), int(b[1])), Kelvra._color_bgr((255, 0, 0)), 2)
Kelvra.RUN = False
listing = sorted(os.path.relpath(os.path.join(r, f), here) for r, _, fs in os.walk(here) for f in fs)
report = {"cwd": here, "file": __file__, "name": __name__, "same": Kelvra is _kelvra_core,
          "run_seen": _kelvra_core.RUN is False, "helper": helper.VALUE, "path0": sys.path[0],
          "data": open(os.path.join("sub", "data.bin"), "rb").read().hex(), "canvas": canvas.tobytes().hex(),
          "listing": listing}
with open(os.path.join(out, "report.json"), "w") as f:
    json.dump(report, f)

def at_exit():
    with open(os.path.join(out, "exit.json"), "w") as f:
        json.dump({"cwd": os.getcwd(), "tmp_exists": os.path.isdir(here)}, f)

atexit.register(at_exit)  # runs before the packaged script's own cleanup
'''

DATA = bytes(range(256)) * 3 + b"\x00\r\n\x1a" * 50


# ---- helpers -----------------------------------------------------------------


def expected_script(entries, main_name):
    vfr = [(name, base64.b64encode(zlib.compress(data, 9)).decode("utf-8")) for name, data in entries]
    return HEAD + repr(json.dumps(vfr)) + MIDDLE + repr(main_name) + TAIL


def entries_of(script_path):
    """The (name, bytes) pairs a packaged script carries, in order."""
    text = Path(script_path).read_text()
    literal = text[len(HEAD):text.index(MIDDLE)]
    return [(n, zlib.decompress(base64.b64decode(d))) for n, d in json.loads(ast.literal_eval(literal))]


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    path.write_bytes(data)


def run_packaged(script, cwd, out_dir=None, args=()):
    # PYTHONPATH (if any) already points at the build under test.
    env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1", SDL_AUDIODRIVER="dummy", KV_OUT=str(out_dir or cwd))
    return subprocess.run([sys.executable, *args, str(script)] if not args else [sys.executable, *args],
                          cwd=cwd, capture_output=True, text=True, env=env, timeout=60)


@pytest.fixture
def project(tmp_path):
    """A project folder with every kind of file the packager keeps or skips."""
    p = tmp_path / "proj"
    write(p / "game.py", MAIN)
    write(p / "helper.py", "VALUE = 'helper imported from the package'\n")
    write(p / "sub" / "data.bin", DATA)
    write(p / "sub" / "game.py", "raise SystemExit('the wrong game')\n")  # same base name: skipped
    write(p / "x.pyc", b"\x00compiled")
    write(p / "sub" / "deep" / "y.pyc", b"compiled")
    write(p / "old_c.py", "print('an earlier package')\n")
    write(p / "sub" / "other_c.py", "")
    write(p / "__pycache__notes.txt", "cache-like name\n")
    write(p / "__pycache__" / "game.cpython-313.pyc", b"\x00")
    write(p / "__pycache__" / "keep.txt", "a kept file inside a cache folder\n")
    write(p / "notes.PYC", "upper case: kept\n")
    write(p / "données it's.txt", "non-ASCII and a quote in the name\n")
    (p / "empty").mkdir()
    os.symlink(p / "nowhere", p / "sub" / "broken")  # listed by the walk, cannot be read
    return p


KEPT = ["helper.py", "notes.PYC", "données it's.txt", os.path.join("__pycache__", "keep.txt"),
        os.path.join("sub", "data.bin")]


def walk_order(base, main_name):
    """Relative names of the kept files in os.walk's order."""
    names = []
    for root, _, files in os.walk(base):
        for fn in files:
            if fn.endswith((".pyc", "_c.py")) or fn.startswith("__pycache__") or fn == main_name:
                continue
            if os.path.islink(os.path.join(root, fn)) and not os.path.exists(os.path.join(root, fn)):
                continue
            names.append(os.path.relpath(os.path.join(root, fn), base))
    return names


# ---- the packaged file -------------------------------------------------------------


def test_package_byte_for_byte(kv, project, capsys, monkeypatch):
    monkeypatch.chdir(project.parent)
    out = kv.compile_project(os.path.join("proj", "game.py"))
    assert out == str(project / "game_c.py")
    order = walk_order(project, "game.py")
    assert sorted(order) == sorted(KEPT)
    entries = [("Kelvra.py", KELVRA_SOURCE)] + [(n, (project / n).read_bytes()) for n in order] + [
        ("game.py", MAIN.encode())]
    assert Path(out).read_text() == expected_script(entries, "game.py")
    assert entries_of(out) == entries
    assert Path(out).read_bytes().isascii() and Path(out).read_bytes().startswith(b"\nimport os,")
    broken = os.path.join("sub", "broken")
    assert capsys.readouterr().out == (
        f"Warning:Could not read file {broken}:[Errno 2] No such file or directory: '{project / broken}'\n")


def test_only_the_main_script(kv, tmp_path):
    write(tmp_path / "game.py", "print('hi')\n")
    out = kv.compile_project(str(tmp_path / "game.py"))
    assert out == str(tmp_path / "game_c.py")
    assert entries_of(out) == [("Kelvra.py", KELVRA_SOURCE), ("game.py", b"print('hi')\n")]
    assert Path(out).read_text().endswith(MIDDLE + "'game.py'" + TAIL)


def test_project_file_named_kelvra_replaces_the_library_source_in_place(kv, tmp_path):
    write(tmp_path / "game.py", "import Kelvra\n")
    write(tmp_path / "Kelvra.py", "x = 1\n")
    out = kv.compile_project(str(tmp_path / "game.py"))
    assert entries_of(out) == [("Kelvra.py", b"x = 1\n"), ("game.py", b"import Kelvra\n")]


def test_second_call_overwrites_and_skips_the_first_output(kv, tmp_path):
    write(tmp_path / "game.py", "A = 1\n")
    write(tmp_path / "data.txt", "one")
    first = kv.compile_project(str(tmp_path / "game.py"))
    write(tmp_path / "data.txt", "two")
    second = kv.compile_project(str(tmp_path / "game.py"))
    assert first == second
    assert entries_of(second) == [("Kelvra.py", KELVRA_SOURCE), ("data.txt", b"two"), ("game.py", b"A = 1\n")]


@pytest.mark.parametrize("name, output", [
    ("game", "game_c.py"),          # no ".py": the package must not replace the main script
    ("run.PY", "run.PY_c.py"),
    ("a.py.py", "a_c.py_c.py"),     # every ".py" is replaced
    ("level.pyw", "level_c.pyw"),
])
def test_output_names(kv, tmp_path, name, output):
    write(tmp_path / name, "MAIN = True\n")
    out = kv.compile_project(str(tmp_path / name))
    assert out == str(tmp_path / output)
    assert (tmp_path / name).read_bytes() == b"MAIN = True\n"
    assert entries_of(out)[-1] == (name, b"MAIN = True\n")
    assert Path(out).read_text().endswith(MIDDLE + repr(name) + TAIL)


def test_missing_main_script(kv, tmp_path):
    missing = tmp_path / "nope" / "game.py"
    for arg in (str(missing), missing):
        with pytest.raises(FileNotFoundError) as e:
            kv.compile_project(arg)
        assert str(e.value) == f"File not found:{missing}" and e.value.args == (f"File not found:{missing}",)
    assert not (tmp_path / "nope").exists()


def test_write_failure_propagates_naming_the_output(kv, tmp_path):
    write(tmp_path / "game.py", "")
    (tmp_path / "game_c.py").mkdir()
    with pytest.raises(IsADirectoryError) as e:
        kv.compile_project(str(tmp_path / "game.py"))
    assert str(e.value) == f"[Errno 21] Is a directory: '{tmp_path / 'game_c.py'}'"  # not the file written first
    assert sorted(os.listdir(tmp_path)) == ["game.py", "game_c.py"]


def test_arguments(kv):
    with pytest.raises(TypeError, match=r"^compile_project\(\) takes exactly 1 positional argument \(0 given\)$"):
        kv.compile_project()
    with pytest.raises(TypeError, match="path should be string"):
        kv.compile_project(None)


def test_bytes_path_fails_on_the_output_name(kv, tmp_path):
    write(tmp_path / "game.py", "")
    with pytest.raises(TypeError, match="^a bytes-like object is required, not 'str'$"):
        kv.compile_project(os.fsencode(tmp_path / "game.py"))
    assert sorted(os.listdir(tmp_path)) == ["game.py"]


# ---- the output is replaced, never written through; only regular files are read ---------------


def test_output_link_and_failed_write_leave_their_files_intact(kv, tmp_path, monkeypatch):
    proj, outside = tmp_path / "proj", tmp_path / "outside.txt"
    write(proj / "spiel_ü.py", "A = 1\n")
    write(outside, "not the package")
    os.symlink(outside, proj / "spiel_ü_c.py")
    out = kv.compile_project(str(proj / "spiel_ü.py"))
    # The link itself is replaced by the package; its target is untouched.
    assert not os.path.islink(out) and outside.read_text() == "not the package"
    assert entries_of(out)[-1] == ("spiel_ü.py", b"A = 1\n")
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(out).st_mode & 0o777 == 0o666 & ~umask  # as open(path, "w") makes a file
    before = Path(out).read_bytes()

    # A write that fails half-way (the module name cannot be encoded) keeps the previous output.
    def ascii_open(file, mode="r", *args, **kw):
        return open(file, mode, *args, **kw) if "w" not in mode else open(file, mode, encoding="ascii")

    monkeypatch.setattr(kv, "open", ascii_open, raising=False)
    write(proj / "spiel_ü.py", "A = 2\n")
    with pytest.raises(UnicodeEncodeError):
        kv.compile_project(str(proj / "spiel_ü.py"))
    assert Path(out).read_bytes() == before
    assert sorted(os.listdir(proj)) == ["spiel_ü.py", "spiel_ü_c.py"]  # no temporary file left


SPECIAL_FILES = """
import json, os, sys
proj = sys.argv[1]
t0 = time.perf_counter()
out = kv.compile_project(os.path.join(proj, "game.py"))
print(json.dumps([time.perf_counter() - t0, peak_growth_mb()]), file=sys.stderr)
"""


def test_special_files_in_the_project_are_skipped(kv, tmp_path):
    proj = tmp_path / "proj"
    write(proj / "game.py", "A = 1\n")
    write(tmp_path / "real.txt", "read through the link")
    os.mkfifo(proj / "pipe")
    write(proj / "sub" / "x.txt", "kept")
    os.symlink("/dev/zero", proj / "sub" / "zeros")
    os.symlink("/dev/urandom", proj / "noise")
    os.symlink(tmp_path / "real.txt", proj / "link.txt")
    write(tmp_path / "secret.key", "never packed")
    os.symlink("../secret.key", proj / "notes.txt")
    os.symlink(os.path.join("sub", "x.txt"), proj / "inner.txt")  # inside: followed
    r = run_capped(SPECIAL_FILES, proj, cap_mb=512, timeout=60)
    assert r.returncode == 0, r.stderr[-2000:]
    seconds, growth = json.loads(r.stderr.splitlines()[-1])
    assert seconds < limit(10) and growth < 100
    warnings = sorted(r.stdout.splitlines()[1:])
    # links that lead out of the project are never followed
    assert warnings == sorted(["Warning:Could not read file pipe:not a regular file"] +
                              [f"Warning:Could not read file {n}:a link to a file outside the project folder"
                               for n in ("noise", os.path.join("sub", "zeros"), "link.txt", "notes.txt")])
    entries = dict(entries_of(proj / "game_c.py"))
    assert sorted(entries) == sorted(["Kelvra.py", "game.py", "inner.txt", os.path.join("sub", "x.txt")])
    assert entries["inner.txt"] == b"kept"


MAIN_PATH = """
import json, os, sys
t0 = time.perf_counter()
try:
    kv.compile_project(sys.argv[1])
except Exception as e:
    print(json.dumps([type(e).__name__, str(e), time.perf_counter() - t0, peak_growth_mb()]), file=sys.stderr)
"""


@pytest.mark.parametrize("kind", ["folder", "fifo"])
def test_main_path_that_is_no_regular_file_raises_at_once(kv, tmp_path, kind):
    # Beside it: a large file and a FIFO, which reading the folder would meet.
    write(tmp_path / "big.bin", b"")
    os.truncate(tmp_path / "big.bin", 2**30)  # a sparse gigabyte
    os.mkfifo(tmp_path / "pipe")
    main = tmp_path / "game.py"
    main.mkdir() if kind == "folder" else os.mkfifo(main)
    r = run_capped(MAIN_PATH, main, cap_mb=512, timeout=60)
    assert r.returncode == 0, r.stderr[-2000:]
    name, message, seconds, growth = json.loads(r.stderr.splitlines()[-1])
    if kind == "folder":
        assert (name, message) == ("IsADirectoryError", f"[Errno 21] Is a directory: '{main}'")
    else:
        assert (name, message) == ("OSError", f"Not a regular file:{main}")
    assert seconds < limit(2) and growth < 50
    assert r.stdout == "Volume monitor thread started.\n"
    assert sorted(os.listdir(tmp_path)) == ["big.bin", "game.py", "pipe"]


# ---- running the packaged script ------------------------------------------------------


def test_packaged_project_runs_from_another_directory(kv, project, tmp_path):
    out = kv.compile_project(str(project / "game.py"))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    r = run_packaged(out, elsewhere)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Volume monitor thread started.\n"
    report = json.loads((elsewhere / "report.json").read_text())
    tmp_d = report["cwd"]
    # It ran the main script as __main__ from a fresh temporary folder first on the path.
    assert report["name"] == "__main__" and report["file"] == os.path.join(tmp_d, "game.py")
    assert report["path0"] == tmp_d and Path(tmp_d).parent == Path(tempfile.gettempdir())
    assert report["helper"] == "helper imported from the package"
    # Kelvra is the installed native module itself: a rebinding is seen by the library.
    assert report["same"] is True and report["run_seen"] is True
    assert bytes.fromhex(report["data"]) == DATA
    assert sorted(report["listing"]) == sorted(["Kelvra.py", "game.py"] + KEPT)
    ts = {"rot": 30.0, "size": 1.5, "shift": (30.0, 20.0), "cursor_pos": (0.0, 0.0), "full_transform": None,
          "full_transform_inv": None, "cam_pos_3d": (0.0, 0.0, -10.0), "cam_rot_3d": (0.0, 0.0, 0.0),
          "is_3d": False}
    a, b = kv.transform((-10, 0), ts), kv.transform((10, 5), ts)
    expected = np.zeros((40, 60, 3), np.uint8)
    cv2.line(expected, (int(a[0]), int(a[1])), (int(b[0]), int(b[1])), (0, 0, 255), 2)
    assert expected.any() and bytes.fromhex(report["canvas"]) == expected.tobytes()
    # At exit the directory is restored; the temporary folder is removed afterwards.
    assert json.loads((elsewhere / "exit.json").read_text()) == {"cwd": str(elsewhere), "tmp_exists": True}
    assert not os.path.exists(tmp_d)
    assert sorted(os.listdir(elsewhere)) == ["exit.json", "report.json"]


def test_runtime_error_is_printed_and_the_directory_restored(kv, tmp_path):
    write(tmp_path / "proj" / "boom.py",
          "import atexit, os, json\n"
          "here = os.getcwd()\n"
          "atexit.register(lambda: print(json.dumps([os.getcwd(), os.path.isdir(here), here])))\n"
          "def level():\n"
          "    raise ValueError('bad level')\n"
          "level()\n")
    out = kv.compile_project(str(tmp_path / "proj" / "boom.py"))
    r = run_packaged(out, tmp_path)
    assert r.returncode == 1
    lines = r.stdout.splitlines()
    assert lines[0] == "Runtime error:bad level"
    cwd, existed, tmp_d = json.loads(lines[1])
    assert cwd == str(tmp_path) and existed and not os.path.exists(tmp_d)
    # the traceback on standard error, down to the failing line
    boom = os.path.join(tmp_d, "boom.py")
    assert r.stderr.startswith("Traceback (most recent call last):\n")
    assert f'File "{boom}", line 6, in <module>\n' in r.stderr
    assert r.stderr.endswith(f'File "{boom}", line 5, in level\n'
                             "    raise ValueError('bad level')\n"
                             "ValueError: bad level\n")


# Main scripts under names that cannot be module names, or that would be code if
# pasted into the script, run as `python <name>` runs them.
GUARDED = "import os\nif __name__ == '__main__':\n    print('ran', repr(os.path.basename(__file__)))\n"


@pytest.mark.parametrize("name", [
    "game.py", "game", "my.game.py", "happy.pyramid.py", 'say "hi".py', "back\\slash.py", "two\nlines.py",
    "it's.py", 'os").system("echo injected") or __import__("os.py', "données.py",
])
def test_main_scripts_run_as_main_whatever_their_name(kv, tmp_path, name):
    write(tmp_path / "proj" / name, GUARDED)
    out = kv.compile_project(str(tmp_path / "proj" / name))
    r = run_packaged(out, tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, f"ran {name!r}\n", "")


@pytest.mark.parametrize("code, status", [("sys.exit(3)", 3), ("sys.exit(0)", 0), ("sys.exit('bye')", 1)])
def test_exit_status_of_the_program_is_kept(kv, tmp_path, code, status):
    write(tmp_path / "game.py", f"import sys\nprint('start', flush=True)\n{code}\n")
    out = kv.compile_project(str(tmp_path / "game.py"))
    r = run_packaged(out, tmp_path)
    assert r.returncode == status and r.stdout == "start\n" and "Runtime error" not in r.stderr


def test_extraction_error_exits_with_status_1(kv, tmp_path):
    write(tmp_path / "game.py", "print('never')\n")
    write(tmp_path / "data.txt", "payload")
    kv.compile_project(str(tmp_path / "game.py"))
    r = run_packaged(None, tmp_path, args=["-c", "import game_c; game_c.VFR[1][1] = 'AAAA'; game_c.run_compiled()"])
    assert r.returncode == 1
    assert r.stdout.startswith("Error extracting data.txt:") and r.stdout.count("\n") == 1


def test_imported_packaged_script_only_decodes(kv, tmp_path):
    write(tmp_path / "game.py", "raise SystemExit('ran')\n")
    kv.compile_project(str(tmp_path / "game.py"))
    r = run_packaged(None, tmp_path, args=["-c", "import game_c, tempfile; "
                                           "print([n for n, _ in game_c.VFR], callable(game_c.run_compiled))"])
    assert r.returncode == 0, r.stderr
    assert r.stdout == "['Kelvra.py', 'game.py'] True\n"


# The packaged program reports its temporary folder, then waits for a line.
WAITING = "import os, sys\nprint(os.getcwd(), flush=True)\nsys.stdin.readline()\n"


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_removes_the_temporary_folder(kv, tmp_path, sig):
    write(tmp_path / "proj" / "wait.py", WAITING)
    out = kv.compile_project(str(tmp_path / "proj" / "wait.py"))
    env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1", SDL_AUDIODRIVER="dummy")
    child = subprocess.Popen([sys.executable, out], cwd=tmp_path, env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        tmp_d = child.stdout.readline().strip()
        assert os.path.isfile(os.path.join(tmp_d, "wait.py"))
        child.send_signal(sig)  # SIGINT: Ctrl+C
        assert child.wait(timeout=20) == -sig  # the signal's own status
    finally:
        if child.poll() is None:
            child.kill()
        child.communicate()
    assert not os.path.exists(tmp_d)


RECORDING = """
from kelvracv import _kelvra_core as kv
kv.run(lambda arr, ts: None, ((16, 8), "rec"), (0, 0, 0), target_fps=100)
"""


def test_a_relative_recording_lands_where_the_program_was_started(kv, tmp_path):
    write(tmp_path / "proj" / "rec.py", RECORDING)
    out = kv.compile_project(str(tmp_path / "proj" / "rec.py"))
    (tmp_path / "here").mkdir()
    env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1", SDL_AUDIODRIVER="dummy", KELVRACV_HEADLESS="1",
               KELVRACV_FRAMES="2", KELVRACV_RECORD="shots/f_%d.png")
    r = subprocess.run([sys.executable, out], cwd=tmp_path / "here", env=env, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    shots = tmp_path / "here" / "shots"
    assert sorted(os.listdir(shots)) == ["f_0.png", "f_1.png"]
    assert r.stderr.splitlines()[-1] == f"kelvracv: recorded 2 frames of 16x8 to {shots / 'f_0.png'} ... {shots / 'f_1.png'}"
