// The Python-visible functions of the core folder as one table: the colour
// conversion (the module's start-up itself lives in module.cpp).

#include "core/bindings.hpp"
#include "core/colors.hpp"
#include "pyapi/convert.hpp"

namespace kv {
namespace {

const FuncDecl kFunctions[] = {
    def<color_bgr>("_color_bgr", "color"_a.tuple()),
};

}  // namespace

FuncTable color_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
