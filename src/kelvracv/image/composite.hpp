// Compositing of a warped, canvas-sized image into the canvas, on raw bytes.
// No Python here: the caller has checked shapes and holds the arrays alive.
// Also works out which part of the canvas a perspective warp can touch, so
// the pass skips memory that is known to be zero. Caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::image {

// The canvas as NumPy lays it out: any strides (in bytes), 8-bit channels.
struct CanvasView {
  uint8_t* data;
  ptrdiff_t rows, cols, channels;
  ptrdiff_t row_stride, col_stride, channel_stride;
};

// Where the warped pixels come from, a row piece at a time: a warped
// canvas-sized image, or a warp computed for just the pixels asked for.
class WarpedRows {
 public:
  // band_rows: rows narrowed to the quad together (see Region); pixels
  // computed on demand pay for every column asked, so they take one.
  WarpedRows(ptrdiff_t channels, ptrdiff_t band_rows) : channels(channels), band_rows(band_rows) {}
  virtual ~WarpedRows() = default;
  // The warped pixels [c0, c1) of canvas row y, `channels` bytes each,
  // valid until the next call.
  virtual const uint8_t* row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1) = 0;
  const ptrdiff_t channels, band_rows;
};

// The warp result as an image: C-contiguous, same rows and columns as the canvas.
struct WarpedView {
  const uint8_t* data;
  ptrdiff_t rows, cols, channels;
};

class WarpedImageRows final : public WarpedRows {
 public:
  explicit WarpedImageRows(const WarpedView& v) : WarpedRows(v.channels, 8), v_(v) {}
  const uint8_t* row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t) override { return v_.data + (y * v_.cols + c0) * channels; }

 private:
  WarpedView v_;
};

// Half-open pixel rectangle [row0, row1) x [col0, col1). With a quad, only
// the pixels within `margin` (in x and in y) of that convex quadrilateral
// (canvas coordinates, vertices in order) are visited: each band of rows is
// narrowed to the columns the quad reaches there.
struct Region {
  ptrdiff_t row0, row1, col0, col1;
  bool has_quad = false;
  double qx[4] = {}, qy[4] = {};
  double margin = 0.0;
};

inline Region whole(const CanvasView& c) { return {0, c.rows, 0, c.cols}; }

// Four channels (B, G, R, alpha) over a three-channel canvas:
// canvas * (1.0 - a / 255.0) + bgr * (a / 255.0), truncated to 8 bits,
// in that order of operations. Pixels with alpha 0 are left alone (exact).
void composite_alpha(WarpedRows& src, const CanvasView& dst, Region r);

// composite_alpha of a four-channel image moved by whole pixels, over the
// rectangle r (no quad) that it covers: canvas pixel (x, y) under image
// pixel (x - x0, y - y0), the image's rows `image_stride` bytes apart and
// its pixels packed.
void composite_alpha_at(const uint8_t* image, ptrdiff_t image_stride, ptrdiff_t x0, ptrdiff_t y0,
                        const CanvasView& dst, const Region& r);

// Same channel count: each non-zero warped element replaces the canvas element.
void composite_nonzero(WarpedRows& src, const CanvasView& dst, Region r);

// The canvas area outside which OpenCV's bilinear warp of a w x h image with
// the forward matrix m (row-major 3x3, source to canvas) is zero in every
// channel: a rectangle and the quad within it. False when that area is not bounded or not safely known (the image
// crosses the horizon, the matrix is not finite): the caller then takes the
// whole canvas.
// own_kernel: the warp is this library's region warp, whose samples are 0
// unless the source position lies in (-1, w) x (-1, h) (also with OpenCV 4's
// positions in 1/32 pixel): the right and bottom edges then need no more
// margin than the left and top ones.
bool warp_support(const double m[9], double w, double h, ptrdiff_t rows, ptrdiff_t cols, Region* out,
                  bool own_kernel = false);

}  // namespace kv::image
