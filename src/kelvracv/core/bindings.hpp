// Every folder's table of Python-visible functions and its start-up steps,
// declared in one place. core/module.cpp binds the tables' functions in the
// module's fixed order and runs the steps at their place in the start-up.
// Called once, on the importing thread, with the interpreter lock held.
#pragma once

#include "pyapi/function.hpp"

namespace kv {

// ---- function tables -----------------------------------------------------------

FuncTable color_functions();     // core/bind.cpp: _color_bgr
FuncTable geometry_functions();  // geometry/bind.cpp: pipeline, record editors, modes
FuncTable window_functions();    // window/bind.cpp: window, frame loop, input
FuncTable draw_functions();      // draw/bind.cpp: the drawing primitives
FuncTable image_functions();     // image/bind.cpp: blit and blit_cached
FuncTable text_functions();      // text/bind.cpp: fonts and text
FuncTable command_functions();   // command/bind.cpp: commands and TVF scripts
FuncTable sound_functions();     // sound/bind.cpp: playback and the monitor's loop
FuncTable packager_functions();  // packager/bind.cpp: compile_project

// ---- start-up steps (0, or -1 with an exception set) ----------------------------

int command_startup();                         // command/command.cpp: the command names
int asset_manager_startup(PyObject* module);   // image/assets.cpp: AssetManager and ASSETS
int volume_monitor_startup(PyObject* module);  // sound/monitor.cpp: the monitor thread and its line
int native_drawing_startup(PyObject* module);  // draw/native.cpp: OpenCV's drawing functions, after the profile
int text_startup(PyObject* module);            // text/pillow.cpp: Pillow's own text functions, after its import
int input_startup(PyObject* module, bool headless);  // window/settings.cpp: pynput's keyboard and mouse, or None

// The description the tables hold under `name` (nullptr when none), to recognise the
// module's own function behind a module name (function_decl of the object).
const FuncDecl* find_decl(const char* name);

}  // namespace kv
