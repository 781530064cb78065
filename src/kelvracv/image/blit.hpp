// Image blitting in two steps: a plan that reads every Python object the
// blit needs (the image, the canvas, the record through a PointMapper, the
// module's cv2 functions) and decides once how the pixels are made, then
// the drawing of that plan over bytes. Text and the command language draw
// through the same two steps. Main thread (any thread holding the
// interpreter lock).
#pragma once

#include <cstddef>

#include "geometry/record.hpp"
#include "image/composite.hpp"
#include "image/warp.hpp"
#include "pyapi/ref.hpp"

namespace kv::image {

// How a blit's pixels are made.
struct BlitPlan {
  enum Kind {
    kNothing,  // a corner cannot be mapped, or the quad has no area: nothing drawn
    kRegion,   // the region warp, over just the pixels the image can reach
    kOpenCV,   // the module's cv2.warpPerspective onto a canvas-sized image
  };
  Kind kind = kNothing;
  ptrdiff_t rows = 0, cols = 0, channels = 0;  // the image's
  // The perspective matrix, source to canvas: as doubles (has_m) when it is
  // a 3x3 float64 one, and as the object OpenCV's function or a program's
  // gave (made from m only when the module's cv2.warpPerspective needs it).
  double m[9] = {};
  bool has_m = false;
  Ref matrix;
  Ref warp_fn, flags;  // kOpenCV: the warp called and its flag
  bool without_ipp = false;  // kOpenCV: OpenCV's own warp, called with Intel IPP off
  // kRegion: the warp, the canvas and the part of it visited. `moved`: the
  // image is moved by whole pixels (every visited row a piece of an image row).
  RegionWarp warp;
  CanvasView canvas{};
  Region region{};
  bool moved = false;
  // moved: the image's packed pixels, rows `stride` bytes apart; canvas
  // pixel (x, y) shows image pixel (x - x0, y - y0).
  const uint8_t* image = nullptr;
  ptrdiff_t stride = 0, x0 = 0, y0 = 0;
};

// The plan for blit(arr, ts, src_img, (sx, sy)) with `pen` as ts["cursor_pos"]:
// the corners mapped by `mapper`, begun here on ts unless ts is null (then
// it was begun on a record that differs from ts in "cursor_pos" at most).
// blit's errors: false with an exception set.
bool plan_blit(PyObject* arr, PointMapper& mapper, PyObject* ts, PyObject* pen, PyObject* src_img, double sx,
               double sy, BlitPlan* plan);

// Draws a plan made for arr and src_img, with no Python code run between the
// plan and the last canvas write of a region warp. `ink` (B, G, R, or null):
// every pixel of the image is transparent or of that colour (text), which
// lets an image moved by whole pixels be blended through colour tables.
bool draw_blit(PyObject* arr, PyObject* src_img, BlitPlan& plan, const uint8_t* ink = nullptr);

// blit(arr, ts, src_img, scale_factor) after the declared-type checks:
// false with an exception set.
bool blit(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* scale_factor);

}  // namespace kv::image
