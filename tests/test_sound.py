"""Sound playback and the master-volume monitor.

Real WAV files (written with `wave`) play through pygame's mixer on SDL's
dummy driver; the disk driver records what really reaches the output.
Tests that stop the monitor or watch the import run in a subprocess.
"""

import contextlib
import json
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import types
import wave

import pytest

from conftest import limit, run_python, wait_for

RATE = 44100


# ---- helpers -----------------------------------------------------------------


def write_square(path, parts):
    """Mono 16-bit WAV: for each (seconds, amplitude) a 441 Hz square wave."""
    frames = bytearray()
    for seconds, amp in parts:
        for i in range(int(seconds * RATE)):
            frames += struct.pack("<h", amp if i % 100 < 50 else -amp)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


_MISSING = object()


@contextlib.contextmanager
def bound(kv, name, value):
    """Binds a module global for the duration of the block."""
    old = kv.__dict__.get(name, _MISSING)
    setattr(kv, name, value)
    try:
        yield value
    finally:
        if old is _MISSING:
            delattr(kv, name)
        else:
            setattr(kv, name, old)


@pytest.fixture
def tone(kv, tmp_path):
    """Loads a square-wave WAV of the given length under a name unique to the test."""

    def load(seconds):
        name = f"tone{seconds}-{tmp_path.name}"
        path = tmp_path / f"{name}.wav"
        write_square(path, [(seconds, 9000)])
        kv.ASSETS.load_sound(name, str(path))
        assert kv.ASSETS.get_snd(name) is not None
        return name

    return load


@pytest.fixture
def volume(kv):
    """Restores the master volume after the test."""
    yield kv.GLOBAL_VOLUME
    kv.GLOBAL_VOLUME[0] = 1.0


class FakeChannel:
    def __init__(self):
        self.volumes = []

    def set_volume(self, v):
        self.volumes.append(v)


class FakeSound:
    """The sound protocol: get_length() and play(start=...) -> channel."""

    def __init__(self, length):
        self.length = length
        self.plays = []
        self.channel = FakeChannel()

    def get_length(self):
        return self.length

    def play(self, **kw):
        self.plays.append(kw)
        return self.channel


class RecordingTime:
    """Stands for the time module: records the main thread's sleeps without
    waiting; other threads (the monitor) are recorded and really sleep."""

    def __init__(self):
        self.main = threading.get_ident()
        self.sleeps = []
        self.others = []

    def sleep(self, s):
        if threading.get_ident() == self.main:
            self.sleeps.append(s)
        else:
            self.others.append((threading.get_ident(), s))
            time.sleep(s)

    def __getattr__(self, name):
        return getattr(time, name)


def monitor_threads(kv):
    return [t for t in threading.enumerate() if getattr(t, "_target", None) is kv._volume_monitor]


# ---- surface -------------------------------------------------------------------


@pytest.mark.parametrize("call, message", [
    (lambda kv: kv.play_sound(1), "Argument 'asset_name' has incorrect type (expected str, got int)"),
    (lambda kv: kv.start_sound(None), "Argument 'asset_name' has incorrect type (expected str, got NoneType)"),
    (lambda kv: kv.play_sound(type("S", (str,), {})("a")),
     "Argument 'asset_name' has incorrect type (expected str, got S)"),
    (lambda kv: kv.play_sound("a", "1"), "must be real number, not str"),
    (lambda kv: kv._play_sound_logic(None, b"f", 0.0, "p"),
     "Argument 'filename' has incorrect type (expected str, got bytes)"),
    (lambda kv: kv._play_sound_logic(None, "f", 0.0, 1),
     "Argument 'prefix' has incorrect type (expected str, got int)"),
    (lambda kv: kv._play_sound_logic(None, "f", None, 1), "must be real number, not NoneType"),
    (lambda kv: kv._play_sound_logic(None, "f", 0.0),
     "_play_sound_logic() takes exactly 4 positional arguments (3 given)"),
    (lambda kv: kv._volume_monitor(1), "_volume_monitor() takes exactly 0 positional arguments (1 given)"),
    (lambda kv: kv.start_sound(), "start_sound() takes at least 1 positional argument (0 given)"),
])
def test_argument_errors(kv, capsys, call, message):
    with pytest.raises(TypeError) as e:
        call(kv)
    assert str(e.value) == message
    assert capsys.readouterr().out == ""


# ---- the playback routine with the sound protocol ------------------------------------


@pytest.mark.parametrize("length, start", [(2.0, 0.5), (2.0, 3.0), (2.0, 2.0), (1, 0.0), (0.3, 0.1), (2.0, -1.0)])
def test_logic_plays_sets_raw_volume_and_sleeps_the_rest(kv, capsys, volume, length, start):
    sound = FakeSound(length)
    clock = RecordingTime()
    volume[0] = 1.7
    with bound(kv, "time", clock):
        assert kv._play_sound_logic(sound, "boom.wav", start, "[P]") is True
    assert sound.plays == [{"start": start}] and type(sound.plays[0]["start"]) is float
    assert sound.channel.volumes == [1.7]  # raw, the monitor clamps later
    expected = max(0, length - start) + 0.1
    assert clock.sleeps == [expected] and type(clock.sleeps[0]) is type(expected)
    assert capsys.readouterr().out == (
        f"[P] Playing 'boom.wav' starting at {start:.2f} seconds...\n[P] Playback finished.\n")


@pytest.mark.parametrize("start, shown", [(1.5, "1.50"), (1.005, "1.00"), (2.675, "2.67"), (-0.004, "-0.00"),
                                          (1e20, "100000000000000000000.00"), (True, "1.00"), (3, "3.00"),
                                          (float("nan"), "nan"), (float("inf"), "inf")])
def test_logic_start_time_shown_with_two_decimals(kv, capsys, start, shown):
    with bound(kv, "time", RecordingTime()) as clock:
        kv._play_sound_logic(FakeSound(1.0), "x", start, "p")
    assert capsys.readouterr().out.splitlines()[0] == f"p Playing 'x' starting at {shown} seconds..."
    assert clock.sleeps == [max(0, 1.0 - float(start)) + 0.1]


class Boom(Exception):
    pass


class Stop(BaseException):
    pass


def raising_play(exc):
    s = FakeSound(1.0)

    def play(**kw):
        raise exc

    s.play = play
    return s


@pytest.mark.parametrize("sound, text", [
    (raising_play(Boom("mixer gone")), "mixer gone"),
    (object(), "'object' object has no attribute 'get_length'"),
    (types.SimpleNamespace(get_length=lambda: 1.0, play=lambda **kw: None),
     "'NoneType' object has no attribute 'set_volume'"),
    (types.SimpleNamespace(get_length=lambda: "long", play=lambda **kw: FakeChannel()),
     "unsupported operand type(s) for -: 'str' and 'float'"),
])
def test_logic_failure_prints_error_line_and_returns_false(kv, capsys, sound, text):
    with bound(kv, "time", RecordingTime()) as clock:
        assert kv._play_sound_logic(sound, "s", 0.0, "[P]") is False
    assert clock.sleeps == []
    assert capsys.readouterr().out == f"[P] Playing 's' starting at 0.00 seconds...\n[P] Error playing sound:{text}\n"


def test_logic_lets_non_exceptions_through(kv, capsys):
    with pytest.raises(Stop):
        kv._play_sound_logic(raising_play(Stop()), "s", 0.0, "[P]")
    assert capsys.readouterr().out == "[P] Playing 's' starting at 0.00 seconds...\n"


# ---- play_sound / start_sound with stand-ins ------------------------------------------


class Recorder:
    def __init__(self, result=True):
        self.calls = []
        self.result = result

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


class RecordingThreading:
    def __init__(self):
        self.made = []

    def Thread(self, **kw):
        made = self.made

        class T:
            def start(self):
                made.append(("start", kw))

        made.append(("new", kw))
        return T()


def test_play_sound_calls_the_module_logic_with_the_cached_sound(kv, capsys):
    sound = FakeSound(1.0)
    logic = Recorder(result=False)
    stand_in = types.SimpleNamespace(get_snd={"fake": sound}.get)
    with bound(kv, "ASSETS", stand_in), bound(kv, "_play_sound_logic", logic):
        assert kv.play_sound("fake", 0.25) is None
        assert kv.play_sound("fake") is None
    assert logic.calls == [(sound, "fake", 0.25, "\n[Blocking]"), (sound, "fake", 0.0, "\n[Blocking]")]
    assert capsys.readouterr().out == ""


def test_start_sound_starts_one_daemon_thread_through_the_module_threading(kv, capsys):
    sound = FakeSound(1.0)
    logic = Recorder()
    rec = RecordingThreading()
    stand_in = types.SimpleNamespace(get_snd={"fake": sound}.get)
    with bound(kv, "ASSETS", stand_in), bound(kv, "_play_sound_logic", logic), bound(kv, "threading", rec):
        assert kv.start_sound("fake", 2) is None
    kw = {"target": logic, "args": (sound, "fake", 2.0, "[Non - Blocking Thread]"), "daemon": True}
    assert rec.made == [("new", kw), ("start", kw)]
    assert type(kw["args"][2]) is float
    assert capsys.readouterr().out == (
        "\n[Non - Blocking] Starting thread to play 'fake'...\n[Non - Blocking] Function returned immediately.\n")


@pytest.mark.parametrize("missing", [None, 0, "", []])
def test_unknown_sound_prints_the_line_and_starts_nothing(kv, capsys, missing):
    logic = Recorder()
    rec = RecordingThreading()
    stand_in = types.SimpleNamespace(get_snd=lambda name: missing)
    with bound(kv, "ASSETS", stand_in), bound(kv, "_play_sound_logic", logic), bound(kv, "threading", rec):
        kv.play_sound("ghost")
        kv.start_sound("ghost", 1.0)
    assert logic.calls == [] and rec.made == []
    assert capsys.readouterr().out == "Error:Cached sound 'ghost' not found.\n" * 2


# ---- real playback through pygame's mixer -----------------------------------------------


@pytest.mark.parametrize("start, wait", [(0.0, 0.6), (0.3, 0.3), (1.5, 0.1)])
def test_blocking_play_returns_after_the_rest_of_the_sound(kv, capsys, tone, start, wait):
    name = tone(0.5)
    t0 = time.perf_counter()
    assert kv.play_sound(name, start) is None
    elapsed = time.perf_counter() - t0
    assert wait - 0.005 <= elapsed < wait + limit(0.15)
    assert capsys.readouterr().out == (
        f"\n[Blocking] Playing '{name}' starting at {start:.2f} seconds...\n\n[Blocking] Playback finished.\n")


def test_non_blocking_play_returns_at_once_and_its_thread_reports(kv, capsys, tone):
    name = tone(0.3)
    before = threading.active_count()
    t0 = time.perf_counter()
    kv.start_sound(name)
    assert time.perf_counter() - t0 < limit(0.1)
    assert threading.active_count() == before + 1
    new = [t for t in threading.enumerate() if t.daemon and t.name.endswith("(_play_sound_logic)")]
    assert len(new) == 1
    new[0].join(2.0)
    assert not new[0].is_alive()
    out = capsys.readouterr().out
    start = f"\n[Non - Blocking] Starting thread to play '{name}'...\n"
    playing = f"[Non - Blocking Thread] Playing '{name}' starting at 0.00 seconds..."
    texts = ["[Non - Blocking] Function returned immediately.", playing, "[Non - Blocking Thread] Playback finished."]
    # print writes a line's text and its line feed separately: another thread's line may come in between.
    assert out.startswith(start)
    assert all(out.count(t) == 1 for t in texts)
    assert out.index(playing) < out.index(texts[2])
    rest = out[len(start):]
    for t in texts:
        rest = rest.replace(t, "")
    assert rest == "\n" * 3


# ---- the volume monitor (in this process, without stopping it) -------------------------------


class MixerProxy:
    """pygame.mixer as the monitor sees it, recording every volume it sets."""

    def __init__(self, with_mixer_volume):
        import pygame

        self.log = []
        self.Sound = pygame.mixer.Sound
        if with_mixer_volume:
            self.set_volume = lambda v: self.log.append(("mixer", v))

    def get_num_channels(self):
        return 3

    def Channel(self, i):
        return types.SimpleNamespace(set_volume=lambda v: self.log.append((i, v)))


def last_pass(log, size):
    """The last complete pass of the monitor in the log (`size` entries)."""
    k = max(i for i, e in enumerate(log) if e[0] == 2)
    return log[k + 1 - size:k + 1]


@pytest.mark.parametrize("value, applied", [(1.7, 1.0), (0.25, 0.25), (-0.3, 0.0), (float("nan"), 1.0),
                                            (0, 0.0), (1.0, 1.0), (float("inf"), 1.0), (float("-inf"), 0.0)])
@pytest.mark.parametrize("with_mixer_volume", [True, False])
def test_monitor_applies_the_clamped_volume_to_mixer_and_channels(kv, volume, value, applied,
                                                                  with_mixer_volume):
    proxy = MixerProxy(with_mixer_volume)
    assert len(monitor_threads(kv)) == 1
    with bound(kv, "pygame", types.SimpleNamespace(mixer=proxy)):
        volume[0] = value
        time.sleep(0.12)  # a pass that read the old value is over
        proxy.log.clear()
        assert wait_for(lambda: sum(1 for e in proxy.log if e[0] == 2) >= 2)
    volume[0] = 1.0
    expected = ([("mixer", applied)] if with_mixer_volume else []) + [(0, applied), (1, applied), (2, applied)]
    p = last_pass(proxy.log, len(expected))
    assert p == expected
    assert all(type(v) is float for _, v in p)
    assert monitor_threads(kv) and monitor_threads(kv)[0].is_alive()


def test_monitor_sleeps_a_tenth_through_the_module_time(kv):
    clock = RecordingTime()
    monitor = monitor_threads(kv)[0]
    with bound(kv, "time", clock):
        assert wait_for(lambda: len(clock.others) >= 2)
    assert (monitor.ident, 0.1) in clock.others
    assert monitor.is_alive()


def test_started_sound_gets_the_raw_volume_until_the_monitor_pass(kv, volume):
    sound = FakeSound(0.2)
    proxy = MixerProxy(True)
    with bound(kv, "pygame", types.SimpleNamespace(mixer=proxy)), \
            bound(kv, "ASSETS", types.SimpleNamespace(get_snd={"f": sound}.get)):
        volume[0] = 1.7
        kv.play_sound("f")
        time.sleep(0.12)
    volume[0] = 1.0
    assert sound.channel.volumes == [1.7]
    assert ("mixer", 1.0) in proxy.log and (0, 1.0) in proxy.log and 1.7 not in [v for _, v in proxy.log]


# ---- subprocesses: start-up, a stopped monitor, exit, real output ---------------------------------


def test_import_prints_only_the_start_up_line_and_starts_the_monitor():
    code = (
        "import threading\n"
        "before = set(threading.enumerate())\n"
        "from kelvracv import _kelvra_core as kv\n"
        "new = [t for t in threading.enumerate() if t not in before]\n"
        "import sys; print(repr((len(new), new[0].daemon, new[0].is_alive(), new[0]._target is kv._volume_monitor)),"
        " file=sys.stderr)\n")
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Volume monitor thread started.\n"
    assert r.stderr.strip().splitlines()[-1] == repr((1, True, True, True))


def test_bad_master_volume_is_skipped_and_the_monitor_goes_on(tmp_path):
    write_square(tmp_path / "t.wav", [(0.3, 9000)])
    code = (
        "import sys, threading, time\n"
        "from kelvracv import _kelvra_core as kv\n"
        "import pygame\n"
        "kv.ASSETS.load_sound('t', sys.argv[1])\n"
        "mon = [t for t in threading.enumerate() if getattr(t, '_target', None) is kv._volume_monitor][0]\n"
        "kv.GLOBAL_VOLUME[0] = 0.5; time.sleep(0.25)\n"  # no pass still applying the old value
        "ch = kv.ASSETS.get_snd('t').play(); ch.set_volume(kv.GLOBAL_VOLUME[0])\n"
        "kv.GLOBAL_VOLUME[0] = 'loud'\n"
        "mon.join(0.35)\n"
        "alive, during = mon.is_alive(), ch.get_volume()\n"
        "kv.GLOBAL_VOLUME[0] = 0.25; time.sleep(0.25)\n"
        "print(repr((alive, during, ch.get_volume(), mon.is_alive())), file=sys.stderr)\n")
    r = run_python(code, str(tmp_path / "t.wav"))
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Volume monitor thread started.\n"  # nothing printed for the failed passes
    # The bad passes changed nothing; the next good value reaches the playing channel.
    assert r.stderr.strip() == repr((True, 0.5, 0.25, True))


def test_exit_while_the_monitor_and_a_sound_thread_sleep(tmp_path):
    write_square(tmp_path / "t.wav", [(2.0, 9000)])
    code = (
        "import sys, time\n"
        "from kelvracv import _kelvra_core as kv\n"
        "import pygame\n"
        "kv.ASSETS.load_sound('t', sys.argv[1])\n"
        "kv.start_sound('t')\n"
        "time.sleep(0.05)\n")
    for _ in range(2):
        r = run_python(code, str(tmp_path / "t.wav"))
        assert r.returncode == 0 and r.stderr == ""
        assert "[Non - Blocking Thread] Playing 't' starting at 0.00 seconds..." in r.stdout
        assert "Playback finished." not in r.stdout


def test_no_sound_device_falls_back_to_the_dummy_driver(tmp_path):
    write_square(tmp_path / "t.wav", [(0.2, 9000)])
    code = (
        "import os, sys\n"
        "from kelvracv import _kelvra_core as kv\n"
        "kv.ASSETS.load_sound('t', sys.argv[1])\n"
        "kv.play_sound('t')\n"
        "print(repr((kv.pygame.mixer.get_init(), os.environ['SDL_AUDIODRIVER'])))\n")
    r = run_python(code, str(tmp_path / "t.wav"), SDL_AUDIODRIVER="no_such_device")
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines() == [
        "kelvracv: no sound device (Audio target 'no_such_device' not available), sound is off"]
    out = r.stdout.splitlines()
    assert out[0] == "Volume monitor thread started." and out[-2] == "[Blocking] Playback finished."
    assert out[-1] == repr(((44100, -16, 2), "dummy"))
    # where the device opens, nothing is said and the driver is the one asked for
    r = run_python(code, str(tmp_path / "t.wav"), SDL_AUDIODRIVER="dummy")
    assert (r.returncode, r.stderr) == (0, "")


# A stand-in pygame whose mixer writes like ALSA and SDL do to the C library's
# standard error, and fails to open the device the first time when asked to.
NOISY_MIXER = """
import os, sys, types
class error(Exception):
    pass
opened = []
def init(*args):
    opened.append(args)
    os.write(2, b"ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM default\\nsomething else\\n")
    if len(opened) == 1 and sys.argv[1] == "fail":
        raise error("ALSA: Couldn't open audio device: No such file or directory")
sys.modules["pygame"] = types.SimpleNamespace(mixer=types.SimpleNamespace(init=init), error=error)
from kelvracv import _kelvra_core as kv
print(len(opened), os.environ["SDL_AUDIODRIVER"])
"""


@pytest.mark.parametrize("device", ["fail", "open"])
def test_only_alsas_lines_of_a_failed_open_are_left_out(device):
    r = run_python(NOISY_MIXER, device, SDL_AUDIODRIVER="alsa")
    assert r.returncode == 0, r.stderr
    if device == "fail":  # what else came through is kept, and said after the mixer opened
        assert r.stdout.splitlines()[-1] == "2 dummy"
        assert r.stderr == ("something else\nsomething else\nkelvracv: no sound device (ALSA: Couldn't open audio "
                            "device: No such file or directory), sound is off\n")
    else:
        assert r.stdout.splitlines()[-1] == "1 alsa"
        assert r.stderr == "ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM default\nsomething else\n"


SIGNAL_CHILD = (
    "import os, sys\n"
    "from kelvracv import _kelvra_core as kv\n"
    "print(os.environ.get('SDL_NO_SIGNAL_HANDLERS'), flush=True)\n"
    "sys.stdin.readline()\n")


EXIT_DURING_PASS_CHILD = """
import time, pygame
from kelvracv import _kelvra_core as kv
class SlowChannel:  # a pass that takes a while with the lock let go, as pygame's mixer calls do
    def __init__(self, i):
        pass
    def set_volume(self, v):
        time.sleep(0.3)
        print("mixer open at the end of the pass:", pygame.mixer.get_init() is not None, flush=True)
pygame.mixer.Channel = SlowChannel
time.sleep(0.15)  # the monitor is inside its pass: the program ends now
"""


def test_the_program_ends_after_the_monitors_pass():
    # pygame's own exit handler closes the mixer; it used to do so while the
    # monitor was still inside a mixer call (a double free in SDL, seen under
    # AddressSanitizer in one run in ten of a program that ends right after import).
    env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1", SDL_AUDIODRIVER="dummy", KELVRACV_QUIET="1")
    r = subprocess.run([sys.executable, "-c", EXIT_DURING_PASS_CHILD], env=env, capture_output=True, text=True,
                       timeout=60)
    assert (r.returncode, r.stdout.splitlines()[:1]) == (0, ["mixer open at the end of the pass: True"]), r


@pytest.mark.parametrize("user", [None, "0"])
def test_sigterm_ends_the_program(user):
    env = dict(os.environ, PYGAME_HIDE_SUPPORT_PROMPT="1", SDL_AUDIODRIVER="dummy")
    env.pop("SDL_NO_SIGNAL_HANDLERS", None)
    if user is not None:
        env["SDL_NO_SIGNAL_HANDLERS"] = user  # the user's own choice is kept: SDL catches SIGTERM
    child = subprocess.Popen([sys.executable, "-c", SIGNAL_CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "Volume monitor thread started.\n"
        assert child.stdout.readline() == f"{user or 1}\n"
        child.send_signal(signal.SIGTERM)
        try:  # read only when the signal did not end the program
            child.stdin.write("go on\n")
            child.stdin.flush()
        except BrokenPipeError:  # it has already ended
            pass
        assert child.wait(timeout=20) == (-signal.SIGTERM if user is None else 0)
    finally:
        if child.poll() is None:
            child.kill()
        child.communicate()


FORK_CHILD = """
import os, time, warnings, pygame
from kelvracv import _kelvra_core as kv
with warnings.catch_warnings(record=True) as caught:  # a thread of the library's at the fork
    warnings.simplefilter("always")
    pid = os.fork()
if pid == 0:  # the child sets its own master volume; only a monitor of its own applies it
    kv.GLOBAL_VOLUME[0] = 0.25
    time.sleep(0.35)
    print("child", pygame.mixer.Channel(0).get_volume(), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
time.sleep(0.15)
print("parent", pygame.mixer.Channel(0).get_volume(), [str(w.message) for w in caught])
"""


def test_master_volume_applies_in_a_forked_child():
    """The fork finds no thread of the library's (the monitor and the idle
    mixer's audio thread stop around it) and both come back on each side."""
    r = run_python(FORK_CHILD, KELVRACV_HEADLESS="1")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-2:] == ["child 0.25", "parent 1.0 []"]


DISK_SCRIPT = """
import json, os, sys, time
out, step, long_ = sys.argv[1:4]
from kelvracv import _kelvra_core as kv
import pygame
kv.ASSETS.load_sound("step", step)
kv.ASSETS.load_sound("long", long_)
marks = {}
size = lambda: os.path.getsize(out)
def phase(name, volume, start=0.0):
    kv.GLOBAL_VOLUME[0] = volume
    time.sleep(0.15)
    a = size(); kv.play_sound("step", start); marks[name] = (a, size())
phase("zero", 0.0); phase("full", 1.0); phase("half", 0.5); phase("over", 1.7); phase("offset", 1.0, 0.12)
kv.GLOBAL_VOLUME[0] = 1.0; time.sleep(0.15)
a = size(); kv.start_sound("long"); time.sleep(0.15); kv.GLOBAL_VOLUME[0] = 0.0; time.sleep(0.5)
marks["cut"] = (a, size())
time.sleep(0.1)
print(json.dumps(marks), file=sys.stderr)
"""


def test_disk_output_follows_the_master_volume(tmp_path):
    np = pytest.importorskip("numpy")
    write_square(tmp_path / "step.wav", [(0.12, 3000), (0.12, 9000)])  # quiet half, then loud half
    write_square(tmp_path / "long.wav", [(0.6, 9000)])
    out = tmp_path / "out.raw"
    r = run_python(DISK_SCRIPT, str(out), str(tmp_path / "step.wav"), str(tmp_path / "long.wav"), SDL_AUDIODRIVER="disk",
                   SDL_DISKAUDIOFILE=str(out))
    assert r.returncode == 0, r.stderr
    marks = json.loads(r.stderr.strip().splitlines()[-1])
    pcm = np.fromfile(out, np.int16).reshape(-1, 2)  # 44100 Hz, 16-bit, stereo as the mixer opened it

    def levels(name):
        a, b = marks[name]
        # The writer may lag behind the file size read; the next sound starts 0.15 s later.
        seg = np.abs(pcm[a // 4:b // 4 + 6000].astype(np.int64))
        assert (seg[:, 0] == seg[:, 1]).all()
        nz = np.nonzero(seg[:, 0])[0]
        heard = (nz[-1] - nz[0] + 1) / RATE if len(nz) else 0.0
        return set(np.unique(seg[:, 0]).tolist()), heard

    assert levels("zero") == ({0}, 0.0)
    full, heard = levels("full")
    assert full == {0, 3000, 9000} and abs(heard - 0.24) < 0.01
    assert levels("half")[0] == {0, 1500, 4500}
    over, heard = levels("over")
    assert over == full and abs(heard - 0.24) < 0.01  # 1.7 plays as 1.0
    offset, heard = levels("offset")
    assert offset == {0, 9000} and abs(heard - 0.12) < 0.01  # started 0.12 s in: the quiet half is skipped
    # The monitor silences a sound already playing within a pass of the change.
    cut, heard = levels("cut")
    assert cut == {0, 9000} and 0.02 < heard < 0.45
