// The images Pillow rendered for text, kept so that drawing the same text
// again skips the rendering: least recently used out first, a few MB at most,
// and an entry counts only while the namespace epoch it was made in holds
// (nothing that text looks up has been rebound since). The entries of a font
// go when the font is freed (font_watch.hpp). Main thread (any thread
// holding the interpreter lock).
#pragma once

#include <cstdint>

#include "pyapi/ref.hpp"

namespace kv::text {

// What the rendered image depends on: the text, the font object load_font
// gave and the core face it held (font.font, which may be replaced in
// place), the effective pixel size and the (B, G, R) fill colour.
struct TextImageKey {
  PyObject* content;  // exact str
  PyObject* font;
  PyObject* core;
  long long size;
  long bgr[3];
};

// Fills key->bgr from a colour tuple of three exact ints; false for any
// other colour (such text is not cached).
bool cacheable_colour(PyObject* bgr, TextImageKey* key);

// The image and text height rendered for key in `epoch`, else false.
bool text_image_get(const TextImageKey& key, uint64_t epoch, Ref* image, Ref* text_h);

// Whether what is rendered for key now is worth keeping: true when the key
// was rendered (and not kept) recently, else false, and the key is
// remembered as rendered once.
bool text_image_wanted(const TextImageKey& key);

// Keeps what was rendered for key, valid while `epoch` holds (read before
// the rendering began).
void text_image_put(const TextImageKey& key, uint64_t epoch, PyObject* image, PyObject* text_h);

}  // namespace kv::text
