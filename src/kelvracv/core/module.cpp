// Module definition and start-up: the one-time initialisation guards, the
// imports, the module globals and the fixed binding order of public names;
// a headless run (KELVRACV_HEADLESS, or KELVRACV_WEB) opens the mixer on
// SDL's dummy driver and leaves pynput out, and so does an import without a
// display or without a sound device, each with one line on standard error.
// Runs once, on the importing thread, while it holds the interpreter lock.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/bindings.hpp"
#include "core/colors.hpp"
#include "core/opencv.hpp"
#include "core/switches.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv {
namespace {

// ---- one initialisation per process ----------------------------------------

// Whether the module was initialised, and in which interpreter.
struct ModuleState {
  bool initialised = false;
  int64_t interp_id = -1;
};
ModuleState g_module_state;

// ---- binding -------------------------------------------------------------------

// Every folder's table (core/bindings.hpp).
FuncTable (*const kTables[])() = {
    color_functions, geometry_functions, window_functions,  draw_functions,     image_functions,
    text_functions,  command_functions,  sound_functions,  packager_functions,
};

// The module's functions in the order it binds them, in the start-up steps
// that bind them (each step's names end at a nullptr). Every declared function
// appears exactly once: start-up checks the list against the tables.
constexpr const char* kBindingOrder[] = {
    // 2. Geometry, colour conversion and the drawing primitives.
    "add_tuples", "apply_homography", "transform_3d", "transform", "inverse_transform", "_color_bgr", "clear", "line",
    "rect", "poly", "circle", "ellipse", "arc", "graph", nullptr,
    // 9. State functions and modes (full_transform follows).
    "push_state", "pop_state", "peek_state", "set_cam_pos", "set_cam_rot", "cycle_state", "set_3d_mode",
    "set_homography_core", "set_homography", nullptr,
    // 9. Text, images, commands, input and window.
    "load_font", "text_size", "_text_cv2", "text", "blit", "blit_cached", "tri", "quad", "move", "shift", "set_shift",
    "scale", "set_size", "rotate", "set_rotate", "set_pos", "array_to_str", "str_to_array", "draw_command_convert",
    "draw_command", "draw_tvf", "on_press", "on_release", "simulate_key_press", "on_click", "on_scroll", "on_move",
    "_key_event", "get_input", "get_window_size", "_get_win_props", "convert_win_info", "init", "run", nullptr,
    // 10. The packager and the volume monitor's loop.
    "compile_project", "_volume_monitor", nullptr,
    // 12. Sound playback.
    "_play_sound_logic", "play_sound", "start_sound", nullptr,
    // 13. Point arrays through the record.
    "transform_points", "inverse_transform_points", nullptr,
};

// Where start-up is in the binding order.
struct Binding {
  size_t next = 0;                     // the next entry of kBindingOrder
  std::vector<const FuncDecl*> bound;  // the declarations bound so far
};

// Binds the next step's functions, in order. A name no table holds, or one
// bound twice, is a build fault.
int bind_step(PyObject* m, Binding* b) {
  for (; b->next < std::size(kBindingOrder) && kBindingOrder[b->next]; ++b->next) {
    const char* name = kBindingOrder[b->next];
    const FuncDecl* fdef = find_decl(name);
    if (!fdef || std::find(b->bound.begin(), b->bound.end(), fdef) != b->bound.end()) {
      PyErr_Format(PyExc_SystemError, "start-up: '%s' is %s", name, fdef ? "bound twice" : "in no function table");
      return -1;
    }
    Ref f = Ref::steal(make_function(fdef));
    if (!f || PyModule_AddObjectRef(m, name, f.get()) < 0) return -1;
    b->bound.push_back(fdef);
  }
  ++b->next;  // past the step's end
  return 0;
}

// Every declaration must have been bound by the binding order.
int check_all_bound(const Binding& b) {
  if (b.next != std::size(kBindingOrder)) {
    PyErr_SetString(PyExc_SystemError, "start-up: the binding order lists a step that start-up does not bind");
    return -1;
  }
  for (auto table : kTables) {
    FuncTable t = table();
    for (size_t i = 0; i < t.size; ++i) {
      if (std::find(b.bound.begin(), b.bound.end(), &t.entries[i]) == b.bound.end()) {
        PyErr_Format(PyExc_SystemError, "start-up: '%s' is declared but not in the binding order", t.entries[i].name);
        return -1;
      }
    }
  }
  return 0;
}

// ---- start-up helpers -------------------------------------------------------------

// import name [as alias]
int import_as(PyObject* m, const char* name, const char* alias) {
  Ref mod = import(name);
  if (!mod) return -1;
  return PyModule_AddObjectRef(m, alias, mod.get());
}

// from package import name [as alias], for each pair.
int import_from(PyObject* m, const char* package, std::initializer_list<std::pair<const char*, const char*>> names) {
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return -1;
  for (const auto& [name, alias] : names) {
    (void)alias;
    Ref s = Ref::steal(PyUnicode_FromString(name));
    if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return -1;
  }
  Ref pkg = Ref::steal(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.get(), 0));
  if (!pkg) return -1;
  for (const auto& [name, alias] : names) {
    Ref v = Ref::steal(PyObject_GetAttrString(pkg.get(), name));
    if (!v) {
      // `from package import sub` of a submodule not yet imported
      PyErr_Clear();
      char full[128];
      PyOS_snprintf(full, sizeof full, "%s.%s", package, name);
      v = import(full);
      if (!v) return -1;
    }
    if (PyModule_AddObjectRef(m, alias, v.get()) < 0) return -1;
  }
  return 0;
}

int add_new(PyObject* m, const char* name, PyObject* value) {
  if (!value) return -1;
  int r = PyModule_AddObjectRef(m, name, value);
  Py_DECREF(value);
  return r;
}

PyObject* str_list(std::initializer_list<const char*> items) {
  PyObject* l = PyList_New(0);
  if (!l) return nullptr;
  for (const char* s : items) {
    PyObject* o = PyUnicode_FromString(s);
    if (!o || PyList_Append(l, o) < 0) {
      Py_XDECREF(o);
      Py_DECREF(l);
      return nullptr;
    }
    Py_DECREF(o);
  }
  return l;
}

// STATE_KEYS: a new list of the record's nine keys, in their declared order.
PyObject* record_keys() {
  PyObject* keys[] = {
#define KV_RECORD_KEY(field, text) KV_ID(field),
      KV_RECORD_KEYS(KV_RECORD_KEY)
#undef KV_RECORD_KEY
  };
  PyObject* l = PyList_New(0);
  for (PyObject* k : keys)
    if (l && PyList_Append(l, k) < 0) Py_CLEAR(l);
  return l;
}

// Step 6: the shared globals, in order.
int create_globals(PyObject* m) {
  if (add_new(m, "FONT_CACHE", PyDict_New()) < 0) return -1;
  if (add_new(m, "GLOBAL_VOLUME", Py_BuildValue("[d]", 1.0)) < 0) return -1;
  if (add_new(m, "KEYS", PyDict_New()) < 0) return -1;
  if (PyModule_AddObjectRef(m, "RUN", Py_True) < 0) return -1;
  if (add_new(m, "MOUSE_SCR_POS", Py_BuildValue("(ii)", 0, 0)) < 0) return -1;
  if (add_new(m, "MOUSE_STATE", Py_BuildValue("{s(dd)s[OOO]sd}", "world_pos", 0.0, 0.0, "buttons", Py_False,
                                              Py_False, Py_False, "scroll", 0.0)) < 0)
    return -1;
  if (add_new(m, "TS_STACK", PyList_New(0)) < 0) return -1;
  // Set by the web front-end: where the loop hands each shown frame, and the
  // key presses of the page that get_input("press") takes.
  if (PyModule_AddObjectRef(m, "FRAME_SINK", Py_None) < 0) return -1;
  if (PyModule_AddObjectRef(m, "PRESS_QUEUE", Py_None) < 0) return -1;
  return add_new(m, "TEXT_FILE_EXTENSIONS",
                 str_list({".tvf", ".txt", ".json", ".csv", ".md", ".py", ".c", ".pyx", ".tsx"}));
}

// os.environ.setdefault(name, value): the user's own setting wins.
int environ_default(PyObject* env, const char* name, const char* value) {
  Ref r = Ref::steal(PyObject_CallMethod(env, "setdefault", "ss", name, value));
  return r ? 0 : -1;
}

// print(text, file=sys.stderr)
int print_stderr(PyObject* text) {
  Ref err = global_attr(KV_ID(sys), KV_ID(stderr));
  return err && call_global(KV_ID(print), {text, err.get()}, KV_KW(file)) ? 0 : -1;
}

// The C library's standard error (file descriptor 2) diverted into a
// temporary file while the mixer opens, where ALSA writes its own lines about
// a missing device. put_back() restores it and writes out what came, leaving
// out ALSA's lines when asked (the device could not be opened: the library's
// own line says so); everything else written meanwhile is kept. Where the
// diversion cannot be made, nothing is diverted.
class DivertedStderr {
 public:
  DivertedStderr() {
    Ref err = global_attr(KV_ID(sys), KV_ID(stderr));  // what Python holds goes out first
    Ref flushed = err ? Ref::steal(PyObject_CallMethod(err.get(), "flush", nullptr)) : Ref();
    if (!flushed) PyErr_Clear();
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_ = file_ ? dup(2) : -1;
    if (saved_ < 0 || dup2(fileno(file_), 2) < 0) drop();
  }
  ~DivertedStderr() { put_back(false); }
  DivertedStderr(const DivertedStderr&) = delete;
  DivertedStderr& operator=(const DivertedStderr&) = delete;

  void put_back(bool leave_out_alsa) {
    if (!file_) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    std::string text;
    char buf[4096];
    std::rewind(file_);
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) text.append(buf, n);
    drop();
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      end = end == std::string::npos ? text.size() : end + 1;
      bool alsa = text.compare(at, 9, "ALSA lib ") == 0;
      if (!(leave_out_alsa && alsa) && write(2, text.data() + at, end - at) < 0) break;
      at = end;
    }
  }

 private:
  void drop() {
    if (saved_ >= 0) close(saved_);
    if (file_) std::fclose(file_);
    saved_ = -1;
    file_ = nullptr;
  }
  FILE* file_ = nullptr;
  int saved_ = -1;
};

// pygame.mixer.init(44100, -16, 2, 512)
Ref mixer_init() {
  Ref mixer = global_attr(KV_ID(pygame), KV_ID(mixer));
  Ref init = mixer ? attr_of(mixer.get(), KV_ID(init)) : Ref();
  if (!init) return init;
  return Ref::steal(PyObject_CallFunction(init.get(), "iiii", 44100, -16, 2, 512));
}

// Step 4, the mixer: 44100 Hz, signed 16 bit, stereo, 512-sample buffer.
// SDL is asked to install no signal handlers (unless the user decided), so
// SIGTERM and Ctrl+C end the program as usual. A headless run
// (KELVRACV_HEADLESS) needs no sound device: SDL's dummy audio driver unless
// the user chose one. Where the device cannot be opened (pygame.error), the
// mixer opens on the dummy driver instead and one line on standard error says
// that sound is off.
int open_mixer(bool headless) {
  Ref env = global_attr(KV_ID(os), KV_ID(environ));
  if (!env || environ_default(env.get(), "SDL_NO_SIGNAL_HANDLERS", "1") < 0) return -1;
  if (headless && environ_default(env.get(), "SDL_AUDIODRIVER", "dummy") < 0) return -1;
  DivertedStderr diverted;
  if (mixer_init()) return 0;
  Ref error = global_attr(KV_ID(pygame), KV_ID(error));
  if (!error || !PyErr_ExceptionMatches(error.get())) return -1;
  Ref failure = Ref::steal(PyErr_GetRaisedException());
  Ref driver = Ref::steal(PyUnicode_FromString("SDL_AUDIODRIVER"));
  if (!driver || PyObject_SetItem(env.get(), driver.get(), KV_ID(dummy)) < 0 || !mixer_init()) return -1;
  diverted.put_back(true);
  Ref reason = str_of(failure.get());
  Ref line = reason ? Ref::steal(PyUnicode_FromFormat("kelvracv: no sound device (%U), sound is off", reason.get()))
                    : Ref();
  return line ? print_stderr(line.get()) : -1;
}

// The module body, top to bottom.
// __switch_on__(value): whether a KELVRACV_* switch set to the str `value` is
// on, by the one rule of core/switches.hpp (the Python glue reads its
// switches through it; None is unset).
PyObject* switch_on_value(PyObject*, PyObject* value) {
  if (value == Py_None) Py_RETURN_FALSE;
  int on = text_switch(value);
  if (on < 0) return nullptr;
  return PyBool_FromLong(on);
}

const PyMethodDef kSwitchOn = {"__switch_on__", switch_on_value, METH_O,
                               "Whether a KELVRACV_* switch set to this str (None: unset) is on."};

int add_switch_rule(PyObject* m) {
  Ref name = Ref::steal(PyUnicode_FromString("kelvracv._kelvra_core"));
  Ref fn = name ? Ref::steal(builtin_function(kSwitchOn, name.get())) : Ref();
  return fn ? PyModule_AddObjectRef(m, "__switch_on__", fn.get()) : -1;
}

int startup(PyObject* m) {
  Binding binding;
  // 1. NumPy, OpenCV, typing and Pillow names.
  if (import_as(m, "numpy", "np") < 0 || import_as(m, "cv2", "cv2") < 0) return -1;
  if (import_from(m, "typing", {{"Dict", "Dict"}, {"Tuple", "Tuple"}, {"Optional", "Opt"}}) < 0) return -1;
  if (import_from(m, "PIL", {{"ImageFont", "ImageFont"}, {"ImageDraw", "ImageDraw"}, {"Image", "Image"}}) < 0)
    return -1;
  if (text_startup(m) < 0) return -1;
  // The OpenCV profile: its own functions and the native capabilities it allows.
  if (opencv::startup(m) < 0 || native_drawing_startup(m) < 0 || add_switch_rule(m) < 0) return -1;
  // 2. Geometry, colour conversion and the drawing primitives.
  if (bind_step(m, &binding) < 0) return -1;
  // 3. Standard modules, NumPy and OpenCV again, pygame.
  for (const char* name : {"sys", "os", "time", "threading", "math", "shutil", "glob", "signal"})
    if (import_as(m, name, name) < 0) return -1;
  if (import_as(m, "numpy", "np") < 0 || import_as(m, "cv2", "cv2") < 0) return -1;
  // pygame's greeting is not this library's output: hidden unless the user decided.
  Ref env = global_attr(KV_ID(os), KV_ID(environ));
  if (!env || environ_default(env.get(), "PYGAME_HIDE_SUPPORT_PROMPT", "1") < 0) return -1;
  if (import_as(m, "pygame", "pygame") < 0) return -1;
  // 4. The mixer; 5. pynput's keyboard and mouse.
  int no_window = headless();  // KELVRACV_HEADLESS, or KELVRACV_WEB
  if (no_window < 0 || open_mixer(no_window) < 0 || input_startup(m, no_window) < 0) return -1;
  // 6. Shared globals.
  if (create_globals(m) < 0) return -1;
  // 7. The asset manager class and ASSETS.
  if (asset_manager_startup(m) < 0) return -1;
  // 8. Colour table and record keys.
  if (add_new(m, "C", make_color_table()) < 0) return -1;
  if (add_new(m, "STATE_KEYS", record_keys()) < 0) return -1;
  // 9. State functions, modes, text, images, commands, input and window.
  if (bind_step(m, &binding) < 0) return -1;
  if (PyObject* core = PyDict_GetItemString(module_dict(), "set_homography_core"))
    if (PyModule_AddObjectRef(m, "full_transform", core) < 0) return -1;
  if (bind_step(m, &binding) < 0) return -1;
  // 10. Packager and the volume monitor thread; 11. its start-up line.
  if (bind_step(m, &binding) < 0) return -1;
  if (volume_monitor_startup(m) < 0) return -1;
  // 12. Sound playback.
  if (bind_step(m, &binding) < 0) return -1;
  // 13. Point arrays through the record.
  if (bind_step(m, &binding) < 0) return -1;
  return check_all_bound(binding);
}

// ---- module slots ------------------------------------------------------------

PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return nullptr;
  if (g_module_state.interp_id == -1) {
    g_module_state.interp_id = id;
  } else if (g_module_state.interp_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

int exec_module(PyObject* m) {
  if (g_module_state.initialised) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_kelvra_core' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  g_module_state.initialised = true;
  if (import_numpy() < 0) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyObject* exc = PyErr_GetRaisedException();
      PyErr_SetString(PyExc_ImportError, "numpy's C API could not be loaded");
      PyObject* imp = PyErr_GetRaisedException();
      PyException_SetCause(imp, exc);
      PyErr_SetRaisedException(imp);
    }
    return -1;
  }
  if (init_names() < 0 || init_function_type() < 0 || command_startup() < 0) return -1;
  set_module(m);
  return startup(m);
}

const PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // One interpreter per process: the module keeps its state in the process
    // (the interned names, the caches, the listeners, the monitor thread).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

// CPython fills in the definition's head when the module is made: it stays writable.
PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "kelvracv._kelvra_core",
    "Native core of kelvracv: drawing, geometry, window loop, input, images, text, commands and sound.",
    0,
    nullptr,
    const_cast<PyModuleDef_Slot*>(kSlots),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kv

namespace kv {

const FuncDecl* find_decl(const char* name) {
  for (auto table : kTables) {
    FuncTable t = table();
    for (size_t i = 0; i < t.size; ++i)
      if (std::strcmp(t.entries[i].name, name) == 0) return &t.entries[i];
  }
  return nullptr;
}

}  // namespace kv

PyMODINIT_FUNC PyInit__kelvra_core() { return PyModuleDef_Init(&kv::g_def); }
