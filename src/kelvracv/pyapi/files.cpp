// Reading regular files whole: the status is checked before the file is
// opened, and again on the open descriptor, since the path may be replaced
// (by a FIFO, say) in between; the open itself never blocks. Any thread that
// holds the interpreter lock.

#include "pyapi/files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "pyapi/namespace.hpp"

namespace kv {
namespace {

// os.<name>(args...) through the module's os.
Ref os_call(PyObject* name, std::initializer_list<PyObject*> args) {
  Ref fn = global_attr(KV_ID(os), name);
  if (!fn) return fn;
  return call(fn.get(), args);
}

// stat_result.st_mode
bool mode_of(PyObject* st, long* mode) {
  Ref m = Ref::steal(PyObject_GetAttr(st, KV_ID(st_mode)));
  if (!m) return false;
  *mode = PyLong_AsLong(m.get());
  return !(*mode == -1 && PyErr_Occurred());
}

}  // namespace

bool close_fd(PyObject* fd) {
  PyObject* pending = PyErr_GetRaisedException();
  Ref r = os_call(KV_ID(close), {fd});
  if (pending) {
    if (!r) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return false;
  }
  return static_cast<bool>(r);
}

bool stat_mode(PyObject* path, long* mode) {
  Ref st = os_call(KV_ID(stat), {path});
  return st && mode_of(st.get(), mode);
}

void raise_not_regular(PyObject* path) {
  Ref shown = str_of(path);
  Ref message = shown ? Ref::steal(PyUnicode_Concat(KV_ID(s_Not_a_regular_file), shown.get())) : Ref();
  if (message) PyErr_SetObject(PyExc_OSError, message.get());
}

namespace {

// The regular file at `path` opened for reading without blocking: its
// descriptor, Py_None when the path names anything else, nullptr with the
// OSError of os.stat or os.open.
Ref open_regular_fd(PyObject* path, long* mode) {
  if (!stat_mode(path, mode)) return Ref();
  if (!S_ISREG(*mode)) return Ref::borrow(Py_None);
  // O_NONBLOCK: should a FIFO have taken the file's place, the open returns
  // at once and the check below turns it away (a regular file reads as usual).
  Ref flags = Ref::steal(PyLong_FromLong(O_RDONLY | O_NONBLOCK));
  Ref fd = flags ? os_call(KV_ID(open), {path, flags.get()}) : Ref();
  if (!fd) return fd;
  Ref st = os_call(KV_ID(fstat), {fd.get()});
  if (!st || !mode_of(st.get(), mode)) {
    close_fd(fd.get());
    return Ref();
  }
  if (!S_ISREG(*mode)) return close_fd(fd.get()) ? Ref::borrow(Py_None) : Ref();
  return fd;
}

}  // namespace

Ref open_regular(PyObject* path, PyObject* mode) {
  long st_mode = 0;
  Ref fd = open_regular_fd(path, &st_mode);
  if (!fd) return fd;
  if (fd.get() == Py_None) {
    if (S_ISDIR(st_mode)) {
      errno = EISDIR;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_IsADirectoryError, path);
    } else {
      raise_not_regular(path);
    }
    return Ref();
  }
  // open(fd, mode); the file object owns the descriptor from here on.
  Ref file = call_global(KV_ID(open), {fd.get(), mode});
  if (!file) close_fd(fd.get());
  return file;
}

Ref read_regular_file(PyObject* path) {
  long mode = 0;
  Ref fd = open_regular_fd(path, &mode);
  if (!fd || fd.get() == Py_None) return fd;
  // open(fd, "rb").read(); the file object owns the descriptor from here on.
  Ref file = call_global(KV_ID(open), {fd.get(), KV_ID(rb)});
  if (!file) {
    close_fd(fd.get());
    return file;
  }
  Ref data = Ref::steal(PyObject_CallMethodNoArgs(file.get(), KV_ID(read)));
  if (!close_file(file.get())) return Ref();
  return data;
}

}  // namespace kv
