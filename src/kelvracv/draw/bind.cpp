// The declarations of the drawing primitives: the numbers converted first, in
// parameter order, then the type checks in parameter order; the routines of
// draw.hpp receive the converted values and the call returns None. tri and
// quad are the "<lambda>" shorthands that call the module's `poly`.

#include "core/bindings.hpp"
#include "draw/draw.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

using draw::GraphOptions;

// ---- wrappers --------------------------------------------------------------------

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

PyObject* tri(PyObject* arr, PyObject* ts, PyObject* d1, PyObject* d2, PyObject* a, PyObject* kw) {
  Ref ds = Ref::steal(PyTuple_Pack(2, d1, d2));
  return ds ? call_poly(arr, ts, ds.get(), a, kw) : nullptr;
}

PyObject* quad(PyObject* arr, PyObject* ts, PyObject* d1, PyObject* d2, PyObject* d3, PyObject* a, PyObject* kw) {
  Ref ds = Ref::steal(PyTuple_Pack(3, d1, d2, d3));
  return ds ? call_poly(arr, ts, ds.get(), a, kw) : nullptr;
}

bool graph(PyObject* arr, PyObject* ts, PyObject* func, double x_min, double x_max, PyObject* color, int thickness,
           bool aa, int resolution, double y_scale, double x_scale, int max_depth, double angle_threshold,
           double screen_dist_threshold, bool x_world) {
  GraphOptions o{thickness, aa, resolution, y_scale, x_scale, max_depth, angle_threshold, screen_dist_threshold,
                 x_world};
  return draw::graph(arr, ts, func, x_min, x_max, color, o);
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

// Every primitive takes the canvas (an ndarray or None) and the record (a dict or None).
constexpr auto kArr = "arr"_a.ndarray();
constexpr auto kTs = "ts"_a.dict();
constexpr auto kColor = "color"_a.tuple();
constexpr Order kNumbersFirst = Order::kNumbersFirst;

const FuncDecl kFunctions[] = {
    def<draw::clear>("clear", kArr, kTs, kColor),
    def<draw::line, kNumbersFirst>("line", kArr, kTs, "d"_a.tuple(), kColor, "thickness", "aa"_a = false),
    def<draw::rect, kNumbersFirst>("rect", kArr, kTs, "wh"_a.tuple(), kColor, "thickness", "fill"_a = false,
                                   "aa"_a = false),
    def<draw::poly, kNumbersFirst>("poly", kArr, kTs, "ds"_a.tuple(), kColor, "thickness", "fill"_a = false,
                                   "aa"_a = false),
    def<tri>("tri", "arr", "ts", "d1", "d2", var_args("a"), var_kw("kw")).lambda(),
    def<quad>("quad", "arr", "ts", "d1", "d2", "d3", var_args("a"), var_kw("kw")).lambda(),
    def<draw::circle, kNumbersFirst>("circle", kArr, kTs, "radius", kColor, "thickness"_a = 1, "fill"_a = false,
                                     "aa"_a = false, "multiplier"_a = 1.0),
    def<draw::ellipse, kNumbersFirst>("ellipse", kArr, kTs, "rx", "ry", kColor, "thickness"_a = 1, "fill"_a = false,
                                      "aa"_a = false, "multiplier"_a = 1.0)
        .doc(kEllipseDoc),
    def<draw::arc, kNumbersFirst>("arc", kArr, kTs, "radius", "start_deg", "end_deg", kColor, "thickness"_a = 1,
                                  "aa"_a = false, "multiplier"_a = 1.0)
        .doc(kArcDoc),
    def<graph, kNumbersFirst>("graph", kArr, kTs, "func", "x_min", "x_max", kColor, "thickness"_a = 1,
                              "aa"_a = true, "resolution"_a = 100, "y_scale"_a = 1.0, "x_scale"_a = 1.0,
                              "max_depth"_a = 5, "angle_threshold"_a = 0.1, "screen_dist_threshold"_a = 5.0,
                              "x_world"_a = false)
        .doc(kGraphDoc),
};

}  // namespace

FuncTable draw_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
