// The asset manager: the plain Python class AssetManager (made with type(),
// its methods are native functions) and the module-wide instance ASSETS,
// both created at start-up (asset_manager_startup). Loading runs on the
// caller's thread; sound threads only read through get_snd.

#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/messages.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv {
namespace {

// self.<attr>.get(name): a dict lookup for dicts, else the mapping's own get.
Ref attr_get(PyObject* self, PyObject* attr, PyObject* name) {
  Ref d = Ref::steal(PyObject_GetAttr(self, attr));
  if (!d) return d;
  if (PyDict_CheckExact(d.get())) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(d.get(), name, &v) < 0) return Ref();
    return v ? Ref::steal(v) : Ref::borrow(Py_None);
  }
  return Ref::steal(PyObject_CallMethodObjArgs(d.get(), KV_ID(get), name, nullptr));
}

// After a failed load: an Exception is reported as one line and swallowed;
// anything else (KeyboardInterrupt, SystemExit) keeps propagating.
PyObject* report_load_error(PyObject* prefix, PyObject* name) {
  if (!report_exception({prefix, name, KV_ID(s_quote_colon)})) return nullptr;
  Py_RETURN_NONE;
}

// True when name is already a key of self.<attr> (-1 on error).
int already_loaded(PyObject* self, PyObject* attr, PyObject* name) {
  Ref d = Ref::steal(PyObject_GetAttr(self, attr));
  if (!d) return -1;
  return PySequence_Contains(d.get(), name);
}

// self.<attr>[name] = value
bool store(PyObject* self, PyObject* attr, PyObject* name, PyObject* value) {
  Ref d = Ref::steal(PyObject_GetAttr(self, attr));
  return d && PyObject_SetItem(d.get(), name, value) == 0;
}

// ---- methods -------------------------------------------------------------------

PyObject* am_init(PyObject* self) {
  Ref images = Ref::steal(PyDict_New());
  if (!images || PyObject_SetAttr(self, KV_ID(images), images.get()) < 0) return nullptr;
  Ref sounds = Ref::steal(PyDict_New());
  if (!sounds || PyObject_SetAttr(self, KV_ID(sounds), sounds.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* am_load_image(PyObject* self, PyObject* name, PyObject* path) {
  int found = already_loaded(self, KV_ID(images), name);
  if (found < 0) return nullptr;
  if (found) Py_RETURN_NONE;
  // cv2.imread(path, cv2.IMREAD_UNCHANGED): None for an unreadable file is stored too.
  // A path that does not encode to UTF-8 (a lone surrogate) would crash
  // OpenCV's own conversion: its UnicodeEncodeError is a load error instead.
  Ref imread = global_attr(KV_ID(cv2), KV_ID(imread));
  Ref flag = imread ? global_attr(KV_ID(cv2), KV_ID(IMREAD_UNCHANGED)) : Ref();
  bool encodable = flag && PyUnicode_AsUTF8AndSize(path, nullptr);
  Ref img = encodable ? call(imread.get(), {path, flag.get()}) : Ref();
  if (!img || !store(self, KV_ID(images), name, img.get()))
    return report_load_error(KV_ID(s_Asset_Error_loading_image), name);
  Py_RETURN_NONE;
}

PyObject* am_load_sound(PyObject* self, PyObject* name, PyObject* path) {
  int found = already_loaded(self, KV_ID(sounds), name);
  if (found < 0) return nullptr;
  if (found) Py_RETURN_NONE;
  Ref mixer = global_attr(KV_ID(pygame), KV_ID(mixer));
  Ref sound_type = mixer ? Ref::steal(PyObject_GetAttr(mixer.get(), KV_ID(Sound))) : Ref();
  Ref snd = sound_type ? call(sound_type.get(), {path}) : Ref();
  if (!snd || !store(self, KV_ID(sounds), name, snd.get()))
    return report_load_error(KV_ID(s_Asset_Error_loading_sound), name);
  Py_RETURN_NONE;
}

PyObject* am_get_img(PyObject* self, PyObject* name) {
  Ref v = attr_get(self, KV_ID(images), name);
  if (v && v.get() != Py_None && !PyArray_Check(v.get())) {
    PyErr_Format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(v.get())->tp_name, "numpy.ndarray");
    return nullptr;
  }
  return v.release();
}

PyObject* am_get_snd(PyObject* self, PyObject* name) {
  return attr_get(self, KV_ID(sounds), name).release();
}

// Method tables live as long as the class (the process).
constexpr auto kName = "name"_a.str().ann("str");
constexpr auto kPath = "path"_a.str().ann("str");

const FuncDecl kMethods[] = {
    def<am_init>("__init__", "self"),
    def<am_load_image>("load_image", "self", kName, kPath),
    def<am_load_sound>("load_sound", "self", kName, kPath),
    def<am_get_img>("get_img", "self", kName).returns("Opt[np.ndarray]"),
    def<am_get_snd>("get_snd", "self", kName).returns("Opt[pygame.mixer.Sound]"),
};

// Start-up step 7: class AssetManager, then ASSETS = AssetManager().
int define_asset_manager(PyObject* m) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return -1;
  Ref module_name = Ref::steal(PyUnicode_FromString("kelvracv._kelvra_core"));
  Ref qualname = Ref::steal(PyUnicode_FromString("AssetManager"));
  Ref doc = Ref::steal(PyUnicode_FromString("Manages cached assets."));
  if (!module_name || !qualname || !doc || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
    return -1;
  for (const FuncDecl& fdef : kMethods) {
    Ref f = Ref::steal(make_function(&fdef));
    if (!f) return -1;
    Ref method_qualname = Ref::steal(PyUnicode_FromFormat("AssetManager.%s", fdef.name));
    if (!method_qualname || PyObject_SetAttrString(f.get(), "__qualname__", method_qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), fdef.name, f.get()) < 0)
      return -1;
  }
  Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "AssetManager",
                                             reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
  if (!cls || PyModule_AddObjectRef(m, "AssetManager", cls.get()) < 0) return -1;
  Ref assets = Ref::steal(PyObject_CallNoArgs(cls.get()));
  if (!assets) return -1;
  return PyModule_AddObjectRef(m, "ASSETS", assets.get());
}

}  // namespace

int asset_manager_startup(PyObject* m) { return define_asset_manager(m); }

}  // namespace kv
