// Text images drawn straight into the canvas (see straight.hpp).
//
// blit's compositing gives canvas * (1.0 - a / 255.0) + b * (a / 255.0),
// truncated, per channel. Text has one colour per call, so for a channel of
// colour value b the result depends on (a, canvas value) alone: a table of
// 256 x 256 bytes per colour value, computed once with that very expression
// (blend.hpp), answers every pixel with one load per channel, alpha 0 (the
// canvas value itself) and 255 (b) included. Tables are made for a colour
// the second time it is drawn and kept for the last few colour values; a
// colour drawn once is blended by blit's own kernels, over the image's
// rectangle only.

#include "text/straight.hpp"

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
#include "image/blit.hpp"
#include "image/composite.hpp"
#include "image/pack_avx2.hpp"
#include "pyapi/image_view.hpp"
#include "pyapi/unlocked.hpp"

namespace kv::text {
namespace {

using image::CanvasView;

// ---- tables per colour value -------------------------------------------------

struct ValueTable {
  int value = -1;
  uint64_t used = 0;
  int pins = 0;  // draws reading it with the interpreter lock let go: never remade meanwhile
  uint8_t blend[256 * 256];  // [a * 256 + canvas value]
};

constexpr int kTables = 16;    // colour values kept (64 KB each)
constexpr int kColours = 8;    // colours remembered as drawn once
// Making a table costs about as much as drawing a short text a few dozen
// times: a table is made only with the credit of that many draws served by
// tables, so a program cycling through more colour values than are kept
// keeps blit's kernels instead of making tables over and over.
constexpr int kTableCost = 32;
// The text image's pixels from which it is blended with the interpreter lock
// let go. bench/bench_threads.py measured the blend of a text image at
// 0.2-1.0 ns a pixel (most of a text image is clear) and a blocked thread
// waking to run Python at 20-35 us: smaller text (most of it) is done before
// a waiter could take the lock, holding it.
constexpr double kUnlockPixels = 32768;
constexpr int kMaxCredit = 16 * kTableCost;
int g_credit = 3 * kTableCost;
// Never destroyed (see image_cache.cpp).
std::unique_ptr<ValueTable>* const g_tables = new std::unique_ptr<ValueTable>[kTables];
uint32_t g_seen[kColours] = {};  // colours drawn once, 0x01RRGGBB (0: none)
int g_seen_next = 0;
uint64_t g_clock = 0;

ValueTable* find_table(int value) {
  for (int i = 0; i < kTables; i++)
    if (g_tables[i] && g_tables[i]->value == value) return g_tables[i].get();
  return nullptr;
}

// Row a of the table of colour value b: blend_fp(c, b, a) for every canvas
// value c, the same double operations in the same order.
void fill_row(uint8_t* row, unsigned b, unsigned a) {
  const double keep = image::kAlpha.keep[a], ink = static_cast<double>(b) * image::kAlpha.alpha[a];
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
    if (!g_tables[i]) {
      slot = i;
      break;
    }
    if (!g_tables[i]->pins && (slot < 0 || g_tables[i]->used < g_tables[slot]->used)) slot = i;
  }
  if (slot < 0) return nullptr;
  if (!g_tables[slot]) g_tables[slot] = std::make_unique<ValueTable>();
  ValueTable& t = *g_tables[slot];
  for (unsigned a = 0; a < 256; a++) fill_row(t.blend + a * 256, static_cast<unsigned>(value), a);
  t.value = value;
  return &t;
}

// The three tables of a colour, when it has been drawn before and the credit
// allows; null tables otherwise.
void tables_for(const long bgr[3], const ValueTable* out[3]) {
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
      if (t[ch]) t[ch]->used = ++g_clock;
    for (int ch = 0; ch < 3; ch++) {
      if (!t[ch]) t[ch] = find_table(static_cast<int>(bgr[ch]));
      if (!t[ch]) t[ch] = make_table(static_cast<int>(bgr[ch]));
      if (!t[ch]) return;  // every slot in use by other threads' draws
      t[ch]->used = ++g_clock;
    }
  } else if (missing) {
    const uint32_t key = 0x01000000u | static_cast<uint32_t>(bgr[0]) | static_cast<uint32_t>(bgr[1]) << 8 |
                         static_cast<uint32_t>(bgr[2]) << 16;
    bool seen = false;
    for (uint32_t k : g_seen) seen = seen || k == key;
    if (!seen) {
      g_seen[g_seen_next] = key;
      g_seen_next = (g_seen_next + 1) % kColours;
      return;
    }
    if (g_credit < missing * kTableCost) return;
    g_credit -= missing * kTableCost;
    // The colour's own tables are marked used first, so making one never drops another.
    for (int ch = 0; ch < 3; ch++)
      if (t[ch]) t[ch]->used = ++g_clock;
    for (int ch = 0; ch < 3; ch++) {
      if (!t[ch]) t[ch] = find_table(static_cast<int>(bgr[ch]));  // made for an earlier channel
      if (!t[ch]) t[ch] = make_table(static_cast<int>(bgr[ch]));
      if (!t[ch]) return;  // every slot in use by other threads' draws
      t[ch]->used = ++g_clock;
    }
  } else if (g_credit < kMaxCredit) {
    g_credit++;
  }
  for (int ch = 0; ch < 3; ch++) {
    t[ch]->used = ++g_clock;
    out[ch] = t[ch];
  }
}

// ---- the blend over the image's rectangle --------------------------------------

// Rows of the image for the kernels of blit's compositing: canvas row y
// shows image row y - y0, canvas column c image column c - x0.
class ImageRows final : public image::WarpedRows {
 public:
  ImageRows(const ImageView& img, ptrdiff_t x0, ptrdiff_t y0) : WarpedRows(4, 8), img_(img), x0_(x0), y0_(y0) {}
  const uint8_t* row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t) override {
    return img_.data + (y - y0_) * img_.row_stride + (c0 - x0_) * 4;
  }

 private:
  const ImageView& img_;
  ptrdiff_t x0_, y0_;
};

// One pixel through the tables; a pixel of another colour by blit's blend.
inline void table_pixel(const uint8_t* px, uint8_t* out, uint32_t colour, const uint8_t* tb, const uint8_t* tg,
                        const uint8_t* tr) {
  uint32_t w;
  std::memcpy(&w, px, 4);
  const unsigned a = w >> 24;
  if ((w & 0xFFFFFF) != colour && a) {
    image::over(px, out, 1);
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
    if (((w[0] | w[1] | w[2] | w[3]) & image::kAlphaPair) == 0) continue;  // eight transparent pixels
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
      image::store24(out, _mm256_blendv_epi8(canvas, ink, opaque));
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

bool draw_text_straight(PyObject* arr, PyObject* ts, PyObject* cursor, PyObject* image_obj, double scale,
                        const long* bgr, bool* done) {
  *done = false;
  image::WholeMove move;
  if (!image::whole_pixel_move(arr, ts, cursor, image_obj, scale, scale, &move)) return false;
  if (!move.whole) return true;
  // No Python code runs from here on.
  ImageView canvas, img;
  if (!canvas_view(arr, "blit", "arr", &canvas) || !image_view(image_obj, "blit", "src_img", &img)) return false;
  // Other layouts (a canvas view with steps, a strided slice) take blit's own way.
  if (img.channels != 4 || img.col_stride != 4 || img.channel_stride != 1 || canvas.channels != 3 ||
      canvas.col_stride != 3 || canvas.channel_stride != 1)
    return true;
  *done = true;
  // The arrays stay alive while the lock may be let go below.
  Ref keep_canvas = Ref::borrow(arr), keep_image = Ref::borrow(image_obj);
  // The image's rectangle on the canvas.
  const ptrdiff_t r0 = std::max<ptrdiff_t>(move.y, 0), r1 = std::min<ptrdiff_t>(move.y + img.rows, canvas.rows);
  const ptrdiff_t c0 = std::max<ptrdiff_t>(move.x, 0), c1 = std::min<ptrdiff_t>(move.x + img.cols, canvas.cols);
  if (r0 >= r1 || c0 >= c1) return true;
  const ValueTable* tables[3] = {nullptr, nullptr, nullptr};
  if (bgr && bgr[0] >= 0 && bgr[0] <= 255 && bgr[1] >= 0 && bgr[1] <= 255 && bgr[2] >= 0 && bgr[2] <= 255)
    tables_for(bgr, tables);
  const double pixels = static_cast<double>(r1 - r0) * static_cast<double>(c1 - c0);
  if (!tables[0]) {
    CanvasView view{canvas.data, canvas.rows, canvas.cols, canvas.channels, canvas.row_stride, canvas.col_stride,
                    canvas.channel_stride};
    ImageRows rows(img, move.x, move.y);
    run_unlocked(pixels, kUnlockPixels, [&] { image::composite_alpha(rows, view, image::Region{r0, r1, c0, c1}); });
    return true;
  }
  const uint32_t colour = static_cast<uint32_t>(bgr[0]) | static_cast<uint32_t>(bgr[1]) << 8 |
                          static_cast<uint32_t>(bgr[2]) << 16;
  const TableRow row = table_row_kernel();
  // The tables are pinned (never remade) while they are read.
  for (const ValueTable* t : tables) const_cast<ValueTable*>(t)->pins++;
  run_unlocked(pixels, kUnlockPixels, [&] {
    for (ptrdiff_t y = r0; y < r1; y++)
      row(img.data + (y - move.y) * img.row_stride + (c0 - move.x) * 4, canvas.data + y * canvas.row_stride + c0 * 3,
          c1 - c0, colour, tables[0]->blend, tables[1]->blend, tables[2]->blend);
  });
  for (const ValueTable* t : tables) const_cast<ValueTable*>(t)->pins--;
  return true;
}

}  // namespace kv::text
