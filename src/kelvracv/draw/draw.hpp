// Internal forms of the drawing primitives, called directly by the frame loop,
// the command language and the Python-visible wrappers (draw/bind.cpp).
// Every routine draws into `arr` in place through the module's `cv2` global
// (looked up at each call), maps world points through the record `ts` and
// returns false with a Python exception set on failure (true also when the
// shape turns out invisible and nothing is drawn).
// Main thread (or any thread holding the interpreter lock).
//
// Argument conventions shared by all routines:
// - `arr`: the canvas, handed to OpenCV as it is (any object; OpenCV refuses
//   what it cannot draw on).
// - `ts`: the transform-state record (a dict; None or another mapping fails
//   at the first key read with Python's own error).
// - `color`: an (R, G, B) tuple or None; any other type raises TypeError
//   "Expected tuple, got <type>" before anything else happens. It reaches
//   OpenCV as the (B, G, R) tuple of _color_bgr (None fails there).
// - `thickness`: the declared 32-bit int; the screen thickness is
//   max(1, int(thickness * size)).
// - Screen coordinates reach OpenCV truncated toward zero: int() for single
//   points, numpy.array(points, numpy.int32)'s conversion for point lists
//   (NaN, infinity or a value outside int32 raise NumPy's own errors).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::draw {

// clear(arr, ts, color): fills the canvas with the (R, G, B) tuple `color`
// (checked: exact tuple or None) by a filled cv2.rectangle over arr.shape.
// `ts` is not read. False with an exception set.
bool clear(PyObject* arr, PyObject* ts, PyObject* color);

// line: moves the pen ("cursor_pos") by the displacement tuple `d`, padded
// with 0.0 to the pen's length, before anything is drawn, then draws the
// segment with cv2.line when both ends are visible. Reads "size",
// "cursor_pos", then the mapping keys.
bool line(PyObject* arr, PyObject* ts, PyObject* d, PyObject* color, int thickness, bool aa);

// rect: the rectangle of size `wh` (tuple (w, h)) with one corner at the pen.
// 2-D mode: cv2.rectangle between the two mapped opposite corners (always
// axis-aligned on the screen; fill gives thickness -1). 3-D mode: the four
// corners in the plane of the pen, outlined or filled, skipped when a corner
// is behind the camera. The pen does not move.
bool rect(PyObject* arr, PyObject* ts, PyObject* wh, PyObject* color, int thickness, bool fill, bool aa);

// poly: the closed polygon whose vertices are the pen followed by the running
// sums of the displacement tuples in `ds` (each relative to the previous
// vertex, by add_tuples); cv2.polylines or cv2.fillPoly, skipped when a vertex
// is behind the camera. The pen does not move.
bool poly(PyObject* arr, PyObject* ts, PyObject* ds, PyObject* color, int thickness, bool fill, bool aa);

// poly with the displacements given as `n` (dx, dy) pairs of doubles in
// `steps` (2n numbers): behaves as poly with the tuple of float pairs.
bool poly_steps(PyObject* arr, PyObject* ts, const double* steps, Py_ssize_t n, PyObject* color, int thickness,
                bool fill, bool aa);

// circle: a polygon of max(int(radius * m), 6) sides around the pen (m is
// `multiplier` thinned out for radii of 50 and more), drawn by poly_steps
// with the pen set to the start point (pen + (radius, 0)); the pen is put
// back afterwards, and keeps the start point if poly fails. A NaN or infinite
// radius raises int()'s ValueError/OverflowError; more than 2**31 - 1 sides
// raise OverflowError.
bool circle(PyObject* arr, PyObject* ts, double radius, PyObject* color, int thickness, bool fill, bool aa,
            double multiplier);

// ellipse: 2-D mode: cv2.ellipse around the mapped pen with the axes scaled by
// "size" and the record's rotation (nothing when the centre maps to infinity).
// 3-D mode: a closed polygon of world points in the plane of the pen, of the
// visible points only.
bool ellipse(PyObject* arr, PyObject* ts, double rx, double ry, PyObject* color, int thickness, bool fill, bool aa,
             double multiplier);

// arc: an open polyline along the circle of `radius` around the pen, from
// start_deg in the direction of increasing angle to end_deg (the sweep is
// brought into [0, 360] degrees; equal angles draw nothing). A sweep that is
// not finite (an infinite or NaN angle) draws nothing; a sweep of more than
// 65536 turns is reduced at once instead of turn by turn.
bool arc(PyObject* arr, PyObject* ts, double radius, double start_deg, double end_deg, PyObject* color,
         int thickness, bool aa, double multiplier);

// graph's tuning parameters, with the Python-visible defaults.
struct GraphOptions {
  int thickness = 1;
  bool aa = true;
  int resolution = 100;
  double y_scale = 1.0;
  double x_scale = 1.0;
  int max_depth = 5;
  double angle_threshold = 0.1;  // accepted, not used by the refinement
  double screen_dist_threshold = 5.0;
  bool x_world = false;
};

// graph: plots y = func(x) for x in [x_min, x_max] relative to the pen:
// opt.resolution initial segments, each bisected (depth <= opt.max_depth)
// while its mapped ends lie more than opt.screen_dist_threshold pixels apart,
// drawn as open polylines split at unmappable, non-finite and far off-canvas
// (1200 px) points. Exceptions of `func` that derive from Exception drop a
// sample or stop a refinement; all others propagate. The record is read once
// per call. A None canvas raises TypeError before anything else.
bool graph(PyObject* arr, PyObject* ts, PyObject* func, double x_min, double x_max, PyObject* color,
           const GraphOptions& opt);

}  // namespace kv::draw
