// circle, ellipse and arc: round shapes approximated by polygons whose
// segment count follows the radius (thinned out for large shapes), except the
// 2-D ellipse, which OpenCV draws itself. Main thread, interpreter lock held.

#include <math.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/colors.hpp"
#include "draw/draw.hpp"
#include "draw/native.hpp"
#include "draw/support.hpp"
#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv::draw {
namespace {

using detail::check_color;
using geo::kPi;
using geo::kTwoPi;

// ---- types -------------------------------------------------------------------

// Detail reduction: (minimum radius, divisor), applied in this order.
struct Reduction {
  double min_radius, divisor;
};
constexpr Reduction kReductions[] = {{200.0, 1.5}, {150.0, 1.5}, {100.0, 2.0}, {50.0, 2.0}};

// Beyond this many turns the sweep loops would run for long; fmod takes over.
constexpr double kSweepLoopLimit = 65536 * kTwoPi;

// World points, three numbers each.
using PointBuffer = Buffer<double, 384>;

// The sines and cosines of a shape's angles step * i (+ first), i = 0 .. n,
// interleaved (sin, cos). A frame loop draws the same shapes every frame, so
// the tables of the last few shapes are kept: the same libm values, computed
// once. Shared ownership keeps a table alive while its user runs Python code
// (a coordinate's __add__) that may draw other shapes.
using AngleValues = std::shared_ptr<const std::vector<double>>;

AngleValues angle_table(double step, double first, bool add_first, int n);

// ---- internal helpers ----------------------------------------------------------

struct AngleKey {
  double step, first;
  bool add_first;
  int n;
  bool operator==(const AngleKey& o) const {
    // bit patterns: -0.0 and 0.0 give different tables, NaN never gets here
    return std::memcmp(&step, &o.step, sizeof step) == 0 && std::memcmp(&first, &o.first, sizeof first) == 0 &&
           add_first == o.add_first && n == o.n;
  }
};

// The angle tables of the shapes drawn lately. Owner: angle_table. Bound:
// kSlots tables of at most kLargest + 1 angles (larger shapes are computed
// each time): 8 MB at the very most, a few KB for ordinary shapes. A frame of
// shapes of many sizes (every radius has its own count of segments) keeps
// them all. Eviction: a key goes to one of two slots picked by its hash; a
// new table replaces the older of the two.
struct AngleTableState {
  static constexpr int kSlots = 128;
  static constexpr int kLargest = 1 << 12;
  AngleKey keys[kSlots];
  AngleValues tables[kSlots];
  uint64_t made[kSlots] = {};
  uint64_t clock = 0;
};
AngleTableState g_angles;

// The first of the two slots a key may take.
int angle_slot(const AngleKey& k) {
  uint64_t a, b;
  std::memcpy(&a, &k.step, 8);
  std::memcpy(&b, &k.first, 8);
  uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b + 0x632BE59BD9B4E019ull) ^ (static_cast<uint64_t>(k.n) << 1) ^
               static_cast<uint64_t>(k.add_first);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<int>(h % (AngleTableState::kSlots / 2)) * 2;
}

AngleValues angle_table(double step, double first, bool add_first, int n) {
  AngleTableState& t = g_angles;
  AngleKey key{step, first, add_first, n};
  const int slot = angle_slot(key);
  for (int i = slot; i < slot + 2; i++)
    if (t.tables[i] && t.keys[i] == key) return t.tables[i];
  auto values = std::make_shared<std::vector<double>>(2 * (static_cast<size_t>(n) + 1));
  double* v = values->data();
  for (int i = 0; i <= n; i++) {
    double a = add_first ? step * i + first : step * i;
    ::sincos(a, &v[2 * i], &v[2 * i + 1]);
  }
  if (n <= t.kLargest) {
    const int into = t.made[slot] <= t.made[slot + 1] ? slot : slot + 1;
    t.keys[into] = key;
    t.tables[into] = values;
    t.made[into] = ++t.clock;
  }
  return values;
}

double reduce_detail(double r, double m) {
  for (const Reduction& red : kReductions)
    if (r >= red.min_radius) m /= red.divisor;
  return m;
}

// The sweep brought into [0, 2π]: add 2π while negative, then subtract 2π
// while above 2π (exactly 2π stays a full turn). Ordinary angles take the
// loops themselves, so results match them bit for bit; a sweep of more than
// 65536 turns is reduced with fmod at once. The caller has ruled out NaN and
// infinity, for which the loops would never end.
double normalize_sweep(double sweep) {
  if (std::fabs(sweep) > kSweepLoopLimit) {
    sweep = std::fmod(sweep, kTwoPi);
    if (sweep < 0) sweep += kTwoPi;
    return sweep;
  }
  while (sweep < 0) sweep += kTwoPi;
  while (sweep > kTwoPi) sweep -= kTwoPi;
  return sweep;
}

using detail::Coord;

// The n + 1 points (cx + cos(a) * rx, cy + sin(a) * ry, cz) of the angles
// in `sc` around the pen, mapped through the record; the first one goes
// through the object path so that the record and cz are read in the
// pipeline's order. The visible ones are kept, in order.
bool map_ring(PyObject* ts, const detail::PenCoords& pc, const AngleValues& sc, int n, double rx, double ry,
              detail::IntPoints* kept) {
  Coord cx(pc.x.get()), cy(pc.y.get());
  PointBuffer pts;
  pts.resize_for_overwrite(3 * (static_cast<size_t>(n) + 1));
  for (int i = 0; i <= n; i++) {
    double sa = (*sc)[2 * i], ca = (*sc)[2 * i + 1];
    if (!cx.add_to(ca * rx, &pts[3 * i]) || !cy.add_to(sa * ry, &pts[3 * i + 1])) return false;
    pts[3 * i + 2] = 0.0;  // cz, filled in below in 3-D mode
  }
  PointMapper mapper;
  if (!mapper.begin(ts)) return false;
  kept->reserve(static_cast<size_t>(n) + 1);
  Ref fx = Ref::steal(PyFloat_FromDouble(pts[0]));
  Ref fy = fx ? Ref::steal(PyFloat_FromDouble(pts[1])) : Ref();
  Ref p = fy ? Ref::steal(PyTuple_Pack(3, fx.get(), fy.get(), pc.z.get())) : Ref();
  geo::Vec2 s;
  bool vis, rest;
  if (!p || !mapper.map_obj(p.get(), &vis, &s)) return false;
  if (vis) kept->push(s.x, s.y);
  if (mapper.is_3d()) {
    double z;
    if (!py_float(pc.z.get(), &z)) return false;
    for (int i = 0; i <= n; i++) pts[3 * i + 2] = z;
  }
  return detail::map_points(mapper, pts.data(), 1, static_cast<size_t>(n) + 1, kept, &rest);
}

// The relative steps around a circle of n segments, each from the previous
// vertex, starting at angle 0.
void circle_steps(double radius, int n, Buffer<double, 256>* steps) {
  steps->resize_for_overwrite(2 * static_cast<size_t>(n));
  double px = radius, py = 0.0;
  AngleValues sc = angle_table(kTwoPi / n, 0.0, false, n);
  for (int i = 1; i <= n; i++) {
    double sa = (*sc)[2 * i], ca = (*sc)[2 * i + 1];
    double qx = ca * radius, qy = sa * radius;
    (*steps)[2 * (i - 1)] = qx - px;
    (*steps)[2 * (i - 1) + 1] = qy - py;
    px = qx;
    py = qy;
  }
}

// Whether the circle's drawing call will be a native one with no Python code
// on its way: cv2 and its function found without running any, a canvas and a
// colour the native drawing takes.
bool circle_native(PyObject* arr, PyObject* color, bool fill, bool aa) {
  native::Target tg;
  if (fill) return native::plain_target_fixed(native::kFillPoly, arr, color, raster::kLine8, &tg);
  return native::plain_target(native::kPolylines, arr, color, aa, &tg);
}

// After an error on the plain path: the pen on the start point, where the
// general path leaves it, and the error kept.
void pen_to_start(PyObject* ts, const double s[2]) {
  PyObject* exc = PyErr_GetRaisedException();
  Ref start = Ref::steal(float_tuple(s, 2));
  if (start && PyDict_SetItem(ts, KV_ID(cursor_pos), start.get()) == 0)
    PyErr_SetRaisedException(exc);
  else
    Py_XDECREF(exc);
}

// The circle when nothing on its way can run Python code: a plain record
// (read_plain_2d) whose pen starts with two plain numbers, and a native
// drawing call (circle_native). The general path's round trip of the pen
// through the record (set to the start point, then restored) cannot be seen
// then and is left out, and the record is read in one pass. The vertices are
// those poly builds from the start point and the steps, mapped as it maps
// them. 1: done, 0: not such a circle (nothing has happened), -1: an error,
// with the pen on the start point as the general path leaves it.
int circle_plain(PyObject* arr, PyObject* ts, const double* steps, int n, double radius, PyObject* color,
                 int thickness, bool fill, bool aa) {
  PlainView2D pv;
  double c0, c1;
  if (!read_plain_2d(ts, &pv) || !PyTuple_CheckExact(pv.cursor) || PyTuple_GET_SIZE(pv.cursor) < 2 ||
      !detail::fast_number(PyTuple_GET_ITEM(pv.cursor, 0), &c0) ||
      !detail::fast_number(PyTuple_GET_ITEM(pv.cursor, 1), &c1) || !circle_native(arr, color, fill, aa))
    return 0;
  // An outline too thick to draw natively goes to cv2, which releases the
  // interpreter lock: other threads would see the pen where it was.
  if (!fill && !(thickness * pv.size <= raster::kMaxThickness)) return 0;
  const double s[2] = {c0 + radius, c1 + 0.0};
  // A circle that may be drawn with the interpreter lock let go (its
  // shape_pixels before clipping reach draw_unlocked's threshold) shows other
  // threads the pen where the general path has it meanwhile: on the start
  // point, then put back.
  const double r = std::fabs(radius * pv.size), pad = fill ? 1.0 : std::fmax(1.0, std::fabs(thickness * pv.size));
  const double side = 2.0 * (r + pad), pixels = fill ? side * side : std::fmin(side * side, 4.0 * side * pad);
  Ref saved, start;
  if (pixels >= (fill ? native::kUnlockFillPixels : native::kUnlockOutlinePixels)) {
    saved = Ref::borrow(pv.cursor);
    start = Ref::steal(float_tuple(s, 2));
    if (!start || PyDict_SetItem(ts, KV_ID(cursor_pos), start.get()) < 0) return -1;
  }
  bool ok = detail::guarded([&] {
    Ref t;
    if (!detail::screen_thickness_of(thickness, pv.size, &t)) return false;
    PointBuffer pts;
    pts.resize_for_overwrite(3 * (static_cast<size_t>(n) + 1));
    double x = s[0], y = s[1];
    pts[0] = x, pts[1] = y, pts[2] = 0.0;
    for (int i = 0; i < n; i++) {
      x = x + steps[2 * i];
      y = y + steps[2 * i + 1];
      pts[3 * i + 3] = x, pts[3 * i + 4] = y, pts[3 * i + 5] = 0.0;
    }
    PointMapper mapper;
    mapper.begin_plain(ts, pv);
    detail::IntPoints screen;
    screen.reserve(static_cast<size_t>(n) + 1);
    bool visible;
    if (!detail::map_points(mapper, pts.data(), 0, static_cast<size_t>(n) + 1, &screen, &visible)) return false;
    return !visible || detail::closed_shape(arr, screen, fill, color, t.get(), aa);
  });
  if (ok) return !saved || PyDict_SetItem(ts, KV_ID(cursor_pos), saved.get()) == 0 ? 1 : -1;
  pen_to_start(ts, s);
  return -1;
}

bool circle_impl(PyObject* arr, PyObject* ts, double radius, PyObject* color, int thickness, bool fill, bool aa,
                 double multiplier) {
  if (!check_color(color)) return false;
  double m = reduce_detail(radius, multiplier);
  int n;
  if (!detail::segment_count(radius * m, 6, "circle", &n)) return false;
  Buffer<double, 256> steps;
  circle_steps(radius, n, &steps);
  if (int done = circle_plain(arr, ts, steps.data(), n, radius, color, thickness, fill, aa)) return done > 0;
  // Start point s = (cursor[0] + radius, cursor[1] + 0.0).
  // The pen is read for each use; from a plain dict holding plain numbers no
  // Python code runs in between, and the first read serves for all three.
  Ref cp = record_get(ts, KV_ID(cursor_pos));
  Ref c0 = cp ? Ref::steal(item(cp.get(), 0)) : Ref();
  double s[2], v;
  if (!c0) return false;
  bool plain = PyDict_CheckExact(ts) && detail::fast_number(c0.get(), &v);
  if (!detail::obj_add_float(c0.get(), radius, &s[0])) return false;
  if (!plain) cp = record_get(ts, KV_ID(cursor_pos));
  Ref c1 = cp ? Ref::steal(item(cp.get(), 1)) : Ref();
  if (!c1) return false;
  plain = plain && detail::fast_number(c1.get(), &v);
  if (!detail::obj_add_float(c1.get(), 0.0, &s[1])) return false;
  Ref saved = plain ? cp : record_get(ts, KV_ID(cursor_pos));
  if (!saved || !body_tuple(saved.get())) return false;
  Ref start = Ref::steal(float_tuple(s, 2));
  if (!start || PyObject_SetItem(ts, KV_ID(cursor_pos), start.get()) < 0) return false;
  // The internal poly routine directly; on failure the pen keeps s.
  if (!poly_steps(arr, ts, steps.data(), n, color, thickness, fill, aa)) return false;
  return PyObject_SetItem(ts, KV_ID(cursor_pos), saved.get()) == 0;
}

bool ellipse_3d(PyObject* arr, PyObject* ts, PyObject* c, double rx, double ry, PyObject* color, PyObject* t,
                bool fill, bool aa, double multiplier) {
  double r = ry > rx ? ry : rx;
  double m = reduce_detail(r, multiplier);
  int n;
  if (!detail::segment_count(r * m * 2, 12, "ellipse", &n)) return false;
  double step = kTwoPi / n;
  detail::PenCoords pc;
  if (!detail::pen_coords(c, &pc)) return false;
  detail::IntPoints kept;
  if (!map_ring(ts, pc, angle_table(step, 0.0, false, n), n, rx, ry, &kept)) return false;
  if (kept.size() < 2) return true;
  return detail::closed_shape(arr, kept, fill, color, t, aa);
}

bool ellipse_2d(PyObject* arr, PyObject* ts, PyObject* c, double rx, double ry, double size, PyObject* color,
                PyObject* t, bool fill, bool aa) {
  geo::Vec2 centre;
  if (!transform(c, ts, &centre)) return false;
  if (std::isinf(centre.x)) return true;
  Ref ax = Ref::steal(py_int(rx * size));
  Ref ay = ax ? Ref::steal(py_int(ry * size)) : Ref();
  Ref axes = ay ? Ref::steal(PyTuple_Pack(2, ax.get(), ay.get())) : Ref();
  if (!axes) return false;
  double angle;
  if (!record_float(ts, KV_ID(rot), &angle)) return false;
  detail::Cv2 cv2;
  Ref fn = cv2.function(KV_ID(ellipse));
  if (!fn) return false;
  Ref ctr = detail::int_point(centre.x, centre.y);
  Ref ang = ctr ? Ref::steal(PyFloat_FromDouble(angle)) : Ref();
  Ref a0 = ang ? Ref::steal(PyFloat_FromDouble(0.0)) : Ref();
  Ref a1 = a0 ? Ref::steal(PyFloat_FromDouble(360.0)) : Ref();
  Ref bgr = a1 ? detail::bgr_of(color) : Ref();
  Ref th = bgr ? (fill ? Ref::steal(PyLong_FromLong(-1)) : Ref::borrow(t)) : Ref();
  if (!th) return false;
  if (fill) {
    // Whatever the angle, the ellipse lies within its larger half-axis of the centre.
    double r = std::fmax(std::fabs(std::trunc(rx * size)), std::fabs(std::trunc(ry * size)));
    double x = std::trunc(centre.x), y = std::trunc(centre.y);
    if (!detail::check_fill_reach(arr, x - r, x + r, y - r, y + r, "ellipse")) return false;
  }
  native::Target tg;
  int ncx, ncy, nax, nay, nth = -1;
  if (native::coord(centre.x, &ncx) && native::coord(centre.y, &ncy) && native::coord(rx * size, &nax) &&
      native::coord(ry * size, &nay) && nax >= 0 && nay >= 0 && std::fabs(angle) < 1e9 &&
      (fill || native::thickness(t, 1, &nth)) &&
      native::target(cv2, fn.get(), native::kEllipse, arr, color, aa, &tg)) {
    const double r = std::fmax(nax, nay);  // whatever the angle
    native::draw_unlocked(arr, native::shape_pixels(tg.canvas, ncx - r, ncy - r, ncx + r, ncy + r, fill ? -1 : nth), fill, [&] {
      raster::ellipse(tg.canvas, ncx, ncy, nax, nay, raster::cv_round(angle), 0, 360, tg.color, nth, tg.line_type);
    });
    return true;
  }
  return detail::call_draw(cv2, fn.get(),
                           {arr, ctr.get(), axes.get(), ang.get(), a0.get(), a1.get(), bgr.get(), th.get()}, aa);
}

bool ellipse_impl(PyObject* arr, PyObject* ts, double rx, double ry, PyObject* color, int thickness, bool fill,
                  bool aa, double multiplier) {
  if (!check_color(color)) return false;
  double size;
  if (!record_float(ts, KV_ID(size), &size)) return false;
  Ref t;
  if (!detail::screen_thickness_of(thickness, size, &t)) return false;
  Ref c;
  bool three_d;
  if (!detail::pen_and_mode(ts, &c, &three_d)) return false;
  if (three_d) return ellipse_3d(arr, ts, c.get(), rx, ry, color, t.get(), fill, aa, multiplier);
  return ellipse_2d(arr, ts, c.get(), rx, ry, size, color, t.get(), fill, aa);
}

bool arc_impl(PyObject* arr, PyObject* ts, double radius, double start_deg, double end_deg, PyObject* color,
              int thickness, bool aa, double multiplier) {
  if (!check_color(color)) return false;
  Ref t;
  if (!detail::screen_thickness_raw(ts, thickness, &t)) return false;
  Ref c = detail::pen_of(ts);
  detail::PenCoords pc;
  if (!c || !detail::pen_coords(c.get(), &pc)) return false;

  double start = geo::radians(start_deg);
  double sweep = geo::radians(end_deg) - start;
  if (!std::isfinite(sweep)) return true;  // an infinite or NaN angle: nothing to draw
  sweep = normalize_sweep(sweep);
  if (sweep < 1e-6) return true;  // equal start and end angles
  int n;
  if (!detail::segment_count(radius * multiplier * sweep / kTwoPi * 6, 2, "arc", &n)) return false;

  detail::IntPoints kept;
  if (!map_ring(ts, pc, angle_table(sweep / n, start, true, n), n, radius, radius, &kept)) return false;
  if (kept.size() < 2) return true;
  return detail::polylines(arr, kept, false, color, t.get(), aa);
}

}  // namespace

// ---- public routines -------------------------------------------------------------

bool circle(PyObject* arr, PyObject* ts, double radius, PyObject* color, int thickness, bool fill, bool aa,
            double multiplier) {
  return detail::guarded([&] { return circle_impl(arr, ts, radius, color, thickness, fill, aa, multiplier); });
}

bool ellipse(PyObject* arr, PyObject* ts, double rx, double ry, PyObject* color, int thickness, bool fill, bool aa,
             double multiplier) {
  return detail::guarded([&] { return ellipse_impl(arr, ts, rx, ry, color, thickness, fill, aa, multiplier); });
}

bool arc(PyObject* arr, PyObject* ts, double radius, double start_deg, double end_deg, PyObject* color,
         int thickness, bool aa, double multiplier) {
  return detail::guarded(
      [&] { return arc_impl(arr, ts, radius, start_deg, end_deg, color, thickness, aa, multiplier); });
}

}  // namespace kv::draw
