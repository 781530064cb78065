// The fourteen transform-state functions and the TS_STACK discipline: save,
// restore, peek and cycle records; edit pen, origin, scale, rotation, camera
// and homography. Every writer stores a new value object (never mutates one),
// which keeps the shallow copies on the stack safe. Main thread.

#include "core/bindings.hpp"
#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

// ---- internal helpers ----------------------------------------------------------

// mapping.update(other): the dict fast path or the object's own method.
bool update(PyObject* ts, PyObject* other) {
  if (PyDict_CheckExact(ts) && PyDict_Check(other)) return PyDict_Update(ts, other) == 0;
  Ref r = Ref::steal(PyObject_CallMethodOneArg(ts, KV_STR("update"), other));
  return static_cast<bool>(r);
}

bool update_one(PyObject* ts, PyObject* key, PyObject* value) {
  Ref d = Ref::steal(PyDict_New());
  return d && PyDict_SetItem(d.get(), key, value) == 0 && update(ts, d.get());
}

// The offset xy padded to the length of the current value cur.
Ref pad_to(PyObject* cur, PyObject* xy) {
  Py_ssize_t n = PyObject_Size(cur);
  if (n < 0) return Ref();
  return pad_offset(xy, n);
}

// move / shift: key becomes add_tuples(cur, padded xy).
PyObject* relative_move(PyObject* ts, PyObject* key, PyObject* xy) {
  Ref cur = record_get(ts, key);
  if (!cur || !body_tuple(cur.get())) return nullptr;
  Ref pad = pad_to(cur.get(), xy);
  if (!pad || !body_tuple(pad.get())) return nullptr;
  Ref sum = Ref::steal(add_tuples(cur.get(), pad.get()));
  if (!sum || PyObject_SetItem(ts, key, sum.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// scale / rotate: key becomes ts[key] + delta.
PyObject* add_to(PyObject* ts, PyObject* key, PyObject* delta) {
  Ref cur = record_get(ts, key);
  if (!cur) return nullptr;
  Ref sum = Ref::steal(PyNumber_Add(cur.get(), delta));
  if (!sum || PyObject_SetItem(ts, key, sum.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* store(PyObject* ts, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(ts, key, value) < 0) return nullptr;
  Py_RETURN_NONE;
}

// tuple(float(v) for v in p) stored under key through update.
PyObject* set_float_tuple(PyObject* ts, PyObject* key, PyObject* p) {
  Ref it = Ref::steal(PyObject_GetIter(p));
  if (!it) return nullptr;
  Ref values = Ref::steal(PyList_New(0));
  if (!values) return nullptr;
  while (PyObject* v = PyIter_Next(it.get())) {
    Ref vr = Ref::steal(v);
    double d;
    if (!py_float(v, &d)) return nullptr;
    Ref f = Ref::steal(PyFloat_FromDouble(d));
    if (!f || PyList_Append(values.get(), f.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref t = Ref::steal(PyList_AsTuple(values.get()));
  if (!t || !update_one(ts, key, t.get())) return nullptr;
  Py_RETURN_NONE;
}

// ---- stack functions -----------------------------------------------------------

PyObject* push_state(PyObject* const* a) {
  PyObject* ts = a[0];
  Ref keys = global(KV_STR("STATE_KEYS"));
  if (!keys) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(keys.get()));
  Ref saved = Ref::steal(PyDict_New());
  if (!it || !saved) return nullptr;
  while (PyObject* k = PyIter_Next(it.get())) {
    Ref key = Ref::steal(k);
    Ref v = record_get(ts, k);
    if (!v || PyDict_SetItem(saved.get(), k, v.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref stack = global(KV_STR("TS_STACK"));
  if (!stack) return nullptr;
  if (PyList_CheckExact(stack.get())) {
    if (PyList_Append(stack.get(), saved.get()) < 0) return nullptr;
  } else if (!Ref::steal(PyObject_CallMethodOneArg(stack.get(), KV_STR("append"), saved.get()))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// TS_STACK and whether it holds anything; -1 on error.
int stack_nonempty(Ref* stack) {
  *stack = global(KV_STR("TS_STACK"));
  if (!*stack) return -1;
  return truth(stack->get());
}

Ref stack_pop(PyObject* stack) { return Ref::steal(PyObject_CallMethodNoArgs(stack, KV_STR("pop"))); }

PyObject* pop_state(PyObject* const* a) {
  Ref stack;
  int n = stack_nonempty(&stack);
  if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
  Ref top = stack_pop(stack.get());
  if (!top || !update(a[0], top.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* peek_state(PyObject* const* a) {
  Ref stack;
  int n = stack_nonempty(&stack);
  if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
  Ref top = Ref::steal(item(stack.get(), -1));
  Ref copy = top ? Ref::steal(PyObject_CallMethodNoArgs(top.get(), KV_STR("copy"))) : Ref();
  if (!copy || !update(a[0], copy.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* cycle_state(PyObject* const*) {
  Ref stack;
  int n = stack_nonempty(&stack);
  if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
  Ref top = stack_pop(stack.get());
  if (!top) return nullptr;
  if (PyList_CheckExact(stack.get())) {
    if (PyList_Insert(stack.get(), 0, top.get()) < 0) return nullptr;
  } else {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || !Ref::steal(PyObject_CallMethodObjArgs(stack.get(), KV_STR("insert"), zero.get(), top.get(),
                                                         nullptr)))
      return nullptr;
  }
  Py_RETURN_NONE;
}

// ---- record editors ------------------------------------------------------------

PyObject* set_cam_pos(PyObject* const* a) { return set_float_tuple(a[0], KV_STR("cam_pos_3d"), a[1]); }
PyObject* set_cam_rot(PyObject* const* a) { return set_float_tuple(a[0], KV_STR("cam_rot_3d"), a[1]); }

PyObject* set_homography(PyObject* const* a) {
  if (!body_exact(a[1], &PyList_Type) || !body_exact(a[2], &PyList_Type)) return nullptr;
  Ref pair = call_global(KV_STR("set_homography_core"), {a[1], a[2]});
  if (!pair) return nullptr;
  // dict(zip(("full_transform", "full_transform_inv"), pair))
  Ref it = Ref::steal(PyObject_GetIter(pair.get()));
  Ref d = Ref::steal(PyDict_New());
  if (!it || !d) return nullptr;
  PyObject* keys[2] = {KV_STR("full_transform"), KV_STR("full_transform_inv")};
  for (PyObject* key : keys) {
    Ref v = Ref::steal(PyIter_Next(it.get()));
    if (!v) {
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    if (PyDict_SetItem(d.get(), key, v.get()) < 0) return nullptr;
  }
  if (!update(a[0], d.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* move(PyObject* const* a) { return relative_move(a[0], KV_STR("cursor_pos"), a[1]); }
PyObject* shift(PyObject* const* a) { return relative_move(a[0], KV_STR("shift"), a[1]); }

PyObject* set_shift(PyObject* const* a) {
  Ref cur = record_get(a[0], KV_STR("shift"));
  Ref pad = cur ? pad_to(cur.get(), a[1]) : Ref();
  if (!pad) return nullptr;
  return store(a[0], KV_STR("shift"), pad.get());
}

PyObject* scale(PyObject* const* a) { return add_to(a[0], KV_STR("size"), a[1]); }
PyObject* set_size(PyObject* const* a) { return store(a[0], KV_STR("size"), a[1]); }
PyObject* rotate(PyObject* const* a) { return add_to(a[0], KV_STR("rot"), a[1]); }
PyObject* set_rotate(PyObject* const* a) { return store(a[0], KV_STR("rot"), a[1]); }

// ---- registration --------------------------------------------------------------

const FuncSpec kFunctions[] = {
    {"push_state", push_state, {{"ts"}}, nullptr, true},
    {"pop_state", pop_state, {{"ts"}}, nullptr, true},
    {"peek_state", peek_state, {{"ts"}}, nullptr, true},
    {"set_cam_pos", set_cam_pos, {{"ts"}, {"p"}}, nullptr, true},
    {"set_cam_rot", set_cam_rot, {{"ts"}, {"r"}}, nullptr, true},
    {"cycle_state", cycle_state, {{"ts"}}, nullptr, true},
    {"set_homography", set_homography, {{"ts"}, {"src_pts"}, {"dst_pts"}}, nullptr, true},
    {"move", move, {{"ts"}, {"xy"}}, nullptr, true},
    {"shift", shift, {{"ts"}, {"xy"}}, nullptr, true},
    {"set_shift", set_shift, {{"ts"}, {"xy"}}, nullptr, true},
    {"scale", scale, {{"ts"}, {"ds"}}, nullptr, true},
    {"set_size", set_size, {{"ts"}, {"ds"}}, nullptr, true},
    {"rotate", rotate, {{"ts"}, {"dr"}}, nullptr, true},
    {"set_rotate", set_rotate, {{"ts"}, {"dr"}}, nullptr, true},
};

}  // namespace
}  // namespace kv

namespace kv {
FuncTable state_functions() { return {kFunctions, std::size(kFunctions)}; }
}  // namespace kv
