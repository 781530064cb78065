// Python-visible wrappers of the drawing primitives: bind the declared
// argument types (numbers first, in parameter order, then the type checks in
// parameter order), call the internal routines of draw.hpp and return None.
// tri and quad are the "<lambda>" shorthands that call the module's `poly`.

#include "core/bindings.hpp"
#include "draw/draw.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

using draw::GraphOptions;

// ---- internal helpers ----------------------------------------------------------

PyObject* done(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

bool flag(PyObject* o, bool* out) {
  int t = truth(o);
  if (t < 0) return false;
  *out = t != 0;
  return true;
}

// The canvas, record and colour checks shared by every primitive.
bool canvas_record(PyObject* arr, PyObject* ts) { return arg_ndarray(arr, "arr") && arg_dict(ts, "ts"); }

// ---- wrappers --------------------------------------------------------------------

PyObject* py_clear(PyObject* const* a) {
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[2], "color")) return nullptr;
  return done(draw::clear(a[0], a[1], a[2]));
}

PyObject* py_line(PyObject* const* a) {
  int thickness;
  bool aa;
  if (!to_int32(a[4], &thickness) || !flag(a[5], &aa)) return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[2], "d") || !arg_tuple(a[3], "color")) return nullptr;
  return done(draw::line(a[0], a[1], a[2], a[3], thickness, aa));
}

PyObject* py_rect(PyObject* const* a) {
  int thickness;
  bool fill, aa;
  if (!to_int32(a[4], &thickness) || !flag(a[5], &fill) || !flag(a[6], &aa)) return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[2], "wh") || !arg_tuple(a[3], "color")) return nullptr;
  return done(draw::rect(a[0], a[1], a[2], a[3], thickness, fill, aa));
}

PyObject* py_poly(PyObject* const* a) {
  int thickness;
  bool fill, aa;
  if (!to_int32(a[4], &thickness) || !flag(a[5], &fill) || !flag(a[6], &aa)) return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[2], "ds") || !arg_tuple(a[3], "color")) return nullptr;
  return done(draw::poly(a[0], a[1], a[2], a[3], thickness, fill, aa));
}

// poly(arr, ts, displacements, *a, **kw) through the module's `poly` global.
PyObject* call_poly(PyObject* arr, PyObject* ts, PyObject* ds, PyObject* rest, PyObject* kw) {
  Ref fn = global(KV_ID(poly));
  if (!fn) return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(rest);
  Ref args = Ref::steal(PyTuple_New(3 + n));
  if (!args) return nullptr;
  PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(arr));
  PyTuple_SET_ITEM(args.get(), 1, Py_NewRef(ts));
  PyTuple_SET_ITEM(args.get(), 2, Py_NewRef(ds));
  for (Py_ssize_t i = 0; i < n; i++) PyTuple_SET_ITEM(args.get(), 3 + i, Py_NewRef(PyTuple_GET_ITEM(rest, i)));
  return PyObject_Call(fn.get(), args.get(), PyDict_GET_SIZE(kw) ? kw : nullptr);
}

PyObject* py_tri(PyObject* const* a) {
  Ref ds = Ref::steal(PyTuple_Pack(2, a[2], a[3]));
  return ds ? call_poly(a[0], a[1], ds.get(), a[4], a[5]) : nullptr;
}

PyObject* py_quad(PyObject* const* a) {
  Ref ds = Ref::steal(PyTuple_Pack(3, a[2], a[3], a[4]));
  return ds ? call_poly(a[0], a[1], ds.get(), a[5], a[6]) : nullptr;
}

PyObject* py_circle(PyObject* const* a) {
  double radius, multiplier;
  int thickness;
  bool fill, aa;
  if (!to_double(a[2], &radius) || !to_int32(a[4], &thickness) || !flag(a[5], &fill) || !flag(a[6], &aa) ||
      !to_double(a[7], &multiplier))
    return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[3], "color")) return nullptr;
  return done(draw::circle(a[0], a[1], radius, a[3], thickness, fill, aa, multiplier));
}

PyObject* py_ellipse(PyObject* const* a) {
  double rx, ry, multiplier;
  int thickness;
  bool fill, aa;
  if (!to_double(a[2], &rx) || !to_double(a[3], &ry) || !to_int32(a[5], &thickness) || !flag(a[6], &fill) ||
      !flag(a[7], &aa) || !to_double(a[8], &multiplier))
    return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[4], "color")) return nullptr;
  return done(draw::ellipse(a[0], a[1], rx, ry, a[4], thickness, fill, aa, multiplier));
}

PyObject* py_arc(PyObject* const* a) {
  double radius, start, end, multiplier;
  int thickness;
  bool aa;
  if (!to_double(a[2], &radius) || !to_double(a[3], &start) || !to_double(a[4], &end) ||
      !to_int32(a[6], &thickness) || !flag(a[7], &aa) || !to_double(a[8], &multiplier))
    return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[5], "color")) return nullptr;
  return done(draw::arc(a[0], a[1], radius, start, end, a[5], thickness, aa, multiplier));
}

PyObject* py_graph(PyObject* const* a) {
  double x_min, x_max;
  GraphOptions o;
  if (!to_double(a[3], &x_min) || !to_double(a[4], &x_max) || !to_int32(a[6], &o.thickness) || !flag(a[7], &o.aa) ||
      !to_int32(a[8], &o.resolution) || !to_double(a[9], &o.y_scale) || !to_double(a[10], &o.x_scale) ||
      !to_int32(a[11], &o.max_depth) || !to_double(a[12], &o.angle_threshold) ||
      !to_double(a[13], &o.screen_dist_threshold) || !flag(a[14], &o.x_world))
    return nullptr;
  if (!canvas_record(a[0], a[1]) || !arg_tuple(a[5], "color")) return nullptr;
  return done(draw::graph(a[0], a[1], a[2], x_min, x_max, a[5], o));
}

// ---- registration ------------------------------------------------------------------

constexpr const char* kEllipseDoc =
    "\n    Draws an ellipse centered at cursor_pos with radii rx and ry.\n"
    "    Approximate smooth drawing using OpenCV ellipse function in 2D or polyline in 3D.\n    ";
constexpr const char* kArcDoc =
    "\n    Draws an arc (a segment of a circle) centered at cursor_pos.\n"
    "    Uses point approximation for smoothness in both 2D and 3D.\n    ";
constexpr const char* kGraphDoc =
    "\n    Plots a 1D function y = f(x) from x_min to x_max using adaptive resolution.\n"
    "    - resolution: Serves as the *initial* number of segments.\n"
    "    - max_depth: Limits how many times a segment can be subdivided.\n"
    "    - angle_threshold: Maximum allowed change in angle (radians) between segments before subdivision.\n"
    "    - screen_dist_threshold: Maximum allowed distance (pixels) between screen points before subdivision.\n    ";

const Default kFalse = Default::boolean(false);

const FuncSpec kFunctions[] = {
    {"clear", py_clear, {{"arr"}, {"ts"}, {"color"}}},
    {"line", py_line, {{"arr"}, {"ts"}, {"d"}, {"color"}, {"thickness"}, opt("aa", kFalse)}},
    {"rect", py_rect, {{"arr"}, {"ts"}, {"wh"}, {"color"}, {"thickness"}, opt("fill", kFalse), opt("aa", kFalse)}},
    {"poly", py_poly, {{"arr"}, {"ts"}, {"ds"}, {"color"}, {"thickness"}, opt("fill", kFalse), opt("aa", kFalse)}},
    {"tri", py_tri, {{"arr"}, {"ts"}, {"d1"}, {"d2"}, var_args("a"), var_kw("kw")}, nullptr, true},
    {"quad", py_quad, {{"arr"}, {"ts"}, {"d1"}, {"d2"}, {"d3"}, var_args("a"), var_kw("kw")}, nullptr, true},
    {"circle",
     py_circle,
     {{"arr"},
      {"ts"},
      {"radius"},
      {"color"},
      opt("thickness", Default::integer(1)),
      opt("fill", kFalse),
      opt("aa", kFalse),
      opt("multiplier", Default::real(1.0))}},
    {"ellipse",
     py_ellipse,
     {{"arr"},
      {"ts"},
      {"rx"},
      {"ry"},
      {"color"},
      opt("thickness", Default::integer(1)),
      opt("fill", kFalse),
      opt("aa", kFalse),
      opt("multiplier", Default::real(1.0))},
     kEllipseDoc},
    {"arc",
     py_arc,
     {{"arr"},
      {"ts"},
      {"radius"},
      {"start_deg"},
      {"end_deg"},
      {"color"},
      opt("thickness", Default::integer(1)),
      opt("aa", kFalse),
      opt("multiplier", Default::real(1.0))},
     kArcDoc},
    {"graph",
     py_graph,
     {{"arr"},
      {"ts"},
      {"func"},
      {"x_min"},
      {"x_max"},
      {"color"},
      opt("thickness", Default::integer(1)),
      opt("aa", Default::boolean(true)),
      opt("resolution", Default::integer(100)),
      opt("y_scale", Default::real(1.0)),
      opt("x_scale", Default::real(1.0)),
      opt("max_depth", Default::integer(5)),
      opt("angle_threshold", Default::real(0.1)),
      opt("screen_dist_threshold", Default::real(5.0)),
      opt("x_world", kFalse)},
     kGraphDoc},
};

}  // namespace

FuncTable draw_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
