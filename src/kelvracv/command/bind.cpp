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

PyObject* py_array_to_str(PyObject* const* a) { return cmd::array_to_str(a[0]); }

PyObject* py_str_to_array(PyObject* const* a) { return cmd::str_to_array(a[0]); }

PyObject* py_draw_command_convert(PyObject* const* a) {
  if (!arg_str(a[2], "cmd_str")) return nullptr;
  return cmd::convert(a[2], cmd::Origin{a[3]});
}

PyObject* py_draw_command(PyObject* const* a) {
  if (!arg_str(a[2], "cmd_str")) return nullptr;
  return cmd::execute(a[0], a[1], a[2], cmd::Origin{a[3]});
}

PyObject* py_draw_tvf(PyObject* const* a) {
  if (!arg_str(a[2], "file_name")) return nullptr;
  return cmd::draw_tvf(a[0], a[1], a[2]);
}

const FuncSpec kFunctions[] = {
    {"array_to_str", py_array_to_str, {{"arr"}}, nullptr, true},
    {"str_to_array", py_str_to_array, {{"s"}}, nullptr, true},
    {"draw_command_convert",
     py_draw_command_convert,
     {{"arr"}, {"ts"}, {"cmd_str"}, {"info"}},
     nullptr,
     false,
     {{"cmd_str", "str"}, {"info", "str | int"}}},
    {"draw_command",
     py_draw_command,
     {{"arr"}, {"ts"}, {"cmd_str"}, opt("info", Default::str("Direct Call"))},
     nullptr,
     false,
     {{"cmd_str", "str"}, {"info", "str | int"}}},
    {"draw_tvf", py_draw_tvf, {{"arr"}, {"ts"}, {"file_name"}}, nullptr, false, {{"file_name", "str"}}},
};

}  // namespace

bool cmd::is_own(PyObject* f, const char* name) {
  const FuncSpec* s = function_spec(f);
  return s && s >= std::begin(kFunctions) && s < std::end(kFunctions) && std::strcmp(s->name, name) == 0;
}

}  // namespace kv

namespace kv {
FuncTable command_functions() { return {kFunctions, std::size(kFunctions)}; }
}  // namespace kv
