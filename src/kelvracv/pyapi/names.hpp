// The interned names, keyword-name tuples and constant objects the library
// hands to Python, declared in one list each and made once at start-up (on
// the importing thread, before any other thread of the module exists), then
// only read.
// Made there, no first use on a listener or sound thread can race another to
// create one, and no call can find one missing without an exception.
#pragma once

#include "pyapi/ref.hpp"

// The nine keys of a transform-state record, in the order of STATE_KEYS.
#define KV_RECORD_KEYS(X)                          \
  X(shift, "shift")                                \
  X(rot, "rot")                                    \
  X(size, "size")                                  \
  X(cursor_pos, "cursor_pos")                      \
  X(full_transform, "full_transform")              \
  X(full_transform_inv, "full_transform_inv")      \
  X(cam_pos_3d, "cam_pos_3d")                      \
  X(cam_rot_3d, "cam_rot_3d")                      \
  X(is_3d, "is_3d")

// Every other interned name: X(field, "text"); KV_ID(field) is the str "text".
#define KV_IDS(X) \
  X(_get_win_props, "_get_win_props") \
  X(_kbd_listener, "_kbd_listener") \
  X(_mouse_listener, "_mouse_listener") \
  X(_play_sound_logic, "_play_sound_logic") \
  X(_volume_monitor, "_volume_monitor") \
  X(abspath, "abspath") \
  X(append, "append") \
  X(array, "array") \
  X(asarray, "asarray") \
  X(ASSETS, "ASSETS") \
  X(b64encode, "b64encode") \
  X(basename, "basename") \
  X(blit, "blit") \
  X(buttons, "buttons") \
  X(BytesIO, "BytesIO") \
  X(Channel, "Channel") \
  X(commonpath, "commonpath") \
  X(chr, "chr") \
  X(close, "close") \
  X(compress, "compress") \
  X(convert_win_info, "convert_win_info") \
  X(copy, "copy") \
  X(cv2, "cv2") \
  X(daemon, "daemon") \
  X(decode, "decode") \
  X(destroyAllWindows, "destroyAllWindows") \
  X(dirname, "dirname") \
  X(Draw, "Draw") \
  X(draw_command, "draw_command") \
  X(draw_command_convert, "draw_command_convert") \
  X(dtype, "dtype") \
  X(dummy, "dummy") \
  X(dumps, "dumps") \
  X(dunder_file, "__file__") \
  X(dunder_name, "__name__") \
  X(dunder_pycache, "__pycache__") \
  X(ellipse, "ellipse") \
  X(endswith, "endswith") \
  X(environ, "environ") \
  X(error, "error") \
  X(esc, "esc") \
  X(exists, "exists") \
  X(FASTOCTREE, "FASTOCTREE") \
  X(fillPoly, "fillPoly") \
  X(findHomography, "findHomography") \
  X(float64, "float64") \
  X(FONT_CACHE, "FONT_CACHE") \
  X(FONT_HERSHEY_SIMPLEX, "FONT_HERSHEY_SIMPLEX") \
  X(FRAME_SINK, "FRAME_SINK") \
  X(fromarray, "fromarray") \
  X(frombuffer, "frombuffer") \
  X(fromhex, "fromhex") \
  X(fstat, "fstat") \
  X(full, "full") \
  X(get, "get") \
  X(get_img, "get_img") \
  X(get_init, "get_init") \
  X(get_length, "get_length") \
  X(get_num_channels, "get_num_channels") \
  X(get_raw, "get_raw") \
  X(get_snd, "get_snd") \
  X(get_volume, "get_volume") \
  X(get_window_size, "get_window_size") \
  X(getbbox, "getbbox") \
  X(getlength, "getlength") \
  X(getsize, "getsize") \
  X(getPerspectiveTransform, "getPerspectiveTransform") \
  X(getWindowImageRect, "getWindowImageRect") \
  X(getWindowProperty, "getWindowProperty") \
  X(GLOBAL_VOLUME, "GLOBAL_VOLUME") \
  X(held, "held") \
  X(hex, "hex") \
  X(Image, "Image") \
  X(ImageDraw, "ImageDraw") \
  X(ImageFont, "ImageFont") \
  X(images, "images") \
  X(imread, "imread") \
  X(IMREAD_UNCHANGED, "IMREAD_UNCHANGED") \
  X(imshow, "imshow") \
  X(init, "init") \
  X(insert, "insert") \
  X(islink, "islink") \
  X(isdir, "isdir") \
  X(INTER_LINEAR, "INTER_LINEAR") \
  X(isOpened, "isOpened") \
  X(join, "join") \
  X(register_at_fork, "register_at_fork") \
  X(k_register, "register") \
  X(quit, "quit") \
  X(get_busy, "get_busy") \
  X(is_alive, "is_alive") \
  X(k_char, "char") \
  X(k_new, "new") \
  X(Key, "Key") \
  X(keyboard, "keyboard") \
  X(KEYS, "KEYS") \
  X(line, "line") \
  X(LINE_4, "LINE_4") \
  X(LINE_AA, "LINE_AA") \
  X(lineType, "lineType") \
  X(Listener, "Listener") \
  X(listeners_started, "listeners_started") \
  X(load_default, "load_default") \
  X(load_font, "load_font") \
  X(lower, "lower") \
  X(lexists, "lexists") \
  X(m, "m") \
  X(makedirs, "makedirs") \
  X(mixer, "mixer") \
  X(mouse, "mouse") \
  X(MOUSE_SCR_POS, "MOUSE_SCR_POS") \
  X(MOUSE_STATE, "MOUSE_STATE") \
  X(name, "name") \
  X(namedWindow, "namedWindow") \
  X(np, "np") \
  X(open, "open") \
  X(os, "os") \
  X(p, "p") \
  X(path, "path") \
  X(play, "play") \
  X(poly, "poly") \
  X(polylines, "polylines") \
  X(pop, "pop") \
  X(popleft, "popleft") \
  X(pos, "pos") \
  X(press, "press") \
  X(PRESS_QUEUE, "PRESS_QUEUE") \
  X(print, "print") \
  X(putText, "putText") \
  X(pygame, "pygame") \
  X(Quantize, "Quantize") \
  X(quantize, "quantize") \
  X(r, "r") \
  X(RANSAC, "RANSAC") \
  X(rb, "rb") \
  X(read, "read") \
  X(rectangle, "rectangle") \
  X(release, "release") \
  X(realpath, "realpath") \
  X(relpath, "relpath") \
  X(remove, "remove") \
  X(replace, "replace") \
  X(reshape, "reshape") \
  X(resizeWindow, "resizeWindow") \
  X(RGBA, "RGBA") \
  X(RUN, "RUN") \
  X(run, "run") \
  X(s_2f, ".2f") \
  X(s_4, "4") \
  X(s_Arg, ":Arg '") \
  X(s_Asset_Error_loading_image, "Asset Error loading image '") \
  X(s_Asset_Error_loading_sound, "Asset Error loading sound '") \
  X(s_Blocking, "\n[Blocking]") \
  X(s_c_py, "_c.py") \
  X(s_call_ellipsis, "(...)") \
  X(s_close_paren, ")") \
  X(s_Cmd, ":Cmd '") \
  X(s_colon, ":") \
  X(s_comma, ",") \
  X(s_comma_space, ", ") \
  X(s_dot, ".") \
  X(s_Error, "Error @ ") \
  X(s_Error_Cached_image, "Error:Cached image '") \
  X(s_Error_Cached_sound, "Error:Cached sound '") \
  X(s_Error_in_tick_function, "Error in tick function:") \
  X(s_Error_playing_sound, " Error playing sound:") \
  X(s_Error_reading_TVF, "Error reading TVF '") \
  X(s_Execution_Error, "Execution Error @ ") \
  X(s_failed, "' failed:") \
  X(s_File_not_found, "File not found:") \
  X(s_Font_Error_Could_not_load_font, "Font Error: Could not load font '") \
  X(s_for, "' for '") \
  X(s_FPS, " | FPS:") \
  X(s_in, " in ") \
  X(s_Kelvra_py, "Kelvra.py") \
  X(s_link_outside_project, "a link to a file outside the project folder") \
  X(s_Non_Blocking_Function_returned_immediate, "[Non - Blocking] Function returned immediately.") \
  X(s_Non_Blocking_Starting_thread_to_play, "\n[Non - Blocking] Starting thread to play '") \
  X(s_Non_Blocking_Thread, "[Non - Blocking Thread]") \
  X(s_not_a_regular_file, "not a regular file") \
  X(s_Not_a_regular_file, "Not a regular file:") \
  X(s_not_found, "' not found.") \
  X(s_Playback_finished, " Playback finished.") \
  X(s_Playing, " Playing '") \
  X(s_py, ".py") \
  X(s_quote_colon, "':") \
  X(s_quote_ellipsis, "'...") \
  X(s_quote_space, "' ") \
  X(s_Resizing_canvas_to, "Resizing canvas to (") \
  X(s_seconds, " seconds...") \
  X(s_starting_at, "' starting at ") \
  X(s_tvf, ".tvf") \
  X(s_Using_default, "'. Using default.") \
  X(s_utf_8, "utf-8") \
  X(s_utf_8_spaced, "utf - 8") \
  X(s_Volume_monitor_thread_started, "Volume monitor thread started.") \
  X(s_Warning_Could_not_read_file, "Warning:Could not read file ") \
  X(s_Warning_failed_to_start_input_listeners, "Warning: failed to start input listeners: ") \
  X(save, "save") \
  X(scroll, "scroll") \
  X(serve_from_environment, "serve_from_environment") \
  X(set_homography_core, "set_homography_core") \
  X(set_volume, "set_volume") \
  X(setWindowTitle, "setWindowTitle") \
  X(shape, "shape") \
  X(sleep, "sleep") \
  X(Sound, "Sound") \
  X(sounds, "sounds") \
  X(split, "split") \
  X(splitext, "splitext") \
  X(st, "st") \
  X(st_dev, "st_dev") \
  X(st_ino, "st_ino") \
  X(st_mode, "st_mode") \
  X(st_mtime_ns, "st_mtime_ns") \
  X(st_size, "st_size") \
  X(start, "start") \
  X(startswith, "startswith") \
  X(stat, "stat") \
  X(ttb, "ttb") \
  X(STATE_KEYS, "STATE_KEYS") \
  X(stderr, "stderr") \
  X(strip, "strip") \
  X(str_to_array, "str_to_array") \
  X(sys, "sys") \
  X(text, "text") \
  X(text_size, "text_size") \
  X(Thread, "Thread") \
  X(threading, "threading") \
  X(tick_errors, "tick_errors") \
  X(time, "time") \
  X(tobytes, "tobytes") \
  X(truetype, "truetype") \
  X(TS_STACK, "TS_STACK") \
  X(uint8, "uint8") \
  X(unknown, "unknown") \
  X(update, "update") \
  X(upper, "upper") \
  X(urandom, "urandom") \
  X(v, "v") \
  X(w, "w") \
  X(waitKey, "waitKey") \
  X(walk, "walk") \
  X(warpPerspective, "warpPerspective") \
  X(WINDOW_KEEPRATIO, "WINDOW_KEEPRATIO") \
  X(WINDOW_NORMAL, "WINDOW_NORMAL") \
  X(WND_PROP_VISIBLE, "WND_PROP_VISIBLE") \
  X(world_pos, "world_pos") \
  X(write, "write")

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
  KV_RECORD_KEYS(KV_NAMES_FIELD)
  KV_IDS(KV_NAMES_FIELD)
};
struct KwNames {
  KV_KWNAMES(KV_NAMES_FIELD)
};
struct Constants {
  KV_CONSTANTS(KV_NAMES_FIELD)
};
#undef KV_NAMES_FIELD

// The interned names, keyword-name tuples and constants: made once at
// start-up, fixed from then on. Borrowed, valid for the life of the process
// once init_names() succeeded.
struct NameState {
  Ids id;
  KwNames kw;
  Constants constants;
};
extern NameState g_names;

// Makes every entry of the lists; -1 with an exception set on failure.
int init_names();

}  // namespace kv

#define KV_ID(field) (::kv::g_names.id.field)
// KV_KW(target_daemon) is the tuple ("target", "daemon"); KV_CONST(half) is 0.5.
#define KV_KW(field) (::kv::g_names.kw.field)
#define KV_CONST(field) (::kv::g_names.constants.field)
