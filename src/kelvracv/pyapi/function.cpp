// The native function type: calling through vectorcall, argument binding with
// the library's exact messages, method binding, attributes and signature.
// Owns: the type object. Objects are made at start-up and called from any
// thread that holds the interpreter lock.

#include "pyapi/function.hpp"

#include <structmember.h>

#include "pyapi/messages.hpp"

namespace kv {

PyObject* call_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

namespace {

// ---- types ---------------------------------------------------------------

constexpr Py_ssize_t kMaxParams = 32;

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncDecl* fdef;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* annotations;  // built on first access
  PyObject* signature;    // built on first access
  PyObject* weaklist;
  Py_ssize_t nparams;     // all parameters, *args and **kwargs included
  Py_ssize_t npos;        // ordinary (positional-or-keyword) parameters
  Py_ssize_t nrequired;   // ordinary parameters without a default
  Py_ssize_t varargs_at;  // index of *args, or -1
  Py_ssize_t varkw_at;    // index of **kwargs, or -1
  PyObject* names[kMaxParams];     // interned parameter names
  PyObject* defaults[kMaxParams];  // nullptr where required
};

// A static type: PyType_Ready fills it in, so it stays writable.
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- internal helpers ------------------------------------------------------

const char* c_name(FunctionObject* f) {
  const char* s = PyUnicode_AsUTF8(f->name);
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return s;
}

// The count error, worded like CPython's compiled-function argument errors.
PyObject* count_error(FunctionObject* f, Py_ssize_t found) {
  bool exact = f->nrequired == f->npos && f->varargs_at < 0;
  Py_ssize_t expected;
  const char* more_or_less;
  if (found < f->nrequired) {
    expected = f->nrequired;
    more_or_less = "at least";
  } else {
    expected = f->npos;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, msg::kArgCount, c_name(f), more_or_less, expected,
               expected == 1 ? "" : "s", found);
  return nullptr;
}

// Index of the ordinary parameter called `key`, or -1.
Py_ssize_t find_param(FunctionObject* f, PyObject* key) {
  for (Py_ssize_t i = 0; i < f->npos; i++)
    if (f->names[i] == key) return i;
  for (Py_ssize_t i = 0; i < f->npos; i++)
    if (PyUnicode_Compare(f->names[i], key) == 0) return i;
  return -1;
}

// Every positional argument supplied and nothing else: no copying.
PyObject* call_fast(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const bool no_keywords = !kwnames || PyTuple_GET_SIZE(kwnames) == 0;
  if (nargs == f->npos && no_keywords) return f->fdef->impl(f->fdef, args);
  // Trailing parameters left to their defaults (line(arr, ts, d, color)).
  if (no_keywords && nargs >= f->nrequired && nargs < f->npos) {
    PyObject* vals[kMaxParams];
    for (Py_ssize_t i = 0; i < nargs; i++) vals[i] = args[i];
    for (Py_ssize_t i = nargs; i < f->npos; i++)
      if (!(vals[i] = f->defaults[i])) return call_general(self, args, nargsf, kwnames);
    return f->fdef->impl(f->fdef, vals);
  }
  // Anything else goes through the general binder.
  return call_general(self, args, nargsf, kwnames);
}

}  // namespace

namespace {

// Keywords left over once the parameters are bound: a duplicate, an unknown
// name, or an entry of **kwargs (collected into *extra_kw).
bool bind_leftover_keywords(FunctionObject* f, PyObject* const* kwvals, PyObject* kwnames, Py_ssize_t npos_given,
                            Ref* extra_kw) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); k++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t at = find_param(f, key);
    if (at >= npos_given) continue;  // bound already
    if (at >= 0) {
      PyErr_Format(PyExc_TypeError, msg::kMultipleValues, c_name(f), key);
      return false;
    }
    if (f->varkw_at < 0) {
      PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, c_name(f), key);
      return false;
    }
    if (!*extra_kw && !(*extra_kw = Ref::steal(PyDict_New()))) return false;
    if (PyDict_SetItem(extra_kw->get(), key, kwvals[k]) < 0) return false;
  }
  return true;
}

// Parameters not given positionally, in order: by keyword, else the default.
// False (with the count error) when a required one is missing.
bool bind_rest(FunctionObject* f, PyObject* const* kwvals, PyObject* kwnames, Py_ssize_t npos_given,
               PyObject** vals) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = npos_given; i < f->npos; i++) {
    for (Py_ssize_t k = 0; k < nkw; k++) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (key == f->names[i] || PyUnicode_Compare(key, f->names[i]) == 0) {
        vals[i] = kwvals[k];
        break;
      }
    }
    if (!vals[i]) {
      if (!f->defaults[i]) {
        count_error(f, i);
        return false;
      }
      vals[i] = f->defaults[i];
    }
  }
  return true;
}

}  // namespace

// Binds positional and keyword arguments to the parameter list, fills defaults,
// collects *args and **kwargs, then calls the implementation.
PyObject* call_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* vals[kMaxParams] = {};
  Ref extra_args, extra_kw;

  if (nargs > f->npos) {
    if (f->varargs_at < 0) return count_error(f, nargs);
    extra_args = Ref::steal(PyTuple_New(nargs - f->npos));
    if (!extra_args) return nullptr;
    for (Py_ssize_t i = f->npos; i < nargs; i++)
      PyTuple_SET_ITEM(extra_args.get(), i - f->npos, Py_NewRef(args[i]));
  }
  Py_ssize_t npos_given = nargs < f->npos ? nargs : f->npos;
  for (Py_ssize_t i = 0; i < npos_given; i++) vals[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; k++) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) {
      PyErr_Format(PyExc_TypeError, msg::kKeywordsStrings, c_name(f));
      return nullptr;
    }
  }
  if (!bind_rest(f, args + nargs, kwnames, npos_given, vals)) return nullptr;
  if (nkw && !bind_leftover_keywords(f, args + nargs, kwnames, npos_given, &extra_kw)) return nullptr;
  if (f->varargs_at >= 0) {
    if (!extra_args && !(extra_args = Ref::steal(PyTuple_New(0)))) return nullptr;
    vals[f->varargs_at] = extra_args.get();
  }
  if (f->varkw_at >= 0) {
    if (!extra_kw && !(extra_kw = Ref::steal(PyDict_New()))) return nullptr;
    vals[f->varkw_at] = extra_kw.get();
  }
  return f->fdef->impl(f->fdef, vals);
}

namespace {

PyObject* make_default(const Default& d) {
  switch (d.kind) {
    case Default::kRequired: return nullptr;
    case Default::kNone: return Py_NewRef(Py_None);
    case Default::kBool: return PyBool_FromLong(static_cast<long>(d.i));
    case Default::kInt: return PyLong_FromLongLong(d.i);
    case Default::kFloat: return PyFloat_FromDouble(d.d);
    case Default::kStr: return PyUnicode_FromString(d.s);
  }
  return nullptr;
}

// ---- type slots --------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->annotations);
  Py_VISIT(f->signature);
  for (Py_ssize_t i = 0; i < f->nparams; i++) Py_VISIT(f->defaults[i]);
  return 0;
}

int fn_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->signature);
  for (Py_ssize_t i = 0; i < f->nparams; i++) {
    Py_CLEAR(f->defaults[i]);
    Py_CLEAR(f->names[i]);
  }
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->weaklist) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
}

PyObject* fn_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Stored in a class, the function becomes a method of its instances.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int set_str_attr(PyObject** slot, PyObject* value, const char* attr) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_attr(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_attr(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->annotations) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    // The parameters' annotations in their order, then the return annotation.
    auto add = [&](const char* key, const char* value) {
      Ref v = Ref::steal(PyUnicode_FromString(value));
      return v && PyDict_SetItemString(d.get(), key, v.get()) == 0;
    };
    for (const Param& p : f->fdef->params)
      if (p.annotation && !add(p.name, p.annotation)) return nullptr;
    if (f->fdef->return_annotation && !add("return", f->fdef->return_annotation)) return nullptr;
    f->annotations = d.release();
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (value && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(f->annotations, (value && value != Py_None) ? Py_NewRef(value) : nullptr);
  return 0;
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->nrequired == f->npos) Py_RETURN_NONE;
  Ref t = Ref::steal(PyTuple_New(f->npos - f->nrequired));
  if (!t) return nullptr;
  for (Py_ssize_t i = f->nrequired; i < f->npos; i++)
    PyTuple_SET_ITEM(t.get(), i - f->nrequired, Py_NewRef(f->defaults[i]));
  return t.release();
}

// inspect.signature() asks for __signature__ first; build it once from the parameter table.
PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->signature) return Py_NewRef(f->signature);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  Ref annotations = Ref::steal(get_annotations(self, nullptr));
  Ref params = Ref::steal(PyList_New(0));
  if (!parameter || !signature || !annotations || !params) return nullptr;
  for (Py_ssize_t i = 0; i < f->nparams; i++) {
    const char* kind_name = i == f->varargs_at  ? "VAR_POSITIONAL"
                            : i == f->varkw_at ? "VAR_KEYWORD"
                                               : "POSITIONAL_OR_KEYWORD";
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), kind_name));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kind || !kwargs) return nullptr;
    if (f->defaults[i] && PyDict_SetItemString(kwargs.get(), "default", f->defaults[i]) < 0) return nullptr;
    PyObject* ann = nullptr;
    if (PyDict_GetItemRef(annotations.get(), f->names[i], &ann) < 0) return nullptr;
    Ref ann_ref = Ref::steal(ann);
    if (ann && PyDict_SetItemString(kwargs.get(), "annotation", ann) < 0) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(2, f->names[i], kind.get()));
    if (!args) return nullptr;
    Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  Ref sig_args = Ref::steal(PyTuple_Pack(1, params.get()));
  if (!sig_args) return nullptr;
  Ref sig_kwargs = Ref::steal(PyDict_New());
  if (!sig_kwargs) return nullptr;
  PyObject* ret = nullptr;
  if (PyDict_GetItemStringRef(annotations.get(), "return", &ret) < 0) return nullptr;
  Ref ret_ref = Ref::steal(ret);
  if (ret && PyDict_SetItemString(sig_kwargs.get(), "return_annotation", ret) < 0) return nullptr;
  f->signature = PyObject_Call(signature.get(), sig_args.get(), sig_kwargs.get());
  return Py_XNewRef(f->signature);
}

const PyGetSetDef kGetSet[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyMemberDef kMembers[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

// ---- public routines ---------------------------------------------------------

int init_function_type() {
  FunctionType.tp_name = "kelvracv._kelvra_core.function";
  FunctionType.tp_basicsize = sizeof(FunctionObject);
  FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE;
  FunctionType.tp_doc = "A function of the kelvracv native core.";
  FunctionType.tp_dealloc = fn_dealloc;
  FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_repr = fn_repr;
  FunctionType.tp_traverse = fn_traverse;
  FunctionType.tp_clear = fn_clear;
  FunctionType.tp_descr_get = fn_descr_get;
  FunctionType.tp_getset = const_cast<PyGetSetDef*>(kGetSet);  // CPython only reads the tables
  FunctionType.tp_members = const_cast<PyMemberDef*>(kMembers);
  FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
  FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weaklist);
  FunctionType.tp_getattro = PyObject_GenericGetAttr;
  FunctionType.tp_setattro = PyObject_GenericSetAttr;
  return PyType_Ready(&FunctionType);
}

const FuncDecl* function_decl(PyObject* o) {
  return Py_IS_TYPE(o, &FunctionType) ? reinterpret_cast<FunctionObject*>(o)->fdef : nullptr;
}

PyObject* make_function(const FuncDecl* fdef) {
  if (static_cast<Py_ssize_t>(fdef->params.size()) > kMaxParams) {
    PyErr_Format(PyExc_SystemError, "make_function: %s has too many parameters", fdef->name);
    return nullptr;
  }
  auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!f) return nullptr;
  f->fdef = fdef;
  f->name = f->qualname = f->module = f->doc = f->dict = f->annotations = f->signature = f->weaklist = nullptr;
  f->nparams = 0;
  f->npos = 0;
  f->nrequired = 0;
  f->varargs_at = f->varkw_at = -1;
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));  // drops f on any failure below

  for (const Param& p : fdef->params) {
    Py_ssize_t i = f->nparams;
    f->names[i] = PyUnicode_InternFromString(p.name);
    f->defaults[i] = nullptr;
    f->nparams++;
    if (!f->names[i]) return nullptr;
    if (p.kind == Param::kVarArgs) {
      f->varargs_at = i;
    } else if (p.kind == Param::kVarKw) {
      f->varkw_at = i;
    } else {
      if (f->npos != i) {
        PyErr_Format(PyExc_SystemError, "make_function: %s lists a parameter after *args", fdef->name);
        return nullptr;
      }
      f->npos++;
      if (p.def.kind == Default::kRequired) {
        if (f->nrequired != i) {
          PyErr_Format(PyExc_SystemError, "make_function: %s lists a required parameter after a default",
                       fdef->name);
          return nullptr;
        }
        f->nrequired++;
      } else if (!(f->defaults[i] = make_default(p.def))) {
        return nullptr;
      }
    }
  }
  const char* shown = fdef->is_lambda ? "<lambda>" : fdef->name;
  f->name = PyUnicode_InternFromString(shown);
  f->qualname = Py_XNewRef(f->name);
  f->module = PyUnicode_InternFromString("kelvracv._kelvra_core");
  f->doc = fdef->doc_text ? PyUnicode_FromString(fdef->doc_text) : Py_NewRef(Py_None);
  if (!f->name || !f->module || !f->doc) return nullptr;
  const bool simple = f->varargs_at < 0 && f->varkw_at < 0;
  f->vectorcall = simple ? call_fast : call_general;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return owner.release();
}

}  // namespace kv
