// The interned names, keyword-name tuples and constant objects the library
// hands to Python, declared in one list each and made once at start-up (on the importing
// thread, before any other thread of the module exists), then only read.
// Made there, no first use on a listener or sound thread can race another to
// create one, and no call can find one missing without an exception.
#pragma once

#include "pyapi/ref.hpp"

// Interned names: X(field, "text"); KV_ID(field) is the str "text".
// @@IDS-BEGIN
#define KV_IDS(X)
// @@IDS-END

// Keyword names for vectorcalls: X(field, "name", ...) is the tuple ("name", ...).
#define KV_KWNAMES(X)                    \
  X(buffer, "buffer")                    \
  X(dtype, "dtype")                      \
  X(encoding, "encoding")                \
  X(exist_ok, "exist_ok")                \
  X(file, "file")                        \
  X(flags, "flags")                      \
  X(font_fill, "font", "fill")           \
  X(gif_save, "save_all", "append_images", "duration", "loop") \
  X(interpolation, "interpolation")      \
  X(line_type, "lineType")               \
  X(method, "method")                    \
  X(start, "start")                      \
  X(target_daemon, "target", "daemon")   \
  X(target_args_daemon, "target", "args", "daemon")

// Constant objects: X(field, expression making a new reference).
#define KV_CONSTANTS(X)                                                              \
  X(half, PyFloat_FromDouble(0.5))                                                   \
  X(one_f, PyFloat_FromDouble(1.0))                                                  \
  X(fps_bump, PyFloat_FromDouble(1.5))                                               \
  X(two, PyLong_FromLong(2))                                                         \
  X(esc_code, PyLong_FromLong(27))                                                   \
  X(transparent_rgba, Py_BuildValue("(iiii)", 0, 0, 0, 0))                           \
  X(origin_xy, Py_BuildValue("(ii)", 0, 0))                                          \
  X(opaque_alpha, Py_BuildValue("(i)", 255))                                         \
  X(compiled_endings, Py_BuildValue("(ss)", ".pyc", "_c.py"))                        \
  X(default_window_info, Py_BuildValue("((ii)s)", 600, 400, "Kelvra Window"))        \
  X(mouse_button_index, Py_BuildValue("{sisisi}", "left", 0, "right", 1, "middle", 2))

namespace kv {

#define KV_NAMES_FIELD(field, ...) PyObject* field;
struct Ids {
  KV_IDS(KV_NAMES_FIELD)
};
struct KwNames {
  KV_KWNAMES(KV_NAMES_FIELD)
};
struct Constants {
  KV_CONSTANTS(KV_NAMES_FIELD)
};
#undef KV_NAMES_FIELD

// Borrowed, valid for the life of the process once init_names() succeeded.
extern Ids g_id;
extern KwNames g_kw;
extern Constants g_const;

// Makes every entry of the three lists; -1 with an exception set on failure.
int init_names();

}  // namespace kv

#define KV_ID(field) (::kv::g_id.field)
// KV_KW(target_daemon) is the tuple ("target", "daemon"); KV_CONST(half) is 0.5.
#define KV_KW(field) (::kv::g_kw.field)
#define KV_CONST(field) (::kv::g_const.field)
