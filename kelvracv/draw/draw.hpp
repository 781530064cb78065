// Internal forms of the drawing primitives, called directly by the frame loop
// and the command language. Main thread, interpreter lock held.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::draw {

// clear(arr, ts, color): fills the canvas with the (R, G, B) tuple `color`
// (checked: exact tuple or None). `ts` is not read. False with an exception set.
bool clear(PyObject* arr, PyObject* ts, PyObject* color);

}  // namespace kv::draw
