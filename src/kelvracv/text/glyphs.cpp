// Kept glyphs and their composition (see glyphs.hpp).
//
// How Pillow's renderer (_imagingft's font_render) lays out one line with
// anchor "la": the pen starts at 0 (26.6); glyph i lies at px = PIXEL(pen)
// (round half up), the pen then moves by the glyph's advance, which the
// layout has already adjusted for the pair it starts. The text's box runs
// from min(0, px + left edge) to max(every PIXEL(pen) reached, px + right
// edge) across, and from the highest to the lowest glyph edge (the baseline
// included) down; the coverage of each glyph, rendered at the origin, is put
// at its px and combined with what is there as
//   t == 0 ? s : min(255, s + t * (255 - s) / 255)   (Pillow's MULDIV255)
// in layout order. One glyph rendered alone gives its coverage padded to
// the box of that one glyph: its left edge when below 0 (else 0), its top
// edge when above the baseline (else the baseline), its bottom edge when
// below it (else the baseline) and its right edge when beyond its rounded
// advance (else that advance). The padding is zero coverage, which the
// combination leaves alone; the edges hidden by the padding matter only
// when they could reach beyond the rest of the box, and then the string is
// left to the renderer.

#include "text/glyphs.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "pyapi/names.hpp"
#include "text/font_watch.hpp"
#include "text/pillow.hpp"
#include "text/plain_glyphs.hpp"

namespace kv::text {
namespace {

struct Sprite {
  bool ready = false, usable = false;
  long long adv = 0;                          // 26.6
  long long left = 0, top = 0, w = 0, h = 0;  // the padded box: left edge, top from the ascent line
  bool edges = false;                         // the glyph's own left and right edges are known:
  long long x0 = 0, x1 = 0;                   // from x0 to x1, pen-relative
  std::vector<uint8_t> cov;
};

struct Face {
  PyObject* font = nullptr;  // the font it was kept for (watched); nullptr once that is freed
  Ref core;
  bool plain[256] = {};
  uint32_t latin = 0;  // a plain Latin letter: the context that puts a pair in a Latin run
  Sprite sprites[256];
  std::unordered_map<uint32_t, long long> kern_latin, kern_common;
};

// Never destroyed (see image_cache.cpp). One face per live font that load_font
// read from a file, kMaxFaces at most (later fonts keep no glyphs); a face
// goes with its font. The glyphs of all faces are dropped together when the
// store of coverage is full.
constexpr size_t kMaxFaces = 128;
constexpr size_t kMaxGlyphBytes = size_t{2} << 20;  // coverage kept, all fonts together
constexpr size_t kMaxPairs = 1 << 16;                // pair adjustments kept per font
constexpr Py_ssize_t kMaxChars = 512;

// The glyph store: the faces, the coverage they keep (bounded by
// kMaxGlyphBytes, all dropped together when full) and the compositions
// under way (a face whose font is freed meanwhile, as Python code may run
// inside one, stays until the last of them ends).
struct GlyphState {
  std::vector<std::unique_ptr<Face>> faces;
  int busy = 0;
  size_t glyph_bytes = 0;
  uint64_t generation = 0;  // moves on when the kept coverage is dropped
};
GlyphState& g_glyphs = *new GlyphState();

long long pixel(long long v) { return ((v + 32) & -64) >> 6; }

Face* face_of(PyObject* core) {
  for (auto& f : g_glyphs.faces)
    if (f->font && f->core.get() == core) return f.get();
  return nullptr;
}

// Drops the faces whose fonts are gone (none while a composition is under way).
void drop_orphans() {
  if (g_glyphs.busy) return;
  std::vector<std::unique_ptr<Face>> gone;  // released last
  for (size_t i = 0; i < g_glyphs.faces.size();) {
    if (g_glyphs.faces[i]->font) {
      i++;
      continue;
    }
    for (const Sprite& k : g_glyphs.faces[i]->sprites) g_glyphs.glyph_bytes -= k.cov.size();
    gone.push_back(std::move(g_glyphs.faces[i]));
    g_glyphs.faces.erase(g_glyphs.faces.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

struct Busy {
  Busy() { g_glyphs.busy++; }
  ~Busy() {
    g_glyphs.busy--;
    drop_orphans();
  }
};

// core.getlength(text) in 26.6, or false with an exception set.
bool length_of(PyObject* core, PyObject* text, long long* out) {
  Ref v = Ref::steal(PyObject_CallMethodOneArg(core, KV_ID(getlength), text));
  if (!v) return false;
  *out = PyLong_AsLongLong(v.get());
  return !(*out == -1 && PyErr_Occurred());
}

bool length_of(PyObject* core, const uint32_t* cps, int n, long long* out) {
  Ref s = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps, n));
  return s && length_of(core, s.get(), out);
}

// The glyph's own left and right edges (its box on the pixel grid, which is
// the box of its coverage), where the padding hides them. Laid out top to
// bottom (anchor "st": the pen line is the vertical through x = 0), the
// glyph's box is measured across on its own whenever it straddles that line:
// then its width is exact, and with one edge known (seen beyond the padding
// across, or the coverage filling that width) the other follows. False with
// an exception set.
bool glyph_edges(PyObject* core, PyObject* text, Sprite* s) {
  PyObject* const name = KV_ID(getsize);
  PyObject* const ttb = KV_ID(ttb);
  PyObject* const st = KV_ID(st);
  s->edges = false;
  const long long rounded = pixel(s->adv) > 0 ? pixel(s->adv) : 0;
  // Seen beyond the padding of the box across (its left below 0, its right beyond the advance).
  const bool left_seen = s->left < 0, right_seen = s->left + s->w > rounded;
  Ref size = Ref::steal(PyObject_CallMethodObjArgs(core, name, text, Py_None, ttb, Py_None, Py_None, st, nullptr));
  if (!size) {
    PyErr_Clear();  // no vertical layout: the edges stay unknown
    return true;
  }
  long long w = 0, x_off = 0;
  PyObject* dims = PyTuple_Check(size.get()) && PyTuple_GET_SIZE(size.get()) == 2 ? PyTuple_GET_ITEM(size.get(), 0)
                                                                                    : nullptr;
  PyObject* off = dims ? PyTuple_GET_ITEM(size.get(), 1) : nullptr;
  if (!dims || !PyTuple_Check(dims) || !PyTuple_Check(off) || PyTuple_GET_SIZE(dims) != 2 || PyTuple_GET_SIZE(off) != 2)
    return true;
  w = PyLong_AsLongLong(PyTuple_GET_ITEM(dims, 0));
  x_off = PyLong_AsLongLong(PyTuple_GET_ITEM(off, 0));
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  if (!(x_off < 0 && x_off + w > 0)) return true;  // the box does not straddle the line: width unknown
  // The coverage's own columns.
  long long ink_l = -1, ink_r = -1;
  for (long long x = 0; x < s->w; x++)
    for (long long y = 0; y < s->h; y++)
      if (s->cov[static_cast<size_t>(y * s->w + x)]) {
        if (ink_l < 0) ink_l = x;
        ink_r = x;
        break;
      }
  if (left_seen) {
    s->x0 = s->left, s->x1 = s->left + w;
  } else if (right_seen) {
    s->x1 = s->left + s->w, s->x0 = s->x1 - w;
  } else if (ink_l >= 0 && ink_r - ink_l + 1 == w) {
    s->x0 = s->left + ink_l, s->x1 = s->left + ink_r + 1;
  } else {
    return true;
  }
  // Checks of what is known: both edges seen must agree, and the coverage lies within.
  if (right_seen && s->x1 != s->left + s->w) return true;
  if (ink_l >= 0 && (s->left + ink_l < s->x0 || s->left + ink_r + 1 > s->x1)) return true;
  s->edges = true;
  return true;
}

// The glyph of cp rendered alone, measured once. False with an exception set.
bool sprite_of(Face* f, uint32_t cp, const Sprite** out) {
  Sprite& s = f->sprites[cp];
  *out = &s;
  if (s.ready) return true;
  if (g_glyphs.glyph_bytes > kMaxGlyphBytes) {  // full: start again
    for (auto& face : g_glyphs.faces)
      for (Sprite& k : face->sprites) k = Sprite();
    g_glyphs.glyph_bytes = 0;
    g_glyphs.generation++;
  }
  Ref text = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
  if (!text) return false;
  Coverage cov;
  bool done = false;
  if (!render_coverage(f->core.get(), text.get(), 0, &cov, &done)) return false;
  s = Sprite();
  s.ready = true;
  if (!done) return true;
  if (!length_of(f->core.get(), text.get(), &s.adv)) return false;
  s.left = cov.ox, s.top = cov.oy, s.w = cov.w, s.h = cov.h;
  s.cov.resize(static_cast<size_t>(cov.w * cov.h));
  for (long long y = 0; y < cov.h; y++) std::memcpy(s.cov.data() + y * cov.w, cov.rows[y], static_cast<size_t>(cov.w));
  g_glyphs.glyph_bytes += s.cov.size();
  if (!glyph_edges(f->core.get(), text.get(), &s)) return false;
  s.usable = true;
  return true;
}

// The adjustment of the pair (a, b) in a run of the given script. False with an exception set.
bool pair_of(Face* f, uint32_t a, uint32_t b, bool latin_run, long long adv_a, long long adv_b, long long* out) {
  auto& kept = latin_run ? f->kern_latin : f->kern_common;
  const uint32_t key = a << 8 | b;
  auto it = kept.find(key);
  if (it != kept.end()) {
    *out = it->second;
    return true;
  }
  long long v;
  if (latin_run && !latin_letter(a) && !latin_letter(b)) {
    // Two Common characters inside a Latin run: measured after a Latin
    // letter, whose own pair with `a` cancels out.
    const uint32_t with[3] = {f->latin, a, b};
    long long three, two;
    if (!length_of(f->core.get(), with, 3, &three) || !length_of(f->core.get(), with, 2, &two)) return false;
    v = three - two - adv_b;
  } else {
    const uint32_t pair[2] = {a, b};
    long long both;
    if (!length_of(f->core.get(), pair, 2, &both)) return false;
    v = both - adv_a - adv_b;
  }
  if (kept.size() >= kMaxPairs) kept.clear();
  kept.emplace(key, v);
  *out = v;
  return true;
}

}  // namespace

void register_face(PyObject* font, const bool plain[256]) {
  Ref core = Ref::steal(PyObject_GetAttrString(font, "font"));
  if (!core) {
    PyErr_Clear();
    return;
  }
  drop_orphans();
  for (auto& f : g_glyphs.faces)
    if (f->font == font) return;
  if (face_of(core.get()) || g_glyphs.faces.size() >= kMaxFaces || !watch_font(font)) return;
  auto f = std::make_unique<Face>();
  f->font = font;
  f->core = core;
  std::memcpy(f->plain, plain, sizeof f->plain);
  for (uint32_t cp = 0; cp < 256 && !f->latin; cp++)
    if (f->plain[cp] && cp < 0x80 && latin_letter(cp)) f->latin = cp;
  g_glyphs.faces.push_back(std::move(f));
}

void forget_font_glyphs(PyObject* font) {
  for (auto& f : g_glyphs.faces)
    if (f->font == font) f->font = nullptr;
  drop_orphans();
}

namespace {

// The string's code points, when every one has a plain glyph in the face
// (*latin_run: a plain Latin letter among them). 0 for a string left to
// the renderer.
Py_ssize_t plain_codepoints(const Face& f, PyObject* content, uint32_t cps[kMaxChars], bool* latin_run) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(content);
  if (n == 0 || n > kMaxChars) return 0;
  *latin_run = false;
  const int kind = PyUnicode_KIND(content);
  const void* chars = PyUnicode_DATA(content);
  for (Py_ssize_t i = 0; i < n; i++) {
    const Py_UCS4 cp = PyUnicode_READ(kind, chars, i);
    if (cp > 0xFF || !f.plain[cp]) return 0;
    cps[i] = cp;
    *latin_run = *latin_run || latin_letter(cp);
  }
  return *latin_run && !f.latin ? 0 : n;
}

// Every glyph kept before any is used: keeping one may drop the others when
// the store is full, so the pass is made again then (and the string left to
// the renderer, *usable false, when its glyphs alone overflow the store).
bool keep_sprites(Face* f, const uint32_t* cps, Py_ssize_t n, const Sprite** sprites, bool* usable) {
  *usable = false;
  for (int pass = 0; pass < 2; pass++) {
    const uint64_t generation = g_glyphs.generation;
    for (Py_ssize_t i = 0; i < n; i++) {
      if (!sprite_of(f, cps[i], &sprites[i])) return false;
      if (!sprites[i]->usable) return true;
    }
    if (generation == g_glyphs.generation) {
      *usable = true;
      return true;
    }
  }
  return true;
}

// The glyphs' pen pixels and the box they fill, as the renderer lays them out.
struct Layout {
  long long px[kMaxChars];
  long long x_min = 0, top = 0, w = 0, h = 0;
};

// One glyph's part of the box (see lay_out); false when the renderer must tell.
bool widen_box(const Sprite* s, long long p, long long* x_min, long long* x_max, long long* hidden_right) {
  if (s->edges) {
    if (p + s->x0 < *x_min) *x_min = p + s->x0;
    if (p + s->x1 > *x_max) *x_max = p + s->x1;
    return true;
  }
  // A left edge hidden by the padding (at or right of the pen) counts only left of 0.
  if (p < 0 && s->left == 0) return false;
  if (p + s->left < *x_min) *x_min = p + s->left;
  const long long right = s->left + s->w, rounded = pixel(s->adv) > 0 ? pixel(s->adv) : 0;
  if (right > rounded) {
    if (p + right > *x_max) *x_max = p + right;
  } else if (p + right > *hidden_right) {
    *hidden_right = p + right;  // the edge lies somewhere up to here
  }
  return true;
}

// *usable false when the renderer must lay the string out itself.
bool lay_out(Face* f, const uint32_t* cps, Py_ssize_t n, bool latin_run, const Sprite* const* sprites, Layout* out,
             bool* usable) {
  *usable = false;
  long long pen = 0, x_max = 0, hidden_right = 0, bottom = 0;
  for (Py_ssize_t i = 0; i < n; i++) {
    const Sprite* s = sprites[i];
    const long long p = pixel(pen);
    out->px[i] = p;
    if (!widen_box(s, p, &out->x_min, &x_max, &hidden_right)) return true;
    const long long t = s->top, b = s->top + s->h;
    if (i == 0 || t < out->top) out->top = t;
    if (i == 0 || b > bottom) bottom = b;
    long long adv = s->adv;
    if (i + 1 < n) {
      long long k;
      if (!pair_of(f, cps[i], cps[i + 1], latin_run, s->adv, sprites[i + 1]->adv, &k)) return false;
      adv += k;
    }
    pen += adv;
    if (pixel(pen) > x_max) x_max = pixel(pen);
  }
  if (hidden_right > x_max) return true;
  out->w = x_max - out->x_min, out->h = bottom - out->top;
  *usable = out->w > 0 && out->h > 0 && static_cast<double>(out->w) * static_cast<double>(out->h) <= 33554432.0;
  return true;
}

// One coverage value v laid over t as the renderer combines them:
// v + t * (255 - v) / 255, rounded, at most 255. With t = 0 it gives v and
// with v = 0 it gives t, so one formula serves every pixel.
inline uint8_t over_coverage(unsigned t, unsigned v) {
  const unsigned tmp = t * (255 - v) + 128;
  const unsigned sum = v + (((tmp >> 8) + tmp) >> 8);
  return static_cast<uint8_t>(sum > 255 ? 255 : sum);
}

// n coverage values of a glyph row laid over dst.
void over_row(uint8_t* dst, const uint8_t* src, long long n) {
  long long x = 0;
#if defined(__SSE2__)
  // The same sums in 16-bit lanes: tmp is at most 255 * 255 + 128 and
  // (tmp >> 8) + tmp at most 65,407, so nothing wraps.
  const __m128i zero = _mm_setzero_si128(), k255 = _mm_set1_epi16(255), k128 = _mm_set1_epi16(128);
  for (; x + 8 <= n; x += 8) {
    const __m128i v = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x)), zero);
    const __m128i t = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst + x)), zero);
    const __m128i tmp = _mm_add_epi16(_mm_mullo_epi16(t, _mm_sub_epi16(k255, v)), k128);
    const __m128i sum = _mm_add_epi16(v, _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(tmp, 8), tmp), 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(_mm_min_epi16(sum, k255), zero));
  }
#endif
  for (; x < n; x++) dst[x] = over_coverage(dst[x], src[x]);
}

// The glyphs combined in order, each at its pen's pixel, as the renderer
// combines overlapping coverage.
void combine(const Sprite* const* sprites, Py_ssize_t n, const Layout& l, uint8_t* cov) {
  for (Py_ssize_t i = 0; i < n; i++) {
    const Sprite& s = *sprites[i];
    const long long x0 = l.px[i] + s.left - l.x_min, y0 = s.top - l.top;
    // The glyph's columns inside the box.
    const long long from = x0 < 0 ? -x0 : 0, to = x0 + s.w > l.w ? l.w - x0 : s.w;
    if (from >= to) continue;
    for (long long y = 0; y < s.h; y++) {
      const long long ty = y0 + y;
      if (ty < 0 || ty >= l.h) continue;
      over_row(cov + ty * l.w + x0 + from, s.cov.data() + y * s.w + from, to - from);
    }
  }
}

}  // namespace

bool render_glyphs(PyObject* core, PyObject* content, const long bgr[3], Ref* image, Ref* text_h, bool* done) {
  *done = false;
  Busy busy;
  Face* f = face_of(core);
  uint32_t cps[kMaxChars];
  bool latin_run = false;
  const Py_ssize_t n = f ? plain_codepoints(*f, content, cps, &latin_run) : 0;
  if (n == 0) return true;
  const Sprite* sprites[kMaxChars];
  bool usable = false;
  if (!keep_sprites(f, cps, n, sprites, &usable)) return false;
  if (!usable) return true;
  Layout l;
  if (!lay_out(f, cps, n, latin_run, sprites, &l, &usable)) return false;
  if (!usable) return true;
  std::vector<uint8_t> cov(static_cast<size_t>(l.w * l.h), 0);
  combine(sprites, n, l, cov.data());
  std::vector<const uint8_t*> rows(static_cast<size_t>(l.h));
  for (long long y = 0; y < l.h; y++) rows[static_cast<size_t>(y)] = cov.data() + y * l.w;
  return text_image_from_coverage(rows.data(), l.w, l.h, l.x_min, l.top, bgr, image, text_h, done);
}

}  // namespace kv::text
