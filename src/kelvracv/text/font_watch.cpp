// Watched fonts (see font_watch.hpp): one weak reference per font, whose
// callback drops what every part kept for it.

#include "text/font_watch.hpp"

#include "text/font_files.hpp"

namespace kv::text {
namespace {

// The weak reference's callback: the font is being freed.
PyObject* font_freed(PyObject*, PyObject* ref) {
  FontFileState& state = font_file_state();
  auto it = state.font_of_ref.find(ref);
  if (it == state.font_of_ref.end()) Py_RETURN_NONE;
  PyObject* font = it->second;
  state.font_of_ref.erase(it);
  state.ref_of_font.erase(font);
  forget_font_images(font);
  forget_font_glyphs(font);
  forget_font_axes(font);
  forget_font_file(font);
  Py_DECREF(ref);  // ours; the caller holds it for the call
  Py_RETURN_NONE;
}

const PyMethodDef kFreedDef = {"_font_freed", font_freed, METH_O, nullptr};

}  // namespace

bool watch_font(PyObject* font) {
  FontFileState& state = font_file_state();
  if (state.ref_of_font.count(font)) return true;
  if (!state.freed_callback && !(state.freed_callback = builtin_function(kFreedDef))) {
    PyErr_Clear();
    return false;
  }
  if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(font))) return false;
  PyObject* ref = PyWeakref_NewRef(font, state.freed_callback);
  if (!ref) {
    PyErr_Clear();
    return false;
  }
  state.ref_of_font.emplace(font, ref);
  state.font_of_ref.emplace(ref, font);
  return true;
}

}  // namespace kv::text
