"""Shared fixtures and helpers: the native module (imported once per process),
records, canvases and fresh interpreters."""

import os
import subprocess
import sys
import textwrap
import time

# Run settings a developer may have exported in the shell (a headless session,
# say) would change what every test sees: the tests that want one set it.
for _name in ("KELVRACV_HEADLESS", "KELVRACV_FRAMES", "KELVRACV_RECORD", "KELVRACV_RECORD_FPS"):
    os.environ.pop(_name, None)
os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

import numpy as np
import pytest
from hypothesis import settings

from reference import make_record  # noqa: F401  (shared by the test files)

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

# CI runs the same examples every time, so a result there can be reproduced;
# local runs keep exploring new ones.
settings.register_profile("ci", derandomize=True)
if os.environ.get("CI"):
    settings.load_profile("ci")


@pytest.fixture(scope="session")
def kv():
    from kelvracv import _kelvra_core

    return _kelvra_core


@pytest.fixture
def ts():
    return make_record()


def blank():
    """A black canvas of the record's size."""
    return np.zeros((400, 600, 3), np.uint8)


@pytest.fixture
def canvas():
    return blank()


# Wall-clock limits in the tests are multiplied by this factor, which slow
# builds set (`make sanitize`: the sanitizers make the core several times
# slower). Each limit is written as limit(seconds).
TIME_SCALE = float(os.environ.get("KELVRACV_TEST_TIME_SCALE", "").strip() or 1)


def limit(seconds):
    return seconds * TIME_SCALE


def wait_for(cond, timeout=2.0, step=0.01):
    """Polls cond until it holds (True) or the time is up (False)."""
    end = time.monotonic() + limit(timeout)
    while not cond():
        if time.monotonic() > end:
            return False
        time.sleep(step)
    return True


CAPPED_PRELUDE = """
import resource, sys, time
from kelvracv import _kelvra_core as kv
# From here the address space may grow by CAP bytes at most: a runaway
# allocation fails with MemoryError instead of taking the machine's memory.
_vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
if CAP:
    resource.setrlimit(resource.RLIMIT_AS, (_vm + CAP, resource.getrlimit(resource.RLIMIT_AS)[1]))
_rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
def peak_growth_mb():
    return (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - _rss0) / 1024
"""


def run_python(code, *args, timeout=60, **env):
    """Runs `code` (dedented) in a fresh interpreter, which initialises the module
    anew; `env` adds to the environment (PYTHONPATH, if any, already points at
    the build under test). Returns the CompletedProcess (text output)."""
    env = {**os.environ, "PYGAME_HIDE_SUPPORT_PROMPT": "1", "SDL_AUDIODRIVER": "dummy", **env}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def run_capped(code, *args, cap_mb=1024, timeout=60):
    """Runs `code` in a fresh interpreter that has imported the module as `kv`,
    with its memory capped at `cap_mb` above what the import took (None: no
    cap) and a time limit. `peak_growth_mb()` gives the peak resident growth
    since the import. Returns the CompletedProcess (text output)."""
    cap = "None" if cap_mb is None else str(cap_mb * 2**20)
    return run_python("CAP = " + cap + "\n" + CAPPED_PRELUDE + textwrap.dedent(code), *args, timeout=timeout)
