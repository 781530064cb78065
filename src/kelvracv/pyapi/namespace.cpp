// Late-bound global lookups, calls and printing.

#include "pyapi/namespace.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/switches.hpp"
#include "pyapi/messages.hpp"

namespace kv {
namespace {

// The module whose globals the library reads, set once at start-up.
struct NamespaceState {
  PyObject* module = nullptr;    // strong, for the life of the process
  PyObject* dict = nullptr;      // borrowed from module
  PyObject* builtins = nullptr;
  bool globals_watched = false;  // the lookup cache watches dict and builtins
};
NamespaceState g_ns;

// ---- lookup cache ----------------------------------------------------------
//
// Every lookup is late-bound, but most find what they found the time before.
// A dict watcher on the namespaces the cached values came from (the module's,
// builtins, the namespaces of modules such as cv2) moves an epoch on at a
// change of them; an entry is only used while the epoch it was made in
// holds, so a program that rebinds a name is seen at the next lookup. In the
// module's namespace and builtins only the names the library reads (looked
// up through here) count: the input globals, which the listeners and the web
// page rebind all the time, are read afresh at each use and move nothing,
// nor do the program's own globals. Any change of another module's namespace
// counts (what Pillow or OpenCV do may depend on any of their names).

// (owner, key) -> value, direct-mapped; owner nullptr for the module's
// globals. The owner is held, so its address names it; the value is
// borrowed: while the epoch holds, the namespace it came from is unchanged
// and still holds it.
struct Entry {
  PyObject* owner = nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  uint64_t epoch = 0;
};
constexpr int kEntries = 64;

// The lookup cache. Owner: this file. Bound: kEntries entries. Eviction: an
// entry is replaced by the next lookup that maps to its slot, and every
// entry goes stale at once when the epoch moves. The set of names read holds
// one entry per name the library reads, never dropped.
struct LookupCacheState {
  int watcher = -1;  // -2: no watcher to be had, lookups go uncached
  uint64_t epoch = 1;
  PyObject* read_names = nullptr;  // set of the names read through the cache (exact str)
  DictObserver observer = nullptr;
  // The namespaces watched (borrowed; a namespace leaves at its deallocation).
  std::vector<PyObject*> namespaces;
  // One bit per namespace address, set while it may be one: most dicts the
  // observer follows are told apart from the namespaces by it alone.
  uint64_t namespace_bits = 0;
  Entry entries[kEntries];
};
LookupCacheState g_lookup;

inline uint64_t address_bit(PyObject* dict) { return uint64_t{1} << ((reinterpret_cast<uintptr_t>(dict) >> 6) & 63); }

bool is_namespace(PyObject* dict) {
  return (g_lookup.namespace_bits & address_bit(dict)) &&
         std::find(g_lookup.namespaces.begin(), g_lookup.namespaces.end(), dict) != g_lookup.namespaces.end();
}

int on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
  if (g_lookup.observer) g_lookup.observer(event, dict, key);
  if (!(g_lookup.namespace_bits & address_bit(dict))) return 0;  // a dict of the observer's alone
  const auto it = std::find(g_lookup.namespaces.begin(), g_lookup.namespaces.end(), dict);
  if (it == g_lookup.namespaces.end()) return 0;
  if (event == PyDict_EVENT_DEALLOCATED) g_lookup.namespaces.erase(it);
  const bool one_name =
      event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
  // An exact str hashes and compares without running Python code or failing;
  // a key of any other type may equal a name read, so it counts as one.
  if (one_name && (dict == g_ns.dict || dict == g_ns.builtins) && key && PyUnicode_CheckExact(key) &&
      (!g_lookup.read_names || PySet_Contains(g_lookup.read_names, key) == 0))
    return 0;
  ++g_lookup.epoch;
  return 0;
}

// Notes `name` as read, before its value is: from then on any change of it
// moves the epoch. False when it cannot be noted (nothing may be cached).
bool note_read(PyObject* name) {
  if (!g_lookup.read_names && !(g_lookup.read_names = PySet_New(nullptr))) {
    PyErr_Clear();
    return false;
  }
  if (PySet_Add(g_lookup.read_names, name) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// The module globals that the library's own input handling rebinds.
bool input_global(PyObject* name) {
  return name == KV_ID(MOUSE_SCR_POS) || name == KV_ID(MOUSE_STATE) || name == KV_ID(KEYS) ||
         name == KV_ID(RUN) || name == KV_ID(PRESS_QUEUE);
}

bool add_watcher() {
  if (g_lookup.watcher == -1) {
    g_lookup.watcher = PyDict_AddWatcher(on_namespace_change);
    if (g_lookup.watcher < 0) {
      PyErr_Clear();
      g_lookup.watcher = -2;
    }
  }
  return g_lookup.watcher >= 0;
}

bool watch(PyObject* dict) {
  if (!add_watcher()) return false;
  if (PyDict_Watch(g_lookup.watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  if (!is_namespace(dict)) {
    g_lookup.namespaces.push_back(dict);
    g_lookup.namespace_bits |= address_bit(dict);
  }
  return true;
}


Entry& slot(PyObject* owner, PyObject* key) {
  auto h = (reinterpret_cast<uintptr_t>(owner) >> 4) * 31 + (reinterpret_cast<uintptr_t>(key) >> 4);
  return g_lookup.entries[h % kEntries];
}

PyObject* cached(PyObject* owner, PyObject* key) {
  Entry& e = slot(owner, key);
  return e.epoch == g_lookup.epoch && e.owner == owner && e.key == key ? e.value : nullptr;
}

// Keeps value for (owner, key) as of `epoch`, read before the lookup began
// (a lookup may run Python code): the caller made sure the namespaces it
// came from were watched by then. The entry it replaces is released last,
// since that may run Python code too; any change it makes leaves this
// entry stale.
void remember(PyObject* owner, PyObject* key, PyObject* value, uint64_t epoch) {
  Entry& e = slot(owner, key);
  PyObject* old_owner = e.owner;
  PyObject* old_key = e.key;
  e.owner = Py_XNewRef(owner);
  e.key = Py_NewRef(key);
  e.value = value;
  e.epoch = epoch;
  Py_XDECREF(old_owner);
  Py_XDECREF(old_key);
}

// "__name__" and the like may be descriptors of ModuleType: never cached.
bool dunder(PyObject* s) {
  return PyUnicode_GET_LENGTH(s) >= 2 && PyUnicode_READ_CHAR(s, 0) == '_' && PyUnicode_READ_CHAR(s, 1) == '_';
}

}  // namespace

PyObject* module() { return g_ns.module; }
PyObject* module_dict() { return g_ns.dict; }

void set_module(PyObject* m) {
  g_ns.module = Py_NewRef(m);
  g_ns.dict = PyModule_GetDict(m);
  g_ns.builtins = PyEval_GetBuiltins();
  Py_XINCREF(g_ns.builtins);
  g_ns.globals_watched = watch(g_ns.dict) && g_ns.builtins && watch(g_ns.builtins);
}

Ref global(PyObject* name) {
  if (PyObject* hit = cached(nullptr, name)) return Ref::borrow(hit);
  const bool keep = g_ns.globals_watched && PyUnicode_CheckExact(name) && !input_global(name) && note_read(name);
  const uint64_t epoch = g_lookup.epoch;
  PyObject* v = nullptr;
  if (g_ns.dict) {
    if (PyDict_GetItemRef(g_ns.dict, name, &v) < 0) return Ref();
  }
  if (!v && g_ns.builtins) {
    if (PyDict_GetItemRef(g_ns.builtins, name, &v) < 0) return Ref();
  }
  if (!v) {
    PyErr_Format(PyExc_NameError, msg::kNameNotDefined, name);
    return Ref();
  }
  if (keep) remember(nullptr, name, v, epoch);
  return Ref::steal(v);
}

Ref attr_of(PyObject* obj, PyObject* attr) {
  // A plain module answers from its namespace (ModuleType has no descriptor
  // of the names the library asks for); anything else through its own
  // attribute access, every time.
  if (!PyModule_CheckExact(obj) || !PyUnicode_CheckExact(attr) || dunder(attr))
    return Ref::steal(PyObject_GetAttr(obj, attr));
  if (PyObject* hit = cached(obj, attr)) return Ref::borrow(hit);
  PyObject* ns = PyModule_GetDict(obj);
  PyObject* v = nullptr;
  const bool watched = watch(ns) && note_read(attr);
  const uint64_t epoch = g_lookup.epoch;
  if (PyDict_GetItemRef(ns, attr, &v) < 0) return Ref();
  if (!v) return Ref::steal(PyObject_GetAttr(obj, attr));  // module __getattr__, or the AttributeError
  if (watched) remember(obj, attr, v, epoch);
  return Ref::steal(v);
}

bool watched_entry(PyObject* module, PyObject* name, Ref* out) {
  *out = Ref();
  if (!PyModule_CheckExact(module) || !PyUnicode_CheckExact(name) || g_lookup.watcher < 0) return false;
  PyObject* ns = PyModule_GetDict(module);
  if (!watch(ns) || !note_read(name)) return false;
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(ns, name, &v) < 0) {
    PyErr_Clear();
    return false;
  }
  *out = Ref::steal(v);
  return true;
}

Ref global_attr(PyObject* name, PyObject* attr) {
  Ref g = global(name);
  if (!g) return g;
  return attr_of(g.get(), attr);
}

uint64_t namespace_epoch() { return g_ns.globals_watched && g_lookup.watcher >= 0 ? g_lookup.epoch : 0; }

bool epoch_watches(PyObject* obj) {
  return PyModule_CheckExact(obj) && g_lookup.watcher >= 0 && watch(PyModule_GetDict(obj));
}

void set_dict_observer(DictObserver observer) { g_lookup.observer = observer; }

bool watch_other(PyObject* dict) {
  if (!add_watcher()) return false;
  if (PyDict_Watch(g_lookup.watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

void unwatch_other(PyObject* dict) {
  if (g_lookup.watcher >= 0 && !is_namespace(dict) && PyDict_Unwatch(g_lookup.watcher, dict) < 0) PyErr_Clear();
}

int set_global(PyObject* name, PyObject* value) { return PyDict_SetItem(g_ns.dict, name, value); }
int set_global(const char* name, PyObject* value) { return PyDict_SetItemString(g_ns.dict, name, value); }

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* buf[17];
  buf[0] = nullptr;
  size_t n = 0;
  for (PyObject* a : args) {
    if (n >= 16) {
      PyErr_SetString(PyExc_SystemError, "kv::call: too many arguments");
      return Ref();
    }
    buf[1 + n++] = a;
  }
  size_t npos = n - static_cast<size_t>(nkw);
  return Ref::steal(PyObject_Vectorcall(callable, buf + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_global(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  Ref f = global(name);
  if (!f) return f;
  return call(f.get(), args, kwnames);
}

int print_line(PyObject* text) {
  Ref r = call_global(KV_ID(print), {text});
  return r ? 0 : -1;
}

int print_concat(std::initializer_list<PyObject*> pieces) {
  Ref line = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  for (PyObject* p : pieces) {
    if (!line || !p) return -1;
    line = Ref::steal(PyUnicode_Concat(line.get(), p));
  }
  if (!line) return -1;
  return print_line(line.get());
}

bool catch_exception(Ref* exc) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  *exc = Ref::steal(PyErr_GetRaisedException());
  return true;
}

bool report_exception(std::initializer_list<PyObject*> pieces, Ref* caught) {
  Ref exc;
  if (!catch_exception(&exc)) return false;
  Ref text = str_of(exc.get());
  if (!text) return false;
  Ref line = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  for (PyObject* p : pieces) {
    if (!line) return false;
    line = Ref::steal(PyUnicode_Concat(line.get(), p));
  }
  if (!line || print_concat({line.get(), text.get()}) < 0) return false;
  if (caught) *caught = exc;
  return true;
}

bool close_file(PyObject* file) {
  PyObject* pending = PyErr_GetRaisedException();
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(file, KV_ID(close)));
  if (pending) {
    if (!r) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return false;
  }
  return static_cast<bool>(r);
}

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

Ref environ_get(const char* name) {
  Ref env = global_attr(KV_ID(os), KV_ID(environ));
  if (!env) return env;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return key;
  return Ref::steal(PyObject_CallMethodOneArg(env.get(), KV_ID(get), key.get()));
}

Ref environ_text(const char* name) {
  Ref value = environ_get(name);
  if (!value || value.get() == Py_None) return value;
  Ref text = Ref::steal(PyObject_CallMethodNoArgs(value.get(), KV_ID(strip)));
  if (!text) return text;
  int blank = PyObject_Not(text.get());
  if (blank < 0) return Ref();
  return blank ? Ref::borrow(Py_None) : text;
}

int environ_flag(const char* name) {
  Ref value = environ_text(name);
  if (!value) return -1;
  if (value.get() == Py_None) return 0;
  return text_switch(value.get());
}

int text_switch(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "a switch's value must be a str, not %.200s", Py_TYPE(value)->tp_name);
    return -1;
  }
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &n);
  if (!text) return -1;
  return switch_on(text, static_cast<size_t>(n));
}

}  // namespace kv
