// Python-visible functions of the geometry folder as one table: the
// coordinate pipeline (declared argument types checked, doubles packed into
// float tuples or point arrays), the record's stack and editors, and the mode
// switches.

#include "core/bindings.hpp"
#include "geometry/record.hpp"
#include "geometry/state.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {

PyObject* apply_homography_py(PyObject* H, PyObject* pt);

namespace {

PyObject* py_add_tuples(PyObject* const* a) {
  if (!arg_tuple(a[0], "t1") || !arg_tuple(a[1], "t2")) return nullptr;
  return add_tuples(a[0], a[1]);
}

PyObject* py_apply_homography(PyObject* const* a) { return apply_homography_py(a[0], a[1]); }

PyObject* py_transform_3d(PyObject* const* a) {
  if (!arg_tuple(a[0], "p") || !arg_dict(a[1], "ts")) return nullptr;
  geo::Vec3 r;
  if (!transform_3d(a[0], a[1], &r)) return nullptr;
  double v[3] = {r.x, r.y, r.z};
  return float_tuple(v, 3);
}

PyObject* py_transform(PyObject* const* a) {
  if (!arg_tuple(a[0], "p") || !arg_dict(a[1], "ts")) return nullptr;
  geo::Vec2 r;
  if (!transform(a[0], a[1], &r)) return nullptr;
  double v[2] = {r.x, r.y};
  return float_tuple(v, 2);
}

PyObject* py_inverse_transform(PyObject* const* a) {
  if (!arg_tuple(a[0], "s") || !arg_dict(a[1], "ts")) return nullptr;
  geo::Vec3 r;
  if (!inverse_transform(a[0], a[1], &r)) return nullptr;
  double v[3] = {r.x, r.y, r.z};
  return float_tuple(v, 3);
}

// Whole point arrays in one call: the record's mode decided once.
PyObject* py_transform_points(PyObject* const* a) {
  if (!arg_dict(a[0], "ts")) return nullptr;
  return transform_points(a[0], a[1]);
}

PyObject* py_inverse_transform_points(PyObject* const* a) {
  if (!arg_dict(a[0], "ts")) return nullptr;
  return inverse_transform_points(a[0], a[1]);
}

// The record's stack, editors and mode switches (geometry/state.hpp).
PyObject* py_push_state(PyObject* const* a) { return state::push_state(a[0]); }
PyObject* py_pop_state(PyObject* const* a) { return state::pop_state(a[0]); }
PyObject* py_peek_state(PyObject* const* a) { return state::peek_state(a[0]); }
PyObject* py_cycle_state(PyObject* const*) { return state::cycle_state(); }
PyObject* py_set_cam_pos(PyObject* const* a) { return state::set_cam_pos(a[0], a[1]); }
PyObject* py_set_cam_rot(PyObject* const* a) { return state::set_cam_rot(a[0], a[1]); }
PyObject* py_set_homography(PyObject* const* a) { return state::set_homography(a[0], a[1], a[2]); }
PyObject* py_move(PyObject* const* a) { return state::move(a[0], a[1]); }
PyObject* py_shift(PyObject* const* a) { return state::shift(a[0], a[1]); }
PyObject* py_set_shift(PyObject* const* a) { return state::set_shift(a[0], a[1]); }
PyObject* py_scale(PyObject* const* a) { return state::scale(a[0], a[1]); }
PyObject* py_set_size(PyObject* const* a) { return state::set_size(a[0], a[1]); }
PyObject* py_rotate(PyObject* const* a) { return state::rotate(a[0], a[1]); }
PyObject* py_set_rotate(PyObject* const* a) { return state::set_rotate(a[0], a[1]); }
PyObject* py_set_3d_mode(PyObject* const* a) { return state::set_3d_mode(a[0], a[1]); }
PyObject* py_set_homography_core(PyObject* const* a) { return state::set_homography_core(a[0], a[1]); }

PyObject* py_set_pos(PyObject* const* a) {
  if (!arg_dict(a[0], "ts", false) || !arg_tuple(a[1], "xy", false)) return nullptr;
  return state::set_pos(a[0], a[1]);
}

const FuncSpec kFunctions[] = {
    {"add_tuples", py_add_tuples, {{"t1"}, {"t2"}}},
    {"apply_homography", py_apply_homography, {{"H"}, {"pt"}}},
    {"transform_3d", py_transform_3d, {{"p"}, {"ts"}}},
    {"transform", py_transform, {{"p"}, {"ts"}}},
    {"inverse_transform", py_inverse_transform, {{"s"}, {"ts"}}},
    {"push_state", py_push_state, {{"ts"}}, nullptr, true},
    {"pop_state", py_pop_state, {{"ts"}}, nullptr, true},
    {"peek_state", py_peek_state, {{"ts"}}, nullptr, true},
    {"set_cam_pos", py_set_cam_pos, {{"ts"}, {"p"}}, nullptr, true},
    {"set_cam_rot", py_set_cam_rot, {{"ts"}, {"r"}}, nullptr, true},
    {"cycle_state", py_cycle_state, {{"ts"}}, nullptr, true},
    {"set_3d_mode", py_set_3d_mode, {{"ts"}, {"is_3d"}}},
    {"set_homography_core", py_set_homography_core, {{"src_pts"}, {"dst_pts"}},
     "\n    Calculates the 3x3 Homography matrix (full_transform) and its inverse from 4 source points to 4 "
     "destination points.\n    Used internally by set_homography.\n    "},
    {"set_homography", py_set_homography, {{"ts"}, {"src_pts"}, {"dst_pts"}}, nullptr, true},
    {"move", py_move, {{"ts"}, {"xy"}}, nullptr, true},
    {"shift", py_shift, {{"ts"}, {"xy"}}, nullptr, true},
    {"set_shift", py_set_shift, {{"ts"}, {"xy"}}, nullptr, true},
    {"scale", py_scale, {{"ts"}, {"ds"}}, nullptr, true},
    {"set_size", py_set_size, {{"ts"}, {"ds"}}, nullptr, true},
    {"rotate", py_rotate, {{"ts"}, {"dr"}}, nullptr, true},
    {"set_rotate", py_set_rotate, {{"ts"}, {"dr"}}, nullptr, true},
    {"set_pos", py_set_pos, {{"ts"}, {"xy"}}, nullptr, false, {{"ts", "dict"}, {"xy", "tuple"}}},
    {"transform_points", py_transform_points, {{"ts"}, {"points"}},
     "Maps an (N, 2) or (N, 3) array of world points to an (N, 2) float64 array of screen points,\n"
     "each row exactly as transform() maps it ((inf, inf) for a 3-D point not in front of the camera)."},
    {"inverse_transform_points", py_inverse_transform_points, {{"ts"}, {"points"}},
     "Maps an (N, 2) array of screen points to an (N, 2) float64 array of world points,\n"
     "each row the x and y that inverse_transform() gives for it."},
};

}  // namespace

FuncTable geometry_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
