// Keyboard and mouse state: the pynput listener callbacks that keep KEYS,
// MOUSE_SCR_POS, MOUSE_STATE and RUN up to date, simulate_key_press, and the
// get_input query. Callbacks run on the listener threads (the web front-end's
// server thread calls them too), get_input on the program's thread; every
// global is looked up by name at each use and each access is one whole
// dictionary or list operation under the interpreter lock.
//
// While the frame loop runs, what other threads report goes through the frame
// gate: events that come during a tick wait for its end (the tick sees the
// input as it was when it started), and a key or button let go before any
// tick has started since it went down stays held until the next tick has
// ended, so that a press shorter than a frame is seen by exactly one tick.
// The loop's own thread (a tick simulating input) and every call made while
// no loop runs change the globals at once.

#include <vector>

#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

// ---- internal helpers ------------------------------------------------------

// KEYS[name] = True unless name is already held.
bool hold_key(PyObject* name) {
  Ref keys = global(KV_ID(KEYS));
  if (!keys) return false;
  int held = PySequence_Contains(keys.get(), name);
  if (held < 0) return false;
  return held || PyObject_SetItem(keys.get(), name, Py_True) == 0;
}

// key.char.lower(): the name of a key that has a character. A key without a
// character (no attribute, or None) fails with AttributeError.
Ref char_name(PyObject* key) {
  Ref ch = Ref::steal(PyObject_GetAttr(key, KV_ID(k_char)));
  if (!ch) return ch;
  return Ref::steal(PyObject_CallMethodNoArgs(ch.get(), KV_ID(lower)));
}

// True when the pending exception is an AttributeError (then cleared).
bool take_attribute_error() {
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  return true;
}

// ---- the frame gate ----------------------------------------------------------

enum class Kind { key_down, key_up, key_del, button, scroll, move };

// One input change: a key name (key_up drops it with KEYS.pop, key_del with
// del, a KeyError ignored), a button index and its pressed value, a scroll
// step, or a new pointer tuple.
struct Event {
  Kind kind;
  Ref a;
  Ref b;
};

// More events than this waiting for one tick are taken at once (a tick that
// never ends must not hoard memory).
constexpr size_t kMaxQueued = 4096;

// The input gate's state. Its two queues are owned by the gate: `queued`
// holds at most kMaxQueued events (beyond that an event is applied at once)
// and empties at the end of each tick; `deferred` holds one release per key
// or button at most, applied at the end of the next tick.
struct InputState {
  bool running = false;         // a frame loop runs on `thread`
  unsigned long thread = 0;
  int nested = 0;               // loops run from a tick of that loop (the outer one keeps the gate)
  bool in_tick = false;
  long long frame = 0;          // ticks started by this loop
  Ref pressed_at;               // dict: key name -> frame it went down in
  long long button_at[3] = {-1, -1, -1};
  std::vector<Event> deferred;  // releases held until the end of the next tick
  std::vector<Event> queued;    // what came during the current tick
};
InputState g_input;

bool apply(const Event& e);

// Whether an event from this thread goes through the gate.
bool gated() { return g_input.running && PyThread_get_thread_ident() != g_input.thread; }

// Index 0-2 of a button event, from the interned int it carries.
int button_index(const Event& e) { return static_cast<int>(PyLong_AsLong(e.a.get())); }

// Drops a release of the same key or button still held back: it went down again.
void cancel_deferred(const Event& e) {
  auto& d = g_input.deferred;
  for (size_t i = 0; i < d.size();) {
    bool same = e.kind == Kind::button
                    ? d[i].kind == Kind::button && button_index(d[i]) == button_index(e)
                    : d[i].kind != Kind::button && PyUnicode_Compare(d[i].a.get(), e.a.get()) == 0;  // names: exact str
    if (same) d.erase(d.begin() + static_cast<std::ptrdiff_t>(i));
    else i++;
  }
}

// The rule for an event outside a tick: presses are noted with their frame,
// a release in the frame of its press is held back.
bool admit(Event e) {
  InputState& g = g_input;
  if (e.kind == Kind::key_down) {
    cancel_deferred(e);
    Ref f = Ref::steal(PyLong_FromLongLong(g.frame));
    if (!f || PyDict_SetItem(g.pressed_at.get(), e.a.get(), f.get()) < 0) return false;
  } else if (e.kind == Kind::key_up || e.kind == Kind::key_del) {
    PyObject* raw = nullptr;
    if (PyDict_Pop(g.pressed_at.get(), e.a.get(), &raw) < 0) return false;
    Ref f = Ref::steal(raw);
    if (f && PyLong_AsLongLong(f.get()) == g.frame) {
      g.deferred.push_back(std::move(e));
      return true;
    }
  } else if (e.kind == Kind::button) {
    int i = button_index(e);
    int down = truth(e.b.get());
    if (down < 0) return false;
    if (down) {
      cancel_deferred(e);
      g.button_at[i] = g.frame;
    } else if (g.button_at[i] == g.frame) {
      g.button_at[i] = -1;
      g.deferred.push_back(std::move(e));
      return true;
    } else {
      g.button_at[i] = -1;
    }
  }
  return apply(e);
}

// An event from another thread while the loop runs: queued during a tick
// (pointer moves merged into the last one), else admitted now.
bool through_gate(Event e) {
  auto& q = g_input.queued;
  if (g_input.in_tick && q.size() < kMaxQueued) {
    if (e.kind == Kind::move && !q.empty() && q.back().kind == Kind::move) q.back() = std::move(e);
    else q.push_back(std::move(e));
    return true;
  }
  return admit(std::move(e));
}

// Either through the gate or at once. A key whose name is no exact str (an
// odd key object's char) is not tracked: it takes effect at once.
bool input_event(Kind kind, PyObject* a, PyObject* b = nullptr) {
  Event e{kind, Ref::borrow(a), Ref::borrow(b)};
  bool key = kind == Kind::key_down || kind == Kind::key_up || kind == Kind::key_del;
  return gated() && (!key || PyUnicode_CheckExact(a)) ? through_gate(std::move(e)) : apply(e);
}

// Runs the held-back releases, then the events of the tick in their order.
// Both lists are taken first: a callback that gets the lock while one of them
// runs Python code goes its own way instead of into a list being walked. An
// event that fails (globals rebound to odd objects) is reported as unraisable,
// as the listener thread it came from would have seen it fail: the loop goes on.
void drain(bool admit_queued) {
  std::vector<Event> due, came;
  due.swap(g_input.deferred);
  came.swap(g_input.queued);
  auto report = [](bool ok) {
    if (!ok) PyErr_FormatUnraisable("Exception ignored while applying keyboard or mouse input");
  };
  for (const Event& e : due) report(apply(e));
  for (Event& e : came) report(admit_queued ? admit(std::move(e)) : apply(e));
}

Ref mouse_state_item(PyObject* key) {
  Ref state = global(KV_ID(MOUSE_STATE));
  if (!state) return state;
  return Ref::steal(PyObject_GetItem(state.get(), key));
}

bool set_mouse_state_item(PyObject* key, PyObject* value) {
  Ref state = global(KV_ID(MOUSE_STATE));
  return state && PyObject_SetItem(state.get(), key, value) == 0;
}

// KEYS.pop(name, None), or del KEYS[name] with a missing name ignored.
bool drop_key(PyObject* name, bool by_pop) {
  Ref keys = global(KV_ID(KEYS));
  if (!keys) return false;
  if (by_pop) return static_cast<bool>(Ref::steal(PyObject_CallMethodObjArgs(keys.get(), KV_ID(pop), name, Py_None, nullptr)));
  if (PyObject_DelItem(keys.get(), name) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
  PyErr_Clear();
  return true;
}

// What an event does to the globals.
bool apply(const Event& e) {
  switch (e.kind) {
    case Kind::key_down:
      return hold_key(e.a.get());
    case Kind::key_up:
    case Kind::key_del:
      return drop_key(e.a.get(), e.kind == Kind::key_up);
    case Kind::button: {
      Ref buttons = mouse_state_item(KV_ID(buttons));
      return buttons && PyObject_SetItem(buttons.get(), e.a.get(), e.b.get()) == 0;
    }
    case Kind::scroll: {
      Ref scroll = mouse_state_item(KV_ID(scroll));
      if (!scroll) return false;
      Ref sum = Ref::steal(PyNumber_Add(scroll.get(), e.a.get()));
      return sum && set_mouse_state_item(KV_ID(scroll), sum.get());
    }
    case Kind::move:
      return set_global(KV_ID(MOUSE_SCR_POS), e.a.get()) == 0;
  }
  return true;
}

// The pointer's desktop position as a point in canvas pixels of the window
// made by init, when there is one whose image area is known; otherwise *scr
// is left as it is.
bool desktop_point_on_canvas(Ref* scr) {
  if (scr->get() == Py_None) return true;  // inverse_transform reports it
  double p[2];
  for (Py_ssize_t i = 0; i < 2; i++) {
    Ref v = Ref::steal(item(scr->get(), i));
    if (!v || !py_float(v.get(), &p[i])) return false;
  }
  bool mapped;
  if (!desktop_to_canvas(&p[0], &p[1], &mapped)) return false;
  if (mapped) *scr = Ref::steal(float_tuple(p, 2));
  return static_cast<bool>(*scr);
}

// get_input("mouse", "pos", ts): the pointer's world position.
PyObject* mouse_world_pos(PyObject* ts) {
  if (ts == Py_None) {
    PyErr_SetString(PyExc_ValueError, "get_input('mouse', 'pos') requires 'ts'.");
    return nullptr;
  }
  Ref scr = global(KV_ID(MOUSE_SCR_POS));
  if (!scr || !body_tuple(scr.get()) || !body_exact(ts, &PyDict_Type)) return nullptr;
  if (!desktop_point_on_canvas(&scr)) return nullptr;
  geo::Vec3 w;
  if (!inverse_transform(scr.get(), ts, &w)) return nullptr;
  double v[3] = {w.x, w.y, w.z};
  Ref pos = Ref::steal(float_tuple(v, 3));
  if (!pos || !set_mouse_state_item(KV_ID(world_pos), pos.get())) return nullptr;
  return mouse_state_item(KV_ID(world_pos)).release();
}

// get_input("mouse", "buttons"): (left, right, middle, scroll), scroll reset.
PyObject* mouse_buttons() {
  Ref buttons = mouse_state_item(KV_ID(buttons));
  if (!buttons) return nullptr;
  Ref scroll = mouse_state_item(KV_ID(scroll));
  if (!scroll) return nullptr;
  Ref tail = Ref::steal(PyList_New(1));
  if (!tail) return nullptr;
  PyList_SET_ITEM(tail.get(), 0, scroll.release());
  Ref all = Ref::steal(PyNumber_Add(buttons.get(), tail.get()));
  if (!all) return nullptr;
  Ref result = Ref::steal(PySequence_Tuple(all.get()));
  if (!result) return nullptr;
  Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
  if (!zero || !set_mouse_state_item(KV_ID(scroll), zero.get())) return nullptr;
  return result.release();
}

// get_input("press"): one event from the window's key queue, or, while the
// web front-end serves the frames, from the page's (PRESS_QUEUE, a deque it
// fills with "esc" and one-character strings; None when empty).
PyObject* poll_key() {
  Ref queue = global(KV_ID(PRESS_QUEUE));
  if (!queue) return nullptr;
  if (queue.get() != Py_None) {
    int empty = PyObject_Not(queue.get());
    if (empty < 0) return nullptr;
    if (empty) Py_RETURN_NONE;
    Ref next = Ref::steal(PyObject_CallMethodNoArgs(queue.get(), KV_ID(popleft)));
    if (next || !PyErr_ExceptionMatches(PyExc_IndexError)) return next.release();
    PyErr_Clear();  // emptied by another thread since the test
    Py_RETURN_NONE;
  }
  Ref wait = global_attr(KV_ID(cv2), KV_ID(waitKey));
  if (!wait) return nullptr;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  Ref k = call(wait.get(), {one.get()});
  if (!k) return nullptr;
  Ref esc = Ref::steal(PyLong_FromLong(27));
  Ref none = Ref::steal(PyLong_FromLong(-1));
  if (!esc || !none) return nullptr;
  int is = PyObject_RichCompareBool(k.get(), esc.get(), Py_EQ);
  if (is < 0) return nullptr;
  if (is) return Py_NewRef(KV_ID(esc));
  is = PyObject_RichCompareBool(k.get(), none.get(), Py_EQ);
  if (is < 0) return nullptr;
  if (is) Py_RETURN_NONE;
  return call_global(KV_ID(chr), {k.get()}).release();
}

// get_input("held", key): a str is looked up lower-cased, and as given when
// that is not held (special keys are stored in pynput's text form, "Key.left").
PyObject* key_held(PyObject* key) {
  Ref keys = global(KV_ID(KEYS));
  if (!keys) return nullptr;
  Ref name = Ref::borrow(key);
  if (PyUnicode_Check(key)) {
    Ref lower = Ref::steal(PyObject_CallMethodNoArgs(key, KV_ID(lower)));
    if (!lower) return nullptr;
    int held = PySequence_Contains(keys.get(), lower.get());
    if (held < 0) return nullptr;
    if (held) name = lower;
  }
  return PyObject_CallMethodObjArgs(keys.get(), KV_ID(get), name.get(), Py_False, nullptr);
}

// 1 when o == the interned literal s, 0 when not, -1 on error.
int equals(PyObject* o, PyObject* s) { return PyObject_RichCompareBool(o, s, Py_EQ); }

}  // namespace

// ---- keyboard ----------------------------------------------------------------

PyObject* on_press(PyObject* key) {
  Ref name = char_name(key);
  if (name && input_event(Kind::key_down, name.get())) Py_RETURN_NONE;
  if (!take_attribute_error()) return nullptr;
  // A special key (or a key code without a character): its text form.
  name = Ref::steal(PyObject_Str(key));
  if (!name || !input_event(Kind::key_down, name.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_release(PyObject* key) {
  Ref name = char_name(key);
  if (name && input_event(Kind::key_up, name.get())) Py_RETURN_NONE;
  if (!take_attribute_error()) return nullptr;
  // No character: Escape stops the frame loop, then the text form is dropped.
  Ref esc = global_attr(KV_ID(keyboard), KV_ID(Key));
  if (esc) esc = Ref::steal(PyObject_GetAttr(esc.get(), KV_ID(esc)));
  if (!esc) return nullptr;
  int is_esc = PyObject_RichCompareBool(key, esc.get(), Py_EQ);
  if (is_esc < 0) return nullptr;
  if (is_esc && set_global(KV_ID(RUN), Py_False) < 0) return nullptr;
  Ref text = Ref::steal(PyObject_Str(key));
  if (!text || !input_event(Kind::key_del, text.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* key_event(PyObject* name, PyObject* pressed) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "key name must be str, not %.200s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  // pressed is read after the name's check.
  int down = truth(pressed);
  if (down < 0 || !input_event(down ? Kind::key_down : Kind::key_up, name)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* simulate_key_press(PyObject* key) {
  Ref name = Ref::borrow(key);
  if (PyUnicode_GET_LENGTH(key) == 1 && Py_UNICODE_ISALPHA(PyUnicode_READ_CHAR(key, 0))) {
    name = Ref::steal(PyObject_CallMethodNoArgs(key, KV_ID(lower)));
    if (!name) return nullptr;
  }
  if (!hold_key(name.get())) return nullptr;
  Py_RETURN_NONE;
}

// ---- mouse -------------------------------------------------------------------

PyObject* on_click(PyObject*, PyObject*, PyObject* button, PyObject* pressed) {
  Ref bname = Ref::steal(PyObject_GetAttr(button, KV_ID(name)));
  if (!bname) return nullptr;
  // {"left": 0, "right": 1, "middle": 2}.get(button.name)
  PyObject* idx = PyDict_GetItemWithError(KV_CONST(mouse_button_index), bname.get());
  if (!idx && PyErr_Occurred()) return nullptr;
  if (!idx) Py_RETURN_NONE;  // an extra button: not recorded
  if (!input_event(Kind::button, idx, pressed)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_scroll(PyObject*, PyObject*, PyObject*, PyObject* dy) {
  if (!input_event(Kind::scroll, dy)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_move(PyObject* x, PyObject* y) {
  Ref pos = Ref::steal(PyTuple_Pack(2, x, y));
  if (!pos || !input_event(Kind::move, pos.get())) return nullptr;
  Py_RETURN_NONE;
}

// ---- the frame loop's side of the gate --------------------------------------

bool input_loop_begin() {
  InputState& g = g_input;
  if (g.running) {  // a loop inside a tick (or on another thread): the first one keeps the gate
    if (PyThread_get_thread_ident() == g.thread) g.nested++;
    return true;
  }
  g.pressed_at = Ref::steal(PyDict_New());
  if (!g.pressed_at) return false;
  g.running = true;
  g.thread = PyThread_get_thread_ident();
  g.in_tick = false;
  g.frame = 0;
  for (long long& f : g.button_at) f = -1;
  return true;
}

void input_tick_begin() {
  if (g_input.running && PyThread_get_thread_ident() == g_input.thread) {
    g_input.frame++;
    g_input.in_tick = true;
  }
}

void input_tick_end() {
  if (!g_input.in_tick || PyThread_get_thread_ident() != g_input.thread) return;
  g_input.in_tick = false;
  drain(true);
}

void input_loop_end() {
  InputState& g = g_input;
  if (!g.running || PyThread_get_thread_ident() != g.thread) return;
  if (g.nested > 0) {
    g.nested--;
    return;
  }
  g.running = false;
  g.in_tick = false;
  // An exception of the loop being raised stays as it is.
  PyObject* pending = PyErr_GetRaisedException();
  drain(false);
  g.pressed_at = Ref();
  PyErr_SetRaisedException(pending);
}

// ---- query -------------------------------------------------------------------

PyObject* get_input(PyObject* method, PyObject* key, PyObject* ts) {
  int is = equals(method, KV_ID(held));
  if (is < 0) return nullptr;
  if (is) return key_held(key);
  if ((is = equals(method, KV_ID(press))) < 0) return nullptr;
  if (is) return poll_key();
  if ((is = equals(method, KV_ID(mouse))) < 0) return nullptr;
  if (is) {
    if ((is = equals(key, KV_ID(pos))) < 0) return nullptr;
    if (is) return mouse_world_pos(ts);
    if ((is = equals(key, KV_ID(buttons))) < 0) return nullptr;
    if (is) return mouse_buttons();
    PyErr_SetString(PyExc_ValueError, "Invalid mouse key.");
    return nullptr;
  }
  PyErr_SetString(PyExc_ValueError, "Invalid method.");
  return nullptr;
}

}  // namespace kv::window
