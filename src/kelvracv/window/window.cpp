// The OpenCV window: window descriptions, the image-area size query and init,
// which names and sizes the window, makes the canvas and the first record and,
// once per process, starts the pynput listeners (kept as attributes of the
// `init` function object); a headless init makes neither window nor
// listener, and without a display init refuses with a RuntimeError. It remembers the window init made and the size of the canvas it
// shows, so a desktop pointer position maps onto the canvas. Main thread,
// interpreter lock held.

#include "core/colors.hpp"
#include "core/switches.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

// ---- internal helpers ------------------------------------------------------

// ((600, 400), "Kelvra Window").
PyObject* default_window() { return KV_CONST(default_window_info); }

// Builds the first transform-state record for a W x H canvas.
PyObject* first_record(PyObject* w, PyObject* h) {
  Ref two = Ref::steal(PyLong_FromLong(2));
  if (!two) return nullptr;
  Ref sx = Ref::steal(PyNumber_TrueDivide(w, two.get()));
  if (!sx) return nullptr;
  Ref sy = Ref::steal(PyNumber_TrueDivide(h, two.get()));
  if (!sy) return nullptr;
  Ref ts = Ref::steal(PyDict_New());
  Ref rot = Ref::steal(PyFloat_FromDouble(0.0));
  Ref size = Ref::steal(PyFloat_FromDouble(1.0));
  Ref shift = Ref::steal(PyTuple_Pack(2, sx.get(), sy.get()));
  Ref cursor = Ref::steal(Py_BuildValue("(dd)", 0.0, 0.0));
  Ref cam_pos = Ref::steal(Py_BuildValue("(ddd)", 0.0, 0.0, -10.0));
  Ref cam_rot = Ref::steal(Py_BuildValue("(ddd)", 0.0, 0.0, 0.0));
  if (!ts || !rot || !size || !shift || !cursor || !cam_pos || !cam_rot) return nullptr;
  const std::pair<PyObject*, PyObject*> items[] = {
      {KV_ID(rot), rot.get()},
      {KV_ID(size), size.get()},
      {KV_ID(shift), shift.get()},
      {KV_ID(cursor_pos), cursor.get()},
      {KV_ID(full_transform), Py_None},
      {KV_ID(full_transform_inv), Py_None},
      {KV_ID(cam_pos_3d), cam_pos.get()},
      {KV_ID(cam_rot_3d), cam_rot.get()},
      {KV_ID(is_3d), Py_False},
  };
  for (const auto& [key, value] : items)
    if (PyDict_SetItem(ts.get(), key, value) < 0) return nullptr;
  return ts.release();
}

// module.Listener(**callbacks) for pynput's keyboard or mouse, the callbacks
// being the module globals of those names as bound now.
Ref make_listener(PyObject* source, std::initializer_list<const char*> callbacks) {
  Ref cls = global_attr(source, KV_ID(Listener));
  if (!cls) return cls;
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return kwargs;
  for (const char* name : callbacks) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return key;
    Ref fn = global(key.get());
    if (!fn || PyDict_SetItem(kwargs.get(), key.get(), fn.get()) < 0) return Ref();
  }
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return args;
  return Ref::steal(PyObject_Call(cls.get(), args.get(), kwargs.get()));
}

// Sets an attribute of the module global `init` (looked up now).
bool set_init_attr(PyObject* attr, PyObject* value) {
  Ref fn = global(KV_ID(init));
  return fn && PyObject_SetAttr(fn.get(), attr, value) == 0;
}

// The body of the listener start: false with the exception left set.
bool start_listeners() {
  Ref klistener = make_listener(KV_ID(keyboard), {"on_press", "on_release"});
  if (!klistener) return false;
  Ref mlistener = make_listener(KV_ID(mouse), {"on_move", "on_click", "on_scroll"});
  if (!mlistener) return false;
  for (PyObject* listener : {klistener.get(), mlistener.get()}) {
    if (PyObject_SetAttr(listener, KV_ID(daemon), Py_True) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      PyErr_Clear();  // a listener that refuses the flag still works
    }
  }
  for (PyObject* listener : {klistener.get(), mlistener.get()}) {
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(listener, KV_ID(start)));
    if (!r) return false;
  }
  return set_init_attr(KV_ID(_kbd_listener), klistener.get()) &&
         set_init_attr(KV_ID(_mouse_listener), mlistener.get());
}

// Starts the keyboard and mouse listeners unless an earlier init tried.
// Failures end in one warning line; the attempt is never repeated.
bool start_listeners_once() {
  Ref fn = global(KV_ID(init));
  if (!fn) return false;
  int tried = PyObject_HasAttrWithError(fn.get(), KV_ID(listeners_started));
  if (tried < 0) return false;
  if (tried) return true;
  if (!start_listeners() && !report_exception({KV_ID(s_Warning_failed_to_start_input_listeners)})) return false;
  return set_init_attr(KV_ID(listeners_started), Py_True);
}

// init without a window: the canvas and the record as usual, no window and
// no listener; the window queries answer with this canvas's size.
PyObject* init_headless(PyObject* name, PyObject* w, PyObject* h, PyObject* bg_color) {
  Ref bgr = Ref::steal(color_bgr_checked(bg_color));
  if (!bgr) return nullptr;
  Ref canvas = full_canvas(h, w, bgr.get());
  if (!canvas) return nullptr;
  if (PyUnicode_Check(name) && !remember_window(name, w, h)) return nullptr;
  Ref ts = Ref::steal(first_record(w, h));
  if (!ts) return nullptr;
  return PyTuple_Pack(2, canvas.get(), ts.get());
}

}  // namespace

// ---- shared helpers ----------------------------------------------------------

bool unpack(PyObject* o, Ref* out, Py_ssize_t n) { return kv::unpack(o, out, n, Unpack::kCompiled); }

Ref full_canvas(PyObject* h, PyObject* w, PyObject* fill) {
  Ref full = global_attr(KV_ID(np), KV_ID(full));
  if (!full) return full;
  Ref three = Ref::steal(PyLong_FromLong(3));
  if (!three) return three;
  Ref shape = Ref::steal(PyTuple_Pack(3, h, w, three.get()));
  if (!shape) return shape;
  Ref uint8 = global_attr(KV_ID(np), KV_ID(uint8));
  if (!uint8) return uint8;
  return call(full.get(), {shape.get(), fill, uint8.get()}, KV_KW(dtype));
}

Ref format(PyObject* o, const char* fmt) {
  Ref s = Ref::steal(PyUnicode_FromString(fmt));
  if (!s) return s;
  return Ref::steal(PyObject_Format(o, s.get()));
}

// ---- the shown window ----------------------------------------------------------

namespace {

// The window made by the last init and the size of the canvas it shows. The
// name is a strong reference kept for the life of the process; touched only
// with the interpreter lock held.
struct ShownWindowState {
  PyObject* name = nullptr;
  double width = 0, height = 0;
};
ShownWindowState g_shown;

// float(o[i]) of a rect item; false with the exception left set.
bool rect_item(PyObject* rect, Py_ssize_t i, double* out) {
  Ref v = Ref::steal(item(rect, i));
  return v && py_float(v.get(), out);
}

}  // namespace

void note_window(PyObject* name, PyObject* canvas) {
  if (name != g_shown.name) {
    Py_XSETREF(g_shown.name, Py_NewRef(name));
    g_shown.width = g_shown.height = 0;
  }
  if (!PyArray_Check(canvas)) return;
  auto* img = reinterpret_cast<PyArrayObject*>(canvas);
  if (PyArray_NDIM(img) < 2) return;
  g_shown.height = static_cast<double>(PyArray_DIM(img, 0));
  g_shown.width = static_cast<double>(PyArray_DIM(img, 1));
}

bool desktop_to_canvas(double* x, double* y, bool* mapped) {
  *mapped = false;
  if (!g_shown.name || !(g_shown.width > 0 && g_shown.height > 0)) return true;
  // No window in a headless run: a position set there (by the program, or by
  // the web page, which sends canvas pixels) is used as it is.
  int no_window = headless();
  if (no_window) return no_window > 0;
  Ref name = Ref::borrow(g_shown.name);  // the query may run code that makes a new window
  double canvas_w = g_shown.width, canvas_h = g_shown.height;
  // A name that does not encode to UTF-8 would crash OpenCV's conversion.
  bool utf8 = !PyUnicode_Check(name.get()) || PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  Ref rect_of = utf8 ? global_attr(KV_ID(cv2), KV_ID(getWindowImageRect)) : Ref();
  Ref rect = rect_of ? call(rect_of.get(), {name.get()}) : Ref();
  double r[4];
  bool ok = rect && rect_item(rect.get(), 0, &r[0]) && rect_item(rect.get(), 1, &r[1]) &&
            rect_item(rect.get(), 2, &r[2]) && rect_item(rect.get(), 3, &r[3]);
  if (!ok) {
    // A window that is gone or a query that is not answered: the desktop
    // position is used as it is.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
  }
  if (!(r[2] > 0 && r[3] > 0)) return true;  // no image area (closed or minimised)
  *x = (*x - r[0]) * (canvas_w / r[2]);
  *y = (*y - r[1]) * (canvas_h / r[3]);
  *mapped = true;
  return true;
}

// ---- window descriptions and queries -----------------------------------------

PyObject* get_win_props(PyObject* wi) {
  if (PyTuple_Check(wi)) {
    Py_ssize_t n = PyObject_Size(wi);
    if (n < 0) return nullptr;
    if (n == 2) return Py_NewRef(wi);
  }
  return Py_XNewRef(default_window());
}

PyObject* convert_win_info(PyObject* wi) {
  Ref props = call_global(KV_ID(_get_win_props), {wi});
  if (!props) return nullptr;
  return item(props.get(), 1);
}

PyObject* get_window_size(PyObject* name) {
  // A headless window's image area is the canvas init made for it.
  int no_window = headless();
  if (no_window < 0) return nullptr;
  if (no_window) {
    PyObject* size = headless_window_size(name);
    if (size) return Py_NewRef(size);
    if (PyErr_Occurred()) return nullptr;
  }
  // A name that does not encode to UTF-8 would crash OpenCV's conversion.
  if (!PyUnicode_AsUTF8AndSize(name, nullptr)) return nullptr;
  Ref rect_of = global_attr(KV_ID(cv2), KV_ID(getWindowImageRect));
  if (!rect_of) return nullptr;
  Ref rect = call(rect_of.get(), {name});
  if (!rect) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref w = Ref::steal(item(rect.get(), 2));
  if (!zero || !w) return nullptr;
  int ok = PyObject_RichCompareBool(w.get(), zero.get(), Py_GT);
  if (ok < 0) return nullptr;
  if (ok) {
    Ref h = Ref::steal(item(rect.get(), 3));
    if (!h) return nullptr;
    if ((ok = PyObject_RichCompareBool(h.get(), zero.get(), Py_GT)) < 0) return nullptr;
    if (ok) return PyTuple_Pack(2, w.get(), h.get());
  }
  return Py_BuildValue("(ii)", -1, -1);
}

// ---- init --------------------------------------------------------------------

PyObject* init(PyObject* window_info, PyObject* bg_color) {
  // (W, H), w_name = _get_win_props(window_info)
  Ref props = call_global(KV_ID(_get_win_props), {window_info});
  if (!props) return nullptr;
  Ref size_name[2], wh[2];
  if (!unpack(props.get(), size_name, 2) || !unpack(size_name[0].get(), wh, 2)) return nullptr;
  PyObject* name = size_name[1].get();
  PyObject* w = wh[0].get();
  PyObject* h = wh[1].get();
  int no_window = headless();
  if (no_window < 0) return nullptr;
  if (no_window) return init_headless(name, w, h, bg_color);
  // Without a display OpenCV's GUI toolkit would abort the process.
  Ref problem = display_problem();
  if (!problem || (problem.get() != Py_None && !refuse_window(problem.get()))) return nullptr;

  // A resizable window that keeps the image's aspect ratio; OpenCV reuses
  // an existing window of the same name.
  Ref normal = global_attr(KV_ID(cv2), KV_ID(WINDOW_NORMAL));
  if (!normal) return nullptr;
  Ref keep = global_attr(KV_ID(cv2), KV_ID(WINDOW_KEEPRATIO));
  if (!keep) return nullptr;
  Ref flags = Ref::steal(PyNumber_Or(normal.get(), keep.get()));
  if (!flags) return nullptr;
  // A name that does not encode to UTF-8 would crash OpenCV's conversion.
  if (PyUnicode_Check(name) && !PyUnicode_AsUTF8AndSize(name, nullptr)) return nullptr;
  Ref named = global_attr(KV_ID(cv2), KV_ID(namedWindow));
  if (!named || !call(named.get(), {name, flags.get()})) return nullptr;
  Ref resize = global_attr(KV_ID(cv2), KV_ID(resizeWindow));
  if (!resize || !call(resize.get(), {name, w, h})) return nullptr;

  Ref bgr = Ref::steal(color_bgr_checked(bg_color));
  if (!bgr) return nullptr;
  Ref canvas = full_canvas(h, w, bgr.get());
  if (!canvas) return nullptr;

  if (!start_listeners_once()) return nullptr;

  Ref ts = Ref::steal(first_record(w, h));
  if (!ts) return nullptr;
  note_window(name, canvas.get());
  return PyTuple_Pack(2, canvas.get(), ts.get());
}

}  // namespace kv::window
