// Helpers shared by the drawing primitives (see support.hpp). Holds the
// shared int objects of the usual pixel range and the objects kept from one
// cv2 call to the next. Main thread.

#include "draw/support.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/colors.hpp"
#include "draw/native.hpp"
#include "draw/state.hpp"
#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/messages.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv::draw::detail {
namespace {

constexpr double kExactIntLimit = 4503599627370496.0;  // 2**52: int sums stay exact in a double

// max(1, int(prod)) for a double product, as a Python int.
bool clamp_thickness(double prod, Ref* out) {
  if (prod > -2147483648.0 && prod < 2147483648.0) {
    long v = static_cast<long>(prod);
    *out = Ref::steal(PyLong_FromLong(v < 1 ? 1 : v));
    return static_cast<bool>(*out);
  }
  Ref big = Ref::steal(py_int(prod));  // ValueError for NaN, OverflowError for infinity
  if (!big) return false;
  *out = prod > 0 ? big : Ref::steal(PyLong_FromLong(1));
  return static_cast<bool>(*out);
}

// Python's `a op b` on two objects, then float().
bool object_op(PyObject* a, PyObject* b, char op, double* out) {
  Ref r = Ref::steal(op == '+' ? PyNumber_Add(a, b) : PyNumber_Subtract(a, b));
  return r && py_float(r.get(), out);
}

}  // namespace

// ---- thickness ---------------------------------------------------------------

bool screen_thickness(PyObject* ts, int thickness, Ref* out) {
  double size;
  if (!record_float(ts, KV_ID(size), &size)) return false;
  return clamp_thickness(thickness * size, out);
}

bool screen_thickness_of(int thickness, double size, Ref* out) { return clamp_thickness(thickness * size, out); }

bool screen_thickness_raw(PyObject* ts, int thickness, Ref* out) {
  Ref size = record_get(ts, KV_ID(size));
  if (!size) return false;
  if (PyFloat_CheckExact(size.get())) return clamp_thickness(thickness * PyFloat_AS_DOUBLE(size.get()), out);
  // int sizes and anything else: Python's own product and int().
  Ref th = Ref::steal(PyLong_FromLong(thickness));
  Ref prod = th ? Ref::steal(PyNumber_Multiply(th.get(), size.get())) : Ref();
  Ref n = prod ? Ref::steal(PyNumber_Long(prod.get())) : Ref();
  if (!n) return false;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return false;
  int gt = PyObject_RichCompareBool(n.get(), one.get(), Py_GT);
  if (gt < 0) return false;
  *out = gt ? n : one;
  return true;
}

// ---- pen ---------------------------------------------------------------------

Ref pen_of(PyObject* ts) {
  Ref pen = record_get(ts, KV_ID(cursor_pos));
  if (pen && !body_tuple(pen.get())) return Ref();
  return pen;
}

bool pen_and_mode(PyObject* ts, Ref* pen, bool* three_d) {
  *pen = pen_of(ts);
  if (*pen && kept_2d(ts)) {  // "is_3d" is False or None
    *three_d = false;
    return true;
  }
  Ref is3 = *pen ? record_get(ts, KV_ID(is_3d)) : Ref();
  int t = is3 ? truth(is3.get()) : -1;
  *three_d = t > 0;
  return t >= 0;
}

bool pen_coords(PyObject* pen, PenCoords* out) {
  out->x = Ref::steal(item(pen, 0));
  out->y = out->x ? Ref::steal(item(pen, 1)) : Ref();
  if (!out->y) return false;
  Py_ssize_t len = PyObject_Size(pen);
  if (len < 0) return false;
  out->z = len == 3 ? Ref::steal(item(pen, 2)) : Ref::steal(PyFloat_FromDouble(0.0));
  return static_cast<bool>(out->z);
}

// ---- numbers -----------------------------------------------------------------

bool fast_number_slow(PyObject* o, double* out) {
  if (PyLong_CheckExact(o) || PyBool_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (overflow) return false;
    double d = static_cast<double>(v);
    if (!(d > -kExactIntLimit && d < kExactIntLimit)) return false;
    *out = d;
    return true;
  }
  return false;
}

bool float_op(double lhs, PyObject* rhs, char op, double* out) {
  double r;
  if (fast_number(rhs, &r)) {
    *out = op == '+' ? lhs + r : lhs - r;
    return true;
  }
  Ref l = Ref::steal(PyFloat_FromDouble(lhs));
  return l && object_op(l.get(), rhs, op, out);
}

bool obj_add_float(PyObject* lhs, double rhs, double* out) {
  double l;
  if (fast_number(lhs, &l)) {
    *out = l + rhs;
    return true;
  }
  Ref r = Ref::steal(PyFloat_FromDouble(rhs));
  return r && object_op(lhs, r.get(), '+', out);
}

bool segment_count(double v, int floor, const char* shape, int* out) {
  if (std::isnan(v) || std::isinf(v)) {
    Ref err = Ref::steal(PyLong_FromDouble(v));  // int()'s own ValueError / OverflowError
    if (!err && PyErr_Occurred()) return false;
    PyErr_SetString(PyExc_SystemError, "kv::draw::segment_count: int() accepted a non-finite value");
    return false;
  }
  double t = std::trunc(v);
  if (t < floor) {
    *out = floor;
    return true;
  }
  if (t > 2147483647.0) {
    PyErr_SetString(PyExc_OverflowError, msg::kIntTooLarge);
    return false;
  }
  if (t > kMaxSegments) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "%s: %.0f segments exceed the limit of %d (radius or multiplier too large)",
                  shape, t, kMaxSegments);
    PyErr_SetString(PyExc_ValueError, msg);
    return false;
  }
  *out = static_cast<int>(t);
  return true;
}

bool check_outline_work(size_t n, PyObject* t) {
  int overflow = 0;
  long th = PyLong_Check(t) ? PyLong_AsLongAndOverflow(t, &overflow) : 1;
  if (th == -1 && PyErr_Occurred()) return false;
  if (overflow || th <= 1) return true;  // OpenCV refuses a thickness out of its range itself
  double work = static_cast<double>(n) * std::fmin(static_cast<double>(th), kThickCap);
  if (work <= kMaxOutlineWork) return true;
  char msg[200];
  std::snprintf(msg, sizeof msg,
                "polylines: %zu points at thickness %ld exceed the outline limit (points x thickness > %.0f)", n,
                th, kMaxOutlineWork);
  PyErr_SetString(PyExc_ValueError, msg);
  return false;
}

bool check_fill_reach(PyObject* arr, double x0, double x1, double y0, double y1, const char* what) {
  if (!(y0 < -kMaxFillReach)) return true;  // the common case: nothing far above
  if (!PyArray_Check(arr)) return true;     // OpenCV refuses it itself
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  if (PyArray_NDIM(a) < 2) return true;
  double h = static_cast<double>(PyArray_DIM(a, 0)), w = static_cast<double>(PyArray_DIM(a, 1));
  if (y1 < 0 || x1 < 0 || x0 >= w || y0 >= h) return true;  // off the canvas: OpenCV returns at once
  char msg[160];
  std::snprintf(msg, sizeof msg,
                "%s: a filled shape reaching %.0f pixels above the canvas is beyond the fill limit of %.0f pixels",
                what, -y0, kMaxFillReach);
  PyErr_SetString(PyExc_ValueError, msg);
  return false;
}

// ---- point arrays ------------------------------------------------------------

bool np_int32_error(double v) {
  if (std::isnan(v)) {
    PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
  } else if (std::isinf(v)) {
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
  } else if (v >= 9223372036854775808.0 || v < -9223372036854775808.0) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
  } else {
    PyErr_Format(PyExc_OverflowError, "Python integer %lld out of bounds for int32", static_cast<long long>(v));
  }
  return false;
}

Ref IntPoints::array() const {
  if (bad_) {
    np_int32_error(bad_value_);
    return Ref();
  }
  int* data = nullptr;
  Py_ssize_t n = static_cast<Py_ssize_t>(xy_.size() / 2);
  Ref a = Ref::steal(new_point_array(n, &data));
  if (a && n) std::memcpy(data, xy_.data(), xy_.size() * sizeof(int));
  return a;
}

bool IntPoints::bounds(double* x0, double* x1, double* y0, double* y1) const {
  size_t n = xy_.size() / 2;
  if (n == 0) return false;
  int lx = xy_[0], hx = xy_[0], ly = xy_[1], hy = xy_[1];
  for (size_t i = 1; i < n; i++) {
    int x = xy_[2 * i], y = xy_[2 * i + 1];
    lx = x < lx ? x : lx, hx = x > hx ? x : hx;
    ly = y < ly ? y : ly, hy = y > hy ? y : hy;
  }
  *x0 = lx, *x1 = hx, *y0 = ly, *y1 = hy;
  return true;
}

bool map_points(PointMapper& m, const double* pts, size_t from, size_t n, IntPoints* out, bool* all_visible) {
  // The plain 2-D view without a homography, straight into int pairs, up to
  // the first point that is out of the int32 range (or not finite): from
  // there on the general loop below decides.
  PointMapper::View2D v;
  if (from < n && m.plain_view(&v)) {
    size_t k = n - from;
    if (int* dst = out->begin_direct(k)) {
      const double* p = pts + 3 * from;
      size_t done = 0;
      for (; done < k; done++, p += 3) {
        geo::Vec2 s = geo::view_2d_cs(p[0], p[1], v.c, v.s, v.size, v.shx, v.shy);
        if (!(s.x > -2147483649.0 && s.x < 2147483648.0 && s.y > -2147483649.0 && s.y < 2147483648.0)) break;
        dst[2 * done] = static_cast<int>(s.x);
        dst[2 * done + 1] = static_cast<int>(s.y);
      }
      out->end_direct(k, done);
      from += done;
    }
  }
  *all_visible = true;
  for (size_t i = from; i < n; i++) {
    const double* p = pts + 3 * i;
    geo::Vec2 s;
    bool vis;
    if (!m.map(p[0], p[1], p[2], &vis, &s)) return false;
    out->push_visible(vis, s, all_visible);
  }
  return true;
}

namespace {

// int(v) for a screen coordinate. Pixel values repeat from call to call, so
// the int objects of the usual canvas range are made once and shared (ints
// are immutable); others are made fresh. The ints are kept in g_native.
PyObject* pixel_int(double v) {
  if (v > kPixelMin - 1 && v < kPixelMax) {
    int i = static_cast<int>(v);
    PyObject*& slot = g_native.pixels[i - kPixelMin];
    if (!slot) slot = PyLong_FromLong(i);
    return Py_XNewRef(slot);
  }
  return py_int(v);
}

}  // namespace

Ref int_point(double x, double y) {
  Ref px = Ref::steal(pixel_int(x));
  Ref py = px ? Ref::steal(pixel_int(y)) : Ref();
  Ref t = py ? Ref::steal(PyTuple_New(2)) : Ref();
  if (!t) return t;
  PyTuple_SET_ITEM(t.get(), 0, px.release());
  PyTuple_SET_ITEM(t.get(), 1, py.release());
  return t;
}

// ---- OpenCV ------------------------------------------------------------------

bool check_color(PyObject* color) { return body_tuple(color); }

bool end_args(const geo::Vec2& p1, const geo::Vec2& p2, PyObject* color, Ref* a, Ref* b, Ref* bgr) {
  *a = int_point(p1.x, p1.y);
  *b = *a ? int_point(p2.x, p2.y) : Ref();
  *bgr = *b ? bgr_of(color) : Ref();
  return static_cast<bool>(*bgr);
}

bool Cv2::load() {
  mod_ = global(KV_ID(cv2));
  return static_cast<bool>(mod_);
}

Ref Cv2::attr(PyObject* name) const { return attr_of(mod_.get(), name); }

Ref Cv2::function(PyObject* name) { return load() ? attr(name) : Ref(); }

Ref cv2_function(PyObject* name) { return Cv2().function(name); }

namespace {

// The line-type keyword dicts and the last colour's tuple are kept in
// g_native (see draw/state.hpp).
PyObject* line_type_kwargs(PyObject* lt) {
  for (int i = 0; i < 2; i++) {
    PyObject* kw = g_native.kw[i];
    if (kw && g_native.kw_lt[i] == lt && PyDict_GET_SIZE(kw) == 1 &&
        PyDict_GetItemWithError(kw, KV_ID(lineType)) == lt)
      return kw;
  }
  PyObject* kw = PyDict_New();
  if (!kw) return nullptr;
  if (PyDict_SetItem(kw, KV_ID(lineType), lt) < 0) {
    Py_DECREF(kw);
    return nullptr;
  }
  int i = g_native.next_kw;
  g_native.next_kw ^= 1;
  Py_XSETREF(g_native.kw_lt[i], Py_NewRef(lt));
  Py_XSETREF(g_native.kw[i], kw);
  return kw;
}

}  // namespace

namespace {

// fn(*args) or, with a line type, fn(*args, lineType=lt).
bool call_with(PyObject* fn, std::initializer_list<PyObject*> args, PyObject* lt) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  if (!tuple) return false;
  Py_ssize_t i = 0;
  for (PyObject* a : args) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(a));
  PyObject* kw = nullptr;
  if (lt && !(kw = line_type_kwargs(lt))) return false;
  Ref kwref = Ref::borrow(kw);  // alive for the call even if the cache moves on
  return static_cast<bool>(Ref::steal(PyObject_Call(fn, tuple.get(), kw)));
}

}  // namespace

bool call_draw(PyObject* fn, std::initializer_list<PyObject*> args) { return call_with(fn, args, nullptr); }

bool call_draw(const Cv2& cv2, PyObject* fn, std::initializer_list<PyObject*> args, bool aa) {
  Ref lt = line_type(aa, cv2.get());
  return lt && call_with(fn, args, lt.get());
}

namespace {

// A colour worth keeping: an exact 3-tuple of exact ints 0..255. Those ints
// are the interpreter's shared small ints, so the kept tuples hold nothing
// else alive (a longer tuple, or one of large items, could pin any amount).
bool small_color(PyObject* color) {
  if (!PyTuple_CheckExact(color) || PyTuple_GET_SIZE(color) != 3) return false;
  for (Py_ssize_t i = 0; i < 3; i++) {
    PyObject* c = PyTuple_GET_ITEM(color, i);
    if (!PyLong_CheckExact(c)) return false;
    long v = PyLong_AsLong(c);
    if (v < 0 || v > 255) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

}  // namespace

Ref bgr_of(PyObject* color) {
  if (color == g_native.color && g_native.bgr) return Ref::borrow(g_native.bgr);
  Ref bgr = Ref::steal(color_bgr(color));
  if (!bgr) return bgr;
  if (small_color(color)) {
    Py_XSETREF(g_native.color, Py_NewRef(color));
    Py_XSETREF(g_native.bgr, Py_NewRef(bgr.get()));
  }
  return bgr;
}

namespace {

// [array] for one contour.
Ref contour_list(const IntPoints& pts) {
  Ref a = pts.array();
  if (!a) return a;
  Ref list = Ref::steal(PyList_New(1));
  if (!list) return list;
  PyList_SET_ITEM(list.get(), 0, a.release());
  return list;
}

}  // namespace

bool polylines(PyObject* arr, const IntPoints& pts, bool closed, PyObject* color, PyObject* t, bool aa) {
  native::Target tg;
  int th;
  if (pts.ok() && pts.size() <= INT_MAX && native::thickness(t, 0, &th) &&
      native::plain_target(native::kPolylines, arr, color, aa, &tg)) {
    if (!check_outline_work(pts.size(), t)) return false;
    raster::polylines(tg.canvas, pts.data(), static_cast<int>(pts.size()), closed, tg.color, th, tg.line_type);
    return true;
  }
  Cv2 cv2;
  Ref fn = cv2.function(KV_ID(polylines));
  if (!fn) return false;
  if (pts.ok() && pts.size() <= INT_MAX && native::thickness(t, 0, &th) &&
      native::target(cv2, fn.get(), native::kPolylines, arr, color, aa, &tg)) {
    if (!check_outline_work(pts.size(), t)) return false;
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    if (!pts.bounds(&x0, &x1, &y0, &y1)) x1 = y1 = 0;
    native::draw_unlocked(arr, native::shape_pixels(tg.canvas, x0, y0, x1, y1, th), false, [&] {
      raster::polylines(tg.canvas, pts.data(), static_cast<int>(pts.size()), closed, tg.color, th, tg.line_type);
    });
    return true;
  }
  Ref list = contour_list(pts);
  if (!list || !check_outline_work(pts.size(), t)) return false;
  Ref bgr = bgr_of(color);
  if (!bgr) return false;
  return call_draw(cv2, fn.get(), {arr, list.get(), closed ? Py_True : Py_False, bgr.get(), t}, aa);
}

namespace {

// check_fill_reach for the converted points of a fill; the bounding box is
// taken only when the top row lies beyond the limit (the common case costs
// one pass over the rows).
bool points_reach(PyObject* arr, const IntPoints& pts) {
  size_t n = pts.ok() ? pts.size() : 0;
  const int* xy = pts.data();
  int top = INT_MAX;
  for (size_t i = 0; i < n; i++) top = xy[2 * i + 1] < top ? xy[2 * i + 1] : top;
  if (!(top < -kMaxFillReach)) return true;
  double x0, x1, y0, y1;
  return !pts.bounds(&x0, &x1, &y0, &y1) || check_fill_reach(arr, x0, x1, y0, y1, "fillPoly");
}

}  // namespace

bool fill_poly(PyObject* arr, const IntPoints& pts, PyObject* color) {
  native::Target tg;
  if (pts.ok() && pts.size() >= 1 && pts.size() <= INT_MAX &&
      native::plain_target_fixed(native::kFillPoly, arr, color, raster::kLine8, &tg)) {
    if (!points_reach(arr, pts)) return false;
    raster::fill_poly(tg.canvas, pts.data(), static_cast<int>(pts.size()), tg.color, tg.line_type);
    return true;
  }
  Cv2 cv2;
  Ref fn = cv2.function(KV_ID(fillPoly));
  if (!fn) return false;
  if (pts.ok() && pts.size() >= 1 && pts.size() <= INT_MAX &&
      native::target_fixed(cv2, fn.get(), native::kFillPoly, arr, color, raster::kLine8, &tg)) {
    if (!points_reach(arr, pts)) return false;
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    if (!pts.bounds(&x0, &x1, &y0, &y1)) x1 = y1 = 0;
    native::draw_unlocked(arr, native::shape_pixels(tg.canvas, x0, y0, x1, y1, -1), true, [&] {
      raster::fill_poly(tg.canvas, pts.data(), static_cast<int>(pts.size()), tg.color, tg.line_type);
    });
    return true;
  }
  Ref list = contour_list(pts);
  if (!list) return false;
  // cv2.fillPoly fills an array of four or more dimensions before it finds
  // out that it cannot, writing outside the array's memory: refuse it here
  // (OpenCV's other drawing functions raise cv2.error for such an array).
  if (PyArray_Check(arr) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr)) > 3) {
    PyErr_Format(PyExc_ValueError, "fillPoly: arr must have two or three dimensions, got %d",
                 PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr)));
    return false;
  }
  if (!points_reach(arr, pts)) return false;
  Ref bgr = bgr_of(color);
  return bgr && call_draw(fn.get(), {arr, list.get(), bgr.get()});
}

bool closed_shape(PyObject* arr, const IntPoints& pts, bool fill, PyObject* color, PyObject* t, bool aa) {
  if (fill) return fill_poly(arr, pts, color);
  return polylines(arr, pts, true, color, t, aa);
}

}  // namespace kv::draw::detail
