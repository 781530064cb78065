// NumPy's C API for the whole module. Exactly one translation unit
// (pyapi/numpy.cpp) owns the API table; every other file includes this header.
#pragma once

#include "pyapi/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL KELVRA_ARRAY_API
#ifndef KELVRA_NUMPY_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kv {

// Loads NumPy's C API; ImportError on failure. Called first at start-up.
int import_numpy();

// A new int32 array of shape (n, 1, 2) (the point layout of polylines/fillPoly).
PyObject* new_point_array(Py_ssize_t n, int** data);

}  // namespace kv
