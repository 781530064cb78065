// The master-volume monitor: one daemon thread, started at import, that
// pushes GLOBAL_VOLUME[0], clamped to [0, 1], into the mixer and into every
// mixer channel ten times a second. It holds the interpreter lock for each
// pass and releases it in the module's time.sleep between passes. A forked
// child (os.fork, multiprocessing) has no copy of the thread: one is started
// anew there (os.register_at_fork), silently.

#include "core/bindings.hpp"
#include "core/switches.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "sound/sound.hpp"

namespace kv::sound {

// ---- internal helpers --------------------------------------------------------

namespace {

// A float constant made once and kept for the life of the process.
PyObject* constant(PyObject** slot, double v) {
  if (!*slot) *slot = PyFloat_FromDouble(v);
  return *slot;
}
PyObject* g_zero = nullptr;
PyObject* g_one = nullptr;
PyObject* g_tenth = nullptr;

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
  PyObject* one = constant(&g_one, 1.0);
  PyObject* zero = constant(&g_zero, 0.0);
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

// Whether the module started its monitor thread in this process.
bool g_monitor_started = false;

PyObject* volume_monitor() {
  PyObject* tenth = constant(&g_tenth, 0.1);
  if (!tenth) return nullptr;
  // No owning reference lives in this frame across the sleep (see nap).
  for (;;) {
    // A pass that fails (a master volume that is no number, a mixer call
    // that raises) is skipped silently; the next one tries again.
    if (!apply_master_volume()) {
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
  if (!thread) return false;
  g_monitor_started = true;
  return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(thread.get(), KV_ID(start))));
}

// In a forked child: the monitor again, where the parent had started one.
PyObject* restart_in_child(PyObject*, PyObject*) {
  if (g_monitor_started && !start_thread()) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef g_restart_def = {"_restart_volume_monitor", restart_in_child, METH_NOARGS, nullptr};

// The thread, os.register_at_fork(after_in_child=...), then the line.
int start_volume_monitor(PyObject*) {
  if (!start_thread()) return -1;
  Ref restart = Ref::steal(PyCFunction_New(&g_restart_def, nullptr));
  Ref name = Ref::steal(PyUnicode_InternFromString("register_at_fork"));
  Ref register_at_fork = restart && name ? global_attr(KV_ID(os), name.get()) : Ref();
  Ref kw = register_at_fork ? Ref::steal(Py_BuildValue("{sO}", "after_in_child", restart.get())) : Ref();
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!kw || !no_args || !Ref::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kw.get()))) return -1;
  if (int q = quiet()) return q < 0 ? -1 : 0;  // KELVRACV_QUIET
  return print_line(KV_ID(s_Volume_monitor_thread_started));
}

}  // namespace
}  // namespace kv::sound

namespace kv {
int volume_monitor_startup(PyObject* m) { return sound::start_volume_monitor(m); }
}  // namespace kv
