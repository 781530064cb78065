// Internal forms of image blitting, for the text renderer and the command
// language. Main thread, interpreter lock held.
#pragma once

#include <cstddef>

#include "pyapi/ref.hpp"

namespace kv::image {

// blit(arr, ts, src_img, scale_factor) after the declared-type checks:
// false with an exception set.
bool blit(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* scale_factor);

// Where blit(arr, ts', src_img, (sx, sy)), ts' being ts with its
// "cursor_pos" replaced by `cursor`, would draw a four-channel src_img moved
// by whole pixels (upright, at its own pixel size, the warp and
// the perspective matrix OpenCV's own, as blit decides for its region warp):
// `whole`, and the canvas position of the image's top-left pixel. Then every
// canvas pixel the image covers is composited with the image pixel over it,
// and no other pixel changes. Runs blit's steps up to that decision, with
// blit's errors (false, exception set); draws nothing.
struct WholeMove {
  bool whole = false;
  ptrdiff_t x = 0, y = 0;
};
bool whole_pixel_move(PyObject* arr, PyObject* ts, PyObject* cursor, PyObject* src_img, double sx, double sy,
                      WholeMove* out);

}  // namespace kv::image
