// Helpers shared by the drawing primitives: the screen thickness rule,
// Python's number semantics for cursor values, point arrays built the way
// numpy.array(points, numpy.int32) builds them, and the OpenCV calls made
// through the module's `cv2` global. Main thread, interpreter lock held.
#pragma once

#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <vector>

#include "draw/buffer.hpp"
#include "geometry/record.hpp"
#include "pyapi/ref.hpp"

namespace kv::draw::detail {

// ---- memory ------------------------------------------------------------------

// f() with an allocation failure (std::bad_alloc from a Buffer or a vector)
// turned into MemoryError: every public routine that allocates per point or
// segment runs inside it.
template <typename F>
bool guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

// ---- thickness ---------------------------------------------------------------

// max(1, int(thickness * float(ts["size"]))) as a Python int (line, rect, poly,
// ellipse). KeyError, ValueError (NaN) or OverflowError (infinity) otherwise.
bool screen_thickness(PyObject* ts, int thickness, Ref* out);
// max(1, int(thickness * size)) for a size already converted to a double.
bool screen_thickness_of(int thickness, double size, Ref* out);
// max(int(thickness * ts["size"]), 1) with the size taken as it is, through
// Python's own multiplication (arc, graph).
bool screen_thickness_raw(PyObject* ts, int thickness, Ref* out);

// ---- pen ---------------------------------------------------------------------

// ts["cursor_pos"], checked as a body value: an exact tuple, or None (which
// then fails at its first subscript); "Expected tuple, got X" otherwise.
Ref pen_of(PyObject* ts);
// pen_of(ts), then the truth of ts["is_3d"]: how rect and ellipse begin.
bool pen_and_mode(PyObject* ts, Ref* pen, bool* three_d);
// The coordinates of a checked pen, as the round shapes and graph take
// them: pen[0], pen[1], then pen[2] when len(pen) == 3, else 0.0.
struct PenCoords {
  Ref x, y, z;
};
bool pen_coords(PyObject* pen, PenCoords* out);

// ---- numbers -----------------------------------------------------------------

// A value that takes part in double arithmetic exactly as Python's float
// arithmetic would: an exact float, or an int/bool that converts exactly
// (|v| < 2**52). False, with no exception set, for anything else.
bool fast_number_slow(PyObject* o, double* out);
inline bool fast_number(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  return fast_number_slow(o, out);
}
// float(lhs + rhs) (op '+') or float(lhs - rhs) (op '-') for a float lhs,
// with Python's own operator (and its errors) when rhs is not a fast number.
bool float_op(double lhs, PyObject* rhs, char op, double* out);
// float(lhs + rhs) for an object lhs and a float rhs.
bool obj_add_float(PyObject* lhs, double rhs, double* out);
// A cursor coordinate used as `value + coord` or `value - coord`: a double
// when it is a plain number, else the object, whose own operators are used
// point by point.
struct Coord {
  PyObject* obj;  // borrowed
  bool fast;
  double v;
  explicit Coord(PyObject* o) : obj(o), fast(fast_number(o, &v)) {}
  bool add_to(double lhs, double* out) const {
    if (fast) {
      *out = lhs + v;
      return true;
    }
    return float_op(lhs, obj, '+', out);
  }
  bool sub_from(double lhs, double* out) const {
    if (fast) {
      *out = lhs - v;
      return true;
    }
    return float_op(lhs, obj, '-', out);
  }
};
// max(int(v), floor) as a C int: the segment counts of the round shapes.
// ValueError for NaN and OverflowError for infinity (int()'s errors), and
// OverflowError "value too large to convert to int" beyond the 32-bit range.
// A count above kMaxSegments is a ValueError naming `shape`: every segment
// costs memory and time, and 2**31 of them would take minutes and tens of
// gigabytes, while a shape of kMaxSegments already has sub-pixel segments
// on any canvas it can be seen on.
constexpr int kMaxSegments = 1 << 22;
bool segment_count(double v, int floor, const char* shape, int* out);

// Filled shapes: OpenCV's scan conversion steps through every row from the
// shape's top down to the canvas, so a shape reaching billions of rows above
// the canvas takes seconds to fill a handful of visible rows. A fill that
// would reach more than kMaxFillReach rows above a canvas it overlaps is a
// ValueError naming `what` instead (such a shape is a million canvases
// away; the fill of any shape within reach takes a fraction of a second).
constexpr double kMaxFillReach = 16777216.0;  // 2**24 rows
// Thick outlines: OpenCV draws each segment of a thick polyline as a filled
// band with round joins, which costs up to a tenth of a millisecond per
// segment at the largest thickness; millions of such segments (a huge arc
// or graph drawn thick) would take minutes. An outline whose segment count
// times its thickness (counted up to kThickCap, where the cost stops growing
// on any canvas) exceeds kMaxOutlineWork is a ValueError. A stroke of 1 pixel
// is never refused (kMaxSegments is below the limit), nor is any shape of
// the usual sizes: a 1000-pixel-thick graph of 3300 points is 3.3 million.
constexpr double kThickCap = 4096.0;
constexpr double kMaxOutlineWork = 33554432.0;  // 2**25
// Checks n points of a polyline (closed or not) drawn with thickness t.
bool check_outline_work(size_t n, PyObject* t);

// Checks the screen bounding box [x0, x1] x [y0, y1] of a fill on `arr`.
bool check_fill_reach(PyObject* arr, double x0, double x1, double y0, double y1, const char* what);

// ---- point arrays ------------------------------------------------------------

// Raises the error numpy.array([...], numpy.int32) raises for a Python float
// outside the int32 range: ValueError for NaN, OverflowError for infinity and
// for finite values out of range (NumPy's own messages). Returns false.
bool np_int32_error(double v);

// Screen points on their way to OpenCV: each (x, y) is converted as
// numpy.array(points, numpy.int32) converts it when it is added; the first
// conversion error is kept and raised only when the array is made, so that
// every point is mapped (and its mapping errors raised) first.
class IntPoints {
 public:
  void reserve(size_t n) { xy_.reserve(2 * n); }
  void push(double x, double y) {
    count_++;
    if (in_range(x) && in_range(y) && !bad_) {
      int* at = xy_.extend(2);
      at[0] = static_cast<int>(x);
      at[1] = static_cast<int>(y);
    } else {
      note_bad(x, y);
    }
  }
  // A mapped point, added when it is visible; *all turns false when not.
  void push_visible(bool visible, const geo::Vec2& s, bool* all) {
    if (visible)
      push(s.x, s.y);
    else
      *all = false;
  }
  // Room for k points written directly as int pairs by a loop that has
  // checked their range itself; nullptr once a conversion has failed.
  // end_direct(k, done) keeps the first `done` of them.
  int* begin_direct(size_t k) { return bad_ ? nullptr : xy_.extend(2 * k); }
  void end_direct(size_t k, size_t done) {
    xy_.resize_for_overwrite(xy_.size() - 2 * (k - done));
    count_ += done;
  }
  size_t size() const { return count_; }  // points added, converted or not
  // Whether every point converted; the converted (x, y) pairs.
  bool ok() const { return !bad_; }
  const int* data() const { return xy_.data(); }
  void clear() {
    xy_.resize_for_overwrite(0);
    count_ = 0;
    bad_ = false;
  }
  // The (n, 1, 2) int32 array, or the pending conversion error.
  Ref array() const;
  // The bounding box of the converted points; false when there are none.
  bool bounds(double* x0, double* x1, double* y0, double* y1) const;

 private:
  static bool in_range(double v) { return v > -2147483649.0 && v < 2147483648.0; }
  // The first coordinate that does not convert, in order (x before y).
  void note_bad(double x, double y) {
    if (bad_) return;
    bad_ = true;
    bad_value_ = in_range(x) ? y : x;
  }
  Buffer<int, 512> xy_;  // the converted coordinates (256 points in place)
  size_t count_ = 0;
  bool bad_ = false;
  double bad_value_ = 0.0;
};

// Maps the world points pts[3i], pts[3i+1], pts[3i+2] for i in [from, n)
// with a mapper that has already mapped a point of this call (so the record
// has been read), appending the visible ones to *out. The plain 2-D view
// without a homography runs as a tight loop straight into int pairs;
// *all_visible tells whether no point was dropped.
bool map_points(PointMapper& m, const double* pts, size_t from, size_t n, IntPoints* out, bool* all_visible);

// The OpenCV point (int(x), int(y)).
Ref int_point(double x, double y);

// ---- OpenCV ------------------------------------------------------------------

// (int(p1.x), int(p1.y)), (int(p2.x), int(p2.y)) and _color_bgr(color), made
// in this order: the first arguments of cv2.line and cv2.rectangle.
bool end_args(const geo::Vec2& p1, const geo::Vec2& p2, PyObject* color, Ref* a, Ref* b, Ref* bgr);

// Checks a colour argument: exact tuple or None, else "Expected tuple, got X".
bool check_color(PyObject* color);

// cv2.polylines(arr, [points], closed, _color_bgr(color), t, lineType=_lt(aa)),
// evaluated in Python's order: the cv2 attribute, the array, the colour, the
// line type.
bool polylines(PyObject* arr, const IntPoints& pts, bool closed, PyObject* color, PyObject* t, bool aa);
// cv2.fillPoly(arr, [points], _color_bgr(color)).
bool fill_poly(PyObject* arr, const IntPoints& pts, PyObject* color);
// polylines (closed) or fill_poly, as rect, poly and the 3-D ellipse choose.
bool closed_shape(PyObject* arr, const IntPoints& pts, bool fill, PyObject* color, PyObject* t, bool aa);

// _color_bgr(color) for a checked colour (tuple or None).
Ref bgr_of(PyObject* color);

// The module's `cv2` global, looked up once per drawing call.
class Cv2 {
 public:
  bool load();                         // NameError when unbound
  Ref attr(PyObject* name) const;      // cv2.<name>
  Ref function(PyObject* name);        // load(), then attr(name)
  PyObject* get() const { return mod_.get(); }

 private:
  Ref mod_;
};

// The cv2 function `name` looked up now (NameError/AttributeError otherwise).
Ref cv2_function(PyObject* name);
// fn(*args).
bool call_draw(PyObject* fn, std::initializer_list<PyObject*> args);
// fn(*args, lineType=_lt(aa)), the line type looked up on `cv2` after the
// arguments were made.
bool call_draw(const Cv2& cv2, PyObject* fn, std::initializer_list<PyObject*> args, bool aa);

}  // namespace kv::draw::detail
