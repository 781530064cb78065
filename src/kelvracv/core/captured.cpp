// The snapshot of whose functions the module's names hold (captured.hpp).

#include "core/captured.hpp"

#include "core/bindings.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

// The last snapshot and the namespace epoch it was taken in (0: none, or one
// that must be taken again at the next call). Bound: one snapshot; it is
// replaced when the epoch moves.
struct CapturedState {
  Captured captured;
  uint64_t epoch = 0;
};
CapturedState g_snapshot;

// Whether the module's global `name` is the module's own function `decl`.
bool own_function(PyObject* name, const FuncDecl* decl) {
  Ref f = global(name);
  if (!f) PyErr_Clear();  // a NameError: not ours
  return f && decl && function_decl(f.get()) == decl;
}

// Whether `mod`'s namespace holds an exact int that fits a long under
// `name`; *value is that int.
bool int_entry(PyObject* mod, PyObject* name, bool* watched, long* value) {
  Ref v;
  *watched = watched_entry(mod, name, &v) && *watched;
  if (!v || !PyLong_CheckExact(v.get())) return false;
  *value = PyLong_AsLong(v.get());
  if (*value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// Takes the answers; false when the epoch cannot vouch for them (then they
// are taken again at the next call).
bool capture(Captured* c) {
  static const FuncDecl* const blit = find_decl("blit");  // the tables never change
  static const FuncDecl* const text_size = find_decl("text_size");
  static const FuncDecl* const load_font = find_decl("load_font");
  c->own_blit = own_function(KV_ID(blit), blit);
  c->own_text_size = own_function(KV_ID(text_size), text_size);
  c->own_load_font = own_function(KV_ID(load_font), load_font);
  c->pillow_own = text_names_own();

  Ref cv2 = global(KV_ID(cv2));
  if (!cv2) {
    PyErr_Clear();
    return true;  // a change of `cv2` moves the epoch: the answers stay all false until then
  }
  if (!PyModule_CheckExact(cv2.get())) return true;  // nothing of it is OpenCV's own for certain
  c->cv2_own = opencv::module() && cv2.get() == opencv::module();
  PyObject* const names[opencv::kFunctionCount] = {KV_ID(line),     KV_ID(rectangle),       KV_ID(polylines),
                                                   KV_ID(fillPoly), KV_ID(ellipse),         KV_ID(warpPerspective),
                                                   KV_ID(getPerspectiveTransform)};
  static_assert(opencv::kGetPerspectiveTransform + 1 == opencv::kFunctionCount, "one name per function");
  bool watched = true;
  for (int f = 0; f < opencv::kFunctionCount; f++) {
    Ref v;
    watched = watched_entry(cv2.get(), names[f], &v) && watched;
    PyObject* own = opencv::function(static_cast<opencv::Function>(f));
    c->opencv[f] = own && v.get() == own;
  }
  c->line_aa_int = int_entry(cv2.get(), KV_ID(LINE_AA), &watched, &c->line_aa);
  c->line_4_int = int_entry(cv2.get(), KV_ID(LINE_4), &watched, &c->line_4);
  return watched;
}

}  // namespace

const Captured& captured() {
  const uint64_t epoch = namespace_epoch();
  if (epoch != 0 && epoch == g_snapshot.epoch) return g_snapshot.captured;
  Captured c;
  const bool lasting = capture(&c);
  g_snapshot.captured = c;
  g_snapshot.epoch = lasting && namespace_epoch() == epoch ? epoch : 0;
  return g_snapshot.captured;
}

}  // namespace kv
