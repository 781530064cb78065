// Internal forms of font loading, text measurement and text drawing, called
// by the Python-visible wrappers and the command language. Main thread (any
// thread holding the interpreter lock); FONT_CACHE is the only state.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// The largest TrueType font size, in pixels. At this size even a full stop
// of DejaVu Sans makes a text image beyond what render.cpp allows, and
// FreeType fails on sizes not much larger (they stop at 65,535 pixels).
constexpr long long kMaxFontPixels = 16384;

// ValueError for a font size (an int) beyond kMaxFontPixels: the one error
// of every size past it, whichever call meets it first. False when raised.
bool check_font_size(PyObject* size);

// load_font(font_path_or_name, size): the cached Pillow font; `size` is the
// int object of the cache key (a size beyond kMaxFontPixels that is not
// cached is a ValueError). New reference or nullptr.
PyObject* load_font(PyObject* name, PyObject* size);

// text_size(text_content, font_info, size): (width, height). New reference or nullptr.
PyObject* text_size(PyObject* content, PyObject* font_info, double size);

// _text_cv2 with the screen anchor (x, y) already as doubles.
bool text_cv2(PyObject* arr, PyObject* ts, double x, double y, PyObject* content, double scale, int thickness,
              PyObject* bgr_color, PyObject* aa);

// text(arr, ts, content, font_info, size, color, thickness, aa) after the
// declared-type checks.
bool text(PyObject* arr, PyObject* ts, PyObject* content, PyObject* font_info, double size, PyObject* color,
          int thickness, PyObject* aa);

}  // namespace kv::text
