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

// ---- wrappers --------------------------------------------------------------------

// The record is declared but not read: the stack in TS_STACK is cycled.
PyObject* cycle_state(PyObject*) { return state::cycle_state(); }

// The points come back as float tuples.
PyObject* py_transform_3d(PyObject* p, PyObject* ts) {
  geo::Vec3 r;
  if (!transform_3d(p, ts, &r)) return nullptr;
  double v[3] = {r.x, r.y, r.z};
  return float_tuple(v, 3);
}

PyObject* py_transform(PyObject* p, PyObject* ts) {
  geo::Vec2 r;
  if (!transform(p, ts, &r)) return nullptr;
  double v[2] = {r.x, r.y};
  return float_tuple(v, 2);
}

PyObject* py_inverse_transform(PyObject* s, PyObject* ts) {
  geo::Vec3 r;
  if (!inverse_transform(s, ts, &r)) return nullptr;
  double v[3] = {r.x, r.y, r.z};
  return float_tuple(v, 3);
}

// ---- registration ------------------------------------------------------------------

const FuncDecl kFunctions[] = {
    def<add_tuples>("add_tuples", "t1"_a.tuple(), "t2"_a.tuple()),
    def<apply_homography_py>("apply_homography", "H", "pt"),
    def<py_transform_3d>("transform_3d", "p"_a.tuple(), "ts"_a.dict()),
    def<py_transform>("transform", "p"_a.tuple(), "ts"_a.dict()),
    def<py_inverse_transform>("inverse_transform", "s"_a.tuple(), "ts"_a.dict()),
    def<state::push_state>("push_state", "ts").lambda(),
    def<state::pop_state>("pop_state", "ts").lambda(),
    def<state::peek_state>("peek_state", "ts").lambda(),
    def<state::set_cam_pos>("set_cam_pos", "ts", "p").lambda(),
    def<state::set_cam_rot>("set_cam_rot", "ts", "r").lambda(),
    def<cycle_state>("cycle_state", "ts").lambda(),
    def<state::set_3d_mode>("set_3d_mode", "ts", "is_3d"),
    def<state::set_homography_core>("set_homography_core", "src_pts", "dst_pts")
        .doc("\n    Calculates the 3x3 Homography matrix (full_transform) and its inverse from 4 source points to 4 "
             "destination points.\n    Used internally by set_homography.\n    "),
    def<state::set_homography>("set_homography", "ts", "src_pts", "dst_pts").lambda(),
    def<state::move>("move", "ts", "xy").lambda(),
    def<state::shift>("shift", "ts", "xy").lambda(),
    def<state::set_shift>("set_shift", "ts", "xy").lambda(),
    def<state::scale>("scale", "ts", "ds").lambda(),
    def<state::set_size>("set_size", "ts", "ds").lambda(),
    def<state::rotate>("rotate", "ts", "dr").lambda(),
    def<state::set_rotate>("set_rotate", "ts", "dr").lambda(),
    def<state::set_pos>("set_pos", "ts"_a.dict().not_none().ann("dict"), "xy"_a.tuple().not_none().ann("tuple")),
    // Whole point arrays in one call: the record's mode decided once.
    def<transform_points>("transform_points", "ts"_a.dict(), "points")
        .doc("Maps an (N, 2) or (N, 3) array of world points to an (N, 2) float64 array of screen points,\n"
             "each row exactly as transform() maps it ((inf, inf) for a 3-D point not in front of the camera)."),
    def<inverse_transform_points>("inverse_transform_points", "ts"_a.dict(), "points")
        .doc("Maps an (N, 2) array of screen points to an (N, 2) float64 array of world points,\n"
             "each row the x and y that inverse_transform() gives for it."),
};

}  // namespace

FuncTable geometry_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
