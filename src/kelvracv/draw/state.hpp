// What the drawing routines keep from one call to the next: the OpenCV
// functions a drawing may bypass, and the objects reused when it goes
// through cv2 after all. One instance, g_native; main thread, interpreter
// lock held. Every member is a plain pointer or value, so nothing runs at
// exit (the references are the process's for its life).
#pragma once

#include "draw/native.hpp"
#include "draw/raster.hpp"

namespace kv::draw {

// The int objects of the usual canvas coordinates: [kPixelMin, kPixelMax).
constexpr int kPixelMin = -4096, kPixelMax = 16384;

struct NativeState {
  // The OpenCV module and its drawing functions as imported at start-up; all
  // null when the OpenCV profile has native drawing off (borrowed from it).
  PyObject* cv2 = nullptr;
  PyObject* fn[native::kFnCount] = {};

  // The colours of the last plain (R, G, B) tuples, and those tuples
  // (strong). Tuples are immutable, so a colour is reused while the same
  // tuple comes back, as a palette's tuples do frame after frame. Bound:
  // kColours entries; a new tuple replaces the one kept the longest ago.
  static constexpr int kColours = 8;
  PyObject* colour_tuples[kColours] = {};
  raster::Color colours[kColours]{};
  int next_colour = 0;

  // int(v) of screen coordinates, made at first use and shared (ints are
  // immutable). Bound: one per integer in [kPixelMin, kPixelMax); never
  // evicted.
  PyObject* pixels[kPixelMax - kPixelMin] = {};

  // Objects kept from one cv2 call to the next (the calls made when a shape
  // cannot be drawn straight into the canvas). On a 4-channel canvas they
  // save about 0.15 us of a 2.3 us circle or rect and 0.3 of a 3.3 us line
  // pair, measured with and without them.
  // - The dicts {"lineType": lt} for the two line types in use: OpenCV's
  //   functions take their keywords as a dict, and a dict is checked to be
  //   untouched before it is reused. Bound: two; a new line type replaces
  //   the dict made the longest ago.
  // - The last plain colour and its (B, G, R) tuple: tuples are immutable,
  //   so the same colour object always gives the same tuple. Bound: one; a
  //   new colour replaces it.
  PyObject* kw_lt[2] = {};  // the line type each dict holds
  PyObject* kw[2] = {};
  int next_kw = 0;
  PyObject* color = nullptr;
  PyObject* bgr = nullptr;
};
extern NativeState g_native;

}  // namespace kv::draw
