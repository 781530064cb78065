// Whose functions the module's names hold: the answers the drawing paths need
// at each call ("is `blit` still the module's own?", "is cv2.line still
// OpenCV's?"), captured together from the namespaces and captured again only
// when one of the names they read is rebound (the namespace epoch of
// pyapi/namespace.hpp moves on). Writes to the input globals (KEYS,
// MOUSE_SCR_POS, MOUSE_STATE, RUN, PRESS_QUEUE) move nothing. Late binding is
// kept: `kv.blit = f` or `kv.cv2.line = f` is seen at the next call.
// Capturing runs no Python code. Any thread holding the interpreter lock.
#pragma once

#include "core/opencv.hpp"

namespace kv {

struct Captured {
  bool own_blit = false;       // the module's `blit` is its own function
  bool own_text_size = false;  // ... `text_size`
  bool own_load_font = false;  // ... `load_font`
  bool cv2_own = false;        // the module's `cv2` is the OpenCV module of start-up
  // The namespace of the module's `cv2` (a plain module) holds OpenCV's own
  // function f (opencv::function) under its name.
  bool opencv[opencv::kFunctionCount] = {};
  bool line_aa_int = false;  // it holds an exact int as LINE_AA
  bool line_4_int = false;   // ... as LINE_4
  long line_aa = 0, line_4 = 0;  // their values (when they fit a long)
  bool pillow_own = false;   // text_names_own()
};

// The answers as the namespaces stand now.
const Captured& captured();

// text/pillow.cpp: whether the module's Image, ImageDraw and np and the
// names text's one-call renderer runs through (Image.new, ImageDraw.Draw,
// ImageDraw.ImageDraw, np.array, ImageFont.FreeTypeFont, Image.core,
// Image.core.fill, Image._decompression_bomb_check) are Pillow's and NumPy's
// own as imported, each read with watched_entry. Never raises.
bool text_names_own();

}  // namespace kv
