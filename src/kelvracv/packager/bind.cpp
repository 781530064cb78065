// The Python-visible function of the project packager, as a one-entry
// table. Start-up binds it in the module's fixed order.

#include "core/bindings.hpp"
#include "packager/packager.hpp"
#include "pyapi/namespace.hpp"

namespace kv::packager {
namespace {

const FuncDecl kFunctions[] = {
    def<compile_project>("compile_project", "main_file_path"),
};

}  // namespace
}  // namespace kv::packager

namespace kv {
FuncTable packager_functions() { return {packager::kFunctions, std::size(packager::kFunctions)}; }
}  // namespace kv
