// The keyword-name tuples and constants of names.hpp, made at start-up.

#include "pyapi/names.hpp"

#include <initializer_list>

namespace kv {

NameState g_names = {};

namespace {

// A tuple of interned strings, e.g. ("target", "daemon").
PyObject* kwnames(std::initializer_list<const char*> names) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* s = PyUnicode_InternFromString(n);
    if (!s) return nullptr;
    PyTuple_SET_ITEM(t.get(), i++, s);
  }
  return t.release();
}

}  // namespace

int init_names() {
#define KV_MAKE_ID(field, text) \
  if (!(KV_ID(field) = PyUnicode_InternFromString(text))) return -1;
  KV_RECORD_KEYS(KV_MAKE_ID)
  KV_IDS(KV_MAKE_ID)
#undef KV_MAKE_ID
#define KV_MAKE_KW(field, ...) \
  if (!(KV_KW(field) = kwnames({__VA_ARGS__}))) return -1;
  KV_KWNAMES(KV_MAKE_KW)
#undef KV_MAKE_KW
#define KV_MAKE_CONST(field, expr) \
  if (!(KV_CONST(field) = (expr))) return -1;
  KV_CONSTANTS(KV_MAKE_CONST)
#undef KV_MAKE_CONST
  return 0;
}

}  // namespace kv
