// Pillow as text rendering meets it: the functions ImageDraw.text runs for
// one line of TrueType text, checked to be Pillow's own at each use, and the
// text image those functions would give, made from one call of the core
// font's own renderer. Main thread (any thread holding the interpreter lock).
#pragma once

#include <cstdint>

#include "pyapi/ref.hpp"

namespace kv::text {

// Start-up, right after Pillow's modules are imported: remembers Pillow's own
// functions (Image.new, ImageDraw.Draw, ImageDraw.ImageDraw.text,
// FreeTypeFont.getbbox and getmask2) and checks that the core renderer's
// images can be read. Any surprise leaves the one-call rendering off for the
// process; it is never an error. 0, or -1 with an exception set.
int remember_pillow(PyObject* module);

// Pillow's FreeTypeFont class when `truetype` is Pillow's own
// ImageFont.truetype (then truetype(path, size) is FreeTypeFont(path, size)
// for a file that opens); nullptr otherwise. Borrowed.
PyObject* own_font_class(PyObject* truetype);

// Whether the module's blit is its own and the cv2.warpPerspective it may
// hand the image to is OpenCV's (as `import cv2` gave it): then nothing can
// write into the image a text draw passes to blit, and a kept image may be
// passed as it is.
bool blit_reads_only();

// Whether `font` is a TrueType font that the module's Image, ImageDraw and np
// and Pillow's own classes would render exactly as they did at start-up:
// those names bound to the modules and functions Pillow made, the font an
// exact FreeTypeFont whose instance overrides none of its methods. *core
// receives its core face object (font.font). A font with variation axes is
// refused: set_variation_by_name changes it without any visible trace. False
// (no exception) for anything else.
bool genuine_font(PyObject* font, Ref* core);

// Whether one line of `content` in the colour (b, g, r) can be rendered
// here rather than through ImageDraw: Pillow's length limit kept, no line
// break, colour bytes. False (no exception) otherwise.
bool direct_applies(PyObject* content, const long bgr[3]);

// The coverage Pillow's core renderer gives for one line of text (getmask2's
// call) and the offset of its top-left corner from the drawing origin.
struct Coverage {
  Ref keep;  // the core image the rows belong to
  uint8_t* const* rows = nullptr;
  long long w = 0, h = 0, ox = 0, oy = 0;
};
// *done is false, with no exception, when the renderer refused the text.
bool render_coverage(PyObject* core, PyObject* content, long ink, Coverage* out, bool* done);

// The RGBA text image (B, G, R, coverage; rows text_h + 1 or more) and text
// height that Pillow's path makes from a coverage of w x h at (ox, oy).
// *done is false (no exception) for an image too large to be made here.
bool text_image_from_coverage(const uint8_t* const* rows, long long w, long long h, long long ox, long long oy,
                              const long bgr[3], Ref* image, Ref* text_h, bool* done);

// ImageDraw's ink for the colour (B, G, R, 255) on an RGBA image.
long ink_of(const long bgr[3]);

// The text image and height Pillow's path would give for `content` (after
// direct_applies), laid out once by the core renderer. *done is false, with
// no exception, when this text must take Pillow's own path.
bool render_direct(PyObject* core, PyObject* content, const long bgr[3], Ref* image, Ref* text_h, bool* done);

}  // namespace kv::text
