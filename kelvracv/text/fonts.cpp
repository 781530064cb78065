// Font loading through Pillow with the module-wide FONT_CACHE, and text
// measurement. A font that cannot be opened is reported once per
// (name, size) key and replaced by Pillow's default font under that key.

#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "text/text.hpp"

namespace kv::text {
namespace {

// ImageFont.truetype(name, size); the existence test only decides how the
// name is meant (a file, or a font Pillow resolves), the call is the same.
Ref open_truetype(PyObject* name, PyObject* size) {
  Ref exists = global_attr(KV_STR("os"), KV_STR("path"));
  if (exists) exists = Ref::steal(PyObject_GetAttr(exists.get(), KV_STR("exists")));
  Ref found = exists ? call(exists.get(), {name}) : Ref();
  if (!found) return found;
  Ref truetype = global_attr(KV_STR("ImageFont"), KV_STR("truetype"));
  if (!truetype) return truetype;
  return call(truetype.get(), {name, size});
}

}  // namespace

PyObject* load_font(PyObject* name, PyObject* size) {
  Ref key = Ref::steal(PyTuple_Pack(2, name, size));
  Ref cache = key ? global(KV_STR("FONT_CACHE")) : Ref();
  if (!cache) return nullptr;
  int cached = PySequence_Contains(cache.get(), key.get());
  if (cached < 0) return nullptr;
  if (cached) return PyObject_GetItem(cache.get(), key.get());

  Ref font = open_truetype(name, size);
  if (!font) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
    PyErr_Clear();
    if (print_concat({KV_STR("Font Error: Could not load font '"), name, KV_STR("'. Using default.")}) < 0)
      return nullptr;
    Ref load_default = global_attr(KV_STR("ImageFont"), KV_STR("load_default"));
    if (!load_default) return nullptr;
    font = call(load_default.get(), {});
    if (!font) return nullptr;
  }
  cache = global(KV_STR("FONT_CACHE"));
  if (!cache || PyObject_SetItem(cache.get(), key.get(), font.get()) < 0) return nullptr;
  return font.release();
}

PyObject* text_size(PyObject* content, PyObject* font_info, double size) {
  if (PyUnicode_GET_LENGTH(content) == 0) return Py_BuildValue("(ii)", 0, 0);
  Ref isize = Ref::steal(py_int(size));
  if (!isize) return nullptr;
  Ref font = call_global(KV_STR("load_font"), {font_info, isize.get()});
  if (!font) return nullptr;
  Ref bbox = Ref::steal(PyObject_CallMethodOneArg(font.get(), KV_STR("getbbox"), content));
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
