// Scan conversion for plain BGR canvases (see raster.hpp). The routines follow
// OpenCV 5.1.0's imgproc drawing code: 16.16 fixed point (kShift), Bresenham
// walks for 4- and 8-connected lines, the Gaussian-weighted three-pixel walk
// for antialiased lines, the two-edge scan of convex polygons, the active-edge
// scan of arbitrary polygons (walked as two runs of edges when the contour
// runs down and back up), the midpoint circle of round caps and the
// table-driven ellipse polygon. Every integer width, rounding and clipping
// step is kept, since the pixels must come out equal; where a shortcut is
// taken (runs of a row, steps to a neighbouring pixel, rows between two
// edges), its comment says why it sets the same pixels.
// No Python objects; any thread.

#include "draw/raster.hpp"

#include <emmintrin.h>
#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/cpu.hpp"
#include "core/switches.hpp"
#include "draw/buffer.hpp"

namespace kv::draw::raster {
namespace {

// ---- types -------------------------------------------------------------------

constexpr int kShift = 16;
constexpr int64_t kOne = int64_t{1} << kShift;

struct Pt {
  int64_t x, y;
  bool operator!=(const Pt& o) const { return x != o.x || y != o.y; }
};

// An edge of an arbitrary polygon: rows [y0, y1), x in 16.16 at row y0.
// `down`: the contour runs down along it (from row y0 to y1).
struct PolyEdge {
  int y0 = 0, y1 = 0;
  int64_t x = 0, dx = 0;
  PolyEdge* next = nullptr;
  bool down = false;
};

// The edges and points of one polygon, in place for the usual sizes.
using EdgeBuffer = Buffer<PolyEdge, 64>;
using PointBuffer = Buffer<Pt, 128>;

// sin of whole degrees 0 .. 450 (cos(a) = sin(450 - a)), single precision as
// OpenCV tabulates them: ellipse polygons depend on these exact values.
const float kSinTable[] = {
    0.0000000f, 0.0174524f, 0.0348995f, 0.0523360f, 0.0697565f, 0.0871557f, 0.1045285f, 0.1218693f,
    0.1391731f, 0.1564345f, 0.1736482f, 0.1908090f, 0.2079117f, 0.2249511f, 0.2419219f, 0.2588190f,
    0.2756374f, 0.2923717f, 0.3090170f, 0.3255682f, 0.3420201f, 0.3583679f, 0.3746066f, 0.3907311f,
    0.4067366f, 0.4226183f, 0.4383711f, 0.4539905f, 0.4694716f, 0.4848096f, 0.5000000f, 0.5150381f,
    0.5299193f, 0.5446390f, 0.5591929f, 0.5735764f, 0.5877853f, 0.6018150f, 0.6156615f, 0.6293204f,
    0.6427876f, 0.6560590f, 0.6691306f, 0.6819984f, 0.6946584f, 0.7071068f, 0.7193398f, 0.7313537f,
    0.7431448f, 0.7547096f, 0.7660444f, 0.7771460f, 0.7880108f, 0.7986355f, 0.8090170f, 0.8191520f,
    0.8290376f, 0.8386706f, 0.8480481f, 0.8571673f, 0.8660254f, 0.8746197f, 0.8829476f, 0.8910065f,
    0.8987940f, 0.9063078f, 0.9135455f, 0.9205049f, 0.9271839f, 0.9335804f, 0.9396926f, 0.9455186f,
    0.9510565f, 0.9563048f, 0.9612617f, 0.9659258f, 0.9702957f, 0.9743701f, 0.9781476f, 0.9816272f,
    0.9848078f, 0.9876883f, 0.9902681f, 0.9925462f, 0.9945219f, 0.9961947f, 0.9975641f, 0.9986295f,
    0.9993908f, 0.9998477f, 1.0000000f, 0.9998477f, 0.9993908f, 0.9986295f, 0.9975641f, 0.9961947f,
    0.9945219f, 0.9925462f, 0.9902681f, 0.9876883f, 0.9848078f, 0.9816272f, 0.9781476f, 0.9743701f,
    0.9702957f, 0.9659258f, 0.9612617f, 0.9563048f, 0.9510565f, 0.9455186f, 0.9396926f, 0.9335804f,
    0.9271839f, 0.9205049f, 0.9135455f, 0.9063078f, 0.8987940f, 0.8910065f, 0.8829476f, 0.8746197f,
    0.8660254f, 0.8571673f, 0.8480481f, 0.8386706f, 0.8290376f, 0.8191520f, 0.8090170f, 0.7986355f,
    0.7880108f, 0.7771460f, 0.7660444f, 0.7547096f, 0.7431448f, 0.7313537f, 0.7193398f, 0.7071068f,
    0.6946584f, 0.6819984f, 0.6691306f, 0.6560590f, 0.6427876f, 0.6293204f, 0.6156615f, 0.6018150f,
    0.5877853f, 0.5735764f, 0.5591929f, 0.5446390f, 0.5299193f, 0.5150381f, 0.5000000f, 0.4848096f,
    0.4694716f, 0.4539905f, 0.4383711f, 0.4226183f, 0.4067366f, 0.3907311f, 0.3746066f, 0.3583679f,
    0.3420201f, 0.3255682f, 0.3090170f, 0.2923717f, 0.2756374f, 0.2588190f, 0.2419219f, 0.2249511f,
    0.2079117f, 0.1908090f, 0.1736482f, 0.1564345f, 0.1391731f, 0.1218693f, 0.1045285f, 0.0871557f,
    0.0697565f, 0.0523360f, 0.0348995f, 0.0174524f, 0.0000000f, -0.0174524f, -0.0348995f, -0.0523360f,
    -0.0697565f, -0.0871557f, -0.1045285f, -0.1218693f, -0.1391731f, -0.1564345f, -0.1736482f, -0.1908090f,
    -0.2079117f, -0.2249511f, -0.2419219f, -0.2588190f, -0.2756374f, -0.2923717f, -0.3090170f, -0.3255682f,
    -0.3420201f, -0.3583679f, -0.3746066f, -0.3907311f, -0.4067366f, -0.4226183f, -0.4383711f, -0.4539905f,
    -0.4694716f, -0.4848096f, -0.5000000f, -0.5150381f, -0.5299193f, -0.5446390f, -0.5591929f, -0.5735764f,
    -0.5877853f, -0.6018150f, -0.6156615f, -0.6293204f, -0.6427876f, -0.6560590f, -0.6691306f, -0.6819984f,
    -0.6946584f, -0.7071068f, -0.7193398f, -0.7313537f, -0.7431448f, -0.7547096f, -0.7660444f, -0.7771460f,
    -0.7880108f, -0.7986355f, -0.8090170f, -0.8191520f, -0.8290376f, -0.8386706f, -0.8480481f, -0.8571673f,
    -0.8660254f, -0.8746197f, -0.8829476f, -0.8910065f, -0.8987940f, -0.9063078f, -0.9135455f, -0.9205049f,
    -0.9271839f, -0.9335804f, -0.9396926f, -0.9455186f, -0.9510565f, -0.9563048f, -0.9612617f, -0.9659258f,
    -0.9702957f, -0.9743701f, -0.9781476f, -0.9816272f, -0.9848078f, -0.9876883f, -0.9902681f, -0.9925462f,
    -0.9945219f, -0.9961947f, -0.9975641f, -0.9986295f, -0.9993908f, -0.9998477f, -1.0000000f, -0.9998477f,
    -0.9993908f, -0.9986295f, -0.9975641f, -0.9961947f, -0.9945219f, -0.9925462f, -0.9902681f, -0.9876883f,
    -0.9848078f, -0.9816272f, -0.9781476f, -0.9743701f, -0.9702957f, -0.9659258f, -0.9612617f, -0.9563048f,
    -0.9510565f, -0.9455186f, -0.9396926f, -0.9335804f, -0.9271839f, -0.9205049f, -0.9135455f, -0.9063078f,
    -0.8987940f, -0.8910065f, -0.8829476f, -0.8746197f, -0.8660254f, -0.8571673f, -0.8480481f, -0.8386706f,
    -0.8290376f, -0.8191520f, -0.8090170f, -0.7986355f, -0.7880108f, -0.7771460f, -0.7660444f, -0.7547096f,
    -0.7431448f, -0.7313537f, -0.7193398f, -0.7071068f, -0.6946584f, -0.6819984f, -0.6691306f, -0.6560590f,
    -0.6427876f, -0.6293204f, -0.6156615f, -0.6018150f, -0.5877853f, -0.5735764f, -0.5591929f, -0.5446390f,
    -0.5299193f, -0.5150381f, -0.5000000f, -0.4848096f, -0.4694716f, -0.4539905f, -0.4383711f, -0.4226183f,
    -0.4067366f, -0.3907311f, -0.3746066f, -0.3583679f, -0.3420201f, -0.3255682f, -0.3090170f, -0.2923717f,
    -0.2756374f, -0.2588190f, -0.2419219f, -0.2249511f, -0.2079117f, -0.1908090f, -0.1736482f, -0.1564345f,
    -0.1391731f, -0.1218693f, -0.1045285f, -0.0871557f, -0.0697565f, -0.0523360f, -0.0348995f, -0.0174524f,
    -0.0000000f, 0.0174524f, 0.0348995f, 0.0523360f, 0.0697565f, 0.0871557f, 0.1045285f, 0.1218693f,
    0.1391731f, 0.1564345f, 0.1736482f, 0.1908090f, 0.2079117f, 0.2249511f, 0.2419219f, 0.2588190f,
    0.2756374f, 0.2923717f, 0.3090170f, 0.3255682f, 0.3420201f, 0.3583679f, 0.3746066f, 0.3907311f,
    0.4067366f, 0.4226183f, 0.4383711f, 0.4539905f, 0.4694716f, 0.4848096f, 0.5000000f, 0.5150381f,
    0.5299193f, 0.5446390f, 0.5591929f, 0.5735764f, 0.5877853f, 0.6018150f, 0.6156615f, 0.6293204f,
    0.6427876f, 0.6560590f, 0.6691306f, 0.6819984f, 0.6946584f, 0.7071068f, 0.7193398f, 0.7313537f,
    0.7431448f, 0.7547096f, 0.7660444f, 0.7771460f, 0.7880108f, 0.7986355f, 0.8090170f, 0.8191520f,
    0.8290376f, 0.8386706f, 0.8480481f, 0.8571673f, 0.8660254f, 0.8746197f, 0.8829476f, 0.8910065f,
    0.8987940f, 0.9063078f, 0.9135455f, 0.9205049f, 0.9271839f, 0.9335804f, 0.9396926f, 0.9455186f,
    0.9510565f, 0.9563048f, 0.9612617f, 0.9659258f, 0.9702957f, 0.9743701f, 0.9781476f, 0.9816272f,
    0.9848078f, 0.9876883f, 0.9902681f, 0.9925462f, 0.9945219f, 0.9961947f, 0.9975641f, 0.9986295f,
    0.9993908f, 0.9998477f, 1.0000000f
};

// Correction of antialiased line intensity by slope, and the Gaussian
// weights of the three pixels across an antialiased line.
const uint8_t kSlopeCorr[] = {181, 181, 181, 182, 182, 183, 184, 185, 187, 188, 190, 192, 194, 196, 198, 201,
                              203, 206, 209, 211, 214, 218, 221, 224, 227, 231, 235, 238, 242, 246, 250, 254};
const int kFilter[] = {168, 177, 185, 194, 202, 210, 218, 224, 231, 236, 241, 246, 249, 252, 254, 254,
                       254, 254, 252, 249, 246, 241, 236, 231, 224, 218, 210, 202, 194, 185, 177, 168,
                       158, 149, 140, 131, 122, 114, 105, 97,  89,  82,  75,  68,  62,  56,  50,  45,
                       40,  36,  32,  28,  25,  22,  19,  16,  14,  12,  11,  9,   8,   7,   5,   5};

// What the routines follow that is set at start-up, once, before any drawing:
// the OpenCV release's behaviour (from the OpenCV profile).
struct RasterState {
  ReleaseBehaviour release;
};
RasterState g_raster;

// ---- pixels ------------------------------------------------------------------

inline uint8_t* row_of(const Canvas& img, int64_t y) { return img.data + static_cast<size_t>(y) * img.step; }

inline void put3(uint8_t* p, const Color& c) {
  p[0] = c.c[0];
  p[1] = c.c[1];
  p[2] = c.c[2];
}

// Whether long row fills use AVX's 32-byte stores: the processor has them,
// and KELVRACV_NO_AVX2 (the switch of the wide compositing kernels) is unset.
// Measured against the 16-byte loop alone (bench_draw's shapes): a filled
// circle of radius 100 takes about 5% less time; a filled rect of 100 x 80
// pixels between 1% and 10% less.
const bool g_avx = kv::cpu::avx() && !kv::no_avx2();

// The pixels [p, end) of a row of 64 or more pixels, in rounds of 32 pixels
// (three 32-byte stores of the colour's run, which repeats every 16 pixels),
// the last round ending at `end`.
__attribute__((target("avx"))) void hline_avx(uint8_t* p, uint8_t* end, const Color& c) {
  const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.run));
  const __m256i w1 = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(c.run),
                                          reinterpret_cast<const __m128i*>(c.run + 32));
  const __m256i w2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.run + 16));
  for (; p + 96 <= end; p += 96) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), w0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32), w1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 64), w2);
  }
  if (p < end) {
    p = end - 96;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), w0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32), w1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 64), w2);
  }
}

// Pixels xl .. xr of a row (nothing when xl > xr), copied from the colour's
// run of sixteen pixels. The last piece of a row is written as a whole run
// ending at xr, overlapping what is already written: whole pixels of the
// same colour, so no byte changes twice to anything else.
void hline(uint8_t* row, int64_t xl, int64_t xr, const Color& c) {
  if (xl > xr) return;
  uint8_t* p = row + xl * 3;
  size_t n = static_cast<size_t>(xr - xl + 1);
  uint8_t* end = p + 3 * n;
  if (n >= 64 && g_avx) {
    hline_avx(p, end, c);
  } else if (n >= 16) {
    __m128i w0, w1, w2;
    std::memcpy(&w0, c.run, 16);
    std::memcpy(&w1, c.run + 16, 16);
    std::memcpy(&w2, c.run + 32, 16);
    for (; p + 48 <= end; p += 48) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), w0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), w1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), w2);
    }
    if (p < end) {
      p = end - 48;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), w0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), w1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), w2);
    }
  } else if (n >= 8) {
    std::memcpy(p, c.run, 24);
    std::memcpy(end - 24, c.run, 24);
  } else if (n >= 4) {
    std::memcpy(p, c.run, 12);
    std::memcpy(end - 12, c.run, 12);
  } else {
    for (; p < end; p += 3) put3(p, c);
  }
}

// One blending step of two pixels held in 16-bit lanes (B, G, R, 0, B, G,
// R, 0): v + (((t - v) * a + 127) >> 8) per channel, as OpenCV computes it,
// with the weights `w0` and `w1` of the two pixels given as 16-bit pairs
// (a, 1): each product and its 127 come out of one multiply-add in 32 bits.
inline __m128i blend_step(__m128i v, __m128i t, __m128i w0, __m128i w1) {
  const __m128i k127 = _mm_set1_epi16(127);
  __m128i d = _mm_sub_epi16(t, v);
  __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(d, k127), w0), 8);
  __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(d, k127), w1), 8);
  return _mm_add_epi16(v, _mm_packs_epi32(lo, hi));
}

inline uint32_t load3(const uint8_t* p) {
  uint16_t lo;
  std::memcpy(&lo, p, 2);
  return lo | (static_cast<uint32_t>(p[2]) << 16);
}
inline void store3(uint8_t* p, uint32_t v) {
  uint16_t lo = static_cast<uint16_t>(v);
  std::memcpy(p, &lo, 2);
  p[2] = static_cast<uint8_t>(v >> 16);
}
inline __m128i weight(int a) { return _mm_set1_epi32((1 << 16) | a); }

// The three pixels of one step of an antialiased line blended towards the
// colour `t` (16-bit lanes, twice) with weights a / 256, twice each, as
// OpenCV's antialiased lines blend. A pixel off the canvas is given as a
// scratch pixel of the caller's. The steps never overshoot the colour, so the
// results stay bytes.
inline __attribute__((always_inline)) void blend3(uint8_t* p0, int a0, uint8_t* p1, int a1, uint8_t* p2, int a2,
                                                  __m128i t) {
  const __m128i zero = _mm_setzero_si128();
  __m128i v01 = _mm_unpacklo_epi8(_mm_set_epi32(0, 0, static_cast<int>(load3(p1)), static_cast<int>(load3(p0))), zero);
  __m128i v2 = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(load3(p2))), zero);
  __m128i w0 = weight(a0), w1 = weight(a1), w2 = weight(a2);
  v01 = blend_step(blend_step(v01, t, w0, w1), t, w0, w1);
  v2 = blend_step(blend_step(v2, t, w2, w2), t, w2, w2);
  __m128i packed = _mm_packus_epi16(v01, v2);
  store3(p0, static_cast<uint32_t>(_mm_cvtsi128_si32(packed)));
  store3(p1, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(packed, 4))));
  store3(p2, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(packed, 8))));
}

// v << k on two's complement, as OpenCV shifts its (possibly negative)
// fixed-point values; done on the unsigned value, where shifting is defined.
inline int64_t shl(int64_t v, int k) { return static_cast<int64_t>(static_cast<uint64_t>(v) << k); }

inline int saturate_int(int64_t v) {
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

// ---- lines -------------------------------------------------------------------

// Clips the segment to [0, w) x [0, h); false when nothing of it is inside.
bool clip_line(int64_t w, int64_t h, Pt& p1, Pt& p2) {
  int64_t right = w - 1, bottom = h - 1;
  if (w <= 0 || h <= 0) return false;
  int64_t &x1 = p1.x, &y1 = p1.y, &x2 = p2.x, &y2 = p2.y;
  int c1 = (x1 < 0) + (x1 > right) * 2 + (y1 < 0) * 4 + (y1 > bottom) * 8;
  int c2 = (x2 < 0) + (x2 > right) * 2 + (y2 < 0) * 4 + (y2 > bottom) * 8;
  if ((c1 & c2) == 0 && (c1 | c2) != 0) {
    int64_t a;
    if (c1 & 12) {
      a = c1 < 8 ? 0 : bottom;
      x1 += static_cast<int64_t>(static_cast<double>(a - y1) * (x2 - x1) / (y2 - y1));
      y1 = a;
      c1 = (x1 < 0) + (x1 > right) * 2;
    }
    if (c2 & 12) {
      a = c2 < 8 ? 0 : bottom;
      x2 += static_cast<int64_t>(static_cast<double>(a - y2) * (x2 - x1) / (y2 - y1));
      y2 = a;
      c2 = (x2 < 0) + (x2 > right) * 2;
    }
    if ((c1 & c2) == 0 && (c1 | c2) != 0) {
      if (c1) {
        a = c1 == 1 ? 0 : right;
        y1 += static_cast<int64_t>(static_cast<double>(a - x1) * (y2 - y1) / (x2 - x1));
        x1 = a;
        c1 = 0;
      }
      if (c2) {
        a = c2 == 1 ? 0 : right;
        y2 += static_cast<int64_t>(static_cast<double>(a - x2) * (y2 - y1) / (x2 - x1));
        x2 = a;
        c2 = 0;
      }
    }
  }
  return (c1 | c2) == 0;
}

// clip_line with its common case inline: both ends already on [0, w) x [0, h)
// (nothing to clip, true). It saves the call and the outcode arithmetic on
// every segment of a thin curve: 4,100 of the 139,700 instructions of
// graph(sin) with the default options (callgrind).
inline bool clip_line_fast(int64_t w, int64_t h, Pt& p1, Pt& p2) {
  const uint64_t uw = static_cast<uint64_t>(w), uh = static_cast<uint64_t>(h);
  if (w > 0 && h > 0 && static_cast<uint64_t>(p1.x) < uw && static_cast<uint64_t>(p2.x) < uw &&
      static_cast<uint64_t>(p1.y) < uh && static_cast<uint64_t>(p2.y) < uh)
    return true;
  return clip_line(w, h, p1, p2);
}

// The walk of a row or a column of dx + 1 pixels from (x, y): rightwards, or
// down (delta = 1) or up (-1) when `vert`. The line walk below never takes
// its other step on such a line (err never goes negative), so its pixels are
// simply consecutive.
inline __attribute__((always_inline)) void straight_px(const Canvas& img, int x, int y, int dx, bool vert, int delta,
                                                       const Color& color) {
  uint8_t* p = row_of(img, y) + static_cast<size_t>(x) * 3;
  if (!vert && dx >= 16) {
    hline(p, 0, dx, color);
    return;
  }
  const ptrdiff_t along = vert ? static_cast<ptrdiff_t>(img.step) * delta : 3;
  const uint8_t cb = color.c[0], cg = color.c[1], cr = color.c[2];
  for (int i = 0; i <= dx; i++, p += along) p[0] = cb, p[1] = cg, p[2] = cr;
}

// The walk of a 4- or 8-connected line between whole pixels inside the
// canvas, from its left end (OpenCV's LineIterator). connectivity: 4 or 8.
inline __attribute__((always_inline)) void walk_px(const Canvas& img, int x1, int y1, int x2, int y2,
                                                   const Color& color, int connectivity) {
  int delta_x = 1, delta_y = 1;
  int dx = x2 - x1, dy = y2 - y1;
  if (dx < 0) {
    dx = -dx;
    dy = -dy;
    x1 = x2, y1 = y2;
  }
  if (dy < 0) {
    dy = -dy;
    delta_y = -1;
  }
  bool vert = dy > dx;
  if (vert) {
    std::swap(dx, dy);
    std::swap(delta_x, delta_y);
  }
  if (dy == 0) return straight_px(img, x1, y1, dx, vert, delta_x, color);
  int err, plus_delta, minus_delta, count;
  ptrdiff_t minus_shift, plus_shift, minus_step, plus_step;
  if (connectivity == 8) {
    err = dx - (dy + dy);
    plus_delta = dx + dx;
    minus_delta = -(dy + dy);
    minus_shift = delta_x, plus_shift = 0;
    minus_step = 0, plus_step = delta_y;
    count = dx + 1;
  } else {
    err = 0;
    plus_delta = (dx + dx) + (dy + dy);
    minus_delta = -(dy + dy);
    minus_shift = delta_x, plus_shift = -delta_x;
    minus_step = 0, plus_step = delta_y;
    count = dx + dy + 1;
  }
  if (vert) {
    std::swap(plus_step, plus_shift);
    std::swap(minus_step, minus_shift);
  }
  const ptrdiff_t step = static_cast<ptrdiff_t>(img.step);
  plus_step = plus_step * step + plus_shift * 3;
  minus_step = minus_step * step + minus_shift * 3;
  uint8_t* p = row_of(img, y1) + static_cast<size_t>(x1) * 3;
  const uint8_t cb = color.c[0], cg = color.c[1], cr = color.c[2];
  for (int i = 0; i < count; i++) {
    p[0] = cb, p[1] = cg, p[2] = cr;
    ptrdiff_t mask = err < 0 ? -1 : 0;
    err += minus_delta + (plus_delta & static_cast<int>(mask));
    p += minus_step + (plus_step & mask);
  }
}

// A 4- or 8-connected line between whole pixels, clipped to the canvas
// (OpenCV's Line). The ends are saturated to ints, as OpenCV's Point takes them.
void line_px(const Canvas& img, int64_t ax, int64_t ay, int64_t bx, int64_t by, const Color& color,
             int connectivity) {
  if (connectivity == 0) connectivity = 8;
  else if (connectivity == 1) connectivity = 4;
  int x1 = saturate_int(ax), y1 = saturate_int(ay), x2 = saturate_int(bx), y2 = saturate_int(by);
  const unsigned w = static_cast<unsigned>(img.width), h = static_cast<unsigned>(img.height);
  if (static_cast<unsigned>(x1) >= w || static_cast<unsigned>(x2) >= w || static_cast<unsigned>(y1) >= h ||
      static_cast<unsigned>(y2) >= h) {
    Pt p1{x1, y1}, p2{x2, y2};
    bool inside = clip_line(img.width, img.height, p1, p2);
    x1 = static_cast<int>(p1.x), y1 = static_cast<int>(p1.y), x2 = static_cast<int>(p2.x), y2 = static_cast<int>(p2.y);
    if (!inside) return;
  }
  walk_px(img, x1, y1, x2, y2, color, connectivity);
}

// A thin line between 16.16 points, rounded to pixels along its main axis
// (OpenCV's Line2, used for shifted coordinates).
void line_fixed(const Canvas& img, Pt p1, Pt p2, const Color& color) {
  const int w = img.width, h = img.height;
  if (!clip_line_fast(static_cast<int64_t>(w) << kShift, static_cast<int64_t>(h) << kShift, p1, p2)) return;
  int64_t dx = p2.x - p1.x, dy = p2.y - p1.y;
  int64_t j = dx < 0 ? -1 : 0, ax = (dx ^ j) - j;
  int64_t i = dy < 0 ? -1 : 0, ay = (dy ^ i) - i;
  int64_t x_step, y_step;
  int ecount;
  if (ax > ay) {
    dy = (dy ^ j) - j;
    if (j) std::swap(p1, p2);
    x_step = kOne;
    y_step = dy * (1 << kShift) / (ax | 1);
    ecount = static_cast<int>((p2.x - p1.x) >> kShift);
  } else {
    dx = (dx ^ i) - i;
    if (i) std::swap(p1, p2);
    x_step = dx * (1 << kShift) / (ay | 1);
    y_step = kOne;
    ecount = static_cast<int>((p2.y - p1.y) >> kShift);
  }
  p1.x += kOne >> 1;
  p1.y += kOne >> 1;
  auto put = [&](int x, int y) {
    if (0 <= x && x < w && 0 <= y && y < h) put3(row_of(img, y) + static_cast<size_t>(x) * 3, color);
  };
  put(static_cast<int>((p2.x + (kOne >> 1)) >> kShift), static_cast<int>((p2.y + (kOne >> 1)) >> kShift));
  if (ax > ay) {
    p1.x >>= kShift;
    for (; ecount >= 0; ecount--) {
      put(static_cast<int>(p1.x), static_cast<int>(p1.y >> kShift));
      p1.x++;
      p1.y += y_step;
    }
  } else {
    p1.y >>= kShift;
    for (; ecount >= 0; ecount--) {
      put(static_cast<int>(p1.x >> kShift), static_cast<int>(p1.y));
      p1.x += x_step;
      p1.y++;
    }
  }
}

// The end-point corrections of an antialiased line (OpenCV's LineAA): by the
// slope and the fractions i and j (in 1/16 pixel, times 8) of its two ends.
inline void end_point_table(int slope, int i, int j, int ep_table[9]) {
  int t0 = slope << 7;
  int t1 = ((0x78 - i) | 4) * slope;
  int t2 = (j | 4) * slope;
  ep_table[0] = 0;
  ep_table[8] = slope;
  ep_table[1] = ep_table[3] = ((((j - i) & 0x78) | 4) * slope >> 8) & 0x1ff;
  ep_table[2] = (t1 >> 8) & 0x1ff;
  ep_table[4] = ((((j - i) + 0x80) | 4) * slope >> 8) & 0x1ff;
  ep_table[5] = ((t1 + t0) >> 8) & 0x1ff;
  ep_table[6] = (t2 >> 8) & 0x1ff;
  ep_table[7] = ((t2 + t0) >> 8) & 0x1ff;
}

// The weights of the three pixels across an antialiased line at the
// position `pos` (16.16) of its centre: the filter at the centre's distance,
// scaled by the end-point correction of step scount (ecount steps to go).
inline __attribute__((always_inline)) void aa_weights(const int* ep_table, int scount, int ecount, int64_t pos,
                                                      int* a0, int* a1, int* a2) {
  int ep_corr = ep_table[(((scount >= 2) + 1) & (scount | 2)) * 3 + (((ecount >= 2) + 1) & (ecount | 2))];
  int dist = static_cast<int>((pos >> (kShift - 5)) & 31);
  *a0 = (ep_corr * kFilter[dist + 32] >> 8) & 0xff;
  *a1 = (ep_corr * kFilter[dist] >> 8) & 0xff;
  *a2 = (ep_corr * kFilter[63 - dist] >> 8) & 0xff;
}

// The pixels of an antialiased line from p1, ecount + 1 steps along x (when
// along_x) or y, three pixels across at each step.
inline __attribute__((always_inline)) void aa_pixels(const Canvas& img, bool along_x, Pt p1, int64_t x_step,
                                                     int64_t y_step, int ecount, const int* ep_table,
                                                     const Color& color) {
  int scount = 0;
  const unsigned uw = static_cast<unsigned>(img.width), uh = static_cast<unsigned>(img.height);
  const __m128i t = _mm_setr_epi16(color.c[0], color.c[1], color.c[2], 0, color.c[0], color.c[1], color.c[2], 0);
  const size_t step = img.step;
  uint8_t scratch[3] = {0, 0, 0};  // stands for the pixels off the canvas
  if (along_x) {
    int x = static_cast<int>(p1.x >> kShift);
    for (; ecount >= 0; x++, p1.y += y_step, scount++, ecount--) {
      if (static_cast<unsigned>(x) >= uw) continue;
      int y = static_cast<int>((p1.y >> kShift) - 1);
      int a0, a1, a2;
      aa_weights(ep_table, scount, ecount, p1.y, &a0, &a1, &a2);
      uint8_t* col = img.data + static_cast<size_t>(x) * 3;
      blend3(static_cast<unsigned>(y) < uh ? col + static_cast<size_t>(y) * step : scratch, a0,
             static_cast<unsigned>(y + 1) < uh ? col + static_cast<size_t>(y + 1) * step : scratch, a1,
             static_cast<unsigned>(y + 2) < uh ? col + static_cast<size_t>(y + 2) * step : scratch, a2, t);
    }
  } else {
    int y = static_cast<int>(p1.y >> kShift);
    for (; ecount >= 0; y++, p1.x += x_step, scount++, ecount--) {
      if (static_cast<unsigned>(y) >= uh) continue;
      int x = static_cast<int>((p1.x >> kShift) - 1);
      int a0, a1, a2;
      aa_weights(ep_table, scount, ecount, p1.x, &a0, &a1, &a2);
      uint8_t* row = row_of(img, y);
      blend3(static_cast<unsigned>(x) < uw ? row + static_cast<size_t>(x) * 3 : scratch, a0,
             static_cast<unsigned>(x + 1) < uw ? row + static_cast<size_t>(x + 1) * 3 : scratch, a1,
             static_cast<unsigned>(x + 2) < uw ? row + static_cast<size_t>(x + 2) * 3 : scratch, a2, t);
    }
  }
}

// An antialiased thin line between 16.16 points (OpenCV's LineAA): three
// pixels across the line per step along it, weighted by distance, with the
// end pixels corrected by the ends' fractions.
void line_aa(const Canvas& img, Pt p1, Pt p2, const Color& color) {
  const int w = img.width, h = img.height;
  if (!clip_line_fast(static_cast<int64_t>(w) << kShift, static_cast<int64_t>(h) << kShift, p1, p2)) return;
  int64_t dx = p2.x - p1.x, dy = p2.y - p1.y;
  int64_t j = dx < 0 ? -1 : 0, ax = (dx ^ j) - j;
  int64_t i = dy < 0 ? -1 : 0, ay = (dy ^ i) - i;
  int64_t x_step, y_step;
  int ecount, slope;
  if (ax > ay) {
    dy = (dy ^ j) - j;
    if (j) std::swap(p1, p2);
    x_step = kOne;
    y_step = static_cast<int64_t>(static_cast<uint64_t>(dy) << kShift) / (ax | 1);
    p2.x += kOne;
    ecount = static_cast<int>((p2.x >> kShift) - (p1.x >> kShift));
    j = -(p1.x & (kOne - 1));
    p1.y += ((y_step * j) >> kShift) + (kOne >> 1);
    slope = static_cast<int>((y_step >> (kShift - 5)) & 0x3f);
    slope ^= (y_step < 0 ? 0x3f : 0);
    i = (p1.x >> (kShift - 7)) & 0x78;
    j = (p2.x >> (kShift - 7)) & 0x78;
  } else {
    dx = (dx ^ i) - i;
    if (i) std::swap(p1, p2);
    x_step = static_cast<int64_t>(static_cast<uint64_t>(dx) << kShift) / (ay | 1);
    y_step = kOne;
    p2.y += kOne;
    ecount = static_cast<int>((p2.y >> kShift) - (p1.y >> kShift));
    j = -(p1.y & (kOne - 1));
    p1.x += ((x_step * j) >> kShift) + (kOne >> 1);
    slope = static_cast<int>((x_step >> (kShift - 5)) & 0x3f);
    slope ^= (x_step < 0 ? 0x3f : 0);
    i = (p1.y >> (kShift - 7)) & 0x78;
    j = (p2.y >> (kShift - 7)) & 0x78;
  }
  slope = (slope & 0x20) ? 0x100 : kSlopeCorr[slope];
  int ep_table[9];
  end_point_table(slope, static_cast<int>(i), static_cast<int>(j), ep_table);
  aa_pixels(img, ax > ay, p1, x_step, y_step, ecount, ep_table, color);
}

// The thin line of a polygon edge or a 1-pixel stroke: line_px for whole
// pixels (shift 0), line_fixed for 16.16 ends, line_aa when antialiased.
void edge_line(const Canvas& img, Pt p0, Pt p, const Color& color, int line_type, int shift) {
  if (line_type <= 8) {
    if (shift == 0)
      line_px(img, p0.x >> kShift, p0.y >> kShift, p.x >> kShift, p.y >> kShift, color, line_type);
    else
      line_fixed(img, p0, p, color);
  } else {
    line_aa(img, p0, p, color);
  }
}

// ---- polygons ----------------------------------------------------------------

// The span [x1, x2] of row y, clipped to the canvas (nothing when it lies
// wholly outside).
inline __attribute__((always_inline)) void span(const Canvas& img, int y, int x1, int x2, const Color& color) {
  if (x2 >= 0 && x1 < img.width) {
    if (x1 < 0) x1 = 0;
    if (x2 >= img.width) x2 = img.width - 1;
    hline(row_of(img, y), x1, x2, color);
  }
}

// A chain of a convex polygon's edges followed down from the top vertex.
struct ConvexEdge {
  int idx, di;  // the vertex the current edge ends at; +1 or -1 (mod npts)
  int64_t x, dx;
  int ye;  // the row the current edge ends at
};

// Outlines a convex polygon (before it is filled, as OpenCV does) and finds
// its top vertex *imin and the bounds of its vertices, in their own units.
void outline_convex(const Canvas& img, const Pt* v, int npts, const Color& color, int line_type, int shift,
                    int* imin, int64_t* xmin, int64_t* xmax, int64_t* ymin, int64_t* ymax) {
  Pt p0 = v[npts - 1];
  p0.x = shl(p0.x, kShift - shift);
  p0.y = shl(p0.y, kShift - shift);
  *imin = 0;
  *xmin = *xmax = v[0].x;
  *ymin = *ymax = v[0].y;
  for (int i = 0; i < npts; i++) {
    Pt p = v[i];
    if (p.y < *ymin) {
      *ymin = p.y;
      *imin = i;
    }
    *ymax = std::max(*ymax, p.y);
    *xmax = std::max(*xmax, p.x);
    *xmin = std::min(*xmin, p.x);
    p.x = shl(p.x, kShift - shift);
    p.y = shl(p.y, kShift - shift);
    edge_line(img, p0, p, color, line_type, shift);
    p0 = p;
  }
}

// Moves a chain on to its next edge that ends below row y; *edges counts
// the edges left to take (negative once they are all taken).
inline void advance_chain(ConvexEdge& e, const Pt* v, int npts, int y, int delta, int shift, int* edges) {
  int idx0 = e.idx, di = e.di;
  int idx = idx0 + di;
  if (idx >= npts) idx -= npts;
  for (; (*edges)-- > 0;) {
    int ty = static_cast<int>((v[idx].y + delta) >> shift);
    if (ty > y) {
      int64_t xs = v[idx0].x;
      int64_t xe = v[idx].x;
      if (shift != kShift) {
        xs = shl(xs, kShift - shift);
        xe = shl(xe, kShift - shift);
      }
      e.ye = ty;
      e.dx = ((xe - xs) * 2 + (static_cast<int64_t>(ty) - y)) / (2 * (static_cast<int64_t>(ty) - y));
      e.x = xs;
      e.idx = idx;
      break;
    }
    idx0 = idx;
    idx += di;
    if (idx >= npts) idx -= npts;
  }
}

// A convex polygon (OpenCV's FillConvexPoly): outline, then the rows between
// the left and right chains followed down from the top vertex.
void fill_convex(const Canvas& img, const Pt* v, int npts, const Color& color, int line_type, int shift) {
  int delta = 1 << shift >> 1;
  int imin, edges = npts;
  int64_t xmin, xmax, ymin, ymax;
  int delta1, delta2;
  if (line_type < kLineAA)
    delta1 = delta2 = static_cast<int>(kOne >> 1);
  else
    delta1 = static_cast<int>(kOne - 1), delta2 = 0;
  outline_convex(img, v, npts, color, line_type, shift, &imin, &xmin, &xmax, &ymin, &ymax);
  xmin = (xmin + delta) >> shift;
  xmax = (xmax + delta) >> shift;
  ymin = (ymin + delta) >> shift;
  ymax = (ymax + delta) >> shift;
  if (npts < 3 || static_cast<int>(xmax) < 0 || static_cast<int>(ymax) < 0 || static_cast<int>(xmin) >= img.width ||
      static_cast<int>(ymin) >= img.height)
    return;
  ymax = std::min<int64_t>(ymax, img.height - 1);
  int y = static_cast<int>(ymin);
  ConvexEdge edge[2] = {{imin, 1, -kOne, 0, y}, {imin, npts - 1, -kOne, 0, y}};
  do {
    if (line_type < kLineAA || y < static_cast<int>(ymax) || y == static_cast<int>(ymin)) {
      for (ConvexEdge& e : edge)
        if (y >= e.ye) advance_chain(e, v, npts, y, delta, shift, &edges);
    }
    if (edges < 0) break;
    if (y >= 0) {
      int left = 0, right = 1;
      if (edge[0].x > edge[1].x) left = 1, right = 0;
      int x1 = static_cast<int>((edge[left].x + delta1) >> kShift);
      int x2 = static_cast<int>((edge[right].x + delta2) >> kShift);
      span(img, y, x1, x2, color);
    }
    edge[0].x += edge[0].dx;
    edge[1].x += edge[1].dx;
  } while (++y <= static_cast<int>(ymax));
}

// The edges of one contour of an arbitrary polygon, outlined as they are
// collected (OpenCV's CollectPolyEdges, no offset).
void collect_edges(const Canvas& img, const Pt* v, int count, EdgeBuffer& edges, const Color& color,
                   int line_type, int shift) {
  int delta = (1 << shift) >> 1;
  Pt pt0 = v[count - 1], pt1;
  pt0.x = shl(pt0.x, kShift - shift);
  pt0.y = (pt0.y + delta) >> shift;
  edges.reserve(edges.size() + count);
  for (int i = 0; i < count; i++, pt0 = pt1) {
    Pt t0, t1;
    pt1 = v[i];
    pt1.x = shl(pt1.x, kShift - shift);
    pt1.y = (pt1.y + delta) >> shift;
    Pt pt0c(pt0), pt1c(pt1);
    if (line_type < kLineAA) {
      t0.y = pt0.y, t1.y = pt1.y;
      t0.x = (pt0.x + (kOne >> 1)) >> kShift;
      t1.x = (pt1.x + (kOne >> 1)) >> kShift;
      // (the ends came in as ints, so this also tells whether both are inside)
      bool outside = static_cast<unsigned>(t0.x) >= static_cast<unsigned>(img.width) ||
                     static_cast<unsigned>(t1.x) >= static_cast<unsigned>(img.width) ||
                     static_cast<unsigned>(t0.y) >= static_cast<unsigned>(img.height) ||
                     static_cast<unsigned>(t1.y) >= static_cast<unsigned>(img.height);
      if (!outside)  // no saturation or clipping to do
        walk_px(img, static_cast<int>(t0.x), static_cast<int>(t0.y), static_cast<int>(t1.x),
                static_cast<int>(t1.y), color, (line_type == 1 || line_type == 4) ? 4 : 8);
      else
        line_px(img, t0.x, t0.y, t1.x, t1.y, color, line_type);
      // the clipped ends give a more accurate edge
      if (outside) {
        clip_line(img.width, img.height, t0, t1);
        if (t0.y != t1.y) {
          pt0c.y = t0.y;
          pt1c.y = t1.y;
        }
      }
      pt0c.x = shl(t0.x, kShift);
      pt1c.x = shl(t1.x, kShift);
    } else {
      t0.x = pt0.x, t1.x = pt1.x;
      t0.y = shl(pt0.y, kShift);
      t1.y = shl(pt1.y, kShift);
      line_aa(img, t0, t1, color);
    }
    if (pt0.y == pt1.y) continue;
    PolyEdge& edge = edges.emplace_back();
    edge.dx = (pt1c.x - pt0c.x) / (pt1c.y - pt0c.y);
    edge.down = pt0.y < pt1.y;
    if (edge.down) {
      edge.y0 = static_cast<int>(pt0.y);
      edge.y1 = static_cast<int>(pt1.y);
      edge.x = pt0c.x + (pt0.y - pt0c.y) * edge.dx;
    } else {
      edge.y0 = static_cast<int>(pt1.y);
      edge.y1 = static_cast<int>(pt0.y);
      edge.x = pt1c.x + (pt1.y - pt1c.y) * edge.dx;
    }
  }
}

// The span on row y between two active edges a and b (in either order):
// from the left one, rounded up, to the right one.
inline __attribute__((always_inline)) void edge_span(const Canvas& img, int y, const PolyEdge* a, const PolyEdge* b,
                                                     const Color& color) {
  const int64_t delta = kOne - 1;
  int x1, x2;
  if (a->x > b->x) {
    x1 = static_cast<int>((b->x + delta) >> kShift);
    x2 = static_cast<int>(a->x >> kShift);
  } else {
    x1 = static_cast<int>((a->x + delta) >> kShift);
    x2 = static_cast<int>(b->x >> kShift);
  }
  span(img, y, x1, x2, color);
}

// Whether the edges can reach the canvas; *y_max is the row below the last.
bool edges_visible(const Canvas& img, const EdgeBuffer& edges, int* y_max) {
  int y_min = INT_MAX;
  int64_t x_max = -1, x_min = INT64_MAX;
  *y_max = INT_MIN;
  for (size_t i = 0; i < edges.size(); i++) {
    const PolyEdge& e1 = edges[i];
    int64_t x1 = e1.x + (e1.y1 - e1.y0) * e1.dx;
    y_min = std::min(y_min, e1.y0);
    *y_max = std::max(*y_max, e1.y1);
    x_min = std::min(x_min, e1.x);
    x_max = std::max(x_max, e1.x);
    x_min = std::min(x_min, x1);
    x_max = std::max(x_max, x1);
  }
  return !(*y_max < 0 || y_min >= img.height || x_max < 0 || x_min >= (static_cast<int64_t>(img.width) << kShift));
}

// Rows y up to `stop` while exactly two edges are active (after `head`) and
// none starts or ends: the span between the two, both edges stepped, and the
// pair kept in x order, as scan_row does them. Returns `stop`.
int two_edge_rows(const Canvas& img, PolyEdge& head, int y, int stop, const Color& color) {
  PolyEdge* a = head.next;
  PolyEdge* b = a->next;
  for (; y < stop; y++) {
    if (y >= 0) edge_span(img, y, a, b, color);
    a->x += a->dx;
    b->x += b->dx;
    if (a->x > b->x) {
      head.next = b;
      b->next = a;
      a->next = nullptr;
      std::swap(a, b);
    }
  }
  return y;
}

// Row y in general: edges that end above it leave the active list (after
// `head`), the edges that start at it (from *e on) join it in x order, and
// the spans between pairs of active edges are drawn (even-odd rule), each
// edge of a pair stepped.
void scan_row(const Canvas& img, PolyEdge& head, EdgeBuffer& edges, int total, int* i, PolyEdge** e, int y,
              const Color& color) {
  int draw = 0;
  bool clipline = y < 0;
  PolyEdge* next = *e;
  PolyEdge* prelast = &head;
  PolyEdge* last = head.next;
  while (last || next->y0 == y) {
    if (last && last->y1 == y) {
      // the edge ends above this row
      prelast->next = last->next;
      last = last->next;
      continue;
    }
    PolyEdge* keep_prelast = prelast;
    if (last && (next->y0 > y || last->x < next->x)) {
      prelast = last;
      last = last->next;
    } else if (*i < total) {
      // an edge starting at this row joins the active list
      prelast->next = next;
      next->next = last;
      prelast = next;
      next = &edges[++*i];
    } else {
      break;
    }
    if (draw) {
      if (!clipline) edge_span(img, y, keep_prelast, prelast, color);
      keep_prelast->x += keep_prelast->dx;
      prelast->x += prelast->dx;
    }
    draw ^= 1;
  }
  *e = next;
}

// Bubble sort of the active list (after `head`) by x.
void sort_active(PolyEdge& head) {
  PolyEdge* keep_prelast = nullptr;
  do {
    PolyEdge* prelast = &head;
    PolyEdge* last = head.next;
    PolyEdge* last_exchange = nullptr;
    while (last != keep_prelast && last->next != nullptr) {
      PolyEdge* te = last->next;
      if (last->x > te->x) {
        prelast->next = te;
        last->next = te->next;
        te->next = last;
        prelast = te;
        last_exchange = prelast;
      } else {
        prelast = last;
        last = te;
      }
    }
    if (last_exchange == nullptr) break;
    keep_prelast = last_exchange;
  } while (keep_prelast != head.next && keep_prelast != &head);
}

// Whether the edges, in the contour's order, make one run going down and one
// going up (cyclically): the contour then runs down from its top row to its
// bottom row and back up, each run covering the rows [top, bottom) once with
// its half-open edges, so every row of the fill crosses exactly two edges,
// one of each run. *top is the index of the first edge of the run down.
bool one_run_each_way(const EdgeBuffer& edges, size_t* top) {
  const size_t n = edges.size();
  int changes = 0;
  bool prev = edges[n - 1].down;
  for (size_t i = 0; i < n; i++) {
    if (edges[i].down != prev) {
      changes++;
      if (edges[i].down) *top = i;
    }
    prev = edges[i].down;
  }
  return changes == 2;
}

// An edge's x at row y (y >= y0) after stepping once per row from its top,
// as the row scan steps it (wrapping as its additions wrap).
inline int64_t x_at(const PolyEdge& e, int64_t y) {
  uint64_t k = static_cast<uint64_t>(y - e.y0);
  return static_cast<int64_t>(static_cast<uint64_t>(e.x) + k * static_cast<uint64_t>(e.dx));
}

// The rows [top, y_end) of a polygon whose edges make one run each way
// (one_run_each_way), filled without the sorted edge table: the active list
// of FillEdgeCollection then holds exactly the current edge of each run on
// every row, whatever their order in it, and draws the span from the smaller
// x rounded up to the larger rounded down, then steps both. Rows above the
// canvas are stepped over at once (x_at); each run's next edge starts at the
// row where the previous one ends, at its own x.
void fill_two_runs(const Canvas& img, const EdgeBuffer& edges, size_t top, int y_end, const Color& color) {
  const size_t n = edges.size();
  size_t d = top, u = top == 0 ? n - 1 : top - 1;  // the edges leaving the top vertex, down and up the contour
  int y = std::max(edges[d].y0, 0);
  if (y >= y_end) return;
  while (edges[d].y1 <= y) d = d + 1 == n ? 0 : d + 1;
  while (edges[u].y1 <= y) u = u == 0 ? n - 1 : u - 1;
  int64_t xd = x_at(edges[d], y), xu = x_at(edges[u], y);
  for (;; y++) {
    int64_t lo = std::min(xd, xu), hi = std::max(xd, xu);
    span(img, y, static_cast<int>((lo + (kOne - 1)) >> kShift), static_cast<int>(hi >> kShift), color);
    if (y + 1 >= y_end) break;
    xd += edges[d].dx;
    xu += edges[u].dx;
    if (edges[d].y1 == y + 1) d = d + 1 == n ? 0 : d + 1, xd = edges[d].x;
    if (edges[u].y1 == y + 1) u = u == 0 ? n - 1 : u - 1, xu = edges[u].x;
  }
}

// Fills between pairs of active edges row by row (OpenCV's FillEdgeCollection:
// even-odd rule, edges sorted by top row, then x, then slope).
void fill_edges(const Canvas& img, EdgeBuffer& edges, const Color& color) {
  int total = static_cast<int>(edges.size());
  int y_max;
  if (total < 2 || !edges_visible(img, edges, &y_max)) return;
  size_t top = 0;
  if (one_run_each_way(edges, &top)) return fill_two_runs(img, edges, top, std::min(y_max, img.height), color);
  std::sort(edges.begin(), edges.end(), [](const PolyEdge& e1, const PolyEdge& e2) {
    return e1.y0 != e2.y0 ? e1.y0 < e2.y0 : e1.x != e2.x ? e1.x < e2.x : e1.dx < e2.dx;
  });
  PolyEdge head;  // the active list follows it
  head.y0 = INT_MAX;
  edges.push_back(head);  // a sentinel; no element is added from here on
  head.next = nullptr;
  int i = 0;
  PolyEdge* e = &edges[i];
  y_max = std::min(y_max, img.height);
  for (int y = e->y0; y < y_max; y++) {
    PolyEdge* a = head.next;
    if (a && a->next && !a->next->next && e->y0 > y && a->y1 > y && a->next->y1 > y) {
      int stop = std::min(std::min(a->y1, a->next->y1), std::min(e->y0, y_max));
      y = two_edge_rows(img, head, y, stop, color) - 1;  // the loop's step brings y to `stop`
      continue;
    }
    scan_row(img, head, edges, total, &i, &e, y, color);
    sort_active(head);
  }
}

// ---- round shapes --------------------------------------------------------------

// A filled disc by the midpoint circle (OpenCV's Circle with fill): the round
// caps of thick 4- and 8-connected lines.
void disc(const Canvas& img, int64_t cx, int64_t cy, int64_t radius, const Color& color) {
  const int64_t width = img.width, height = img.height;
  int64_t err = 0, dx = radius, dy = 0, plus = 1, minus = (radius << 1) - 1;
  bool inside = cx >= radius && cx < width - radius && cy >= radius && cy < height - radius;
  while (dx >= dy) {
    int64_t y11 = cy - dy, y12 = cy + dy, y21 = cy - dx, y22 = cy + dx;
    int64_t x11 = cx - dx, x12 = cx + dx, x21 = cx - dy, x22 = cx + dy;
    if (inside) {
      hline(row_of(img, y11), x11, x12, color);
      hline(row_of(img, y12), x11, x12, color);
      hline(row_of(img, y21), x21, x22, color);
      hline(row_of(img, y22), x21, x22, color);
    } else if (x11 < width && x12 >= 0 && y21 < height && y22 >= 0) {
      x11 = std::max<int64_t>(x11, 0);
      x12 = std::min<int64_t>(x12, width - 1);
      if (y11 >= 0 && y11 < height) hline(row_of(img, y11), x11, x12, color);
      if (y12 >= 0 && y12 < height) hline(row_of(img, y12), x11, x12, color);
      if (x21 < width && x22 >= 0) {
        x21 = std::max<int64_t>(x21, 0);
        x22 = std::min<int64_t>(x22, width - 1);
        if (y21 >= 0 && y21 < height) hline(row_of(img, y21), x21, x22, color);
        if (y22 >= 0 && y22 < height) hline(row_of(img, y22), x21, x22, color);
      }
    }
    dy++;
    err += plus;
    plus += 2;
    int64_t mask = (err <= 0) - 1;
    err -= minus & mask;
    dx += mask;
    minus -= mask & 2;
  }
}

// The points of an elliptic arc, every `delta` degrees, in the centre's units
// (OpenCV's ellipse2Poly on doubles).
void ellipse_points(double cx, double cy, double ax, double ay, int angle, int arc_start, int arc_end, int delta,
                    std::vector<double>* pts) {
  while (angle < 0) angle += 360;
  while (angle > 360) angle -= 360;
  if (arc_start > arc_end) std::swap(arc_start, arc_end);
  while (arc_start < 0) {
    arc_start += 360;
    arc_end += 360;
  }
  while (arc_end > 360) {
    arc_end -= 360;
    arc_start -= 360;
  }
  if (arc_end - arc_start > 360) {
    arc_start = 0;
    arc_end = 360;
  }
  float alpha = kSinTable[450 - angle], beta = kSinTable[angle];
  pts->clear();
  for (int i = arc_start; i < arc_end + delta; i += delta) {
    int a = i;
    if (a > arc_end) a = arc_end;
    if (a < 0) a += 360;
    double x = ax * kSinTable[450 - a];
    double y = ay * kSinTable[a];
    pts->push_back(cx + x * alpha - y * beta);
    pts->push_back(cy + x * beta + y * alpha);
  }
  if (pts->size() == 2) {  // a single point: a zero-size polygon
    pts->assign({cx, cy, cx, cy});
  }
}

void poly_line(const Canvas& img, const Pt* v, int count, bool closed, const Color& color, int thickness,
               int line_type, int shift);

// An ellipse or elliptic arc with 16.16 centre and axes (OpenCV's EllipseEx).
void ellipse_fixed(const Canvas& img, Pt center, Pt axes, int angle, int arc_start, int arc_end, const Color& color,
                   int thickness, int line_type) {
  axes.x = std::abs(axes.x), axes.y = std::abs(axes.y);
  int delta = static_cast<int>((std::max(axes.x, axes.y) + (kOne >> 1)) >> kShift);
  delta = delta < 3 ? 90 : delta < 10 ? 30 : delta < 15 ? 18 : 5;
  std::vector<double> dv;
  ellipse_points(static_cast<double>(center.x), static_cast<double>(center.y), static_cast<double>(axes.x),
                 static_cast<double>(axes.y), angle, arc_start, arc_end, delta, &dv);
  std::vector<Pt> v;
  Pt prev{-1, -1};
  for (size_t i = 0; i < dv.size(); i += 2) {
    Pt pt;
    pt.x = shl(cv_round(dv[i] / static_cast<double>(kOne)), kShift);
    pt.y = shl(cv_round(dv[i + 1] / static_cast<double>(kOne)), kShift);
    pt.x += cv_round(dv[i] - static_cast<double>(pt.x));
    pt.y += cv_round(dv[i + 1] - static_cast<double>(pt.y));
    if (pt != prev) {
      v.push_back(pt);
      prev = pt;
    }
  }
  if (v.size() <= 1) v.assign(2, center);
  if (thickness >= 0) {
    poly_line(img, v.data(), static_cast<int>(v.size()), false, color, thickness, line_type, kShift);
  } else if (arc_end - arc_start >= 360) {
    fill_convex(img, v.data(), static_cast<int>(v.size()), color, line_type, kShift);
  } else {
    v.push_back(center);
    EdgeBuffer edges;
    collect_edges(img, v.data(), static_cast<int>(v.size()), edges, color, line_type, kShift);
    fill_edges(img, edges, color);
  }
}

// ---- strokes -----------------------------------------------------------------

// A thin segment, its ends in fixed point (kShift bits; `shift` is the
// caller's): rounded to whole pixels, stepped in fixed point, or antialiased.
void thin_line(const Canvas& img, Pt p0, Pt p1, const Color& color, int line_type, int shift) {
  if (line_type >= kLineAA) {
    line_aa(img, p0, p1, color);
    return;
  }
  // Which thin lines of fractional ends are rounded to whole pixels and
  // drawn as integer lines: 8-connected ones from 4.13, 4-connected ones
  // before; the others step in fixed point.
  const bool rounded = g_raster.release.since_4_13 ? line_type == 1 || line_type == 8
                                                   : line_type == 1 || line_type == 4;
  if (rounded || shift == 0) {
    p0.x = (p0.x + (kOne >> 1)) >> kShift;
    p0.y = (p0.y + (kOne >> 1)) >> kShift;
    p1.x = (p1.x + (kOne >> 1)) >> kShift;
    p1.y = (p1.y + (kOne >> 1)) >> kShift;
    line_px(img, p0.x, p0.y, p1.x, p1.y, color, line_type);
  } else {
    line_fixed(img, p0, p1, color);
  }
}

// A thick segment, its ends in fixed point (kShift bits): the band of the
// thickness as a convex quadrilateral plus round caps at the ends named in
// `flags` (1: first, 2: second).
void thick_band(const Canvas& img, Pt p0, Pt p1, const Color& color, int thickness, int line_type, int flags) {
  const double inv_one = 1. / static_cast<double>(kOne);
  Pt pt[4], dp{0, 0};
  double dx = static_cast<double>(p0.x - p1.x) * inv_one, dy = static_cast<double>(p1.y - p0.y) * inv_one;
  double r = dx * dx + dy * dy;
  int odd = thickness & 1;
  thickness <<= kShift - 1;
  if (std::fabs(r) > DBL_EPSILON) {
    r = (thickness + odd * kOne * 0.5) / std::sqrt(r);
    dp.x = cv_round(dy * r);
    dp.y = cv_round(dx * r);
    pt[0] = Pt{p0.x + dp.x, p0.y + dp.y};
    pt[1] = Pt{p0.x - dp.x, p0.y - dp.y};
    pt[2] = Pt{p1.x - dp.x, p1.y - dp.y};
    pt[3] = Pt{p1.x + dp.x, p1.y + dp.y};
    fill_convex(img, pt, 4, color, line_type, kShift);
  }
  for (int i = 0; i < 2; i++) {
    if (flags & (i + 1)) {
      if (line_type < kLineAA) {
        disc(img, static_cast<int>((p0.x + (kOne >> 1)) >> kShift), static_cast<int>((p0.y + (kOne >> 1)) >> kShift),
             static_cast<int>((thickness + (kOne >> 1)) >> kShift), color);
      } else {
        ellipse_fixed(img, p0, Pt{thickness, thickness}, 0, 0, 360, color, -1, line_type);
      }
    }
    p0 = p1;
  }
}

// A segment of any thickness (OpenCV's ThickLine): a thin line, or a band of
// the thickness as a convex quadrilateral plus round caps at the ends named in
// `flags` (1: first, 2: second).
void thick_line(const Canvas& img, int64_t x0, int64_t y0, int64_t x1, int64_t y1, const Color& color, int thickness,
                int line_type, int flags, int shift) {
  Pt p0{x0, y0}, p1{x1, y1};
  auto contains = [&](const Pt& p) { return 0 <= p.x && p.x < img.width && 0 <= p.y && p.y < img.height; };
  if (thickness > 1 && shift == 0 && g_raster.release.since_4_13 && (!contains(p0) || !contains(p1))) {
    const int64_t margin = thickness;
    p0.x += margin, p0.y += margin, p1.x += margin, p1.y += margin;
    clip_line(img.width + 2 * margin, img.height + 2 * margin, p0, p1);
    p0.x -= margin, p0.y -= margin, p1.x -= margin, p1.y -= margin;
  }
  p0.x = shl(p0.x, kShift - shift);
  p0.y = shl(p0.y, kShift - shift);
  p1.x = shl(p1.x, kShift - shift);
  p1.y = shl(p1.y, kShift - shift);
  if (thickness <= 1)
    thin_line(img, p0, p1, color, line_type, shift);
  else
    thick_band(img, p0, p1, color, thickness, line_type, flags);
}

// A polyline (OpenCV's PolyLine): each segment a thick_line, with a round cap
// at each segment's far end and at the first point of an open polyline.
void poly_line(const Canvas& img, const Pt* v, int count, bool closed, const Color& color, int thickness,
               int line_type, int shift) {
  if (!v || count <= 0) return;
  int i = closed ? count - 1 : 0;
  int flags = 2 + !closed;
  int64_t x0 = v[i].x, y0 = v[i].y;
  if (thickness <= 1 && line_type < kLineAA && shift == 0) {
    // thin whole-pixel segments: thick_line's rounding gives back the ends as they are
    for (i = !closed; i < count; i++) {
      line_px(img, x0, y0, v[i].x, v[i].y, color, line_type);
      x0 = v[i].x, y0 = v[i].y;
    }
    return;
  }
  for (i = !closed; i < count; i++) {
    thick_line(img, x0, y0, v[i].x, v[i].y, color, thickness, line_type, flags, shift);
    x0 = v[i].x, y0 = v[i].y;
    flags = 2;
  }
}

// poly_line's thin whole-pixel case on the ints themselves: each segment a
// line_px. A segment with both ends on the canvas sets both of them (the
// walk runs from end to end), so the next segment's first end is already
// in the colour when it starts where such a segment ended, and is not
// written again.
void thin_polyline(const Canvas& img, const int* xy, int n, bool closed, const Color& color, int connectivity) {
  const unsigned w = static_cast<unsigned>(img.width), h = static_cast<unsigned>(img.height);
  int i = closed ? n - 1 : 0;
  int x0 = xy[2 * i], y0 = xy[2 * i + 1];
  bool in0 = static_cast<unsigned>(x0) < w && static_cast<unsigned>(y0) < h, set0 = false;
  for (i = !closed; i < n; i++) {
    int x1 = xy[2 * i], y1 = xy[2 * i + 1];
    bool in1 = static_cast<unsigned>(x1) < w && static_cast<unsigned>(y1) < h;
    if (in0 && in1) {
      int dx = x1 - x0, dy = y1 - y0;
      if (static_cast<unsigned>(dx + 1) <= 2 && static_cast<unsigned>(dy + 1) <= 2) {
        // a step to a neighbouring pixel (the segments of fine curves): the
        // walk sets both ends, and a 4-connected diagonal step goes first
        // along x from its left end
        if (!set0) put3(row_of(img, y0) + static_cast<size_t>(x0) * 3, color);
        put3(row_of(img, y1) + static_cast<size_t>(x1) * 3, color);
        if (connectivity == 4 && dx != 0 && dy != 0) {
          int lx = dx > 0 ? x0 : x1, ly = dx > 0 ? y0 : y1;
          put3(row_of(img, ly) + static_cast<size_t>(lx + 1) * 3, color);
        }
      } else {
        walk_px(img, x0, y0, x1, y1, color, connectivity);
      }
      set0 = true;
    } else {
      line_px(img, x0, y0, x1, y1, color, connectivity);
      set0 = false;
    }
    x0 = x1, y0 = y1, in0 = in1;
  }
}

// int pairs to 64-bit points.
void to_points(const int* xy, int n, PointBuffer* out) {
  out->resize_for_overwrite(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) (*out)[i] = Pt{xy[2 * i], xy[2 * i + 1]};
}

}  // namespace

// ---- public routines -------------------------------------------------------------

Color make_color(uint8_t b, uint8_t g, uint8_t r) {
  Color c{{b, g, r, 0}, {}};
  for (int i = 0; i < 16; i++) c.run[3 * i] = b, c.run[3 * i + 1] = g, c.run[3 * i + 2] = r;
  return c;
}

void set_release_behaviour(const ReleaseBehaviour& b) { g_raster.release = b; }

int cv_round(double v) {
  __m128d t = _mm_min_sd(_mm_set_sd(v), _mm_set_sd(2147483647.0));
  return _mm_cvtsd_si32(t);
}

void line(const Canvas& img, int x1, int y1, int x2, int y2, const Color& color, int thickness, int line_type) {
  thick_line(img, x1, y1, x2, y2, color, thickness, line_type, 3, 0);
}

void rectangle(const Canvas& img, int x1, int y1, int x2, int y2, const Color& color, int thickness,
               int line_type) {
  // Filled, not antialiased, corners well within the fixed-point range: the
  // convex fill outlines the box and fills each of its rows from end to end,
  // which leaves exactly the box, clipped to the canvas.
  constexpr int kBox = 1 << 20;
  if (thickness < 0 && line_type < kLineAA && std::abs(x1) <= kBox && std::abs(y1) <= kBox && std::abs(x2) <= kBox &&
      std::abs(y2) <= kBox) {
    const int xl = std::max(std::min(x1, x2), 0), xr = std::min(std::max(x1, x2), img.width - 1);
    const int yt = std::max(std::min(y1, y2), 0), yb = std::min(std::max(y1, y2), img.height - 1);
    for (int y = yt; y <= yb; y++) hline(row_of(img, y), xl, xr, color);
    return;
  }
  Pt pt[4] = {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
  if (thickness >= 0)
    poly_line(img, pt, 4, true, color, thickness, line_type, 0);
  else
    fill_convex(img, pt, 4, color, line_type, 0);
}

void fill_all(const Canvas& img, const Color& color) {
  const size_t row_bytes = static_cast<size_t>(img.width) * 3;
  // Rows that follow one another without a gap are one long row.
  const bool packed = img.step == row_bytes;
  const int rows = packed ? 1 : img.height;
  const int64_t pixels = packed ? static_cast<int64_t>(img.width) * img.height : img.width;
  const uint8_t* c = color.c;
  for (int y = 0; y < rows; y++) {
    uint8_t* row = row_of(img, y);
    if (c[0] == c[1] && c[1] == c[2])
      std::memset(row, c[0], static_cast<size_t>(pixels) * 3);
    else
      hline(row, 0, pixels - 1, color);
  }
}

void polylines(const Canvas& img, const int* xy, int n, bool closed, const Color& color, int thickness,
               int line_type) {
  if (n <= 0) return;
  if (thickness <= 1 && line_type < kLineAA) {
    thin_polyline(img, xy, n, closed, color, (line_type == 0 || line_type == 8) ? 8 : 4);
    return;
  }
  PointBuffer v;
  to_points(xy, n, &v);
  poly_line(img, v.data(), n, closed, color, thickness, line_type, 0);
}

void fill_poly(const Canvas& img, const int* xy, int n, const Color& color, int line_type) {
  PointBuffer v;
  to_points(xy, n, &v);
  EdgeBuffer edges;
  edges.reserve(static_cast<size_t>(n) + 1);
  collect_edges(img, v.data(), n, edges, color, line_type, 0);
  fill_edges(img, edges, color);
}

void ellipse(const Canvas& img, int cx, int cy, int ax, int ay, int angle, int start, int end, const Color& color,
             int thickness, int line_type) {
  Pt center{shl(cx, kShift), shl(cy, kShift)};
  Pt axes{shl(ax, kShift), shl(ay, kShift)};
  ellipse_fixed(img, center, axes, angle, start, end, color, thickness, line_type);
}

}  // namespace kv::draw::raster
