// Whole-file reads that only ever read regular files. A path naming a
// folder, FIFO, device or socket is recognised from its status and never
// opened for reading, so nothing blocks on a pipe or reads an endless device.
// The module's os and open are used (late bound). Callers hold the
// interpreter lock.
#pragma once

#include "pyapi/ref.hpp"

namespace kv {

// os.stat(path).st_mode (symbolic links followed): false with the OSError.
bool stat_mode(PyObject* path, long* mode);

// The bytes of the regular file at `path` (a link to one is followed).
// Py_None when the path names anything else; nullptr with the OSError of
// os.stat, os.open or the read (a missing file, no permission).
Ref read_regular_file(PyObject* path);

// open(path, mode) for a regular file only (a link to one is followed),
// opened without blocking: IsADirectoryError for a folder, OSError
// "Not a regular file:<path>" for a FIFO, device or socket, the OSError of
// os.stat or os.open otherwise.
Ref open_regular(PyObject* path, PyObject* mode);

// Sets OSError "Not a regular file:" + str(path).
void raise_not_regular(PyObject* path);

// os.close(fd), keeping an exception already being raised (as close_file
// does for a file object). False when either is set.
bool close_fd(PyObject* fd);

}  // namespace kv
