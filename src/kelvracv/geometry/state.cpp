// The transform-state functions and the TS_STACK discipline: save, restore,
// peek and cycle records; edit pen, origin, scale, rotation, camera and
// homography. Every writer stores a new value object (never mutates one),
// which keeps the shallow copies on the stack safe. Main thread.

#include "geometry/state.hpp"

#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv::state {
namespace {

// ---- internal helpers ----------------------------------------------------------

// mapping.update(other): the dict fast path or the object's own method.
bool update(PyObject* ts, PyObject* other) {
  if (PyDict_CheckExact(ts) && PyDict_Check(other)) return PyDict_Update(ts, other) == 0;
  Ref r = Ref::steal(PyObject_CallMethodOneArg(ts, KV_ID(update), other));
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

}  // namespace

// ---- stack functions -----------------------------------------------------------

PyObject* push_state(PyObject* ts) {
  Ref keys = global(KV_ID(STATE_KEYS));
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
  Ref stack = global(KV_ID(TS_STACK));
  if (!stack) return nullptr;
  if (PyList_CheckExact(stack.get())) {
    if (PyList_Append(stack.get(), saved.get()) < 0) return nullptr;
  } else if (!Ref::steal(PyObject_CallMethodOneArg(stack.get(), KV_ID(append), saved.get()))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

namespace {

// TS_STACK and whether it holds anything; -1 on error.
int stack_nonempty(Ref* stack) {
  *stack = global(KV_ID(TS_STACK));
  if (!*stack) return -1;
  return truth(stack->get());
}

Ref stack_pop(PyObject* stack) { return Ref::steal(PyObject_CallMethodNoArgs(stack, KV_ID(pop))); }

}  // namespace

PyObject* pop_state(PyObject* ts) {
  Ref stack;
  int n = stack_nonempty(&stack);
  if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
  Ref top = stack_pop(stack.get());
  if (!top || !update(ts, top.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* peek_state(PyObject* ts) {
  Ref stack;
  int n = stack_nonempty(&stack);
  if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
  Ref top = Ref::steal(item(stack.get(), -1));
  Ref copy = top ? Ref::steal(PyObject_CallMethodNoArgs(top.get(), KV_ID(copy))) : Ref();
  if (!copy || !update(ts, copy.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* cycle_state() {
  Ref stack;
  int n = stack_nonempty(&stack);
  if (n <= 0) return n < 0 ? nullptr : Py_NewRef(Py_None);
  Ref top = stack_pop(stack.get());
  if (!top) return nullptr;
  if (PyList_CheckExact(stack.get())) {
    if (PyList_Insert(stack.get(), 0, top.get()) < 0) return nullptr;
  } else {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || !Ref::steal(PyObject_CallMethodObjArgs(stack.get(), KV_ID(insert), zero.get(), top.get(),
                                                         nullptr)))
      return nullptr;
  }
  Py_RETURN_NONE;
}

// ---- record editors ------------------------------------------------------------

PyObject* set_cam_pos(PyObject* ts, PyObject* p) { return set_float_tuple(ts, KV_ID(cam_pos_3d), p); }
PyObject* set_cam_rot(PyObject* ts, PyObject* r) { return set_float_tuple(ts, KV_ID(cam_rot_3d), r); }

PyObject* set_homography(PyObject* ts, PyObject* src_pts, PyObject* dst_pts) {
  if (!body_exact(src_pts, &PyList_Type) || !body_exact(dst_pts, &PyList_Type)) return nullptr;
  Ref pair = call_global(KV_ID(set_homography_core), {src_pts, dst_pts});
  if (!pair) return nullptr;
  // dict(zip(("full_transform", "full_transform_inv"), pair))
  Ref it = Ref::steal(PyObject_GetIter(pair.get()));
  Ref d = Ref::steal(PyDict_New());
  if (!it || !d) return nullptr;
  PyObject* keys[2] = {KV_ID(full_transform), KV_ID(full_transform_inv)};
  for (PyObject* key : keys) {
    Ref v = Ref::steal(PyIter_Next(it.get()));
    if (!v) {
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    if (PyDict_SetItem(d.get(), key, v.get()) < 0) return nullptr;
  }
  if (!update(ts, d.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* move(PyObject* ts, PyObject* xy) { return relative_move(ts, KV_ID(cursor_pos), xy); }
PyObject* shift(PyObject* ts, PyObject* xy) { return relative_move(ts, KV_ID(shift), xy); }

// The pen set to xy: two coordinates in 2-D; in 3-D mode three (a missing z is 0.0).
PyObject* set_pos(PyObject* ts, PyObject* xy) {
  Ref flag = record_get(ts, KV_ID(is_3d));
  if (!flag) return nullptr;
  int is_3d = PyObject_IsTrue(flag.get());
  if (is_3d < 0) return nullptr;
  Py_ssize_t n = is_3d ? PyObject_Length(xy) : 0;
  if (n < 0) return nullptr;
  Ref x = Ref::steal(item(xy, 0));
  if (!x) return nullptr;
  Ref y = Ref::steal(item(xy, 1));
  if (!y) return nullptr;
  Ref pos;
  if (is_3d && n == 3) {
    Ref z = Ref::steal(item(xy, 2));
    if (!z) return nullptr;
    pos = Ref::steal(PyTuple_Pack(3, x.get(), y.get(), z.get()));
  } else if (is_3d) {
    Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
    if (!zero) return nullptr;
    pos = Ref::steal(PyTuple_Pack(3, x.get(), y.get(), zero.get()));
  } else {
    pos = Ref::steal(PyTuple_Pack(2, x.get(), y.get()));
  }
  if (!pos || PyObject_SetItem(ts, KV_ID(cursor_pos), pos.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* set_shift(PyObject* ts, PyObject* xy) {
  Ref cur = record_get(ts, KV_ID(shift));
  Ref pad = cur ? pad_to(cur.get(), xy) : Ref();
  if (!pad) return nullptr;
  return store(ts, KV_ID(shift), pad.get());
}

PyObject* scale(PyObject* ts, PyObject* ds) { return add_to(ts, KV_ID(size), ds); }
PyObject* set_size(PyObject* ts, PyObject* ds) { return store(ts, KV_ID(size), ds); }
PyObject* rotate(PyObject* ts, PyObject* dr) { return add_to(ts, KV_ID(rot), dr); }
PyObject* set_rotate(PyObject* ts, PyObject* dr) { return store(ts, KV_ID(rot), dr); }

}  // namespace kv::state
