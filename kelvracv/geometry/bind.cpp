// Python-visible wrappers of the coordinate pipeline: check the declared
// argument types, call the internal forms, pack doubles into float tuples.

#include "core/bindings.hpp"
#include "geometry/record.hpp"
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

const FuncSpec kFunctions[] = {
    {"add_tuples", py_add_tuples, {{"t1"}, {"t2"}}},
    {"apply_homography", py_apply_homography, {{"H"}, {"pt"}}},
    {"transform_3d", py_transform_3d, {{"p"}, {"ts"}}},
    {"transform", py_transform, {{"p"}, {"ts"}}},
    {"inverse_transform", py_inverse_transform, {{"s"}, {"ts"}}},
};

}  // namespace
}  // namespace kv

namespace kv {
FuncTable geometry_functions() { return {kFunctions, std::size(kFunctions)}; }
}  // namespace kv
