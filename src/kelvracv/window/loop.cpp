// The frame loop `run`: RUN set true, init, then per frame follow the window size, clear,
// call the tick function and apply its result, show, poll for Escape and for
// a closed window, pace to the target rate and write the rate into the title.
// A headless run leaves out every window call; KELVRACV_FRAMES ends the loop
// after that many frames, KELVRACV_RECORD records every frame shown and
// KELVRACV_WEB (a headless run too) hands every frame to the web front-end's
// FRAME_SINK. While a recorded loop runs, SIGTERM and SIGHUP end it at a frame
// boundary, as Ctrl+C does, and the process then ends by the signal.
// Runs on the caller's (main) thread; RUN, cv2, np and time are looked up by
// name at each use, and waiting goes through time.sleep (the lock is released).

#include <csignal>

#include "core/colors.hpp"
#include "core/switches.hpp"
#include "draw/draw.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/messages.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

// ---- internal helpers ------------------------------------------------------

// cv2.<fn>(args...). OpenCV converts str arguments (window names, titles)
// to UTF-8 without checking the result and crashes on a lone surrogate:
// the conversion's UnicodeEncodeError is raised here first.
Ref cv2_call(PyObject* fn, std::initializer_list<PyObject*> args) {
  Ref f = global_attr(KV_ID(cv2), fn);
  if (!f) return f;
  for (PyObject* a : args)
    if (PyUnicode_Check(a) && !PyUnicode_AsUTF8AndSize(a, nullptr)) return Ref();
  return call(f.get(), args);
}

// time.time()
Ref now() {
  Ref f = global_attr(KV_ID(time), KV_ID(time));
  if (!f) return f;
  return call(f.get(), {});
}

bool set_run(PyObject* value) { return set_global(KV_ID(RUN), value) == 0; }

// a > b, -1 on error.
int greater(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_GT); }

// The small constants of the loop.
struct Constants {
  PyObject* zero;        // 0
  PyObject* one;         // 1
  PyObject* two;         // 2
  PyObject* esc;         // 27
  PyObject* one_f;       // 1.0
  PyObject* fps_bump;    // 1.5
};

// SIGTERM and SIGHUP as a recorded loop takes them over (see "SIGTERM and
// SIGHUP during a recording" below).
constexpr int kStopSignals[] = {SIGTERM, SIGHUP};
constexpr int kStopCount = 2;
struct StopSignals {
  Ref previous[kStopCount];  // the handler each had; null when not taken over
  Recorder* recorder = nullptr;
  int caught = 0;            // the signal that asked the loop to end; 0: none
};

// What the frame loop keeps between calls.
struct LoopState {
  Constants constants;
  long long tick_errors = 0;  // loops of this process that a tick function's exception ended
  StopSignals stop;
  PyObject* on_stop_signal = nullptr;  // the handler of the library's, made at the first recorded loop, kept
};
LoopState g_loop;

// Gathered from the start-up's constants (borrowed: immortal or held for good).
const Constants* constants() {
  Constants& c = g_loop.constants;
  c = {Py_GetConstantBorrowed(Py_CONSTANT_ZERO), Py_GetConstantBorrowed(Py_CONSTANT_ONE), KV_CONST(two),
       KV_CONST(esc_code), KV_CONST(one_f), KV_CONST(fps_bump)};
  return &c;
}

// Follows the window's image area. *stop is set when the window reports a
// non-positive size (minimised): the loop then ends without showing a frame.
bool follow_window_size(PyObject* w_name, PyObject* bg_color_t, Ref* canvas, PyObject* ts, bool* stop) {
  const Constants* k = constants();
  Ref size = call_global(KV_ID(get_window_size), {w_name});
  if (!k || !size) return false;
  Ref wh[2];
  if (!unpack(size.get(), wh, 2)) return false;
  Ref shape = Ref::steal(PyObject_GetAttr(canvas->get(), KV_ID(shape)));
  if (!shape) return false;
  Ref cw = Ref::steal(item(shape.get(), 1));
  if (!cw) return false;
  int changed = PyObject_RichCompareBool(wh[0].get(), cw.get(), Py_NE);
  if (changed < 0) return false;
  if (!changed) {
    Ref ch = Ref::steal(item(shape.get(), 0));
    if (!ch || (changed = PyObject_RichCompareBool(wh[1].get(), ch.get(), Py_NE)) < 0) return false;
  }
  if (!changed) return true;
  int positive = greater(wh[0].get(), k->zero);
  if (positive > 0) positive = greater(wh[1].get(), k->zero);
  if (positive < 0) return false;
  if (!positive) {
    *stop = true;
    return set_run(Py_False);
  }
  Ref ws = str_of(wh[0].get());
  Ref hs = str_of(wh[1].get());
  if (!ws || !hs) return false;
  if (print_concat({KV_ID(s_Resizing_canvas_to), ws.get(), KV_ID(s_comma_space), hs.get(), KV_ID(s_close_paren)}) < 0) return false;
  Ref fresh = full_canvas(wh[1].get(), wh[0].get(), bg_color_t);
  if (!fresh) return false;
  *canvas = fresh;
  Ref sx = Ref::steal(PyNumber_TrueDivide(wh[0].get(), k->two));
  if (!sx) return false;
  Ref sy = Ref::steal(PyNumber_TrueDivide(wh[1].get(), k->two));
  if (!sy) return false;
  Ref shift = Ref::steal(PyTuple_Pack(2, sx.get(), sy.get()));
  return shift && PyObject_SetItem(ts, KV_ID(shift), shift.get()) == 0;
}

// The argument checks of the internal clear, then the clear itself.
bool clear_frame(PyObject* canvas, PyObject* ts, PyObject* bg_color) {
  if (canvas != Py_None && !PyArray_Check(canvas)) {
    PyErr_Format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(canvas)->tp_name, "numpy.ndarray");
    return false;
  }
  if (!body_exact(ts, &PyDict_Type)) return false;
  return draw::clear(canvas, ts, bg_color);
}

// Applies what the tick function returned: a pair (flag, canvas) replaces
// RUN and the canvas, False itself stops the loop, anything else is ignored.
bool apply_result(PyObject* result, Ref* canvas) {
  if (result == Py_False) return set_run(Py_False);
  if (!PyTuple_Check(result)) return true;
  Py_ssize_t n = PyObject_Size(result);
  if (n != 2) return n >= 0;
  Ref pair[2];
  if (!unpack(result, pair, 2) || !set_run(pair[0].get())) return false;
  *canvas = pair[1];
  return true;
}

// run.tick_errors = the count so far, on the function bound as `run`, so that
// the command line can end with status 1. A `run` that takes no attribute is
// left as it is.
bool count_tick_error() {
  Ref fn = global(KV_ID(run));
  Ref n = fn ? Ref::steal(PyLong_FromLongLong(++g_loop.tick_errors)) : Ref();
  if (!n) return false;
  if (PyObject_SetAttr(fn.get(), KV_ID(tick_errors), n.get()) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// Calls the tick function and applies its result. An Exception from either
// is reported as one line on standard output, with its traceback on standard
// error, and stops the loop; anything else propagates.
bool tick(PyObject* fn, Ref* canvas, PyObject* ts) {
  Ref result = call(fn, {canvas->get(), ts});
  if (result && apply_result(result.get(), canvas)) return true;
  Ref e;
  if (!report_exception({KV_ID(s_Error_in_tick_function)}, &e)) return false;
  PyErr_DisplayException(e.get());  // to sys.stderr, as an uncaught exception is shown
  return count_tick_error() && set_run(Py_False);
}

// cv2.waitKey(1): Escape or a closed window stops the loop.
bool poll_window(PyObject* w_name) {
  const Constants* k = constants();
  if (!k) return false;
  Ref key = cv2_call(KV_ID(waitKey), {k->one});
  if (!key) return false;
  int esc = PyObject_RichCompareBool(key.get(), k->esc, Py_EQ);
  if (esc < 0) return false;
  if (esc) return set_run(Py_False);
  Ref prop = global_attr(KV_ID(cv2), KV_ID(WND_PROP_VISIBLE));
  if (!prop) return false;
  Ref visible = cv2_call(KV_ID(getWindowProperty), {w_name, prop.get()});
  if (!visible) return false;
  int closed = PyObject_RichCompareBool(visible.get(), k->one, Py_LT);
  if (closed < 0) return false;
  return !closed || set_run(Py_False);
}

// Sleeps for what is left of the frame period (time.sleep(0) when nothing is).
bool pace(PyObject* start_time, PyObject* frame_duration) {
  const Constants* k = constants();
  Ref t = now();
  if (!k || !t) return false;
  Ref elapsed = Ref::steal(PyNumber_Subtract(t.get(), start_time));
  if (!elapsed) return false;
  Ref delta = Ref::steal(PyNumber_Subtract(frame_duration, elapsed.get()));
  if (!delta) return false;
  int left = greater(delta.get(), k->zero);
  if (left < 0) return false;
  Ref sleep = global_attr(KV_ID(time), KV_ID(sleep));
  return sleep && call(sleep.get(), {left ? delta.get() : k->zero});
}

// Title "<name> | FPS:<rate with two decimals>", the rate over the whole
// period since the previous frame ended.
bool show_rate(PyObject* w_name, PyObject* last_frame_time, PyObject* target_fps) {
  const Constants* k = constants();
  Ref t = now();
  if (!k || !t) return false;
  Ref elapsed = Ref::steal(PyNumber_Subtract(t.get(), last_frame_time));
  if (!elapsed) return false;
  int positive = greater(elapsed.get(), k->zero);
  if (positive < 0) return false;
  Ref fps = positive ? Ref::steal(PyNumber_TrueDivide(k->one_f, elapsed.get())) : Ref::borrow(target_fps);
  if (!fps) return false;
  Ref rate = format(fps.get(), ".2f");
  if (!rate) return false;
  Ref title = Ref::steal(PyNumber_Add(w_name, KV_ID(s_FPS)));
  if (title) title = Ref::steal(PyNumber_Add(title.get(), rate.get()));
  return title && cv2_call(KV_ID(setWindowTitle), {w_name, title.get()});
}

// FRAME_SINK(canvas, w_name) when a sink is installed (the web front-end):
// it takes its own copy and returns at once.
bool hand_to_sink(PyObject* canvas, PyObject* w_name) {
  Ref sink = global(KV_ID(FRAME_SINK));
  if (!sink) return false;
  return sink.get() == Py_None || call(sink.get(), {canvas, w_name});
}

// ---- SIGTERM and SIGHUP during a recording ----------------------------------------
//
// By default these signals kill the process where it stands, and a recording
// would be lost with a hidden file left beside its target. While a loop with a
// recording runs, a handler of the library's (installed through the module's
// `signal`, on the main thread only, over the default or a Python handler)
// notes the signal; the loop ends at the next frame boundary, the recording
// is completed and checked, the previous handlers are put back, and the
// signal is sent again: the process ends by it (its status is the signal's),
// or the program's own handler runs then. A second signal before the loop has
// ended drops the recording's unfinished file and is sent on at once.


Ref signal_module() {
  Ref key = Ref::steal(PyUnicode_InternFromString("signal"));
  return key ? global(key.get()) : key;
}

// signal.<name>
Ref signal_attr(const char* name) {
  Ref mod = signal_module();
  return mod ? Ref::steal(PyObject_GetAttrString(mod.get(), name)) : mod;
}

// signal.signal(signum, handler)
bool set_handler(int signum, PyObject* handler) {
  Ref set = signal_attr("signal");
  Ref n = Ref::steal(PyLong_FromLong(signum));
  return set && n && call(set.get(), {n.get(), handler});
}

// Puts back the handlers taken over, keeping any exception being raised.
bool restore_stop_signals() {
  PyObject* pending = PyErr_GetRaisedException();
  bool ok = true;
  for (int i = 0; i < kStopCount; i++) {
    if (!g_loop.stop.previous[i]) continue;
    if (!set_handler(kStopSignals[i], g_loop.stop.previous[i].get())) ok = false;
    g_loop.stop.previous[i] = Ref();
  }
  g_loop.stop.recorder = nullptr;
  if (pending) {
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return false;
  }
  return ok;
}

// os.kill(os.getpid(), signum), then any Python handler it reaches runs.
bool send_again(int signum) {
  Ref kill = global_attr(KV_ID(os), Ref::steal(PyUnicode_InternFromString("kill")).get());
  Ref getpid = global_attr(KV_ID(os), Ref::steal(PyUnicode_InternFromString("getpid")).get());
  Ref pid = getpid ? call(getpid.get(), {}) : Ref();
  Ref n = Ref::steal(PyLong_FromLong(signum));
  return kill && pid && n && call(kill.get(), {pid.get(), n.get()}) && PyErr_CheckSignals() == 0;
}

// sys.stdout and sys.stderr flushed, as an exit would, errors ignored.
void flush_output() {
  PyObject* pending = PyErr_GetRaisedException();
  for (const char* stream : {"stdout", "stderr"}) {
    Ref name = Ref::steal(PyUnicode_InternFromString(stream));
    Ref s = name ? global_attr(KV_ID(sys), name.get()) : Ref();
    if (s) Ref r = Ref::steal(PyObject_CallMethodNoArgs(s.get(), Ref::steal(PyUnicode_InternFromString("flush")).get()));
    PyErr_Clear();
  }
  PyErr_SetRaisedException(pending);
}

PyObject* on_stop_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  int signum = nargs > 0 ? PyLong_AsInt(args[0]) : -1;
  if (signum == -1 && PyErr_Occurred()) return nullptr;
  if (!g_loop.stop.caught) {
    g_loop.stop.caught = signum;
    Py_RETURN_NONE;
  }
  // Asked twice: the unfinished file goes, and the signal is sent on now.
  if (g_loop.stop.recorder) g_loop.stop.recorder->discard();
  g_loop.stop.caught = 0;
  if (!restore_stop_signals()) return nullptr;
  flush_output();
  if (!send_again(signum)) return nullptr;
  Py_RETURN_NONE;
}

const PyMethodDef kOnStopSignal = {"_on_stop_signal",
                                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_stop_signal)),
                                   METH_FASTCALL, nullptr};

// Takes SIGTERM and SIGHUP over for a recorded loop: where they have the
// default handler or a Python one (an ignored signal stays ignored, and a
// handler installed outside Python is left alone). Off the main thread
// signal.signal refuses, and nothing is taken.
bool take_stop_signals(Recorder* recorder) {
  g_loop.stop.caught = 0;
  g_loop.stop.recorder = recorder;
  PyObject*& handler = g_loop.on_stop_signal;
  if (!handler && !(handler = builtin_function(kOnStopSignal))) return false;
  Ref getsignal = signal_attr("getsignal");
  Ref dfl = getsignal ? signal_attr("SIG_DFL") : Ref();
  if (!dfl) return false;
  for (int i = 0; i < kStopCount; i++) {
    Ref n = Ref::steal(PyLong_FromLong(kStopSignals[i]));
    Ref current = n ? call(getsignal.get(), {n.get()}) : Ref();
    if (!current) return false;
    int is_default = PyObject_RichCompareBool(current.get(), dfl.get(), Py_EQ);
    if (is_default < 0) return false;
    if (!is_default && !PyCallable_Check(current.get())) continue;
    if (!set_handler(kStopSignals[i], handler)) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
      PyErr_Clear();  // not the main thread of the main interpreter
      return true;
    }
    g_loop.stop.previous[i] = current;
  }
  return true;
}

// After the loop and its recording: the handlers put back and, when a signal
// ended the loop, that signal sent again. Where its handler is the default
// one the process ends here; an error of the loop or the recording is shown
// on standard error first, as an exit would show it.
bool pass_stop_signal(bool ok) {
  int signum = g_loop.stop.caught;
  g_loop.stop.caught = 0;
  bool restored = restore_stop_signals();
  ok = ok && restored;
  if (!signum) return ok;
  Ref getsignal = signal_attr("getsignal");
  Ref dfl = getsignal ? signal_attr("SIG_DFL") : Ref();
  Ref n = Ref::steal(PyLong_FromLong(signum));
  PyObject* pending = PyErr_GetRaisedException();
  Ref current = dfl && n ? call(getsignal.get(), {n.get()}) : Ref();
  int ends = current ? PyObject_RichCompareBool(current.get(), dfl.get(), Py_EQ) : -1;
  PyErr_Clear();
  if (pending && ends > 0) {
    PyErr_DisplayException(pending);
    Py_CLEAR(pending);
  }
  if (ends > 0) flush_output();
  if (!send_again(signum)) {
    Py_XDECREF(pending);
    return false;
  }
  if (pending) PyErr_SetRaisedException(pending);
  return ok;
}

// What the environment asked of this run (read once, before the first frame).
struct RunSettings {
  bool headless = false;      // no window calls: no show, poll, title or destroy
  long long frame_limit = 0;  // the loop ends after this many frames; 0: no limit
};

bool read_settings(RunSettings* s) {
  int no_window = headless();
  if (no_window < 0) return false;
  s->headless = no_window != 0;
  return frame_limit(&s->frame_limit) && start_web();
}

// The loop proper, until RUN is false.
bool frames(PyObject* tick_fn, PyObject* w_name, Ref canvas, PyObject* ts, PyObject* bg_color,
            PyObject* bg_color_t, PyObject* target_fps, PyObject* frame_duration, PyObject* dynamic_resize,
            const RunSettings& settings, Recorder* recorder) {
  Ref last_frame_time = now();
  if (!last_frame_time) return false;
  for (long long count = 1;; count++) {
    if (g_loop.stop.caught) return true;  // SIGTERM or SIGHUP during a recording
    Ref run_flag = global(KV_ID(RUN));
    if (!run_flag) return false;
    int running = truth(run_flag.get());
    if (running < 0) return false;
    if (!running) return true;

    Ref start_time = now();
    if (!start_time) return false;
    int follow = truth(dynamic_resize);
    if (follow < 0) return false;
    if (follow) {
      bool stop = false;
      if (!follow_window_size(w_name, bg_color_t, &canvas, ts, &stop)) return false;
      if (stop) return true;
    }
    if (!clear_frame(canvas.get(), ts, bg_color)) return false;
    note_window(w_name, canvas.get());  // the canvas the tick draws on: the mouse maps onto it
    input_tick_begin();  // input from other threads waits for the tick's end
    if (!tick(tick_fn, &canvas, ts)) return false;
    input_tick_end();
    // The frame limit ends the loop as a tick returning False would.
    if (count == settings.frame_limit && !set_run(Py_False)) return false;
    if (!settings.headless && !cv2_call(KV_ID(imshow), {w_name, canvas.get()})) return false;
    if (!hand_to_sink(canvas.get(), w_name)) return false;
    if (recorder->active() && !recorder->add(canvas.get())) return false;
    if (settings.headless) {
      if (!pace(start_time.get(), frame_duration)) return false;
      continue;
    }
    if (!poll_window(w_name)) return false;
    if (!pace(start_time.get(), frame_duration)) return false;
    if (!show_rate(w_name, last_frame_time.get(), target_fps)) return false;
    last_frame_time = now();
    if (!last_frame_time) return false;
  }
}

// Closes the recording whichever way the loop ended; an error of the loop
// wins over one of the recording, which is then reported as unraisable.
bool finish_recording(Recorder* recorder, bool loop_ok) {
  if (loop_ok) return recorder->close();
  PyObject* pending = PyErr_GetRaisedException();
  if (!recorder->close()) PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(pending);
  return false;
}

}  // namespace

// ---- run ---------------------------------------------------------------------

namespace {

// init, then the loop; false with an exception set.
bool init_and_loop(PyObject* tick_fn, PyObject* window_info, PyObject* bg_color, PyObject* asked_fps,
                   PyObject* dynamic_resize, const RunSettings& settings, Recorder* recorder) {
  const Constants* k = constants();
  if (!k) return false;
  // Every run starts running, also after an earlier loop has ended.
  if (!set_run(Py_True)) return false;
  Ref w_name = call_global(KV_ID(convert_win_info), {window_info});
  if (!w_name) return false;
  Ref made = call_global(KV_ID(init), {window_info, bg_color});
  if (!made) return false;
  Ref canvas_ts[2];
  if (!unpack(made.get(), canvas_ts, 2)) return false;
  Ref bg_color_t = Ref::steal(color_bgr_checked(bg_color));
  if (!bg_color_t) return false;

  // Aim 1.5 frames per second above the asked rate.
  Ref target_fps = Ref::steal(PyNumber_Add(asked_fps, k->fps_bump));
  if (!target_fps) return false;
  Ref frame_duration = Ref::steal(PyNumber_TrueDivide(k->one_f, target_fps.get()));
  if (!frame_duration) return false;

  if (!input_loop_begin()) return false;
  bool done = frames(tick_fn, w_name.get(), canvas_ts[0], canvas_ts[1].get(), bg_color, bg_color_t.get(),
                     target_fps.get(), frame_duration.get(), dynamic_resize, settings, recorder);
  input_loop_end();  // what is still held back, applied
  return done;
}

}  // namespace

PyObject* run(PyObject* tick_function, PyObject* window_info, PyObject* bg_color, PyObject* target_fps,
              PyObject* dynamic_resize) {
  RunSettings settings;
  Recorder recorder;
  if (!read_settings(&settings) || !recorder.open(target_fps)) return nullptr;
  // From here the recording is closed whichever way the run ends. A run inside
  // a tick function leaves the signals to the run that took them.
  bool takes = recorder.active() && !g_loop.stop.recorder;
  bool done = (!takes || take_stop_signals(&recorder)) &&
              init_and_loop(tick_function, window_info, bg_color, target_fps, dynamic_resize, settings, &recorder);
  done = finish_recording(&recorder, done);
  if (takes && !pass_stop_signal(done)) return nullptr;
  if (!takes && !done) return nullptr;
  if (!settings.headless && !cv2_call(KV_ID(destroyAllWindows), {})) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace kv::window
