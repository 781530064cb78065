// A validated view of a NumPy image: its shape, strides and data read at one
// moment, for code that then works on raw bytes. Python code can reshape or
// reallocate an array at any call into Python (a __float__, a rebound cv2
// function), so a view is read after the last such call and used before the
// next one. Callers hold the interpreter lock and a reference to the array.
#pragma once

#include <cstdint>

#include "pyapi/numpy.hpp"

namespace kv {

// A (height, width, channels) array of bytes.
struct ImageView {
  PyArrayObject* array = nullptr;  // borrowed
  uint8_t* data = nullptr;
  npy_intp rows = 0, cols = 0, channels = 0;
  npy_intp row_stride = 0, col_stride = 0, channel_stride = 0;
};

// Reads `o` as an image (any array of three dimensions and dtype uint8):
// TypeError "<who>: <what> must have three dimensions (height, width,
// channels), got N" or "... must have dtype uint8, got <dtype>" otherwise.
bool image_view(PyObject* o, const char* who, const char* what, ImageView* out);

// Reads `o` as a canvas: the same shape rule, one message
// "<who>: <what> must be a uint8 canvas of shape (height, width, channels),
// got N dimensions of <dtype>", and writeable.
bool canvas_view(PyObject* o, const char* who, const char* what, ImageView* out);

}  // namespace kv
