// The master-volume monitor: one daemon thread, started at import, that
// pushes GLOBAL_VOLUME[0], clamped to [0, 1], into the mixer and into every
// mixer channel ten times a second. It holds the interpreter lock for each
// pass and releases it in the module's time.sleep between passes.
// Around os.fork (os.register_at_fork) the thread ends and, when nothing is
// playing, the mixer closes (its audio thread with it), so a fork after import
// finds no thread of the library's; both come back in the child at once and in
// the parent right after os.fork returns, silently.

#include "core/bindings.hpp"
#include "core/switches.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "sound/sound.hpp"

namespace kv::sound {

// ---- internal helpers --------------------------------------------------------

namespace {

// What the monitor keeps: the float constants it compares and sleeps with
// (made at first use, kept for the life of the process); the thread the
// module started (kept to be joined); the generation a thread serves (a
// fork's before-hook moves it, and the thread ends after its nap); and what
// the before-hook stopped, so the after-hooks bring back just that.
struct MonitorState {
  PyObject* zero = nullptr;
  PyObject* one = nullptr;
  PyObject* tenth = nullptr;
  PyObject* thread = nullptr;  // strong reference, or null before the start
  uint64_t generation = 0;
  bool in_pass = false;  // the thread is pushing the volume into the mixer now
  bool stopped_for_fork = false;
  bool mixer_closed_for_fork = false;
};
MonitorState g_monitor;

// A float constant made once and kept for the life of the process.
PyObject* constant(PyObject** slot, double v) {
  if (!*slot) *slot = PyFloat_FromDouble(v);
  return *slot;
}

// pygame.mixer.set_volume(v). pygame 2.6 has no mixer-wide volume; where the
// mixer offers none, the channels alone carry the master volume.
bool set_mixer_volume(PyObject* mixer, PyObject* v) {
  PyObject* setter = nullptr;
  int found = PyObject_GetOptionalAttr(mixer, KV_ID(set_volume), &setter);
  if (found < 0) return false;
  if (!found) return true;
  Ref owned = Ref::steal(setter);
  return static_cast<bool>(call(setter, {v}));
}

}  // namespace

// ---- public routines ---------------------------------------------------------

bool nap(PyObject* seconds) {
  PyObject* sleep = global_attr(KV_ID(time), KV_ID(sleep)).release();
  if (!sleep) return false;
  PyObject* r = PyObject_CallOneArg(sleep, seconds);
  Py_DECREF(sleep);
  Py_XDECREF(r);
  return r != nullptr;
}

PyObject* clamp_volume(PyObject* volume) {
  PyObject* one = constant(&g_monitor.one, 1.0);
  PyObject* zero = constant(&g_monitor.zero, 0.0);
  if (!one || !zero) return nullptr;
  int below = PyObject_RichCompareBool(volume, one, Py_LT);
  if (below < 0) return nullptr;
  PyObject* capped = below ? volume : one;
  int above = PyObject_RichCompareBool(capped, zero, Py_GT);
  if (above < 0) return nullptr;
  return Py_NewRef(above ? capped : zero);
}

bool apply_master_volume() {
  Ref volumes = global(KV_ID(GLOBAL_VOLUME));
  if (!volumes) return false;
  Ref raw = Ref::steal(item(volumes.get(), 0));
  if (!raw) return false;
  Ref v = Ref::steal(clamp_volume(raw.get()));
  if (!v) return false;

  Ref mixer = global_attr(KV_ID(pygame), KV_ID(mixer));
  if (!mixer || !set_mixer_volume(mixer.get(), v.get())) return false;
  Ref count = Ref::steal(PyObject_CallMethodNoArgs(mixer.get(), KV_ID(get_num_channels)));
  if (!count) return false;
  // range(count): anything with __index__; a negative count is an empty range.
  Ref index = Ref::steal(PyNumber_Index(count.get()));
  if (!index) return false;
  Py_ssize_t n = PyLong_AsSsize_t(index.get());
  if (n == -1 && PyErr_Occurred()) return false;
  for (Py_ssize_t i = 0; i < n; i++) {
    // pygame.mixer.Channel(i).set_volume(v), the names looked up each time.
    Ref channel_type = Ref::steal(PyObject_GetAttr(mixer.get(), KV_ID(Channel)));
    Ref number = Ref::steal(PyLong_FromSsize_t(i));
    if (!channel_type || !number) return false;
    Ref channel = call(channel_type.get(), {number.get()});
    if (!channel) return false;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(channel.get(), KV_ID(set_volume), v.get()));
    if (!r) return false;
  }
  return true;
}

PyObject* volume_monitor() {
  PyObject* tenth = constant(&g_monitor.tenth, 0.1);
  if (!tenth) return nullptr;
  const uint64_t generation = g_monitor.generation;
  // No owning reference lives in this frame across the sleep (see nap).
  for (;;) {
    // A fork or the interpreter's exit is waiting for this thread to end.
    if (generation != g_monitor.generation) Py_RETURN_NONE;
    // A pass that fails (a master volume that is no number, a mixer call
    // that raises) is skipped silently; the next one tries again.
    g_monitor.in_pass = true;
    const bool applied = apply_master_volume();
    g_monitor.in_pass = false;
    if (!applied) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
      PyErr_Clear();
    }
    if (!nap(tenth)) break;
  }
  // The sleep itself failed: the monitor ends silently rather than spin.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  PyErr_Clear();
  Py_RETURN_NONE;
}

// ---- start-up ----------------------------------------------------------------

namespace {

// threading.Thread(target=_volume_monitor, daemon=True).start()
bool start_thread() {
  Ref target = global(KV_ID(_volume_monitor));
  if (!target) return false;
  Ref thread_type = global_attr(KV_ID(threading), KV_ID(Thread));
  if (!thread_type) return false;
  Ref thread = call(thread_type.get(), {target.get(), Py_True}, KV_KW(target_daemon));
  if (!thread || !Ref::steal(PyObject_CallMethodNoArgs(thread.get(), KV_ID(start)))) return false;
  Py_XSETREF(g_monitor.thread, thread.release());
  return true;
}

// obj.name() taken as a truth value; -1 with the exception.
int method_truth(PyObject* obj, PyObject* name) {
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(obj, name));
  return r ? PyObject_IsTrue(r.get()) : -1;
}

// Before os.fork: the monitor ends (its nap is waited out, at most 0.1 s) and an
// idle mixer closes. A mixer that is playing stays open: its sound is not cut.
PyObject* before_fork(PyObject*, PyObject*) {
  if (g_monitor.thread) {
    int alive = method_truth(g_monitor.thread, KV_ID(is_alive));
    if (alive < 0) return nullptr;
    if (alive) {
      g_monitor.generation++;
      if (!Ref::steal(PyObject_CallMethodNoArgs(g_monitor.thread, KV_ID(join)))) return nullptr;
      g_monitor.stopped_for_fork = true;
    }
  }
  Ref mixer = global_attr(KV_ID(pygame), KV_ID(mixer));
  if (!mixer) return nullptr;
  int open = method_truth(mixer.get(), KV_ID(get_init));
  int busy = open > 0 ? method_truth(mixer.get(), KV_ID(get_busy)) : 0;
  if (open < 0 || busy < 0) return nullptr;
  if (open && !busy) {
    if (!Ref::steal(PyObject_CallMethodNoArgs(mixer.get(), KV_ID(quit)))) return nullptr;
    g_monitor.mixer_closed_for_fork = true;
  }
  Py_RETURN_NONE;
}

// After os.fork: what the before-hook stopped, started again.
bool resume_after_fork() {
  if (g_monitor.mixer_closed_for_fork) {
    g_monitor.mixer_closed_for_fork = false;
    Ref mixer = global_attr(KV_ID(pygame), KV_ID(mixer));
    Ref init = mixer ? attr_of(mixer.get(), KV_ID(init)) : Ref();
    Ref args = init ? Ref::steal(Py_BuildValue("(iiii)", 44100, -16, 2, 512)) : Ref();
    if (!args || !Ref::steal(PyObject_Call(init.get(), args.get(), nullptr))) return false;
  }
  if (g_monitor.stopped_for_fork) {
    g_monitor.stopped_for_fork = false;
    return start_thread();
  }
  return true;
}

// In the child, at once.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
  if (!resume_after_fork()) return nullptr;
  Py_RETURN_NONE;
}

// In the parent, once os.fork has returned: the interpreter counts the
// process's threads for its fork warning after these hooks have run, so the
// threads start again from a pending call (the main thread's next bytecode).
int resume_pending(void*) {
  if (!resume_after_fork()) PyErr_WriteUnraisable(nullptr);
  return 0;
}
PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  if ((g_monitor.stopped_for_fork || g_monitor.mixer_closed_for_fork) && Py_AddPendingCall(resume_pending, nullptr) < 0)
    return resume_after_fork() ? Py_NewRef(Py_None) : nullptr;  // the queue is full: now, warning and all
  Py_RETURN_NONE;
}

// At the interpreter's exit, before pygame's own exit handler closes the
// mixer: the monitor starts no other pass, and a pass under way (pygame
// lets the interpreter lock go inside its mixer calls) is waited out, so
// the mixer is never closed under it. A thread in its nap simply ends when
// it wakes; the exit does not wait for that.
PyObject* at_exit(PyObject*, PyObject*) {
  g_monitor.generation++;
  PyObject* pause = constant(&g_monitor.zero, 0.0);
  while (g_monitor.in_pass && pause) {
    if (!nap(pause)) {  // time.sleep(0.0) lets the lock go; a failing sleep stops the wait
      PyErr_Clear();
      break;
    }
  }
  Py_RETURN_NONE;
}

const PyMethodDef kAtExit = {"_volume_monitor_at_exit", at_exit, METH_NOARGS, nullptr};

// atexit.register(_volume_monitor_at_exit): pygame's handler was registered
// when pygame was imported, before this, so this one runs first.
bool register_exit_hook() {
  Ref hook = Ref::steal(builtin_function(kAtExit));
  Ref atexit = hook ? Ref::steal(PyImport_ImportModule("atexit")) : Ref();
  Ref registered = atexit ? Ref::steal(PyObject_CallMethodOneArg(atexit.get(), KV_ID(k_register), hook.get())) : Ref();
  return static_cast<bool>(registered);
}

const PyMethodDef kBeforeFork = {"_volume_monitor_before_fork", before_fork, METH_NOARGS, nullptr};
const PyMethodDef kAfterForkInParent = {"_volume_monitor_after_fork_in_parent", after_fork_in_parent, METH_NOARGS, nullptr};
const PyMethodDef kAfterForkInChild = {"_volume_monitor_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

// os.register_at_fork(before=..., after_in_parent=..., after_in_child=...)
bool register_fork_hooks() {
  Ref before = Ref::steal(builtin_function(kBeforeFork));
  Ref parent = Ref::steal(builtin_function(kAfterForkInParent));
  Ref child = Ref::steal(builtin_function(kAfterForkInChild));
  Ref register_at_fork = before && parent && child ? global_attr(KV_ID(os), KV_ID(register_at_fork)) : Ref();
  Ref kw = register_at_fork ? Ref::steal(Py_BuildValue("{sOsOsO}", "before", before.get(), "after_in_parent",
                                                       parent.get(), "after_in_child", child.get()))
                            : Ref();
  Ref no_args = Ref::steal(PyTuple_New(0));
  return kw && no_args && Ref::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kw.get()));
}

// The thread, its fork hooks, then the line.
int start_volume_monitor(PyObject*) {
  if (!start_thread() || !register_fork_hooks() || !register_exit_hook()) return -1;
  if (int q = quiet()) return q < 0 ? -1 : 0;  // KELVRACV_QUIET
  return print_line(KV_ID(s_Volume_monitor_thread_started));
}

}  // namespace
}  // namespace kv::sound

namespace kv {
int volume_monitor_startup(PyObject* m) { return sound::start_volume_monitor(m); }
}  // namespace kv
