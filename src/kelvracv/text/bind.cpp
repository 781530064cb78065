// Python-visible text functions: declared-type checks in parameter order,
// then the internal forms.

#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "text/text.hpp"

namespace kv {
namespace {

PyObject* py_load_font(PyObject* const* a) {
  int size;
  if (!arg_str(a[0], "font_path_or_name") || !to_int32(a[1], &size)) return nullptr;
  Ref size_obj = Ref::steal(PyLong_FromLong(size));
  if (!size_obj) return nullptr;
  return text::load_font(a[0], size_obj.get());
}

PyObject* py_text_size(PyObject* const* a) {
  double size;
  if (!arg_str(a[0], "text_content") || !arg_str(a[1], "font_info") || !to_double(a[2], &size)) return nullptr;
  return text::text_size(a[0], a[1], size);
}

PyObject* py_text_cv2(PyObject* const* a) {
  double scale;
  int thickness;
  if (!arg_ndarray(a[0], "arr") || !arg_dict(a[1], "ts") || !arg_tuple(a[2], "p_scr") ||
      !arg_str(a[3], "content") || !arg_tuple(a[4], "color", false) || !to_double(a[5], &scale) ||
      !to_int32(a[6], &thickness) || !arg_tuple(a[7], "bgr_color", false))
    return nullptr;
  double x, y;
  Ref px = Ref::steal(item(a[2], 0));
  if (!px || !py_float(px.get(), &x)) return nullptr;
  Ref py = Ref::steal(item(a[2], 1));
  if (!py || !py_float(py.get(), &y)) return nullptr;
  if (!text::text_cv2(a[0], a[1], x, y, a[3], scale, thickness, a[7], a[8])) return nullptr;
  Py_RETURN_NONE;
}

PyObject* py_text(PyObject* const* a) {
  double size;
  int thickness;
  if (!arg_ndarray(a[0], "arr", false) || !arg_dict(a[1], "ts", false) || !arg_str(a[2], "content") ||
      !arg_str(a[3], "font_info") || !to_double(a[4], &size) || !arg_tuple(a[5], "color", false) ||
      !to_int32(a[6], &thickness))
    return nullptr;
  if (!text::text(a[0], a[1], a[2], a[3], size, a[5], thickness, a[7])) return nullptr;
  Py_RETURN_NONE;
}

const FuncSpec kFunctions[] = {
    {"load_font", py_load_font, {{"font_path_or_name"}, {"size"}},
     "Loads a font from a file path or tries a system font name, using a cache.", false,
     {{"font_path_or_name", "str"}, {"size", "int"}}},
    {"text_size", py_text_size, {{"text_content"}, {"font_info"}, {"size"}},
     "\n    Calculates the width and height of the text block for a given font and size.\n"
     "    Returns (width, height) in pixels.\n    ",
     false, {{"text_content", "str"}, {"font_info", "str"}, {"size", "float"}}},
    {"_text_cv2", py_text_cv2,
     {{"arr"}, {"ts"}, {"p_scr"}, {"content"}, {"color"}, {"scale"}, {"thickness"}, {"bgr_color"},
      opt("aa", Default::boolean(false))}},
    {"text", py_text,
     {{"arr"}, {"ts"}, {"content"}, {"font_info"}, {"size"}, {"color"}, opt("thickness", Default::integer(1)),
      opt("aa", Default::boolean(true))},
     "\n    Renders text at cursor_pos using a specified font. \n"
     "    If font_info is 'CV2', it uses OpenCV's default font.\n"
     "    Otherwise, it uses Pillow (PIL) for custom font rendering and blits the result.\n"
     "    The size is scaled by ts['size'].\n    "},
};

}  // namespace

FuncTable text_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
