// The Python-visible functions of the window, frame loop and input, as one
// table. Start-up binds them in the module's fixed order.

#include "core/bindings.hpp"
#include "pyapi/namespace.hpp"
#include "window/window.hpp"

namespace kv::window {
namespace {

const FuncDecl kFunctions[] = {
    def<on_press>("on_press", "key"),
    def<on_release>("on_release", "key"),
    def<simulate_key_press>("simulate_key_press", "key"_a.str().ann("str"))
        .doc("\n    Simulates a key being pressed by adding it to the global KEYS dictionary.\n"
             "    The key string must be the normalized form (e.g., 'a', 'Key.space').\n    "),
    def<on_click>("on_click", "x", "y", "button", "pressed").lambda(),
    def<on_scroll>("on_scroll", "x", "y", "dx", "dy").lambda(),
    def<on_move>("on_move", "x", "y").lambda(),
    def<key_event>("_key_event", "name", "pressed"),
    def<get_input>("get_input", "method", "key"_a = nullptr, "ts"_a = nullptr),
    def<get_window_size>("get_window_size", "window_name"_a.str().ann("str")).returns("Tuple[int, int]"),
    def<get_win_props>("_get_win_props", "wi").lambda(),
    def<convert_win_info>("convert_win_info", "wi").lambda(),
    def<init>("init", "window_info", "bg_color"),
    def<run>("run", "tick_function", "window_info", "bg_color", "target_fps"_a = 60, "dynamic_resize"_a = false),
};

}  // namespace
}  // namespace kv::window

namespace kv {
FuncTable window_functions() { return {window::kFunctions, std::size(window::kFunctions)}; }
}  // namespace kv
