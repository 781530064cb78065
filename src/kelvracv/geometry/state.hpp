// Editors of a transform-state record and the mode switches: the stack
// (TS_STACK), pen, origin, scale, rotation, camera, homography and 3-D mode.
// Each takes the record and the new value as Python objects and returns None
// (new reference) or nullptr with an exception set. Main thread.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::state {

// ---- the stack (state.cpp) -------------------------------------------------------

PyObject* push_state(PyObject* ts);
PyObject* pop_state(PyObject* ts);
PyObject* peek_state(PyObject* ts);
PyObject* cycle_state();

// ---- record editors (state.cpp) -----------------------------------------------------

PyObject* set_cam_pos(PyObject* ts, PyObject* p);
PyObject* set_cam_rot(PyObject* ts, PyObject* r);
PyObject* set_homography(PyObject* ts, PyObject* src_pts, PyObject* dst_pts);
PyObject* move(PyObject* ts, PyObject* xy);
PyObject* shift(PyObject* ts, PyObject* xy);
PyObject* set_pos(PyObject* ts, PyObject* xy);
PyObject* set_shift(PyObject* ts, PyObject* xy);
PyObject* scale(PyObject* ts, PyObject* ds);
PyObject* set_size(PyObject* ts, PyObject* ds);
PyObject* rotate(PyObject* ts, PyObject* dr);
PyObject* set_rotate(PyObject* ts, PyObject* dr);

// ---- mode switches (modes.cpp) ------------------------------------------------------

PyObject* set_3d_mode(PyObject* ts, PyObject* is_3d);
// (H, H_inv) estimated from the two point lists, or (None, None).
PyObject* set_homography_core(PyObject* src_pts, PyObject* dst_pts);

}  // namespace kv::state
