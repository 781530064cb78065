// The array text of image arguments: "<dtype>, <shape>, <hex bytes>".
// The shape is written without blanks, "(4,4,3)", so that every field is one
// piece for the ", " separator; shapes written with blanks are still read.
// Main thread (or any thread holding the interpreter lock).

#include "command/command.hpp"
#include "command/expr.hpp"
#include "pyapi/namespace.hpp"

namespace kv::cmd {
namespace {

// data.hex()
PyObject* hex_of(PyObject* data) { return PyObject_CallMethodNoArgs(data, KV_ID(hex)); }

// bytes.fromhex(text)
PyObject* from_hex(PyObject* text) {
  return PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), KV_ID(fromhex), text);
}

// The shape text: str(shape) without the blanks after its commas.
PyObject* shape_text(PyObject* shape) {
  if (!PyTuple_Check(shape)) return PyObject_Str(shape);
  Py_ssize_t n = PyTuple_GET_SIZE(shape);
  Ref parts = Ref::steal(PyList_New(n));
  if (!parts) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* s = PyObject_Str(PyTuple_GET_ITEM(shape, i));
    if (!s) return nullptr;
    PyList_SET_ITEM(parts.get(), i, s);
  }
  Ref inner = Ref::steal(PyUnicode_Join(KV_ID(s_comma), parts.get()));
  if (!inner) return nullptr;
  return PyUnicode_FromFormat(n == 1 ? "(%U,)" : "(%U)", inner.get());
}

}  // namespace

PyObject* array_to_str(PyObject* arr) {
  Ref dtype = Ref::steal(PyObject_GetAttr(arr, KV_ID(dtype)));
  if (!dtype) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(dtype.get(), KV_ID(name)));
  if (!name) return nullptr;
  Ref shape = Ref::steal(PyObject_GetAttr(arr, KV_ID(shape)));
  if (!shape) return nullptr;
  Ref shape_s = Ref::steal(shape_text(shape.get()));
  if (!shape_s) return nullptr;
  Ref data = Ref::steal(PyObject_CallMethodNoArgs(arr, KV_ID(tobytes)));
  if (!data) return nullptr;
  Ref hex = Ref::steal(hex_of(data.get()));
  if (!hex) return nullptr;
  PyObject* pieces[] = {name.get(), shape_s.get(), hex.get()};
  Ref list = Ref::steal(PyList_New(3));
  if (!list) return nullptr;
  for (int i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(pieces[i]));
  return PyUnicode_Join(KV_ID(s_comma_space), list.get());
}

PyObject* str_to_array(PyObject* s) {
  if (!PyUnicode_Check(s)) {
    // what s.split(", ") says about it
    Ref r = Ref::steal(PyObject_CallMethodOneArg(s, KV_ID(split), KV_ID(s_comma_space)));
    if (r) PyErr_Format(PyExc_TypeError, "array text must be str, not %.200s", Py_TYPE(s)->tp_name);
    return nullptr;
  }
  Ref fields = Ref::steal(PyUnicode_Split(s, KV_ID(s_comma_space), -1));
  if (!fields) return nullptr;
  Py_ssize_t n = PyList_GET_SIZE(fields.get());
  if (n < 3) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
  }
  // dtype first, the data last, the shape in between (one field, or several
  // when it was written with blanks)
  Ref data = Ref::steal(from_hex(PyList_GET_ITEM(fields.get(), n - 1)));
  if (!data) return nullptr;
  Ref frombuffer = global_attr(KV_ID(np), KV_ID(frombuffer));
  if (!frombuffer) return nullptr;
  Ref flat = call(frombuffer.get(), {data.get(), PyList_GET_ITEM(fields.get(), 0)}, KV_KW(dtype));
  if (!flat) return nullptr;
  Ref shape_s;
  if (n == 3) {
    shape_s = Ref::borrow(PyList_GET_ITEM(fields.get(), 1));
  } else {
    Ref mid = Ref::steal(PyList_GetSlice(fields.get(), 1, n - 1));
    if (!mid) return nullptr;
    shape_s = Ref::steal(PyUnicode_Join(KV_ID(s_comma_space), mid.get()));
    if (!shape_s) return nullptr;
  }
  Ref shape = Ref::steal(eval_expr(shape_s.get(), false, s));
  if (!shape) return nullptr;
  return PyObject_CallMethodOneArg(flat.get(), KV_ID(reshape), shape.get());
}

}  // namespace kv::cmd
