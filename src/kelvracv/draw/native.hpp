// Drawing without the trip through cv2: when the module's `cv2` global is the
// OpenCV module imported at start-up, the function it names is OpenCV's own,
// the installed OpenCV is a version whose pixels draw/raster.cpp reproduces,
// and the canvas is a writable C-contiguous uint8 (H, W, 3) array, the shape
// is scan-converted straight into the canvas. Anything else (a rebound `cv2`
// or `cv2.line`, another canvas form, a colour or argument OpenCV would treat
// specially) makes these checks fail, and the caller calls cv2 as usual, so
// its results and errors stay OpenCV's.
// Main thread, interpreter lock held.
#pragma once

#include "draw/raster.hpp"
#include "draw/support.hpp"
#include "pyapi/ref.hpp"
#include "pyapi/unlocked.hpp"

namespace kv::draw::native {

// The OpenCV functions the primitives call.
enum Fn { kLine, kRectangle, kPolylines, kFillPoly, kEllipse, kFnCount };

// Everything a native drawing needs besides the shape.
struct Target {
  raster::Canvas canvas;
  raster::Color color;
  int line_type;
};

// Whether `fn`, looked up through `cv2` as OpenCV's function `which`, may be
// replaced by a native drawing on `arr` in `color` (the (R, G, B) tuple given
// to the primitive) with the line type of `aa`; fills *out when it may. Never
// raises (a failed lookup is cleared and answers false).
bool target(const detail::Cv2& cv2, PyObject* fn, Fn which, PyObject* arr, PyObject* color, bool aa, Target* out);
// The same with a fixed line type (cv2.fillPoly's default, LINE_8).
bool target_fixed(const detail::Cv2& cv2, PyObject* fn, Fn which, PyObject* arr, PyObject* color, int line_type,
                  Target* out);

// Whether the module's `cv2` global is the OpenCV module taken at start-up
// and its namespace holds OpenCV's function `which` and, for the functions
// that take a line type, the constant of `aa` (cv2.LINE_AA or cv2.LINE_4) as
// an exact int: then looking them up through `cv2` runs no Python code (no
// module __getattr__, no proxy object). Never raises.
bool plain_names(Fn which, bool aa);

// target() / target_fixed() with nothing looked up: when plain_names(which,
// aa) holds, `cv2` and its function are OpenCV's own as captured, and
// looking them up would find them without running any Python code. False
// otherwise (the caller then looks them up and asks target()).
bool plain_target(Fn which, PyObject* arr, PyObject* color, bool aa, Target* out);
bool plain_target_fixed(Fn which, PyObject* arr, PyObject* color, int line_type, Target* out);

// int(v) as an OpenCV point coordinate: false when it is not finite or
// outside the 32-bit range (cv2 raises for those; the caller falls back).
bool coord(double v, int* out);
// The ends p1, p2 as OpenCV points: coord() of each coordinate, as x1, y1,
// x2, y2 in xy.
inline bool ends(const geo::Vec2& p1, const geo::Vec2& p2, int xy[4]) {
  return coord(p1.x, &xy[0]) && coord(p1.y, &xy[1]) && coord(p2.x, &xy[2]) && coord(p2.y, &xy[3]);
}
// A Python int thickness within [lo, raster::kMaxThickness]; false otherwise.
bool thickness(PyObject* t, int lo, int* out);

// The pixels a shape within the box [x0, x1] x [y0, y1] may write on the
// canvas: the box widened by the thickness and clipped to the canvas when
// filled (thickness < 0), at most its outline as wide as the thickness when not.
double shape_pixels(const raster::Canvas& c, double x0, double y0, double x1, double y1, int thickness);

// Runs the scan conversion `draw` (which writes the canvas bytes of `arr`
// and touches no Python object) with the interpreter lock let go when the
// shape may write (shape_pixels) kUnlockFillPixels pixels or more when
// filled, kUnlockOutlinePixels when not; `arr` is kept alive meanwhile.
// bench/bench_threads.py measured fills at 0.1-0.2 ns a pixel (a rect, a
// filled circle), outlines 9 pixels thick at 2-3 ns a pixel of shape_pixels
// (8-28 ns antialiased), and a blocked thread waking to run Python at
// 20-35 us: smaller shapes are drawn before a waiting thread could take the
// lock, holding it.
constexpr double kUnlockFillPixels = 131072;
constexpr double kUnlockOutlinePixels = 4096;
template <class F>
void draw_unlocked(PyObject* arr, double pixels, bool fill, F&& draw) {
  Ref keep = Ref::borrow(arr);
  run_unlocked(pixels, fill ? kUnlockFillPixels : kUnlockOutlinePixels, draw);
}

}  // namespace kv::draw::native
