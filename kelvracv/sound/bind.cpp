// Python-visible sound functions: _volume_monitor, _play_sound_logic,
// play_sound and start_sound. They check the declared argument types, fetch
// sounds from the module's ASSETS and hand them to the playback routine,
// on the caller's thread or on a new daemon thread.

#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "sound/sound.hpp"

namespace kv::sound {
namespace {

// ---- internal helpers --------------------------------------------------------

// ASSETS.get_snd(asset_name), the asset manager looked up at each use.
Ref cached_sound(PyObject* asset_name) {
  Ref assets = global(KV_STR("ASSETS"));
  if (!assets) return Ref();
  return Ref::steal(PyObject_CallMethodOneArg(assets.get(), KV_STR("get_snd"), asset_name));
}

int print_not_found(PyObject* asset_name) {
  return print_concat({KV_STR("Error:Cached sound '"), asset_name, KV_STR("' not found.")});
}

// _play_sound_logic(sound, asset_name, start_time, "\n[Blocking]") through the
// module global; only raw pointers here, as the call sleeps (see nap).
bool play_blocking(PyObject* sound, PyObject* asset_name, double start_time) {
  PyObject* logic = global(KV_STR("_play_sound_logic")).release();
  if (!logic) return false;
  PyObject* start = PyFloat_FromDouble(start_time);
  PyObject* r = nullptr;
  if (start) {
    PyObject* args[] = {sound, asset_name, start, KV_STR("\n[Blocking]")};
    r = PyObject_Vectorcall(logic, args, 4, nullptr);
    Py_DECREF(start);
  }
  Py_DECREF(logic);
  Py_XDECREF(r);
  return r != nullptr;
}

// threading.Thread(target=_play_sound_logic, args=(...), daemon=True).start()
bool play_on_thread(PyObject* sound, PyObject* asset_name, double start_time) {
  Ref logic = global(KV_STR("_play_sound_logic"));
  Ref start = Ref::steal(PyFloat_FromDouble(start_time));
  if (!logic || !start) return false;
  Ref args = Ref::steal(PyTuple_Pack(4, sound, asset_name, start.get(), KV_STR("[Non - Blocking Thread]")));
  Ref thread_type = global_attr(KV_STR("threading"), KV_STR("Thread"));
  if (!args || !thread_type) return false;
  Ref thread = call(thread_type.get(), {logic.get(), args.get(), Py_True}, KV_KW(target_args_daemon));
  if (!thread) return false;
  return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(thread.get(), KV_STR("start"))));
}

// ---- Python-visible functions ------------------------------------------------

PyObject* py_volume_monitor(PyObject* const*) { return volume_monitor(); }

PyObject* py_play_sound_logic(PyObject* const* a) {
  double start_time;
  if (!arg_str(a[1], "filename") || !to_double(a[2], &start_time) || !arg_str(a[3], "prefix")) return nullptr;
  return play_sound_logic(a[0], a[1], start_time, a[3]);
}

PyObject* py_play_sound(PyObject* const* a) {
  double start_time;
  if (!arg_str(a[0], "asset_name") || !to_double(a[1], &start_time)) return nullptr;
  PyObject* sound = cached_sound(a[0]).release();
  if (!sound) return nullptr;
  int found = PyObject_IsTrue(sound);
  bool ok = found > 0 ? play_blocking(sound, a[0], start_time) : found == 0 && print_not_found(a[0]) == 0;
  Py_DECREF(sound);
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* py_start_sound(PyObject* const* a) {
  double start_time;
  if (!arg_str(a[0], "asset_name") || !to_double(a[1], &start_time)) return nullptr;
  Ref sound = cached_sound(a[0]);
  if (!sound) return nullptr;
  int found = PyObject_IsTrue(sound.get());
  if (found < 0) return nullptr;
  if (!found) return print_not_found(a[0]) < 0 ? nullptr : Py_NewRef(Py_None);
  if (print_concat({KV_STR("\n[Non - Blocking] Starting thread to play '"), a[0], KV_STR("'...")}) < 0 ||
      !play_on_thread(sound.get(), a[0], start_time) ||
      print_line(KV_STR("[Non - Blocking] Function returned immediately.")) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

// ---- registration ------------------------------------------------------------

const FuncSpec kFunctions[] = {
    {"_volume_monitor", py_volume_monitor, {}},
    {"_play_sound_logic",
     py_play_sound_logic,
     {{"sound"}, {"filename"}, {"start_time"}, {"prefix"}},
     nullptr,
     false,
     {{"sound", "pygame.mixer.Sound"}, {"filename", "str"}, {"start_time", "float"}, {"prefix", "str"}}},
    {"play_sound",
     py_play_sound,
     {{"asset_name"}, opt("start_time", Default::real(0.0))},
     nullptr,
     false,
     {{"asset_name", "str"}, {"start_time", "float"}}},
    {"start_sound",
     py_start_sound,
     {{"asset_name"}, opt("start_time", Default::real(0.0))},
     nullptr,
     false,
     {{"asset_name", "str"}, {"start_time", "float"}}},
};

}  // namespace
}  // namespace kv::sound

namespace kv {
FuncTable sound_functions() { return {sound::kFunctions, std::size(sound::kFunctions)}; }
}  // namespace kv
