// The native function type shared by every Python-visible function.
// A FuncSpec (static table entry) describes name, parameters, defaults,
// docstring and annotations; make_function() turns it into a callable object
// that binds as a method, carries a __dict__ and answers inspect.signature().
// Objects are created at start-up on the main thread and then only read.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "pyapi/ref.hpp"

namespace kv {

// A parameter's default value, made into a Python object when the function is built.
struct Default {
  enum Kind { kRequired, kNone, kBool, kInt, kFloat, kStr } kind = kRequired;
  long long i = 0;
  double d = 0.0;
  const char* s = nullptr;

  static Default required() { return {}; }
  static Default none() { return {kNone}; }
  static Default boolean(bool b) { return {kBool, b ? 1 : 0}; }
  static Default integer(long long v) { return {kInt, v}; }
  static Default real(double v) { return {kFloat, 0, v}; }
  static Default str(const char* v) { return {kStr, 0, 0.0, v}; }
};

struct Param {
  enum Kind { kNormal, kVarArgs, kVarKw };
  const char* name;
  Default def = Default::required();
  Kind kind = kNormal;
};

inline Param opt(const char* name, Default def) { return Param{name, def, Param::kNormal}; }
inline Param var_args(const char* name) { return Param{name, Default::required(), Param::kVarArgs}; }
inline Param var_kw(const char* name) { return Param{name, Default::required(), Param::kVarKw}; }

// The implementation receives one borrowed object per parameter, in order: for
// *args a tuple, for **kwargs a dict. It returns a new reference or nullptr with
// an exception set.
using Impl = PyObject* (*)(PyObject* const* args);

struct FuncSpec {
  const char* name;     // module attribute name
  Impl impl;
  std::vector<Param> params;
  const char* doc = nullptr;   // nullptr: __doc__ is None
  bool is_lambda = false;      // __name__ and __qualname__ are "<lambda>"
  std::vector<std::pair<const char*, const char*>> annotations = {};
};

// A folder's table of function descriptions (static storage).
struct FuncTable {
  const FuncSpec* entries;
  size_t size;
};

// Builds a function object from a fdef (the fdef must outlive it: tables are static).
PyObject* make_function(const FuncSpec* fdef);

// The fdef a function object was made from (nullptr for any other object),
// so that a subsystem can recognise its own functions behind a module name.
const FuncSpec* function_spec(PyObject* o);

// The type object, readied by init_function_type() during start-up.
int init_function_type();

}  // namespace kv
