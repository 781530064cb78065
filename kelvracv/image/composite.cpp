// Compositing loops and the warp's support rectangle (see composite.hpp).

#include "image/composite.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define KV_HAVE_AVX2_KERNEL 1
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

// For each partial alpha a and canvas value c: whether the double formula
// with image value b == c lands just below c (the exact blend is c itself).
// This is the state a pixel settles in when a sprite is drawn over itself,
// so the fallback below mostly answers from here.
// Indexed by a * 256 + c; padded for four-byte gathers at the last index.
// Few alphas have any such c at all: `risky_lo`/`risky_hi` hold them as
// bitmaps for a byte lookup, indexed by a's low nibble, bit (a >> 4) & 7 of
// risky_lo for a < 128 and of risky_hi for a >= 128.
struct SameValueTable {
  uint8_t below[256 * 256 + 4] = {};
  uint8_t risky_lo[16] = {}, risky_hi[16] = {};
  SameValueTable() {
    for (int a = 0; a < 256; a++)
      for (int c = 0; c < 256; c++) {
        below[a * 256 + c] = blend_fp(c, c, a) < c;
        if (below[a * 256 + c]) (a < 128 ? risky_lo : risky_hi)[a & 15] |= static_cast<uint8_t>(1 << ((a >> 4) & 7));
      }
  }
};
const SameValueTable kSame;

// One channel whose integer blend n = c * (255 - a) + b * a is a whole
// multiple of 255 under a partial alpha: the double formula decides.
inline uint8_t whole_blend(unsigned c, unsigned b, unsigned a) {
  if (c == b) return static_cast<uint8_t>(c - kSame.below[a * 256 + c]);
  return blend_fp(c, b, a);
}

// Redoes the channels flagged in `lanes` (two bits per 16-bit lane, lanes in
// pixel order B, G, R, A) of packed pixels: `px` the image, `orig` the canvas
// bytes before the integer blend, `out` the canvas.
inline void redo_lanes(uint64_t lanes, const uint8_t* px, const uint8_t* orig, uint8_t* out) {
  lanes &= 0x5555555555555555ull;
  while (lanes) {
    const int lane = __builtin_ctzll(lanes) >> 1;
    lanes &= lanes - 1;
    const int p = lane >> 2, ch = lane & 3;
    out[3 * p + ch] = whole_blend(orig[3 * p + ch], px[4 * p + ch], px[4 * p + 3]);
  }
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
    *d = whole_blend(*d, px[ch], a);
  }
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
  uint64_t redo = 0;
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
    redo |= static_cast<uint64_t>(_mm_movemask_epi8(_mm_andnot_si128(trivial, whole)) & 0x3F3F) << (16 * half);
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
    // Rare on a fresh canvas, common where a sprite is drawn over itself.
    uint8_t orig[16];
    for (int i = 0; i < 4; i++) std::memcpy(orig + 3 * i, &p[i], 3);
    redo_lanes(redo, px, orig, out);
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

// Pixels [x0, x1) of one row, four at a time; fully transparent groups (most
// of the area) cost one test.
void alpha_row(const uint8_t* px, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t ps, ptrdiff_t cs) {
  [[maybe_unused]] const bool packed = ps == 3 && cs == 1;  // B, G, R bytes side by side
  ptrdiff_t x = x0;
  for (; x + 4 <= x1; x += 4, px += 16, out += 4 * ps) {
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
  for (; x < x1; x++, px += 4, out += ps) over(px, out, cs);
}

#if defined(KV_HAVE_AVX2_KERNEL)
#define KV_AVX2 __attribute__((target("avx2")))

// Eight B, G, R, A pixels (one 32-byte register, four per 128-bit lane)
// packed down to 24 B, G, R bytes at out.
KV_AVX2 inline void store24(uint8_t* out, __m256i bgra) {
  const __m256i drop_alpha = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                              0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bgra, drop_alpha), join);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
}

// The channels of eight pixels whose image value equals the canvas value,
// where the double formula lands just below it: 1 in those bytes, else 0.
// `canvas` and `image` hold B, G, R, x pixels, four per 128-bit lane.
KV_AVX2 inline __m256i same_value_below(__m256i canvas, __m256i image) {
  const __m256i colour_bytes = _mm256_set1_epi32(0x00FFFFFF);
  __m256i same = _mm256_and_si256(_mm256_cmpeq_epi8(canvas, image), colour_bytes);
  if (_mm256_testz_si256(same, same)) return _mm256_setzero_si256();
  // Keep the pixels whose alpha has any entry in the table.
  const __m256i byte = _mm256_set1_epi32(0xFF), nibble = _mm256_set1_epi32(0x0F);
  const __m256i alpha = _mm256_srli_epi32(image, 24);
  const __m256i low = _mm256_and_si256(alpha, nibble), high = _mm256_srli_epi32(alpha, 4);
  const __m256i bit = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                       1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i bit_high = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128,  //
                                            0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m128i lo_map = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSame.risky_lo));
  const __m128i hi_map = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSame.risky_hi));
  const __m256i risky = _mm256_and_si256(
      _mm256_or_si256(
          _mm256_and_si256(_mm256_shuffle_epi8(_mm256_set_m128i(lo_map, lo_map), low), _mm256_shuffle_epi8(bit, high)),
          _mm256_and_si256(_mm256_shuffle_epi8(_mm256_set_m128i(hi_map, hi_map), low),
                           _mm256_shuffle_epi8(bit_high, high))),
      byte);
  same = _mm256_andnot_si256(_mm256_cmpeq_epi32(risky, _mm256_setzero_si256()), same);
  if (_mm256_testz_si256(same, same)) return _mm256_setzero_si256();
  const __m256i row = _mm256_slli_epi32(alpha, 8);  // a * 256
  const int* table = reinterpret_cast<const int*>(kSame.below);
  __m256i below = _mm256_setzero_si256();
  for (int ch = 0; ch < 3; ch++) {
    const __m256i index = _mm256_or_si256(row, _mm256_and_si256(_mm256_srli_epi32(canvas, 8 * ch), byte));
    const __m256i flag = _mm256_and_si256(_mm256_i32gather_epi32(table, index, 1), byte);
    below = _mm256_or_si256(below, _mm256_slli_epi32(flag, 8 * ch));
  }
  return _mm256_and_si256(below, same);
}

// Eight pixels over eight packed canvas pixels: the integer blend of blend()
// in 16-bit lanes. Where the blend is a whole number under a partial alpha,
// equal image and canvas values are settled from the table in the same
// registers; the other flagged channels are redone one by one afterwards.
KV_AVX2 inline void over8_packed(const uint8_t* px, __m256i image, uint8_t* out) {
  // The canvas's 24 bytes as B, G, R, 0 pixels, four per lane like the image.
  const __m128i c_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out));
  const __m128i c_hi = _mm_alignr_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(out + 16)), c_lo, 12);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i canvas = _mm256_shuffle_epi8(_mm256_set_m128i(c_hi, c_lo), spread);
  const __m256i zero = _mm256_setzero_si256(), k255 = _mm256_set1_epi16(255), one = _mm256_set1_epi16(1);
  const __m256i colour = _mm256_set1_epi64x(0x0000FFFFFFFFFFFFll);  // B, G, R lanes, not alpha
  __m256i q[2];
  uint32_t redo[2];
  for (int half = 0; half < 2; half++) {
    // half 0: pixels 0, 1 | 4, 5; half 1: pixels 2, 3 | 6, 7.
    __m256i s16 = half ? _mm256_unpackhi_epi8(image, zero) : _mm256_unpacklo_epi8(image, zero);
    __m256i c16 = half ? _mm256_unpackhi_epi8(canvas, zero) : _mm256_unpacklo_epi8(canvas, zero);
    __m256i a = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(s16, 0xFF), 0xFF);
    __m256i n = _mm256_add_epi16(_mm256_mullo_epi16(c16, _mm256_sub_epi16(k255, a)), _mm256_mullo_epi16(s16, a));
    q[half] = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(n, one), _mm256_srli_epi16(n, 8)), 8);
    __m256i whole = _mm256_cmpeq_epi16(_mm256_mullo_epi16(q[half], k255), n);
    __m256i trivial = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(a, k255)), _mm256_cmpeq_epi16(n, zero));
    trivial = _mm256_or_si256(trivial, _mm256_cmpeq_epi16(c16, s16));  // settled by same_value_below
    redo[half] = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_andnot_si256(trivial, whole), colour)));
  }
  const __m256i result = _mm256_sub_epi8(_mm256_packus_epi16(q[0], q[1]), same_value_below(canvas, image));
  // Two bits per lane, in pixel order 0..7.
  const uint64_t lanes = (redo[0] & 0xFFFFull) | (uint64_t{redo[1] & 0xFFFFu} << 16) |
                         (uint64_t{redo[0] >> 16} << 32) | (uint64_t{redo[1] >> 16} << 48);
  if (lanes) {
    uint8_t orig[24];
    std::memcpy(orig, out, 24);
    store24(out, result);
    redo_lanes(lanes, px, orig, out);
    return;
  }
  store24(out, result);
}

// alpha_row for a packed canvas, eight pixels at a time.
KV_AVX2 void alpha_row_avx2(const uint8_t* px, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t, ptrdiff_t) {
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  ptrdiff_t x = x0;
  for (; x + 8 <= x1; x += 8, px += 32, out += 24) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px));
    if (_mm256_testz_si256(v, alpha)) continue;
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(v, alpha), alpha)) == -1) {
      store24(out, v);  // eight opaque pixels
      continue;
    }
    over8_packed(px, v, out);
  }
  // The rest goes to SSE code: clear the upper halves first, or every SSE
  // instruction pays for the dirty AVX state (the compiler leaves them dirty
  // before this tail call; measured as over half of a small blit's time).
  _mm256_zeroupper();
  alpha_row(px, out, x, x1, 3, 1);
}

#undef KV_AVX2
#endif

using AlphaRow = void (*)(const uint8_t*, uint8_t*, ptrdiff_t, ptrdiff_t, ptrdiff_t, ptrdiff_t);

// The eight-pixel kernel where the processor has AVX2, unless
// KELVRACV_NO_AVX2 is set (it selects the portable kernel, for testing).
AlphaRow packed_alpha_row() {
#if defined(KV_HAVE_AVX2_KERNEL)
  static const AlphaRow row =
      __builtin_cpu_supports("avx2") && !std::getenv("KELVRACV_NO_AVX2") ? alpha_row_avx2 : alpha_row;
  return row;
#else
  return alpha_row;
#endif
}

// The columns of rows [y0, y1) within r's margin of its quad, clipped to r's
// columns; an empty range when the band misses the quad.
void band_columns(const Region& r, ptrdiff_t y0, ptrdiff_t y1, ptrdiff_t* c0, ptrdiff_t* c1) {
  *c0 = r.col0, *c1 = r.col1;
  if (!r.has_quad) return;
  const double lo = static_cast<double>(y0) - r.margin, hi = static_cast<double>(y1 - 1) + r.margin;
  double min_x = HUGE_VAL, max_x = -HUGE_VAL;
  auto take = [&](double x) { min_x = std::min(min_x, x), max_x = std::max(max_x, x); };
  // The quad cut to the band is convex: its extremes in x are quad vertices
  // inside the band or points where the edges cross the band's borders.
  for (int i = 0; i < 4; i++) {
    const double ax = r.qx[i], ay = r.qy[i], bx = r.qx[(i + 1) % 4], by = r.qy[(i + 1) % 4];
    if (ay >= lo && ay <= hi) take(ax);
    for (double border : {lo, hi}) {
      if ((ay < border) != (by < border)) take(ax + (bx - ax) * ((border - ay) / (by - ay)));
    }
  }
  if (!(min_x <= max_x)) {
    *c1 = *c0;
    return;
  }
  auto clamp = [&](double v) { return static_cast<ptrdiff_t>(std::clamp(v, double(r.col0), double(r.col1))); };
  *c0 = clamp(std::floor(min_x - r.margin));
  *c1 = std::max(*c0, clamp(std::ceil(max_x + r.margin) + 1.0));
}

}  // namespace

void composite_alpha(WarpedRows& src, const CanvasView& dst, Region r) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "alpha test assumes little-endian words");
  const ptrdiff_t cs = dst.channel_stride, ps = dst.col_stride;
  const AlphaRow row = ps == 3 && cs == 1 ? packed_alpha_row() : alpha_row;
  for (ptrdiff_t band = r.row0; band < r.row1; band += src.band_rows) {
    const ptrdiff_t band_end = std::min(band + src.band_rows, r.row1);
    ptrdiff_t c0, c1;
    band_columns(r, band, band_end, &c0, &c1);
    for (ptrdiff_t y = band; y < band_end && c0 < c1; y++)
      row(src.row(y, c0, c1), dst.data + y * dst.row_stride + c0 * ps, c0, c1, ps, cs);
  }
}

void composite_nonzero(WarpedRows& src, const CanvasView& dst, Region r) {
  for (ptrdiff_t band = r.row0; band < r.row1; band += src.band_rows) {
    const ptrdiff_t band_end = std::min(band + src.band_rows, r.row1);
    ptrdiff_t c0, c1;
    band_columns(r, band, band_end, &c0, &c1);
    for (ptrdiff_t y = band; y < band_end && c0 < c1; y++) {
      const uint8_t* px = src.row(y, c0, c1);
      uint8_t* out = dst.data + y * dst.row_stride + c0 * dst.col_stride;
      if (src.channels == 3)
        nonzero_row<3>(px, out, c0, c1, dst, 3);
      else
        nonzero_row<0>(px, out, c0, c1, dst, src.channels);
    }
  }
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
