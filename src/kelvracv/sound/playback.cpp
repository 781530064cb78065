// Sound playback: the routine that starts a cached sound, gives its channel
// the master volume, waits for the rest of the sound and reports progress.
// Runs on the caller's thread (play_sound) or on one daemon thread per
// start_sound call; the interpreter lock is released only inside time.sleep.

#include <cmath>
#include <cstdlib>

#include "core/switches.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "sound/sound.hpp"

namespace kv::sound {
namespace {

// ---- internal helpers --------------------------------------------------------

// 1 when `sound` is a pygame.mixer.Sound of the module's pygame, 0 when not
// (or when the module's pygame has no such type), -1 on error.
int is_pygame_sound(PyObject* sound) {
  Ref pygame = global(KV_ID(pygame));
  if (!pygame) {
    if (!PyErr_ExceptionMatches(PyExc_NameError)) return -1;
    PyErr_Clear();
    return 0;
  }
  PyObject* found = nullptr;
  int r = PyObject_GetOptionalAttr(pygame.get(), KV_ID(mixer), &found);
  if (r <= 0) return r;
  Ref mixer = Ref::steal(found);
  r = PyObject_GetOptionalAttr(mixer.get(), KV_ID(Sound), &found);
  if (r <= 0) return r;
  Ref type = Ref::steal(found);
  if (!PyType_Check(type.get())) return 0;
  return PyObject_IsInstance(sound, type.get());
}

// A pygame sound started `offset` seconds in: pygame's Sound.play knows no
// start offset, so a new Sound is made from the samples after the offset
// (in the mixer's own format, as get_raw returns them) and keeps the
// original's volume.
Ref play_pygame_from(PyObject* sound, double offset, bool* nothing) {
  if (!(offset > 0.0)) return Ref::steal(PyObject_CallMethodNoArgs(sound, KV_ID(play)));
  Ref mixer = global_attr(KV_ID(pygame), KV_ID(mixer));
  if (!mixer) return Ref();
  Ref init = Ref::steal(PyObject_CallMethodNoArgs(mixer.get(), KV_ID(get_init)));
  if (!init) return Ref();
  long mix[3];  // frequency, format (signed bit count), channels
  for (int i = 0; i < 3; i++) {
    Ref v = Ref::steal(item(init.get(), i));
    if (!v) return Ref();
    mix[i] = PyLong_AsLong(v.get());
    if (mix[i] == -1 && PyErr_Occurred()) return Ref();
  }
  long frame_bytes = std::labs(mix[1]) / 8 * mix[2];
  if (mix[0] <= 0 || frame_bytes <= 0) {
    PyErr_SetString(PyExc_SystemError, "play_pygame_from: unexpected mixer format");
    return Ref();
  }
  Ref raw = Ref::steal(PyObject_CallMethodNoArgs(sound, KV_ID(get_raw)));
  if (!raw) return Ref();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(raw.get(), &data, &size) < 0) return Ref();
  double cut = std::floor(offset * static_cast<double>(mix[0])) * static_cast<double>(frame_bytes);
  if (!(cut < static_cast<double>(size))) {  // the offset lies past the end
    *nothing = true;
    return Ref::borrow(Py_None);
  }
  Py_ssize_t at = static_cast<Py_ssize_t>(cut);
  Ref tail = Ref::steal(PyBytes_FromStringAndSize(data + at, size - at));
  Ref sound_type = Ref::steal(PyObject_GetAttr(mixer.get(), KV_ID(Sound)));
  if (!tail || !sound_type) return Ref();
  Ref cut_sound = call(sound_type.get(), {tail.get()}, KV_KW(buffer));
  if (!cut_sound) return Ref();
  Ref volume = Ref::steal(PyObject_CallMethodNoArgs(sound, KV_ID(get_volume)));
  if (!volume) return Ref();
  Ref set = Ref::steal(PyObject_CallMethodOneArg(cut_sound.get(), KV_ID(set_volume), volume.get()));
  if (!set) return Ref();
  return Ref::steal(PyObject_CallMethodNoArgs(cut_sound.get(), KV_ID(play)));
}

// A progress line, the pieces concatenated; nothing under KELVRACV_QUIET.
int print_progress(std::initializer_list<PyObject*> pieces) {
  if (int q = quiet()) return q < 0 ? -1 : 0;
  return print_concat(pieces);
}

// prefix + " Playing '" + filename + "' starting at " + f"{start_time:.2f}" + " seconds..."
int print_playing(PyObject* prefix, PyObject* filename, double start_time) {
  Ref start = Ref::steal(PyFloat_FromDouble(start_time));
  if (!start) return -1;
  Ref shown = Ref::steal(PyObject_Format(start.get(), KV_ID(s_2f)));
  if (!shown) return -1;
  return print_progress(
      {prefix, KV_ID(s_Playing), filename, KV_ID(s_starting_at), shown.get(), KV_ID(s_seconds)});
}

// Starts the sound with the raw master volume on its channel and returns the
// seconds to wait, max(0, duration - start_time) + 0.1 (new reference).
PyObject* begin_playback(PyObject* sound, double start_time) {
  Ref duration = Ref::steal(PyObject_CallMethodNoArgs(sound, KV_ID(get_length)));
  if (!duration) return nullptr;
  Ref start = Ref::steal(PyFloat_FromDouble(start_time));
  if (!start) return nullptr;
  bool nothing = false;
  Ref channel = start_channel(sound, start.get(), &nothing);
  if (!channel) return nullptr;
  if (!nothing) {
    // The raw value: the monitor clamps it on its next pass.
    Ref volumes = global(KV_ID(GLOBAL_VOLUME));
    if (!volumes) return nullptr;
    Ref volume = Ref::steal(item(volumes.get(), 0));
    if (!volume) return nullptr;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(channel.get(), KV_ID(set_volume), volume.get()));
    if (!r) return nullptr;
  }
  Ref rest = Ref::steal(PyNumber_Subtract(duration.get(), start.get()));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref tenth = Ref::steal(PyFloat_FromDouble(0.1));
  if (!rest || !zero || !tenth) return nullptr;
  int positive = PyObject_RichCompareBool(rest.get(), zero.get(), Py_GT);  // max(0, rest)
  if (positive < 0) return nullptr;
  return PyNumber_Add(positive ? rest.get() : zero.get(), tenth.get());
}

// The guard's except branch: an Exception becomes the error line and False.
PyObject* report_failure(PyObject* prefix) {
  if (!report_exception({prefix, KV_ID(s_Error_playing_sound)})) return nullptr;
  Py_RETURN_FALSE;
}

// ---- playing cached sounds ----------------------------------------------------

// ASSETS.get_snd(asset_name), the asset manager looked up at each use.
Ref cached_sound(PyObject* asset_name) {
  Ref assets = global(KV_ID(ASSETS));
  if (!assets) return Ref();
  return Ref::steal(PyObject_CallMethodOneArg(assets.get(), KV_ID(get_snd), asset_name));
}

int print_not_found(PyObject* asset_name) {
  return print_concat({KV_ID(s_Error_Cached_sound), asset_name, KV_ID(s_not_found)});
}

// _play_sound_logic(sound, asset_name, start_time, "\n[Blocking]") through the
// module global; only raw pointers here, as the call sleeps (see nap).
bool play_blocking(PyObject* sound, PyObject* asset_name, double start_time) {
  PyObject* logic = global(KV_ID(_play_sound_logic)).release();
  if (!logic) return false;
  PyObject* start = PyFloat_FromDouble(start_time);
  PyObject* r = nullptr;
  if (start) {
    PyObject* args[] = {sound, asset_name, start, KV_ID(s_Blocking)};
    r = PyObject_Vectorcall(logic, args, 4, nullptr);
    Py_DECREF(start);
  }
  Py_DECREF(logic);
  Py_XDECREF(r);
  return r != nullptr;
}

// threading.Thread(target=_play_sound_logic, args=(...), daemon=True).start()
bool play_on_thread(PyObject* sound, PyObject* asset_name, double start_time) {
  Ref logic = global(KV_ID(_play_sound_logic));
  Ref start = Ref::steal(PyFloat_FromDouble(start_time));
  if (!logic || !start) return false;
  Ref args = Ref::steal(PyTuple_Pack(4, sound, asset_name, start.get(), KV_ID(s_Non_Blocking_Thread)));
  Ref thread_type = global_attr(KV_ID(threading), KV_ID(Thread));
  if (!args || !thread_type) return false;
  Ref thread = call(thread_type.get(), {logic.get(), args.get(), Py_True}, KV_KW(target_args_daemon));
  if (!thread) return false;
  return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(thread.get(), KV_ID(start))));
}

}  // namespace

// ---- public routines ---------------------------------------------------------

Ref start_channel(PyObject* sound, PyObject* start, bool* nothing) {
  *nothing = false;
  int pygame_sound = is_pygame_sound(sound);
  if (pygame_sound < 0) return Ref();
  if (pygame_sound) return play_pygame_from(sound, PyFloat_AsDouble(start), nothing);
  Ref play = Ref::steal(PyObject_GetAttr(sound, KV_ID(play)));
  if (!play) return Ref();
  return call(play.get(), {start}, KV_KW(start));
}

PyObject* play_sound_logic(PyObject* sound, PyObject* filename, double start_time, PyObject* prefix) {
  if (print_playing(prefix, filename, start_time) < 0) return nullptr;
  // Raw pointers only in this frame across the sleep (see nap).
  PyObject* wait = begin_playback(sound, start_time);
  bool done = wait && nap(wait);
  Py_XDECREF(wait);
  if (done && print_progress({prefix, KV_ID(s_Playback_finished)}) == 0) Py_RETURN_TRUE;
  return report_failure(prefix);
}

PyObject* play_sound(PyObject* asset_name, double start_time) {
  PyObject* sound = cached_sound(asset_name).release();  // raw: the playback sleeps (see nap)
  if (!sound) return nullptr;
  int found = PyObject_IsTrue(sound);
  bool ok = found > 0 ? play_blocking(sound, asset_name, start_time)
                      : found == 0 && print_not_found(asset_name) == 0;
  Py_DECREF(sound);
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* start_sound(PyObject* asset_name, double start_time) {
  Ref sound = cached_sound(asset_name);
  if (!sound) return nullptr;
  int found = PyObject_IsTrue(sound.get());
  if (found < 0) return nullptr;
  if (!found) return print_not_found(asset_name) < 0 ? nullptr : Py_NewRef(Py_None);
  if (print_progress({KV_ID(s_Non_Blocking_Starting_thread_to_play), asset_name, KV_ID(s_quote_ellipsis)}) < 0 ||
      !play_on_thread(sound.get(), asset_name, start_time) ||
      print_progress({KV_ID(s_Non_Blocking_Function_returned_immediate)}) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace kv::sound
