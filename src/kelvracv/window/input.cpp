// Keyboard and mouse state: the pynput listener callbacks that keep KEYS,
// MOUSE_SCR_POS, MOUSE_STATE and RUN up to date, simulate_key_press, and the
// get_input query. Callbacks run on the listener threads, get_input on the
// program's thread; every global is looked up by name at each use and each
// access is one whole dictionary or list operation under the interpreter lock.

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

Ref mouse_state_item(PyObject* key) {
  Ref state = global(KV_ID(MOUSE_STATE));
  if (!state) return state;
  return Ref::steal(PyObject_GetItem(state.get(), key));
}

bool set_mouse_state_item(PyObject* key, PyObject* value) {
  Ref state = global(KV_ID(MOUSE_STATE));
  return state && PyObject_SetItem(state.get(), key, value) == 0;
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

PyObject* on_press(PyObject* const* a) {
  PyObject* key = a[0];
  Ref name = char_name(key);
  if (name && hold_key(name.get())) Py_RETURN_NONE;
  if (!take_attribute_error()) return nullptr;
  // A special key (or a key code without a character): its text form.
  name = Ref::steal(PyObject_Str(key));
  if (!name || !hold_key(name.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_release(PyObject* const* a) {
  PyObject* key = a[0];
  Ref name = char_name(key);
  if (name) {
    Ref keys = global(KV_ID(KEYS));
    if (keys) {
      Ref r = Ref::steal(PyObject_CallMethodObjArgs(keys.get(), KV_ID(pop), name.get(), Py_None, nullptr));
      if (r) Py_RETURN_NONE;
    }
  }
  if (!take_attribute_error()) return nullptr;
  // No character: Escape stops the frame loop, then the text form is dropped.
  Ref esc = global_attr(KV_ID(keyboard), KV_ID(Key));
  if (esc) esc = Ref::steal(PyObject_GetAttr(esc.get(), KV_ID(esc)));
  if (!esc) return nullptr;
  int is_esc = PyObject_RichCompareBool(key, esc.get(), Py_EQ);
  if (is_esc < 0) return nullptr;
  if (is_esc && set_global(KV_ID(RUN), Py_False) < 0) return nullptr;
  Ref text = Ref::steal(PyObject_Str(key));
  if (!text) return nullptr;
  Ref keys = global(KV_ID(KEYS));
  if (!keys) return nullptr;
  if (PyObject_DelItem(keys.get(), text.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
  }
  Py_RETURN_NONE;
}

PyObject* simulate_key_press(PyObject* const* a) {
  PyObject* key = a[0];
  if (!arg_str(key, "key")) return nullptr;
  Ref name = Ref::borrow(key);
  if (PyUnicode_GET_LENGTH(key) == 1 && Py_UNICODE_ISALPHA(PyUnicode_READ_CHAR(key, 0))) {
    name = Ref::steal(PyObject_CallMethodNoArgs(key, KV_ID(lower)));
    if (!name) return nullptr;
  }
  if (!hold_key(name.get())) return nullptr;
  Py_RETURN_NONE;
}

// ---- mouse -------------------------------------------------------------------

PyObject* on_click(PyObject* const* a) {
  PyObject* button = a[2];
  PyObject* pressed = a[3];
  Ref bname = Ref::steal(PyObject_GetAttr(button, KV_ID(name)));
  if (!bname) return nullptr;
  // {"left": 0, "right": 1, "middle": 2}.get(button.name)
  PyObject* idx = PyDict_GetItemWithError(KV_CONST(mouse_button_index), bname.get());
  if (!idx && PyErr_Occurred()) return nullptr;
  if (!idx) Py_RETURN_NONE;  // an extra button: not recorded
  Ref buttons = mouse_state_item(KV_ID(buttons));
  if (!buttons || PyObject_SetItem(buttons.get(), idx, pressed) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_scroll(PyObject* const* a) {
  PyObject* dy = a[3];
  Ref scroll = mouse_state_item(KV_ID(scroll));
  if (!scroll) return nullptr;
  Ref sum = Ref::steal(PyNumber_Add(scroll.get(), dy));
  if (!sum || !set_mouse_state_item(KV_ID(scroll), sum.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_move(PyObject* const* a) {
  Ref pos = Ref::steal(PyTuple_Pack(2, a[0], a[1]));
  if (!pos) return nullptr;
  if (set_global(KV_ID(MOUSE_SCR_POS), pos.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// ---- query -------------------------------------------------------------------

PyObject* get_input(PyObject* const* a) {
  PyObject* method = a[0];
  PyObject* key = a[1];
  PyObject* ts = a[2];
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
