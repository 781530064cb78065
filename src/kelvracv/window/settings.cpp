// Opt-in run settings read from the environment through the module's `os`:
// headless runs (KELVRACV_HEADLESS), the web front-end (KELVRACV_WEB, which
// implies a headless run) and the frame limit (KELVRACV_FRAMES),
// and the sizes of the windows a headless init stands in for.
// Main thread (start-up, init, run), interpreter lock held.

#include <climits>

#include "pyapi/namespace.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

// name -> (W, H) of every window a headless init made; lives with the process.
PyObject* g_windows = nullptr;

}  // namespace

int headless() {
  int web = serving_web();
  return web ? web : environ_flag("KELVRACV_HEADLESS");
}

int serving_web() {
  Ref target = environ_text("KELVRACV_WEB");
  if (!target) return -1;
  return target.get() != Py_None;
}

bool start_web() {
  int web = serving_web();
  if (web <= 0) return web == 0;
  // The web front-end is Python glue over this module: it starts its server
  // once per process and installs FRAME_SINK and PRESS_QUEUE.
  Ref front = import("kelvracv.web");
  Ref serve = front ? attr_of(front.get(), KV_ID(serve_from_environment)) : Ref();
  return serve && call(serve.get(), {});
}

bool frame_limit(long long* out) {
  *out = 0;
  Ref value = environ_get("KELVRACV_FRAMES");
  if (!value) return false;
  if (value.get() == Py_None) return true;
  if (PyUnicode_Check(value.get())) {  // blank: no limit
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(value.get(), KV_ID(strip)));
    if (!stripped) return false;
    if (PyUnicode_GetLength(stripped.get()) == 0) return true;
  }
  // int(value), as Python reads a count
  Ref n;
  if (PyUnicode_Check(value.get())) {
    n = Ref::steal(PyLong_FromUnicodeObject(value.get(), 10));
    if (!n) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
      PyErr_Clear();
    }
  }
  int overflow = 0;
  long long count = 0;
  if (n && (count = PyLong_AsLongLongAndOverflow(n.get(), &overflow)) == -1 && PyErr_Occurred()) return false;
  if (!n || overflow < 0 || (!overflow && count < 1)) {
    PyErr_Format(PyExc_ValueError, "KELVRACV_FRAMES must be a positive whole number of frames, got %R", value.get());
    return false;
  }
  *out = overflow ? LLONG_MAX : count;
  return true;
}

bool remember_window(PyObject* name, PyObject* w, PyObject* h) {
  if (!g_windows && !(g_windows = PyDict_New())) return false;
  Ref size = Ref::steal(PyTuple_Pack(2, w, h));
  return size && PyDict_SetItem(g_windows, name, size.get()) == 0;
}

PyObject* headless_window_size(PyObject* name) {
  return g_windows ? PyDict_GetItemWithError(g_windows, name) : nullptr;
}

}  // namespace kv::window
