// Python-visible functions of the draw-command language: declared-type
// checks, then the internal forms of command.hpp. Start-up binds them at
// their places in the module's order.

#include <cstring>
#include <iterator>

#include "command/command.hpp"
#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

// The call's own origin for the messages: its `info` argument.
PyObject* draw_command_convert(PyObject*, PyObject*, PyObject* cmd_str, PyObject* info) {
  return cmd::convert(cmd_str, cmd::Origin{info});
}

PyObject* draw_command(PyObject* arr, PyObject* ts, PyObject* cmd_str, PyObject* info) {
  return cmd::execute(arr, ts, cmd_str, cmd::Origin{info});
}

constexpr auto kCmdStr = "cmd_str"_a.str().ann("str");

const FuncDecl kFunctions[] = {
    def<cmd::array_to_str>("array_to_str", "arr").lambda(),
    def<cmd::str_to_array>("str_to_array", "s").lambda(),
    def<draw_command_convert>("draw_command_convert", "arr", "ts", kCmdStr, "info"_a.ann("str | int")),
    def<draw_command>("draw_command", "arr", "ts", kCmdStr, "info"_a.ann("str | int") = "Direct Call"),
    def<cmd::draw_tvf>("draw_tvf", "arr", "ts", "file_name"_a.str().ann("str")),
};

}  // namespace

bool cmd::is_own(PyObject* f, const char* name) {
  const FuncDecl* s = function_decl(f);
  return s && s >= std::begin(kFunctions) && s < std::end(kFunctions) && std::strcmp(s->name, name) == 0;
}

}  // namespace kv

namespace kv {
FuncTable command_functions() { return {kFunctions, std::size(kFunctions)}; }
}  // namespace kv
