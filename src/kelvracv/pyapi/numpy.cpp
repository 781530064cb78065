// Owner of NumPy's C API table and small array constructors.

#define KELVRA_NUMPY_OWNER
#include "pyapi/numpy.hpp"

namespace kv {

int import_numpy() {
  import_array1(-1);
  return 0;
}

PyObject* new_point_array(Py_ssize_t n, int** data) {
  npy_intp dims[3] = {n, 1, 2};
  PyObject* a = PyArray_SimpleNew(3, dims, NPY_INT32);
  if (a) *data = static_cast<int*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
  return a;
}

}  // namespace kv
