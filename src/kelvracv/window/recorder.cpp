// Recording of the frames the loop shows (KELVRACV_RECORD): an MP4 video in
// H.264 through PyAV (the optional `av`), else through cv2.VideoWriter, a GIF
// through Pillow, or numbered image files encoded by cv2.imencode. cv2, av,
// Image, os and sys are the module's globals, looked up at each use. Main
// thread (the frame loop), interpreter lock held.

#include <cctype>
#include <fcntl.h>
#include <cmath>
#include <cstring>
#include <string>

#include "core/switches.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

// ---- internal helpers ------------------------------------------------------

// GIF delays are whole hundredths of a second, and browsers slow down
// anything shorter than two of them; the format holds at most 65535.
constexpr double kMinGifDelayMs = 20.0;
constexpr double kMaxGifDelayMs = 655350.0;
// The highest rate a recording is written at (a video's time base is made
// from it): a faster loop is recorded at its own rate with KELVRACV_RECORD_FPS.
constexpr double kMaxRecordFps = 1000.0;

// What the recorder keeps across the runs of the process. `progress`, by
// KELVRACV_RECORD path: the number of the next image file, or how many runs
// have written a video or GIF there (a dict made at the first recording and
// kept; one entry per path recorded to, never dropped). `said_no_av`: the line
// that MP4 recordings fall back to OpenCV's codec is said once per process.
struct RecorderState {
  PyObject* progress = nullptr;
  bool said_no_av = false;
};
RecorderState g_recorder;

// progress[path], 0 when absent; -1 on error.
long long progress(PyObject* path) {
  PyObject*& made = g_recorder.progress;
  if (!made && !(made = PyDict_New())) return -1;
  PyObject* n = PyDict_GetItemWithError(made, path);
  if (!n) return PyErr_Occurred() ? -1 : 0;
  return PyLong_AsLongLong(n);
}

bool set_progress(PyObject* path, long long value) {
  Ref n = Ref::steal(PyLong_FromLongLong(value));
  return n && PyDict_SetItem(g_recorder.progress, path, n.get()) == 0;
}

// root + "-" + n + ext, after os.path.splitext(path): game.mp4 -> game-2.mp4.
Ref nth_path(PyObject* path, long long n) {
  Ref ospath = global_attr(KV_ID(os), KV_ID(path));
  Ref split = ospath ? attr_of(ospath.get(), KV_ID(splitext)) : Ref();
  Ref parts = split ? call(split.get(), {path}) : Ref();
  Ref root = parts ? Ref::steal(item(parts.get(), 0)) : Ref();
  Ref ext = parts ? Ref::steal(item(parts.get(), 1)) : Ref();
  if (!root || !ext) return Ref();
  return Ref::steal(PyUnicode_FromFormat("%S-%lld%S", root.get(), n, ext.get()));
}

// The printf-style fields of a path: how many integer fields (%d, %i,
// %05d, ...), whether any other field is there, and whether an integer field
// is wider (or more precise) than a frame number needs.
struct Fields {
  int numbers = 0;
  bool other = false;
  bool too_wide = false;
};

// Nine digits number a billion frames; a wider field would only build a huge name.
constexpr long kMaxNumberWidth = 9;

// Reads the digits at *p, capped just above kMaxNumberWidth.
long digits(const char** p) {
  long n = 0;
  for (; **p >= '0' && **p <= '9'; ++*p)
    if (n <= kMaxNumberWidth) n = n * 10 + (**p - '0');
  return n;
}

Fields scan_fields(const char* path) {
  Fields f;
  for (const char* p = path; (p = std::strchr(p, '%'));) {
    if (p[1] == '%') {
      p += 2;
      continue;
    }
    ++p;
    while (*p && std::strchr("-+ #0", *p)) ++p;
    long width = digits(&p);
    long precision = 0;
    if (*p == '.') {
      ++p;
      precision = digits(&p);
    }
    if (*p == 'd' || *p == 'i') {
      f.numbers++;
      f.too_wide = f.too_wide || width > kMaxNumberWidth || precision > kMaxNumberWidth;
      ++p;
    } else {
      f.other = true;
      if (*p) ++p;
    }
  }
  return f;
}

bool ends_with(const std::string& s, const char* tail) {
  size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; i++)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}

// cv2.<name>(args...)
Ref cv2_do(const char* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return key;
  Ref f = global_attr(KV_ID(cv2), key.get());
  if (!f) return f;
  return call(f.get(), args, kwnames);
}

// cv2.<name> as an object (a constant).
Ref cv2_const(const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return key;
  return global_attr(KV_ID(cv2), key.get());
}

// os.makedirs(os.path.dirname(path), exist_ok=True) unless the folder part is empty.
bool make_folder(PyObject* path) {
  PyObject* kw = KV_KW(exist_ok);
  Ref ospath = global_attr(KV_ID(os), KV_ID(path));
  if (!kw || !ospath) return false;
  Ref dirname = attr_of(ospath.get(), KV_ID(dirname));
  Ref folder = dirname ? call(dirname.get(), {path}) : Ref();
  if (!folder) return false;
  Py_ssize_t n = PyObject_Length(folder.get());
  if (n <= 0) return n == 0;
  Ref makedirs = global_attr(KV_ID(os), KV_ID(makedirs));
  return makedirs && call(makedirs.get(), {folder.get(), Py_True}, kw);
}

// print(text, file=sys.stderr)
bool print_stderr(PyObject* text) {
  PyObject* kw = KV_KW(file);
  Ref err = global_attr(KV_ID(sys), KV_ID(stderr));
  return kw && err && call_global(KV_ID(print), {text, err.get()}, kw);
}

// os.<name>(args...) through the module's os.
Ref os_do(PyObject* name, std::initializer_list<PyObject*> args) {
  Ref f = global_attr(KV_ID(os), name);
  if (!f) return f;
  return call(f.get(), args);
}

// os.path.<name>(args...) through the module's os.
Ref os_path_do(PyObject* name, std::initializer_list<PyObject*> args) {
  Ref ospath = global_attr(KV_ID(os), KV_ID(path));
  Ref f = ospath ? attr_of(ospath.get(), name) : Ref();
  if (!f) return f;
  return call(f.get(), args);
}

// os.path.<test>(path) as a truth value; -1 on error.
int path_test(PyObject* test, PyObject* path) {
  Ref r = os_path_do(test, {path});
  return r ? truth(r.get()) : -1;
}

// The OSError being raised, as one of its class saying
// "KELVRACV_RECORD: cannot write to <target>: <reason>". Other errors pass.
void cannot_write(PyObject* target) {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
  Ref e = Ref::steal(PyErr_GetRaisedException());
  Ref reason = Ref::steal(PyObject_GetAttrString(e.get(), "strerror"));
  if (reason && reason.get() == Py_None) reason = str_of(e.get());
  if (!reason) return;
  // A library's own OSError class (PyAV's takes other arguments) becomes OSError.
  PyTypeObject* type = Py_TYPE(e.get());
  PyObject* cls = PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ? PyExc_OSError : reinterpret_cast<PyObject*>(type);
  PyErr_Format(cls, "KELVRACV_RECORD: cannot write to %R: %S", target, reason.get());
}

// os.remove(path) when it exists, keeping any exception being raised.
void remove_quietly(PyObject* path) {
  PyObject* pending = PyErr_GetRaisedException();
  if (path_test(KV_ID(lexists), path) > 0) os_do(KV_ID(remove), {path});
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

// The (W, H) of a frame about to be written, read after every Python call
// that made it: an 8-bit (H, W, 3) array of at least one pixel.
Ref bgr_size(PyObject* img) {
  auto* arr = reinterpret_cast<PyArrayObject*>(img);
  if (!PyArray_Check(img) || PyArray_TYPE(arr) != NPY_UINT8 || PyArray_NDIM(arr) != 3 || PyArray_DIM(arr, 2) != 3 ||
      PyArray_DIM(arr, 0) < 1 || PyArray_DIM(arr, 1) < 1) {
    PyErr_SetString(PyExc_ValueError,
                    "KELVRACV_RECORD: a frame must become an 8-bit BGR image of at least one pixel to be recorded");
    return Ref();
  }
  return Ref::steal(Py_BuildValue("(nn)", PyArray_DIM(arr, 1), PyArray_DIM(arr, 0)));
}


// An interned name made at its use, for the names only the recorder needs.
Ref name_of(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

// o.<name>
Ref attr(PyObject* o, const char* name) {
  Ref key = name_of(name);
  return key ? Ref::steal(PyObject_GetAttr(o, key.get())) : key;
}

// o.<name> = value
bool set_attr(PyObject* o, const char* name, PyObject* value) {
  Ref key = name_of(name);
  return key && PyObject_SetAttr(o, key.get(), value) == 0;
}

// A recording's own rate: KELVRACV_RECORD_FPS when set (not blank), else the
// loop's target_fps. *given is true when the variable gave it.
bool record_rate(PyObject* target_fps, double* fps, bool* given) {
  Ref text = environ_text("KELVRACV_RECORD_FPS");
  if (!text) return false;
  *given = text.get() != Py_None;
  if (!*given) return to_double(target_fps, fps);
  Ref value = Ref::steal(PyFloat_FromString(text.get()));
  if (value) *fps = PyFloat_AS_DOUBLE(value.get());
  else if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
  else return false;
  if (!value || !(*fps > 0.0) || *fps > kMaxRecordFps) {
    Ref raw = environ_get("KELVRACV_RECORD_FPS");
    PyErr_Format(PyExc_ValueError,
                 "KELVRACV_RECORD_FPS must be a positive number of frames per second, at most %d, got %R",
                 static_cast<int>(kMaxRecordFps), raw ? raw.get() : Py_None);
    return false;
  }
  return true;
}

// The rate PyAV takes: a whole number, or Fraction(round(fps * 1000), 1000).
Ref av_rate(double fps) {
  if (fps == std::floor(fps)) return Ref::steal(PyLong_FromDouble(fps));
  Ref fractions = import("fractions");
  Ref fraction = fractions ? attr(fractions.get(), "Fraction") : Ref();
  if (!fraction) return fraction;
  return Ref::steal(PyObject_CallFunction(fraction.get(), "LL", static_cast<long long>(std::llround(fps * 1000.0)),
                                          1000LL));
}

// (st_dev, st_ino) of an os.stat_result: a file's identity.
Ref file_id(PyObject* st) {
  Ref dev = attr(st, "st_dev");
  Ref ino = dev ? attr(st, "st_ino") : Ref();
  return ino ? Ref::steal(PyTuple_Pack(2, dev.get(), ino.get())) : Ref();
}

// The identity of the file at path now (not following a link); None when
// there is none.
Ref id_at(PyObject* path) {
  Ref lstat = name_of("lstat");
  Ref st = lstat ? os_do(lstat.get(), {path}) : Ref();
  if (st) return file_id(st.get());
  if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return st;
  PyErr_Clear();
  return Ref::borrow(Py_None);
}

}  // namespace

// ---- the recorder -----------------------------------------------------------

bool Recorder::open(PyObject* target_fps) {
  Ref path = environ_get("KELVRACV_RECORD");
  if (!path) return false;
  if (path.get() == Py_None || !PyUnicode_Check(path.get())) return true;
  Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(path.get(), KV_ID(strip)));
  if (!stripped) return false;
  if (PyUnicode_GetLength(stripped.get()) == 0) return true;  // blank: not recording
  Kind kind;
  if (!kind_of(path.get(), &kind)) return false;
  bool rate_given = false;
  if (!record_rate(target_fps, &fps_, &rate_given)) return false;
  // A relative path names a place in the folder the run started from.
  path_ = os_path_do(KV_ID(abspath), {path.get()});
  if (!path_) return false;
  key_ = path_;
  if ((first_ = progress(key_.get())) < 0) return false;
  count_ = replaced_ = lost_ = 0;
  Ref target;
  if (kind == Kind::images) {
    if (!(target = file_name(first_)) || !(ids_ = Ref::steal(PyList_New(0)))) return false;
  } else {
    if (!start_movie(kind, target_fps, rate_given)) return false;
    target = path_;
  }
  if (!reserve(target.get())) return false;
  kind_ = kind;
  return true;
}

// The kind of output the KELVRACV_RECORD path names. ValueError for a path of
// no known kind, or for numbered files with a number format other than one %d.
bool Recorder::kind_of(PyObject* path, Kind* out) {
  const char* utf8 = PyUnicode_AsUTF8(path);
  if (!utf8) return false;
  std::string text(utf8);
  Fields fields = scan_fields(utf8);
  Kind kind = fields.numbers > 0        ? Kind::images
              : ends_with(text, ".mp4") ? Kind::video
              : ends_with(text, ".gif") ? Kind::gif
                                        : Kind::off;
  if (kind == Kind::off) {
    PyErr_Format(PyExc_ValueError,
                 "KELVRACV_RECORD must name a .mp4 or .gif file, or numbered image files such as "
                 "frames/f_%%05d.png, got %R",
                 path);
    return false;
  }
  if (kind == Kind::images && (fields.numbers > 1 || fields.other)) {
    PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD holds a number format other than one %%d: %R", path);
    return false;
  }
  if (kind == Kind::images && fields.too_wide) {
    PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD: a frame number is at most %ld digits wide, got %R",
                 kMaxNumberWidth, path);
    return false;
  }
  *out = kind;
  return true;
}

// A video or GIF: its rate checked, its path after the earlier runs' ones
// (game.mp4, game-2.mp4, ...), its frame list or its encoder made ready.
bool Recorder::start_movie(Kind kind, PyObject* target_fps, bool rate_given) {
  if (!(fps_ > 0.0) || !std::isfinite(fps_)) {
    PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD: a video or GIF needs a positive target_fps, got %R", target_fps);
    return false;
  }
  if (kind == Kind::video && !rate_given && fps_ > kMaxRecordFps) {
    PyErr_Format(PyExc_ValueError,
                 "KELVRACV_RECORD: a video is recorded at %d frames per second at most, got target_fps %R; "
                 "KELVRACV_RECORD_FPS (--record-fps) sets the rate it plays at",
                 static_cast<int>(kMaxRecordFps), target_fps);
    return false;
  }
  if (first_ > 0 && !(path_ = nth_path(key_.get(), first_ + 1))) return false;
  if (kind == Kind::gif && !(held_ = Ref::steal(PyList_New(0)))) return false;
  if (kind == Kind::video && !choose_encoder()) return false;
  return true;
}

// PyAV writes H.264 that browsers and editors play: the module global `av`
// when the program bound one (a stand-in, or None to choose OpenCV's codec),
// else `import av` at each recording. Without it OpenCV's MPEG-4 Part 2 codec
// is used, and one line says so.
bool Recorder::choose_encoder() {
  av_ = Ref();
  Ref key = name_of("av");
  if (!key) return false;
  PyObject* found = nullptr;
  int bound = PyDict_GetItemRef(module_dict(), key.get(), &found);
  if (bound < 0) return false;
  Ref av = Ref::steal(found);
  if (!bound) {
    av = import("av");
    if (!av) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
      PyErr_Clear();
    }
  }
  if (av && av.get() != Py_None) {
    av_ = av;
    return true;
  }
  if (av || g_recorder.said_no_av) return true;
  g_recorder.said_no_av = true;
  Ref line = Ref::steal(PyUnicode_FromString(
      "kelvracv: PyAV is not installed (pip install av), so MP4 recordings use OpenCV's MPEG-4 Part 2 codec, "
      "which browsers do not play"));
  return line && print_stderr(line.get());
}

// Checks, before the first frame, that `target` can be written: its folder is
// made and a new hidden file is created beside it, which the frames are
// written to and which is then renamed onto the target.
bool Recorder::reserve(PyObject* target) {
  int folder = path_test(KV_ID(isdir), target);
  int link = folder > 0 ? path_test(KV_ID(islink), target) : 0;
  if (folder < 0 || link < 0) return false;
  if (folder && !link) {
    PyErr_Format(PyExc_IsADirectoryError, "KELVRACV_RECORD: cannot write to %R: it is a folder", target);
    return false;
  }
  Ref parts = os_path_do(KV_ID(splitext), {target});
  Ref ext = parts ? Ref::steal(item(parts.get(), 1)) : Ref();
  Ref dir = ext ? os_path_do(KV_ID(dirname), {target}) : Ref();
  Ref six = Ref::steal(PyLong_FromLong(6));
  Ref flags = Ref::steal(PyLong_FromLong(O_WRONLY | O_CREAT | O_EXCL));
  Ref mode = Ref::steal(PyLong_FromLong(0666));
  if (!dir || !six || !flags || !mode) return false;
  if (!make_folder(target)) {
    cannot_write(target);
    return false;
  }
  for (int attempt = 0;; attempt++) {
    Ref token = os_do(KV_ID(urandom), {six.get()});
    Ref hex = token ? Ref::steal(PyObject_CallMethodNoArgs(token.get(), KV_ID(hex))) : Ref();
    Ref name = hex ? Ref::steal(PyUnicode_FromFormat(".kelvra-%U%U", hex.get(), ext.get())) : Ref();
    Ref tmp = name ? os_path_do(KV_ID(join), {dir.get(), name.get()}) : Ref();
    if (!tmp) return false;
    Ref fd = os_do(KV_ID(open), {tmp.get(), flags.get(), mode.get()});
    if (fd) {
      if (!os_do(KV_ID(close), {fd.get()})) return false;
      tmp_ = tmp;
      return true;
    }
    if (attempt >= 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
      cannot_write(target);
      return false;
    }
    PyErr_Clear();
  }
}

Ref Recorder::file_name(long long index) {
  Ref n = Ref::steal(PyLong_FromLongLong(index));
  if (!n) return n;
  return Ref::steal(PyUnicode_Format(path_.get(), n.get()));
}

// An 8-bit BGR image of the first frame's size made from a frame as shown.
// The frame's facts are read before the conversion decides what to run; the
// image written is read again after the last Python call that made it (a
// rebound cv2.cvtColor may reshape the frame it is given).
bool Recorder::prepare(PyObject* frame, Ref* out) {
  if (!PyArray_Check(frame)) {
    PyErr_Format(PyExc_TypeError, "KELVRACV_RECORD: cannot record a frame of type %.200s", Py_TYPE(frame)->tp_name);
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(frame);
  if (PyArray_TYPE(arr) != NPY_UINT8) {
    PyErr_Format(PyExc_TypeError, "KELVRACV_RECORD: frames must be 8-bit images (uint8), got %R",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
    return false;
  }
  int nd = PyArray_NDIM(arr);
  npy_intp channels = nd == 3 ? PyArray_DIM(arr, 2) : 1;
  if ((nd != 2 && nd != 3) || (channels != 1 && channels != 3 && channels != 4)) {
    PyErr_SetString(PyExc_ValueError, "KELVRACV_RECORD: frames must be images of 1, 3 or 4 channels");
    return false;
  }
  *out = Ref::borrow(frame);
  if (channels != 3) {
    Ref code = cv2_const(channels == 4 ? "COLOR_BGRA2BGR" : "COLOR_GRAY2BGR");
    if (!code || !(*out = cv2_do("cvtColor", {frame, code.get()}))) return false;
  }
  Ref size = bgr_size(out->get());
  if (!size) return false;
  if (!size_) {
    size_ = size;
    return true;
  }
  int same = PyObject_RichCompareBool(size.get(), size_.get(), Py_EQ);
  if (same) return same > 0;
  // A resized canvas is scaled to the first frame's size.
  PyObject* kw = KV_KW(interpolation);
  Ref area = cv2_const("INTER_AREA");
  if (!kw || !area) return false;
  if (!(*out = cv2_do("resize", {out->get(), size_.get(), area.get()}, kw))) return false;
  if (!(size = bgr_size(out->get()))) return false;
  same = PyObject_RichCompareBool(size.get(), size_.get(), Py_EQ);
  if (same == 0)
    PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD: cv2.resize gave a frame of %R, not %R", size.get(), size_.get());
  return same > 0;
}

bool Recorder::add(PyObject* frame) {
  Ref img;
  if (!prepare(frame, &img)) return false;
  switch (kind_) {
    case Kind::video:
      if (!add_video_frame(img.get())) return false;
      break;
    case Kind::gif:
      if (!add_gif_frame(img.get())) return false;
      break;
    case Kind::images: {
      Ref name = file_name(first_ + count_);
      if (!name || !write_image(img.get(), name.get())) return false;
      break;
    }
    case Kind::off:
      return true;
  }
  count_++;
  // The next run goes on after this one: after its last file, or beside its video.
  if (kind_ == Kind::images) return set_progress(key_.get(), first_ + count_);
  return count_ > 1 || set_progress(key_.get(), first_ + 1);
}

// One video frame: through PyAV, or through the cv2.VideoWriter made at the first frame.
bool Recorder::add_video_frame(PyObject* img) {
  if (av_) {
    if (!encode(img)) {
      cannot_write(path_.get());
      return false;
    }
    return true;
  }
  if (!writer_) {
    Ref fourcc = cv2_do("VideoWriter_fourcc", {KV_ID(m), KV_ID(p), KV_ID(s_4), KV_ID(v)});
    Ref fps = Ref::steal(PyFloat_FromDouble(fps_));
    if (!fourcc || !fps) return false;
    Ref writer = cv2_do("VideoWriter", {tmp_.get(), fourcc.get(), fps.get(), size_.get()});
    if (!writer) return false;
    Ref opened = Ref::steal(PyObject_CallMethodNoArgs(writer.get(), KV_ID(isOpened)));
    int ok = opened ? truth(opened.get()) : -1;
    if (ok < 0) return false;
    if (!ok) {
      PyErr_Format(PyExc_OSError, "KELVRACV_RECORD: cannot write an MP4 video of %R frames per second to %R",
                   fps.get(), path_.get());
      return false;
    }
    writer_ = writer;
  }
  // VideoWriter.write reports nothing: close() reads the video back.
  Ref r = Ref::steal(PyObject_CallMethodOneArg(writer_.get(), KV_ID(write), img));
  return static_cast<bool>(r);
}

// One GIF frame, held until the end: Pillow takes R, G, B; the frame is kept
// as a 256-colour palette image.
bool Recorder::add_gif_frame(PyObject* img) {
  PyObject* kw = KV_KW(method);
  Ref code = cv2_const("COLOR_BGR2RGB");
  Ref rgb = code ? cv2_do("cvtColor", {img, code.get()}) : Ref();
  Ref fromarray = global_attr(KV_ID(Image), KV_ID(fromarray));
  Ref image = rgb && fromarray ? call(fromarray.get(), {rgb.get()}) : Ref();
  Ref quantize = global_attr(KV_ID(Image), KV_ID(Quantize));
  Ref octree = quantize ? attr_of(quantize.get(), KV_ID(FASTOCTREE)) : Ref();
  Ref colors = Ref::steal(PyLong_FromLong(256));
  if (!kw || !image || !octree || !colors) return false;
  Ref q = Ref::steal(PyObject_GetAttr(image.get(), KV_ID(quantize)));
  if (q) q = call(q.get(), {colors.get(), octree.get()}, kw);
  return q && PyList_Append(held_.get(), q.get()) == 0;
}

// One frame through PyAV's H.264 encoder (yuv420p, x264's "veryfast"
// preset: a small file for a few milliseconds per 800x600 frame).
// 4:2:0 needs an even width and height: an odd side is completed with a copy
// of its last row or column.
bool Recorder::encode(PyObject* img) {
  Ref w = Ref::steal(item(size_.get(), 0));
  Ref h = Ref::steal(item(size_.get(), 1));
  if (!w || !h) return false;
  long width = PyLong_AsLong(w.get());
  long height = PyLong_AsLong(h.get());
  if (PyErr_Occurred()) return false;
  if (!output_ && !open_stream(width, height)) return false;
  Ref block = yuv_frame(img, width, height);
  if (!block) return false;
  Ref video_frame = attr(av_.get(), "VideoFrame");
  Ref from_ndarray = video_frame ? attr(video_frame.get(), "from_ndarray") : Ref();
  Ref args = Ref::steal(PyTuple_Pack(1, block.get()));
  Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "format", "yuv420p"));
  if (!from_ndarray || !args || !kwargs) return false;
  Ref frame = Ref::steal(PyObject_Call(from_ndarray.get(), args.get(), kwargs.get()));
  Ref pts = Ref::steal(PyLong_FromLongLong(count_));
  if (!frame || !pts || !set_attr(frame.get(), "pts", pts.get())) return false;
  Ref packets = Ref::steal(PyObject_CallMethodOneArg(stream_.get(), name_of("encode").get(), frame.get()));
  Ref mux = packets ? attr(output_.get(), "mux") : Ref();
  return mux && call(mux.get(), {packets.get()});
}

// PyAV's output and its H.264 stream for frames of width x height, made even.
bool Recorder::open_stream(long width, long height) {
  Ref open = attr(av_.get(), "open");
  Ref mode = Ref::steal(PyUnicode_FromString("w"));
  Ref output = open && mode ? call(open.get(), {tmp_.get(), mode.get()}) : Ref();
  if (!output) return false;
  output_ = output;  // closed by finish_encoder whatever happens next
  Ref rate = av_rate(fps_);
  Ref add_stream = attr(output_.get(), "add_stream");
  Ref args = Ref::steal(Py_BuildValue("(s)", "libx264"));
  Ref kwargs = rate ? Ref::steal(Py_BuildValue("{sOs{ss}}", "rate", rate.get(), "options", "preset", "veryfast"))
                    : Ref();
  if (!add_stream || !args || !kwargs) return false;
  Ref stream = Ref::steal(PyObject_Call(add_stream.get(), args.get(), kwargs.get()));
  Ref even_w = Ref::steal(PyLong_FromLong(width + (width & 1)));
  Ref even_h = Ref::steal(PyLong_FromLong(height + (height & 1)));
  Ref pix_fmt = Ref::steal(PyUnicode_FromString("yuv420p"));
  if (!stream || !even_w || !even_h || !pix_fmt || !set_attr(stream.get(), "width", even_w.get()) ||
      !set_attr(stream.get(), "height", even_h.get()) || !set_attr(stream.get(), "pix_fmt", pix_fmt.get()))
    return false;
  stream_ = stream;
  return true;
}

// The frame as one C-contiguous block of planar 4:2:0, an odd side first
// completed with a copy of its last row or column. Null with the exception.
Ref Recorder::yuv_frame(PyObject* img, long width, long height) {
  Ref frame_img = Ref::borrow(img);
  if ((width | height) & 1) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref bottom = Ref::steal(PyLong_FromLong(height & 1));
    Ref right = Ref::steal(PyLong_FromLong(width & 1));
    Ref replicate = cv2_const("BORDER_REPLICATE");
    if (!zero || !bottom || !right || !replicate) return Ref();
    frame_img = cv2_do("copyMakeBorder", {img, zero.get(), bottom.get(), zero.get(), right.get(), replicate.get()});
    if (!frame_img || !bgr_size(frame_img.get())) return Ref();
  }
  // OpenCV's conversion to planar 4:2:0 (BT.601, video range, as PyAV's own
  // would make it) costs about half of PyAV's.
  Ref i420 = cv2_const("COLOR_BGR2YUV_I420");
  Ref yuv = i420 ? cv2_do("cvtColor", {frame_img.get(), i420.get()}) : Ref();
  if (!yuv) return yuv;
  if (!PyArray_Check(yuv.get())) {
    PyErr_SetString(PyExc_TypeError, "KELVRACV_RECORD: cv2.cvtColor gave no image");
    return Ref();
  }
  return Ref::steal(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(reinterpret_cast<PyArrayObject*>(yuv.get()))));
}

// Flushes the encoder and closes PyAV's output; the first error is kept.
bool Recorder::finish_encoder() {
  bool ok = true;
  if (stream_) {
    Ref packets = Ref::steal(PyObject_CallMethodNoArgs(stream_.get(), name_of("encode").get()));
    Ref mux = packets ? attr(output_.get(), "mux") : Ref();
    ok = mux && call(mux.get(), {packets.get()});
  }
  PyObject* pending = PyErr_GetRaisedException();
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(output_.get(), KV_ID(close)));
  if (pending) {
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
  }
  stream_ = Ref();
  output_ = Ref();
  return ok && r;
}

// One numbered image file: encoded by cv2.imencode, written to the hidden file
// beside (so an error gives its reason, such as "No space left on device"),
// then renamed onto its name; the identity of the file is kept, to see at the
// end that no other program replaced it meanwhile.
bool Recorder::write_image(PyObject* img, PyObject* name) {
  Ref parts = os_path_do(KV_ID(splitext), {tmp_.get()});
  Ref ext = parts ? Ref::steal(item(parts.get(), 1)) : Ref();
  Ref encoded = ext ? cv2_do("imencode", {ext.get(), img}) : Ref();
  if (!encoded) return false;
  Ref pair[2];
  if (!unpack(encoded.get(), pair, 2)) return false;
  int ok = truth(pair[0].get());
  if (ok < 0) return false;
  if (!ok) {
    PyErr_Format(PyExc_OSError, "KELVRACV_RECORD: cannot encode a frame for %R", name);
    return false;
  }
  Ref wb = Ref::steal(PyUnicode_FromString("wb"));
  Ref file = wb ? call_global(KV_ID(open), {tmp_.get(), wb.get()}) : Ref();
  if (!file) {
    cannot_write(name);
    return false;
  }
  Ref written = Ref::steal(PyObject_CallMethodOneArg(file.get(), KV_ID(write), pair[1].get()));
  Ref fd = written ? Ref::steal(PyObject_CallMethodNoArgs(file.get(), name_of("fileno").get())) : Ref();
  Ref st = fd ? os_do(KV_ID(fstat), {fd.get()}) : Ref();
  Ref id = st ? file_id(st.get()) : Ref();
  if (!close_file(file.get()) || !id) {
    cannot_write(name);
    return false;
  }
  int existed = path_test(KV_ID(lexists), name);
  if (existed < 0) return false;
  if (!os_do(KV_ID(replace), {tmp_.get(), name})) {
    cannot_write(name);
    return false;
  }
  replaced_ += existed;
  return PyList_Append(ids_.get(), id.get()) == 0;
}

// Renames the whole video or GIF onto its target, then checks that the file
// there is the one written.
bool Recorder::rename_whole() {
  Ref stat = name_of("stat");
  Ref st = stat ? os_do(stat.get(), {tmp_.get()}) : Ref();
  Ref id = st ? file_id(st.get()) : Ref();
  if (!id) return false;
  int existed = path_test(KV_ID(lexists), path_.get());
  if (existed < 0 || !os_do(KV_ID(replace), {tmp_.get(), path_.get()})) {
    cannot_write(path_.get());
    return false;
  }
  replaced_ = existed > 0;
  Ref now = id_at(path_.get());
  if (!now) return false;
  int same = PyObject_RichCompareBool(now.get(), id.get(), Py_EQ);
  if (same < 0) return false;
  if (!same) {
    lost_ = 1;
    lost_name_ = path_;
  }
  return same > 0;
}

// Every numbered file written is still the one written; otherwise another
// program (a second recording to the same names, say) replaced or removed it.
bool Recorder::check_images() {
  for (long long i = 0; i < count_; i++) {
    Ref name = file_name(first_ + i);
    Ref now = name ? id_at(name.get()) : Ref();
    if (!now) return false;
    int same = PyObject_RichCompareBool(now.get(), PyList_GET_ITEM(ids_.get(), i), Py_EQ);
    if (same < 0) return false;
    if (!same && lost_++ == 0) lost_name_ = name;
  }
  return lost_ == 0;
}

void Recorder::discard() {
  if (kind_ == Kind::off) return;
  PyObject* pending = PyErr_GetRaisedException();
  stream_ = Ref();
  output_ = Ref();  // PyAV closes its file when its container goes
  if (writer_) Ref r = Ref::steal(PyObject_CallMethodNoArgs(writer_.get(), KV_ID(release)));
  writer_ = Ref();
  held_ = Ref();
  PyErr_Clear();
  remove_quietly(tmp_.get());
  PyErr_SetRaisedException(pending);
  kind_ = Kind::off;
}

// The video written reads back with every frame: VideoWriter.write reports
// no failure (a full disk, a file size limit), and such a file lacks its index.
bool Recorder::check_video() {
  Ref cap = cv2_do("VideoCapture", {tmp_.get()});
  Ref opened = cap ? Ref::steal(PyObject_CallMethodNoArgs(cap.get(), KV_ID(isOpened))) : Ref();
  int ok = opened ? truth(opened.get()) : -1;
  if (ok < 0) return false;
  double frames = -1.0;
  if (ok) {
    Ref prop = cv2_const("CAP_PROP_FRAME_COUNT");
    Ref n = prop ? Ref::steal(PyObject_CallMethodOneArg(cap.get(), KV_ID(get), prop.get())) : Ref();
    if (!n || !to_double(n.get(), &frames)) return false;
  }
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(cap.get(), KV_ID(release)));
  if (!r) return false;
  if (frames == static_cast<double>(count_)) return true;
  PyErr_Format(PyExc_OSError,
               "KELVRACV_RECORD: writing %R failed: the video does not read back with its %lld frames "
               "(a full disk or a file size limit?)",
               path_.get(), count_);
  return false;
}

bool Recorder::close() {
  if (kind_ == Kind::off) return true;
  bool ok = true;
  if (writer_) {
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(writer_.get(), KV_ID(release)));
    ok = static_cast<bool>(r);
    writer_ = Ref();
    ok = ok && check_video();
  }
  if (output_) {
    ok = finish_encoder();
    if (!ok) cannot_write(path_.get());
    ok = ok && check_video();
  }
  if (held_ && PyList_GET_SIZE(held_.get()) > 0) {
    // first.save(tmp, save_all=True, append_images=rest, duration=ms, loop=0)
    PyObject* kw = KV_KW(gif_save);
    double ms = std::fmin(std::fmax(std::round(100.0 / fps_) * 10.0, kMinGifDelayMs), kMaxGifDelayMs);
    Ref rest = Ref::steal(PyList_GetSlice(held_.get(), 1, PyList_GET_SIZE(held_.get())));
    Ref duration = Ref::steal(PyLong_FromLong(static_cast<long>(ms)));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref save = Ref::steal(PyObject_GetAttr(PyList_GET_ITEM(held_.get(), 0), KV_ID(save)));
    ok = kw && rest && duration && zero && save &&
         call(save.get(), {tmp_.get(), Py_True, rest.get(), duration.get(), zero.get()}, kw);
    if (!ok) cannot_write(path_.get());
  }
  held_ = Ref();
  if (ok && count_ > 0) ok = kind_ == Kind::images ? check_images() : rename_whole();
  if (!ok && lost_ > 0 && !PyErr_Occurred())
    PyErr_Format(PyExc_OSError, "KELVRACV_RECORD: %U was replaced or removed by another program while the recording ran",
                 lost_name_.get());
  remove_quietly(tmp_.get());  // what was not renamed: nothing, a failed video, or an unused file
  // The summary is printed whatever happened, an error being raised kept.
  PyObject* pending = PyErr_GetRaisedException();
  bool said = summary(ok);
  if (pending) {
    if (!said) PyErr_Clear();
    PyErr_SetRaisedException(pending);
  }
  kind_ = Kind::off;
  return ok && said;
}

// "kelvracv: recorded 120 frames of 800x600 to out.mp4", one line on stderr,
// saying also when existing files were replaced, or that nothing was written.
bool Recorder::summary(bool written) {
  Ref line;
  bool whole = kind_ != Kind::images;
  if (lost_ > 0) {
    line = lost_ == 1 ? Ref::steal(PyUnicode_FromFormat("kelvracv: recording failed, %U was replaced or removed by "
                                                        "another program while the recording ran",
                                                        lost_name_.get()))
                      : Ref::steal(PyUnicode_FromFormat("kelvracv: recording failed, %U and %lld more of its %lld "
                                                        "files were replaced or removed by another program while "
                                                        "the recording ran",
                                                        lost_name_.get(), lost_ - 1, count_));
  } else if (count_ == 0 || (whole && !written)) {
    const char* what = count_ == 0 ? "recorded no frames" : "recording failed";
    line = Ref::steal(PyUnicode_FromFormat("kelvracv: %s, nothing written to %U", what, path_.get()));
  } else {
    if (int q = quiet()) return q > 0;  // KELVRACV_QUIET: nothing to report
    Ref w = Ref::steal(item(size_.get(), 0));
    Ref h = Ref::steal(item(size_.get(), 1));
    if (!w || !h) return false;
    Ref where = path_;
    if (!whole) {
      Ref first = file_name(first_);
      Ref last = file_name(first_ + count_ - 1);
      if (!first || !last) return false;
      where = count_ == 1 ? first : Ref::steal(PyUnicode_FromFormat("%U ... %U", first.get(), last.get()));
    }
    if (!where) return false;
    char note[64] = "";
    if (replaced_ == 1 && whole)
      PyOS_snprintf(note, sizeof note, ", replacing the existing file");
    else if (replaced_ > 0)
      PyOS_snprintf(note, sizeof note, ", replacing %lld existing file%s", replaced_, replaced_ == 1 ? "" : "s");
    line = Ref::steal(PyUnicode_FromFormat("kelvracv: recorded %lld frame%s of %Sx%S to %U%s", count_,
                                           count_ == 1 ? "" : "s", w.get(), h.get(), where.get(), note));
  }
  return line && print_stderr(line.get());
}

}  // namespace kv::window
