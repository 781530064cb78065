// The Python-visible functions of the sound folder as one table:
// _volume_monitor, _play_sound_logic, play_sound and start_sound, each
// checking its declared argument types before the routines of sound.hpp.

#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "sound/sound.hpp"

namespace kv::sound {
namespace {

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
  return play_sound(a[0], start_time);
}

PyObject* py_start_sound(PyObject* const* a) {
  double start_time;
  if (!arg_str(a[0], "asset_name") || !to_double(a[1], &start_time)) return nullptr;
  return start_sound(a[0], start_time);
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
