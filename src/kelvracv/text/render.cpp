// Text drawing: the Hershey font through cv2.putText, and TrueType text
// rendered by Pillow into a transparent image that is drawn through the
// module's blit, so it follows rotation, size and shift like any image.

#include <cmath>
#include <cstdio>

#include "core/captured.hpp"
#include "core/colors.hpp"
#include "geometry/record.hpp"
#include "image/blit.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"
#include "text/image_cache.hpp"
#include "text/glyphs.hpp"
#include "text/pillow.hpp"
#include "text/text.hpp"

namespace kv::text {
namespace {

// factor * ts["size"] * 0.5 with Python's arithmetic on the record value.
Ref half_scaled(PyObject* factor, PyObject* size) {
  Ref p = Ref::steal(PyNumber_Multiply(factor, size));
  return p ? Ref::steal(PyNumber_Multiply(p.get(), KV_CONST(half))) : p;
}

// max(1, int(v)) for the stroke width.
Ref at_least_one(PyObject* v) {
  Ref i = Ref::steal(PyNumber_Long(v));
  if (!i) return i;
  PyObject* one = Py_GetConstantBorrowed(Py_CONSTANT_ONE);
  int gt = PyObject_RichCompareBool(i.get(), one, Py_GT);
  if (gt < 0) return Ref();
  return gt ? i : Ref::borrow(one);
}

// a, b = seq, with the interpreter's unpacking errors.
bool unpack_pair(PyObject* seq, Ref* a, Ref* b) {
  Ref pair[2];
  if (!unpack(seq, pair, 2, Unpack::kInterpreter)) return false;
  *a = pair[0];
  *b = pair[1];
  return true;
}

// Pillow renders the whole text into one RGBA image at its pixel size, so a
// text scaled far beyond any canvas (size 30 at a zoom of 1000 is a 30000
// pixel font) would allocate gigabytes for a few visible pixels. An image of
// more than kMaxTextPixels (about 4 bytes each; 8192 x 4096, several
// screens) is a ValueError instead.
constexpr double kMaxTextPixels = 33554432.0;  // 2**25

// Checks (w + 1) * (h + 1), the size of the text image; values that are
// not plain ints are left to Pillow.
bool check_image_area(PyObject* w, PyObject* h) {
  if (!PyLong_CheckExact(w) || !PyLong_CheckExact(h)) return true;
  double dw = PyLong_AsDouble(w), dh = PyLong_AsDouble(h);
  if ((dw == -1.0 || dh == -1.0) && PyErr_Occurred()) return false;
  double area = (dw + 1) * (dh + 1);
  if (!(dw >= 0 && dh >= 0 && area > kMaxTextPixels)) return true;
  char msg[200];
  std::snprintf(msg, sizeof msg, "text: the rendered text would be %.0f x %.0f pixels, more than the %.0f allowed",
                dw + 1, dh + 1, kMaxTextPixels);
  PyErr_SetString(PyExc_ValueError, msg);
  return false;
}

// max(a, b) as Python's max gives it: b only when b > a.
Ref py_max(PyObject* a, PyObject* b) {
  int gt = PyObject_RichCompareBool(b, a, Py_GT);
  if (gt < 0) return Ref();
  return Ref::borrow(gt ? b : a);
}

// (max(text_w, right), max(text_h, bottom)) with (left, top, right, bottom)
// = font.getbbox(content): the extent of glyphs drawn at the origin.
bool glyph_extent(PyObject* font, PyObject* content, PyObject* text_w, PyObject* text_h, Ref* w, Ref* h) {
  Ref bbox = Ref::steal(PyObject_CallMethodOneArg(font, KV_ID(getbbox), content));
  if (!bbox) return false;
  Ref right = Ref::steal(item(bbox.get(), 2));
  Ref bottom = right ? Ref::steal(item(bbox.get(), 3)) : Ref();
  if (!bottom) return false;
  *w = py_max(text_w, right.get());
  *h = *w ? py_max(text_h, bottom.get()) : Ref();
  return static_cast<bool>(*h);
}

// Pillow's image of the text: measured with the module's text_size, drawn
// at the image origin in the canvas's channel order, as an RGBA array.
// *own_measure tells whether text_size was the module's own function.
bool render_pillow_text(PyObject* content, PyObject* font_info, PyObject* font, PyObject* effective,
                        PyObject* bgr_color, Ref* image, Ref* text_h, bool* own_measure) {
  Ref measure = global(KV_ID(text_size));
  if (!measure) return false;
  *own_measure = captured().own_text_size;
  Ref measured = call(measure.get(), {content, font_info, effective});
  Ref text_w;
  if (!measured || !unpack_pair(measured.get(), &text_w, text_h)) return false;

  // The glyphs are drawn at the image origin, so they reach to the bounding
  // box's right and bottom edges, beyond the measured width and height
  // whenever the box starts right of or below the origin (descenders,
  // brackets): the image holds them all.
  Ref img_w, img_h;
  if (!glyph_extent(font, content, text_w.get(), text_h->get(), &img_w, &img_h)) return false;
  if (!check_image_area(img_w.get(), img_h.get())) return false;
  PyObject* one = Py_GetConstantBorrowed(Py_CONSTANT_ONE);
  PyObject* transparent = KV_CONST(transparent_rgba);
  PyObject* origin = KV_CONST(origin_xy);
  PyObject* opaque = KV_CONST(opaque_alpha);
  PyObject* kw_text = KV_KW(font_fill);
  Ref w1 = Ref::steal(PyNumber_Add(img_w.get(), one));
  Ref h1 = w1 ? Ref::steal(PyNumber_Add(img_h.get(), one)) : Ref();
  Ref dims = h1 ? Ref::steal(PyTuple_Pack(2, w1.get(), h1.get())) : Ref();
  Ref image_new = dims ? global_attr(KV_ID(Image), KV_ID(k_new)) : Ref();
  Ref pil = image_new ? call(image_new.get(), {KV_ID(RGBA), dims.get(), transparent}) : Ref();
  if (!pil) return false;
  Ref draw_new = global_attr(KV_ID(ImageDraw), KV_ID(Draw));
  Ref draw = draw_new ? call(draw_new.get(), {pil.get()}) : Ref();
  Ref draw_text = draw ? Ref::steal(PyObject_GetAttr(draw.get(), KV_ID(text))) : Ref();
  Ref fill = draw_text ? Ref::steal(PySequence_Concat(bgr_color, opaque)) : Ref();
  if (!fill || !call(draw_text.get(), {origin, content, font, fill.get()}, kw_text)) return false;
  Ref np_array = global_attr(KV_ID(np), KV_ID(array));
  *image = np_array ? call(np_array.get(), {pil.get()}) : Ref();
  return static_cast<bool>(*image);
}

// ---- cached text images ------------------------------------------------------
// A rendered image is kept (text/image_cache.hpp) when everything it came
// from is watched by the namespace epoch: the module's own load_font and
// text_size, and Image, ImageDraw and np bound to modules; and while Pillow's
// own functions are the ones text runs and the font, unchanged in place,
// holds the core face it had (text/pillow.hpp). A hit draws a copy of the
// kept array, so nothing the blit does can change the cache, unless nothing
// can write into it (blit_reads_only).

bool epoch_watches_renderer() {
  for (PyObject* name : {KV_ID(Image), KV_ID(ImageDraw), KV_ID(np)}) {
    Ref m = global(name);
    if (!m) {
      PyErr_Clear();  // the rendering itself reports it
      return false;
    }
    if (!epoch_watches(m.get())) return false;
  }
  return true;
}

// The image for (content, font, effective size, colour): from the cache, or
// rendered and kept. `epoch` was read before load_font was looked up.
// *kept_image: the image is the cache's own, which the caller must copy
// before anything that may write into it sees it (see blit_reads_only).
bool text_image(PyObject* content, PyObject* font_info, PyObject* font, PyObject* effective, PyObject* bgr_color,
                bool own_font, uint64_t epoch, Ref* image, Ref* text_h, bool* kept_image) {
  *kept_image = false;
  Ref core;
  // The module's text_size, its own, measures with getbbox as the renderer does.
  const bool genuine = own_font && captured().own_text_size && genuine_font(font, &core);
  TextImageKey key{content, font, core.get(), 0, {0, 0, 0}};
  const bool plain_colour = genuine && cacheable_colour(bgr_color, &key);
  bool cacheable = epoch != 0 && plain_colour;
  if (cacheable) {
    int overflow = 0;
    key.size = PyLong_AsLongLongAndOverflow(effective, &overflow);
    cacheable = !overflow && !PyErr_Occurred() && namespace_epoch() == epoch;
    PyErr_Clear();
  }
  Ref kept;
  if (cacheable && text_image_get(key, epoch, &kept, text_h)) {
    *image = kept;
    *kept_image = true;
    return true;
  }
  bool done = false;
  if (plain_colour && direct_applies(content, key.bgr)) {
    if (!render_glyphs(core.get(), content, key.bgr, image, text_h, &done)) return false;
    if (!done && !render_direct(core.get(), content, key.bgr, image, text_h, &done)) return false;
  }
  if (!done) {
    bool own_measure = false;
    if (!render_pillow_text(content, font_info, font, effective, bgr_color, image, text_h, &own_measure))
      return false;
    cacheable = cacheable && own_measure;
  }
  if (cacheable && epoch_watches_renderer() && namespace_epoch() == epoch && PyArray_Check(image->get()) &&
      text_image_wanted(key)) {
    Ref copy = done && blit_reads_only()
                   ? *image
                   : Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(image->get()), NPY_CORDER));
    if (!copy) return false;
    text_image_put(key, epoch, copy.get(), text_h->get());
  }
  return true;
}

// The anchor of the text image: (cp[0], cp[1] - text_h / s), with the
// pen's own arithmetic (a third coordinate is dropped).
Ref image_anchor(PyObject* cp, PyObject* text_h, double s) {
  Ref cx = Ref::steal(item(cp, 0));
  Ref cy = cx ? Ref::steal(item(cp, 1)) : Ref();
  Ref s_obj = cy ? Ref::steal(PyFloat_FromDouble(s)) : Ref();
  Ref lift = s_obj ? Ref::steal(PyNumber_TrueDivide(text_h, s_obj.get())) : Ref();
  Ref y = lift ? Ref::steal(PyNumber_Subtract(cy.get(), lift.get())) : Ref();
  return y ? Ref::steal(PyTuple_Pack(2, cx.get(), y.get())) : y;
}

// blit(arr, ts_temp, image, (1.0 / s, 1.0 / s)) through a program's own
// `blit`, ts_temp being a copy of ts with the pen at the anchor.
bool program_blit(PyObject* blit, PyObject* arr, PyObject* ts, PyObject* anchor, PyObject* image, double s) {
  Ref ts_temp = Ref::steal(PyDict_Copy(ts));
  if (!ts_temp || PyDict_SetItem(ts_temp.get(), KV_ID(cursor_pos), anchor) < 0) return false;
  double inv[2] = {1.0 / s, 1.0 / s};
  Ref scale = Ref::steal(float_tuple(inv, 2));
  return scale && call(blit, {arr, ts_temp.get(), image, scale.get()});
}

// The Pillow path of text: render at the effective pixel size, then blit
// with the inverse scale so the image keeps that pixel size. `cp` is the pen
// and `mapper` the record's view as text() read them; both are read again
// when a program's load_font or text_size ran, which may have changed ts.
bool text_pillow(PyObject* arr, PyObject* ts, PyObject* cp, PointMapper& mapper, PyObject* content,
                 PyObject* font_info, double size, PyObject* bgr_color) {
  double s;
  if (!record_float(ts, KV_ID(size), &s)) return false;
  Ref effective = Ref::steal(py_int(size * s));
  if (!effective) return false;
  int overflow = 0;
  long long eff = PyLong_AsLongLongAndOverflow(effective.get(), &overflow);
  if (eff == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && eff < 1)) return true;  // below one pixel: nothing to draw
  if (!check_font_size(effective.get())) return false;

  const uint64_t epoch = namespace_epoch();
  Ref load = global(KV_ID(load_font));
  if (!load) return false;
  const bool own_font = captured().own_load_font;
  const bool only_ours = own_font && captured().own_text_size;
  // The module's own load_font is called directly: its argument checks
  // cannot fail (font_info is an exact str, the size an int of a few digits).
  Ref font = own_font ? Ref::steal(load_font(font_info, effective.get())) : call(load.get(), {font_info, effective.get()});
  if (!font) return false;
  Ref image, text_h;
  bool kept_image = false;
  if (!text_image(content, font_info, font.get(), effective.get(), bgr_color, own_font, epoch, &image, &text_h,
                  &kept_image))
    return false;

  // The image's row 0 lies at the anchor: moved up by the text height in world units.
  Ref pen = only_ours ? Ref::borrow(cp) : record_get(ts, KV_ID(cursor_pos));
  Ref anchor = pen ? image_anchor(pen.get(), text_h.get(), s) : Ref();
  Ref blit = anchor ? global(KV_ID(blit)) : Ref();
  if (!blit) return false;
  // A kept image is given as it is only where nothing can write into it.
  if (kept_image && !blit_reads_only()) {
    image = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(image.get()), NPY_CORDER));
    if (!image) return false;
  }
  if (!captured().own_blit) return program_blit(blit.get(), arr, ts, anchor.get(), image.get(), s);
  TextImageKey colour{};
  uint8_t ink[3];
  bool plain = cacheable_colour(bgr_color, &colour);
  for (int i = 0; i < 3; i++) {
    plain = plain && colour.bgr[i] >= 0 && colour.bgr[i] <= 255;
    ink[i] = static_cast<uint8_t>(colour.bgr[i] & 0xFF);
  }
  image::BlitPlan plan;
  PointMapper fresh;
  if (!image::plan_blit(arr, only_ours ? mapper : fresh, only_ours ? nullptr : ts, anchor.get(), image.get(),
                        1.0 / s, 1.0 / s, &plan))
    return false;
  return image::draw_blit(arr, image.get(), plan, plain ? ink : nullptr);
}

}  // namespace

// The largest Hershey font scale drawn (see text_cv2).
constexpr double kMaxFontScale = 256.0;

bool text_cv2(PyObject* arr, PyObject* ts, double x, double y, PyObject* content, double scale, int thickness,
              PyObject* bgr_color, PyObject* aa) {
  Ref size = record_get(ts, KV_ID(size));
  if (!size) return false;
  Ref font_scale, stroke;
  if (PyFloat_CheckExact(size.get())) {
    const double s = PyFloat_AS_DOUBLE(size.get());
    font_scale = Ref::steal(PyFloat_FromDouble(scale * s * 0.5));
    Ref t = Ref::steal(PyFloat_FromDouble(static_cast<double>(thickness) * s * 0.5));
    if (t) stroke = at_least_one(t.get());
  } else {
    Ref scale_obj = Ref::steal(PyFloat_FromDouble(scale));
    Ref thick_obj = Ref::steal(PyLong_FromLong(thickness));
    if (!scale_obj || !thick_obj) return false;
    font_scale = half_scaled(scale_obj.get(), size.get());
    Ref t = font_scale ? half_scaled(thick_obj.get(), size.get()) : Ref();
    if (t) stroke = at_least_one(t.get());
  }
  if (!font_scale || !stroke) return false;

  PyObject* kw_line = KV_KW(line_type);
  Ref put_text = global_attr(KV_ID(cv2), KV_ID(putText));
  if (!put_text) return false;
  Ref ix = Ref::steal(py_int(x));
  Ref iy = ix ? Ref::steal(py_int(y)) : Ref();
  Ref org = iy ? Ref::steal(PyTuple_Pack(2, ix.get(), iy.get())) : Ref();
  Ref face = org ? global_attr(KV_ID(cv2), KV_ID(FONT_HERSHEY_SIMPLEX)) : Ref();
  if (!face) return false;
  int smooth = truth(aa);
  if (smooth < 0) return false;
  Ref line_type_obj = line_type(smooth != 0);
  if (!line_type_obj) return false;
  // OpenCV converts the text to UTF-8 without checking the result: a lone
  // surrogate would crash the process inside cv2.putText. Raise the
  // UnicodeEncodeError of the conversion here instead.
  if (PyUnicode_Check(content) && !PyUnicode_AsUTF8AndSize(content, nullptr)) return false;
  // Glyphs of a font scale beyond 256 are more than 5,000 pixels tall, and
  // OpenCV spends seconds on them (over 10 s around scale 1600): refused.
  if (PyFloat_Check(font_scale.get()) || PyLong_Check(font_scale.get())) {
    double fs = PyFloat_Check(font_scale.get()) ? PyFloat_AS_DOUBLE(font_scale.get())
                                                 : PyLong_AsDouble(font_scale.get());
    if (fs == -1.0 && PyErr_Occurred()) PyErr_Clear();  // a huge int: OpenCV rejects it itself
    if (std::fabs(fs) > kMaxFontScale) {
      char msg[200];
      PyOS_snprintf(msg, sizeof msg,
                    "_text_cv2: font scale %g is beyond %g (glyphs of more than 5,000 pixels), which OpenCV "
                    "would take seconds to draw",
                    fs, kMaxFontScale);
      PyErr_SetString(PyExc_ValueError, msg);
      return false;
    }
  }
  Ref r = call(put_text.get(), {arr, content, org.get(), face.get(), font_scale.get(), bgr_color, stroke.get(),
                                line_type_obj.get()},
               kw_line);
  return static_cast<bool>(r);
}

bool text(PyObject* arr, PyObject* ts, PyObject* content, PyObject* font_info, double size, PyObject* color,
          int thickness, PyObject* aa) {
  Ref cp = record_get(ts, KV_ID(cursor_pos));
  if (!cp || !body_tuple(cp.get())) return false;
  geo::Vec2 scr;
  PointMapper mapper;
  bool visible;
  if (!mapper.begin(ts) || !mapper.map_obj(cp.get(), &visible, &scr)) return false;
  if (!visible || std::isinf(scr.x)) return true;  // not on screen
  Ref bgr = Ref::steal(color_bgr(color));
  if (!bgr) return false;
  // font_info.upper() == "CV2"; an ASCII str (font_info is an exact str) is
  // compared without making its upper-case copy.
  bool cv2_font;
  if (PyUnicode_CheckExact(font_info) && PyUnicode_IS_ASCII(font_info)) {
    const char* f = reinterpret_cast<const char*>(PyUnicode_DATA(font_info));
    cv2_font = PyUnicode_GET_LENGTH(font_info) == 3 && (f[0] == 'c' || f[0] == 'C') && (f[1] == 'v' || f[1] == 'V') &&
               f[2] == '2';
  } else {
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(font_info, KV_ID(upper)));
    if (!upper) return false;
    cv2_font = PyUnicode_Check(upper.get()) && PyUnicode_CompareWithASCIIString(upper.get(), "CV2") == 0;
  }
  if (cv2_font) return text_cv2(arr, ts, scr.x, scr.y, content, size, thickness, bgr.get(), aa);
  return text_pillow(arr, ts, cp.get(), mapper, content, font_info, size, bgr.get());
}

}  // namespace kv::text
