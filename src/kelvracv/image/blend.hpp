// The compositing arithmetic on raw bytes, shared by the portable row loop
// (composite.cpp) and the vector kernels (kernels.cpp): NumPy's float64
// formula canvas * (1.0 - a / 255.0) + image * (a / 255.0), truncated,
// answered by an integer blend except where the double formula decides.
// No Python here. Caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kv::image {

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
inline const AlphaTable kAlpha;

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
inline const SameValueTable kSame;

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

// The alpha bytes of four B, G, R, A pixels, as two words' kAlphaPair bits:
// 0 when all four are transparent, 3 when all four are opaque, else 1 or 2.
inline int alpha4(const uint8_t* px) {
  uint64_t lo, hi;
  std::memcpy(&lo, px, 8);
  std::memcpy(&hi, px + 8, 8);
  if (((lo | hi) & kAlphaPair) == 0) return 0;
  return (lo & hi & kAlphaPair) == kAlphaPair ? 3 : 1;
}

// A row of four-channel pixels [x0, x1) over the canvas row at `out`, whose
// pixels lie `ps` bytes apart and channels `cs` bytes apart.
using AlphaRow = void (*)(const uint8_t* px, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t ps, ptrdiff_t cs);

// The fastest row kernel for a packed canvas (ps 3, cs 1) on this processor
// (kernels.cpp): eight pixels at a time with AVX2, unless KELVRACV_NO_AVX2 is
// set; four at a time with SSE2 otherwise; nullptr without SSE2.
AlphaRow packed_alpha_row();

// Rows of n four-channel pixels over rows of a packed canvas, the same bytes
// as packed_alpha_row gives row by row (kernels.cpp); nullptr without SSE2.
using AlphaRect = void (*)(const uint8_t* px, ptrdiff_t px_stride, uint8_t* out, ptrdiff_t out_stride,
                           ptrdiff_t rows, ptrdiff_t n);
AlphaRect packed_alpha_rect();

// n bytes of a three-channel image row over the same bytes of a packed
// canvas row: each non-zero byte replaces the canvas byte (kernels.cpp;
// sixteen at a time with SSE2).
void nonzero_bytes(const uint8_t* px, uint8_t* out, ptrdiff_t n);

}  // namespace kv::image
