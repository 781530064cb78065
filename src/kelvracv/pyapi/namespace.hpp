// The module's namespace: late-bound global lookups, calls into Python, the
// interned-string cache and printing. Callers hold the interpreter lock.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "pyapi/function.hpp"
#include "pyapi/names.hpp"
#include "pyapi/ref.hpp"

namespace kv {

// ---- the module ------------------------------------------------------------

// Borrowed: the module object and its namespace dict (set once at start-up).
PyObject* module();
PyObject* module_dict();
void set_module(PyObject* m);

// ---- late binding ----------------------------------------------------------

// The value bound to `name` in the module namespace, else in builtins;
// NameError "name '...' is not defined" when neither has it. Looked up every
// time, from a cache that a change of that name in either namespace empties
// (the input globals KEYS, MOUSE_SCR_POS, MOUSE_STATE, RUN and PRESS_QUEUE
// are read from the namespace itself and never empty it).
Ref global(PyObject* name);
// obj.attr; for a module, answered from its namespace and cached until a
// name read through here changes in a watched namespace (see namespace.cpp).
Ref attr_of(PyObject* obj, PyObject* attr);
// global(name).attr, e.g. global_attr(KV_ID(cv2), KV_ID(line)).
Ref global_attr(PyObject* name, PyObject* attr);
int set_global(PyObject* name, PyObject* value);
int set_global(const char* name, PyObject* value);

// The namespace epoch: it moves on when a name read through global, attr_of
// or watched_entry is bound, rebound or deleted in the module's namespace or
// builtins, or either is cleared, and at any change of the namespace of a
// module asked through attr_of or watched_entry; never for the input
// globals. 0 when no dict watcher could be had (nothing may then be cached
// on it).
uint64_t namespace_epoch();
// Whether attr_of(obj, ...) answers from a namespace the epoch watches.
bool epoch_watches(PyObject* obj);
// *out = module.__dict__.get(name) (empty when absent), read without running
// Python code, with the namespace watched and the name noted as read, so
// that a change of it moves the epoch. False (and *out empty) when module is
// no plain module or the epoch cannot follow it.
bool watched_entry(PyObject* module, PyObject* name, Ref* out);

// Dicts that are no namespace, followed by the namespaces' own dict watcher
// (an interpreter has at most eight): the observer hears each event of every
// dict the watcher follows, with the dict and the key (null for a clear or a
// deallocation), and a change of such a dict moves no epoch. One observer
// (geometry/record.cpp's kept records). Interpreter lock held.
using DictObserver = void (*)(PyDict_WatchEvent event, PyObject* dict, PyObject* key);
void set_dict_observer(DictObserver observer);
// Watches `dict` for the observer; false when it cannot be watched.
bool watch_other(PyObject* dict);
// Stops watching `dict`, unless it is also a namespace the epoch follows.
void unwatch_other(PyObject* dict);

// ---- calls -----------------------------------------------------------------

// callable(*args), or callable(*args, **kw) with the keyword values last in
// `args` and their names in the tuple `kwnames`.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// Calls the module global `name` with the given arguments.
Ref call_global(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// print(text) through the module's `print`, as the library's report lines are.
int print_line(PyObject* text);
// Concatenation of the pieces (str objects) printed as one line.
int print_concat(std::initializer_list<PyObject*> pieces);
// str(o) appended by the caller: a new reference or nullptr.
inline Ref str_of(PyObject* o) { return Ref::steal(PyObject_Str(o)); }

// `except Exception as exc`: takes the exception being raised into *exc when
// it is an Exception; false (the exception left raised) for anything else,
// such as KeyboardInterrupt or SystemExit.
bool catch_exception(Ref* exc);
// The library's report-and-go-on form, `except Exception as e:
// print(*pieces, str(e), sep="")`: one line, the exception swallowed. False
// when the exception is no Exception or the printing fails (an exception
// set). *caught, when given, receives the exception.
bool report_exception(std::initializer_list<PyObject*> pieces, Ref* caught = nullptr);

// file.close() as a with-statement does it: an exception already being raised
// wins over one from close(). False when either is set.
bool close_file(PyObject* file);

// Imports `name` and returns the module (new reference) or nullptr.
Ref import(const char* name);

// ---- the environment -------------------------------------------------------

// os.environ.get(name) through the module's `os`: a str, or None when unset.
Ref environ_get(const char* name);
// os.environ.get(name) with surrounding blanks stripped: a str, or None when
// unset or blank.
Ref environ_text(const char* name);
// Whether the switch `name` is on, by the rule of core/switches.hpp: set to
// anything but "", "0", "false", "no" or "off" (in any case, blanks around
// it ignored). -1 on error.
int environ_flag(const char* name);
// The same rule for a str value: 1 or 0, -1 with an exception set.
int text_switch(PyObject* value);

}  // namespace kv
