// The region warp (see warp.hpp). The arithmetic follows OpenCV 5.1's
// warpPerspectiveLinearInvoker_8UC3/8UC4 as its AVX2 dispatch runs them:
// - the matrix is OpenCV's double inverse, then each entry rounded to float;
// - per row, yf * M[1] + M[2] (and the y and w rows alike) in float, not fused;
// - in the 16-pixel blocks of a row, sx = fma(M[0], x, that) / fma(M[6], x, ...);
//   in the last dst_cols % 16 pixels, fma(x, M[0], y * M[1]) + M[2] and so on;
// - floor, fractions a = sx - ix and b = sy - iy, the four neighbours with 0
//   outside the image, then fma(a, p01 - p00, p00), fma(a, p11 - p10, p10)
//   and fma(b, v1 - v0, v0) in float, rounded to nearest even, saturated.
// A pixel whose neighbours all lie outside is 0.
// OpenCV 4 (fixed_row) maps each pixel in double instead and rounds its
// position to 1/32 pixel; the four neighbours are weighted by a table of
// 15-bit integer weights (its remap tables), see fixed_row. Its scalar and
// SSE4.1 loops compute the same doubles in the same order and sum integers,
// so the result does not depend on the vector width: here it runs eight
// pixels at a time where the processor has AVX2, one at a time elsewhere.

#include "image/warp.hpp"

#include "core/cpu.hpp"
#include "image/pack_avx2.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#define KV_HAVE_WARP_KERNEL 1
#define KV_WARP_TARGET __attribute__((target("avx2,fma")))
#endif

namespace kv::image {
namespace {

// Destination coordinates are converted to float exactly below 2**24.
constexpr ptrdiff_t kMaxExactCoordinate = ptrdiff_t{1} << 24;
// OpenCV's kernels address source bytes with 32-bit offsets.
constexpr double kMaxSourceBytes = 2147483647.0;
// Pixels per block of OpenCV's AVX2 loop (two registers of eight floats).
constexpr ptrdiff_t kBlock = 16;
// Shifts and columns below this add exactly in float.
constexpr float kMaxShift = 8388608.0f;  // 2**23

// Eight bytes at p, as one unaligned load.
inline long long load8(const void* p) {
  long long v;
  std::memcpy(&v, p, 8);
  return v;
}

#if defined(KV_HAVE_WARP_KERNEL)

// The four neighbours p00, p01, p10, p11 of source pixel (ix, iy), four
// bytes each (C bytes, then zeros); 0 outside the image.
template <int C>
KV_WARP_TARGET inline __m128i neighbours(const WarpSource& s, unsigned ux, unsigned uy) {
  if (ux < static_cast<unsigned>(s.cols - 1) && uy < static_cast<unsigned>(s.rows - 1)) {
    const uint8_t* q = s.data + static_cast<ptrdiff_t>(uy) * s.row_stride + static_cast<ptrdiff_t>(ux) * C;
    if (C == 4)
      return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)),
                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + s.row_stride)));
    uint64_t r0 = 0, r1 = 0;
    std::memcpy(&r0, q, 6);
    std::memcpy(&r1, q + s.row_stride, 6);
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 8, 9, 10, -1, 11, 12, 13, -1);
    return _mm_shuffle_epi8(_mm_set_epi64x(static_cast<long long>(r1), static_cast<long long>(r0)), spread);
  }
  alignas(16) uint32_t p[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; k++) {
    const unsigned xx = ux + static_cast<unsigned>(k & 1), yy = uy + static_cast<unsigned>(k >> 1);
    if (xx < static_cast<unsigned>(s.cols) && yy < static_cast<unsigned>(s.rows))
      std::memcpy(&p[k], s.data + static_cast<ptrdiff_t>(yy) * s.row_stride + static_cast<ptrdiff_t>(xx) * C, C);
  }
  return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

// One destination pixel from its source position: integer parts ix, iy and
// fractions a, b. Writes C bytes (and may write one byte more for C = 3).
template <int C>
KV_WARP_TARGET inline void sample(const WarpSource& s, int ix, int iy, float a, float b, uint8_t* out) {
  const unsigned ux = static_cast<unsigned>(ix), uy = static_cast<unsigned>(iy);
  if (ux + 1u >= static_cast<unsigned>(s.cols + 1) || uy + 1u >= static_cast<unsigned>(s.rows + 1)) {
    std::memset(out, 0, C);
    return;
  }
  const __m128i v = neighbours<C>(s, ux, uy);
  const __m128 f00 = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(v));
  const __m128 f01 = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_srli_si128(v, 4)));
  const __m128 f10 = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_srli_si128(v, 8)));
  const __m128 f11 = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_srli_si128(v, 12)));
  const __m128 va = _mm_set1_ps(a), vb = _mm_set1_ps(b);
  const __m128 v0 = _mm_fmadd_ps(va, _mm_sub_ps(f01, f00), f00);
  const __m128 v1 = _mm_fmadd_ps(va, _mm_sub_ps(f11, f10), f10);
  const __m128 r = _mm_fmadd_ps(vb, _mm_sub_ps(v1, v0), v0);
  __m128i i = _mm_cvtps_epi32(r);
  i = _mm_packus_epi16(_mm_packus_epi32(i, i), i);
  const uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(i));
  std::memcpy(out, &bytes, C == 3 ? 4 : C);
}

// x < bound for unsigned 32-bit lanes.
KV_WARP_TARGET inline __m256i below_unsigned(__m256i x, __m256i bound) {
  const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  return _mm256_cmpgt_epi32(_mm256_xor_si256(bound, flip), _mm256_xor_si256(x, flip));
}

// Channel C of eight four-channel pixels: the bilinear blend of its four
// neighbours with OpenCV's fused steps, rounded to nearest even.
template <int C>
KV_WARP_TARGET inline __m256i blend_channel(__m256i p00, __m256i p01, __m256i p10, __m256i p11, __m256 a, __m256 b) {
  const __m256i pick = _mm256_setr_epi8(C, -1, -1, -1, 4 + C, -1, -1, -1, 8 + C, -1, -1, -1, 12 + C, -1, -1, -1,
                                        C, -1, -1, -1, 4 + C, -1, -1, -1, 8 + C, -1, -1, -1, 12 + C, -1, -1, -1);
  const __m256 f00 = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(p00, pick));
  const __m256 f01 = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(p01, pick));
  const __m256 f10 = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(p10, pick));
  const __m256 f11 = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(p11, pick));
  const __m256 v0 = _mm256_fmadd_ps(a, _mm256_sub_ps(f01, f00), f00);
  const __m256 v1 = _mm256_fmadd_ps(a, _mm256_sub_ps(f11, f10), f10);
  return _mm256_cvtps_epi32(_mm256_fmadd_ps(b, _mm256_sub_ps(v1, v0), v0));
}

// The 8 bytes at byte offset `at` (four lanes) from `row`, each holding a
// pixel's left and right neighbours, as two 32-bit words of C bytes each.
template <int C>
KV_WARP_TARGET inline __m256 pair_read(const long long* row, __m128i at) {
  const __m256i g = _mm256_i32gather_epi64(row, at, 1);
  if (C == 4) return _mm256_castsi256_ps(g);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 8, 9, 10, -1, 11, 12, 13, -1, 0, 1, 2, -1, 3, 4, 5,
                                          -1, 8, 9, 10, -1, 11, 12, 13, -1);
  return _mm256_castsi256_ps(_mm256_shuffle_epi8(g, spread));
}

// The neighbours of eight C-channel pixels whose pairs of neighbours lie at
// byte offsets idx in the image's rows (top) and the next rows (bottom); the
// caller has made sure every 8-byte read stays inside the image.
template <int C>
KV_WARP_TARGET inline void neighbour_pairs(const WarpSource& s, __m256i idx, __m256i* p00, __m256i* p01,
                                           __m256i* p10, __m256i* p11) {
  __m256 t0, t1, b0, b1;
  if (C == 4) {
    // Sixteen plain 8-byte loads: cheaper than four gathers on processors
    // whose gathers are microcoded. Same bytes, same lane order as below.
    alignas(32) int at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), idx);
    const uint8_t* top = s.data;
    const uint8_t* below = s.data + s.row_stride;
    const auto q = load8;
    t0 = _mm256_castsi256_ps(_mm256_setr_epi64x(q(top + at[0]), q(top + at[1]), q(top + at[4]), q(top + at[5])));
    t1 = _mm256_castsi256_ps(_mm256_setr_epi64x(q(top + at[2]), q(top + at[3]), q(top + at[6]), q(top + at[7])));
    b0 = _mm256_castsi256_ps(
        _mm256_setr_epi64x(q(below + at[0]), q(below + at[1]), q(below + at[4]), q(below + at[5])));
    b1 = _mm256_castsi256_ps(
        _mm256_setr_epi64x(q(below + at[2]), q(below + at[3]), q(below + at[6]), q(below + at[7])));
  } else {
    const long long* top = reinterpret_cast<const long long*>(s.data);
    const long long* below = reinterpret_cast<const long long*>(s.data + s.row_stride);
    // Pixels 0, 1, 4, 5 in one gather and 2, 3, 6, 7 in the other: the shuffles
    // below then leave pixels 0-3 in the low half and 4-7 in the high one.
    const __m256i order = _mm256_permutevar8x32_epi32(idx, _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    const __m128i lo = _mm256_castsi256_si128(order), hi = _mm256_extracti128_si256(order, 1);
    t0 = pair_read<C>(top, lo), t1 = pair_read<C>(top, hi);
    b0 = pair_read<C>(below, lo), b1 = pair_read<C>(below, hi);
  }
  // Even 32-bit words are the left neighbours, odd ones the right.
  *p00 = _mm256_castps_si256(_mm256_shuffle_ps(t0, t1, 0x88));
  *p01 = _mm256_castps_si256(_mm256_shuffle_ps(t0, t1, 0xDD));
  *p10 = _mm256_castps_si256(_mm256_shuffle_ps(b0, b1, 0x88));
  *p11 = _mm256_castps_si256(_mm256_shuffle_ps(b0, b1, 0xDD));
}

// The neighbours p00, p01, p10, p11 of eight four-channel pixels, each 0
// where it lies outside the image (x0, x1, y0, y1: whether ix, ix + 1, iy,
// iy + 1 lie inside). Where all lie inside, p00 and p01 are one 8-byte
// read (so are p10 and p11), and a run along one source row is plain loads.
KV_WARP_TARGET inline void neighbours_c4(const WarpSource& s, __m256i ix, __m256i iy, __m256i x0, __m256i x1,
                                         __m256i y0, __m256i y1, __m256i* p00, __m256i* p01, __m256i* p10,
                                         __m256i* p11) {
  const __m256i idx = _mm256_add_epi32(_mm256_mullo_epi32(iy, _mm256_set1_epi32(static_cast<int>(s.row_stride))),
                                       _mm256_slli_epi32(ix, 2));
  const __m256i inside = _mm256_and_si256(_mm256_and_si256(x0, x1), _mm256_and_si256(y0, y1));
  if (_mm256_movemask_ps(_mm256_castsi256_ps(inside)) == 0xFF) {
    const int ix0 = _mm256_cvtsi256_si32(ix), iy0 = _mm256_cvtsi256_si32(iy);
    const __m256i run = _mm256_and_si256(
        _mm256_cmpeq_epi32(ix, _mm256_add_epi32(_mm256_set1_epi32(ix0), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))),
        _mm256_cmpeq_epi32(iy, _mm256_set1_epi32(iy0)));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(run)) == 0xFF) {
      const uint8_t* q = s.data + static_cast<ptrdiff_t>(iy0) * s.row_stride + static_cast<ptrdiff_t>(ix0) * 4;
      *p00 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
      *p01 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 4));
      *p10 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + s.row_stride));
      *p11 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + s.row_stride + 4));
      return;
    }
    neighbour_pairs<4>(s, idx, p00, p01, p10, p11);
    return;
  }
  const __m256i zero = _mm256_setzero_si256();
  if (s.cols >= 2 && s.rows >= 2) {
    // Some neighbours outside: the pairs at the position clamped into
    // [0, cols - 2] x [0, rows - 2] hold every neighbour that lies inside.
    // Where ix was clamped (ix = -1 or cols - 1), the inside neighbour is the
    // pair's other word; likewise the other row where iy was clamped. The
    // rest is masked to 0.
    const __m256i cx = _mm256_min_epi32(_mm256_max_epi32(ix, zero), _mm256_set1_epi32(static_cast<int>(s.cols - 2)));
    const __m256i cy = _mm256_min_epi32(_mm256_max_epi32(iy, zero), _mm256_set1_epi32(static_cast<int>(s.rows - 2)));
    const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(cy, _mm256_set1_epi32(static_cast<int>(s.row_stride))),
                                        _mm256_slli_epi32(cx, 2));
    __m256i tl, tr, bl, br;
    neighbour_pairs<4>(s, at, &tl, &tr, &bl, &br);
    const __m256i kx = _mm256_cmpeq_epi32(ix, cx), ky = _mm256_cmpeq_epi32(iy, cy);
    // Row iy's and row iy + 1's left and right words.
    const __m256i l0 = _mm256_blendv_epi8(bl, tl, ky), r0 = _mm256_blendv_epi8(br, tr, ky);
    const __m256i l1 = _mm256_blendv_epi8(tl, bl, ky), r1 = _mm256_blendv_epi8(tr, br, ky);
    *p00 = _mm256_and_si256(_mm256_and_si256(x0, y0), _mm256_blendv_epi8(r0, l0, kx));
    *p01 = _mm256_and_si256(_mm256_and_si256(x1, y0), _mm256_blendv_epi8(l0, r0, kx));
    *p10 = _mm256_and_si256(_mm256_and_si256(x0, y1), _mm256_blendv_epi8(r1, l1, kx));
    *p11 = _mm256_and_si256(_mm256_and_si256(x1, y1), _mm256_blendv_epi8(l1, r1, kx));
    return;
  }
  const int* base = reinterpret_cast<const int*>(s.data);
  const int* below = reinterpret_cast<const int*>(s.data + s.row_stride);
  *p00 = _mm256_mask_i32gather_epi32(zero, base, idx, _mm256_and_si256(x0, y0), 1);
  *p01 = _mm256_mask_i32gather_epi32(zero, base + 1, idx, _mm256_and_si256(x1, y0), 1);
  *p10 = _mm256_mask_i32gather_epi32(zero, below, idx, _mm256_and_si256(x0, y1), 1);
  *p11 = _mm256_mask_i32gather_epi32(zero, below + 1, idx, _mm256_and_si256(x1, y1), 1);
}

// Eight four-channel pixels at once, channel by channel. Each neighbour is
// read only where it lies inside the image (0 elsewhere, as OpenCV's
// constant border); a pixel with no neighbour inside is 0.
KV_WARP_TARGET inline void gather_c4(const WarpSource& s, __m256i ix, __m256i iy, __m256 a, __m256 b,
                                     bool zero_transparent, uint8_t* out) {
  const __m256i one = _mm256_set1_epi32(1), zero = _mm256_setzero_si256();
  const __m256i cols = _mm256_set1_epi32(static_cast<int>(s.cols)), rows = _mm256_set1_epi32(static_cast<int>(s.rows));
  const __m256i ix1 = _mm256_add_epi32(ix, one), iy1 = _mm256_add_epi32(iy, one);
  const __m256i near = _mm256_and_si256(below_unsigned(ix1, _mm256_add_epi32(cols, one)),
                                        below_unsigned(iy1, _mm256_add_epi32(rows, one)));
  if (_mm256_testz_si256(near, near)) {  // all eight far outside: nothing to read
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), zero);
    return;
  }
  __m256i p00, p01, p10, p11;
  neighbours_c4(s, ix, iy, below_unsigned(ix, cols), below_unsigned(ix1, cols), below_unsigned(iy, rows),
                below_unsigned(iy1, rows), &p00, &p01, &p10, &p11);
  const __m256i alpha = blend_channel<3>(p00, p01, p10, p11, a, b);
  if (zero_transparent && _mm256_testz_si256(_mm256_max_epi32(alpha, zero), near)) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), zero);  // eight clear pixels
    return;
  }
  const __m256i blue = blend_channel<0>(p00, p01, p10, p11, a, b), green = blend_channel<1>(p00, p01, p10, p11, a, b),
                red = blend_channel<2>(p00, p01, p10, p11, a, b);
  // OpenCV packs with unsigned saturation (each value is within 0..255 for a
  // pixel near the image: a and b lie in [0, 1)). The packs leave each
  // 128-bit half as four pixels channel by channel; the shuffle interleaves.
  const __m256i planar = _mm256_packus_epi16(_mm256_packus_epi32(blue, green), _mm256_packus_epi32(red, alpha));
  const __m128i order = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m256i result = _mm256_shuffle_epi8(planar, _mm256_broadcastsi128_si256(order));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_and_si256(result, near));
}

// Eight three-channel pixels at once, when all four neighbours of each lie
// inside the image and every 8-byte read stays inside it: false (nothing
// written) otherwise. Writes 24 bytes.
KV_WARP_TARGET inline bool gather_c3(const WarpSource& s, __m256i ix, __m256i iy, __m256 a, __m256 b, uint8_t* out) {
  // ix <= cols - 2 and iy <= rows - 2, and the right pair's bytes past the
  // pixel end within the image: ix <= cols - 3 unless the pair is not in the last row.
  const __m256i inner_x = below_unsigned(ix, _mm256_set1_epi32(static_cast<int>(s.cols - 1)));
  const __m256i inner_y = below_unsigned(iy, _mm256_set1_epi32(static_cast<int>(s.rows - 1)));
  const __m256i short_x = below_unsigned(ix, _mm256_set1_epi32(static_cast<int>(s.cols - 2)));
  const __m256i upper_y = below_unsigned(iy, _mm256_set1_epi32(static_cast<int>(s.rows - 2)));
  const __m256i safe = _mm256_and_si256(_mm256_and_si256(inner_x, inner_y), _mm256_or_si256(short_x, upper_y));
  if (s.cols < 2 || s.rows < 2 || _mm256_movemask_ps(_mm256_castsi256_ps(safe)) != 0xFF) return false;
  const __m256i idx = _mm256_add_epi32(_mm256_mullo_epi32(iy, _mm256_set1_epi32(static_cast<int>(s.row_stride))),
                                       _mm256_mullo_epi32(ix, _mm256_set1_epi32(3)));
  __m256i p00, p01, p10, p11;
  neighbour_pairs<3>(s, idx, &p00, &p01, &p10, &p11);
  const __m256i blue = blend_channel<0>(p00, p01, p10, p11, a, b), green = blend_channel<1>(p00, p01, p10, p11, a, b),
                red = blend_channel<2>(p00, p01, p10, p11, a, b);
  const __m256i planar =
      _mm256_packus_epi16(_mm256_packus_epi32(blue, green), _mm256_packus_epi32(red, _mm256_setzero_si256()));
  const __m256i packed = _mm256_shuffle_epi8(planar, _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1,
                                                                      -1, 0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1,
                                                                      -1, -1));
  alignas(32) uint8_t bytes[32];
  _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), packed);
  std::memcpy(out, bytes, 12);
  std::memcpy(out + 12, bytes + 16, 12);
  return true;
}

// Pixels that sit exactly on source pixels (fractions a = b = 0, as in any
// blit moved by whole pixels): each is its neighbour p00, since
// fma(0, d, p) = p, or 0 outside the image. A run of consecutive source
// pixels is one copy. False (nothing written) when some fraction is not 0.
template <int C>
KV_WARP_TARGET inline bool whole_positions(const WarpSource& s, __m256i ix, __m256i iy, const float* as,
                                           const float* bs, int n, uint8_t* out) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 fractions = _mm256_or_ps(_mm256_cmp_ps(_mm256_load_ps(as), zero, _CMP_NEQ_UQ),
                                        _mm256_cmp_ps(_mm256_load_ps(bs), zero, _CMP_NEQ_UQ));
  const int lanes = (1 << n) - 1;
  if (_mm256_movemask_ps(fractions) & lanes) return false;
  const int ix0 = _mm_cvtsi128_si32(_mm256_castsi256_si128(ix)), iy0 = _mm_cvtsi128_si32(_mm256_castsi256_si128(iy));
  const __m256i run_x = _mm256_add_epi32(_mm256_set1_epi32(ix0), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi32(ix, run_x), _mm256_cmpeq_epi32(iy, _mm256_set1_epi32(iy0)));
  if ((_mm256_movemask_ps(_mm256_castsi256_ps(same)) & lanes) == lanes && static_cast<unsigned>(iy0) < s.rows &&
      ix0 >= 0 && ix0 + n <= s.cols) {
    std::memcpy(out, s.data + iy0 * s.row_stride + ix0 * C, static_cast<size_t>(n) * C);
    return true;
  }
  alignas(32) int xs[8], ys[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(xs), ix);
  _mm256_store_si256(reinterpret_cast<__m256i*>(ys), iy);
  for (int j = 0; j < n; j++) {
    if (static_cast<unsigned>(xs[j]) < static_cast<unsigned>(s.cols) &&
        static_cast<unsigned>(ys[j]) < static_cast<unsigned>(s.rows))
      std::memcpy(out + j * C, s.data + ys[j] * s.row_stride + xs[j] * C, C);
    else
      std::memset(out + j * C, 0, C);
  }
  return true;
}

// floor(v) as OpenCV's kernels convert it: INT_MIN beyond the int range and for NaN.
KV_WARP_TARGET inline int floor_int(float v) { return _mm_cvtss_si32(_mm_floor_ss(_mm_setzero_ps(), _mm_set_ss(v))); }

KV_WARP_TARGET inline float fused(float a, float b, float c) {
  return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(a), _mm_set_ss(b), _mm_set_ss(c)));
}

// Eight pixels (the first n stored) at source positions sx, sy: floor,
// fractions, then the bilinear blend, as OpenCV's 16-pixel blocks do it.
template <int C>
KV_WARP_TARGET inline void float_group(const WarpSource& s, __m256 sx, __m256 sy, bool zero_transparent, int n,
                                       uint8_t* o) {
  alignas(32) int ixs[8], iys[8];
  alignas(32) float as[8], bs[8];
  const __m256i ix = _mm256_cvtps_epi32(_mm256_floor_ps(sx)), iy = _mm256_cvtps_epi32(_mm256_floor_ps(sy));
  _mm256_store_si256(reinterpret_cast<__m256i*>(ixs), ix);
  _mm256_store_si256(reinterpret_cast<__m256i*>(iys), iy);
  _mm256_store_ps(as, _mm256_sub_ps(sx, _mm256_cvtepi32_ps(ix)));
  _mm256_store_ps(bs, _mm256_sub_ps(sy, _mm256_cvtepi32_ps(iy)));
  if (whole_positions<C>(s, ix, iy, as, bs, n, o)) return;
  if (C == 4) {
    // A short last block is made whole in a spare buffer: lanes past
    // the row are computed but never read or stored.
    alignas(32) uint8_t spare[32];
    gather_c4(s, ix, iy, _mm256_load_ps(as), _mm256_load_ps(bs), zero_transparent, n == 8 ? o : spare);
    if (n < 8) std::memcpy(o, spare, static_cast<size_t>(n) * 4);
    return;
  }
  if (C == 3) {
    alignas(32) uint8_t spare[24];
    if (gather_c3(s, ix, iy, _mm256_load_ps(as), _mm256_load_ps(bs), n == 8 ? o : spare)) {
      if (n < 8) std::memcpy(o, spare, static_cast<size_t>(n) * 3);
      return;
    }
  }
  for (int j = 0; j < n; j++) sample<C>(s, ixs[j], iys[j], as[j], bs[j], o + j * C);
}

// Pixels [c0, c1) of row y into out (C bytes each, one spare byte after).
template <int C>
KV_WARP_TARGET void warp_row(const WarpSource& s, const float* m, ptrdiff_t block_end, bool zero_transparent,
                             ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1, uint8_t* out) {
  const float yf = static_cast<float>(y);
  ptrdiff_t x = c0;
  const ptrdiff_t vend = c1 < block_end ? c1 : block_end;
  // An affine inverse (last row 0, 0, 1, as OpenCV's inverse of a turned or
  // scaled sprite's matrix has it): w is exactly 1 in every lane (0 * x and
  // y * 0 add nothing to 1), and dividing by 1 changes nothing.
  const bool affine = m[6] == 0.0f && m[7] == 0.0f && m[8] == 1.0f;
  if (x < vend) {
    const __m256 m0 = _mm256_set1_ps(m[0]), m3 = _mm256_set1_ps(m[3]), m6 = _mm256_set1_ps(m[6]);
    const __m256 mx = _mm256_set1_ps(yf * m[1] + m[2]), my = _mm256_set1_ps(yf * m[4] + m[5]),
                 mw = _mm256_set1_ps(yf * m[7] + m[8]);
    const __m256 iota = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    for (; x < vend; x += 8) {
      const __m256 xf = _mm256_add_ps(_mm256_set1_ps(static_cast<float>(x)), iota);
      __m256 sx = _mm256_fmadd_ps(m0, xf, mx), sy = _mm256_fmadd_ps(m3, xf, my);
      if (!affine) {
        const __m256 w = _mm256_fmadd_ps(m6, xf, mw);
        sx = _mm256_div_ps(sx, w);
        sy = _mm256_div_ps(sy, w);
      }
      const int n = vend - x < 8 ? static_cast<int>(vend - x) : 8;
      float_group<C>(s, sx, sy, zero_transparent, n, out + (x - c0) * C);
    }
    x = vend;
  }
  for (; x < c1; x++) {
    const float xf = static_cast<float>(x);
    const float w = fused(xf, m[6], yf * m[7]) + m[8];
    const float sx = (fused(xf, m[0], yf * m[1]) + m[2]) / w;
    const float sy = (fused(xf, m[3], yf * m[4]) + m[5]) / w;
    const int ix = floor_int(sx), iy = floor_int(sy);
    sample<C>(s, ix, iy, sx - static_cast<float>(ix), sy - static_cast<float>(iy), out + (x - c0) * C);
  }
}

#endif

// ---- OpenCV 4: fixed-point remap tables -------------------------------------

constexpr int kTabBits = 5, kTabSize = 1 << kTabBits;  // INTER_BITS, INTER_TAB_SIZE
constexpr int kCoefBits = 15, kCoefScale = 1 << kCoefBits;  // INTER_REMAP_COEF_BITS, _SCALE
constexpr int kBlockSize = 32;  // warpPerspective's BLOCK_SZ

// saturate_cast<short>(cvRound(v)) of a float.
int16_t short_of(float v) {
  const long r = std::lrintf(v);
  return static_cast<int16_t>(r < -32768 ? -32768 : r > 32767 ? 32767 : r);
}

// OpenCV's table of bilinear weights, built as its initInterTab2D builds it:
// float products of the 1-D weights, rounded to shorts, and a sum that
// misses 1 << 15 corrected on one weight chosen by comparing this entry's
// last weight with the slots that follow it (the next entry's, still zero
// while the table is being built). Entry fy * 32 + fx: weights of p00,
// p01, p10, p11.
struct FixedTable {
  int16_t w[kTabSize * kTabSize][4];
  // The same weights ordered p00, p10, p01, p11 (the vector kernel's pairs),
  // and one more entry of zeros (for pixels it leaves to others).
  alignas(8) int16_t pairs[kTabSize * kTabSize + 1][4];
  bool whole_is_copy;  // entry 0 gives p00 back for any bytes

  FixedTable() {
    float tab1[2 * kTabSize];
    const float scale = 1.f / kTabSize;
    for (int i = 0; i < kTabSize; i++) {
      const float x = static_cast<float>(i) * scale;
      tab1[2 * i] = 1.f - x;
      tab1[2 * i + 1] = x;
    }
    static int16_t flat[kTabSize * kTabSize * 4 + 8];  // zeros past the last entry, as the slots that follow
    std::memset(flat, 0, sizeof flat);
    int16_t* itab = flat;
    constexpr int ksize = 2;
    for (int i = 0; i < kTabSize; i++)
      for (int j = 0; j < kTabSize; j++, itab += ksize * ksize) {
        int isum = 0;
        for (int k1 = 0; k1 < ksize; k1++) {
          const float vy = tab1[i * ksize + k1];
          for (int k2 = 0; k2 < ksize; k2++) {
            const float v = vy * tab1[j * ksize + k2];
            isum += itab[k1 * ksize + k2] = short_of(v * static_cast<float>(kCoefScale));
          }
        }
        if (isum != kCoefScale) {
          const int diff = isum - kCoefScale;
          const int ksize2 = ksize / 2;
          int Mk1 = ksize2, Mk2 = ksize2, mk1 = ksize2, mk2 = ksize2;
          for (int k1 = ksize2; k1 < ksize2 + 2; k1++)
            for (int k2 = ksize2; k2 < ksize2 + 2; k2++) {
              if (itab[k1 * ksize + k2] < itab[mk1 * ksize + mk2])
                mk1 = k1, mk2 = k2;
              else if (itab[k1 * ksize + k2] > itab[Mk1 * ksize + Mk2])
                Mk1 = k1, Mk2 = k2;
            }
          if (diff < 0)
            itab[Mk1 * ksize + Mk2] = static_cast<int16_t>(itab[Mk1 * ksize + Mk2] - diff);
          else
            itab[mk1 * ksize + mk2] = static_cast<int16_t>(itab[mk1 * ksize + mk2] - diff);
        }
      }
    std::memcpy(w, flat, sizeof w);
    for (int i = 0; i < kTabSize * kTabSize; i++) {
      pairs[i][0] = w[i][0], pairs[i][1] = w[i][2], pairs[i][2] = w[i][1], pairs[i][3] = w[i][3];
    }
    std::memset(pairs[kTabSize * kTabSize], 0, sizeof pairs[0]);
    // Entry 0 (fractions 0) gives p00 back when, for every byte v of p00, the
    // other neighbours at their extremes leave (sum + 2**14) >> 15 at v.
    whole_is_copy = true;
    for (int v = 0; v < 256; v++) {
      int lo = v * w[0][0] + (1 << (kCoefBits - 1)), hi = lo;
      for (int k = 1; k < 4; k++) (w[0][k] < 0 ? lo : hi) += 255 * w[0][k];
      whole_is_copy = whole_is_copy && (lo >> kCoefBits) == v && (hi >> kCoefBits) == v;
    }
  }
};

const FixedTable& fixed_table() {
  static const FixedTable table;
  return table;
}

// std::max(INT_MIN, std::min(INT_MAX, v)) then saturate_cast<int> (round to
// nearest even), as OpenCV's scalar loop writes it; `vector`: as its SSE4.1
// loop does (a NaN becomes INT_MIN there, INT_MAX in the scalar loop).
int fixed_coordinate(double v, bool vector) {
  if (std::isnan(v)) return vector ? INT32_MIN : INT32_MAX;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int>(std::nearbyint(v));
}

int16_t short_sat(int v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// Whether this build and processor run the float kernels: AVX2 with FMA3.
bool float_kernels_supported() {
#if defined(KV_HAVE_WARP_KERNEL)
  return kv::cpu::avx2_fma();
#else
  return false;
#endif
}

}  // namespace

bool opencv_invert3(const double s[9], double t[9]) {
  double d = s[0] * (s[4] * s[8] - s[5] * s[7]) - s[1] * (s[3] * s[8] - s[5] * s[6]) +
             s[2] * (s[3] * s[7] - s[4] * s[6]);
  if (d == 0.0) {
    for (int i = 0; i < 9; i++) t[i] = 0.0;
    return false;
  }
  d = 1.0 / d;
  t[0] = (s[4] * s[8] - s[5] * s[7]) * d;
  t[1] = (s[2] * s[7] - s[1] * s[8]) * d;
  t[2] = (s[1] * s[5] - s[2] * s[4]) * d;
  t[3] = (s[5] * s[6] - s[3] * s[8]) * d;
  t[4] = (s[0] * s[8] - s[2] * s[6]) * d;
  t[5] = (s[2] * s[3] - s[0] * s[5]) * d;
  t[6] = (s[3] * s[7] - s[4] * s[6]) * d;
  t[7] = (s[1] * s[6] - s[0] * s[7]) * d;
  t[8] = (s[0] * s[4] - s[1] * s[3]) * d;
  return true;
}

namespace {

// OpenCV's LU solver (partial pivoting, rows swapped in place) for one
// right-hand side; false where it gives up on a small pivot.
bool opencv_lu8(double a[8][8], double b[8]) {
  constexpr double kEps = DBL_EPSILON * 100;
  for (int i = 0; i < 8; i++) {
    int k = i;
    for (int j = i + 1; j < 8; j++)
      if (std::fabs(a[j][i]) > std::fabs(a[k][i])) k = j;
    if (std::fabs(a[k][i]) < kEps) return false;
    if (k != i) {
      for (int j = i; j < 8; j++) std::swap(a[i][j], a[k][j]);
      std::swap(b[i], b[k]);
    }
    const double d = -1 / a[i][i];
    for (int j = i + 1; j < 8; j++) {
      const double alpha = a[j][i] * d;
      for (int c = i + 1; c < 8; c++) a[j][c] += alpha * a[i][c];
      b[j] += alpha * b[i];
    }
  }
  for (int i = 7; i >= 0; i--) {
    double s = b[i];
    for (int c = i + 1; c < 8; c++) s -= a[i][c] * b[c];
    b[i] = s / a[i][i];
  }
  return true;
}

// Whether |a x - b| is below OpenCV's 1e-8 however its sums are ordered:
// each residual is off by at most a few units of its terms' magnitude.
bool residual_surely_small(const double a[8][8], const double x[8], const double b[8]) {
  double norm2 = 0, slack2 = 0;
  for (int i = 0; i < 8; i++) {
    double r = 0, size = std::fabs(b[i]);
    for (int j = 0; j < 8; j++) r += a[i][j] * x[j], size += std::fabs(a[i][j] * x[j]);
    r -= b[i];
    const double slack = 32 * DBL_EPSILON * size;
    norm2 += r * r, slack2 += slack * slack;
  }
  return std::sqrt(norm2) + 2 * std::sqrt(slack2) < 0.5e-8;
}

}  // namespace

bool opencv_perspective_transform(const float src[8], const float dst[8], double out[9]) {
  double a[8][8] = {}, b[8];
  for (int i = 0; i < 4; i++) {
    const float x = src[2 * i], y = src[2 * i + 1], u = dst[2 * i], v = dst[2 * i + 1];
    a[i][0] = a[i + 4][3] = x;
    a[i][1] = a[i + 4][4] = y;
    a[i][2] = a[i + 4][5] = 1;
    // Products of two floats, rounded to float, as OpenCV writes them.
    a[i][6] = -x * u;
    a[i][7] = -y * u;
    a[i + 4][6] = -x * v;
    a[i + 4][7] = -y * v;
    b[i] = u;
    b[i + 4] = v;
  }
  double lu[8][8], x[8];
  std::memcpy(lu, a, sizeof lu);
  std::memcpy(x, b, sizeof x);
  if (!opencv_lu8(lu, x)) return false;
  for (double v : x)
    if (!std::isfinite(v)) return false;
  if (!residual_surely_small(a, x, b)) return false;
  std::memcpy(out, x, sizeof x);
  out[8] = 1.0;
  return true;
}

namespace {

// Whether OpenCV's inverse is exactly x + a, y + b for whole a and b small
// enough that every coordinate stays exact in float: each destination pixel
// then sits on a source pixel (fractions 0), in any bilinear arithmetic.
bool whole_translation(const double inv[9], ptrdiff_t dst_rows, ptrdiff_t dst_cols) {
  constexpr double kMax = 8388608.0;  // 2**23
  return inv[0] == 1.0 && inv[1] == 0.0 && inv[3] == 0.0 && inv[4] == 1.0 && inv[6] == 0.0 && inv[7] == 0.0 &&
         inv[8] == 1.0 && std::nearbyint(inv[2]) == inv[2] && std::nearbyint(inv[5]) == inv[5] &&
         std::fabs(inv[2]) < kMax && std::fabs(inv[5]) < kMax && static_cast<double>(dst_rows) < kMax &&
         static_cast<double>(dst_cols) < kMax;
}

}  // namespace

bool RegionWarp::init(const double m[9], const WarpSource& src, ptrdiff_t dst_rows, ptrdiff_t dst_cols,
                      bool zero_transparent, bool whole_shift, WarpArithmetic arithmetic) {
  fixed_ = arithmetic == WarpArithmetic::kFixedPoint;
  if (!whole_shift && !fixed_ && !float_kernels_supported()) return false;
  // OpenCV 4 keeps source positions in shorts.
  if (fixed_ && (src.rows >= 32767 || src.cols >= 32767)) return false;
  if (src.channels != 3 && src.channels != 4) return false;
  if (src.rows < 1 || src.cols < 1 || src.rows >= kMaxExactCoordinate || src.cols >= kMaxExactCoordinate) return false;
  if (src.row_stride < src.cols * src.channels ||
      static_cast<double>(src.rows) * static_cast<double>(src.row_stride) > kMaxSourceBytes)
    return false;
  if (dst_rows < 1 || dst_cols < 1 || dst_rows >= kMaxExactCoordinate || dst_cols >= kMaxExactCoordinate) return false;
  double inv[9];
  if (!opencv_invert3(m, inv)) return false;
  if (whole_shift && !whole_translation(inv, dst_rows, dst_cols)) return false;
  for (int i = 0; i < 9; i++) {
    if (!(std::fabs(inv[i]) <= FLT_MAX)) return false;  // not finite, or no float
    m_[i] = static_cast<float>(inv[i]);
  }
  src_ = src;
  zero_transparent_ = zero_transparent && src.channels == 4;
  block_end_ = dst_cols - dst_cols % kBlock;
  if (fixed_) {
    std::memcpy(md_, inv, sizeof md_);
    dst_cols_ = dst_cols;
    // warpPerspective's blocks: bh0 = min(16, rows), bw0 = min(1024 / bh0, cols).
    const ptrdiff_t bh0 = dst_rows < kBlockSize / 2 ? dst_rows : kBlockSize / 2;
    const ptrdiff_t bw0 = kBlockSize * kBlockSize / bh0;
    block_cols_ = bw0 < dst_cols ? bw0 : dst_cols;
#if defined(KV_HAVE_WARP_KERNEL)
    fixed_wide_ = kv::cpu::wide_kernels() && src.cols >= 2 && src.rows >= 2;
#endif
    // Whole-pixel rows (shifted_row) need the double inverse itself to be a
    // shift along x and the table's first entry to copy.
    shift_x_ = inv[0] == 1.0 && inv[1] == 0.0 && inv[3] == 0.0 && inv[6] == 0.0 && inv[7] == 0.0 &&
               inv[8] == 1.0 && std::nearbyint(inv[2]) == inv[2] && std::fabs(inv[2]) < kMaxShift &&
               dst_cols < kMaxShift && fixed_table().whole_is_copy;
    return true;
  }
  // A whole-pixel shift along x (the inverse of any upright blit moved by
  // whole pixels): x + m[2] is exact for integers below 2**23.
  const float* f = m_;
  shift_x_ = f[0] == 1.0f && f[1] == 0.0f && f[3] == 0.0f && f[6] == 0.0f && f[7] == 0.0f && f[8] == 1.0f &&
             std::nearbyint(f[2]) == f[2] && std::fabs(f[2]) < kMaxShift && dst_cols < kMaxShift;
  return true;
}

// Row y when the inverse is a whole-pixel shift along x and the row's
// source y is whole: in both of OpenCV's loops w is exactly 1, sx is
// x + m[2] exactly and sy is y * m[4] + m[5] (0 * x adds nothing), so both
// fractions are 0 and each pixel is its top-left neighbour: source pixel
// (x + m[2], sy), or 0 outside the image. Such a row is a piece of a source
// row. Null when sy is not whole.
const uint8_t* RegionWarp::shifted_row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1) {
  float sy = static_cast<float>(y) * m_[4] + m_[5];
  if (fixed_) {
    // OpenCV 4: Y = cvRound((M[4] * y + M[5]) * 32) (M[3] and M[6] are 0, W is
    // 1); the row is a source row when Y is a whole number of pixels.
    const int Y = fixed_coordinate((md_[4] * static_cast<double>(y) + md_[5]) * kTabSize, false);
    if (Y & (kTabSize - 1)) return nullptr;
    sy = static_cast<float>(short_sat(Y >> kTabBits));
  } else if (std::nearbyint(sy) != sy) {
    return nullptr;
  }
  const ptrdiff_t C = src_.channels, dx = static_cast<ptrdiff_t>(m_[2]);
  const ptrdiff_t sx0 = c0 + dx, sx1 = c1 + dx;
  const bool row_inside = sy >= 0.0f && sy < static_cast<float>(src_.rows);
  const uint8_t* line = row_inside ? src_.data + static_cast<ptrdiff_t>(sy) * src_.row_stride : nullptr;
  if (line && sx0 >= 0 && sx1 <= src_.cols) return line + sx0 * C;
  uint8_t* out = out_;
  std::memset(out, 0, static_cast<size_t>(c1 - c0) * static_cast<size_t>(C));
  const ptrdiff_t lo = sx0 > 0 ? sx0 : 0, hi = sx1 < src_.cols ? sx1 : src_.cols;
  if (line && lo < hi) std::memcpy(out + (lo - sx0) * C, line + lo * C, static_cast<size_t>(hi - lo) * static_cast<size_t>(C));
  return out;
}

bool RegionWarp::whole_footprint(ptrdiff_t* r0, ptrdiff_t* r1, ptrdiff_t* c0, ptrdiff_t* c1) {
  if (!shift_x_) return false;
  // Every row's source y whole: y + b exactly, in float (m_) or, for OpenCV
  // 4, in double scaled by 32 (md_), for b whole and rows below 2**23.
  double dy;
  if (fixed_) {
    if (!(md_[4] == 1.0 && std::nearbyint(md_[5]) == md_[5] && std::fabs(md_[5]) < kMaxShift)) return false;
    dy = md_[5];
  } else {
    if (!(m_[4] == 1.0f && std::nearbyint(m_[5]) == m_[5] && std::fabs(m_[5]) < kMaxShift)) return false;
    dy = m_[5];
  }
  const ptrdiff_t sy = static_cast<ptrdiff_t>(dy), sx = static_cast<ptrdiff_t>(fixed_ ? md_[2] : m_[2]);
  *r0 = -sy, *r1 = src_.rows - sy, *c0 = -sx, *c1 = src_.cols - sx;
  footprint_ = true, foot_dx_ = sx, foot_dy_ = sy;
  return true;
}

const uint8_t* RegionWarp::row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1) {
  // Inside the footprint of a whole-pixel move: the source row in place.
  if (footprint_ && y + foot_dy_ >= 0 && y + foot_dy_ < src_.rows && c0 + foot_dx_ >= 0 && c1 + foot_dx_ <= src_.cols)
    return src_.data + (y + foot_dy_) * src_.row_stride + (c0 + foot_dx_) * src_.channels;
  const size_t need = static_cast<size_t>(c1 - c0) * static_cast<size_t>(src_.channels) + 1;
  if (need <= sizeof small_) {
    out_ = small_;
  } else {
    if (buf_.size() < need) buf_.resize(need);
    out_ = buf_.data();
  }
  if (shift_x_) {
    if (const uint8_t* r = shifted_row(y, c0, c1)) return r;
  }
  if (fixed_) {
    fixed_row(y, c0, c1, out_);
    return out_;
  }
#if defined(KV_HAVE_WARP_KERNEL)
  if (src_.channels == 4)
    warp_row<4>(src_, m_, block_end_, zero_transparent_, y, c0, c1, out_);
  else
    warp_row<3>(src_, m_, block_end_, false, y, c0, c1, out_);
#else
  (void)y;
#endif
  return out_;
}

namespace {

// The bilinear blend of one pixel in OpenCV 4's remap: (sum of p * weight +
// 2**14) >> 15 over the four neighbours (0 outside the image), saturated.
template <int C>
inline void fixed_pixel(const WarpSource& s, int sx, int sy, const int16_t* w, uint8_t* o) {
  const bool x0in = static_cast<unsigned>(sx) < static_cast<unsigned>(s.cols);
  const bool x1in = static_cast<unsigned>(sx + 1) < static_cast<unsigned>(s.cols);
  const bool y0in = static_cast<unsigned>(sy) < static_cast<unsigned>(s.rows);
  const bool y1in = static_cast<unsigned>(sy + 1) < static_cast<unsigned>(s.rows);
  if (x0in && x1in && y0in && y1in) {
    const uint8_t* p0 = s.data + sy * s.row_stride + sx * C;
    const uint8_t* p1 = p0 + s.row_stride;
    for (int k = 0; k < C; k++) {
      const int v = (p0[k] * w[0] + p0[C + k] * w[1] + p1[k] * w[2] + p1[C + k] * w[3] + (1 << 14)) >> 15;
      o[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return;
  }
  if (!(x0in || x1in) || !(y0in || y1in)) {
    std::memset(o, 0, C);
    return;
  }
  const uint8_t* r0 = y0in ? s.data + sy * s.row_stride : nullptr;
  const uint8_t* r1 = y1in ? s.data + (sy + 1) * s.row_stride : nullptr;
  for (int k = 0; k < C; k++) {
    int sum = 1 << 14;
    if (r0 && x0in) sum += r0[sx * C + k] * w[0];
    if (r0 && x1in) sum += r0[(sx + 1) * C + k] * w[1];
    if (r1 && x0in) sum += r1[sx * C + k] * w[2];
    if (r1 && x1in) sum += r1[(sx + 1) * C + k] * w[3];
    const int v = sum >> 15;
    o[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
}

// saturate_cast<int> of a double within the int range: round to nearest even.
inline int round_even(double v) {
#if defined(__SSE2__)
  return _mm_cvtsd_si32(_mm_set_sd(v));
#else
  return static_cast<int>(std::nearbyint(v));
#endif
}

// One block of OpenCV 4's destination columns: its coordinates restart at
// its first column xb, X0 = M[0] * xb + M[1] * y + M[2] (Y0, W0 alike).
struct FixedBlock {
  ptrdiff_t xb, end, vector_end;
  double X0, Y0, W0;

  // The block holding column x of row y, cut at c1.
  FixedBlock(const double* M, ptrdiff_t block_cols, ptrdiff_t dst_cols, ptrdiff_t y, ptrdiff_t x, ptrdiff_t c1) {
    xb = x - x % block_cols;
    const ptrdiff_t bw = block_cols < dst_cols - xb ? block_cols : dst_cols - xb;
    end = xb + bw < c1 ? xb + bw : c1;
    vector_end = xb + (bw - bw % 16);  // OpenCV's SSE4.1 loop takes 16 columns at a time
    const double xbd = static_cast<double>(xb), yd = static_cast<double>(y);
    X0 = M[0] * xbd + M[1] * yd + M[2];
    Y0 = M[3] * xbd + M[4] * yd + M[5];
    W0 = M[6] * xbd + M[7] * yd + M[8];
  }
};

template <int C>
void fixed_pixels(const WarpSource& s, const double* M, ptrdiff_t block_cols, ptrdiff_t dst_cols, ptrdiff_t y,
                  ptrdiff_t c0, ptrdiff_t c1, uint8_t* out) {
  const FixedTable& table = fixed_table();
  for (ptrdiff_t x = c0; x < c1;) {
    const FixedBlock b(M, block_cols, dst_cols, y, x, c1);
    for (; x < b.end; x++) {
      const double x1d = static_cast<double>(x - b.xb);
      double W = b.W0 + M[6] * x1d;
      W = W != 0.0 ? kTabSize / W : 0.0;
      const double fx = (b.X0 + M[0] * x1d) * W, fy = (b.Y0 + M[3] * x1d) * W;
      int X, Y;
      if (fx > -2147483648.0 && fx < 2147483647.0 && fy > -2147483648.0 && fy < 2147483647.0) {
        X = round_even(fx), Y = round_even(fy);
      } else {
        X = fixed_coordinate(fx, x < b.vector_end), Y = fixed_coordinate(fy, x < b.vector_end);
      }
      const int sx = short_sat(X >> kTabBits), sy = short_sat(Y >> kTabBits);
      fixed_pixel<C>(s, sx, sy, table.w[(Y & (kTabSize - 1)) * kTabSize + (X & (kTabSize - 1))], out + (x - c0) * C);
    }
  }
}

#if defined(KV_HAVE_WARP_KERNEL)

// The positions X, Y (in 1/32 pixel) of the eight pixels x1 .. x1 + 7
// columns into block b, as OpenCV's SSE4.1 loop computes them: in double,
// W = W0 + M[6] * x1, 32 / W (0 where W is 0), (X0 + M[0] * x1) * W held
// within the int range, rounded to nearest even. Where the inverse keeps W
// at 1 (flat), 32 / W is 32. Its scalar loop makes a NaN INT_MAX where this
// makes it INT_MIN: either way the pixel lies far outside the image, 0.
KV_WARP_TARGET inline void fixed_positions(const double* M, const FixedBlock& b, bool flat, ptrdiff_t x1,
                                           __m256i* X, __m256i* Y) {
  const __m256d lo = _mm256_set1_pd(-2147483648.0), hi = _mm256_set1_pd(2147483647.0);
  __m256d xs = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(x1)), _mm256_setr_pd(0, 1, 2, 3));
  __m128i xi[2], yi[2];
  for (int h = 0; h < 2; h++, xs = _mm256_add_pd(xs, _mm256_set1_pd(4.0))) {
    __m256d w = _mm256_set1_pd(kTabSize);
    if (!flat) {
      const __m256d d = _mm256_add_pd(_mm256_set1_pd(b.W0), _mm256_mul_pd(_mm256_set1_pd(M[6]), xs));
      w = _mm256_andnot_pd(_mm256_cmp_pd(d, _mm256_setzero_pd(), _CMP_EQ_OQ), _mm256_div_pd(w, d));
    }
    const __m256d fx = _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(b.X0), _mm256_mul_pd(_mm256_set1_pd(M[0]), xs)), w);
    const __m256d fy = _mm256_mul_pd(_mm256_add_pd(_mm256_set1_pd(b.Y0), _mm256_mul_pd(_mm256_set1_pd(M[3]), xs)), w);
    xi[h] = _mm256_cvtpd_epi32(_mm256_max_pd(lo, _mm256_min_pd(hi, fx)));
    yi[h] = _mm256_cvtpd_epi32(_mm256_max_pd(lo, _mm256_min_pd(hi, fy)));
  }
  *X = _mm256_set_m128i(xi[1], xi[0]);
  *Y = _mm256_set_m128i(yi[1], yi[0]);
}

// Four pixels' weighted sums from their pairs of neighbours t (p00, p01: 8
// bytes a pixel) and u (p10, p11), and their table entries e (p00, p10,
// p01, p11 weights): per 128-bit lane the first pixel's four channel sums
// in *first, the second's in *second, each (sum + 2**14) >> 15.
KV_WARP_TARGET inline void fixed_sums(__m256i t, __m256i u, __m256i e, __m256i* first, __m256i* second) {
  const __m256i zero = _mm256_setzero_si256(), half = _mm256_set1_epi32(1 << (kCoefBits - 1));
  // Bytes k of the pair above and below side by side: (p00, p10) of each
  // channel, then (p01, p11), as 16-bit pairs against (w00, w10), (w01, w11).
  const __m256i a = _mm256_unpacklo_epi8(t, u), c = _mm256_unpackhi_epi8(t, u);
  const __m256i sa = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi8(a, zero), _mm256_shuffle_epi32(e, 0x00)),
                                      _mm256_madd_epi16(_mm256_unpackhi_epi8(a, zero), _mm256_shuffle_epi32(e, 0x55)));
  const __m256i sc = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi8(c, zero), _mm256_shuffle_epi32(e, 0xAA)),
                                      _mm256_madd_epi16(_mm256_unpackhi_epi8(c, zero), _mm256_shuffle_epi32(e, 0xFF)));
  *first = _mm256_srai_epi32(_mm256_add_epi32(sa, half), kCoefBits);
  *second = _mm256_srai_epi32(_mm256_add_epi32(sc, half), kCoefBits);
}

// Eight pixels whose pairs of neighbours start at byte offsets `at` of the
// image's rows (and the next rows), weighted by table entries `entry`, into
// out (C bytes each). Every 8-byte read stays inside the image.
template <int C>
KV_WARP_TARGET inline void fixed_blend8(const WarpSource& s, const FixedTable& tab, const int* at, const int* entry,
                                        uint8_t* out) {
  const uint8_t* top = s.data;
  const uint8_t* below = s.data + s.row_stride;
  const auto q = load8;
  // Three channels: B, G, R of p00 and p01 spread to four bytes each, the
  // fourth 0 (it comes out 0 and is dropped).
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 8, 9, 10, -1, 11, 12, 13, -1, 0, 1, 2, -1, 3, 4, 5,
                                          -1, 8, 9, 10, -1, 11, 12, 13, -1);
  __m256i packed[2];
  for (int h = 0; h < 2; h++) {
    const int* a = at + 4 * h;
    const int* e = entry + 4 * h;
    __m256i t = _mm256_setr_epi64x(q(top + a[0]), q(top + a[1]), q(top + a[2]), q(top + a[3]));
    __m256i u = _mm256_setr_epi64x(q(below + a[0]), q(below + a[1]), q(below + a[2]), q(below + a[3]));
    if (C == 3) t = _mm256_shuffle_epi8(t, spread), u = _mm256_shuffle_epi8(u, spread);
    const __m256i w = _mm256_setr_epi64x(q(tab.pairs[e[0]]), q(tab.pairs[e[1]]), q(tab.pairs[e[2]]), q(tab.pairs[e[3]]));
    __m256i first, second;
    fixed_sums(t, u, w, &first, &second);
    packed[h] = _mm256_packs_epi32(first, second);  // pixels 4h, 4h + 1 | 4h + 2, 4h + 3
  }
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(packed[0], packed[1]), 0xD8);
  if (C == 4)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
  else
    store24(out, bytes);
}

// Pixels [0, n) of eight (n <= 8) at positions X, Y (1/32 pixel) into out,
// C bytes each. Pixels with all four neighbours inside are blended eight at
// a time (the others with weights 0 read pixel (0, 0) and come out 0); those
// with some neighbours outside and some inside are redone one by one.
template <int C>
KV_WARP_TARGET void fixed_group(const WarpSource& s, const FixedTable& tab, __m256i X, __m256i Y, int n, uint8_t* out) {
  const __m256i sx = _mm256_srai_epi32(X, kTabBits), sy = _mm256_srai_epi32(Y, kTabBits), one = _mm256_set1_epi32(1);
  const auto cols = static_cast<int>(s.cols), rows = static_cast<int>(s.rows);
  const __m256i inside = _mm256_and_si256(below_unsigned(sx, _mm256_set1_epi32(cols - 1)),
                                          below_unsigned(sy, _mm256_set1_epi32(rows - 1)));
  const __m256i touches = _mm256_and_si256(below_unsigned(_mm256_add_epi32(sx, one), _mm256_set1_epi32(cols + 1)),
                                           below_unsigned(_mm256_add_epi32(sy, one), _mm256_set1_epi32(rows + 1)));
  const int lanes = (1 << n) - 1;
  const int in = _mm256_movemask_ps(_mm256_castsi256_ps(inside)) & lanes;
  const int some = _mm256_movemask_ps(_mm256_castsi256_ps(touches)) & lanes;
  if (!some) {
    std::memset(out, 0, static_cast<size_t>(n) * C);
    return;
  }
  const __m256i off = _mm256_and_si256(inside, _mm256_add_epi32(_mm256_mullo_epi32(sy, _mm256_set1_epi32(static_cast<int>(s.row_stride))),
                                                                _mm256_mullo_epi32(sx, _mm256_set1_epi32(C))));
  const __m256i frac = _mm256_set1_epi32(kTabSize - 1);
  const __m256i idx = _mm256_blendv_epi8(
      _mm256_set1_epi32(kTabSize * kTabSize),
      _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(Y, frac), kTabBits), _mm256_and_si256(X, frac)), inside);
  alignas(32) int at[8], entry[8], xs[8], ys[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(at), off);
  _mm256_store_si256(reinterpret_cast<__m256i*>(entry), idx);
  // Three channels read 8 bytes for 6: not past the image's last byte.
  const int last = static_cast<int>((s.rows - 2) * s.row_stride + s.cols * 3 - 8);
  const bool wide = C == 4 || !_mm256_movemask_epi8(_mm256_cmpgt_epi32(off, _mm256_set1_epi32(last)));
  int one_by_one = some & ~in;
  if (wide) {
    alignas(32) uint8_t spare[32];
    fixed_blend8<C>(s, tab, at, entry, n == 8 ? out : spare);
    if (n < 8) std::memcpy(out, spare, static_cast<size_t>(n) * C);
  } else {
    std::memset(out, 0, static_cast<size_t>(n) * C);
    one_by_one = some;
  }
  if (!one_by_one) return;
  _mm256_store_si256(reinterpret_cast<__m256i*>(xs), X);
  _mm256_store_si256(reinterpret_cast<__m256i*>(ys), Y);
  for (int j = 0; j < n; j++)
    if (one_by_one >> j & 1)
      fixed_pixel<C>(s, xs[j] >> kTabBits, ys[j] >> kTabBits,
                     tab.w[(ys[j] & (kTabSize - 1)) * kTabSize + (xs[j] & (kTabSize - 1))], out + j * C);
}

// fixed_pixels eight at a time (an image of at least 2x2 pixels).
template <int C>
KV_WARP_TARGET void fixed_pixels_avx2(const WarpSource& s, const double* M, ptrdiff_t block_cols,
                                      ptrdiff_t dst_cols, ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1, uint8_t* out) {
  const FixedTable& tab = fixed_table();
  for (ptrdiff_t x = c0; x < c1;) {
    const FixedBlock b(M, block_cols, dst_cols, y, x, c1);
    const bool flat = b.W0 == 1.0 && M[6] == 0.0;
    for (ptrdiff_t n; x < b.end; x += n) {
      n = b.end - x < 8 ? b.end - x : 8;
      __m256i X, Y;
      fixed_positions(M, b, flat, x - b.xb, &X, &Y);
      fixed_group<C>(s, tab, X, Y, static_cast<int>(n), out + (x - c0) * C);
    }
  }
}

#endif

}  // namespace

// OpenCV 4's warpPerspective. Its coordinates restart at each block of
// block_cols_ columns: X0 = M[0] * x + M[1] * y + M[2] for the block's first
// column x, then (X0 + M[0] * x1) * (32 / W) with W = W0 + M[6] * x1 for the
// pixel x1 columns into the block, in double, rounded to an integer X:
// source column X >> 5, fraction X & 31 (likewise Y), the table's weights
// for the two fractions. The pixel is (sum of p * weight + 2**14) >> 15
// over the four neighbours, 0 for a neighbour outside the image, saturated
// to a byte. The same integers eight pixels at a time where the processor
// has AVX2, one at a time otherwise.
void RegionWarp::fixed_row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1, uint8_t* out) const {
#if defined(KV_HAVE_WARP_KERNEL)
  if (fixed_wide_) {
    if (src_.channels == 4)
      fixed_pixels_avx2<4>(src_, md_, block_cols_, dst_cols_, y, c0, c1, out);
    else
      fixed_pixels_avx2<3>(src_, md_, block_cols_, dst_cols_, y, c0, c1, out);
    return;
  }
#endif
  if (src_.channels == 4)
    fixed_pixels<4>(src_, md_, block_cols_, dst_cols_, y, c0, c1, out);
  else
    fixed_pixels<3>(src_, md_, block_cols_, dst_cols_, y, c0, c1, out);
}

}  // namespace kv::image
