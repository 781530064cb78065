// The expression language of command arguments and array shapes: number and
// string literals, tuples and lists, names of module globals, subscripts and
// plain arithmetic. Script text never runs code: calls, attribute access,
// comprehensions, lambdas and dunder names are refused before anything is
// evaluated. Main thread (or any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::cmd {

// Evaluates `text` (a str). wrapped: the text is read as "(" + text + ")",
// as the expression converter does; otherwise as it stands (the shape field).
// `local_s` (may be null) is the value of the name `s`.
// Returns a new reference, or nullptr with SyntaxError (malformed text),
// ValueError (a refused construct, with the reason) or the error the
// evaluation itself raised (NameError, ZeroDivisionError, ...).
PyObject* eval_expr(PyObject* text, bool wrapped, PyObject* local_s);

// The expression converter on the stretch owner[start:end] of a str, read as
// "(" + stretch + ")"; `s` is the stretch, made into a str only when used.
PyObject* eval_span(PyObject* owner, Py_ssize_t start, Py_ssize_t end);

}  // namespace kv::cmd
