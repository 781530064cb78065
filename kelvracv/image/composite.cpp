// Compositing loops and the warp's support rectangle (see composite.hpp).

#include "image/composite.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv::image {
namespace {

// Source-pixel margin around the image: bilinear sampling reads one pixel
// beyond the left and top edges, plus slack for OpenCV's fixed-point rounding.
constexpr double kSourceMargin = 1.5;
// Canvas-pixel margin added to the mapped box for rounding of the inverse map.
constexpr double kCanvasMargin = 2.0;
// Relative size below which a homogeneous w counts as "maybe zero".
constexpr double kRelTiny = 1e-9;

// a / 255.0 and 1.0 - a / 255.0 for every alpha, computed as NumPy does.
struct AlphaTable {
  double alpha[256], keep[256];
  AlphaTable() {
    for (int a = 0; a < 256; a++) {
      alpha[a] = a / 255.0;
      keep[a] = 1.0 - alpha[a];
    }
  }
};
const AlphaTable kAlpha;

// floor(n / 255) for 0 <= n <= 65025 (checked for every such n).
inline unsigned div255(unsigned n) { return (n + 1 + (n >> 8)) >> 8; }

// The double formula for one channel, where the integer blend is a whole number.
inline uint8_t blend_fp(unsigned c, unsigned b, unsigned a) {
  double v = static_cast<double>(c) * kAlpha.keep[a] + static_cast<double>(b) * kAlpha.alpha[a];
  return static_cast<uint8_t>(static_cast<int>(v));  // 0 <= v < 256: truncation
}

// Blends one pixel whose alpha is neither 0 nor 255. The exact blend is
// n / 255 with n = c * (255 - a) + b * a; the double formula differs from it
// by far less than 1 / 255, so the two truncate alike unless n / 255 is a
// whole number, where the double formula itself decides (it may land just
// below). Result: the double formula's bytes at integer speed.
inline void blend(const uint8_t* px, uint8_t* out, ptrdiff_t channel_stride) {
  const unsigned a = px[3], keep_i = 255 - a;
  for (int ch = 0; ch < 3; ch++) {
    uint8_t* d = out + ch * channel_stride;
    const unsigned n = *d * keep_i + px[ch] * a;
    const unsigned q = div255(n);
    if (n != q * 255 || n == 0) {
      *d = static_cast<uint8_t>(q);
      continue;
    }
    *d = blend_fp(*d, px[ch], a);
  }
}

template <int C>
void nonzero_rows(const WarpedView& src, const CanvasView& dst, Region r, ptrdiff_t channels) {
  const ptrdiff_t nc = C > 0 ? C : channels;
  for (ptrdiff_t y = r.row0; y < r.row1; y++) {
    const uint8_t* px = src.data + (y * src.cols + r.col0) * nc;
    uint8_t* out = dst.data + y * dst.row_stride + r.col0 * dst.col_stride;
    for (ptrdiff_t x = r.col0; x < r.col1; x++, px += nc, out += dst.col_stride) {
      for (ptrdiff_t ch = 0; ch < nc; ch++)
        if (px[ch]) out[ch * dst.channel_stride] = px[ch];
    }
  }
}

#if defined(__SSE2__)
// Four B, G, R, A pixels over four packed B, G, R canvas pixels (12 bytes):
// the integer blend of blend() in 16-bit lanes, where alpha 0 keeps the
// canvas and alpha 255 takes the image exactly. Channels whose blend is a
// whole number under a partial alpha are redone with the double formula.
inline void over4_packed(const uint8_t* px, uint8_t* out) {
  uint64_t lo;
  uint32_t hi;
  std::memcpy(&lo, out, 8);
  std::memcpy(&hi, out + 8, 4);
  const uint64_t p[4] = {lo & 0xFFFFFF, (lo >> 24) & 0xFFFFFF, ((lo >> 48) | (uint64_t{hi} << 16)) & 0xFFFFFF,
                         (hi >> 8) & 0xFFFFFF};
  const __m128i canvas = _mm_set_epi64x(static_cast<long long>(p[2] | (p[3] << 32)),
                                        static_cast<long long>(p[0] | (p[1] << 32)));
  const __m128i image = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
  const __m128i zero = _mm_setzero_si128(), k255 = _mm_set1_epi16(255), one = _mm_set1_epi16(1);
  __m128i q[2];
  int redo = 0;
  for (int half = 0; half < 2; half++) {
    __m128i s16 = half ? _mm_unpackhi_epi8(image, zero) : _mm_unpacklo_epi8(image, zero);
    __m128i c16 = half ? _mm_unpackhi_epi8(canvas, zero) : _mm_unpacklo_epi8(canvas, zero);
    __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(s16, 0xFF), 0xFF);
    __m128i n = _mm_add_epi16(_mm_mullo_epi16(c16, _mm_sub_epi16(k255, a)), _mm_mullo_epi16(s16, a));
    q[half] = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(n, one), _mm_srli_epi16(n, 8)), 8);
    __m128i whole = _mm_cmpeq_epi16(_mm_mullo_epi16(q[half], k255), n);
    // Alpha 0 or 255, or nothing to blend (n = 0 means c = b = 0): the integer result is the double one.
    __m128i trivial = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(a, k255)),
                                   _mm_cmpeq_epi16(n, zero));
    redo |= (_mm_movemask_epi8(_mm_andnot_si128(trivial, whole)) & 0x3F3F) << (16 * half);
  }
  const __m128i r = _mm_packus_epi16(q[0], q[1]);
  const uint64_t w0 = static_cast<uint64_t>(_mm_cvtsi128_si64(r));
  const uint64_t w1 = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(r, r)));
  const uint64_t r0 = w0 & 0xFFFFFF, r1 = (w0 >> 32) & 0xFFFFFF, r2 = w1 & 0xFFFFFF, r3 = (w1 >> 32) & 0xFFFFFF;
  lo = r0 | (r1 << 24) | (r2 << 48);
  hi = static_cast<uint32_t>((r2 >> 16) | (r3 << 8));
  std::memcpy(out, &lo, 8);
  std::memcpy(out + 8, &hi, 4);
  if (redo) {
    // Rare on a fresh canvas, common where a sprite is drawn over itself: redo
    // the partly transparent pixels whole, without a branch per channel.
    for (int i = 0; i < 4; i++) {
      const unsigned a = px[4 * i + 3];
      if (a == 0 || a == 255) continue;
      for (int ch = 0; ch < 3; ch++)
        out[3 * i + ch] = blend_fp((p[i] >> (8 * ch)) & 0xFF, px[4 * i + ch], a);
    }
  }
}
#endif

// Four opaque B, G, R, A pixels copied onto four packed B, G, R canvas pixels.
inline void copy4_packed(const uint8_t* px, uint8_t* out) {
  uint64_t w0, w1;
  std::memcpy(&w0, px, 8);
  std::memcpy(&w1, px + 8, 8);
  const uint64_t r0 = w0 & 0xFFFFFF, r1 = (w0 >> 32) & 0xFFFFFF, r2 = w1 & 0xFFFFFF, r3 = (w1 >> 32) & 0xFFFFFF;
  const uint64_t lo = r0 | (r1 << 24) | (r2 << 48);
  const uint32_t hi = static_cast<uint32_t>((r2 >> 16) | (r3 << 8));
  std::memcpy(out, &lo, 8);
  std::memcpy(out + 8, &hi, 4);
}

// One four-channel pixel over the canvas pixel `out`.
inline void over(const uint8_t* px, uint8_t* out, ptrdiff_t cs) {
  const uint8_t a = px[3];
  if (a == 0) return;
  if (a == 255) {
    out[0] = px[0], out[cs] = px[1], out[2 * cs] = px[2];
  } else {
    blend(px, out, cs);
  }
}

// The alpha bytes of two little-endian B, G, R, A pixels read as one word.
constexpr uint64_t kAlphaPair = 0xFF000000FF000000ull;

}  // namespace

void composite_alpha(const WarpedView& src, const CanvasView& dst, Region r) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "alpha test assumes little-endian words");
  const ptrdiff_t cs = dst.channel_stride, ps = dst.col_stride;
  [[maybe_unused]] const bool packed = ps == 3 && cs == 1;  // B, G, R bytes side by side
  for (ptrdiff_t y = r.row0; y < r.row1; y++) {
    const uint8_t* px = src.data + (y * src.cols + r.col0) * 4;
    uint8_t* out = dst.data + y * dst.row_stride + r.col0 * ps;
    ptrdiff_t x = r.col0;
    // Four pixels at a time; fully transparent groups (most of the canvas) cost one test.
    for (; x + 4 <= r.col1; x += 4, px += 16, out += 4 * ps) {
      uint64_t lo, hi;
      std::memcpy(&lo, px, 8);
      std::memcpy(&hi, px + 8, 8);
      if (((lo | hi) & kAlphaPair) == 0) continue;
      if (packed && (lo & hi & kAlphaPair) == kAlphaPair) {
        copy4_packed(px, out);  // four opaque pixels, the common inside of a sprite
        continue;
      }
#if defined(__SSE2__)
      if (packed) {
        over4_packed(px, out);
        continue;
      }
#endif
      for (int i = 0; i < 4; i++) over(px + 4 * i, out + i * ps, cs);
    }
    for (; x < r.col1; x++, px += 4, out += ps) over(px, out, cs);
  }
}

void composite_nonzero(const WarpedView& src, const CanvasView& dst, Region r) {
  if (src.channels == 3)
    nonzero_rows<3>(src, dst, r, 3);
  else
    nonzero_rows<0>(src, dst, r, src.channels);
}

bool warp_support(const double m[9], double w, double h, ptrdiff_t rows, ptrdiff_t cols, Region* out) {
  for (int i = 0; i < 9; i++)
    if (!std::isfinite(m[i])) return false;
  // The source rectangle that can yield non-zero samples, mapped forward. Its
  // image is the convex quad of the mapped corners when w keeps one sign on it.
  const double sx[4] = {-kSourceMargin, w + kSourceMargin, w + kSourceMargin, -kSourceMargin};
  const double sy[4] = {-kSourceMargin, -kSourceMargin, h + kSourceMargin, h + kSourceMargin};
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
  return true;
}

}  // namespace kv::image
