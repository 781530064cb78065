// One line of TrueType text as Pillow's ImageDraw.text draws it into a fresh
// transparent RGBA image, from one call of the core font's renderer.
//
// What ImageDraw.text does there (Pillow's ImageDraw, ImageFont and
// _imagingft): the font's getmask2(text, "L", ..., anchor "la", start (0, 0))
// calls the core font's render(text, fill, "L", ...), which lays the text
// out, makes an "L" image of the text's bounding box through `fill` and
// combines the glyphs' coverage into it; the returned offset is the box's
// (left, top). draw_bitmap then fills the RGBA image through that coverage
// mask at the offset: on a transparent pixel a colour channel becomes the
// ink wherever the coverage is not 0 (the channel's mask is raised to 255
// there) and 0 elsewhere, and alpha becomes the coverage itself
// ((255 * m + 128 + ((255 * m + 128) >> 8)) >> 8 == m). The same render gives
// the text's measure, since getbbox's box is (left, top, left + width,
// top + height) of the same layout: text_size's (width, height) is the
// coverage image's size.

#include "text/pillow.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/bindings.hpp"
#include "core/captured.hpp"
#include "core/cpu.hpp"
#include "core/opencv.hpp"
#include "core/switches.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"
#include "pyapi/unlocked.hpp"
#include "text/font_watch.hpp"

namespace kv::text {
namespace {

// Pillow's own objects, taken at start-up.
struct PillowFunctionState {
  PyObject* image_mod = nullptr;      // PIL.Image
  PyObject* draw_mod = nullptr;       // PIL.ImageDraw
  PyObject* font_mod = nullptr;       // PIL.ImageFont
  PyObject* numpy_mod = nullptr;      // numpy
  PyObject* image_new = nullptr;      // Image.new
  PyObject* draw_fn = nullptr;        // ImageDraw.Draw
  PyObject* draw_cls = nullptr;       // ImageDraw.ImageDraw
  PyObject* draw_text = nullptr;      // ImageDraw.ImageDraw.text
  PyObject* font_cls = nullptr;       // ImageFont.FreeTypeFont
  PyObject* truetype = nullptr;       // ImageFont.truetype
  PyObject* getbbox = nullptr;        // FreeTypeFont.getbbox
  PyObject* getmask2 = nullptr;       // FreeTypeFont.getmask2
  PyObject* np_array = nullptr;       // np.array
  PyObject* core_mod = nullptr;       // Image.core
  PyObject* core_fill = nullptr;      // Image.core.fill
  PyObject* bomb_check = nullptr;     // Image._decompression_bomb_check
  PyObject* fill = nullptr;           // the renderer's image maker (fill_image)
  PyObject* cv2_mod = nullptr;        // cv2
  PyObject* cv2_warp = nullptr;       // cv2.warpPerspective
  bool readable = false;              // the core's images can be read (see read_coverage)
};
PillowFunctionState g_own;

// Interned names used at each call, and the drawing origin (0.0, 0.0);
// made at start-up, never changed after.
struct PillowNameState {
  PyObject* s_new = nullptr;
  PyObject* s_Draw = nullptr;
  PyObject* s_ImageDraw = nullptr;
  PyObject* s_text = nullptr;
  PyObject* s_getbbox = nullptr;
  PyObject* s_getmask2 = nullptr;
  PyObject* s_font = nullptr;
  PyObject* s_array = nullptr;
  PyObject* s_ptr = nullptr;
  PyObject* s_render = nullptr;
  PyObject* s_L = nullptr;
  PyObject* s_la = nullptr;
  PyObject* s_MAX_STRING_LENGTH = nullptr;
  PyObject* s_MAX_IMAGE_PIXELS = nullptr;
  PyObject* s_getvaraxes = nullptr;
  PyObject* s_core = nullptr;
  PyObject* s_fill = nullptr;
  PyObject* s_bomb = nullptr;
  PyObject* s_FreeTypeFont = nullptr;
  PyObject* start = nullptr;
};
PillowNameState g_names;

// The start of Pillow's image record (libImaging's ImagingMemoryInstance), as
// far as the coverage is read: the fields before the row pointers. The
// layout is checked on an image of known content at start-up.
struct ImagingPrefix {
  int mode, type, depth, bands, xsize, ysize;
  void* palette;
  uint8_t** image8;
};
constexpr const char* kImagingCapsule = "Pillow Imaging";

const ImagingPrefix* imaging_of(PyObject* core_image) {
  Ref capsule = Ref::steal(PyObject_GetAttr(core_image, g_names.s_ptr));
  if (!capsule) return nullptr;
  auto* im = static_cast<const ImagingPrefix*>(PyCapsule_GetPointer(capsule.get(), kImagingCapsule));
  // The capsule keeps the image alive; the caller holds the image itself.
  return im;
}

// The text images made beyond kMaxCoverage pixels are refused by fill_image:
// such text takes Pillow's path, which reports it (see render.cpp).
constexpr double kMaxCoverage = 33554432.0;  // 2**25
// What the last fill call saw: refused (too large) or made (width, height).
struct FillState {
  bool refused = false;
  long long w = -1, h = -1;
};
FillState g_fill;

// The renderer's `fill(width, height)`: getmask2's own, Pillow's
// decompression check and Image.core.fill("L", (width, height)), after a
// size check of its own.
PyObject* fill_image(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "fill takes a width and a height");
    return nullptr;
  }
  long long w = PyLong_AsLongLong(args[0]), h = PyLong_AsLongLong(args[1]);
  if ((w == -1 || h == -1) && PyErr_Occurred()) return nullptr;
  if (w < 0 || h < 0 || (static_cast<double>(w) + 1) * (static_cast<double>(h) + 1) > kMaxCoverage) {
    g_fill.refused = true;
    PyErr_SetString(PyExc_ValueError, "text too large for the one-call renderer");
    return nullptr;
  }
  Ref size = Ref::steal(PyTuple_Pack(2, args[0], args[1]));
  if (!size) return nullptr;
  // Image._decompression_bomb_check(size) is silent below MAX_IMAGE_PIXELS.
  PyObject* limit = PyDict_GetItemWithError(PyModule_GetDict(g_own.image_mod), g_names.s_MAX_IMAGE_PIXELS);
  bool quiet = false;
  if (limit && PyLong_CheckExact(limit)) {
    int overflow = 0;
    long long lim = PyLong_AsLongLongAndOverflow(limit, &overflow);
    quiet = overflow > 0 || (!PyErr_Occurred() && overflow == 0 && (w > 1 ? w : 1) * (h > 1 ? h : 1) <= lim);
  }
  if (PyErr_Occurred()) return nullptr;
  if (!quiet && !call(g_own.bomb_check, {size.get()})) return nullptr;
  Ref im = call(g_own.core_fill, {g_names.s_L, size.get()});
  if (im) g_fill.w = w, g_fill.h = h;
  return im.release();
}

const PyMethodDef g_fill_def = {"fill", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fill_image)),
                          METH_FASTCALL, nullptr};

// Whether an image made by Image.core.fill("L", ...) reads as expected.
bool probe_readable() {
  for (int v : {7, 201}) {
    Ref size = Ref::steal(Py_BuildValue("(ii)", 5, 3));
    Ref value = Ref::steal(PyLong_FromLong(v));
    if (!size || !value) return false;
    Ref im = call(g_own.core_fill, {g_names.s_L, size.get(), value.get()});
    if (!im) return false;
    const ImagingPrefix* p = imaging_of(im.get());
    if (!p || p->bands != 1 || p->xsize != 5 || p->ysize != 3 || !p->image8) return false;
    for (int y = 0; y < 3; y++)
      for (int x = 0; x < 5; x++)
        if (!p->image8[y] || p->image8[y][x] != v) return false;
  }
  return true;
}

PyObject* type_attr(PyObject* cls, PyObject* name) {
  if (!PyType_Check(cls)) return nullptr;
  PyObject* d = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  return d ? PyDict_GetItemWithError(d, name) : nullptr;
}

bool intern_names() {
  struct Name {
    PyObject** slot;
    const char* text;
  };
  const Name names[] = {{&g_names.s_new, "new"},       {&g_names.s_Draw, "Draw"},         {&g_names.s_ImageDraw, "ImageDraw"},
                        {&g_names.s_text, "text"},     {&g_names.s_getbbox, "getbbox"},   {&g_names.s_getmask2, "getmask2"},
                        {&g_names.s_font, "font"},     {&g_names.s_array, "array"},       {&g_names.s_ptr, "ptr"},
                        {&g_names.s_render, "render"}, {&g_names.s_L, "L"},               {&g_names.s_la, "la"},
                        {&g_names.s_MAX_STRING_LENGTH, "MAX_STRING_LENGTH"},      {&g_names.s_MAX_IMAGE_PIXELS, "MAX_IMAGE_PIXELS"},
                        {&g_names.s_getvaraxes, "getvaraxes"},                    {&g_names.s_core, "core"},
                        {&g_names.s_fill, "fill"},                                {&g_names.s_bomb, "_decompression_bomb_check"},
                        {&g_names.s_FreeTypeFont, "FreeTypeFont"}};
  for (const Name& n : names)
    if (!(*n.slot = PyUnicode_InternFromString(n.text))) return false;
  return (g_names.start = Py_BuildValue("(dd)", 0.0, 0.0)) != nullptr;
}

// ---- fonts seen: their core faces and whether they have variation axes -----

struct FaceInfo {
  PyObject* font;  // watched: the entry goes when the font is freed
  Ref core;        // the core face it held when asked
  bool variable;
};
// Whether each live font drawn has variation axes: one entry per font, gone
// with it. Never destroyed (see image_cache.cpp).
struct FontAxesState {
  std::vector<FaceInfo> fonts;
};
FontAxesState& g_axes = *new FontAxesState();

// Whether the core face of `font` has variation axes; -1 with an exception set.
int is_variable(PyObject* font, PyObject* core) {
  for (const FaceInfo& f : g_axes.fonts)
    if (f.font == font && f.core.get() == core) return f.variable;
  Ref axes = Ref::steal(PyObject_CallMethodNoArgs(core, g_names.s_getvaraxes));
  bool variable = true;
  if (!axes) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    PyErr_Clear();  // FreeType: not a font with variations
    variable = false;
  }
  if (!watch_font(font)) return variable;
  for (FaceInfo& f : g_axes.fonts)
    if (f.font == font) {
      Ref before = std::move(f.core);  // a core face replaced in place; released after the entry is whole
      f.core = Ref::borrow(core);
      f.variable = variable;
      return variable;
    }
  g_axes.fonts.push_back({font, Ref::borrow(core), variable});
  return variable;
}

}  // namespace

int remember_pillow(PyObject* m) {
  if (!intern_names()) return -1;
  PyObject* d = PyModule_GetDict(m);
  PyObject* image_mod = PyDict_GetItemString(d, "Image");
  PyObject* draw_mod = PyDict_GetItemString(d, "ImageDraw");
  PyObject* font_mod = PyDict_GetItemString(d, "ImageFont");
  PyObject* numpy_mod = PyDict_GetItemString(d, "np");
  if (!image_mod || !draw_mod || !font_mod || !numpy_mod) return 0;
  PillowFunctionState own;
  own.image_mod = image_mod, own.draw_mod = draw_mod, own.font_mod = font_mod, own.numpy_mod = numpy_mod;
  Ref image_new = Ref::steal(PyObject_GetAttrString(image_mod, "new"));
  Ref draw_fn = Ref::steal(PyObject_GetAttrString(draw_mod, "Draw"));
  Ref draw_cls = Ref::steal(PyObject_GetAttrString(draw_mod, "ImageDraw"));
  Ref font_cls = Ref::steal(PyObject_GetAttrString(font_mod, "FreeTypeFont"));
  Ref truetype = Ref::steal(PyObject_GetAttrString(font_mod, "truetype"));
  Ref np_array = Ref::steal(PyObject_GetAttrString(numpy_mod, "array"));
  Ref core = Ref::steal(PyObject_GetAttrString(image_mod, "core"));
  Ref core_fill = core ? Ref::steal(PyObject_GetAttrString(core.get(), "fill")) : Ref();
  Ref bomb = Ref::steal(PyObject_GetAttrString(image_mod, "_decompression_bomb_check"));
  PyErr_Clear();
  if (!image_new || !draw_fn || !draw_cls || !font_cls || !truetype || !np_array || !core_fill || !bomb) return 0;
  PyObject* draw_text = type_attr(draw_cls.get(), g_names.s_text);
  PyObject* getbbox = type_attr(font_cls.get(), g_names.s_getbbox);
  PyObject* getmask2 = type_attr(font_cls.get(), g_names.s_getmask2);
  PyErr_Clear();
  if (!draw_text || !getbbox || !getmask2) return 0;
  own.image_new = image_new.release(), own.draw_fn = draw_fn.release(), own.draw_cls = draw_cls.release();
  own.font_cls = font_cls.release(), own.np_array = np_array.release(), own.core_fill = core_fill.release();
  own.core_mod = core.release();
  own.truetype = truetype.release();
  own.bomb_check = bomb.release();
  own.draw_text = Py_NewRef(draw_text), own.getbbox = Py_NewRef(getbbox), own.getmask2 = Py_NewRef(getmask2);
  for (PyObject* mod : {image_mod, draw_mod, font_mod, numpy_mod}) Py_INCREF(mod);
  if (PyObject* cv2 = PyDict_GetItemString(d, "cv2")) {
    Ref warp = Ref::steal(PyObject_GetAttrString(cv2, "warpPerspective"));
    PyErr_Clear();
    if (warp && PyCFunction_Check(warp.get())) own.cv2_mod = Py_NewRef(cv2), own.cv2_warp = warp.release();
  }
  own.fill = builtin_function(g_fill_def);
  if (!own.fill) return -1;
  g_own = own;
  g_own.readable = probe_readable();
  PyErr_Clear();
  return 0;
}

PyObject* own_font_class(PyObject* truetype) {
  return truetype && truetype == g_own.truetype ? g_own.font_cls : nullptr;
}

void forget_font_axes(PyObject* font) {
  for (size_t i = 0; i < g_axes.fonts.size(); i++)
    if (g_axes.fonts[i].font == font) {
      FaceInfo gone = std::move(g_axes.fonts[i]);  // released after the vector is whole again
      g_axes.fonts[i] = std::move(g_axes.fonts.back());
      g_axes.fonts.pop_back();
      return;
    }
}

bool blit_reads_only() {
  const Captured& c = captured();
  return g_own.cv2_warp && g_own.cv2_warp == opencv::function(opencv::kWarpPerspective) && c.own_blit &&
         c.opencv[opencv::kWarpPerspective];
}

// See text_names_own (core/captured.hpp).
static bool names_own() {
  if (!g_own.fill) return false;
  // The module's names, bound to Pillow's modules and their own functions.
  struct Check {
    PyObject* name;
    PyObject* mod;
    PyObject* attr;
    PyObject* value;
  };
  const Check checks[] = {{KV_ID(Image), g_own.image_mod, g_names.s_new, g_own.image_new},
                          {KV_ID(ImageDraw), g_own.draw_mod, g_names.s_Draw, g_own.draw_fn},
                          {KV_ID(ImageDraw), g_own.draw_mod, g_names.s_ImageDraw, g_own.draw_cls},
                          {KV_ID(np), g_own.numpy_mod, g_names.s_array, g_own.np_array}};
  for (const Check& c : checks) {
    Ref mod = global(c.name);
    if (!mod || mod.get() != c.mod) {
      PyErr_Clear();
      return false;
    }
    Ref v;
    if (!watched_entry(mod.get(), c.attr, &v) || v.get() != c.value) return false;
  }
  // What getmask2 reaches: the font class under its name, Image.core.fill and Pillow's size check.
  struct Attr {
    PyObject* owner;
    PyObject* name;
    PyObject* value;
  };
  const Attr attrs[] = {{g_own.font_mod, g_names.s_FreeTypeFont, g_own.font_cls},
                        {g_own.image_mod, g_names.s_core, g_own.core_mod},
                        {g_own.core_mod, g_names.s_fill, g_own.core_fill},
                        {g_own.image_mod, g_names.s_bomb, g_own.bomb_check}};
  for (const Attr& a : attrs) {
    Ref v;
    if (!watched_entry(a.owner, a.name, &v) || v.get() != a.value) return false;
  }
  return true;
}

bool genuine_font(PyObject* font, Ref* core) {
  if (!g_own.fill || Py_TYPE(font) != reinterpret_cast<PyTypeObject*>(g_own.font_cls)) return false;
  if (!captured().pillow_own) return false;
  // The classes' methods as Pillow made them, none overridden by the font.
  if (type_attr(g_own.draw_cls, g_names.s_text) != g_own.draw_text || type_attr(g_own.font_cls, g_names.s_getbbox) != g_own.getbbox ||
      type_attr(g_own.font_cls, g_names.s_getmask2) != g_own.getmask2) {
    PyErr_Clear();
    return false;
  }
  Ref own_dict = Ref::steal(PyObject_GenericGetDict(font, nullptr));
  PyObject* c = own_dict && PyDict_CheckExact(own_dict.get()) ? PyDict_GetItemWithError(own_dict.get(), g_names.s_font) : nullptr;
  if (!c || PyDict_GetItemWithError(own_dict.get(), g_names.s_getbbox) || PyDict_GetItemWithError(own_dict.get(), g_names.s_getmask2)) {
    PyErr_Clear();
    return false;
  }
  *core = Ref::borrow(c);
  // The core face: Pillow's static Font type, not a Python stand-in.
  PyTypeObject* ct = Py_TYPE(core->get());
  if ((ct->tp_flags & Py_TPFLAGS_HEAPTYPE) || std::strcmp(ct->tp_name, "Font") != 0) return false;
  int variable = is_variable(font, core->get());
  if (variable != 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool direct_applies(PyObject* content, const long bgr[3]) {
  if (!g_own.readable || !PyUnicode_CheckExact(content)) return false;
  for (int i = 0; i < 3; i++)
    if (bgr[i] < 0 || bgr[i] > 255) return false;
  // Multiline text is split into lines by ImageDraw: Pillow's path.
  const Py_ssize_t n = PyUnicode_GET_LENGTH(content);
  if (PyUnicode_FindChar(content, '\n', 0, n, 1) != -1) return false;
  // getmask2's length check (ImageFont.MAX_STRING_LENGTH, None for none).
  PyObject* max_len = PyDict_GetItemWithError(PyModule_GetDict(g_own.font_mod), g_names.s_MAX_STRING_LENGTH);
  if (!max_len) {
    PyErr_Clear();
    return false;
  }
  if (max_len != Py_None) {
    if (!PyLong_CheckExact(max_len)) return false;
    int overflow = 0;
    long long m = PyLong_AsLongLongAndOverflow(max_len, &overflow);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (overflow < 0 || (overflow == 0 && n > m)) return false;
  }
  return true;
}

bool render_coverage(PyObject* core, PyObject* content, long ink_value, Coverage* out, bool* done) {
  *done = false;
  Ref ink = Ref::steal(PyLong_FromLong(ink_value));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!ink || !zero) return false;
  Ref render = Ref::steal(PyObject_GetAttr(core, g_names.s_render));
  if (!render) {
    PyErr_Clear();
    return true;
  }
  g_fill.refused = false;
  g_fill.w = g_fill.h = -1;
  // font.font.render(text, fill, "L", None, None, None, 0, True, "la", ink, (0.0, 0.0)), as getmask2 calls it.
  Ref result = call(render.get(), {content, g_own.fill, g_names.s_L, Py_None, Py_None, Py_None, zero.get(), Py_True, g_names.s_la,
                                   ink.get(), g_names.start});
  if (!result) {
    // Pillow's path meets the same refusal or error and reports it.
    PyErr_Clear();
    return true;
  }
  if (!PyTuple_CheckExact(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) return true;
  PyObject* cov = PyTuple_GET_ITEM(result.get(), 0);
  PyObject* off = PyTuple_GET_ITEM(result.get(), 1);
  if (!PyTuple_CheckExact(off) || PyTuple_GET_SIZE(off) != 2) return true;
  long long ox = PyLong_AsLongLong(PyTuple_GET_ITEM(off, 0)), oy = PyLong_AsLongLong(PyTuple_GET_ITEM(off, 1));
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  const ImagingPrefix* im = imaging_of(cov);
  if (!im) {
    PyErr_Clear();
    return true;
  }
  if (im->bands != 1 || im->xsize != g_fill.w || im->ysize != g_fill.h || (im->ysize > 0 && !im->image8)) return true;
  *out = {Ref::borrow(cov), im->image8, im->xsize, im->ysize, ox, oy};
  *done = true;
  return true;
}

namespace {

// n pixels of a fresh (zero) RGBA row from coverage: (B, G, R, m) where the
// coverage m is not 0, else left 0.
void colour_row(const uint8_t* m, uint8_t* out, long long n, uint32_t colour) {
  for (long long x = 0; x < n; x++) {
    const uint32_t v = m[x] ? colour | uint32_t{m[x]} << 24 : 0;
    std::memcpy(out + 4 * x, &v, 4);
  }
}

#if defined(__x86_64__)
// The same, eight pixels at a time.
__attribute__((target("avx2"))) void colour_row_avx2(const uint8_t* m, uint8_t* out, long long n, uint32_t colour) {
  const __m256i ink = _mm256_set1_epi32(static_cast<int>(colour)), zero = _mm256_setzero_si256();
  long long x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m256i a = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(m + x)));
    const __m256i px = _mm256_andnot_si256(_mm256_cmpeq_epi32(a, zero), _mm256_or_si256(_mm256_slli_epi32(a, 24), ink));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), px);
  }
  _mm256_zeroupper();
  colour_row(m + x, out + 4 * x, n - x, colour);
}
#endif

using ColourRow = void (*)(const uint8_t*, uint8_t*, long long, uint32_t);

ColourRow colour_row_kernel() {
#if defined(__x86_64__)
  static const ColourRow row = kv::cpu::wide_kernels() ? colour_row_avx2 : colour_row;
  return row;
#else
  return colour_row;
#endif
}

}  // namespace

// The text image's pixels from which it is made with the interpreter lock let
// go: writing a pixel costs about what blending it does (bench/bench_threads.py
// measured the blend at 0.2-1.0 ns a pixel), so the blend's threshold serves.
constexpr double kUnlockImagePixels = 32768;

bool text_image_from_coverage(const uint8_t* const* rows, long long W, long long H, long long ox, long long oy,
                              const long bgr[3], Ref* image, Ref* text_h, bool* done) {
  *done = false;
  // The image Pillow's path makes: (max(W, right) + 1) x (max(H, bottom) + 1).
  const long long img_w = (ox + W > W ? ox + W : W), img_h = (oy + H > H ? oy + H : H);
  if ((static_cast<double>(img_w) + 1) * (static_cast<double>(img_h) + 1) > kMaxCoverage) return true;
  npy_intp dims[3] = {static_cast<npy_intp>(img_h + 1), static_cast<npy_intp>(img_w + 1), 4};
  Ref out = Ref::steal(PyArray_EMPTY(3, dims, NPY_UINT8, 0));
  if (!out) return false;
  uint8_t* base = static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  const npy_intp row = dims[1] * 4;
  // draw_bitmap at (ox, oy), clipped to the image (only its left and top can be).
  const long long x0 = ox < 0 ? -ox : 0, y0 = oy < 0 ? -oy : 0;
  const uint8_t b = static_cast<uint8_t>(bgr[0]), g = static_cast<uint8_t>(bgr[1]), r = static_cast<uint8_t>(bgr[2]);
  const uint32_t colour = uint32_t{b} | uint32_t{g} << 8 | uint32_t{r} << 16;
  const ColourRow fill_row = colour_row_kernel();
  // Every byte the coverage does not reach is 0: the rows above and below
  // it, and in its rows the columns left and right of it.
  const long long first = oy + y0, left = (ox + x0) * 4;
  const long long last = oy + H > first ? oy + H : first, right = (ox + W) * 4 > left ? (ox + W) * 4 : left;
  // Bytes only: the coverage rows (the caller keeps them) and the new image.
  const double pixels = static_cast<double>(dims[0]) * static_cast<double>(dims[1]);
  run_unlocked(pixels, kUnlockImagePixels, [&] {
    std::memset(base, 0, static_cast<size_t>(first * row));
    for (long long y = y0; y < H; y++) {
      uint8_t* line = base + (oy + y) * row;
      std::memset(line, 0, static_cast<size_t>(left));
      if (W > x0) fill_row(rows[y] + x0, line + left, W - x0, colour);
      std::memset(line + right, 0, static_cast<size_t>(row - right));
    }
    std::memset(base + last * row, 0, static_cast<size_t>((dims[0] - last) * row));
  });
  *text_h = Ref::steal(PyLong_FromLongLong(H));
  if (!*text_h) return false;
  *image = std::move(out);
  *done = true;
  return true;
}

long ink_of(const long bgr[3]) {
  const uint32_t bits = static_cast<uint32_t>(bgr[0]) | static_cast<uint32_t>(bgr[1]) << 8 |
                        static_cast<uint32_t>(bgr[2]) << 16 | uint32_t{255} << 24;
  return static_cast<int32_t>(bits);
}

bool render_direct(PyObject* core, PyObject* content, const long bgr[3], Ref* image, Ref* text_h, bool* done) {
  *done = false;
  Coverage cov;
  bool rendered = false;
  if (!render_coverage(core, content, ink_of(bgr), &cov, &rendered)) return false;
  if (!rendered) return true;
  return text_image_from_coverage(cov.rows, cov.w, cov.h, cov.ox, cov.oy, bgr, image, text_h, done);
}

}  // namespace kv::text

namespace kv {
int text_startup(PyObject* m) { return text::remember_pillow(m); }
bool text_names_own() { return text::names_own(); }
}  // namespace kv
