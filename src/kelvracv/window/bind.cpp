// The Python-visible functions of the window, frame loop and input, as one
// table. Start-up binds them in the module's fixed order.

#include "core/bindings.hpp"
#include "pyapi/namespace.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

const FuncSpec kFunctions[] = {
    {"on_press", on_press, {{"key"}}},
    {"on_release", on_release, {{"key"}}},
    {"simulate_key_press", simulate_key_press, {{"key"}},
     "\n    Simulates a key being pressed by adding it to the global KEYS dictionary.\n"
     "    The key string must be the normalized form (e.g., 'a', 'Key.space').\n    ",
     false, {{"key", "str"}}},
    {"on_click", on_click, {{"x"}, {"y"}, {"button"}, {"pressed"}}, nullptr, true},
    {"on_scroll", on_scroll, {{"x"}, {"y"}, {"dx"}, {"dy"}}, nullptr, true},
    {"on_move", on_move, {{"x"}, {"y"}}, nullptr, true},
    {"_key_event", key_event, {{"name"}, {"pressed"}}},
    {"get_input", get_input, {{"method"}, opt("key", Default::none()), opt("ts", Default::none())}},
    {"get_window_size", get_window_size, {{"window_name"}}, nullptr, false,
     {{"window_name", "str"}, {"return", "Tuple[int, int]"}}},
    {"_get_win_props", get_win_props, {{"wi"}}, nullptr, true},
    {"convert_win_info", convert_win_info, {{"wi"}}, nullptr, true},
    {"init", init, {{"window_info"}, {"bg_color"}}},
    {"run", run,
     {{"tick_function"}, {"window_info"}, {"bg_color"}, opt("target_fps", Default::integer(60)),
      opt("dynamic_resize", Default::boolean(false))}},
};

}  // namespace
}  // namespace kv::window

namespace kv {
FuncTable window_functions() { return {window::kFunctions, std::size(window::kFunctions)}; }
}  // namespace kv
