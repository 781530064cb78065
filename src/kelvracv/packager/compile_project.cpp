// compile_project: a project folder packed into one self-extracting script.
// Collects the library's own Kelvra.py, every project file and the main
// script as bytes, packs them (zlib level 9, Base64, JSON) between the fixed
// script parts and writes <main>_c.py beside the main script. Only regular
// files are read, and no link that leads out of the project; the output is written to a fresh file and renamed onto its
// name. Stateless; runs on the caller's thread.

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "packager/packager.hpp"
#include "packager/script_parts.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/files.hpp"
#include "pyapi/namespace.hpp"

namespace kv::packager {
namespace {

// ---- internal helpers --------------------------------------------------------

// os.path.<fn>(args...), with the module's os looked up at each use.
Ref os_path(PyObject* fn, std::initializer_list<PyObject*> args) {
  Ref path = global_attr(KV_ID(os), KV_ID(path));
  if (!path) return path;
  Ref f = Ref::steal(PyObject_GetAttr(path.get(), fn));
  if (!f) return f;
  return call(f.get(), args);
}

Ref method(PyObject* o, PyObject* name, PyObject* arg) { return Ref::steal(PyObject_CallMethodOneArg(o, name, arg)); }

// open(*args, **kw).read() through the module's open, the file closed after.
Ref read_file(std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  Ref file = call_global(KV_ID(open), args, kwnames);
  if (!file) return file;
  Ref data = Ref::steal(PyObject_CallMethodNoArgs(file.get(), KV_ID(read)));
  if (!close_file(file.get())) return Ref();
  return data;
}

// The source stored as "Kelvra.py": a native module has no source text of its
// own, so the text is the Kelvra.py installed beside it (it makes `import
// Kelvra` in a packaged project give this very module). Encoded with the codec
// name "utf - 8".
Ref own_source() {
  Ref file = global(KV_ID(dunder_file));
  if (!file) return file;
  Ref dir = os_path(KV_ID(dirname), {file.get()});
  if (!dir) return dir;
  Ref path = os_path(KV_ID(join), {dir.get(), KV_ID(s_Kelvra_py)});
  if (!path) return path;
  Ref text = read_file({path.get(), KV_ID(s_utf_8)}, KV_KW(encoding));
  if (!text) return text;
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_SystemError, "own_source: the source file did not read as text");
    return Ref();
  }
  return Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf - 8", "strict"));
}

// The output's base name: every ".py" of the main script's name becomes
// "_c.py". A name without ".py" would come back unchanged and the package
// would replace its own main script, so such a name gets "_c.py" appended.
Ref output_name(PyObject* main_filename) {
  int has_py = PySequence_Contains(main_filename, KV_ID(s_py));
  if (has_py < 0) return Ref();
  if (!has_py) return Ref::steal(PyNumber_Add(main_filename, KV_ID(s_c_py)));
  return Ref::steal(
      PyObject_CallMethodObjArgs(main_filename, KV_ID(replace), KV_ID(s_py), KV_ID(s_c_py), nullptr));
}

// Compiled files, earlier outputs, cache files and every file named like the
// main script are left out: 1 skip, 0 keep, -1 error.
int skipped(PyObject* fn, PyObject* main_filename) {
  Ref r = method(fn, KV_ID(endswith), KV_CONST(compiled_endings));
  int t = r ? truth(r.get()) : -1;
  if (t != 0) return t;
  r = method(fn, KV_ID(startswith), KV_ID(dunder_pycache));
  t = r ? truth(r.get()) : -1;
  if (t != 0) return t;
  return PyObject_RichCompareBool(fn, main_filename, Py_EQ);
}

// Whether a link leads out of the project: os.path.commonpath of its resolved
// target and the resolved project folder is not that folder. 1 outside, 0
// inside or no link, -1 error.
int links_outside(PyObject* full_path, PyObject* real_base) {
  Ref link = os_path(KV_ID(islink), {full_path});
  int is_link = link ? truth(link.get()) : -1;
  if (is_link <= 0) return is_link;
  Ref real = os_path(KV_ID(realpath), {full_path});
  Ref both = real ? Ref::steal(PyList_New(2)) : Ref();
  if (!both) return -1;
  PyList_SET_ITEM(both.get(), 0, Py_NewRef(real.get()));
  PyList_SET_ITEM(both.get(), 1, Py_NewRef(real_base));
  Ref common = os_path(KV_ID(commonpath), {both.get()});
  if (!common) return -1;
  int same = PyObject_RichCompareBool(common.get(), real_base, Py_EQ);
  return same < 0 ? -1 : !same;
}

// One walked file into `files` under its relative path; an unreadable file,
// and a link to a file outside the project, is reported and left out.
bool collect_file(PyObject* files, PyObject* root, PyObject* fn, PyObject* base_dir, PyObject* real_base,
                  PyObject* main_filename) {
  Ref full_path = os_path(KV_ID(join), {root, fn});
  if (!full_path) return false;
  Ref rel_path = os_path(KV_ID(relpath), {full_path.get(), base_dir});
  if (!rel_path) return false;
  int skip = skipped(fn, main_filename);
  if (skip) return skip > 0;
  int outside = links_outside(full_path.get(), real_base);
  if (outside < 0) return false;
  if (outside)  // never packed: it would carry a file from elsewhere on the machine
    return print_concat({KV_ID(s_Warning_Could_not_read_file), rel_path.get(), KV_ID(s_colon),
                         KV_ID(s_link_outside_project)}) == 0;
  Ref data = read_regular_file(full_path.get());
  if (data && data.get() != Py_None) return PyObject_SetItem(files, rel_path.get(), data.get()) == 0;
  if (!data) return report_exception({KV_ID(s_Warning_Could_not_read_file), rel_path.get(), KV_ID(s_colon)});
  // a FIFO, a device or a socket: never read
  return print_concat({KV_ID(s_Warning_Could_not_read_file), rel_path.get(), KV_ID(s_colon),
                       KV_ID(s_not_a_regular_file)}) == 0;
}

// Every file below base_dir, in os.walk's top-down order.
bool collect_tree(PyObject* files, PyObject* base_dir, PyObject* main_filename) {
  Ref real_base = os_path(KV_ID(realpath), {base_dir});
  Ref walk_fn = real_base ? global_attr(KV_ID(os), KV_ID(walk)) : Ref();
  if (!walk_fn) return false;
  Ref walk = call(walk_fn.get(), {base_dir});
  Ref entries = walk ? Ref::steal(PyObject_GetIter(walk.get())) : Ref();
  if (!entries) return false;
  while (Ref entry = Ref::steal(PyIter_Next(entries.get()))) {
    Ref root = Ref::steal(item(entry.get(), 0));
    Ref names = root ? Ref::steal(item(entry.get(), 2)) : Ref();
    Ref it = names ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
    if (!it) return false;
    while (Ref fn = Ref::steal(PyIter_Next(it.get())))
      if (!collect_file(files, root.get(), fn.get(), base_dir, real_base.get(), main_filename)) return false;
    if (PyErr_Occurred()) return false;
  }
  return !PyErr_Occurred();
}

// [(name, base64(zlib(bytes, 9)) as text), ...] in the dict's order, as JSON.
Ref pack(PyObject* files, PyObject* json, PyObject* base64, PyObject* zlib) {
  Ref entries = Ref::steal(PyList_New(0));
  Ref level = Ref::steal(PyLong_FromLong(9));
  if (!entries || !level) return Ref();
  Py_ssize_t pos = 0;
  PyObject *name, *data;
  while (PyDict_Next(files, &pos, &name, &data)) {
    Ref packed = Ref::steal(PyObject_CallMethodObjArgs(zlib, KV_ID(compress), data, level.get(), nullptr));
    Ref encoded = packed ? method(base64, KV_ID(b64encode), packed.get()) : Ref();
    Ref text = encoded ? method(encoded.get(), KV_ID(decode), KV_ID(s_utf_8_spaced)) : Ref();
    Ref pair = text ? Ref::steal(PyTuple_Pack(2, name, text.get())) : Ref();
    if (!pair || PyList_Append(entries.get(), pair.get()) < 0) return Ref();
  }
  return method(json, KV_ID(dumps), entries.get());
}

// Head + repr(JSON) + middle + repr(main file name) + tail. The name goes in
// as a string literal, so any file name is run as it is and none becomes code.
Ref script_text(PyObject* json_text, PyObject* main_filename) {
  Ref literal = Ref::steal(PyObject_Repr(json_text));
  Ref main_literal = Ref::steal(PyObject_Repr(main_filename));
  if (!literal || !main_literal) return Ref();
  Ref text = Ref::steal(PyUnicode_FromString(kScriptHead));
  Ref middle = Ref::steal(PyUnicode_FromString(kScriptMiddle));
  Ref tail = Ref::steal(PyUnicode_FromString(kScriptTail));
  for (PyObject* piece : {literal.get(), middle.get(), main_literal.get(), tail.get()}) {
    if (!text || !piece) return Ref();
    text = Ref::steal(PyUnicode_Concat(text.get(), piece));
  }
  return text;
}

// The main script must be a regular file: a folder raises IsADirectoryError
// (as opening it would), anything else the not-a-regular-file OSError.
bool check_main(PyObject* main_file_path) {
  long mode = 0;
  if (!stat_mode(main_file_path, &mode)) return false;
  if (S_ISREG(mode)) return true;
  if (S_ISDIR(mode)) {
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_IsADirectoryError, main_file_path);
  } else {
    raise_not_regular(main_file_path);
  }
  return false;
}

// The main script's bytes; it may have been replaced since check_main.
Ref read_main(PyObject* main_file_path) {
  Ref data = read_regular_file(main_file_path);
  if (data.get() != Py_None) return data;
  raise_not_regular(main_file_path);
  return Ref();
}

// os.remove(path), keeping the exception being raised.
void remove_quietly(PyObject* path) {
  PyObject* pending = PyErr_GetRaisedException();
  Ref remove = global_attr(KV_ID(os), KV_ID(remove));
  if (remove) Ref::steal(PyObject_CallOneArg(remove.get(), path));
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

// A new, empty file in `dir` opened for writing: (path, descriptor). Its
// hidden name ends in "_c.py", so a leftover is never packaged.
bool create_temporary(PyObject* dir, Ref* path, Ref* fd) {
  Ref flags = Ref::steal(PyLong_FromLong(O_WRONLY | O_CREAT | O_EXCL));
  Ref mode = Ref::steal(PyLong_FromLong(0666));
  Ref six = Ref::steal(PyLong_FromLong(6));
  if (!flags || !mode || !six) return false;
  for (int attempt = 0;; attempt++) {
    Ref random = global_attr(KV_ID(os), KV_ID(urandom));
    Ref token = random ? call(random.get(), {six.get()}) : Ref();
    Ref hex = token ? Ref::steal(PyObject_CallMethodNoArgs(token.get(), KV_ID(hex))) : Ref();
    Ref name = hex ? Ref::steal(PyUnicode_FromFormat(".kelvra-%U_c.py", hex.get())) : Ref();
    *path = name ? os_path(KV_ID(join), {dir, name.get()}) : Ref();
    Ref open_fn = *path ? global_attr(KV_ID(os), KV_ID(open)) : Ref();
    if (!open_fn) return false;
    *fd = call(open_fn.get(), {path->get(), flags.get(), mode.get()});
    if (*fd) return true;
    if (attempt >= 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) return false;
    PyErr_Clear();
  }
}

// The OSError being raised names `path`, the output, rather than the hidden
// file it was being written to: type(e)(e.errno, e.strerror, path). An error
// without an errno, or of another class, is left as it is.
void name_output(PyObject* path) {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
  Ref e = Ref::steal(PyErr_GetRaisedException());
  Ref number = Ref::steal(PyObject_GetAttrString(e.get(), "errno"));
  Ref reason = number ? Ref::steal(PyObject_GetAttrString(e.get(), "strerror")) : Ref();
  Ref named = reason && number.get() != Py_None
                  ? Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Py_TYPE(e.get())),
                                                            number.get(), reason.get(), path, nullptr))
                  : Ref();
  if (!named || !PyExceptionInstance_Check(named.get())) {
    PyErr_Clear();
    PyErr_SetRaisedException(e.release());
    return;
  }
  PyErr_SetRaisedException(named.release());
}

// open(path, "w").write(text) made safe: the text goes to a new file in the
// same folder, which os.replace then puts in place. A link at `path` is
// replaced itself, never its target, and a failed write leaves the previous
// output as it was.
bool write_text(PyObject* dir, PyObject* path, PyObject* text) {
  Ref tmp, fd;
  if (!create_temporary(dir, &tmp, &fd)) {
    name_output(path);
    return false;
  }
  Ref file = call_global(KV_ID(open), {fd.get(), KV_ID(w)});
  bool ok = static_cast<bool>(file);
  if (!ok) {
    close_fd(fd.get());
  } else {
    Ref r = method(file.get(), KV_ID(write), text);
    ok = close_file(file.get());
  }
  if (ok) {
    Ref replace = global_attr(KV_ID(os), KV_ID(replace));
    ok = replace && call(replace.get(), {tmp.get(), path});
  }
  if (!ok) {
    name_output(path);
    remove_quietly(tmp.get());
  }
  return ok;
}

}  // namespace

// ---- public routine ----------------------------------------------------------

PyObject* compile_project(PyObject* main_file_path) {
  Ref json, base64, zlib;
  for (const char* name : {"inspect", "json", "base64", "zlib", "shutil", "tempfile", "atexit"}) {
    Ref mod = import(name);
    if (!mod) return nullptr;
    if (name[0] == 'j') json = mod;
    if (name[0] == 'b') base64 = mod;
    if (name[0] == 'z') zlib = mod;
  }
  Ref exists = os_path(KV_ID(exists), {main_file_path});
  int found = exists ? truth(exists.get()) : -1;
  if (found < 0) return nullptr;
  if (!found) {
    Ref shown = str_of(main_file_path);
    Ref message = shown ? Ref::steal(PyUnicode_Concat(KV_ID(s_File_not_found), shown.get())) : Ref();
    if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
    return nullptr;
  }
  if (!check_main(main_file_path)) return nullptr;
  Ref absolute = os_path(KV_ID(abspath), {main_file_path});
  Ref base_dir = absolute ? os_path(KV_ID(dirname), {absolute.get()}) : Ref();
  Ref main_filename = base_dir ? os_path(KV_ID(basename), {main_file_path}) : Ref();
  Ref out_name = main_filename ? output_name(main_filename.get()) : Ref();
  Ref output_path = out_name ? os_path(KV_ID(join), {base_dir.get(), out_name.get()}) : Ref();
  if (!output_path) return nullptr;

  Ref files = Ref::steal(PyDict_New());
  Ref source = files ? own_source() : Ref();
  if (!source || PyDict_SetItem(files.get(), KV_ID(s_Kelvra_py), source.get()) < 0) return nullptr;
  if (!collect_tree(files.get(), base_dir.get(), main_filename.get())) return nullptr;
  Ref main_bytes = read_main(main_file_path);
  if (!main_bytes || PyObject_SetItem(files.get(), main_filename.get(), main_bytes.get()) < 0) return nullptr;

  Ref json_text = pack(files.get(), json.get(), base64.get(), zlib.get());
  Ref text = json_text ? script_text(json_text.get(), main_filename.get()) : Ref();
  if (!text || !write_text(base_dir.get(), output_path.get(), text.get())) return nullptr;
  return output_path.release();
}

}  // namespace kv::packager
