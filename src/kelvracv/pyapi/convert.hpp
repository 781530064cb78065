// Argument checks and number conversions with the library's exact messages.
// Every subsystem converts its arguments through these; none formats a type
// error by hand. Callers hold the interpreter lock.
#pragma once

#include <cmath>
#include <climits>

#include "pyapi/ref.hpp"

namespace kv {

// Declared parameter of an exact built-in type (tuple, dict, list, str).
// none_ok: None passes (drawing primitives); otherwise it is refused too.
// A subclass is refused with an explanatory note on the exception.
bool arg_exact(PyObject* o, PyTypeObject* type, const char* param, bool none_ok);
inline bool arg_tuple(PyObject* o, const char* param, bool none_ok = true) {
  return arg_exact(o, &PyTuple_Type, param, none_ok);
}
inline bool arg_dict(PyObject* o, const char* param, bool none_ok = true) {
  return arg_exact(o, &PyDict_Type, param, none_ok);
}
inline bool arg_list(PyObject* o, const char* param, bool none_ok = true) {
  return arg_exact(o, &PyList_Type, param, none_ok);
}
inline bool arg_str(PyObject* o, const char* param) { return arg_exact(o, &PyUnicode_Type, param, false); }

// Declared numpy.ndarray parameter: an array or a subclass (or None when none_ok).
bool arg_ndarray(PyObject* o, const char* param, bool none_ok = true);

// A value inside a body that must be an exact tuple/list or None:
// TypeError "Expected tuple, got list".
bool body_exact(PyObject* o, PyTypeObject* type);
inline bool body_tuple(PyObject* o) { return body_exact(o, &PyTuple_Type); }

// Declared int parameter: 32-bit signed, through the object's integer conversion.
bool to_int32(PyObject* o, int* out);
// Declared double parameter: the object's float conversion (no str parsing).
bool to_double(PyObject* o, double* out);
bool py_float_slow(PyObject* o, double* out);
// Python's float(o): also parses a str. Fast for float and int.
inline bool py_float(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  return py_float_slow(o, out);
}
// Truth value; -1 on error.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// Python's int() of a double: raises for NaN and infinity, exact for huge values.
inline PyObject* py_int(double v) {
  if (v > -9.2e18 && v < 9.2e18) return PyLong_FromLongLong(static_cast<long long>(v));
  return PyLong_FromDouble(v);
}

// A tuple of floats built from doubles.
PyObject* float_tuple(const double* v, Py_ssize_t n);

// `out[0], ..., out[n-1] = o`: n new references, or false with the error of
// the unpacking form: the interpreter's ("cannot unpack non-iterable int
// object", "not enough values to unpack (expected 2, got 1)") or a compiled
// module's (the iterator's own TypeError, "need more than 1 value to
// unpack"); both say "too many values to unpack (expected 2)".
enum class Unpack { kInterpreter, kCompiled };
bool unpack(PyObject* o, Ref* out, Py_ssize_t n, Unpack form);

// Subscript o[i] with Python semantics (negative indices, any mapping or sequence).
PyObject* item(PyObject* o, Py_ssize_t i);

// Appends a note to the exception being raised.
void add_note(const char* text);

}  // namespace kv
