// The kelvracv page: shows the frames the program sends over the WebSocket
// and sends back the page's keyboard, pointer, buttons and wheel. Reconnects
// by itself when the program (or its server) comes back; a program restarted
// with another token refuses this page, which then says so and stops trying.
"use strict";

(function () {
  const screen = document.getElementById("screen");
  const stage = document.getElementById("stage");
  const ctx = screen.getContext("2d");
  const titleEl = document.getElementById("title");
  const fpsEl = document.getElementById("fps");
  const statusEl = document.getElementById("status");
  const token = new URLSearchParams(location.search).get("token");

  // What the page has shown, for tests and the benchmark.
  const state = { frames: 0, last: null, connected: false, refused: false, onframe: null };
  window.kelvracv = state;

  // ---- keys: names as the desktop listener gives them -----------------------------
  const SPECIAL = {
    ArrowLeft: "left", ArrowRight: "right", ArrowUp: "up", ArrowDown: "down", " ": "space",
    Enter: "enter", Escape: "esc", Tab: "tab", Backspace: "backspace", Delete: "delete", Home: "home",
    End: "end", PageUp: "page_up", PageDown: "page_down", Insert: "insert", CapsLock: "caps_lock",
    NumLock: "num_lock", ScrollLock: "scroll_lock", Pause: "pause", PrintScreen: "print_screen",
    ContextMenu: "menu", AltGraph: "alt_gr", MediaPlayPause: "media_play_pause",
    AudioVolumeMute: "media_volume_mute", AudioVolumeDown: "media_volume_down",
    AudioVolumeUp: "media_volume_up", MediaTrackPrevious: "media_previous", MediaTrackNext: "media_next",
  };
  const SIDED = { Shift: "shift", Control: "ctrl", Alt: "alt", Meta: "cmd" };
  // What get_input("press") gives for keys without a character of their own.
  const PRESS = { Escape: "esc", Enter: "\r", Tab: "\t", Backspace: "\b" };

  function keyName(e) {
    if (e.key === " ") return "Key.space";
    if (e.key.length === 1) return e.key.toLowerCase();
    if (SIDED[e.key]) return "Key." + SIDED[e.key] + (e.code.endsWith("Right") ? "_r" : "");
    if (SPECIAL[e.key]) return "Key." + SPECIAL[e.key];
    const f = /^F([1-9]|1[0-9]|20)$/.exec(e.key);
    return f ? "Key.f" + f[1] : null;
  }

  let ws = null;
  const held = new Map(); // e.code -> the name sent when it went down

  // Pointer moves are merged: the newest goes out once per animation frame,
  // or before any other message, so the order of events is kept.
  let pendingMove = null;

  function sendNow(msg) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(msg));
  }

  function flushMove() {
    if (pendingMove !== null) {
      const m = pendingMove;
      pendingMove = null;
      sendNow(m);
    }
  }

  function send(msg) {
    flushMove();
    sendNow(msg);
  }

  function move(p) {
    if (pendingMove === null) requestAnimationFrame(flushMove);
    pendingMove = { t: "mv", x: p.x, y: p.y };
  }

  function releaseAll() {
    held.clear();
    send({ t: "blur" });
  }

  window.addEventListener("keydown", (e) => {
    if (e.ctrlKey && ["r", "R", "w", "W", "l", "L"].includes(e.key)) return; // leave the browser's own
    const name = keyName(e);
    const press = e.key.length === 1 ? e.key : PRESS[e.key];
    if (name === null && press === undefined) return;
    if (!/^F\d+$/.test(e.key)) e.preventDefault();
    if (name !== null) held.set(e.code, name);
    send({ t: "kd", k: name, p: press });
  });
  window.addEventListener("keyup", (e) => {
    const name = held.has(e.code) ? held.get(e.code) : keyName(e);
    held.delete(e.code);
    if (name !== null) send({ t: "ku", k: name });
  });
  window.addEventListener("blur", releaseAll);
  document.addEventListener("visibilitychange", () => {
    if (document.hidden) releaseAll();
  });

  // ---- pointer: canvas pixels, as the window maps the desktop pointer --------------
  function canvasPoint(e) {
    const r = screen.getBoundingClientRect();
    if (!(r.width > 0 && r.height > 0)) return null;
    return { x: (e.clientX - r.left) * (screen.width / r.width), y: (e.clientY - r.top) * (screen.height / r.height) };
  }
  window.addEventListener("pointermove", (e) => {
    const p = canvasPoint(e);
    if (p) move(p);
  });
  const BUTTON = { 0: 0, 1: 2, 2: 1 }; // the page's left, middle, right -> left 0, right 1, middle 2
  screen.addEventListener("pointerdown", (e) => {
    screen.focus();
    if (e.button in BUTTON) {
      e.preventDefault();
      const p = canvasPoint(e);
      if (p) send({ t: "mv", x: p.x, y: p.y });
      send({ t: "bt", b: BUTTON[e.button], d: true });
    }
  });
  window.addEventListener("pointerup", (e) => {
    if (e.button in BUTTON) send({ t: "bt", b: BUTTON[e.button], d: false });
  });
  screen.addEventListener("contextmenu", (e) => e.preventDefault());
  screen.addEventListener("wheel", (e) => {
    e.preventDefault();
    if (e.deltaY !== 0) send({ t: "wh", dy: e.deltaY < 0 ? 1 : -1 }); // one step up is +1
  }, { passive: false });

  // ---- frames ----------------------------------------------------------------------
  function fit() {
    const w = screen.width, h = screen.height;
    const s = Math.min(stage.clientWidth / w, stage.clientHeight / h);
    if (s > 0 && isFinite(s)) {
      screen.style.width = Math.floor(w * s) + "px";
      screen.style.height = Math.floor(h * s) + "px";
    }
  }
  window.addEventListener("resize", fit);

  async function show(buffer) {
    const view = new DataView(buffer);
    const n = view.getUint32(0);
    const head = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, n)));
    const bitmap = await createImageBitmap(new Blob([new Uint8Array(buffer, 4 + n)], { type: head.type }));
    if (screen.width !== bitmap.width || screen.height !== bitmap.height) {
      screen.width = bitmap.width;
      screen.height = bitmap.height;
      fit();
    }
    ctx.drawImage(bitmap, 0, 0);
    bitmap.close();
    state.frames += 1;
    state.last = head;
    if (state.onframe) state.onframe(head, ctx);
    if (titleEl.textContent !== head.title) {
      titleEl.textContent = head.title;
      document.title = head.title;
    }
    fpsEl.textContent = "FPS:" + head.fps.toFixed(2);
  }

  function connect() {
    const url = new URL("ws", location.href);
    url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
    url.search = token ? "?token=" + encodeURIComponent(token) : "";
    ws = new WebSocket(url);
    ws.binaryType = "arraybuffer";
    ws.onopen = () => {
      state.connected = true;
      statusEl.textContent = "";
    };
    ws.onmessage = async (ev) => {
      if (!(ev.data instanceof ArrayBuffer)) return;
      try {
        await show(ev.data);
      } catch (err) {
        // a frame that does not decode is skipped
      }
      send({ t: "ack" });
    };
    ws.onclose = () => {
      state.connected = false;
      held.clear();
      pendingMove = null;
      statusEl.textContent = "disconnected — reconnecting…";
      setTimeout(retry, 1000);
    };
  }

  // Before connecting again: a server that answers this page's own URL with
  // 403 no longer takes its token (it was started again without --token, so
  // with a new random one): no use trying further.
  async function retry() {
    let status = 0;
    try {
      status = (await fetch(location.href, { method: "HEAD", cache: "no-store" })).status;
    } catch (err) {
      // not listening (yet): try again
    }
    if (status === 403) {
      state.refused = true;
      statusEl.textContent = "refused: the program was restarted with a new token — open the URL it printed now";
      return;
    }
    connect();
  }

  fit();
  screen.focus();
  connect();
})();
