// The draw-command language: command strings, their conversion and
// execution, the array text of image arguments and TVF script files.
// Internal forms shared by the Python-visible wrappers in bind.cpp.
// Main thread (or any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::cmd {

// ---- commands (command.cpp) -----------------------------------------------------

// Where a command comes from: a label object (`info`), or a TVF line whose
// label "TVF '<path>' line <n>" is built only when it is printed or passed on.
struct Origin {
  PyObject* info = nullptr;  // borrowed
  PyObject* path = nullptr;  // borrowed, with `line`, when info is null
  Py_ssize_t line = 0;
  Ref label() const;
};

// Whether `f` is this subsystem's own function `name` (bind.cpp): then the
// internal form is called directly instead of through Python.
bool is_own(PyObject* f, const char* name);

// draw_command_convert: [target, arguments...] or None after printing the
// error line; nullptr with an exception only for errors that propagate.
PyObject* convert(PyObject* cmd_str, const Origin& origin);
// draw_command: converts through the module's draw_command_convert and runs
// the target; prints the execution error line. None or nullptr.
PyObject* execute(PyObject* arr, PyObject* ts, PyObject* cmd_str, const Origin& origin);
// execute() of the command text[start:end] (a line of a script read in place).
PyObject* execute_span(PyObject* arr, PyObject* ts, PyObject* text, Py_ssize_t start, Py_ssize_t end,
                       const Origin& origin);

// ---- array text (array_text.cpp) ---------------------------------------------

PyObject* array_to_str(PyObject* arr);
PyObject* str_to_array(PyObject* s);

// ---- scripts (tvf.cpp) ---------------------------------------------------------

PyObject* draw_tvf(PyObject* arr, PyObject* ts, PyObject* file_name);

}  // namespace kv::cmd
