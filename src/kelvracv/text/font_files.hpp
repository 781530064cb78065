// Font files held in memory: one copy of each file, shared by every font
// (every size) made from it, and gone with the last of them. FreeType reads
// a font for as long as the font lives; a font made from a file on disk
// would see that file change under it (and bring the process down when it
// shrinks), and one made from bytes keeps a copy of its own per size. Here
// the file is read once into a sealed anonymous in-memory file, and each
// font maps that. Main thread (any thread holding the interpreter lock).
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "pyapi/ref.hpp"

namespace kv::text {

// One font file held in memory.
struct FontFile {
  Ref identity;  // (st_dev, st_ino, st_size, st_mtime_ns) of the file that was read
  int fd = -1;   // the sealed copy
  bool plain[256] = {};
  std::vector<PyObject*> fonts;  // the watched fonts made from it
};

// What the text subsystem keeps per font file and per watched font. Owned by
// font_files.cpp (the files) and font_watch.cpp (the watch). Bound: one entry
// per font file that a live watched font was made from, one per watched font.
// Eviction: an entry goes when its font is freed (the weak reference's
// callback), a file's when the last of its fonts goes; nothing else drops one.
struct FontFileState {
  std::vector<std::unique_ptr<FontFile>> files;
  std::unordered_map<PyObject*, PyObject*> ref_of_font;  // font -> its weak reference (held)
  std::unordered_map<PyObject*, PyObject*> font_of_ref;  // and back
  PyObject* freed_callback = nullptr;  // the weak references' callback, made at the first watch
};

// The one FontFileState, never destroyed: weak references may still call
// back while the interpreter ends.
FontFileState& font_file_state();

// font_class(copy, size) for the regular file at `path` (a link to one is
// followed), `copy` being the in-memory copy that every font of this file
// shares: read now unless a live font holds the file as it is on disk (the
// same device, inode, size and modification time). The font's `path` is
// `path`, and its glyphs may be kept for composing text. OSError for a path
// that names no regular file or a file that cannot be read or opened as a
// font. New reference or nullptr.
Ref font_from_file(PyObject* font_class, PyObject* path, PyObject* size);

}  // namespace kv::text
