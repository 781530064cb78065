// The native function type shared by every Python-visible function, and the
// one declaration each of them is written in. A declaration
//
//   def<draw::circle, Order::kNumbersFirst>("circle", "arr"_a.ndarray(), "ts"_a.dict(), "radius",
//                                           "color"_a.tuple(), "thickness"_a = 1, ...)
//
// gives the Python name, each parameter's name, kind, default, declared check
// and annotation, the docstring and whether the function shows as "<lambda>".
// From the routine's C++ parameter types it makes the converter: an int, double
// or bool parameter is converted (to_int32, to_double, truth), a PyObject* one
// is checked as declared, then the routine receives the typed values (a bool
// result is None or the error). The declaration is the only source of the
// runtime's signature, docstring and annotations: the type stub and the tests'
// surface file are generated from the module (tools/gen_stub.py), the stub's
// types and documentation coming from docs/reference.md, checked against it.
// make_function() turns the FuncDecl into a callable object that binds as a
// method, carries a __dict__ and answers inspect.signature(). Objects are
// created at start-up on the main thread and then only read.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyapi/convert.hpp"
#include "pyapi/ref.hpp"

namespace kv {

// ---- types ---------------------------------------------------------------

// A parameter's default value, made into a Python object when the function is built.
struct Default {
  enum Kind { kRequired, kNone, kBool, kInt, kFloat, kStr } kind = kRequired;
  long long i = 0;
  double d = 0.0;
  const char* s = nullptr;
};

struct Param {
  enum Kind { kNormal, kVarArgs, kVarKw };
  const char* name;
  Default def = {};
  Kind kind = kNormal;
  const char* annotation = nullptr;  // the runtime's annotation string, or none
};

// What a PyObject* parameter is checked for before the routine runs (the
// library's exact messages, pyapi/convert.hpp): an exact tuple, dict or str,
// a numpy.ndarray (or subclass); None passes unless the declaration says not_none().
// *args and **kwargs arrive as a tuple and a dict, unchecked.
enum class Check { kAny, kTuple, kDict, kNdarray, kStr, kVarArgs, kVarKw };

// The order the checks run in: the parameters' own order, or every number
// (int, double, bool) converted first and the object checks after, in
// parameter order (the drawing primitives).
enum class Order { kDeclared, kNumbersFirst };

// One parameter as a declaration writes it: "name"_a, with .tuple() / .dict()
// / .ndarray() / .str() for its check, .not_none(), .ann("type") for the
// annotation and `= value` for its default (nullptr: None).
template <Check C = Check::kAny, bool NoneOk = true>
struct Arg {
  static constexpr Check kCheck = C;
  static constexpr bool kNoneOk = NoneOk;
  Param p;

  constexpr Arg<Check::kTuple, NoneOk> tuple() const { return {p}; }
  constexpr Arg<Check::kDict, NoneOk> dict() const { return {p}; }
  constexpr Arg<Check::kNdarray, NoneOk> ndarray() const { return {p}; }
  constexpr Arg<Check::kStr, false> str() const { return {p}; }
  constexpr Arg<C, false> not_none() const { return {p}; }
  constexpr Arg ann(const char* annotation) const { return with([&](Param& q) { q.annotation = annotation; }); }

  // `= value` makes a copy with the default: a shared constant such as kColor stays as it is.
  constexpr Arg operator=(std::nullptr_t) const { return with([](Param& q) { q.def = {Default::kNone}; }); }
  constexpr Arg operator=(bool v) const { return with([&](Param& q) { q.def = {Default::kBool, v}; }); }
  constexpr Arg operator=(int v) const { return with([&](Param& q) { q.def = {Default::kInt, v}; }); }
  constexpr Arg operator=(double v) const { return with([&](Param& q) { q.def = {Default::kFloat, 0, v}; }); }
  constexpr Arg operator=(const char* v) const {
    return with([&](Param& q) { q.def = {Default::kStr, 0, 0.0, v}; });
  }

 private:
  template <typename F>
  constexpr Arg with(F&& edit) const {
    Arg r = *this;
    edit(r.p);
    return r;
  }
};

constexpr Arg<> operator""_a(const char* name, std::size_t) { return {Param{name}}; }
// *name and **name: a tuple and a dict of what is left over.
constexpr Arg<Check::kVarArgs> var_args(const char* name) { return {Param{name, {}, Param::kVarArgs}}; }
constexpr Arg<Check::kVarKw> var_kw(const char* name) { return {Param{name, {}, Param::kVarKw}}; }

struct FuncDecl;

// The entry a function object calls: one borrowed object per parameter, in
// order (for *args a tuple, for **kwargs a dict). Returns a new reference or
// nullptr with an exception set.
using Impl = PyObject* (*)(const FuncDecl* decl, PyObject* const* args);

// A function's declaration, made by def() below; .doc(), .lambda() and
// .returns() add the docstring, the "<lambda>" name and the return annotation.
struct FuncDecl {
  const char* name;  // module attribute name
  Impl impl;
  std::vector<Param> params;
  const char* doc_text = nullptr;      // nullptr: __doc__ is None
  bool is_lambda = false;              // __name__ and __qualname__ are "<lambda>"
  const char* return_annotation = nullptr;

  FuncDecl doc(const char* text) const { return edited([&](FuncDecl& f) { f.doc_text = text; }); }
  FuncDecl lambda() const { return edited([](FuncDecl& f) { f.is_lambda = true; }); }
  FuncDecl returns(const char* annotation) const {
    return edited([&](FuncDecl& f) { f.return_annotation = annotation; });
  }

 private:
  template <typename F>
  FuncDecl edited(F&& edit) const {
    FuncDecl r = *this;
    edit(r);
    return r;
  }
};

// ---- the converter a declaration makes -------------------------------------

namespace decl {

template <typename A>
struct AsArg {  // "name" written without _a
  using type = Arg<>;
};
template <Check C, bool N>
struct AsArg<Arg<C, N>> {
  using type = Arg<C, N>;
};
template <typename A>
using ArgOf = typename AsArg<std::decay_t<A>>::type;

constexpr Param param_of(const char* name) { return Param{name}; }
template <Check C, bool N>
constexpr Param param_of(const Arg<C, N>& a) {
  return a.p;
}

template <typename T>
constexpr bool kIsNumber = std::is_same_v<T, int> || std::is_same_v<T, double> || std::is_same_v<T, bool>;

// One argument into the routine's parameter type T, as A declares it.
template <typename T, typename A>
inline bool convert(PyObject* o, const char* name, T* out) {
  if constexpr (kIsNumber<T>) {
    static_assert(A::kCheck == Check::kAny, "a number parameter is ordinary and takes no object check");
    if constexpr (std::is_same_v<T, int>) {
      return to_int32(o, out);
    } else if constexpr (std::is_same_v<T, double>) {
      return to_double(o, out);
    } else {
      int t = truth(o);
      *out = t > 0;
      return t >= 0;
    }
  } else {
    static_assert(std::is_same_v<T, PyObject*>, "a routine takes int, double, bool or PyObject* parameters");
    *out = o;
    if constexpr (A::kCheck == Check::kTuple) return arg_tuple(o, name, A::kNoneOk);
    if constexpr (A::kCheck == Check::kDict) return arg_dict(o, name, A::kNoneOk);
    if constexpr (A::kCheck == Check::kNdarray) return arg_ndarray(o, name, A::kNoneOk);
    if constexpr (A::kCheck == Check::kStr) return arg_str(o, name);
    return true;
  }
}

// Converts the arguments whose type is (or is not) a number, in parameter order.
template <bool Numbers, typename... T, typename... A, std::size_t... I>
inline bool convert_some(const FuncDecl* s, PyObject* const* a, std::tuple<T...>& v, std::index_sequence<I...>,
                         const A*...) {
  return ((kIsNumber<T> != Numbers || convert<T, A>(a[I], s->params[I].name, &std::get<I>(v))) && ...);
}

// Converts every argument, in parameter order.
template <typename... T, typename... A, std::size_t... I>
inline bool convert_all(const FuncDecl* s, PyObject* const* a, std::tuple<T...>& v, std::index_sequence<I...>,
                        const A*...) {
  return (convert<T, A>(a[I], s->params[I].name, &std::get<I>(v)) && ...);
}

template <auto Fn, Order O, typename R, typename... T, typename... A>
inline PyObject* call(const FuncDecl* s, PyObject* const* a, R (*)(T...), const A*... decls) {
  static_assert(sizeof...(T) == sizeof...(A), "one declared parameter per parameter of the routine");
  std::tuple<T...> v{};
  auto seq = std::index_sequence_for<T...>{};
  bool ok = O == Order::kNumbersFirst
                ? convert_some<true>(s, a, v, seq, decls...) && convert_some<false>(s, a, v, seq, decls...)
                : convert_all(s, a, v, seq, decls...);
  if (!ok) return nullptr;
  if constexpr (std::is_same_v<R, bool>) {
    return std::apply(Fn, v) ? Py_NewRef(Py_None) : nullptr;
  } else {
    static_assert(std::is_same_v<R, PyObject*>, "a routine returns PyObject* (a new reference) or bool");
    return std::apply(Fn, v);
  }
}

}  // namespace decl

// The declaration of one function: the routine Fn, its Python name and its
// parameters (see Arg).
template <auto Fn, Order O = Order::kDeclared, typename... A>
FuncDecl def(const char* name, A... params) {
  Impl impl = [](const FuncDecl* s, PyObject* const* a) {
    return decl::call<Fn, O>(s, a, Fn, static_cast<const decl::ArgOf<A>*>(nullptr)...);
  };
  return FuncDecl{name, impl, {decl::param_of(params)...}};
}

// A folder's table of function descriptions (static storage).
struct FuncTable {
  const FuncDecl* entries;
  size_t size;
};

// Builds a function object from a fdef (the fdef must outlive it: tables are static).
PyObject* make_function(const FuncDecl* fdef);

// The fdef a function object was made from (nullptr for any other object),
// so that a subsystem can recognise its own functions behind a module name.
const FuncDecl* function_decl(PyObject* o);

// The type object, readied by init_function_type() during start-up.
int init_function_type();

}  // namespace kv
