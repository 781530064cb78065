// Validated views of NumPy images (see image_view.hpp). Interpreter lock held.

#include "pyapi/image_view.hpp"

namespace kv {
namespace {

bool is_image(PyObject* o) {
  if (!PyArray_Check(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  return PyArray_NDIM(a) == 3 && PyArray_TYPE(a) == NPY_UBYTE;
}

void fill(PyObject* o, ImageView* out) {
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  *out = {a,
          static_cast<uint8_t*>(PyArray_DATA(a)),
          PyArray_DIM(a, 0),
          PyArray_DIM(a, 1),
          PyArray_DIM(a, 2),
          PyArray_STRIDE(a, 0),
          PyArray_STRIDE(a, 1),
          PyArray_STRIDE(a, 2)};
}

int ndim_of(PyObject* o) { return PyArray_Check(o) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) : -1; }

}  // namespace

bool image_view(PyObject* o, const char* who, const char* what, ImageView* out) {
  if (is_image(o)) {
    fill(o, out);
    return true;
  }
  if (!PyArray_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be a numpy.ndarray, got %.200s", who, what, Py_TYPE(o)->tp_name);
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != 3) {
    PyErr_Format(PyExc_TypeError, "%s: %s must have three dimensions (height, width, channels), got %d%s", who, what,
                 PyArray_NDIM(a), PyArray_NDIM(a) == 2 ? " (a grayscale image needs a channel axis)" : "");
    return false;
  }
  PyErr_Format(PyExc_TypeError, "%s: %s must have dtype uint8, got %S", who, what,
               reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
  return false;
}

bool canvas_view(PyObject* o, const char* who, const char* what, ImageView* out) {
  if (!is_image(o)) {
    if (!PyArray_Check(o)) {
      PyErr_Format(PyExc_TypeError, "%s: %s must be a numpy.ndarray, got %.200s", who, what, Py_TYPE(o)->tp_name);
      return false;
    }
    PyErr_Format(PyExc_TypeError, "%s: %s must be a uint8 canvas of shape (height, width, channels), got %d dimensions of %S",
                 who, what, ndim_of(o), reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(o))));
    return false;
  }
  if (PyArray_FailUnlessWriteable(reinterpret_cast<PyArrayObject*>(o), "assignment destination") < 0) return false;
  fill(o, out);
  return true;
}

}  // namespace kv
