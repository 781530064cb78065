// Alpha compositing through colour tables (see tinted.hpp). Tables are made
// for a colour the second time it is drawn and kept for the last few colour
// values; a colour drawn once is blended by blit's own kernels.

#include "image/tinted.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/cpu.hpp"
#include "core/switches.hpp"
#include "image/blend.hpp"
#include "image/pack_avx2.hpp"

namespace kv::image {

// ---- tables per colour value -------------------------------------------------

struct ValueTable {
  int value = -1;
  uint64_t used = 0;
  int pins = 0;  // draws reading it with the interpreter lock let go: never remade meanwhile
  uint8_t blend[256 * 256];  // [a * 256 + canvas value]
};

namespace {

constexpr int kTables = 16;    // colour values kept (64 KB each)
constexpr int kColours = 8;    // colours remembered as drawn once
// Making a table costs about as much as drawing a short text a few dozen
// times: a table is made only with the credit of that many draws served by
// tables, so a program cycling through more colour values than are kept
// keeps blit's kernels instead of making tables over and over.
constexpr int kTableCost = 32;
constexpr int kMaxCredit = 16 * kTableCost;

// The one cache of colour tables: at most kTables of them, the least
// recently used one that no draw is reading remade for a new value. Touched
// with the interpreter lock held only. Never destroyed (see image_cache.cpp).
struct ColourTableState {
  std::unique_ptr<ValueTable> tables[kTables];
  uint32_t seen[kColours] = {};  // colours drawn once, 0x01RRGGBB (0: none)
  int seen_next = 0;
  int credit = 3 * kTableCost;
  uint64_t clock = 0;
};
ColourTableState& g_tables = *new ColourTableState();

ValueTable* find_table(int value) {
  for (auto& t : g_tables.tables)
    if (t && t->value == value) return t.get();
  return nullptr;
}

// Row a of the table of colour value b: blend_fp(c, b, a) for every canvas
// value c, the same double operations in the same order.
void fill_row(uint8_t* row, unsigned b, unsigned a) {
  const double keep = kAlpha.keep[a], ink = static_cast<double>(b) * kAlpha.alpha[a];
#if defined(__SSE2__)
  const __m128d k = _mm_set1_pd(keep), i = _mm_set1_pd(ink);
  for (unsigned c = 0; c < 256; c += 8) {
    __m128i q[4];
    for (int j = 0; j < 4; j++) {
      const __m128d v = _mm_set_pd(static_cast<double>(c + 2 * j + 1), static_cast<double>(c + 2 * j));
      q[j] = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(v, k), i));  // two ints in the low half
    }
    const __m128i lo = _mm_unpacklo_epi64(q[0], q[1]), hi = _mm_unpacklo_epi64(q[2], q[3]);
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128());
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + c), bytes);
  }
#else
  for (unsigned c = 0; c < 256; c++) row[c] = static_cast<uint8_t>(static_cast<int>(static_cast<double>(c) * keep + ink));
#endif
}

// A table for `value` in the least recently used slot that no draw is
// reading; null when every slot is being read.
ValueTable* make_table(int value) {
  int slot = -1;
  for (int i = 0; i < kTables; i++) {
    auto& t = g_tables.tables[i];
    if (!t) {
      slot = i;
      break;
    }
    if (!t->pins && (slot < 0 || t->used < g_tables.tables[slot]->used)) slot = i;
  }
  if (slot < 0) return nullptr;
  auto& made = g_tables.tables[slot];
  if (!made) made = std::make_unique<ValueTable>();
  ValueTable& t = *made;
  for (unsigned a = 0; a < 256; a++) fill_row(t.blend + a * 256, static_cast<unsigned>(value), a);
  t.value = value;
  return &t;
}

// The three tables of a colour, when it has been drawn before and the credit
// allows; null tables otherwise.
void tables_for(const uint8_t bgr[3], ValueTable* out[3]) {
  ValueTable* t[3];
  int missing = 0;
  for (int ch = 0; ch < 3; ch++) {
    t[ch] = find_table(static_cast<int>(bgr[ch]));
    missing += !t[ch];
  }
  out[0] = out[1] = out[2] = nullptr;
  // KELVRACV_TEXT_TABLES=always makes a colour's tables at its first draw,
  // =never makes none (the tests run both ways).
  const int policy = kv::text_tables();
  if (policy < 0) return;
  if (missing && policy > 0) {
    for (int ch = 0; ch < 3; ch++)
      if (t[ch]) t[ch]->used = ++g_tables.clock;
    for (int ch = 0; ch < 3; ch++) {
      if (!t[ch]) t[ch] = find_table(static_cast<int>(bgr[ch]));
      if (!t[ch]) t[ch] = make_table(static_cast<int>(bgr[ch]));
      if (!t[ch]) return;  // every slot in use by other threads' draws
      t[ch]->used = ++g_tables.clock;
    }
  } else if (missing) {
    const uint32_t key = 0x01000000u | static_cast<uint32_t>(bgr[0]) | static_cast<uint32_t>(bgr[1]) << 8 |
                         static_cast<uint32_t>(bgr[2]) << 16;
    bool seen = false;
    for (uint32_t k : g_tables.seen) seen = seen || k == key;
    if (!seen) {
      g_tables.seen[g_tables.seen_next] = key;
      g_tables.seen_next = (g_tables.seen_next + 1) % kColours;
      return;
    }
    if (g_tables.credit < missing * kTableCost) return;
    g_tables.credit -= missing * kTableCost;
    // The colour's own tables are marked used first, so making one never drops another.
    for (int ch = 0; ch < 3; ch++)
      if (t[ch]) t[ch]->used = ++g_tables.clock;
    for (int ch = 0; ch < 3; ch++) {
      if (!t[ch]) t[ch] = find_table(static_cast<int>(bgr[ch]));  // made for an earlier channel
      if (!t[ch]) t[ch] = make_table(static_cast<int>(bgr[ch]));
      if (!t[ch]) return;  // every slot in use by other threads' draws
      t[ch]->used = ++g_tables.clock;
    }
  } else if (g_tables.credit < kMaxCredit) {
    g_tables.credit++;
  }
  for (int ch = 0; ch < 3; ch++) {
    t[ch]->used = ++g_tables.clock;
    out[ch] = t[ch];
  }
}

// ---- the blend over the image's rectangle --------------------------------------

// One pixel through the tables; a pixel of another colour by blit's blend.
inline void table_pixel(const uint8_t* px, uint8_t* out, uint32_t colour, const uint8_t* tb, const uint8_t* tg,
                        const uint8_t* tr) {
  uint32_t w;
  std::memcpy(&w, px, 4);
  const unsigned a = w >> 24;
  if ((w & 0xFFFFFF) != colour && a) {
    over(px, out, 1);
    return;
  }
  const unsigned row = a << 8;
  out[0] = tb[row | out[0]];
  out[1] = tg[row | out[1]];
  out[2] = tr[row | out[2]];
}

// n pixels of a packed canvas row from the image row at px: the portable loop.
void table_row(const uint8_t* px, uint8_t* out, ptrdiff_t n, uint32_t colour, const uint8_t* tb, const uint8_t* tg,
               const uint8_t* tr) {
  ptrdiff_t i = 0;
  for (; i + 8 <= n; i += 8, px += 32, out += 24) {
    uint64_t w[4];
    std::memcpy(w, px, 32);
    if (((w[0] | w[1] | w[2] | w[3]) & kAlphaPair) == 0) continue;  // eight transparent pixels
    for (int j = 0; j < 8; j++) table_pixel(px + 4 * j, out + 3 * j, colour, tb, tg, tr);
  }
  for (; i < n; i++, px += 4, out += 3) table_pixel(px, out, colour, tb, tg, tr);
}

#if defined(__x86_64__)
#define KV_HAVE_AVX2_ROW 1
#define KV_AVX2 __attribute__((target("avx2")))

// The same, eight pixels tested at once: opaque pixels take the colour in
// one vector store, and only the partly covered ones are looked up (with
// scalar loads: gathers are slow on many processors). A block with a pixel
// of another colour goes the portable way.
KV_AVX2 void table_row_avx2(const uint8_t* px, uint8_t* out, ptrdiff_t n, uint32_t colour, const uint8_t* tb,
                            const uint8_t* tg, const uint8_t* tr) {
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u)), rgb = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i ink = _mm256_set1_epi32(static_cast<int>(colour)), zero = _mm256_setzero_si256();
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  ptrdiff_t i = 0;
  for (; i + 8 <= n; i += 8, px += 32, out += 24) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px));
    const __m256i a = _mm256_and_si256(v, alpha);
    if (_mm256_testz_si256(a, a)) continue;  // eight transparent pixels
    const __m256i clear = _mm256_cmpeq_epi32(a, zero);
    const __m256i plain = _mm256_or_si256(clear, _mm256_cmpeq_epi32(_mm256_and_si256(v, rgb), ink));
    if (_mm256_movemask_epi8(plain) != -1) {
      for (int j = 0; j < 8; j++) table_pixel(px + 4 * j, out + 3 * j, colour, tb, tg, tr);
      continue;
    }
    const __m256i opaque = _mm256_cmpeq_epi32(a, alpha);
    const unsigned full = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(opaque)));
    unsigned partial = ~(full | static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(clear)))) & 0xFFu;
    if (full) {
      const __m128i c_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out));
      const __m128i c_hi = _mm_alignr_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(out + 16)), c_lo, 12);
      const __m256i canvas = _mm256_shuffle_epi8(_mm256_set_m128i(c_hi, c_lo), spread);
      store24(out, _mm256_blendv_epi8(canvas, ink, opaque));
    }
    while (partial) {
      const int j = __builtin_ctz(partial);
      partial &= partial - 1;
      uint8_t* o = out + 3 * j;
      const unsigned row = static_cast<unsigned>(px[4 * j + 3]) << 8;
      o[0] = tb[row | o[0]];
      o[1] = tg[row | o[1]];
      o[2] = tr[row | o[2]];
    }
  }
  _mm256_zeroupper();
  for (; i < n; i++, px += 4, out += 3) table_pixel(px, out, colour, tb, tg, tr);
}
#undef KV_AVX2
#endif

using TableRow = void (*)(const uint8_t*, uint8_t*, ptrdiff_t, uint32_t, const uint8_t*, const uint8_t*,
                          const uint8_t*);

TableRow table_row_kernel() {
#if defined(KV_HAVE_AVX2_ROW)
  // KELVRACV_NO_AVX2 as for blit's kernels (the tests run both).
  static const TableRow row =
      kv::cpu::wide_kernels() ? table_row_avx2 : table_row;
  return row;
#else
  return table_row;
#endif
}

}  // namespace

TintTables::TintTables(const uint8_t bgr[3]) {
  tables_for(bgr, t_);
  if (!t_[0]) return;
  colour_ = static_cast<uint32_t>(bgr[0]) | static_cast<uint32_t>(bgr[1]) << 8 | static_cast<uint32_t>(bgr[2]) << 16;
  for (ValueTable* t : t_) t->pins++;
}

TintTables::~TintTables() {
  if (t_[0])
    for (ValueTable* t : t_) t->pins--;
}

void TintTables::composite(WarpedRows& src, const CanvasView& dst, const Region& r) const {
  const TableRow row = table_row_kernel();
  for (ptrdiff_t y = r.row0; y < r.row1; y++)
    row(src.row(y, r.col0, r.col1), dst.data + y * dst.row_stride + r.col0 * 3, r.col1 - r.col0, colour_,
        t_[0]->blend, t_[1]->blend, t_[2]->blend);
}

}  // namespace kv::image
