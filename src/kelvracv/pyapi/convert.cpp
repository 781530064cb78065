// Argument checks and number conversions (see convert.hpp).

#include "pyapi/convert.hpp"

#include "pyapi/messages.hpp"
#include "pyapi/numpy.hpp"

namespace kv {

void add_note(const char* text) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  Ref note = Ref::steal(PyUnicode_FromString(text));
  Ref r = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
  if (!r) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

bool arg_exact(PyObject* o, PyTypeObject* type, const char* param, bool none_ok) {
  if (Py_IS_TYPE(o, type) || (none_ok && o == Py_None)) return true;
  PyErr_Format(PyExc_TypeError, msg::kArgType, param, type->tp_name, Py_TYPE(o)->tp_name);
  if (PyObject_TypeCheck(o, type)) {
    char note[160];
    PyOS_snprintf(note, sizeof note, msg::kSubclassNote, type->tp_name);
    add_note(note);
  }
  return false;
}

bool arg_ndarray(PyObject* o, const char* param, bool none_ok) {
  if (PyArray_Check(o) || (none_ok && o == Py_None)) return true;
  PyErr_Format(PyExc_TypeError, msg::kArgType, param, "numpy.ndarray", Py_TYPE(o)->tp_name);
  return false;
}

bool body_exact(PyObject* o, PyTypeObject* type) {
  if (Py_IS_TYPE(o, type) || o == Py_None) return true;
  PyErr_Format(PyExc_TypeError, msg::kExpected, type->tp_name, Py_TYPE(o)->tp_name);
  return false;
}

bool to_int32(PyObject* o, int* out) {
  Ref num;
  if (!PyLong_Check(o)) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg::kIntRequired);
      return false;
    }
    num = Ref::steal(nb->nb_int(o));
    if (!num) return false;
    if (!PyLong_Check(num.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(num.get())->tp_name);
      return false;
    }
    o = num.get();
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < INT_MIN || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, msg::kIntTooLarge);
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

bool to_double(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool py_float_slow(PyObject* o, double* out) {
  if (PyLong_CheckExact(o)) {
    double v = PyLong_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
  }
  Ref f = Ref::steal(PyNumber_Float(o));
  if (!f) return false;
  *out = PyFloat_AS_DOUBLE(f.get());
  return true;
}

PyObject* float_tuple(const double* v, Py_ssize_t n) {
  Ref t = Ref::steal(PyTuple_New(n));
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) return nullptr;
    PyTuple_SET_ITEM(t.get(), i, f);
  }
  return t.release();
}

PyObject* item(PyObject* o, Py_ssize_t i) {
  if (PyTuple_CheckExact(o) && i >= 0 && i < PyTuple_GET_SIZE(o)) return Py_NewRef(PyTuple_GET_ITEM(o, i));
  if (PyList_CheckExact(o) && i >= 0 && i < PyList_GET_SIZE(o)) return Py_NewRef(PyList_GET_ITEM(o, i));
  Ref idx = Ref::steal(PyLong_FromSsize_t(i));
  if (!idx) return nullptr;
  return PyObject_GetItem(o, idx.get());
}

namespace {

// The error for a sequence that ended after `found` of n values.
bool short_of_values(Py_ssize_t found, Py_ssize_t n, Unpack form) {
  if (form == Unpack::kCompiled)
    PyErr_Format(PyExc_ValueError, msg::kNeedMoreValues, found, found == 1 ? "" : "s");
  else
    PyErr_Format(PyExc_ValueError, msg::kNotEnoughValues, n, found);
  return false;
}

bool too_many_values(Py_ssize_t n) {
  PyErr_Format(PyExc_ValueError, msg::kTooManyValues, n);
  return false;
}

}  // namespace

bool unpack(PyObject* o, Ref* out, Py_ssize_t n, Unpack form) {
  if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
    if (size > n) return too_many_values(n);
    if (size < n) return short_of_values(size, n, form);
    for (Py_ssize_t i = 0; i < n; i++) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(o));
  if (!it) {
    if (form == Unpack::kInterpreter && PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(o)->tp_iter &&
        !PySequence_Check(o)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, msg::kNotIterable, Py_TYPE(o)->tp_name);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < n; i++) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) return PyErr_Occurred() ? false : short_of_values(i, n, form);
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) return too_many_values(n);
  return !PyErr_Occurred();
}

}  // namespace kv
