// The vector kernels of the compositing pass for packed B, G, R canvases:
// four pixels at a time with SSE2, eight with AVX2 where the processor has
// it. Each gives the bytes of the portable row loop (blend.hpp); the tests
// run both. Caller's thread, no Python.

#include <cstdlib>
#include <cstring>

#include "core/cpu.hpp"
#include "image/blend.hpp"
#include "image/pack_avx2.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__x86_64__)
#include <immintrin.h>
#define KV_HAVE_AVX2_KERNEL 1
#endif

namespace kv::image {
namespace {

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

// A packed row, four pixels at a time; fully transparent groups (most of the
// area) cost one test.
void alpha_row_sse2(const uint8_t* px, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t ps, ptrdiff_t cs) {
  ptrdiff_t x = x0;
  for (; x + 4 <= x1; x += 4, px += 16, out += 4 * ps) {
    const int alpha = alpha4(px);
    if (alpha == 0) continue;
    if (alpha == 3) {
      copy4_packed(px, out);  // four opaque pixels, the common inside of a sprite
      continue;
    }
    over4_packed(px, out);
  }
  for (; x < x1; x++, px += 4, out += ps) over(px, out, cs);
}

#if defined(KV_HAVE_AVX2_KERNEL)
#define KV_AVX2 __attribute__((target("avx2")))

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

// The blocks of eight pixels of a packed row: n pixels, n a multiple of 8.
KV_AVX2 inline void alpha_blocks(const uint8_t* px, uint8_t* out, ptrdiff_t n) {
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  for (ptrdiff_t x = 0; x < n; x += 8, px += 32, out += 24) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px));
    if (_mm256_testz_si256(v, alpha)) continue;
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(v, alpha), alpha)) == -1) {
      store24(out, v);  // eight opaque pixels
      continue;
    }
    over8_packed(px, v, out);
  }
}

// alpha_row for a packed canvas, eight pixels at a time.
KV_AVX2 void alpha_row_avx2(const uint8_t* px, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t, ptrdiff_t) {
  const ptrdiff_t body = (x1 - x0) & ~ptrdiff_t{7};
  alpha_blocks(px, out, body);
  // The rest goes to SSE code: clear the upper halves first, or every SSE
  // instruction pays for the dirty AVX state (the compiler leaves them dirty
  // before this tail call; measured as over half of a small blit's time).
  _mm256_zeroupper();
  if (x0 + body < x1) alpha_row_sse2(px + 4 * body, out + 3 * body, x0 + body, x1, 3, 1);
}

// A rectangle of rows: the blocks of every row, then (the AVX state
// cleared once) the last few pixels of every row.
KV_AVX2 void alpha_rect_avx2(const uint8_t* px, ptrdiff_t px_stride, uint8_t* out, ptrdiff_t out_stride,
                             ptrdiff_t rows, ptrdiff_t n) {
  const ptrdiff_t body = n & ~ptrdiff_t{7};
  for (ptrdiff_t y = 0; y < rows; y++) alpha_blocks(px + y * px_stride, out + y * out_stride, body);
  _mm256_zeroupper();
  if (body < n)
    for (ptrdiff_t y = 0; y < rows; y++)
      alpha_row_sse2(px + y * px_stride + 4 * body, out + y * out_stride + 3 * body, body, n, 3, 1);
}

#undef KV_AVX2
#endif

}  // namespace

void nonzero_bytes(const uint8_t* px, uint8_t* out, ptrdiff_t n) {
  ptrdiff_t i = 0;
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + i));
    const __m128i keep = _mm_cmpeq_epi8(v, zero);  // canvas bytes under a zero
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_or_si128(v, _mm_and_si128(keep, c)));
  }
  for (; i < n; i++)
    if (px[i]) out[i] = px[i];
}

// The same rows through the SSE2 kernel.
void alpha_rect_sse2(const uint8_t* px, ptrdiff_t px_stride, uint8_t* out, ptrdiff_t out_stride, ptrdiff_t rows,
                     ptrdiff_t n) {
  for (ptrdiff_t y = 0; y < rows; y++) alpha_row_sse2(px + y * px_stride, out + y * out_stride, 0, n, 3, 1);
}

AlphaRect packed_alpha_rect() {
#if defined(KV_HAVE_AVX2_KERNEL)
  static const AlphaRect rect = kv::cpu::wide_kernels() ? alpha_rect_avx2 : alpha_rect_sse2;
  return rect;
#else
  return alpha_rect_sse2;
#endif
}

AlphaRow packed_alpha_row() {
#if defined(KV_HAVE_AVX2_KERNEL)
  // Decided once; thread-safe initialisation of a plain pointer.
  static const AlphaRow row =
      kv::cpu::wide_kernels() ? alpha_row_avx2 : alpha_row_sse2;
  return row;
#else
  return alpha_row_sse2;
#endif
}

}  // namespace kv::image

#else  // no SSE2: the portable row serves every canvas

kv::image::AlphaRow kv::image::packed_alpha_row() { return nullptr; }
kv::image::AlphaRect kv::image::packed_alpha_rect() { return nullptr; }

void kv::image::nonzero_bytes(const uint8_t* px, uint8_t* out, ptrdiff_t n) {
  for (ptrdiff_t i = 0; i < n; i++)
    if (px[i]) out[i] = px[i];
}

#endif
