// The in-memory copies of font files (see font_files.hpp). A copy is a
// memfd sealed against any change of size or content, handed to FreeType as
// /proc/self/fd/N: FreeType maps it, so every font of the file reads the
// same pages, and the memory goes when the last font unmaps it and the
// descriptor kept here is closed (when the last font is freed). Without
// memfd or /proc the font is made from the bytes themselves, a copy per font
// as before.

#include "text/font_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "pyapi/files.hpp"
#include "pyapi/namespace.hpp"
#include "text/font_watch.hpp"
#include "text/glyphs.hpp"
#include "text/plain_glyphs.hpp"

namespace kv::text {
namespace {

// os.stat(path) through the module's os: whether it names a regular file,
// and its identity. False with the OSError.
bool file_status(PyObject* path, bool* regular, Ref* identity) {
  PyObject* const names[4] = {KV_ID(st_dev), KV_ID(st_ino), KV_ID(st_size), KV_ID(st_mtime_ns)};
  Ref stat = global_attr(KV_ID(os), KV_ID(stat));
  Ref st = stat ? call(stat.get(), {path}) : Ref();
  Ref mode = st ? Ref::steal(PyObject_GetAttr(st.get(), KV_ID(st_mode))) : Ref();
  if (!mode) return false;
  const long m = PyLong_AsLong(mode.get());
  if (m == -1 && PyErr_Occurred()) return false;
  *regular = S_ISREG(m);
  Ref id = Ref::steal(PyTuple_New(4));
  if (!id) return false;
  for (int i = 0; i < 4; i++) {
    PyObject* v = PyObject_GetAttr(st.get(), names[i]);
    if (!v) return false;
    PyTuple_SET_ITEM(id.get(), i, v);
  }
  *identity = std::move(id);
  return true;
}

bool same_identity(PyObject* a, PyObject* b) {
  // Tuples of ints (or whatever the program's os.stat gave): compared as values.
  int eq = PyObject_RichCompareBool(a, b, Py_EQ);
  if (eq < 0) PyErr_Clear();
  return eq > 0;
}

FontFile* file_of(PyObject* identity) {
  for (auto& f : font_file_state().files)
    if (same_identity(f->identity.get(), identity)) return f.get();
  return nullptr;
}

// A sealed in-memory file holding the bytes: its descriptor, or -1.
int memory_file(const char* data, size_t n) {
#if defined(MFD_CLOEXEC) && defined(MFD_ALLOW_SEALING)
  const int fd = memfd_create("kelvracv-font", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  for (size_t done = 0; done < n;) {
    const ssize_t w = write(fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  // No one, not even through /proc, can shrink, grow or write it from here on.
  if (fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0) {
    close(fd);
    return -1;
  }
  return fd;
#else
  (void)data, (void)n;
  return -1;
#endif
}

// /proc/self/fd/<fd> as a str, when that path opens the descriptor's file
// (asked once: /proc is mounted or it is not).
Ref proc_path(int fd) {
  char text[48];
  std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd);
  static const bool usable = access(text, R_OK) == 0;
  if (!usable) return Ref();
  Ref p = Ref::steal(PyUnicode_FromString(text));
  if (!p) PyErr_Clear();
  return p;
}

// The bytes of the in-memory file (when it cannot be handed over by path).
Ref bytes_of(int fd) {
  struct stat st;
  if (fstat(fd, &st) < 0) return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
  Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, st.st_size));
  if (!data) return data;
  char* out = PyBytes_AS_STRING(data.get());
  for (off_t done = 0; done < st.st_size;) {
    const ssize_t r = pread(fd, out + done, static_cast<size_t>(st.st_size - done), done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
    done += r;
  }
  return data;
}

void close_quietly(int fd) {
  if (fd >= 0) close(fd);
}

// What a font is made from: the file's identity (null when it is not to be
// shared), its bytes while no in-memory file holds them, the in-memory file,
// and which glyphs are plain.
struct FontSource {
  Ref identity;
  Ref data;
  int fd = -1;
  bool plain[256] = {};
};

// Reads the file at `path` into src->data and an in-memory file. A file that
// changed while it was read is used as read, and shared with no other font.
// False with the exception.
bool read_font_file(PyObject* path, FontSource* src) {
  src->data = read_regular_file(path);
  if (!src->data) return false;
  if (src->data.get() == Py_None || !PyBytes_Check(src->data.get())) {
    raise_not_regular(path);
    return false;
  }
  bool still_regular = false;
  Ref after;
  if (!file_status(path, &still_regular, &after)) PyErr_Clear();
  Ref read_size = Ref::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(src->data.get())));
  if (!read_size) return false;
  if (!after || !same_identity(after.get(), src->identity.get()) ||
      !same_identity(PyTuple_GET_ITEM(src->identity.get(), 2), read_size.get()))
    src->identity = Ref();
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(src->data.get()));
  const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(src->data.get()));
  find_plain_glyphs(bytes, n, src->plain);
  src->fd = memory_file(PyBytes_AS_STRING(src->data.get()), n);
  return true;
}

// font_class(copy, size): by the in-memory file's path where /proc has one,
// else from its bytes (then the descriptor is closed here). New reference or
// nullptr.
Ref open_font(PyObject* font_class, PyObject* size, FontSource* src) {
  Ref by_path = src->fd >= 0 ? proc_path(src->fd) : Ref();
  if (by_path) {
    src->data = Ref();  // the in-memory file holds the bytes from here on
    return call(font_class, {by_path.get(), size});
  }
  if (!src->data) src->data = bytes_of(src->fd);
  Ref io = src->data ? import("io") : Ref();
  Ref stream = io ? Ref::steal(PyObject_CallMethodOneArg(io.get(), KV_ID(BytesIO), src->data.get())) : Ref();
  close_quietly(src->fd);
  src->fd = -1;
  return stream ? call(font_class, {stream.get(), size}) : Ref();
}

// The descriptor stays while a font of the file lives (weakly watched), for
// the next size to share; otherwise the font's own mapping keeps the copy.
void keep_descriptor(PyObject* font, FontSource* src) {
  if (!src->identity || !watch_font(font)) {
    close(src->fd);
    return;
  }
  if (FontFile* f = file_of(src->identity.get())) {
    f->fonts.push_back(font);
    close(src->fd);
    return;
  }
  auto kept = std::make_unique<FontFile>();
  kept->identity = src->identity;
  kept->fd = src->fd;
  std::memcpy(kept->plain, src->plain, sizeof src->plain);
  kept->fonts.push_back(font);
  font_file_state().files.push_back(std::move(kept));
}

}  // namespace

FontFileState& font_file_state() {
  static FontFileState& state = *new FontFileState();
  return state;
}

Ref font_from_file(PyObject* font_class, PyObject* path, PyObject* size) {
  FontSource src;
  bool regular = false;
  if (!file_status(path, &regular, &src.identity)) return Ref();
  if (!regular) {
    raise_not_regular(path);
    return Ref();
  }
  if (FontFile* f = file_of(src.identity.get())) {  // the file as a live font holds it
    src.fd = fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
    std::memcpy(src.plain, f->plain, sizeof src.plain);
  }
  if (src.fd < 0 && !read_font_file(path, &src)) return Ref();
  Ref font = open_font(font_class, size, &src);
  if (!font) {
    close_quietly(src.fd);
    return font;
  }
  // Its path is the file's, as a font opened by path has (font_variant and pickling use it).
  if (PyObject_SetAttr(font.get(), KV_ID(path), path) < 0) PyErr_Clear();
  register_face(font.get(), src.plain);
  if (src.fd >= 0) keep_descriptor(font.get(), &src);
  return font;
}

void forget_font_file(PyObject* font) {
  std::vector<std::unique_ptr<FontFile>>& files = font_file_state().files;
  for (size_t i = 0; i < files.size(); i++) {
    std::vector<PyObject*>& fonts = files[i]->fonts;
    for (size_t j = 0; j < fonts.size(); j++) {
      if (fonts[j] != font) continue;
      fonts[j] = fonts.back();
      fonts.pop_back();
      if (fonts.empty()) {
        close(files[i]->fd);
        std::unique_ptr<FontFile> gone = std::move(files[i]);
        files[i] = std::move(files.back());
        files.pop_back();
      }
      return;
    }
  }
}

}  // namespace kv::text
