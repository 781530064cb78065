// The Python-visible functions of the core folder as one table: the colour
// conversion (the module's start-up itself lives in module.cpp).

#include "core/bindings.hpp"
#include "core/colors.hpp"
#include "pyapi/convert.hpp"

namespace kv {
namespace {

PyObject* py_color_bgr(PyObject* const* args) {
  if (!arg_tuple(args[0], "color")) return nullptr;
  return color_bgr(args[0]);
}

const FuncSpec kFunctions[] = {
    {"_color_bgr", py_color_bgr, {{"color"}}},
};

}  // namespace

FuncTable color_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
