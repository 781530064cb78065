// Internal forms of image blitting, for the text renderer and the command
// language. Main thread, interpreter lock held.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::image {

// blit(arr, ts, src_img, scale_factor) after the declared-type checks:
// false with an exception set.
bool blit(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* scale_factor);

// blit_core: maps the four world corners `dest_world` through ts and warps
// src_img onto a canvas-sized image. *warped is None when a corner cannot be
// mapped; *matrix receives the perspective matrix that was used.
bool blit_core(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* const dest_world[4], Ref* warped,
               Ref* matrix);

}  // namespace kv::image
