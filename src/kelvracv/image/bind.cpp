// The declarations of blit and blit_cached (canvas, record and scale checked,
// None refused), then the internal routine (blit) or the asset lookup and the
// late-bound blit.

#include "core/bindings.hpp"
#include "image/blit.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

// ASSETS.get_img(asset_name), then the module's `blit` (late bound).
PyObject* blit_cached(PyObject* arr, PyObject* ts, PyObject* asset_name, PyObject* scale_factor) {
  Ref assets = global(KV_ID(ASSETS));
  if (!assets) return nullptr;
  Ref img = Ref::steal(PyObject_CallMethodOneArg(assets.get(), KV_ID(get_img), asset_name));
  if (!img) return nullptr;
  if (img.get() == Py_None) {
    if (print_concat({KV_ID(s_Error_Cached_image), asset_name, KV_ID(s_not_found)}) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  Ref r = call_global(KV_ID(blit), {arr, ts, img.get(), scale_factor});
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

constexpr auto kArr = "arr"_a.ndarray().not_none();
constexpr auto kTs = "ts"_a.dict().not_none();
constexpr auto kScale = "scale_factor"_a.tuple().not_none();

const FuncDecl kFunctions[] = {
    def<image::blit>("blit", kArr, kTs, "src_img"_a.ndarray().not_none(), kScale)
        .doc("\n    Draws an image (src_img) at cursor_pos, applying current transformations (rot, size, shift).\n"
             "    The image covers (width * sx, height * sy) world units from the cursor; four-channel images\n"
             "    blend by their alpha channel, other images copy their non-zero values.\n    "),
    def<blit_cached>("blit_cached", kArr, kTs, "asset_name"_a.str(), kScale)
        .doc("\n    Same as blit, but loads the image from the ASSETS manager.\n    "),
};

}  // namespace

FuncTable image_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
