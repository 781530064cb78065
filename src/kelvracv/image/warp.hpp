// OpenCV's bilinear perspective warp (cv2.warpPerspective with INTER_LINEAR
// and a constant border of 0) for a part of the destination only, with the
// arithmetic of OpenCV 5.1's own AVX2 warp kernels, so each computed pixel
// has the bytes OpenCV writes there. No Python here; caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::image {

// The source image: 3 or 4 interleaved 8-bit channels, rows `row_stride`
// bytes apart.
struct WarpSource {
  const uint8_t* data;
  ptrdiff_t rows, cols, channels, row_stride;
};

// The warp of `src` by the forward matrix m (row-major 3x3, source to
// destination) onto a destination `dst_cols` pixels wide, one row piece at
// a time. OpenCV inverts m and maps each destination pixel back in float32;
// the arithmetic differs between the 16-pixel blocks of a row and its last
// dst_cols % 16 pixels, so the result depends on dst_cols.
// Which of OpenCV's bilinear warps to reproduce: the float kernels of its
// AVX2 dispatch (OpenCV 5), or the fixed-point remap tables of OpenCV 4
// (coordinates in 1/32 pixel, 15-bit weights; the same on every processor).
enum class WarpArithmetic { kFloatKernels, kFixedPoint };

class RegionWarp {
 public:
  // False when OpenCV's inverse of m is singular (OpenCV then samples with
  // a zero matrix) or the sizes are beyond what the kernel handles exactly.
  // zero_transparent: four-channel pixels whose alpha comes out 0 may be
  // all 0 (for alpha compositing, which leaves such pixels alone).
  // whole_shift: only a whole-pixel translation is accepted (false for any
  // other matrix), and then any bilinear warp gives the same rows, whatever
  // kernels OpenCV runs (its own or Intel IPP's) and whatever the processor.
  bool init(const double m[9], const WarpSource& src, ptrdiff_t dst_rows, ptrdiff_t dst_cols,
            bool zero_transparent = false, bool whole_shift = false,
            WarpArithmetic arithmetic = WarpArithmetic::kFloatKernels);
  // The warped pixels [c0, c1) of destination row y, `channels` bytes each,
  // valid until the next call.
  const uint8_t* row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1);
  // When the warp moves the image by whole pixels (every row a piece of a
  // source row, as shifted_row gives it): the destination rows [*r0, *r1)
  // and columns [*c0, *c1) the image lands on; every other pixel of the warp
  // is 0. False otherwise.
  bool whole_footprint(ptrdiff_t* r0, ptrdiff_t* r1, ptrdiff_t* c0, ptrdiff_t* c1);

 private:
  WarpSource src_{};
  float m_[9] = {};
  ptrdiff_t block_end_ = 0;  // columns below this one are in 16-pixel blocks
  bool zero_transparent_ = false;
  // The row buffer: small_ for rows that fit (no allocation per blit), buf_
  // beyond; out_ is the one in use.
  alignas(32) uint8_t small_[2048];
  std::vector<uint8_t> buf_;
  uint8_t* out_ = nullptr;
  // The inverse moves by whole pixels along x (see shifted_row).
  bool shift_x_ = false;
  // OpenCV 4's fixed-point warp: its double inverse and the width of its
  // blocks of destination columns (the coordinates restart at each block).
  bool fixed_ = false;
  bool fixed_wide_ = false;  // its AVX2 form (eight pixels at a time) in use
  // whole_footprint() found a whole-pixel move by (foot_dx_, foot_dy_) pixels
  // from destination to source.
  bool footprint_ = false;
  ptrdiff_t foot_dx_ = 0, foot_dy_ = 0;
  double md_[9] = {};
  ptrdiff_t block_cols_ = 0;
  ptrdiff_t dst_cols_ = 0;

  const uint8_t* shifted_row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1);
  void fixed_row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1, uint8_t* out) const;
};

// cv2.getPerspectiveTransform(src, dst) for four float32 points each (x, y
// pairs), as OpenCV computes it when its first method succeeds: the 8x8
// system of the corners solved by LU decomposition in double, with c22 = 1.
// False when that method fails or its residual is too close to OpenCV's
// limit to be sure; OpenCV then takes another way, so ask it.
bool opencv_perspective_transform(const float src[8], const float dst[8], double out[9]);

// OpenCV's inverse of a 3x3 matrix (cv::invert with DECOMP_LU: the cofactor
// formula in double); false, with zeros, when the determinant is 0.
bool opencv_invert3(const double m[9], double out[9]);

}  // namespace kv::image
