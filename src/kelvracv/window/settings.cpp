// Opt-in run settings read from the environment through the module's `os`:
// headless runs (KELVRACV_HEADLESS), the web front-end (KELVRACV_WEB, which
// implies a headless run) and the frame limit (KELVRACV_FRAMES),
// the sizes of the windows a headless init stands in for, and whether a
// display can be reached (DISPLAY, and what pynput met at import).
// Main thread (start-up, init, run), interpreter lock held.

#include <climits>

#include "core/bindings.hpp"
#include "core/switches.hpp"
#include "pyapi/namespace.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

// What the settings keep, strong references for the life of the process
// (or nullptr): the windows a headless init stood in for, name -> (W, H), one
// entry per window name, never dropped; and why pynput could not reach the
// display at import (a str) with the DISPLAY it tried.
struct WindowSettingsState {
  PyObject* windows = nullptr;
  PyObject* input_failure = nullptr;
  PyObject* failed_display = nullptr;
};
WindowSettingsState g_settings;

// The error of init when no window can be shown.
constexpr const char* kNoDisplay =
    "no display (%U): a window cannot be opened; set KELVRACV_HEADLESS=1 to run without one, "
    "or run the program with --web (python -m kelvracv run PROGRAM --web) to see it in a browser page";

// The first line of str(o).
Ref first_line(PyObject* o) {
  Ref text = str_of(o);
  Ref lines = text ? Ref::steal(PyUnicode_Splitlines(text.get(), 0)) : Ref();
  if (!lines) return lines;
  return PyList_GET_SIZE(lines.get()) > 0 ? Ref::borrow(PyList_GET_ITEM(lines.get(), 0)) : text;
}

// Why pynput's import failed, said plainly: pynput folds the X connection's
// error into the repr of a tuple, so the connection is tried once more with
// python-xlib (pynput's own X library) for its message; where that connects
// or cannot be tried, the first line of pynput's message.
Ref import_failure_reason(PyObject* exc) {
  Ref xlib = import("Xlib.display");
  Ref connect = xlib ? Ref::steal(PyObject_GetAttrString(xlib.get(), "Display")) : Ref();
  Ref display = connect ? call(connect.get(), {}) : Ref();
  if (display) {
    Ref closed = Ref::steal(PyObject_CallMethod(display.get(), "close", nullptr));
    if (!closed) PyErr_Clear();
    return first_line(exc);
  }
  Ref caught;
  if (!catch_exception(&caught)) return Ref();
  return xlib && connect ? first_line(caught.get()) : first_line(exc);
}

}  // namespace

Ref display_problem() {
#if defined(__APPLE__) || defined(_WIN32)
  return Ref::borrow(Py_None);  // a desktop is always there
#else
  Ref display = environ_text("DISPLAY");
  if (!display) return display;
  if (display.get() == Py_None) return Ref::steal(PyUnicode_FromString("DISPLAY is not set"));
  if (g_settings.input_failure) {
    int same = PyObject_RichCompareBool(display.get(), g_settings.failed_display, Py_EQ);
    if (same < 0) return Ref();
    if (same) return Ref::borrow(g_settings.input_failure);
  }
  return Ref::borrow(Py_None);
#endif
}

Ref input_display_problem() {
  Ref backend = environ_text("PYNPUT_BACKEND");  // uinput, say, needs no display
  if (!backend || backend.get() != Py_None) return backend ? Ref::borrow(Py_None) : backend;
  return display_problem();
}

Ref take_input_failure() {
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_ModuleNotFoundError)) {  // pynput itself is missing
    Ref name = Ref::steal(PyObject_GetAttrString(exc.get(), "name"));
    if (!name) return name;
    if (PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "pynput") == 0) {
      PyErr_SetRaisedException(exc.release());
      return Ref();
    }
  }
  Ref reason = import_failure_reason(exc.get());
  Ref display = reason ? environ_text("DISPLAY") : Ref();
  if (!display) return display;
  Py_XSETREF(g_settings.input_failure, Py_NewRef(reason.get()));
  Py_XSETREF(g_settings.failed_display, display.release());
  return reason;
}

bool refuse_window(PyObject* problem) {
  PyErr_Format(PyExc_RuntimeError, kNoDisplay, problem);
  return false;
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
  if (!g_settings.windows && !(g_settings.windows = PyDict_New())) return false;
  Ref size = Ref::steal(PyTuple_Pack(2, w, h));
  return size && PyDict_SetItem(g_settings.windows, name, size.get()) == 0;
}

PyObject* headless_window_size(PyObject* name) {
  return g_settings.windows ? PyDict_GetItemWithError(g_settings.windows, name) : nullptr;
}

}  // namespace kv::window

namespace kv {

// Start-up step 5: from pynput import keyboard, mouse; None for both in a
// headless run, which needs no display, and None with one line on standard
// error where no display can be reached (init then refuses to open a window,
// see window::display_problem).
int input_startup(PyObject* m, bool headless) {
  if (!headless) {
    Ref problem = window::input_display_problem();
    if (!problem) return -1;
    if (problem.get() == Py_None) {
      Ref fromlist = Ref::steal(Py_BuildValue("[ss]", "keyboard", "mouse"));
      Ref pkg = fromlist ? Ref::steal(PyImport_ImportModuleLevel("pynput", nullptr, nullptr, fromlist.get(), 0)) : Ref();
      Ref keyboard = pkg ? Ref::steal(PyObject_GetAttrString(pkg.get(), "keyboard")) : Ref();
      Ref mouse = keyboard ? Ref::steal(PyObject_GetAttrString(pkg.get(), "mouse")) : Ref();
      if (mouse) {
        if (PyModule_AddObjectRef(m, "keyboard", keyboard.get()) < 0) return -1;
        return PyModule_AddObjectRef(m, "mouse", mouse.get());
      }
      if (!(problem = window::take_input_failure())) return -1;
    }
    Ref line = Ref::steal(
        PyUnicode_FromFormat("kelvracv: no display (%U), keyboard and mouse input off", problem.get()));
    // print(line, file=sys.stderr)
    Ref err = line ? global_attr(KV_ID(sys), KV_ID(stderr)) : Ref();
    if (!err || !call_global(KV_ID(print), {line.get(), err.get()}, KV_KW(file))) return -1;
  }
  if (PyModule_AddObjectRef(m, "keyboard", Py_None) < 0) return -1;
  return PyModule_AddObjectRef(m, "mouse", Py_None);
}

}  // namespace kv
