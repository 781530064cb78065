// Owning reference to a Python object.
// Ref holds one strong reference and drops it when it goes out of scope, so
// every early return releases what it took. Main thread or any thread that
// holds the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kv {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (the result of most C API calls).
  static Ref steal(PyObject* o) {
    Ref r;
    r.p_ = o;
    return r;
  }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return steal(o);
  }
  Ref(const Ref& o) : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller (a function result, a stealing API).
  PyObject* release() {
    PyObject* o = p_;
    p_ = nullptr;
    return o;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A built-in function for a method-table entry that lives as long as the
// process (`module`: its __module__, or nullptr). CPython only reads the
// entry, so the tables stay const. New reference, or nullptr.
inline PyObject* builtin_function(const PyMethodDef& def, PyObject* module = nullptr) {
  return PyCFunction_NewEx(const_cast<PyMethodDef*>(&def), nullptr, module);
}

}  // namespace kv
