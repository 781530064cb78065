// The module's namespace: late-bound global lookups, calls into Python, the
// interned-string cache, printing, and the registry of functions and start-up
// hooks that every subsystem fills. Callers hold the interpreter lock.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "pyapi/function.hpp"
#include "pyapi/ref.hpp"

// An interned str made once per use site and kept for the life of the process.
#define KV_STR(lit)                                                     \
  ([]() -> PyObject* {                                                  \
    static PyObject* s_ = PyUnicode_InternFromString(lit);              \
    return s_;                                                          \
  }())

namespace kv {

// ---- the module ------------------------------------------------------------

// Borrowed: the module object and its namespace dict (set once at start-up).
PyObject* module();
PyObject* module_dict();
void set_module(PyObject* m);

// ---- late binding ----------------------------------------------------------

// The value bound to `name` in the module namespace, else in builtins;
// NameError "name '...' is not defined" when neither has it. Looked up every
// time, from a cache that any change of either namespace empties.
Ref global(PyObject* name);
// obj.attr; for a module, answered from its namespace and cached until any
// watched namespace changes (see namespace.cpp).
Ref attr_of(PyObject* obj, PyObject* attr);
// global(name).attr, e.g. global_attr(KV_STR("cv2"), KV_STR("line")).
Ref global_attr(PyObject* name, PyObject* attr);
int set_global(PyObject* name, PyObject* value);
int set_global(const char* name, PyObject* value);

// The namespace epoch: it moves on at any change of the module's namespace,
// builtins or the namespace of any module asked through attr_of. 0 when no
// dict watcher could be had (nothing may then be cached on it).
uint64_t namespace_epoch();
// Whether attr_of(obj, ...) answers from a namespace the epoch watches.
bool epoch_watches(PyObject* obj);

// ---- calls -----------------------------------------------------------------

// callable(*args), or callable(*args, **kw) with the keyword values last in
// `args` and their names in the tuple `kwnames`.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// Calls the module global `name` with the given arguments.
Ref call_global(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// A tuple of interned keyword names, e.g. kwnames("lineType"), made once per site.
PyObject* make_kwnames(std::initializer_list<const char*> names);

// print(text) through the module's `print`, as the library's report lines are.
int print_line(PyObject* text);
// Concatenation of the pieces (str objects) printed as one line.
int print_concat(std::initializer_list<PyObject*> pieces);
// str(o) appended by the caller: a new reference or nullptr.
inline Ref str_of(PyObject* o) { return Ref::steal(PyObject_Str(o)); }

// file.close() as a with-statement does it: an exception already being raised
// wins over one from close(). False when either is set.
bool close_file(PyObject* file);

// Imports `name` and returns the module (new reference) or nullptr.
Ref import(const char* name);

// ---- registry --------------------------------------------------------------

// Each subsystem registers its table of Python-visible functions with a static
// Registrar; start-up binds them by name in the module's fixed order.
struct Registrar {
  Registrar(const FuncSpec* table, size_t n);
};
const FuncSpec* find_spec(const char* name);

// Start-up steps that belong to a subsystem (the asset manager class, the
// volume monitor) are hooks run at their place in the start-up order.
using StartupHook = int (*)(PyObject* module);
struct HookRegistrar {
  HookRegistrar(const char* step, StartupHook hook);
};
// Runs the hook registered for `step` (0 when there is none, -1 on error).
int run_hook(const char* step, PyObject* module);

}  // namespace kv
