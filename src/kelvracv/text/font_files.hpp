// Font files held in memory: one copy of each file, shared by every font
// (every size) made from it, and gone with the last of them. FreeType reads
// a font for as long as the font lives; a font made from a file on disk
// would see that file change under it (and bring the process down when it
// shrinks), and one made from bytes keeps a copy of its own per size. Here
// the file is read once into a sealed anonymous in-memory file, and each
// font maps that. Main thread (any thread holding the interpreter lock).
#pragma once

#include "pyapi/ref.hpp"

namespace kv::text {

// font_class(copy, size) for the regular file at `path` (a link to one is
// followed), `copy` being the in-memory copy that every font of this file
// shares: read now unless a live font holds the file as it is on disk (the
// same device, inode, size and modification time). The font's `path` is
// `path`, and its glyphs may be kept for composing text. OSError for a path
// that names no regular file or a file that cannot be read or opened as a
// font. New reference or nullptr.
Ref font_from_file(PyObject* font_class, PyObject* path, PyObject* size);

}  // namespace kv::text
