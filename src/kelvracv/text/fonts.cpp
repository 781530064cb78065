// Font loading through Pillow with the module-wide FONT_CACHE, and text
// measurement. A font that cannot be opened is reported once per
// (name, size) key and replaced by Pillow's default font under that key.
// Font files, given by path or found by name, are read into memory once and
// shared by all their sizes (font_files.hpp). Main thread.

#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "text/font_files.hpp"
#include "text/pillow.hpp"
#include "text/text.hpp"

namespace kv::text {
namespace {

// ImageFont.truetype(name, size). With Pillow's own truetype, the font is
// made from the file read into memory (font_from_file) rather than from the
// file on disk, which FreeType would read for as long as the font is cached:
// a file changed on disk after its first use would bring the process down.
// A path that exists is read as it is (one that is not a regular file, a
// FIFO, a device or a folder, is never opened: it fails with OSError like
// any font Pillow cannot open); any other name is found by Pillow, and the
// file Pillow found is then read the same way. A truetype of the program's
// own is called as it is.
Ref open_truetype(PyObject* name, PyObject* size) {
  Ref exists = global_attr(KV_ID(os), KV_ID(path));
  if (exists) exists = Ref::steal(PyObject_GetAttr(exists.get(), KV_ID(exists)));
  Ref found = exists ? call(exists.get(), {name}) : Ref();
  int on_disk = found ? truth(found.get()) : -1;
  if (on_disk < 0) return Ref();
  Ref truetype = global_attr(KV_ID(ImageFont), KV_ID(truetype));
  if (!truetype) return truetype;
  PyObject* font_class = own_font_class(truetype.get());
  if (!font_class) return call(truetype.get(), {name, size});
  if (on_disk) return font_from_file(font_class, name, size);
  Ref by_name = call(truetype.get(), {name, size});
  if (!by_name) return by_name;
  Ref where = Ref::steal(PyObject_GetAttr(by_name.get(), KV_ID(path)));
  if (!where || !PyUnicode_CheckExact(where.get())) {  // not Pillow's usual font: kept as it is
    PyErr_Clear();
    return by_name;
  }
  by_name = Ref();  // the font that reads the file on disk goes at once
  return font_from_file(font_class, where.get(), size);
}

}  // namespace

bool check_font_size(PyObject* size) {
  if (!PyLong_Check(size)) return true;
  int overflow = 0;
  const long long px = PyLong_AsLongLongAndOverflow(size, &overflow);
  if (px == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && px <= kMaxFontPixels)) return true;
  PyErr_Format(PyExc_ValueError,
               "font size %S pixels is beyond the largest, %d (TrueType text is drawn at its size times the "
               "record's \"size\")",
               size, static_cast<int>(kMaxFontPixels));
  return false;
}

PyObject* load_font(PyObject* name, PyObject* size) {
  Ref key = Ref::steal(PyTuple_Pack(2, name, size));
  Ref cache = key ? global(KV_ID(FONT_CACHE)) : Ref();
  if (!cache) return nullptr;
  if (PyDict_CheckExact(cache.get())) {
    // `key in FONT_CACHE` and `FONT_CACHE[key]` in one lookup (hashing a str
    // and an int runs no Python code).
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(cache.get(), key.get(), &found) < 0) return nullptr;
    if (found) return found;
  } else {
    int cached = PySequence_Contains(cache.get(), key.get());
    if (cached < 0) return nullptr;
    if (cached) return PyObject_GetItem(cache.get(), key.get());
  }

  if (!check_font_size(size)) return nullptr;
  Ref font = open_truetype(name, size);
  if (!font) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
    PyErr_Clear();
    if (print_concat({KV_ID(s_Font_Error_Could_not_load_font), name, KV_ID(s_Using_default)}) < 0)
      return nullptr;
    Ref load_default = global_attr(KV_ID(ImageFont), KV_ID(load_default));
    if (!load_default) return nullptr;
    font = call(load_default.get(), {});
    if (!font) return nullptr;
  }
  cache = global(KV_ID(FONT_CACHE));
  if (!cache || PyObject_SetItem(cache.get(), key.get(), font.get()) < 0) return nullptr;
  return font.release();
}

PyObject* text_size(PyObject* content, PyObject* font_info, double size) {
  if (PyUnicode_GET_LENGTH(content) == 0) return Py_BuildValue("(ii)", 0, 0);
  Ref isize = Ref::steal(py_int(size));
  if (!isize) return nullptr;
  Ref font = call_global(KV_ID(load_font), {font_info, isize.get()});
  if (!font) return nullptr;
  Ref bbox = Ref::steal(PyObject_CallMethodOneArg(font.get(), KV_ID(getbbox), content));
  if (!bbox) return nullptr;
  Ref b[4];
  for (int i : {2, 0, 3, 1}) {
    b[i] = Ref::steal(item(bbox.get(), i));
    if (!b[i]) return nullptr;
  }
  Ref w = Ref::steal(PyNumber_Subtract(b[2].get(), b[0].get()));
  Ref h = w ? Ref::steal(PyNumber_Subtract(b[3].get(), b[1].get())) : Ref();
  if (!h) return nullptr;
  return PyTuple_Pack(2, w.get(), h.get());
}

}  // namespace kv::text
