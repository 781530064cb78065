// Font loading through Pillow with the module-wide FONT_CACHE, and text
// measurement. A font that cannot be opened is reported once per
// (name, size) key and replaced by Pillow's default font under that key.
// Font files are read into memory when loaded. Main thread.

#include "pyapi/convert.hpp"
#include "pyapi/files.hpp"
#include "pyapi/namespace.hpp"
#include "text/glyphs.hpp"
#include "text/text.hpp"

namespace kv::text {
namespace {

// ImageFont.truetype(name, size) for a name Pillow resolves itself. A name
// that exists on disk is read here, whole, and the font made from those bytes
// (ImageFont.truetype(io.BytesIO(data), size)): FreeType would otherwise read
// the file for as long as the font is cached, and a file changed on disk
// after its first use would bring the process down. A path that exists but
// is not a regular file (a FIFO, a device, a folder) is never opened: it
// fails with OSError like any font Pillow cannot open.
Ref open_truetype(PyObject* name, PyObject* size) {
  Ref exists = global_attr(KV_ID(os), KV_ID(path));
  if (exists) exists = Ref::steal(PyObject_GetAttr(exists.get(), KV_ID(exists)));
  Ref found = exists ? call(exists.get(), {name}) : Ref();
  int on_disk = found ? truth(found.get()) : -1;
  if (on_disk < 0) return Ref();
  Ref truetype = global_attr(KV_ID(ImageFont), KV_ID(truetype));
  if (!truetype) return truetype;
  if (!on_disk) return call(truetype.get(), {name, size});
  Ref data = read_regular_file(name);
  if (!data) return data;
  if (data.get() == Py_None) {
    PyErr_Format(PyExc_OSError, "not a regular file: %R", name);
    return Ref();
  }
  Ref io = import("io");
  Ref stream = io ? Ref::steal(PyObject_CallMethodOneArg(io.get(), KV_ID(BytesIO), data.get())) : Ref();
  if (!stream) return stream;
  Ref font = call(truetype.get(), {stream.get(), size});
  if (font) register_face(font.get(), data.get());  // its bytes, for composing text from kept glyphs
  return font;
}

}  // namespace

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
