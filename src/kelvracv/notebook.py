"""A kelvracv program in a Jupyter notebook: its frames in the output cell.

    from kelvracv import notebook
    game = notebook.show("game.py")   # returns once the program's page answers
    game                              # shown as the page (or: display(game.iframe))
    print(game.output())              # what the program printed
    game.stop()

`show` runs the program as ``python -m kelvracv run PROGRAM --web`` in a
process of its own, in a session of its own, so interrupting the kernel does
not interrupt the program. What the program prints goes to the handle's log,
never into whichever cell runs next. Programs still running when the kernel
shuts down are stopped.

Package glue: the program itself runs on the native core, this module only
starts it, watches its output and makes the iframe.
"""

import atexit
import collections
import os
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

__all__ = ["Program", "show"]

# The web front-end's line with the page's address (kelvracv.web.server.serve).
URL_LINE = re.compile(r"kelvracv web: serving the frames at (http://\S+)")
LOG_LINES = 10_000  # the log keeps the program's last lines, so a chatty program cannot fill the memory
STOP_WAIT = 5.0  # seconds a program is given to end on SIGTERM before it is killed

_running = set()  # programs started and not yet stopped, for the kernel's exit


class Program:
    """A program `show` started: its page's `url`, the `iframe` that shows it,
    its output (`log`, `output()`), `running`, `returncode`, `stop()`.
    Displaying the handle itself in a cell shows the page too."""

    def __init__(self, args, *, cwd=None, env=None, width=820, height=660):
        self.args = list(args)
        self.width, self.height = width, height
        self.url = None
        self._lines = collections.deque(maxlen=LOG_LINES)
        self._lock = threading.Lock()
        self._announced = threading.Event()  # the URL line came, or the output ended
        self.process = subprocess.Popen(self.args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True, text=True, errors="replace", bufsize=1)
        _running.add(self)
        threading.Thread(target=self._read, name="kelvracv-notebook-log", daemon=True).start()

    # -- output ---------------------------------------------------------------------------------

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip("\n")
            with self._lock:
                self._lines.append(line)
            if self.url is None:
                m = URL_LINE.search(line)
                if m:
                    self.url = m.group(1)
                    self._announced.set()
        self.process.stdout.close()
        self._announced.set()

    @property
    def log(self):
        """The program's output so far (standard output and error), one str a line: the last 10 000 lines."""
        with self._lock:
            return list(self._lines)

    def output(self):
        """The log as one text."""
        return "".join(line + "\n" for line in self.log)

    # -- the page -------------------------------------------------------------------------------

    @property
    def iframe(self):
        """The page in an iframe: IPython's IFrame (or, without IPython, an
        object with the same HTML), for display() or as a cell's value."""
        try:
            from IPython.display import IFrame
        except ImportError:
            return _Html(self._iframe_html())
        return IFrame(self.url, width=self.width, height=self.height)

    def _iframe_html(self):
        return (f'<iframe width="{self.width}" height="{self.height}" src="{self.url}" '
                f'frameborder="0" allowfullscreen></iframe>')

    def _repr_html_(self):
        return self._iframe_html() if self.url else None

    def __repr__(self):
        state = "running" if self.running else f"ended ({self.returncode})"
        return f"<kelvracv program {state} at {self.url}>"

    def _wait_until_served(self, timeout):
        """Waits for the URL line, then for the page to answer."""
        end = time.monotonic() + timeout
        announced = self._announced.wait(timeout)
        if self.url is None:
            if not announced:
                raise TimeoutError(f"the program served no page within {timeout:g} s; its output:\n" + self._tail())
            try:
                self.process.wait(STOP_WAIT)
            except subprocess.TimeoutExpired:
                pass
            raise RuntimeError(f"the program ended (status {self.process.poll()}) before it served its page; "
                               "its output:\n" + self._tail())
        direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # never through a proxy
        while True:
            try:
                with direct.open(self.url, timeout=1) as reply:
                    if reply.status == 200:
                        return
            except (urllib.error.URLError, OSError):
                pass
            if self.process.poll() is not None:
                raise RuntimeError(f"the program ended (status {self.process.returncode}) while its page "
                                   "was asked for; its output:\n" + self._tail())
            if time.monotonic() > end:
                raise TimeoutError(f"the page at {self.url} did not answer within {timeout:g} s")
            time.sleep(0.05)

    def _tail(self, n=20):
        return "\n".join(self.log[-n:]) or "(nothing)"

    # -- life -----------------------------------------------------------------------------------

    @property
    def running(self):
        return self.process.poll() is None

    @property
    def returncode(self):
        """The program's exit status, None while it runs (negative: ended by that signal)."""
        return self.process.poll()

    def stop(self, timeout=STOP_WAIT):
        """Ends the program: SIGTERM to its session's process group, SIGKILL
        when it has not ended after `timeout` seconds. Returns its status."""
        _running.discard(self)
        if self.process.poll() is None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.process.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.process.wait(timeout)
                    break
                except subprocess.TimeoutExpired:
                    continue
        return self.process.wait()


class _Html:
    """HTML for notebook front-ends without IPython's display classes."""

    def __init__(self, html):
        self.html = html

    def _repr_html_(self):
        return self.html


def show(program, port=0, *, args=(), host="127.0.0.1", width=820, height=660, frames=None, record=None,
         lossless=False, cwd=None, env=None, timeout=60.0):
    """Runs `program` (a path, as `python -m kelvracv run` takes it) with the
    web front-end on `port` (0: any free port) in a process and session of its
    own, and returns its `Program` once the page answers. `args` are the
    program's own arguments; `frames`, `record` and `lossless` are the
    command line's --frames, --record and --lossless; `host` any other address
    serves the page to the network (with a token in the URL); `env` adds to the
    environment. RuntimeError when the program ends before it serves its page,
    TimeoutError when it serves none within `timeout` seconds: either way with
    the program's last lines, and the program stopped."""
    cmd = [sys.executable, "-m", "kelvracv", "run", os.fspath(program), "--web", "--host", host,
           "--port", str(int(port))]
    if frames is not None:
        cmd += ["--frames", str(int(frames))]
    if record is not None:
        cmd += ["--record", os.fspath(record)]
    if lossless:
        cmd.append("--lossless")
    cmd += ["--", *map(str, args)]
    child_env = {**os.environ, **(env or {}), "PYTHONUNBUFFERED": "1"}
    child_env.pop("KELVRACV_QUIET", None)  # the page's address is read from the program's output
    started = Program(cmd, cwd=cwd, env=child_env, width=width, height=height)
    try:
        started._wait_until_served(timeout)
    except BaseException:  # an error, or the kernel interrupted while waiting
        started.stop()
        raise
    return started


@atexit.register
def _stop_all():
    for program in list(_running):
        program.stop(timeout=1.0)
