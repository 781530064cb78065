// Pillow as text rendering meets it: the functions ImageDraw.text runs for
// one line of TrueType text, checked to be Pillow's own at each use, and the
// text image those functions would give, made from one call of the core
// font's own renderer. Main thread (any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// Start-up, right after Pillow's modules are imported: remembers Pillow's own
// functions (Image.new, ImageDraw.Draw, ImageDraw.ImageDraw.text,
// FreeTypeFont.getbbox and getmask2) and checks that the core renderer's
// images can be read. Any surprise leaves the one-call rendering off for the
// process; it is never an error. 0, or -1 with an exception set.
int remember_pillow(PyObject* module);

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

// The RGBA text image (B, G, R, coverage; rows text_h + 1 or more) and text
// height that Pillow's path would give for `content` in `font` with the
// colour (b, g, r), laid out once by the core renderer. *done is false, with
// no exception, when this text must take Pillow's own path (the renderer
// refused it, or it is multiline); false with an exception set for an error
// Pillow's path would raise too.
bool render_direct(PyObject* font, PyObject* core, PyObject* content, const long bgr[3], Ref* image, Ref* text_h,
                   bool* done);

}  // namespace kv::text
