// The checks that let a drawing bypass cv2 (see native.hpp). Owns g_native
// (draw/state.hpp), whose OpenCV module and functions the start-up hook
// "native_drawing" takes. Main thread, interpreter lock held.

#include "draw/native.hpp"

#include <climits>
#include <cmath>
#include <cstring>

#include "core/bindings.hpp"
#include "core/captured.hpp"
#include "core/opencv.hpp"
#include "draw/state.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv::draw {
NativeState g_native;
}  // namespace kv::draw

namespace kv::draw::native {
namespace {

// ---- types -------------------------------------------------------------------

// OpenCV's function of each Fn.
constexpr opencv::Function kOpenCV[kFnCount] = {opencv::kLine, opencv::kRectangle, opencv::kPolylines,
                                                opencv::kFillPoly, opencv::kEllipse};

// ---- internal helpers ----------------------------------------------------------

// One colour channel as cv2 converts it: a number to a double, then
// saturate_cast<uchar>(cvRound(v)). Plain ints and finite floats only;
// false for anything else (cv2's own conversion decides).
bool channel(PyObject* o, uint8_t* out) {
  double v;
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (i == -1 && PyErr_Occurred()) || i < INT_MIN || i > INT_MAX) {
      PyErr_Clear();
      return false;
    }
    v = static_cast<double>(i);
  } else if (PyFloat_CheckExact(o)) {
    v = PyFloat_AS_DOUBLE(o);
    // NaN and infinities: OpenCV releases convert them differently.
    if (!std::isfinite(v)) return false;
  } else {
    return false;
  }
  int r = raster::cv_round(v);
  *out = static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
  return true;
}

// (B, G, R, 0) of an (R, G, B, ...) tuple. Tuples are immutable, so the
// colours of the last few tuples (kept alive in g_native) are reused while
// the same tuples come back, as they do frame after frame.

bool color_of(PyObject* color, raster::Color* out) {
  NativeState& n = g_native;
  for (int i = 0; i < n.kColours; i++)
    if (color == n.colour_tuples[i]) {
      *out = n.colours[i];
      return true;
    }
  if (!PyTuple_CheckExact(color) || PyTuple_GET_SIZE(color) < 3) return false;
  uint8_t bgr[3];
  for (int k = 0; k < 3; k++)
    if (!channel(PyTuple_GET_ITEM(color, 2 - k), &bgr[k])) return false;
  *out = raster::make_color(bgr[0], bgr[1], bgr[2]);
  if (PyTuple_GET_SIZE(color) == 3) {  // nothing else kept alive: three plain numbers
    const int i = n.next_colour;
    n.next_colour = (i + 1) % n.kColours;
    n.colours[i] = *out;
    Py_XSETREF(n.colour_tuples[i], Py_NewRef(color));
  }
  return true;
}

// A writable, C-contiguous uint8 array of shape (H, W, 3), H and W >= 1.
bool canvas_of(PyObject* arr, raster::Canvas* out) {
  if (!PyArray_CheckExact(arr)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  if (PyArray_NDIM(a) != 3 || PyArray_TYPE(a) != NPY_UBYTE || PyArray_DIM(a, 2) != 3) return false;
  if (!PyArray_ISCARRAY(a)) return false;  // C-contiguous, aligned and writeable
  npy_intp h = PyArray_DIM(a, 0), w = PyArray_DIM(a, 1);
  if (h < 1 || w < 1 || h > INT_MAX || w > INT_MAX) return false;
  out->data = static_cast<uint8_t*>(PyArray_DATA(a));
  out->height = static_cast<int>(h);
  out->width = static_cast<int>(w);
  out->step = static_cast<size_t>(PyArray_STRIDE(a, 0));
  return true;
}

// cv2.LINE_AA or cv2.LINE_4 as the module holds them now.
bool line_type_of(const detail::Cv2& cv2, bool aa, int* out) {
  Ref v = cv2.attr(aa ? KV_ID(LINE_AA) : KV_ID(LINE_4));
  if (!v || !PyLong_CheckExact(v.get())) {
    PyErr_Clear();
    return false;
  }
  long lt = PyLong_AsLong(v.get());
  if (lt == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (!raster::known_line_type(lt)) return false;
  *out = static_cast<int>(lt);
  return true;
}

// Start-up, after the OpenCV profile: its module and drawing functions when
// native drawing is on.
int capture_opencv(PyObject*) {
  if (!opencv::on(opencv::kNativeDrawing)) return 0;
  for (int i = 0; i < kFnCount; i++) g_native.fn[i] = opencv::function(kOpenCV[i]);
  g_native.cv2 = opencv::module();
  raster::ReleaseBehaviour behaviour;
  behaviour.since_4_13 = opencv::drawing_since_4_13();
  raster::set_release_behaviour(behaviour);
  return 0;
}

}  // namespace

// ---- public routines -------------------------------------------------------------

bool target_fixed(const detail::Cv2& cv2, PyObject* fn, Fn which, PyObject* arr, PyObject* color, int line_type,
                  Target* out) {
  if (!g_native.cv2 || cv2.get() != g_native.cv2 || fn != g_native.fn[which]) return false;
  out->line_type = line_type;
  return canvas_of(arr, &out->canvas) && color_of(color, &out->color);
}

bool target(const detail::Cv2& cv2, PyObject* fn, Fn which, PyObject* arr, PyObject* color, bool aa, Target* out) {
  if (!g_native.cv2 || cv2.get() != g_native.cv2 || fn != g_native.fn[which]) return false;
  return canvas_of(arr, &out->canvas) && color_of(color, &out->color) && line_type_of(cv2, aa, &out->line_type);
}

bool plain_target(Fn which, PyObject* arr, PyObject* color, bool aa, Target* out) {
  if (!g_native.cv2) return false;
  const Captured& c = captured();
  if (!c.cv2_own || !c.opencv[kOpenCV[which]] || !(aa ? c.line_aa_int : c.line_4_int)) return false;
  const long lt = aa ? c.line_aa : c.line_4;
  if (!raster::known_line_type(lt)) return false;
  out->line_type = static_cast<int>(lt);
  return canvas_of(arr, &out->canvas) && color_of(color, &out->color);
}

bool plain_target_fixed(Fn which, PyObject* arr, PyObject* color, int line_type, Target* out) {
  if (!g_native.cv2) return false;
  const Captured& c = captured();
  if (!c.cv2_own || !c.opencv[kOpenCV[which]]) return false;
  out->line_type = line_type;
  return canvas_of(arr, &out->canvas) && color_of(color, &out->color);
}

bool plain_names(Fn which, bool aa) {
  if (!g_native.cv2) return false;
  const Captured& c = captured();
  if (!c.cv2_own || !c.opencv[kOpenCV[which]]) return false;
  return which == kFillPoly || (aa ? c.line_aa_int : c.line_4_int);
}

double shape_pixels(const raster::Canvas& c, double x0, double y0, double x1, double y1, int thickness) {
  const double pad = thickness > 0 ? thickness : 1;
  const double l = std::fmax(std::fmin(x0, x1) - pad, 0.0), r = std::fmin(std::fmax(x0, x1) + pad, c.width);
  const double t = std::fmax(std::fmin(y0, y1) - pad, 0.0), b = std::fmin(std::fmax(y0, y1) + pad, c.height);
  if (!(l < r && t < b)) return 0.0;
  const double box = (r - l) * (b - t);
  return thickness < 0 ? box : std::fmin(box, 2.0 * ((r - l) + (b - t)) * pad);
}

bool coord(double v, int* out) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
  *out = static_cast<int>(v);
  return true;
}

bool thickness(PyObject* t, int lo, int* out) {
  if (!PyLong_CheckExact(t)) return false;
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(t, &overflow);
  if (overflow || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  if (v < lo || v > raster::kMaxThickness) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace kv::draw::native

namespace kv {
int native_drawing_startup(PyObject* m) { return draw::native::capture_opencv(m); }
}  // namespace kv
