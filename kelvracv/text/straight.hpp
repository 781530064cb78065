// Text images drawn straight into the canvas. Where blit would move the text
// image by whole pixels (upright text at its own pixel size), each canvas
// pixel under the image is blended with the image pixel over it, with
// blit's arithmetic, and no canvas-sized pass or warp is made. Main thread
// (any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// blit(arr, ts_temp, image, scale) as the module's own blit draws it, for a
// text image whose pixels are either transparent or of the colour `bgr`
// (B, G, R, each 0-255; nullptr when the colour is not such): any other pixel
// is still drawn exactly, only slower. False with an exception set.
bool draw_text_image(PyObject* arr, PyObject* ts_temp, PyObject* image, PyObject* scale, const long* bgr);

}  // namespace kv::text
