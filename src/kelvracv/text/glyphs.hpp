// Text composed from kept glyphs. Pillow's renderer puts each glyph's
// coverage at the whole pixel its pen position rounds to and combines them
// in layout order; for a string of characters the font shapes pairwise
// (plain_glyphs.hpp) the layout is the characters' advances plus one
// adjustment per neighbouring pair. Advances and pair adjustments are
// measured through the core font's own getlength (26.6, exact), each glyph's
// coverage rendered once by the core font itself: a string is then composed
// without laying it out again. Only for fonts load_font read from a file
// (their bytes are known) and only while the font holds that core face;
// what is kept for a font goes when the font is freed (font_watch.hpp).
// Main thread (any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// Keeps glyphs for the core face of `font` (font.font), whose file has the
// plain characters `plain` (find_plain_glyphs).
void register_face(PyObject* font, const bool plain[256]);

// The text image and height of `content` composed from kept glyphs (after
// direct_applies). *done is false, with no exception, when the string or the
// font is not provably composed this way, or a bounding box edge cannot be
// told from the kept measures.
bool render_glyphs(PyObject* core, PyObject* content, const long bgr[3], Ref* image, Ref* text_h, bool* done);

}  // namespace kv::text
