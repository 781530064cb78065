// Fonts the text subsystem keeps something for: the in-memory copy of their
// file, the glyphs kept for composing their text, their cached text images
// and whether they have variation axes. Each such font is watched through a
// weak reference; when it is freed, everything kept for it is dropped at
// once, so a font gone from FONT_CACHE and from the program takes its memory
// with it. What is kept refers to the font by address only: the address
// cannot be reused before the font's dropping has run. Main thread (any
// thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// Watches `font` (once; later calls only look it up). False, with no
// exception, for an object that takes no weak reference: nothing may be
// kept for it.
bool watch_font(PyObject* font);

// What each part keeps for a font, dropped when the font is freed. They run
// inside the font's deallocation: they only compare its address and release
// what they hold, running no Python code.
void forget_font_file(PyObject* font);    // font_files.cpp
void forget_font_glyphs(PyObject* font);  // glyphs.cpp
void forget_font_images(PyObject* font);  // image_cache.cpp
void forget_font_axes(PyObject* font);    // pillow.cpp

}  // namespace kv::text
