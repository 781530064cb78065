// clear, line, rect and poly: the straight-edged primitives.
// poly builds its vertex chain on doubles when the pen and the displacements
// are plain floats and ints (the common case) and falls back to Python's own
// tuple arithmetic otherwise, so both give what add_tuples would.
// Main thread, interpreter lock held.

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/colors.hpp"
#include "draw/draw.hpp"
#include "draw/native.hpp"
#include "draw/support.hpp"
#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv::draw {
namespace {

using detail::check_color;

// ---- types -------------------------------------------------------------------

// The displacements of poly: a Python tuple of tuples, or (dx, dy) doubles.
struct Steps {
  PyObject* ds;       // nullptr when xy is used
  const double* xy;   // 2 * n numbers
  Py_ssize_t n;
};

// World points, three numbers each.
using PointBuffer = Buffer<double, 384>;

// ---- internal helpers ----------------------------------------------------------

// A fast coordinate: a float, or a small int remembered as such.
inline bool fast_coord(PyObject* o, double* v, bool* is_int) {
  if (PyFloat_CheckExact(o)) {
    *v = PyFloat_AS_DOUBLE(o);
    *is_int = false;
    return true;
  }
  *is_int = true;
  return detail::fast_number_slow(o, v);
}

// The displacement tuples and their numbers are scattered over the heap: ask
// for the tuple eight steps ahead and for the numbers of the one four ahead,
// so that the loop does not wait on memory at every step.
inline __attribute__((always_inline)) void prefetch_step(PyObject* ds, Py_ssize_t i) {
  Py_ssize_t n = PyTuple_GET_SIZE(ds);
  if (i + 8 < n) __builtin_prefetch(PyTuple_GET_ITEM(ds, i + 8));
  if (i + 4 < n) {
    PyObject* d = PyTuple_GET_ITEM(ds, i + 4);
    if (PyTuple_CheckExact(d) && PyTuple_GET_SIZE(d) >= 2) {
      __builtin_prefetch(PyTuple_GET_ITEM(d, 0));
      __builtin_prefetch(PyTuple_GET_ITEM(d, 1));
    }
  }
}

// The last vertex of a chain being built on doubles: its coordinates (z is
// 0.0 for a pair), which of them are exact ints, and its length (2 or 3).
struct ChainPen {
  double c[3] = {0.0, 0.0, 0.0};
  bool ci[3] = {false, false, false};
  int n = 2;
  bool float_pair() const { return n == 2 && !ci[0] && !ci[1]; }
};

// Step i when it is a pair of floats (the common case): its two numbers.
inline __attribute__((always_inline)) bool float_step(const Steps& st, Py_ssize_t i, double* dx, double* dy) {
  if (!st.ds) {
    *dx = st.xy[2 * i];
    *dy = st.xy[2 * i + 1];
    return true;
  }
  PyObject* t = PyTuple_GET_ITEM(st.ds, i);
  if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 2) return false;
  PyObject* a = PyTuple_GET_ITEM(t, 0);
  PyObject* b = PyTuple_GET_ITEM(t, 1);
  if (!PyFloat_CheckExact(a) || !PyFloat_CheckExact(b)) return false;
  *dx = PyFloat_AS_DOUBLE(a);
  *dy = PyFloat_AS_DOUBLE(b);
  return true;
}

// Step i by the add_tuples rule in general: the step padded with 0.0 to the
// pen's length, a sum of three only when both have three, ints kept exact
// while they stay below 2**52. False outside the fast domain.
__attribute__((noinline)) bool general_step(const Steps& st, Py_ssize_t i, ChainPen* p) {
  double d[3] = {0.0, 0.0, 0.0};
  bool di[3] = {false, false, false};
  Py_ssize_t k = 2;
  if (st.ds) {
    PyObject* t = PyTuple_GET_ITEM(st.ds, i);
    if (!PyTuple_CheckExact(t)) return false;
    k = PyTuple_GET_SIZE(t);
    int used = k < 3 ? static_cast<int>(k) : 3;
    for (int j = 0; j < used; j++)
      if (!fast_coord(PyTuple_GET_ITEM(t, j), &d[j], &di[j])) return false;
  } else {
    d[0] = st.xy[2 * i];
    d[1] = st.xy[2 * i + 1];
  }
  Py_ssize_t padded = k > p->n ? k : p->n;
  int m = (p->n == 3 && padded == 3) ? 3 : 2;
  for (int j = 0; j < m; j++) {
    bool both_int = p->ci[j] && di[j];
    p->c[j] = p->c[j] + d[j];
    if (both_int && !(p->c[j] > -4503599627370496.0 && p->c[j] < 4503599627370496.0)) return false;
    p->ci[j] = both_int;
  }
  if (m == 2) p->c[2] = 0.0, p->ci[2] = false;
  p->n = m;
  return true;
}

// The steps of the chain after the pen *p, written from o + 3 on: the tuple
// steps of st.ds (kTuples) or the number pairs of st.xy. The pen stays in
// registers while the steps are float pairs added to a float pair.
template <bool kTuples>
bool chain_steps(const Steps& st, ChainPen* p, double* o) {
  double x = p->c[0], y = p->c[1], z = p->c[2];
  bool floats = p->float_pair();
  for (Py_ssize_t i = 0; i < st.n; i++) {
    if (kTuples) prefetch_step(st.ds, i);
    double dx, dy;
    if (floats && float_step(st, i, &dx, &dy)) {
      x = x + dx;
      y = y + dy;
    } else {
      p->c[0] = x, p->c[1] = y;
      if (!general_step(st, i, p)) return false;
      x = p->c[0], y = p->c[1], z = p->c[2];
      floats = p->float_pair();
    }
    o += 3;
    o[0] = x, o[1] = y, o[2] = z;  // z is 0.0 while the pen is a pair
  }
  return true;
}

// The whole vertex chain on doubles, three numbers per vertex in *pts (z is
// 0.0 for a two-coordinate vertex, as the mapping takes it). Each step is
// prev + (d padded with 0.0 to len(prev)) by the add_tuples rule, with ints
// kept exact as Python keeps them. False (no exception) when any value is
// outside this fast domain, in which case nothing observable has happened.
bool chain_fast(PyObject* cur, const Steps& st, PointBuffer* pts) {
  if (!PyTuple_CheckExact(cur) || (st.ds && !PyTuple_CheckExact(st.ds))) return false;
  ChainPen p;
  p.n = static_cast<int>(PyTuple_GET_SIZE(cur));
  if (p.n != 2 && p.n != 3) return false;
  for (int j = 0; j < p.n; j++)
    if (!fast_coord(PyTuple_GET_ITEM(cur, j), &p.c[j], &p.ci[j])) return false;
  pts->resize_for_overwrite(3 * (static_cast<size_t>(st.n) + 1));
  double* o = pts->data();
  o[0] = p.c[0], o[1] = p.c[1], o[2] = p.c[2];
  return st.ds ? chain_steps<true>(st, &p, o) : chain_steps<false>(st, &p, o);
}

// add_tuples(t1, t2), made directly when t1 holds floats and t2 floats or
// small ints in the places it adds (a float sum is all Python makes of
// them then); *plain tells that
// e[] holds the sums (z 0.0 for a pair). Anything else goes to add_tuples.
Ref add_floats(PyObject* t1, PyObject* t2, double* e, bool* plain) {
  *plain = false;
  if (PyTuple_CheckExact(t1) && PyTuple_CheckExact(t2)) {
    Py_ssize_t n1 = PyTuple_GET_SIZE(t1), n2 = PyTuple_GET_SIZE(t2);
    int n = (n1 == 3 && n2 == 3) ? 3 : 2;
    bool ok = n1 >= 2 && n2 >= 2 && (n1 == 2 || n == 3);
    double b[3];
    for (int i = 0; ok && i < n; i++)
      ok = PyFloat_CheckExact(PyTuple_GET_ITEM(t1, i)) && detail::fast_number(PyTuple_GET_ITEM(t2, i), &b[i]);
    if (ok) {
      Ref out = Ref::steal(PyTuple_New(n));
      if (!out) return out;
      e[2] = 0.0;
      for (int i = 0; i < n; i++) {
        e[i] = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(t1, i)) + b[i];
        PyObject* f = PyFloat_FromDouble(e[i]);
        if (!f) return Ref();
        PyTuple_SET_ITEM(out.get(), i, f);
      }
      *plain = true;
      return out;
    }
  }
  return Ref::steal(add_tuples(t1, t2));
}

// The vertex chain with Python objects: each displacement must be a tuple,
// each previous vertex too, and add_tuples does the sums.
bool chain_objects(PyObject* cur, const Steps& st, std::vector<Ref>* v) {
  v->push_back(Ref::borrow(cur));
  Ref seq;
  if (st.ds) {
    Ref it = Ref::steal(PyObject_GetIter(st.ds));  // "'NoneType' object is not iterable"
    seq = it ? Ref::steal(PySequence_List(it.get())) : Ref();
    if (!seq) return false;
  }
  Py_ssize_t n = seq ? PyList_GET_SIZE(seq.get()) : st.n;
  for (Py_ssize_t i = 0; i < n; i++) {
    Ref d;
    if (seq) {
      d = Ref::borrow(PyList_GET_ITEM(seq.get(), i));
    } else {
      double xy[2] = {st.xy[2 * i], st.xy[2 * i + 1]};
      d = Ref::steal(float_tuple(xy, 2));
      if (!d) return false;
    }
    if (!body_tuple(d.get())) return false;
    PyObject* prev = v->back().get();
    if (!body_tuple(prev)) return false;
    Py_ssize_t np = PyObject_Size(prev);
    if (np < 0) return false;
    Ref off = pad_offset(d.get(), np);
    if (!off) return false;
    Ref next = Ref::steal(add_tuples(prev, off.get()));
    if (!next) return false;
    v->push_back(next);
  }
  return true;
}

// The opening of line and poly: the colour check, the screen thickness and
// the pen ts["cursor_pos"] (as it is: each checks it in its own order).
bool open_shape(PyObject* ts, PyObject* color, int thickness, Ref* t, Ref* cur) {
  if (!check_color(color) || !detail::screen_thickness(ts, thickness, t)) return false;
  *cur = record_get(ts, KV_ID(cursor_pos));
  return static_cast<bool>(*cur);
}

// Maps the vertex objects one by one (the general path).
bool map_objects(PointMapper& m, const std::vector<Ref>& v, detail::IntPoints* out, bool* all_visible) {
  *all_visible = true;
  for (const Ref& p : v) {
    geo::Vec2 s;
    bool vis;
    if (!m.map_obj(p.get(), &vis, &s)) return false;
    out->push_visible(vis, s, all_visible);
  }
  return true;
}

bool poly_core(PyObject* arr, PyObject* ts, const Steps& st, PyObject* color, int thickness, bool fill, bool aa) {
  Ref t, cur;
  if (!open_shape(ts, color, thickness, &t, &cur)) return false;
  detail::IntPoints screen;
  bool visible = false;
  PointMapper mapper;
  PointBuffer pts;
  if (chain_fast(cur.get(), st, &pts)) {
    // The cursor object itself goes first, so the record is read in order.
    size_t n = pts.size() / 3;
    screen.reserve(n);
    geo::Vec2 s0;
    bool v0, rest;
    if (!mapper.begin(ts) || !mapper.map_obj(cur.get(), &v0, &s0)) return false;
    if (v0) screen.push(s0.x, s0.y);
    if (!detail::map_points(mapper, pts.data(), 1, n, &screen, &rest)) return false;
    visible = v0 && rest;
  } else {
    std::vector<Ref> objs;
    if (!chain_objects(cur.get(), st, &objs)) return false;
    screen.reserve(objs.size());
    if (!mapper.begin(ts) || !map_objects(mapper, objs, &screen, &visible)) return false;
  }
  if (!visible) return true;  // a vertex behind the camera: the shape is skipped
  return detail::closed_shape(arr, screen, fill, color, t.get(), aa);
}

// rect in 3-D mode: the four corners in the plane of the pen, outlined or
// filled, skipped when a corner is behind the camera.
bool rect_3d(PyObject* arr, PyObject* ts, PyObject* cp, double w, double h, PyObject* color, PyObject* t, bool fill,
             bool aa) {
  double z = 0.0;
  Py_ssize_t n = PyObject_Size(cp);
  if (n < 0) return false;
  if (n == 3) {
    Ref c2 = Ref::steal(item(cp, 2));
    if (!c2 || !py_float(c2.get(), &z)) return false;
  }
  // Corners: cp, (cp0 + w, cp1, z), (cp0 + w, cp1 + h, z), (cp0, cp1 + h, z).
  // cp0 + w and cp1 + h are evaluated twice each, deliberately: the corner
  // list evaluates each sum once per corner that holds it, and a float
  // subclass can count the calls of its __add__. The mapping takes the
  // second results.
  double xw, yh;
  Ref c0 = Ref::steal(item(cp, 0));
  Ref c1 = c0 ? Ref::steal(item(cp, 1)) : Ref();
  if (!c1 || !detail::obj_add_float(c0.get(), w, &xw) || !detail::obj_add_float(c0.get(), w, &xw) ||
      !detail::obj_add_float(c1.get(), h, &yh) || !detail::obj_add_float(c1.get(), h, &yh))
    return false;
  PointMapper mapper;
  geo::Vec2 s[4];
  bool v[4];
  if (!mapper.begin(ts) || !mapper.map_obj(cp, &v[0], &s[0])) return false;
  double x0, y0;  // cp's own coordinates, as the mapping converted them
  if (!py_float(c0.get(), &x0) || !py_float(c1.get(), &y0)) return false;
  if (!mapper.map(xw, y0, z, &v[1], &s[1]) || !mapper.map(xw, yh, z, &v[2], &s[2]) ||
      !mapper.map(x0, yh, z, &v[3], &s[3]))
    return false;
  if (!(v[0] && v[1] && v[2] && v[3])) return true;
  detail::IntPoints corners;
  for (const geo::Vec2& p : s) corners.push(p.x, p.y);
  return detail::closed_shape(arr, corners, fill, color, t, aa);
}

// rect's fill limit for the corners p1, p2 as OpenCV gets them (int()).
bool rect_reach(PyObject* arr, const geo::Vec2& p1, const geo::Vec2& p2) {
  double x1 = std::trunc(p1.x), y1 = std::trunc(p1.y), x2 = std::trunc(p2.x), y2 = std::trunc(p2.y);
  return detail::check_fill_reach(arr, std::fmin(x1, x2), std::fmax(x1, x2), std::fmin(y1, y2), std::fmax(y1, y2),
                                  "rect");
}

// rect in 2-D mode: only the two opposite corners are mapped, and the
// rectangle stays axis-aligned on the screen.
bool rect_2d(PyObject* arr, PyObject* ts, PyObject* cp, double w, double h, PyObject* color, PyObject* t, bool fill,
             bool aa) {
  PointMapper mapper;
  geo::Vec2 p1, p2;
  bool v1, v2;
  if (!mapper.begin(ts) || !mapper.map_obj(cp, &v1, &p1)) return false;
  Ref c0 = Ref::steal(item(cp, 0));
  Ref c1 = c0 ? Ref::steal(item(cp, 1)) : Ref();
  double xw, yh;
  if (!c1 || !detail::obj_add_float(c0.get(), w, &xw) || !detail::obj_add_float(c1.get(), h, &yh)) return false;
  if (!mapper.begin(ts) || !mapper.map(xw, yh, 0.0, &v2, &p2)) return false;
  if (!v1 || !v2) return true;
  native::Target tg;
  int xy[4], nth = -1;
  if (native::ends(p1, p2, xy) && (fill || native::thickness(t, 1, &nth)) &&
      native::plain_target(native::kRectangle, arr, color, aa, &tg)) {
    if (fill && !rect_reach(arr, p1, p2)) return false;
    raster::rectangle(tg.canvas, xy[0], xy[1], xy[2], xy[3], tg.color, nth, tg.line_type);
    return true;
  }
  detail::Cv2 cv2;
  Ref fn = cv2.function(KV_ID(rectangle));
  if (!fn) return false;
  if (native::ends(p1, p2, xy) && (fill || native::thickness(t, 1, &nth)) &&
      native::target(cv2, fn.get(), native::kRectangle, arr, color, aa, &tg)) {
    if (fill && !rect_reach(arr, p1, p2)) return false;
    native::draw_unlocked(arr, native::shape_pixels(tg.canvas, xy[0], xy[1], xy[2], xy[3], fill ? -1 : nth), fill, [&] {
      raster::rectangle(tg.canvas, xy[0], xy[1], xy[2], xy[3], tg.color, nth, tg.line_type);
    });
    return true;
  }
  Ref a, b, bgr;
  if (!detail::end_args(p1, p2, color, &a, &b, &bgr)) return false;
  Ref th = fill ? Ref::steal(PyLong_FromLong(-1)) : Ref::borrow(t);
  if (!th || (fill && !rect_reach(arr, p1, p2))) return false;
  return detail::call_draw(cv2, fn.get(), {arr, a.get(), b.get(), bgr.get(), th.get()}, aa);
}

}  // namespace

// ---- public routines -------------------------------------------------------------

bool clear(PyObject* arr, PyObject* ts, PyObject* color) {
  (void)ts;  // not read
  if (!check_color(color)) return false;
  int w, h;
  if (PyArray_Check(arr) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr)) >= 2) {
    auto* a = reinterpret_cast<PyArrayObject*>(arr);
    npy_intp dw = PyArray_DIM(a, 1), dh = PyArray_DIM(a, 0);
    if (dw > INT_MAX || dh > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
    w = static_cast<int>(dw);
    h = static_cast<int>(dh);
  } else {
    Ref shape = Ref::steal(PyObject_GetAttr(arr, KV_ID(shape)));
    Ref sw = shape ? Ref::steal(item(shape.get(), 1)) : Ref();
    if (!sw || !to_int32(sw.get(), &w)) return false;
    Ref sh = Ref::steal(item(shape.get(), 0));
    if (!sh || !to_int32(sh.get(), &h)) return false;
  }
  // A plain canvas is filled straight, at memory speed: the rectangle
  // (0, 0)-(w, h) with OpenCV's default line type covers every pixel.
  native::Target tg;
  if (native::plain_target_fixed(native::kRectangle, arr, color, raster::kLine8, &tg)) {
    raster::fill_all(tg.canvas, tg.color);
    return true;
  }
  detail::Cv2 cv2;
  Ref fn = cv2.function(KV_ID(rectangle));
  if (!fn) return false;
  if (native::target_fixed(cv2, fn.get(), native::kRectangle, arr, color, raster::kLine8, &tg)) {
    raster::fill_all(tg.canvas, tg.color);
    return true;
  }
  Ref origin = Ref::steal(Py_BuildValue("(ii)", 0, 0));
  Ref corner = origin ? Ref::steal(Py_BuildValue("(ii)", w, h)) : Ref();
  Ref bgr = corner ? detail::bgr_of(color) : Ref();
  Ref fillv = bgr ? Ref::steal(PyLong_FromLong(-1)) : Ref();
  return fillv && detail::call_draw(fn.get(), {arr, origin.get(), corner.get(), bgr.get(), fillv.get()});
}

bool line(PyObject* arr, PyObject* ts, PyObject* d, PyObject* color, int thickness, bool aa) {
  Ref t, cur;
  if (!open_shape(ts, color, thickness, &t, &cur)) return false;
  Py_ssize_t n = PyObject_Size(cur.get());
  if (n < 0) return false;
  Ref off = pad_offset(d, n);
  if (!off || !body_tuple(cur.get())) return false;
  double e[3];
  bool plain = false;
  Ref end = add_floats(cur.get(), off.get(), e, &plain);
  if (!end || PyObject_SetItem(ts, KV_ID(cursor_pos), end.get()) < 0) return false;
  // The pen has moved; now map both ends and draw when both are visible.
  PointMapper mapper;
  geo::Vec2 p1, p2;
  bool v1, v2;
  if (!mapper.begin(ts) || !mapper.map_obj(cur.get(), &v1, &p1)) return false;
  if (plain ? !mapper.map(e[0], e[1], e[2], &v2, &p2) : !mapper.map_obj(end.get(), &v2, &p2)) return false;
  if (!v1 || !v2) return true;
  native::Target tg;
  int xy[4], th;
  if (native::ends(p1, p2, xy) && native::thickness(t.get(), 1, &th) &&
      native::plain_target(native::kLine, arr, color, aa, &tg)) {
    raster::line(tg.canvas, xy[0], xy[1], xy[2], xy[3], tg.color, th, tg.line_type);
    return true;
  }
  detail::Cv2 cv2;
  Ref fn = cv2.function(KV_ID(line));
  if (!fn) return false;
  if (native::ends(p1, p2, xy) && native::thickness(t.get(), 1, &th) &&
      native::target(cv2, fn.get(), native::kLine, arr, color, aa, &tg)) {
    native::draw_unlocked(arr, native::shape_pixels(tg.canvas, xy[0], xy[1], xy[2], xy[3], th), false, [&] {
      raster::line(tg.canvas, xy[0], xy[1], xy[2], xy[3], tg.color, th, tg.line_type);
    });
    return true;
  }
  Ref a, b, bgr;
  if (!detail::end_args(p1, p2, color, &a, &b, &bgr)) return false;
  return detail::call_draw(cv2, fn.get(), {arr, a.get(), b.get(), bgr.get(), t.get()}, aa);
}

bool rect(PyObject* arr, PyObject* ts, PyObject* wh, PyObject* color, int thickness, bool fill, bool aa) {
  if (!check_color(color)) return false;
  Ref t;
  if (!detail::screen_thickness(ts, thickness, &t)) return false;
  double w, h;
  Ref w0 = Ref::steal(item(wh, 0));
  if (!w0 || !py_float(w0.get(), &w)) return false;
  Ref h0 = Ref::steal(item(wh, 1));
  if (!h0 || !py_float(h0.get(), &h)) return false;
  Ref cp;
  bool three_d;
  if (!detail::pen_and_mode(ts, &cp, &three_d)) return false;
  if (three_d) return rect_3d(arr, ts, cp.get(), w, h, color, t.get(), fill, aa);
  return rect_2d(arr, ts, cp.get(), w, h, color, t.get(), fill, aa);
}

bool poly(PyObject* arr, PyObject* ts, PyObject* ds, PyObject* color, int thickness, bool fill, bool aa) {
  Steps st{ds, nullptr, 0};
  if (PyTuple_CheckExact(ds)) st.n = PyTuple_GET_SIZE(ds);
  return detail::guarded([&] { return poly_core(arr, ts, st, color, thickness, fill, aa); });
}

bool poly_steps(PyObject* arr, PyObject* ts, const double* steps, Py_ssize_t n, PyObject* color, int thickness,
                bool fill, bool aa) {
  Steps st{nullptr, steps, n};
  return detail::guarded([&] { return poly_core(arr, ts, st, color, thickness, fill, aa); });
}

}  // namespace kv::draw
