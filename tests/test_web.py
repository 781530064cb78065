"""The web front-end: a program run with --web in headless Chromium (Debian's
chromium driven by Playwright), and the server's guards against clients that
do not belong or misbehave, talked to over real sockets with aiohttp."""

import asyncio
import base64
import errno
import json
import os
import queue
import re
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

aiohttp = pytest.importorskip("aiohttp")
from playwright.sync_api import sync_playwright  # noqa: E402

from conftest import limit, wait_for  # noqa: E402
from kelvracv.web import server as web  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
W, H = 640, 480
CELL = 20  # side of one drawn bit, canvas pixels

# The program under test draws what it reads from the input as rows of
# black and white cells, which the page reads back from its canvas:
# row 0 the frame number, row 1 held keys and buttons, row 2 the scroll so
# far (+128), rows 3 and 4 the pointer's world point (+2048), row 5 the last
# key press, row 6 whether PRESS_QUEUE is set, rows 7 to 10 how often
# Key.left and the left button went down and in how many frames they were
# held (each modulo 256).
PROGRAM = """
from kelvracv import _kelvra_core as kv

CELL = {cell}
state = {{"n": 0, "scroll": 0.0, "press": 0, "was": [False, False], "edges": [0, 0], "frames": [0, 0]}}

def bits(arr, row, value, width):
    for i in range(width):
        if (int(value) >> (width - 1 - i)) & 1:
            x, y = 10 + i * CELL, 10 + row * CELL * 3 // 2
            arr[y:y + CELL, x:x + CELL] = 255

def tick(arr, ts):
    state["n"] += 1
    left, right, middle, scroll = kv.get_input("mouse", "buttons")
    state["scroll"] += scroll
    x, y, _ = kv.get_input("mouse", "pos", ts)
    p = kv.get_input("press")
    if p is not None:
        state["press"] = 27 if p == "esc" else ord(p)
    held = [kv.get_input("held", "a"), kv.get_input("held", "Key.left"), left, right, middle]
    for i, now in enumerate((held[1], left)):
        state["edges"][i] += now and not state["was"][i]
        state["frames"][i] += bool(now)
        state["was"][i] = bool(now)
    bits(arr, 0, state["n"] % 65536, 16)
    bits(arr, 1, sum(int(bool(h)) << (4 - i) for i, h in enumerate(held)), 5)
    bits(arr, 2, state["scroll"] + 128, 8)
    bits(arr, 3, round(x) + 2048, 12)
    bits(arr, 4, round(y) + 2048, 12)
    bits(arr, 5, state["press"], 8)
    bits(arr, 6, kv.PRESS_QUEUE is not None, 1)
    for i in range(2):
        bits(arr, 7 + 2 * i, state["edges"][i] % 256, 8)
        bits(arr, 8 + 2 * i, state["frames"][i] % 256, 8)

kv.run(tick, (({w}, {h}), "web test"), kv.C["K"])
"""

# Ends its loop once two pages have watched a few frames, printing when.
ENDING = """
import sys, time
from kelvracv import _kelvra_core as kv

n = [0]

def tick(arr, ts):
    if len(kv.FRAME_SINK.viewers) == 2:
        n[0] += 1
    if n[0] == 30:
        print("loop ended at", time.time(), file=sys.stderr, flush=True)
        return False

kv.run(tick, ((320, 240), "ending"), kv.C["K"])
"""

READ_CELLS = """(rows) => {
  const c = document.getElementById("screen");
  const ctx = c.getContext("2d");
  return rows.map(([row, width]) => {
    let v = 0;
    for (let i = 0; i < width; i++) {
      const x = 10 + i * %d + %d / 2, y = 10 + row * %d * 3 / 2 + %d / 2;
      v = v * 2 + (ctx.getImageData(x, y, 1, 1).data[1] > 127 ? 1 : 0);
    }
    return v;
  });
}""" % ((CELL,) * 4)


class Program:
    """The test program run by the command line with --web on a free port
    (any more command-line arguments given; its descriptor limit lowered to
    `files` when given). Its standard error lines are kept in `lines`."""

    def __init__(self, path, port=0, *args, files=None, prefix=(), **env):
        env = {**os.environ, "SDL_AUDIODRIVER": "dummy", "PYGAME_HIDE_SUPPORT_PROMPT": "1", **env}

        def limit_files():
            if files is not None:
                import resource

                resource.setrlimit(resource.RLIMIT_NOFILE, (files, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

        self.proc = subprocess.Popen([*prefix, sys.executable, "-m", "kelvracv", "run", str(path), "--web", "--port", str(port),
                                      *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env,
                                     preexec_fn=limit_files)
        self.lines = []
        fresh = queue.Queue()
        threading.Thread(target=lambda: [(self.lines.append(ln), fresh.put(ln)) for ln in self.proc.stderr],
                         daemon=True).start()
        self.url = None
        end = time.monotonic() + 30
        while self.url is None and time.monotonic() < end:
            try:
                m = re.search(r"serving the frames at (http://\S+)", fresh.get(timeout=1))
            except queue.Empty:
                continue
            if m:
                self.url = m.group(1)
        assert self.url, "the program printed no URL: " + "".join(self.lines)

    def stop(self):
        self.proc.kill()  # SDL, under pygame, takes SIGTERM for itself
        self.proc.wait(10)


@pytest.fixture(scope="module")
def program_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("web") / "prog.py"
    path.write_text(PROGRAM.format(cell=CELL, w=W, h=H))
    return path


@pytest.fixture(scope="module")
def program(program_file):
    p = Program(program_file)
    yield p
    p.stop()


@pytest.fixture(scope="module")
def browser():
    # The sanitizers' runtime (make sanitize preloads it) is for the core, not
    # for Playwright's driver or the browser, which it slows to a crawl.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        with sync_playwright() as pw:
            b = pw.chromium.launch(executable_path=CHROMIUM, args=["--disable-gpu"])
            if preload is not None:
                os.environ["LD_PRELOAD"] = preload
                preload = None
            yield b
            b.close()
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload


@pytest.fixture(scope="module")
def page(browser, program):
    # Playwright's own evaluation is script the page's CSP would refuse.
    context = browser.new_context(viewport={"width": 800, "height": 620}, bypass_csp=True)
    pg = context.new_page()
    pg.goto(program.url)
    pg.wait_for_function("() => window.kelvracv.frames > 3", timeout=20000)
    yield pg
    context.close()


ROWS = {"n": (0, 16), "held": (1, 5), "scroll": (2, 8), "x": (3, 12), "y": (4, 12), "press": (5, 8), "queue": (6, 1),
        "key_edges": (7, 8), "key_frames": (8, 8), "button_edges": (9, 8), "button_frames": (10, 8)}


def read(pg):
    values = pg.evaluate(READ_CELLS, list(ROWS.values()))
    out = dict(zip(ROWS, values))
    out["scroll"] -= 128
    out["x"] -= 2048
    out["y"] -= 2048
    out["held"] = {name for i, name in enumerate(["a", "Key.left", "left", "right", "middle"])
                   if out["held"] >> (4 - i) & 1}
    return out


def until(pg, cond, timeout=10.0):
    """The page's reading once cond holds for it (fails with the last reading)."""
    seen = {}

    def check():
        seen.update(read(pg))
        return cond(seen)

    assert wait_for(check, timeout, 0.05), seen
    return seen


def canvas_to_page(pg, x, y):
    r = pg.evaluate("() => { const r = document.getElementById('screen').getBoundingClientRect();"
                    " return [r.left, r.top, r.width, r.height]; }")
    return r[0] + (x + 0.5) * r[2] / W, r[1] + (y + 0.5) * r[3] / H, r[2] / W


# ---- in the browser -----------------------------------------------------------------------


def test_frames_reach_the_page(page, program):
    first = until(page, lambda s: s["n"] > 0)["n"]
    later = until(page, lambda s: s["n"] > first + 10)
    assert later["queue"] == 1  # the page's key presses are what get_input("press") takes
    assert page.title() == "web test"
    assert program.url.startswith("http://127.0.0.1:")  # the loopback unless asked otherwise
    assert re.fullmatch(r"FPS:\d+\.\d\d", page.inner_text("#fps"))
    shape = page.evaluate("() => [document.getElementById('screen').width, document.getElementById('screen').height]")
    assert shape == [W, H]


def test_keys_reach_the_program_and_let_go_on_blur(page):
    page.keyboard.down("a")
    page.keyboard.down("ArrowLeft")
    until(page, lambda s: {"a", "Key.left"} <= s["held"])
    page.keyboard.up("ArrowLeft")
    until(page, lambda s: "Key.left" not in s["held"] and "a" in s["held"])
    page.evaluate("() => window.dispatchEvent(new Event('blur'))")  # the page loses the focus
    until(page, lambda s: not s["held"] & {"a", "Key.left"})
    page.keyboard.up("a")
    page.keyboard.press("Shift+Q")
    until(page, lambda s: s["press"] == ord("Q"))


@pytest.mark.parametrize("cx, cy", [(100, 400), (500, 60)])
def test_pointer_world_position(page, cx, cy):
    px, py, scale = canvas_to_page(page, cx, cy)
    page.mouse.move(px, py)
    # The world origin is the canvas centre: the pointer's canvas pixel less the shift.
    near = 1 + 1 / scale
    s = until(page, lambda s: abs(s["x"] - (cx - W / 2)) <= near and abs(s["y"] - (cy - H / 2)) <= near)
    assert (s["x"], s["y"]) != (0, 0)


def test_buttons_and_wheel(page):
    px, py, _ = canvas_to_page(page, 320, 300)
    page.mouse.move(px, py)
    for button in ("left", "right", "middle"):
        page.mouse.down(button=button)
        until(page, lambda s: s["held"] & {"left", "right", "middle"} == {button})
        page.mouse.up(button=button)
        until(page, lambda s: not s["held"] & {"left", "right", "middle"})
    before = read(page)["scroll"]
    page.mouse.wheel(0, -100)  # one step up
    page.mouse.wheel(0, -100)
    until(page, lambda s: s["scroll"] == before + 2)
    page.mouse.wheel(0, 100)
    until(page, lambda s: s["scroll"] == before + 1)


def test_taps_and_clicks_shorter_than_a_frame_are_each_seen_once(page):
    px, py, _ = canvas_to_page(page, 320, 300)
    page.mouse.move(px, py)
    before = until(page, lambda s: not s["held"] & {"Key.left", "left"})
    # How long the browser itself held each one: on a busy machine a few
    # "instant" presses last longer than a frame there, and are then held longer.
    page.evaluate("""() => { window.held = {key: [], button: []}; const t = {};
      for (const [down, up, kind] of [["keydown", "keyup", "key"], ["pointerdown", "pointerup", "button"]]) {
        addEventListener(down, () => t[kind] = performance.now(), true);
        addEventListener(up, () => held[kind].push(performance.now() - t[kind]), true); } }""")
    for _ in range(20):
        page.keyboard.press("ArrowLeft")  # down and up at once
        page.mouse.click(px, py)
        page.wait_for_timeout(80)
    counts = ("key_edges", "key_frames", "button_edges", "button_frames")
    seen = lambda s: [(s[c] - before[c]) % 256 for c in counts]  # noqa: E731
    s = until(page, lambda s: min(seen(s)) >= 20)
    page.wait_for_timeout(200)
    assert seen(read(page)) == seen(s)
    # A press that lasts d ms (5 ms more for the way to the program) can be seen by 1 + (d + 5) // period frames.
    period = 1000 / 61.5
    most = {k: sum(1 + int((ms + 5) // period) for ms in v) for k, v in page.evaluate("() => window.held").items()}
    key_edges, key_frames, button_edges, button_frames = seen(s)
    assert key_edges == button_edges == 20  # none lost
    assert 20 <= key_frames <= most["key"] and 20 <= button_frames <= most["button"], (seen(s), most)


def test_the_page_in_a_frame_of_another_page(browser, program):
    # As a notebook shows it: IPython.display.IFrame(url, ...) is an <iframe> in a page of another origin.
    context = browser.new_context(bypass_csp=True)
    try:
        outer = context.new_page()
        outer.set_content(f'<iframe src="{program.url}" width="660" height="540"></iframe>')
        inner = outer.query_selector("iframe").content_frame()
        inner.wait_for_function("() => window.kelvracv.frames > 3", timeout=20000)
        assert inner.evaluate("() => window.kelvracv.last.title") == "web test"
    finally:
        context.close()


def test_several_viewers_closing_and_reconnecting(browser, page, program, program_file):
    other = browser.new_context(bypass_csp=True).new_page()
    other.goto(program.url)
    other.wait_for_function("() => window.kelvracv.frames > 3", timeout=20000)
    other.context.close()
    n = read(page)["n"]
    until(page, lambda s: s["n"] > n + 5)  # the program goes on
    # The program ends; one started again on the same port is found by the page itself.
    port = int(re.search(r":(\d+)/", program.url).group(1))
    program.stop()
    page.wait_for_function("() => !window.kelvracv.connected", timeout=10000)
    again = Program(program_file, port)
    try:
        page.wait_for_function("() => window.kelvracv.connected", timeout=15000)
        until(page, lambda s: 0 < s["n"] < n)  # frames of the new run
    finally:
        again.stop()


def test_a_fixed_token_survives_a_restart_and_a_new_one_stops_the_page(browser, program_file):
    token = "fixed-Token_0123456789.~"
    first = Program(program_file, 0, "--token", token)
    port = int(re.search(r":(\d+)/", first.url).group(1))
    assert first.url == f"http://127.0.0.1:{port}/?token={token}"
    pg = browser.new_context(bypass_csp=True).new_page()
    try:
        pg.goto(first.url)
        pg.wait_for_function("() => window.kelvracv.frames > 3", timeout=20000)
        first.stop()
        pg.wait_for_function("() => !window.kelvracv.connected", timeout=10000)
        again = Program(program_file, port, "--token", token)
        try:
            pg.wait_for_function("() => window.kelvracv.connected", timeout=15000)
        finally:
            again.stop()
        # Started again without --token on every address: a new random token.
        third = Program(program_file, port, "--host", "0.0.0.0")
        try:
            assert third.url.startswith(f"http://127.0.0.1:{port}/?token=") and token not in third.url
            ip = outside_address()
            if ip:
                other = f"from other machines: http://{ip}:{port}/?token="
                assert wait_for(lambda: any(other in ln for ln in third.lines), 5), third.lines
            pg.wait_for_function("() => window.kelvracv.refused", timeout=15000)
            assert "open the URL it printed" in pg.inner_text("#status")
            pg.wait_for_timeout(1500)
            assert not pg.evaluate("() => window.kelvracv.connected")  # no more attempts
        finally:
            third.stop()
    finally:
        pg.context.close()


@pytest.mark.parametrize("bad, message", [("short", "must be at least 16 characters long, got 5"),
                                          ("has blanks in the middle", "may hold only letters, digits and - _ . ~")])
def test_a_token_too_short_or_not_url_safe_is_refused(tmp_path, bad, message):
    r = subprocess.run([sys.executable, "-m", "kelvracv", "run", str(tmp_path / "none.py"), "--web", "--token", bad],
                       capture_output=True, text=True)
    assert r.returncode == 2 and r.stderr.count("\n") == 1 and f"the token {message}" in r.stderr, r.stderr
    with pytest.raises(ValueError, match=re.escape(f"KELVRACV_WEB_TOKEN {message}")):
        web.WebServer(None, token=bad)


def test_the_program_ends_at_once_with_pages_open(browser, tmp_path):
    path = tmp_path / "ending.py"
    path.write_text(ENDING)
    # The time the process ended, taken by a shell around it: a thread of this
    # process taking it could itself wait for the interpreter lock.
    p = Program(path, prefix=["sh", "-c", '"$@"; s=$?; echo "exited at $(date +%s.%N)" >&2; exit $s', "sh"])
    pages = [browser.new_context(bypass_csp=True).new_page() for _ in range(2)]
    try:
        for pg in pages:
            pg.goto(p.url)
        assert p.proc.wait(30) == 0
        assert wait_for(lambda: any("exited at" in ln for ln in p.lines), 5)
        text = "".join(p.lines)
        ended = float(re.search(r"exited at ([\d.]+)", text).group(1))
        loop_end = float(re.search(r"loop ended at ([\d.]+)", text).group(1))
        # a server waiting out aiohttp's own close and shutdown timeouts would take 10 s or more
        assert p.proc.returncode == 0 and ended - loop_end <= limit(1.5), ended - loop_end
        pages[0].wait_for_function("() => !window.kelvracv.connected", timeout=5000)
    finally:
        for pg in pages:
            pg.context.close()


def test_idle_connections_lock_no_viewer_out(browser, program_file):
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 2500:
        pytest.skip("needs 2,500 descriptors for the idle connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 2500), hard))
    p = Program(program_file, files=1024)  # fewer descriptors than connections come
    idle = []
    try:
        port = int(re.search(r":(\d+)/", p.url).group(1))
        for i in range(2000):
            c = socket.create_connection(("127.0.0.1", port), timeout=10)
            if i % 2:
                c.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")  # half a request
            idle.append(c)
        pg = browser.new_context(bypass_csp=True).new_page()
        try:
            pg.goto(p.url)
            pg.wait_for_function("() => window.kelvracv.frames > 3", timeout=20000)
            n = read(pg)["n"]
            until(pg, lambda s: s["n"] > n + 10)  # it plays
        finally:
            pg.context.close()

        def dropped(c):
            c.setblocking(False)
            try:
                return c.recv(4096) == b""
            except BlockingIOError:
                return False
            except OSError:
                return True

        assert wait_for(lambda: all(dropped(c) for c in idle), web.IDLE_TIMEOUT + 5, 0.5)
        # Nothing printed, or the one line of a server short of descriptors for a moment.
        others = [ln for ln in p.lines if "serving the frames" not in ln]
        assert others in ([], ["kelvracv web: cannot take new connections for now (too many open files); retrying\n"])
    finally:
        for c in idle:
            c.close()
        p.stop()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_a_repeating_server_error_is_printed_once(capsys):
    report = web.QuietErrors()
    context = {"message": "socket.accept() out of system resource", "exception": OSError(errno.EMFILE, "x")}
    for _ in range(1000):  # as asyncio reports it for every connection it could not take
        report(None, context)
    assert capsys.readouterr().err == ("kelvracv web: cannot take new connections for now (too many open files); "
                                       "retrying\n")


# A loop that reports its frame count and clock every 10 frames.
PACED = """
import sys, time
from kelvracv import _kelvra_core as kv

n = [0]

def tick(arr, ts):
    n[0] += 1
    if n[0] % 10 == 0:
        print("frame", n[0], time.time(), file=sys.stderr, flush=True)

kv.run(tick, ((640, 480), "paced"), kv.C["K"])
"""


def raw_websocket(port):
    """A WebSocket opened by hand, for writing many messages at the cost of one send."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += s.recv(1)
    assert head.startswith(b"HTTP/1.1 101"), head
    return s


def text_frame(m):
    """One text message as a page sends it (masked, here with the key 0)."""
    data = json.dumps(m).encode()
    return bytes([0x81, 0x80 | len(data)]) + bytes(4) + data


def test_a_flood_of_valid_input_does_not_slow_the_loop(tmp_path):
    path = tmp_path / "paced.py"
    path.write_text(PACED)
    p = Program(path)
    port = int(re.search(r":(\d+)/", p.url).group(1))
    sock = raw_websocket(port)
    # 50,000 messages a second: pointer moves with key taps and clicks among them.
    messages = [{"t": "mv", "x": i % 640, "y": i % 480} for i in range(480)]
    messages[100:100] = [{"t": "kd", "k": "a", "p": "a"}, {"t": "ku", "k": "a"}]
    messages[300:300] = [{"t": "bt", "b": 0, "d": True}, {"t": "bt", "b": 0, "d": False}]
    batch = b"".join(map(text_frame, messages))
    stop = threading.Event()

    def flood():
        start, sent = time.monotonic(), 0
        while not stop.is_set():
            try:
                sock.sendall(batch)
            except OSError:
                return
            sent += len(messages)
            time.sleep(max(0.0, sent / 50000 - (time.monotonic() - start)))

    def rate(t0, t1):
        samples = [(int(m.group(1)), float(m.group(2))) for m in
                   (re.match(r"frame (\d+) ([\d.]+)", ln) for ln in list(p.lines)) if m and t0 <= float(m.group(2)) <= t1]
        return (samples[-1][0] - samples[0][0]) / (samples[-1][1] - samples[0][1])

    try:
        time.sleep(limit(3))
        quiet = (time.time() - 2, time.time())
        flooding = threading.Thread(target=flood)
        flooding.start()
        time.sleep(0.5)
        t0 = time.time()
        time.sleep(limit(3))
        loud = (t0, time.time())
        stop.set()
        sock.shutdown(socket.SHUT_RDWR)
        flooding.join(10)
        base, under = rate(*quiet), rate(*loud)
        assert under >= 0.93 * base, (base, under)
    finally:
        sock.close()
        p.stop()


# ---- the server's guards ---------------------------------------------------------------------


@pytest.fixture
def serving(kv):
    """Starts WebServer(kv, host, port 0) on demand; stops them after the test."""
    started = []

    def start(host="127.0.0.1", **options):
        started.append(web.WebServer(kv, host, 0, **options).start())
        return started[-1]

    yield start
    for s in started:
        s.stop()


def arun(coro):
    """Runs a coroutine to its end on a thread of its own (Playwright's sync
    API keeps an event loop on this one)."""
    out = []
    t = threading.Thread(target=lambda: out.append(asyncio.run(coro)))
    t.start()
    t.join(60)
    assert out, "the client did not finish"
    return out[0]


def fetch(url, **headers):
    async def go():
        async with aiohttp.ClientSession() as session:
            async with session.get(url, headers=headers, allow_redirects=False) as r:
                return r.status, await r.read()
    return arun(go())


def handshake(url, **headers):
    """The status a WebSocket handshake gets (101 when accepted)."""
    async def go():
        async with aiohttp.ClientSession() as session:
            try:
                async with session.ws_connect(url, headers=headers):
                    return 101
            except aiohttp.WSServerHandshakeError as e:
                return e.status
    return arun(go())


def outside_address():
    """An address of this machine other than the loopback, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("192.0.2.1", 9))  # no packet is sent
            ip = s.getsockname()[0]
        except OSError:
            return None
    return None if ip.startswith("127.") else ip


@pytest.mark.parametrize("text, expected", [
    ("8000", ("127.0.0.1", 8000)), (" 0.0.0.0:9 ", ("0.0.0.0", 9)), ("localhost:0", ("localhost", 0)),
    ("[::1]:8080", ("::1", 8080)), ("[::]:1", ("::", 1))])
def test_addresses(text, expected):
    assert web.parse_address(text) == expected


@pytest.mark.parametrize("text", ["", "x", "80000", "host:", ":80", "a:b:80", "::1:80", "8000 9"])
def test_bad_addresses(text):
    with pytest.raises(ValueError, match=r"KELVRACV_WEB must be \[HOST:\]PORT"):
        web.parse_address(text)


def test_loopback_only_by_default(serving):
    s = serving()
    assert s.token is None and s.addresses and all(web.is_loopback(a[0]) for a in s.addresses)
    base = f"http://127.0.0.1:{s.port}/"
    assert fetch(base)[0] == 200
    assert fetch(base + "app.js")[0] == 200
    # Another site's name pointed at 127.0.0.1 is not answered.
    assert fetch(base, Host=f"evil.example:{s.port}")[0] == 403
    assert handshake(base + "ws", Origin=f"http://evil.example:{s.port}") == 403
    ip = outside_address()
    if ip:
        with pytest.raises(OSError):
            socket.create_connection((ip, s.port), timeout=2).close()


def test_token_required_on_another_address(serving):
    s = serving("0.0.0.0")
    assert s.token and f"?token={s.token}" in s.url
    base = f"http://127.0.0.1:{s.port}/"
    good = f"?token={s.token}"
    assert fetch(base)[0] == 403
    wrong = s.token[:-1] + ("x" if s.token[-1] != "x" else "y")
    assert fetch(base + "?token=" + wrong)[0] == 403
    status, body = fetch(base + good)
    assert status == 200 and b"app.js" in body
    assert handshake(base + "ws") == 403
    assert handshake(base + "ws" + good, Origin="http://evil.example") == 403
    assert handshake(base + "ws" + good, Origin=f"http://127.0.0.1:{s.port}") == 101
    # Nothing but the page's own files.
    for path in ("static/app.js", "server.py", "../server.py", "%2e%2e/server.py", "static/index.html", "ws/x"):
        assert fetch(base + path + good)[0] == 404, path


def test_malformed_and_oversized_messages_are_ignored(kv, serving, monkeypatch):
    monkeypatch.setattr(kv, "KEYS", {})
    monkeypatch.setattr(kv, "MOUSE_SCR_POS", (0, 0))
    monkeypatch.setattr(kv, "MOUSE_STATE", {"world_pos": (0.0, 0.0), "buttons": [False] * 3, "scroll": 0.0})
    s = serving()
    url = f"http://127.0.0.1:{s.port}/ws"
    junk = ["", "{", "[1, 2]", "null", '"kd"', '{"t": 5}', '{"t": "nope"}', '{"t": "kd"}', '{"t": "kd", "k": "ab"}',
            '{"t": "kd", "k": "Key.bogus"}', '{"t": "kd", "k": 65}', '{"t": "kd", "k": "\\u0000"}',
            '{"t": "mv", "x": NaN, "y": 1}', '{"t": "mv", "x": 1e300, "y": 1}', '{"t": "mv", "x": "1", "y": 1}',
            '{"t": "mv", "x": true, "y": 1}', '{"t": "bt", "b": 3, "d": true}', '{"t": "bt", "b": 0, "d": 1}',
            '{"t": "bt", "b": true, "d": true}', '{"t": "wh", "dy": 1e9}', '{"t": "wh", "dy": 0.5}',
            '{"t": "kd", "k": 5, "p": "xy"}', '{"t": "ack", "n": [[[[[[[[]]]]]]]]}']

    async def go():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(url) as ws:
                for text in junk:
                    await ws.send_str(text)
                await ws.send_bytes(b"\x00" * 100)
                await ws.send_str('{"t": "mv", "x": 3, "y": 4}')  # a good one after the junk still counts
            async with session.ws_connect(url) as ws:
                await ws.send_str(json.dumps({"t": "kd", "k": "b", "pad": "x" * web.MAX_MESSAGE}))
                closed = await ws.receive(timeout=10)
            return closed

    closed = arun(go())
    assert closed.type in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED, aiohttp.WSMsgType.CLOSING)
    assert wait_for(lambda: kv.MOUSE_SCR_POS == (3.0, 4.0))
    assert kv.KEYS == {} and kv.MOUSE_STATE["buttons"] == [False] * 3 and kv.MOUSE_STATE["scroll"] == 0.0
    assert len(s.presses) == 0


def test_a_viewer_that_never_reads_holds_up_nobody(serving):
    s = serving()
    url = f"http://127.0.0.1:{s.port}/ws"
    frame = np.random.default_rng(1).integers(0, 256, (600, 800, 3), np.uint8)

    async def go():
        async with aiohttp.ClientSession() as session:
            stuck = await session.ws_connect(url)  # never reads nor acknowledges
            good = await session.ws_connect(url)
            assert wait_for(lambda: len(s.viewers) == 2, 5)
            for i in range(100):  # the frame loop's calls: each returns at once
                frame[0, 0] = i
                assert s(frame, "w") is None
                await asyncio.sleep(0)
            got = []
            for _ in range(3):
                msg = await good.receive(timeout=10)
                got.append(msg.data)
                await good.send_str('{"t": "ack"}')
                s(frame, "w")
            await stuck.close()
            return got

    got = arun(go())
    n = int.from_bytes(got[-1][:4], "big")
    head = json.loads(got[-1][4:4 + n])
    assert head["w"] == 800 and head["h"] == 600 and head["type"] == "image/jpeg"
    assert len({json.loads(g[4:4 + int.from_bytes(g[:4], "big")])["n"] for g in got}) == 3


def test_environment_switch(tmp_path):
    from conftest import run_python

    code = """
        from kelvracv import _kelvra_core as kv
        seen = []
        kv.run(lambda arr, ts: seen.append(kv.FRAME_SINK is not None), ((64, 48), "env"), kv.C["K"])
        print(kv.keyboard, seen, type(kv.PRESS_QUEUE).__name__)
    """
    r = run_python(code, KELVRACV_WEB=" 127.0.0.1:0 ", KELVRACV_FRAMES="3", KELVRACV_RECORD=str(tmp_path / "f_%d.png"))
    assert r.returncode == 0, r.stderr
    assert "None [True, True, True] deque" in r.stdout  # no window, no listeners; every frame handed on
    assert re.search(r"^kelvracv web: serving the frames at http://127\.0\.0\.1:\d+/$", r.stderr, re.M)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f_0.png", "f_1.png", "f_2.png"]
    r = run_python(code, KELVRACV_WEB="127.0.0.1:port")
    assert r.returncode == 1 and "ValueError: KELVRACV_WEB must be [HOST:]PORT" in r.stderr


def test_lossless_frames_are_exact(serving):
    import cv2

    s = serving(lossless=True)
    frame = np.random.default_rng(2).integers(0, 256, (120, 160, 3), np.uint8)

    async def go():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(f"http://127.0.0.1:{s.port}/ws") as ws:
                assert wait_for(lambda: s.viewers, 5)
                s(frame, "exact")
                return (await ws.receive(timeout=10)).data

    data = arun(go())
    n = int.from_bytes(data[:4], "big")
    head = json.loads(data[4:4 + n])
    assert head["type"] == "image/png" and head["title"] == "exact"
    shown = cv2.imdecode(np.frombuffer(data[4 + n:], np.uint8), cv2.IMREAD_COLOR)
    assert np.array_equal(shown, frame)


def test_web_options_without_web(tmp_path):
    r = subprocess.run([sys.executable, "-m", "kelvracv", "run", str(tmp_path / "none.py"), "--port", "0"],
                       capture_output=True, text=True)
    assert r.returncode == 2 and r.stderr == "kelvracv run: --host, --port, --lossless and --token go with --web\n"


def test_press_queue_feeds_get_input_press(kv, monkeypatch):
    import collections

    monkeypatch.setattr(kv, "PRESS_QUEUE", collections.deque(["a", "esc", "\r"]))
    assert [kv.get_input("press") for _ in range(4)] == ["a", "esc", "\r", None]
