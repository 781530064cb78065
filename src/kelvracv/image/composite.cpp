// Compositing loops and the warp's support rectangle (see composite.hpp):
// the portable algorithm, one pixel at a time (blend.hpp); packed canvases
// take the vector kernels of kernels.cpp.

#include "image/composite.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image/blend.hpp"

namespace kv::image {
namespace {

// Source-pixel margin around the image: bilinear sampling reads one pixel
// beyond the left and top edges, plus slack for OpenCV's fixed-point rounding.
constexpr double kSourceMargin = 1.5;
// Canvas-pixel margin added to the mapped box for rounding of the inverse map.
constexpr double kCanvasMargin = 2.0;
// Relative size below which a homogeneous w counts as "maybe zero".
constexpr double kRelTiny = 1e-9;

// Asks for the cache lines of the n bytes at p ahead of their use (writes).
inline void prefetch_span(const uint8_t* p, ptrdiff_t n) {
  for (ptrdiff_t i = 0; i < n; i += 64) __builtin_prefetch(p + i, 1);
  __builtin_prefetch(p + n - 1, 1);
}

// The portable row: pixels [x0, x1) one by one, four transparent ones (most
// of the area) skipped with one test. Any canvas layout.
void alpha_row(const uint8_t* px, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t ps, ptrdiff_t cs) {
  ptrdiff_t x = x0;
  for (; x + 4 <= x1; x += 4, px += 16, out += 4 * ps) {
    if (alpha4(px) == 0) continue;
    for (int i = 0; i < 4; i++) over(px + 4 * i, out + i * ps, cs);
  }
  for (; x < x1; x++, px += 4, out += ps) over(px, out, cs);
}

// Pixels [c0, c1) of one row: each non-zero element replaces the canvas element.
template <int C>
void nonzero_row(const uint8_t* px, uint8_t* out, ptrdiff_t c0, ptrdiff_t c1, const CanvasView& dst,
                 ptrdiff_t channels) {
  const ptrdiff_t nc = C > 0 ? C : channels;
  for (ptrdiff_t x = c0; x < c1; x++, px += nc, out += dst.col_stride) {
    for (ptrdiff_t ch = 0; ch < nc; ch++)
      if (px[ch]) out[ch * dst.channel_stride] = px[ch];
  }
}

// The columns of rows [y0, y1) within r's margin of its quad, clipped to r's
// columns; an empty range when the band misses the quad.
// The quad's edges as x = ax + (y - ay) * slope, worked out once per pass.
struct QuadEdges {
  double ax[4], ay[4], by[4], slope[4];
  explicit QuadEdges(const Region& r) {
    for (int i = 0; i < 4; i++) {
      ax[i] = r.qx[i], ay[i] = r.qy[i], by[i] = r.qy[(i + 1) % 4];
      slope[i] = ay[i] != by[i] ? (r.qx[(i + 1) % 4] - ax[i]) / (by[i] - ay[i]) : 0.0;
    }
  }
};

void band_columns(const Region& r, const QuadEdges& q, ptrdiff_t y0, ptrdiff_t y1, ptrdiff_t* c0, ptrdiff_t* c1) {
  *c0 = r.col0, *c1 = r.col1;
  if (!r.has_quad) return;
  const double lo = static_cast<double>(y0) - r.margin, hi = static_cast<double>(y1 - 1) + r.margin;
  double min_x = HUGE_VAL, max_x = -HUGE_VAL;
  // The quad cut to the band is convex: its extremes in x are quad vertices
  // inside the band or points where the edges cross the band's borders
  // (their rounding is far inside the margin).
#if defined(__SSE2__)
  // Two edges at a time, without branches (which edges count changes from
  // row to row). Every candidate is worked out; those that do not count
  // are replaced by the neutral bound. The extremes are the same numbers.
  const __m128d vlo = _mm_set1_pd(lo), vhi = _mm_set1_pd(hi);
  const __m128d up = _mm_set1_pd(HUGE_VAL), down = _mm_set1_pd(-HUGE_VAL);
  __m128d mn = up, mx = down;
  auto take = [&](__m128d keep, __m128d x) {
    mn = _mm_min_pd(mn, _mm_or_pd(_mm_and_pd(keep, x), _mm_andnot_pd(keep, up)));
    mx = _mm_max_pd(mx, _mm_or_pd(_mm_and_pd(keep, x), _mm_andnot_pd(keep, down)));
  };
  for (int i = 0; i < 4; i += 2) {
    const __m128d ax = _mm_loadu_pd(q.ax + i), ay = _mm_loadu_pd(q.ay + i), by = _mm_loadu_pd(q.by + i),
                  slope = _mm_loadu_pd(q.slope + i);
    take(_mm_and_pd(_mm_cmpge_pd(ay, vlo), _mm_cmple_pd(ay, vhi)), ax);
    take(_mm_xor_pd(_mm_cmplt_pd(ay, vlo), _mm_cmplt_pd(by, vlo)),
         _mm_add_pd(ax, _mm_mul_pd(_mm_sub_pd(vlo, ay), slope)));
    take(_mm_xor_pd(_mm_cmplt_pd(ay, vhi), _mm_cmplt_pd(by, vhi)),
         _mm_add_pd(ax, _mm_mul_pd(_mm_sub_pd(vhi, ay), slope)));
  }
  min_x = std::min(_mm_cvtsd_f64(mn), _mm_cvtsd_f64(_mm_unpackhi_pd(mn, mn)));
  max_x = std::max(_mm_cvtsd_f64(mx), _mm_cvtsd_f64(_mm_unpackhi_pd(mx, mx)));
#else
  for (int i = 0; i < 4; i++) {
    const double ax = q.ax[i], ay = q.ay[i], by = q.by[i];
    if (ay >= lo && ay <= hi) min_x = std::min(min_x, ax), max_x = std::max(max_x, ax);
    if ((ay < lo) != (by < lo)) {
      const double x = ax + (lo - ay) * q.slope[i];
      min_x = std::min(min_x, x), max_x = std::max(max_x, x);
    }
    if ((ay < hi) != (by < hi)) {
      const double x = ax + (hi - ay) * q.slope[i];
      min_x = std::min(min_x, x), max_x = std::max(max_x, x);
    }
  }
#endif
  if (!(min_x <= max_x)) {
    *c1 = *c0;
    return;
  }
  // Clamped to the region's columns (whole numbers, not below 0) first, the
  // floor is the conversion and the ceiling one more where it truncated.
  const double lo_col = double(r.col0), hi_col = double(r.col1);
  const double left = std::clamp(min_x - r.margin, lo_col, hi_col);
  const double right = std::clamp(max_x + r.margin, lo_col, hi_col);
  ptrdiff_t ceil_right = static_cast<ptrdiff_t>(right);
  if (static_cast<double>(ceil_right) < right) ceil_right++;
  *c0 = static_cast<ptrdiff_t>(left);
  *c1 = std::max(*c0, std::min(ceil_right + 1, r.col1));
}

// visit(y, c0, c1) for each row of the region that reaches the quad, with
// the columns [c0, c1) the quad reaches in that row's band.
template <class Visit>
void each_row(const WarpedRows& src, const Region& r, Visit visit) {
  const QuadEdges edges(r);
  for (ptrdiff_t band = r.row0; band < r.row1; band += src.band_rows) {
    const ptrdiff_t band_end = std::min(band + src.band_rows, r.row1);
    ptrdiff_t c0, c1;
    band_columns(r, edges, band, band_end, &c0, &c1);
    for (ptrdiff_t y = band; y < band_end && c0 < c1; y++) visit(y, c0, c1);
  }
}

}  // namespace

void composite_alpha(WarpedRows& src, const CanvasView& dst, Region r) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "alpha test assumes little-endian words");
  const ptrdiff_t cs = dst.channel_stride, ps = dst.col_stride;
  const AlphaRow packed = ps == 3 && cs == 1 ? packed_alpha_row() : nullptr;
  const AlphaRow row = packed ? packed : alpha_row;
  each_row(src, r, [&](ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1) {
    uint8_t* out = dst.data + y * dst.row_stride + c0 * ps;
    // The canvas row is fetched while the warp makes the row: a sprite's
    // place on a large canvas is seldom in the cache.
    prefetch_span(out, (c1 - c0 - 1) * ps + 2 * cs + 1);
    row(src.row(y, c0, c1), out, c0, c1, ps, cs);
  });
}

void composite_alpha_at(const uint8_t* image, ptrdiff_t image_stride, ptrdiff_t x0, ptrdiff_t y0,
                        const CanvasView& dst, const Region& r) {
  const ptrdiff_t cs = dst.channel_stride, ps = dst.col_stride;
  const uint8_t* px = image + (r.row0 - y0) * image_stride + (r.col0 - x0) * 4;
  uint8_t* out = dst.data + r.row0 * dst.row_stride + r.col0 * ps;
  if (r.row0 >= r.row1 || r.col0 >= r.col1) return;
  if (const AlphaRect rect = ps == 3 && cs == 1 ? packed_alpha_rect() : nullptr) {
    rect(px, image_stride, out, dst.row_stride, r.row1 - r.row0, r.col1 - r.col0);
    return;
  }
  for (ptrdiff_t y = r.row0; y < r.row1; y++, px += image_stride, out += dst.row_stride)
    alpha_row(px, out, r.col0, r.col1, ps, cs);
}

void composite_nonzero(WarpedRows& src, const CanvasView& dst, Region r) {
  each_row(src, r, [&](ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1) {
    const uint8_t* px = src.row(y, c0, c1);
    uint8_t* out = dst.data + y * dst.row_stride + c0 * dst.col_stride;
    if (src.channels == 3 && dst.col_stride == 3 && dst.channel_stride == 1)
      nonzero_bytes(px, out, (c1 - c0) * 3);
    else if (src.channels == 3)
      nonzero_row<3>(px, out, c0, c1, dst, 3);
    else
      nonzero_row<0>(px, out, c0, c1, dst, src.channels);
  });
}

bool warp_support(const double m[9], double w, double h, ptrdiff_t rows, ptrdiff_t cols, Region* out,
                  bool own_kernel) {
  for (int i = 0; i < 9; i++)
    if (!std::isfinite(m[i])) return false;
  // The source rectangle that can yield non-zero samples, mapped forward. Its
  // image is the convex quad of the mapped corners when w keeps one sign on it.
  // Samples reach one pixel past the left and top edges; the region warp's
  // reach no further than the right and bottom edges.
  const double far = own_kernel ? kSourceMargin - 1.0 : kSourceMargin;
  const double sx[4] = {-kSourceMargin, w + far, w + far, -kSourceMargin};
  const double sy[4] = {-kSourceMargin, -kSourceMargin, h + far, h + far};
  double min_x = HUGE_VAL, max_x = -HUGE_VAL, min_y = HUGE_VAL, max_y = -HUGE_VAL;
  int sign = 0;
  for (int i = 0; i < 4; i++) {
    double hw = m[6] * sx[i] + m[7] * sy[i] + m[8];
    double scale = std::fabs(m[6] * sx[i]) + std::fabs(m[7] * sy[i]) + std::fabs(m[8]);
    if (!(std::fabs(hw) > kRelTiny * scale)) return false;
    int s = hw > 0 ? 1 : -1;
    if (sign && s != sign) return false;
    sign = s;
    double x = (m[0] * sx[i] + m[1] * sy[i] + m[2]) / hw;
    double y = (m[3] * sx[i] + m[4] * sy[i] + m[5]) / hw;
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    min_x = std::min(min_x, x), max_x = std::max(max_x, x);
    min_y = std::min(min_y, y), max_y = std::max(max_y, y);
    out->qx[i] = x, out->qy[i] = y;
  }
  // Canvas pixels on the horizon line (w of the inverse map exactly 0) are
  // sampled at the image origin by OpenCV: the line must miss the canvas.
  const double l0 = m[3] * m[7] - m[4] * m[6];
  const double l1 = m[1] * m[6] - m[0] * m[7];
  const double l2 = m[0] * m[4] - m[1] * m[3];
  const double cx[4] = {-1.0, static_cast<double>(cols), static_cast<double>(cols), -1.0};
  const double cy[4] = {-1.0, -1.0, static_cast<double>(rows), static_cast<double>(rows)};
  sign = 0;
  for (int i = 0; i < 4; i++) {
    double g = l0 * cx[i] + l1 * cy[i] + l2;
    double scale = std::fabs(l0 * cx[i]) + std::fabs(l1 * cy[i]) + std::fabs(l2);
    if (!(std::fabs(g) > kRelTiny * scale)) return false;
    int s = g > 0 ? 1 : -1;
    if (sign && s != sign) return false;
    sign = s;
  }
  // Clamp in doubles before converting: the box may lie far off the canvas.
  auto clamp = [](double v, ptrdiff_t hi) {
    return static_cast<ptrdiff_t>(std::clamp(v, 0.0, static_cast<double>(hi)));
  };
  out->col0 = clamp(std::floor(min_x - kCanvasMargin), cols);
  out->col1 = clamp(std::ceil(max_x + kCanvasMargin) + 1.0, cols);
  out->row0 = clamp(std::floor(min_y - kCanvasMargin), rows);
  out->row1 = clamp(std::ceil(max_y + kCanvasMargin) + 1.0, rows);
  if (out->col1 < out->col0) out->col1 = out->col0;
  if (out->row1 < out->row0) out->row1 = out->row0;
  out->has_quad = true;
  out->margin = kCanvasMargin;
  return true;
}

}  // namespace kv::image
