// Python-visible blit and blit_cached: declared-type checks, then the
// internal routine (blit) or the asset lookup and the late-bound blit.

#include "core/bindings.hpp"
#include "image/blit.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

bool check_common(PyObject* const* a) {
  return arg_ndarray(a[0], "arr", false) && arg_dict(a[1], "ts", false);
}

PyObject* py_blit(PyObject* const* a) {
  if (!check_common(a) || !arg_ndarray(a[2], "src_img", false) || !arg_tuple(a[3], "scale_factor", false))
    return nullptr;
  if (!image::blit(a[0], a[1], a[2], a[3])) return nullptr;
  Py_RETURN_NONE;
}

PyObject* py_blit_cached(PyObject* const* a) {
  if (!check_common(a) || !arg_str(a[2], "asset_name") || !arg_tuple(a[3], "scale_factor", false)) return nullptr;
  Ref assets = global(KV_ID(ASSETS));
  if (!assets) return nullptr;
  Ref img = Ref::steal(PyObject_CallMethodOneArg(assets.get(), KV_ID(get_img), a[2]));
  if (!img) return nullptr;
  if (img.get() == Py_None) {
    if (print_concat({KV_ID(s_Error_Cached_image), a[2], KV_ID(s_not_found)}) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  Ref r = call_global(KV_ID(blit), {a[0], a[1], img.get(), a[3]});
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

const FuncSpec kFunctions[] = {
    {"blit", py_blit, {{"arr"}, {"ts"}, {"src_img"}, {"scale_factor"}},
     "\n    Draws an image (src_img) at cursor_pos, applying current transformations (rot, size, shift).\n"
     "    The image covers (width * sx, height * sy) world units from the cursor; four-channel images\n"
     "    blend by their alpha channel, other images copy their non-zero values.\n    "},
    {"blit_cached", py_blit_cached, {{"arr"}, {"ts"}, {"asset_name"}, {"scale_factor"}},
     "\n    Same as blit, but loads the image from the ASSETS manager.\n    "},
};

}  // namespace

FuncTable image_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
