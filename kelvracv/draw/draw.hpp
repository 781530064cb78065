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
#pragma once

#include "pyapi/ref.hpp"

namespace kv::draw {

// clear(arr, ts, color): fills the canvas with the (R, G, B) tuple `color`
// (checked: exact tuple or None). `ts` is not read. False with an exception set.
bool clear(PyObject* arr, PyObject* ts, PyObject* color);

// line: draws from the pen by the displacement tuple `d` and moves the pen
// ("cursor_pos") to the segment's end, before drawing.
bool line(PyObject* arr, PyObject* ts, PyObject* d, PyObject* color, int thickness, bool aa);

// rect: the rectangle of size `wh` (tuple (w, h)) with one corner at the pen;
// axis-aligned on the screen in 2-D mode, a projected quadrilateral in 3-D.
bool rect(PyObject* arr, PyObject* ts, PyObject* wh, PyObject* color, int thickness, bool fill, bool aa);

// poly: the closed polygon whose vertices are the pen followed by the running
// sums of the displacement tuples in `ds` (a tuple of tuples).
bool poly(PyObject* arr, PyObject* ts, PyObject* ds, PyObject* color, int thickness, bool fill, bool aa);

// poly with the displacements given as `n` (dx, dy) pairs of doubles in
// `steps` (2n numbers): behaves as poly with the tuple of float pairs.
bool poly_steps(PyObject* arr, PyObject* ts, const double* steps, Py_ssize_t n, PyObject* color, int thickness,
                bool fill, bool aa);

// circle: a polygon of max(int(radius * m), 6) sides around the pen (m is
// `multiplier` thinned out for large radii); drawn through poly_steps with
// the pen set to the start point, which is restored afterwards.
bool circle(PyObject* arr, PyObject* ts, double radius, PyObject* color, int thickness, bool fill, bool aa,
            double multiplier);

// ellipse: OpenCV's ellipse around the mapped pen in 2-D mode; a polygon of
// world points in 3-D mode.
bool ellipse(PyObject* arr, PyObject* ts, double rx, double ry, PyObject* color, int thickness, bool fill, bool aa,
             double multiplier);

// arc: an open polyline along the circle of `radius` around the pen, from
// start_deg in the direction of increasing angle to end_deg. A sweep that is
// not finite draws nothing.
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

// graph: plots y = func(x) for x in [x_min, x_max] relative to the pen, with
// adaptive bisection of segments whose screen ends lie too far apart.
// Exceptions of `func` (Exception subclasses only) drop a sample or stop a
// refinement. A None canvas raises TypeError before anything else.
bool graph(PyObject* arr, PyObject* ts, PyObject* func, double x_min, double x_max, PyObject* color,
           const GraphOptions& opt);

}  // namespace kv::draw
