// Window, frame loop and input: the Python-visible entry points of this
// folder (bound by bind.cpp) and the small helpers they share.
// Main thread for the window and the loop; the listener callbacks run on
// pynput's threads. The interpreter lock is held throughout.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::window {

// ---- input (input.cpp) -------------------------------------------------------
PyObject* on_press(PyObject* const* a);
PyObject* on_release(PyObject* const* a);
PyObject* simulate_key_press(PyObject* const* a);
PyObject* on_click(PyObject* const* a);
PyObject* on_scroll(PyObject* const* a);
PyObject* on_move(PyObject* const* a);
PyObject* get_input(PyObject* const* a);

// ---- window (window.cpp) -----------------------------------------------------
PyObject* get_window_size(PyObject* const* a);
PyObject* get_win_props(PyObject* const* a);
PyObject* convert_win_info(PyObject* const* a);
PyObject* init(PyObject* const* a);

// ---- frame loop (loop.cpp) ---------------------------------------------------
PyObject* run(PyObject* const* a);

// ---- shared helpers (window.cpp) ---------------------------------------------

// `a, b, ... = o` into n new references, with the compiled-module unpacking
// messages ("too many values to unpack (expected 2)", "need more than 1 value
// to unpack"). False with an exception set.
bool unpack(PyObject* o, Ref* out, Py_ssize_t n);

// np.full((h, w, 3), fill, dtype=np.uint8) through the module's `np`.
Ref full_canvas(PyObject* h, PyObject* w, PyObject* fill);

// format(o, "") / format(o, fmt) as a new str.
Ref format(PyObject* o, const char* fmt);

// ---- the shown window (window.cpp) -------------------------------------------

// Remembers `name` as the window made by init, with the width and height of
// `canvas`, the image it shows (a canvas that is not an image array leaves the
// size as it was). Called by init and by run for the canvas of each frame.
void note_window(PyObject* name, PyObject* canvas);

// Maps the desktop point (*x, *y) into canvas pixels of the remembered window:
// the origin of cv2.getWindowImageRect is subtracted and the offset scaled by
// canvas size / image-area size. *mapped is false, and nothing raised, when no
// window was made, the query fails or the image area is empty.
bool desktop_to_canvas(double* x, double* y, bool* mapped);

}  // namespace kv::window
