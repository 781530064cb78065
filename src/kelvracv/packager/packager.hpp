// Project packaging: the Python-visible entry point of this folder (bound by
// bind.cpp). Runs on the caller's thread, interpreter lock held.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::packager {

// compile_project(main_file_path): the project of the main script packed into
// <main>_c.py beside it; returns the output path (a new reference) or nullptr.
PyObject* compile_project(PyObject* main_file_path);

}  // namespace kv::packager
