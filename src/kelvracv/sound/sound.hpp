// Sound playback and the master-volume monitor: the routines shared by the
// monitor thread, the playback routine and the Python-visible wrappers.
// Every routine runs on a Python thread that holds the interpreter lock and
// gives it up only inside the module's time.sleep.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::sound {

// Calls the module's time.sleep(seconds). Returns false with an exception set.
//
// A daemon thread that wakes from the sleep while the interpreter shuts down
// is ended by CPython 3.13 with pthread_exit, and the forced unwind that
// follows runs the destructors of C++ objects on its stack without the
// interpreter lock. Callers therefore hold no owning reference (kv::Ref) in
// any frame of theirs while they sleep; see the callers in this folder.
bool nap(PyObject* seconds);

// max(0.0, min(volume, 1.0)) as the monitor applies it: the volume when it is
// below 1.0, else 1.0; that value when it is above 0.0, else 0.0 (so NaN
// gives 1.0). New reference, or nullptr when a comparison raises.
PyObject* clamp_volume(PyObject* volume);

// One pass of the monitor without its sleep: the clamped master volume into
// the mixer and every mixer channel. False with an exception set.
bool apply_master_volume();

// Body of the volume-monitor thread: apply, sleep 0.1 s, forever. A pass
// that raises an Exception is skipped; an Exception from the sleep ends the
// thread (returns None); other exceptions propagate.
PyObject* volume_monitor();

// The playback routine shared by play_sound and the start_sound threads:
// reports, starts the sound, sets the raw master volume on its channel and
// sleeps for the rest of it. True / False, or nullptr for an exception that
// is not an Exception.
PyObject* play_sound_logic(PyObject* sound, PyObject* filename, double start_time, PyObject* prefix);

// play_sound(asset_name, start_time): the cached sound played on this thread
// ("Error:Cached sound ... not found." when there is none). None or nullptr.
PyObject* play_sound(PyObject* asset_name, double start_time);
// start_sound(asset_name, start_time): the same on a new daemon thread.
PyObject* start_sound(PyObject* asset_name, double start_time);

// sound.play(start=start) for a sound object of the documented protocol. A
// pygame.mixer.Sound has no start offset of its own; it plays from a copy of
// its samples cut at the offset. *nothing is set when the offset lies past
// the end: then no channel is started and None is returned.
Ref start_channel(PyObject* sound, PyObject* start, bool* nothing);

}  // namespace kv::sound
