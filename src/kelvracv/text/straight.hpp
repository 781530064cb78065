// Text images drawn straight into the canvas. Where blit would move the text
// image by whole pixels (upright text at its own pixel size), each canvas
// pixel under the image is blended with the image pixel over it, with
// blit's arithmetic, and no canvas-sized pass or warp is made. Main thread
// (any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// blit(arr, ts', image, (scale, scale)) as the module's own blit draws it,
// ts' being ts with its "cursor_pos" replaced by `cursor`, where that blit
// moves the image by whole pixels onto a canvas of packed pixels: *done
// tells (when false nothing is drawn, and the caller blits). The text
// image's pixels are expected to be transparent or of the colour `bgr` (B, G,
// R, each 0-255; nullptr when the colour is not such): any other pixel is
// still drawn exactly, only slower. False with an exception set.
bool draw_text_straight(PyObject* arr, PyObject* ts, PyObject* cursor, PyObject* image, double scale, const long* bgr,
                        bool* done);

}  // namespace kv::text
