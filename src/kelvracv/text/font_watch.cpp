// Watched fonts (see font_watch.hpp): one weak reference per font, whose
// callback drops what every part kept for it.

#include "text/font_watch.hpp"

#include <unordered_map>

namespace kv::text {
namespace {

// font -> its weak reference (held), and back. Never destroyed: weak
// references may still call back while the interpreter ends.
std::unordered_map<PyObject*, PyObject*>& g_by_font = *new std::unordered_map<PyObject*, PyObject*>();
std::unordered_map<PyObject*, PyObject*>& g_by_ref = *new std::unordered_map<PyObject*, PyObject*>();

// The weak reference's callback: the font is being freed.
PyObject* font_freed(PyObject*, PyObject* ref) {
  auto it = g_by_ref.find(ref);
  if (it == g_by_ref.end()) Py_RETURN_NONE;
  PyObject* font = it->second;
  g_by_ref.erase(it);
  g_by_font.erase(font);
  forget_font_images(font);
  forget_font_glyphs(font);
  forget_font_axes(font);
  forget_font_file(font);
  Py_DECREF(ref);  // ours; the caller holds it for the call
  Py_RETURN_NONE;
}

PyMethodDef g_freed_def = {"_font_freed", font_freed, METH_O, nullptr};

}  // namespace

bool watch_font(PyObject* font) {
  if (g_by_font.count(font)) return true;
  static PyObject* const callback = PyCFunction_New(&g_freed_def, nullptr);
  if (!callback) {
    PyErr_Clear();
    return false;
  }
  if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(font))) return false;
  PyObject* ref = PyWeakref_NewRef(font, callback);
  if (!ref) {
    PyErr_Clear();
    return false;
  }
  g_by_font.emplace(font, ref);
  g_by_ref.emplace(ref, font);
  return true;
}

}  // namespace kv::text
