// The colour table C and the (R, G, B) -> (B, G, R) conversion.
#pragma once

#include "pyapi/ref.hpp"

namespace kv {

// A new dict of the 161 colour codes, in the table's order.
PyObject* make_color_table();

// Checks a drawing function's colour argument (exact tuple or None, else
// "Expected tuple, got ...") and returns the (B, G, R) tuple; nullptr on error.
PyObject* color_bgr_checked(PyObject* color);

// _color_bgr's body for an already-checked tuple or None.
PyObject* color_bgr(PyObject* color);

}  // namespace kv
