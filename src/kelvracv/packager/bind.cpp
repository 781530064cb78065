// The Python-visible function of the project packager, as a one-entry
// table. Start-up binds it in the module's fixed order.

#include "core/bindings.hpp"
#include "packager/packager.hpp"
#include "pyapi/namespace.hpp"

namespace kv::packager {
namespace {

PyObject* py_compile_project(PyObject* const* a) { return compile_project(a[0]); }

const FuncSpec kFunctions[] = {
    {"compile_project", py_compile_project, {{"main_file_path"}}},
};

}  // namespace
}  // namespace kv::packager

namespace kv {
FuncTable packager_functions() { return {packager::kFunctions, std::size(packager::kFunctions)}; }
}  // namespace kv
