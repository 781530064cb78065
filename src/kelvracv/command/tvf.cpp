// TVF scripts: a text file of command strings run line by line through the
// module's draw_command, each line with its origin label. The file is read
// afresh on every call, and only from a regular file. Main thread (or any thread holding the interpreter lock).

#include "command/command.hpp"
#include "pyapi/files.hpp"
#include "pyapi/namespace.hpp"

namespace kv::cmd {
namespace {

// Runs the line text[start:end] of the script (line `number`); false with an
// exception when one escapes.
bool run_line(PyObject* arr, PyObject* ts, PyObject* path, PyObject* text, Py_ssize_t start, Py_ssize_t end,
              Py_ssize_t number) {
  int kind = PyUnicode_KIND(text);
  const void* d = PyUnicode_DATA(text);
  while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, start))) ++start;
  while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, end - 1))) --end;
  if (start == end || PyUnicode_READ(kind, d, start) == '#') return true;
  Origin origin{nullptr, path, number};
  Ref run = global(KV_ID(draw_command));
  if (!run) return false;
  if (is_own(run.get(), "draw_command"))
    return static_cast<bool>(Ref::steal(execute_span(arr, ts, text, start, end, origin)));
  Ref cmd = Ref::steal(PyUnicode_Substring(text, start, end));
  if (!cmd) return false;
  Ref label = origin.label();
  if (!label) return false;
  return static_cast<bool>(call(run.get(), {arr, ts, cmd.get(), label.get()}));
}

// open(path, "r") for a regular file only, opened without blocking: a FIFO or
// a device is refused ("Not a regular file:<path>") instead of waited on. An
// `open` the program bound on the module is called as it is.
Ref open_text(PyObject* path) {
  PyObject* own = nullptr;
  if (PyDict_GetItemRef(module_dict(), KV_ID(open), &own) < 0) return Ref();
  Ref rebound = Ref::steal(own);
  if (rebound) return call(rebound.get(), {path, KV_ID(r)});
  return open_regular(path, KV_ID(r));
}

// Reads the whole text and runs its lines (text mode has made every line end "\n").
// *undecodable: the text could not be decoded; nothing has run.
bool run_whole(PyObject* arr, PyObject* ts, PyObject* path, bool* undecodable) {
  *undecodable = false;
  Ref file = open_text(path);
  if (!file) return false;
  Ref text = Ref::steal(PyObject_CallMethodNoArgs(file.get(), KV_ID(read)));
  if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    *undecodable = true;
    PyErr_Clear();
  }
  if (!close_file(file.get()) || *undecodable) return false;
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "read() should have returned a str object, not '%.200s'",
                 Py_TYPE(text.get())->tp_name);
    return false;
  }
  // the lines in place: text mode has ended every line with "\n"
  PyObject* t = text.get();
  Py_ssize_t len = PyUnicode_GET_LENGTH(t);
  Py_ssize_t start = 0;
  for (Py_ssize_t number = 1; start <= len; ++number) {
    Py_ssize_t nl = PyUnicode_FindChar(t, '\n', start, len, 1);
    if (nl == -2) return false;
    Py_ssize_t end = nl < 0 ? len : nl;
    if (!run_line(arr, ts, path, t, start, end, number)) return false;
    start = end + 1;
  }
  return true;
}

// Line by line as the file iterator decodes them: the lines before the
// undecodable part run, then the decoding error escapes.
bool run_by_lines(PyObject* arr, PyObject* ts, PyObject* path) {
  Ref file = open_text(path);
  if (!file) return false;
  Ref it = Ref::steal(PyObject_GetIter(file.get()));
  bool ok = static_cast<bool>(it);
  for (Py_ssize_t number = 1; ok; ++number) {
    Ref line = Ref::steal(PyIter_Next(it.get()));
    if (!line) {
      ok = !PyErr_Occurred();
      break;
    }
    if (!PyUnicode_Check(line.get())) {
      PyErr_Format(PyExc_TypeError, "a TVF line must be str, not %.200s", Py_TYPE(line.get())->tp_name);
      ok = false;
      break;
    }
    ok = run_line(arr, ts, path, line.get(), 0, PyUnicode_GET_LENGTH(line.get()), number);
  }
  if (!ok) {
    close_file(file.get());
    return false;
  }
  return close_file(file.get());
}

}  // namespace

PyObject* draw_tvf(PyObject* arr, PyObject* ts, PyObject* file_name) {
  // A script can reach draw_tvf again through a rebound module name without
  // any Python frame in between: bound the nesting before the C stack is.
  constexpr int kMaxNesting = 100;
  static thread_local int nesting = 0;
  if (nesting >= kMaxNesting) {
    PyErr_Format(PyExc_RecursionError, "TVF scripts nested more than %d deep", kMaxNesting);
    return nullptr;
  }
  struct Nest {
    Nest() { ++nesting; }
    ~Nest() { --nesting; }
  } nest;
  Ref path = Ref::steal(PyUnicode_Concat(file_name, KV_ID(s_tvf)));
  if (!path) return nullptr;
  bool undecodable = false;
  bool ok = run_whole(arr, ts, path.get(), &undecodable);
  if (!ok && undecodable) ok = run_by_lines(arr, ts, path.get());
  if (!ok) {
    if (!report_exception({KV_ID(s_Error_reading_TVF), path.get(), KV_ID(s_quote_colon)})) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace kv::cmd
