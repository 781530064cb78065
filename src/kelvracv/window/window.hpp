// Window, frame loop and input: the Python-visible entry points of this
// folder (bound by bind.cpp) and the small helpers they share.
// Main thread for the window and the loop; the listener callbacks run on
// pynput's threads. The interpreter lock is held throughout.
#pragma once

#include "pyapi/ref.hpp"

namespace kv::window {

// ---- input (input.cpp) -------------------------------------------------------
PyObject* on_press(PyObject* key);
PyObject* on_release(PyObject* key);
PyObject* simulate_key_press(PyObject* key);  // key checked to be a str
PyObject* on_click(PyObject* x, PyObject* y, PyObject* button, PyObject* pressed);
PyObject* on_scroll(PyObject* x, PyObject* y, PyObject* dx, PyObject* dy);
PyObject* on_move(PyObject* x, PyObject* y);
PyObject* get_input(PyObject* method, PyObject* key, PyObject* ts);
// _key_event(name, pressed): a key by its name in KEYS (the web page's keys).
PyObject* key_event(PyObject* name, PyObject* pressed);

// The frame loop's side of the input gate (input.cpp): begin before the
// first frame, tick_begin/tick_end around each tick, end whichever way the
// loop ended (it applies what is still held back; an exception already being
// raised is kept). Input that fails to apply is reported as unraisable.
bool input_loop_begin();
void input_tick_begin();
void input_tick_end();
void input_loop_end();

// ---- window (window.cpp) -----------------------------------------------------
PyObject* get_window_size(PyObject* window_name);  // window_name checked to be a str
PyObject* get_win_props(PyObject* wi);
PyObject* convert_win_info(PyObject* wi);
PyObject* init(PyObject* window_info, PyObject* bg_color);

// ---- frame loop (loop.cpp) ---------------------------------------------------
PyObject* run(PyObject* tick_function, PyObject* window_info, PyObject* bg_color, PyObject* target_fps,
              PyObject* dynamic_resize);

// ---- opt-in run settings (settings.cpp) --------------------------------------

// headless() and serving_web() are core's (core/switches.hpp).
// When KELVRACV_WEB is set: imports kelvracv.web and has it serve (once per
// process; it reports a bad address or a port in use).
bool start_web();
// KELVRACV_FRAMES: the number of frames after which the loop ends, 0 when
// unset. ValueError for anything but a positive whole number.
bool frame_limit(long long* out);
// Why no window can be shown here, as a str, or None: on X11 systems
// DISPLAY unset or blank ("DISPLAY is not set"), or the reason pynput could
// not reach the same DISPLAY at import. nullptr on error.
Ref display_problem();
// display_problem() for pynput at import, None when PYNPUT_BACKEND chooses a
// backend of its own (used by the start-up step input_startup).
Ref input_display_problem();
// The ImportError being raised by pynput's import, taken and remembered for
// display_problem(): its reason as a str. Any other exception (pynput not
// installed at all) is left raised and nullptr returned.
Ref take_input_failure();
// RuntimeError naming the problem, KELVRACV_HEADLESS=1 and --web; false.
bool refuse_window(PyObject* problem);
// Headless windows: the size init gave each window name, which the window
// queries answer with. lookup gives a borrowed (W, H) or nullptr.
bool remember_window(PyObject* name, PyObject* w, PyObject* h);
PyObject* headless_window_size(PyObject* name);

// ---- recording (recorder.cpp) ------------------------------------------------

// KELVRACV_RECORD: every frame the loop shows, written as an MP4 video (H.264
// through PyAV when it is installed, else cv2.VideoWriter), a GIF (Pillow; the
// frames are held palette-quantised until the loop ends) or numbered image
// files (one printf-style integer field in the path, at most 9 wide;
// cv2.imencode). Frames of another size than the
// first are scaled to it. A relative path is taken from the current folder when
// the loop starts. Each output is written beside its target and renamed onto it.
// Later runs of the same process go on where the earlier ones stopped: the
// numbered files count on, a video or GIF is written beside the first one
// (game.mp4, game-2.mp4, ...).
class Recorder {
 public:
  // Reads KELVRACV_RECORD (and KELVRACV_RECORD_FPS, the rate of a video or GIF
  // when set, else target_fps); ValueError for a path of no known kind or a
  // rate that is no positive number. Creates the folder the output goes to
  // and checks it can be written there (the OSError otherwise); the output
  // itself comes with the first frame.
  bool open(PyObject* target_fps);
  bool active() const { return kind_ != Kind::off; }
  // Writes (or, for a GIF, holds) one frame.
  bool add(PyObject* frame);
  // Writes out what is held, closes the output, checks it (a video must read
  // back with all its frames), renames it onto its target and prints one summary
  // line on standard error. Does nothing when not recording.
  bool close();
  // Drops the recording: closes the output and removes the file being
  // written, printing nothing. For a process about to end at once.
  void discard();

 private:
  enum class Kind { off, video, gif, images };
  bool kind_of(PyObject* path, Kind* out);
  bool start_movie(Kind kind, PyObject* target_fps, bool rate_given);
  bool reserve(PyObject* target);
  bool prepare(PyObject* frame, Ref* out);
  Ref file_name(long long index);
  bool choose_encoder();
  bool add_video_frame(PyObject* img);
  bool add_gif_frame(PyObject* img);
  bool encode(PyObject* img);
  bool open_stream(long width, long height);
  Ref yuv_frame(PyObject* img, long width, long height);
  bool finish_encoder();
  bool write_image(PyObject* img, PyObject* name);
  bool check_video();
  bool rename_whole();
  bool check_images();
  bool summary(bool written);

  Kind kind_ = Kind::off;
  Ref path_;    // where this run writes
  double fps_ = 0.0;
  Ref size_;    // (W, H) of the first frame
  Ref writer_;  // the cv2.VideoWriter (MPEG-4 Part 2, when PyAV is not there)
  Ref av_;      // PyAV, which writes the MP4 in H.264; null: cv2.VideoWriter
  Ref output_;  // PyAV's output container and its video stream
  Ref stream_;
  Ref held_;    // list of the quantised GIF frames
  Ref key_;     // KELVRACV_RECORD made absolute: the key of what earlier runs wrote
  Ref tmp_;     // the hidden file beside the target that frames are written to
  Ref ids_;     // list of the (st_dev, st_ino) of each numbered file written
  long long first_ = 0;  // number of this run's first image file, or of earlier runs' videos
  long long count_ = 0;
  long long replaced_ = 0;  // existing files the output replaced
  long long lost_ = 0;      // files written that another program replaced or removed meanwhile
  Ref lost_name_;           // the first of them
};

// ---- shared helpers (window.cpp) ---------------------------------------------

// `a, b, ... = o` into n new references, with the compiled-module unpacking
// messages ("too many values to unpack (expected 2)", "need more than 1 value
// to unpack"). False with an exception set.
bool unpack(PyObject* o, Ref* out, Py_ssize_t n);

// np.full((h, w, 3), fill, dtype=np.uint8) through the module's `np`.
Ref full_canvas(PyObject* h, PyObject* w, PyObject* fill);

// format(o, "") / format(o, fmt) as a new str.
Ref format(PyObject* o, const char* fmt);

// ---- the shown window (window.cpp) -------------------------------------------

// Remembers `name` as the window made by init, with the width and height of
// `canvas`, the image it shows (a canvas that is not an image array leaves the
// size as it was). Called by init and by run for the canvas of each frame.
void note_window(PyObject* name, PyObject* canvas);

// Maps the desktop point (*x, *y) into canvas pixels of the remembered window:
// the origin of cv2.getWindowImageRect is subtracted and the offset scaled by
// canvas size / image-area size. *mapped is false, and nothing raised, when no
// window was made, in a headless run, when the query fails or the image area
// is empty.
bool desktop_to_canvas(double* x, double* y, bool* mapped);

}  // namespace kv::window
