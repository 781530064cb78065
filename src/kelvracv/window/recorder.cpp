// Recording of the frames the loop shows (KELVRACV_RECORD): an MP4 video
// through cv2.VideoWriter, a GIF through Pillow, or numbered image files
// through cv2.imwrite. cv2, Image, os and sys are the module's globals, looked
// up at each use. Main thread (the frame loop), interpreter lock held.

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

// Across the runs of the process, by KELVRACV_RECORD path: the number of the
// next image file, or how many runs have written a video or GIF there.
PyObject* g_progress = nullptr;

// g_progress[path], 0 when absent; -1 on error.
long long progress(PyObject* path) {
  if (!g_progress && !(g_progress = PyDict_New())) return -1;
  PyObject* n = PyDict_GetItemWithError(g_progress, path);
  if (!n) return PyErr_Occurred() ? -1 : 0;
  return PyLong_AsLongLong(n);
}

bool set_progress(PyObject* path, long long value) {
  Ref n = Ref::steal(PyLong_FromLongLong(value));
  return n && PyDict_SetItem(g_progress, path, n.get()) == 0;
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
  PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), "KELVRACV_RECORD: cannot write to %R: %S", target,
               reason.get());
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

}  // namespace

// ---- the recorder -----------------------------------------------------------

bool Recorder::open(PyObject* target_fps) {
  Ref path = environ_get("KELVRACV_RECORD");
  if (!path) return false;
  if (path.get() == Py_None || !PyUnicode_Check(path.get())) return true;
  Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(path.get(), KV_ID(strip)));
  if (!stripped) return false;
  if (PyUnicode_GetLength(stripped.get()) == 0) return true;  // blank: not recording
  const char* utf8 = PyUnicode_AsUTF8(path.get());
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
                 path.get());
    return false;
  }
  if (kind == Kind::images && (fields.numbers > 1 || fields.other)) {
    PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD holds a number format other than one %%d: %R", path.get());
    return false;
  }
  if (kind == Kind::images && fields.too_wide) {
    PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD: a frame number is at most %ld digits wide, got %R",
                 kMaxNumberWidth, path.get());
    return false;
  }
  // A relative path names a place in the folder the run started from.
  path_ = os_path_do(KV_ID(abspath), {path.get()});
  if (!path_) return false;
  key_ = path_;
  if ((first_ = progress(key_.get())) < 0) return false;
  Ref target;
  if (kind == Kind::images) {
    if (!(target = file_name(first_))) return false;
  } else {
    if (!to_double(target_fps, &fps_)) return false;
    if (!(fps_ > 0.0) || !std::isfinite(fps_)) {
      PyErr_Format(PyExc_ValueError, "KELVRACV_RECORD: a video or GIF needs a positive target_fps, got %R",
                   target_fps);
      return false;
    }
    if (first_ > 0 && !(path_ = nth_path(key_.get(), first_ + 1))) return false;
    target = path_;
    if (kind == Kind::gif && !(held_ = Ref::steal(PyList_New(0)))) return false;
  }
  if (!reserve(target.get())) return false;
  kind_ = kind;
  return true;
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
    case Kind::video: {
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
      Ref r = Ref::steal(PyObject_CallMethodOneArg(writer_.get(), KV_ID(write), img.get()));
      if (!r) return false;
      break;
    }
    case Kind::gif: {
      // Pillow takes R, G, B; the frame is held as a 256-colour palette image.
      PyObject* kw = KV_KW(method);
      Ref code = cv2_const("COLOR_BGR2RGB");
      Ref rgb = code ? cv2_do("cvtColor", {img.get(), code.get()}) : Ref();
      Ref fromarray = global_attr(KV_ID(Image), KV_ID(fromarray));
      Ref image = rgb && fromarray ? call(fromarray.get(), {rgb.get()}) : Ref();
      Ref quantize = global_attr(KV_ID(Image), KV_ID(Quantize));
      Ref octree = quantize ? attr_of(quantize.get(), KV_ID(FASTOCTREE)) : Ref();
      Ref colors = Ref::steal(PyLong_FromLong(256));
      if (!kw || !image || !octree || !colors) return false;
      Ref q = Ref::steal(PyObject_GetAttr(image.get(), KV_ID(quantize)));
      if (q) q = call(q.get(), {colors.get(), octree.get()}, kw);
      if (!q || PyList_Append(held_.get(), q.get()) < 0) return false;
      break;
    }
    case Kind::images: {
      // Written beside, then renamed onto its name.
      Ref name = file_name(first_ + count_);
      Ref ok = name ? cv2_do("imwrite", {tmp_.get(), img.get()}) : Ref();
      int written = ok ? truth(ok.get()) : -1;
      if (written < 0) return false;
      if (!written) {
        PyErr_Format(PyExc_OSError, "KELVRACV_RECORD: cannot write %R", name.get());
        return false;
      }
      int existed = path_test(KV_ID(lexists), name.get());
      if (existed < 0) return false;
      if (!os_do(KV_ID(replace), {tmp_.get(), name.get()})) {
        cannot_write(name.get());
        return false;
      }
      replaced_ += existed;
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
  if (kind_ != Kind::images && ok && count_ > 0) {
    int existed = path_test(KV_ID(lexists), path_.get());
    ok = existed >= 0 && os_do(KV_ID(replace), {tmp_.get(), path_.get()});
    if (!ok) cannot_write(path_.get());
    replaced_ = existed > 0;
  }
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
  if (count_ == 0 || (whole && !written)) {
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
