"""The web server: the page, its script and one WebSocket per viewer.

Threads:
- the program's (main) thread runs the frame loop, which calls the server as
  FRAME_SINK once per shown frame: it notes the time, copies the canvas when
  someone watches and hands the copy over (the newest frame only);
- the encoder thread turns the newest frame into JPEG (or PNG when lossless)
  with OpenCV, which lets go of the interpreter lock while it encodes;
- the server thread runs its own asyncio loop with aiohttp: it serves the
  page, sends each viewer the newest encoded frame once the viewer has shown
  the one before, and writes the page's keyboard and mouse into the module's
  input globals (KEYS, MOUSE_SCR_POS, MOUSE_STATE, PRESS_QUEUE, RUN), each a
  whole-value update under the interpreter lock, as the pynput listeners do.

A slow or hostile viewer only slows its own socket: nothing the loop does
waits for the network. The page's input goes through the core's listener
callbacks (and _key_event), so it takes the same per-frame path as the
desktop's: a tap shorter than a frame is seen by one tick. Each viewer's
input is read at most MAX_INPUT_PER_FRAME messages a frame; beyond that its
socket is left unread until the next frame, so a flood only backs up on its
own connection.

Connections: at most `connection_limit` (below the process's descriptor
limit) are held; one that has not completed a request within IDLE_TIMEOUT
seconds (or is idle that long between requests) is dropped, and at the limit
a new connection pushes out the oldest idle one, so idle connections never
lock a viewer out. The WebSockets of the pages are not idle connections.
"""

import asyncio
import atexit
import collections
import contextlib
import hmac
import ipaddress
import json
import math
import os
import re
import secrets
import socket
import struct
import sys
import threading
import time
from importlib import resources

DEFAULT_PORT = 8000
MAX_MESSAGE = 1024  # bytes in one message from a page
MAX_VIEWERS = 32
MAX_UNACKED = 2  # frames sent to a viewer that it has not shown yet
MAX_PRESSES = 256  # pending get_input("press") events
MAX_COORD = 1e7  # bound of a pointer coordinate, in canvas pixels
MAX_INPUT_PER_FRAME = 32  # messages read from one viewer per frame of the loop
INPUT_REFILL = 0.1  # seconds after which a viewer may go on when no frame came
MAX_CONNECTIONS = 4096  # connections held at once (lowered to fit the descriptor limit)
SPARE_DESCRIPTORS = 64  # left to the program (its files, fonts, recordings)
BACKLOG = 100  # connections the kernel queues; asyncio accepts up to this many at a time
IDLE_TIMEOUT = 5.0  # seconds a connection may go without a request in progress
CLOSE_TIMEOUT = 0.3  # seconds stop waits for the pages to answer a close
MIN_TOKEN = 16  # characters of a token given with --token / KELVRACV_WEB_TOKEN
TOKEN_CHARS = re.compile(r"[A-Za-z0-9._~-]+")  # what a URL's query carries as it is
JPEG_QUALITY = 85
PNG_COMPRESSION = 1

# Special keys by the text form pynput gives them (str(keyboard.Key.left) is
# "Key.left"); the aliases shift_l, ctrl_l, alt_l and cmd_l read as their
# first names, so the page sends those.
SPECIAL_KEYS = frozenset(
    "Key." + n for n in (
        "alt alt_r alt_gr backspace caps_lock cmd cmd_r ctrl ctrl_r delete down end enter esc home left "
        "page_down page_up right shift shift_r space tab up insert menu num_lock pause print_screen "
        "scroll_lock media_play_pause media_volume_mute media_volume_down media_volume_up media_previous "
        "media_next".split() + [f"f{i}" for i in range(1, 21)]))

# The page's files: URL path -> (file in static/, content type).
PAGE_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
}
CSP = ("default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' blob:; "
       "connect-src 'self'; base-uri 'none'; form-action 'none'")


# ---- addresses ---------------------------------------------------------------------------


def parse_address(text, default_host="127.0.0.1"):
    """[HOST:]PORT (blanks around it ignored; an IPv6 host in brackets) as (host, port)."""
    value = str(text).strip()
    m = re.fullmatch(r"(?:\[([0-9A-Fa-f:.]+)\]:|([^:\[\]\s]+):)?(\d{1,5})", value)
    if not m or int(m.group(3)) > 65535:
        raise ValueError(f"KELVRACV_WEB must be [HOST:]PORT, such as 8000 or 0.0.0.0:8000, got {text!r}")
    host = m.group(1) or m.group(2) or default_host
    return host, int(m.group(3))


def is_loopback(host):
    """Whether host names this machine's loopback only (127.0.0.0/8, ::1, localhost)."""
    name = host.strip("[]").lower()
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def url_host(host):
    return f"[{host}]" if ":" in host else host


def is_unspecified(host):
    """0.0.0.0 or ::, every address of this machine."""
    try:
        return ipaddress.ip_address(host.strip("[]")).is_unspecified
    except ValueError:
        return False


def host_addresses(family):
    """This machine's addresses of the family that other machines may reach
    (not loopback, not link-local): the one the default route leaves from and
    those the host's name resolves to."""
    found = []
    probe = "192.0.2.1" if family == socket.AF_INET else "2001:db8::1"
    with contextlib.suppress(OSError), socket.socket(family, socket.SOCK_DGRAM) as s:
        s.connect((probe, 9))  # a datagram socket sends nothing to connect
        found.append(s.getsockname()[0])
    with contextlib.suppress(OSError):
        for info in socket.getaddrinfo(socket.gethostname(), None, family, socket.SOCK_STREAM):
            found.append(info[4][0])
    out = []
    for a in found:
        ip = ipaddress.ip_address(a.split("%")[0])
        if not (ip.is_loopback or ip.is_link_local or ip.is_unspecified) and str(ip) not in out:
            out.append(str(ip))
    return out


def check_token(token, name="KELVRACV_WEB_TOKEN"):
    """A token given by the user: at least MIN_TOKEN characters that a URL
    carries as they are. ValueError (one line, the token not repeated) otherwise."""
    if len(token) < MIN_TOKEN:
        raise ValueError(f"{name} must be at least {MIN_TOKEN} characters long, got {len(token)}")
    if not TOKEN_CHARS.fullmatch(token):
        raise ValueError(f"{name} may hold only letters, digits and - _ . ~")
    return token


def connection_limit():
    """Connections the server may hold: MAX_CONNECTIONS, fewer when the
    descriptor limit would not leave SPARE_DESCRIPTORS beside them and the
    two batches of accepted connections (BACKLOG each) that asyncio may take
    before the guard sees the first of them."""
    try:
        import resource

        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    except (ImportError, OSError, ValueError):
        return MAX_CONNECTIONS
    if soft == resource.RLIM_INFINITY:
        return MAX_CONNECTIONS
    try:
        in_use = len(os.listdir("/proc/self/fd"))
    except OSError:
        in_use = 32
    return max(8, min(MAX_CONNECTIONS, soft - in_use - SPARE_DESCRIPTORS - 2 * BACKLOG))


# ---- connections -----------------------------------------------------------------------


class Connection:
    """One connection the guard holds; idle unless answering a request or a page's WebSocket."""

    __slots__ = ("transport", "busy", "socket", "deadline")

    def __init__(self, transport, deadline):
        self.transport = transport
        self.busy = False  # a request is being answered
        self.socket = False  # a page's WebSocket
        self.deadline = deadline


class Guard:
    """The connections of one server: admits, times out and pushes out (server thread)."""

    def __init__(self, limit):
        self.limit = limit
        self.conns = {}  # transport -> Connection, oldest first
        self.dropped = 0
        self._sweeper = None

    def idle(self, c):
        return not (c.busy or c.socket)

    def opened(self, transport):
        now = time.monotonic()
        if len(self.conns) >= self.limit:
            oldest = next((c for c in self.conns.values() if self.idle(c)), None)
            if oldest is None:
                transport.abort()
                self.dropped += 1
                return False
            self.drop(oldest)
        self.conns[transport] = Connection(transport, now + IDLE_TIMEOUT)
        if self._sweeper is None:
            self._sweeper = asyncio.get_running_loop().call_later(IDLE_TIMEOUT / 5, self.sweep)
        return True

    def closed(self, transport):
        self.conns.pop(transport, None)

    def drop(self, c):
        self.conns.pop(c.transport, None)
        self.dropped += 1
        c.transport.abort()

    def sweep(self):
        self._sweeper = None
        now = time.monotonic()
        for c in [c for c in self.conns.values() if self.idle(c) and c.deadline <= now]:
            self.drop(c)
        if self.conns:
            self._sweeper = asyncio.get_running_loop().call_later(IDLE_TIMEOUT / 5, self.sweep)

    def get(self, request):
        return self.conns.get(request.transport)


class GuardedProtocol(asyncio.Protocol):
    """aiohttp's protocol for one connection, admitted by the guard first."""

    __slots__ = ("inner", "guard", "transport")

    def __init__(self, inner, guard):
        self.inner, self.guard, self.transport = inner, guard, None

    def connection_made(self, transport):
        self.transport = transport
        if self.guard.opened(transport):
            self.inner.connection_made(transport)
        else:
            self.inner = None

    def connection_lost(self, exc):
        self.guard.closed(self.transport)
        if self.inner is not None:
            self.inner.connection_lost(exc)

    def data_received(self, data):
        if self.inner is not None:
            self.inner.data_received(data)

    def eof_received(self):
        return self.inner.eof_received() if self.inner is not None else None

    def pause_writing(self):
        if self.inner is not None:
            self.inner.pause_writing()

    def resume_writing(self):
        if self.inner is not None:
            self.inner.resume_writing()


def guarded_site(web):
    """A TCP site whose connections pass the guard (built on aiohttp's BaseSite)."""

    class GuardedSite(web.BaseSite):
        def __init__(self, runner, host, port, guard):
            super().__init__(runner, backlog=BACKLOG)
            self._host, self._port, self._guard = host, port, guard

        @property
        def name(self):
            return f"http://{url_host(self._host)}:{self._port}"

        async def start(self):
            await super().start()
            server, guard = self._runner.server, self._guard
            self._server = await asyncio.get_running_loop().create_server(
                lambda: GuardedProtocol(server(), guard), self._host, self._port, backlog=self._backlog,
                reuse_address=True)

    return GuardedSite


class QuietErrors:
    """The server loop's exception handler: a failure that repeats (accept
    out of descriptors, which asyncio reports for every connection it could
    not take) is printed once a minute at most, as one line."""

    EVERY = 60.0

    def __init__(self):
        self.last = {}

    def __call__(self, loop, context):
        message = context.get("message", "error")
        now = time.monotonic()
        if now - self.last.get(message, -self.EVERY) < self.EVERY:
            return
        self.last[message] = now
        exc = context.get("exception")
        if "accept" in message and isinstance(exc, OSError):
            line = f"kelvracv web: cannot take new connections for now ({os.strerror(exc.errno).lower()}); retrying"
        else:
            line = f"kelvracv web: {message}" + (f": {exc!r}" if exc is not None else "")
        print(line, file=sys.stderr, flush=True)


# ---- the server ----------------------------------------------------------------------------


class Viewer:
    """One connected page: what it holds down, its flow control."""

    def __init__(self, ws):
        self.ws = ws
        self.keys = set()
        self.buttons = set()
        self.unacked = 0
        self.sent = None
        self.wake = asyncio.Event()
        self.frame = -1  # the loop's frame its input budget is for
        self.since = 0.0  # when that budget began
        self.used = 0  # messages read in it


class WebServer:
    """Serves the frames handed to it (it is the FRAME_SINK) and feeds the
    module's input globals from the pages. `core` is the native module."""

    def __init__(self, core, host="127.0.0.1", port=DEFAULT_PORT, *, lossless=False, token=None):
        try:
            import aiohttp  # noqa: F401
        except ImportError:
            raise ImportError("the web front-end needs aiohttp (the package's web extra): "
                              "pip install 'aiohttp>=3.9,<4'") from None
        self.core = core
        self.host = host
        self.port = port
        self.lossless = bool(lossless)
        self.loopback = is_loopback(host)
        # Reachable from other machines: only with the secret from the printed
        # URL, new for each run unless the user fixed it (then also required
        # on the loopback).
        if token is not None:
            self.token = check_token(token)
        else:
            self.token = None if self.loopback else secrets.token_urlsafe(24)
        self.guard = Guard(connection_limit())
        self.addresses = []
        self.viewers = set()
        self.frames = 0
        self.presses = collections.deque(maxlen=MAX_PRESSES)
        self._stamps = collections.deque(maxlen=30)
        self._cond = threading.Condition()
        self._pending = None
        self._input_waiters = []  # futures of viewers waiting for the next frame to read more input
        self._closing = False
        self._latest = None
        self._loop = None
        self._runner = None
        self._encoder = None
        self._files = {}
        for path, (name, ctype) in PAGE_FILES.items():
            data = resources.files(__package__).joinpath("static", name).read_bytes()
            self._files[path] = (data, ctype)

    # -- life ---------------------------------------------------------------------------------

    def start(self):
        """Binds and starts serving; OSError when the address cannot be had."""
        started = threading.Event()
        failure = []

        def serve():
            loop = asyncio.new_event_loop()
            asyncio.set_event_loop(loop)
            loop.set_exception_handler(QuietErrors())
            self._loop = loop
            try:
                loop.run_until_complete(self._bind())
            except BaseException as e:  # noqa: BLE001 (handed to the starting thread)
                failure.append(e)
                started.set()
                loop.close()
                return
            started.set()
            loop.run_forever()

        threading.Thread(target=serve, name="kelvracv-web", daemon=True).start()
        started.wait()
        if failure:
            e = failure[0]
            if isinstance(e, OSError):
                reason = os.strerror(e.errno).lower() if e.errno else str(e)
                raise OSError(e.errno, f"kelvracv web: cannot listen on {url_host(self.host)}:{self.port}: "
                                       f"{reason}") from None
            raise e
        self._encoder = threading.Thread(target=self._encode_frames, name="kelvracv-web-encoder", daemon=True)
        self._encoder.start()
        # Before the interpreter ends: an encoder still inside OpenCV when the
        # process tears OpenCV down would crash it.
        atexit.register(self.stop)
        return self

    def stop(self):
        """Closes the pages' sockets and ends the threads, at once: the
        pages are told the program has gone (they then try to reconnect)."""
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        encoder = getattr(self, "_encoder", None)
        if encoder is not None and encoder is not threading.current_thread():
            encoder.join(5)
        loop = self._loop
        if loop and loop.is_running():
            try:
                asyncio.run_coroutine_threadsafe(self._shut(), loop).result(5)
            except Exception:  # noqa: BLE001 (a loop ending on its own: nothing left to close)
                pass
            loop.call_soon_threadsafe(loop.stop)

    async def _shut(self):
        from aiohttp import WSCloseCode

        closing = [v.ws.close(code=WSCloseCode.GOING_AWAY, message=b"the program ended") for v in self.viewers]
        if closing:
            await asyncio.wait([asyncio.ensure_future(c) for c in closing], timeout=CLOSE_TIMEOUT)
        for c in list(self.guard.conns.values()):
            c.transport.abort()  # pages that did not answer, and every other connection
        await self._runner.cleanup()

    @property
    def url(self):
        """The page's URL on this machine (the loopback when serving every address)."""
        host = self.host
        if is_unspecified(host):
            host = "::1" if ":" in host else "127.0.0.1"
        return self._url(host)

    def other_urls(self):
        """When serving every address: the URLs other machines may use."""
        if not is_unspecified(self.host):
            return []
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        return [self._url(a) for a in host_addresses(family)]

    def _url(self, host):
        query = f"?token={self.token}" if self.token else ""
        return f"http://{url_host(host)}:{self.port}/{query}"

    async def _bind(self):
        from aiohttp import web

        app = web.Application(client_max_size=MAX_MESSAGE, middlewares=[self._track])
        app.router.add_get("/", self._file)
        app.router.add_get("/app.js", self._file)
        app.router.add_get("/ws", self._socket)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False, keepalive_timeout=IDLE_TIMEOUT,
                                     shutdown_timeout=CLOSE_TIMEOUT)
        await self._runner.setup()
        site = guarded_site(web)(self._runner, self.host, self.port, self.guard)
        await site.start()
        self.addresses = [a[:2] for a in self._runner.addresses]
        if self.port == 0 and self.addresses:
            self.port = self.addresses[0][1]

    # -- frames (program's thread, then the encoder's) -------------------------------------------

    def __call__(self, canvas, name):
        """FRAME_SINK: called by the frame loop with each shown frame. Never waits."""
        self._stamps.append(time.perf_counter())
        self.frames += 1
        if self._input_waiters:
            with contextlib.suppress(RuntimeError):  # the server's loop has ended
                self._loop.call_soon_threadsafe(self._frame_shown)
        if not self.viewers:
            return None
        try:
            frame = canvas.copy()
        except Exception:  # noqa: BLE001 (a canvas replaced by something else: nothing to show)
            return None
        with self._cond:
            self._pending = (frame, name, self.rate(), self.frames, time.time())
            self._cond.notify()
        return None

    def rate(self):
        """Frames a second over the last 30 frames."""
        s = self._stamps
        if len(s) < 2 or s[-1] <= s[0]:
            return 0.0
        return (len(s) - 1) / (s[-1] - s[0])

    def _encode_frames(self):
        while True:
            with self._cond:
                while self._pending is None and not self._closing:
                    self._cond.wait()
                if self._closing:
                    return
                job, self._pending = self._pending, None
            try:
                message = self._encode(*job)
            except Exception:  # noqa: BLE001 (not an image OpenCV can encode: skipped)
                continue
            try:
                self._loop.call_soon_threadsafe(self._publish, message)
            except RuntimeError:  # the server's loop has ended
                return

    def _encode(self, frame, name, fps, number, stamp):
        cv2 = self.core.cv2
        if self.lossless:
            ok, data = cv2.imencode(".png", frame, [cv2.IMWRITE_PNG_COMPRESSION, PNG_COMPRESSION])
            mime = "image/png"
        else:
            ok, data = cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
            mime = "image/jpeg"
        if not ok:
            raise ValueError("frame not encoded")
        h, w = frame.shape[:2]
        header = json.dumps({"n": number, "t": stamp, "title": str(name), "fps": round(fps, 2), "w": w, "h": h,
                             "type": mime}).encode()
        return b"".join((struct.pack(">I", len(header)), header, data.tobytes()))

    def _publish(self, message):
        self._latest = message
        for v in self.viewers:
            v.wake.set()

    # -- HTTP ----------------------------------------------------------------------------------

    @property
    def _track(self):
        from aiohttp import web

        @web.middleware
        async def track(request, handler):
            """A connection is busy while a request is answered, then has
            IDLE_TIMEOUT seconds for the next one."""
            conn = self.guard.get(request)
            if conn is not None:
                conn.busy = True
            try:
                return await handler(request)
            finally:
                if conn is not None:
                    conn.busy = False
                    conn.deadline = time.monotonic() + IDLE_TIMEOUT

        return track

    def _allowed(self, request, token=True, socket=False):
        """The checks every request passes: a Host this server answers to (a
        loopback server answers only to loopback names, so no other site can
        reach it by pointing its own name at 127.0.0.1), the token when one is
        required, and for the socket an Origin of this very page."""
        host = request.host or ""
        hostname = re.sub(r":\d+$", "", host)
        if self.loopback and not is_loopback(hostname):
            return False
        if token and self.token is not None:
            given = request.query.get("token", "")
            if not hmac.compare_digest(given.encode(), self.token.encode()):
                return False
        if socket:
            origin = request.headers.get("Origin")
            if origin is not None and origin != f"http://{host}":
                return False
        return True

    async def _file(self, request):
        from aiohttp import web

        # The script holds no secret; the page and the socket need the token.
        if not self._allowed(request, token=request.path == "/"):
            return web.Response(status=403, text="forbidden: open the URL the program printed\n")
        data, ctype = self._files[request.path]
        return web.Response(body=data, headers={
            "Content-Type": ctype, "Cache-Control": "no-store", "X-Content-Type-Options": "nosniff",
            "Referrer-Policy": "no-referrer", "Content-Security-Policy": CSP})

    async def _socket(self, request):
        from aiohttp import WSMsgType, web

        if not self._allowed(request, socket=True):
            return web.Response(status=403, text="forbidden\n")
        if len(self.viewers) >= MAX_VIEWERS:
            return web.Response(status=503, text="too many viewers\n")
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE, heartbeat=20.0, compress=False, timeout=CLOSE_TIMEOUT)
        await ws.prepare(request)
        conn = self.guard.get(request)
        if conn is not None:
            conn.socket = True
        viewer = Viewer(ws)
        self.viewers = self.viewers | {viewer}  # a new set: the sink reads it from another thread
        sender = asyncio.get_running_loop().create_task(self._send_frames(viewer))
        viewer.wake.set()
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    await self._budget(viewer)
                    self._on_message(viewer, msg.data)
                # anything else (binary) is not part of the protocol: ignored
        finally:
            self.viewers = self.viewers - {viewer}
            sender.cancel()
            self._release(viewer)
        return ws

    async def _budget(self, viewer):
        """Counts one message of the viewer against its frame's budget; past
        it, waits for the loop's next frame (or INPUT_REFILL seconds when no
        loop runs). Meanwhile nothing more is read from its socket, so a
        flood waits in its own connection."""
        now = time.monotonic()
        if viewer.frame != self.frames or now - viewer.since >= INPUT_REFILL:
            viewer.frame, viewer.since, viewer.used = self.frames, now, 0
        viewer.used += 1
        if viewer.used <= MAX_INPUT_PER_FRAME:
            return
        if self.frames == viewer.frame and not self._closing:
            frame = asyncio.get_running_loop().create_future()
            self._input_waiters.append(frame)
            await asyncio.wait([frame], timeout=max(0.0, INPUT_REFILL - (now - viewer.since)))
        viewer.frame, viewer.since, viewer.used = self.frames, time.monotonic(), 1

    def _frame_shown(self):
        """(Server thread) the loop showed a frame: the viewers over their input budget go on."""
        waiters, self._input_waiters = self._input_waiters, []
        for w in waiters:
            if not w.done():
                w.set_result(None)

    async def _send_frames(self, viewer):
        try:
            while not viewer.ws.closed:
                await viewer.wake.wait()
                viewer.wake.clear()
                message = self._latest
                if message is None or message is viewer.sent or viewer.unacked >= MAX_UNACKED:
                    continue
                viewer.sent = message
                viewer.unacked += 1
                await viewer.ws.send_bytes(message)
        except (ConnectionError, RuntimeError):
            pass  # the page went away; its reader ends the socket

    # -- input from the pages (server thread) -------------------------------------------------------

    def _on_message(self, viewer, text):
        if len(text) > MAX_MESSAGE:
            return
        try:
            m = json.loads(text)
        except ValueError:
            return
        if not isinstance(m, dict):
            return
        handler = self._handlers.get(m.get("t")) if isinstance(m.get("t"), str) else None
        if handler is None:
            return
        try:
            handler(self, viewer, m)
        except Exception:  # noqa: BLE001 (globals rebound by the program to odd things: that event is lost)
            pass

    def _ack(self, viewer, m):
        viewer.unacked = max(0, viewer.unacked - 1)
        viewer.wake.set()

    def _key_down(self, viewer, m):
        name = key_name(m.get("k"))
        if name is not None:
            viewer.keys.add(name)
            self.core._key_event(name, True)
        press = m.get("p")
        if isinstance(press, str) and (press == "esc" or (len(press) == 1 and press.isprintable())
                                       or press in ("\r", "\t", "\b")):
            self.presses.append(press)

    def _key_up(self, viewer, m):
        name = key_name(m.get("k"))
        if name is None:
            return
        viewer.keys.discard(name)
        if name == "Key.esc":  # as the window: releasing Escape ends the frame loop
            self.core.RUN = False
        self.core._key_event(name, False)

    def _move(self, viewer, m):
        x, y = m.get("x"), m.get("y")
        if coordinate(x) and coordinate(y):
            self.core.on_move(float(x), float(y))

    def _button(self, viewer, m):
        b, down = m.get("b"), m.get("d")
        if type(b) is int and 0 <= b <= 2 and isinstance(down, bool):
            (viewer.buttons.add if down else viewer.buttons.discard)(b)
            self.core.on_click(0, 0, BUTTONS[b], down)

    def _wheel(self, viewer, m):
        dy = m.get("dy")
        if type(dy) is int and -100 <= dy <= 100:
            self.core.on_scroll(0, 0, 0, dy)

    def _blur(self, viewer, m):
        self._release(viewer)

    def _release(self, viewer):
        """Lets go of what this page holds (it lost the focus or went away)."""
        try:
            for name in list(viewer.keys):
                self.core._key_event(name, False)
            for b in list(viewer.buttons):
                self.core.on_click(0, 0, BUTTONS[b], False)
        except Exception:  # noqa: BLE001
            pass
        viewer.keys.clear()
        viewer.buttons.clear()

    _handlers = {"ack": _ack, "kd": _key_down, "ku": _key_up, "mv": _move, "bt": _button, "wh": _wheel,
                 "blur": _blur}


class Button:
    """A page's mouse button as the listener callbacks take one (by its name)."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


BUTTONS = (Button("left"), Button("right"), Button("middle"))  # by the page's index


def key_name(k):
    """The name a key has in KEYS: one character lower-cased, or a special key's text form."""
    if not isinstance(k, str):
        return None
    if len(k) == 1:
        return k.lower() if k.isprintable() else None
    return k if k in SPECIAL_KEYS else None


def coordinate(v):
    return type(v) in (int, float) and math.isfinite(v) and abs(v) <= MAX_COORD


# ---- starting it -----------------------------------------------------------------------------------

_server = None


def switch_on(core, name):
    """A KELVRACV_* switch read through the module's os.environ by the core's
    one rule (core/switches.cpp): off when unset, blank, 0, false, no or off."""
    return core.__switch_on__(core.os.environ.get(name))


def serve(host="127.0.0.1", port=DEFAULT_PORT, *, lossless=False, token=None, core=None):
    """Starts the server (once per process; later calls give the running one
    back), installs it as the module's FRAME_SINK with its PRESS_QUEUE and
    prints one line with the page's URL on standard error, and one with the
    URLs other machines may use when serving every address (neither under
    KELVRACV_QUIET)."""
    global _server
    if core is None:
        from kelvracv import _kelvra_core as core
    if _server is None:
        _server = WebServer(core, host, port, lossless=lossless, token=token).start()
        if not switch_on(core, "KELVRACV_QUIET"):
            print(f"kelvracv web: serving the frames at {_server.url}", file=sys.stderr, flush=True)
            others = _server.other_urls()
            if others:
                print(f"kelvracv web: from other machines: {' '.join(others)}", file=sys.stderr, flush=True)
    core.FRAME_SINK = _server
    core.PRESS_QUEUE = _server.presses
    return _server


def serve_from_environment():
    """KELVRACV_WEB=[HOST:]PORT (with KELVRACV_WEB_LOSSLESS=1 for PNG frames
    and KELVRACV_WEB_TOKEN for a token that stays the same from run to run):
    what the frame loop calls before its first frame."""
    from kelvracv import _kelvra_core as core

    env = core.os.environ
    host, port = parse_address(env.get("KELVRACV_WEB", ""))
    lossless = switch_on(core, "KELVRACV_WEB_LOSSLESS")
    token = env.get("KELVRACV_WEB_TOKEN", "").strip() or None
    if token is not None:
        check_token(token)
    return serve(host, port, lossless=lossless, token=token, core=core)
