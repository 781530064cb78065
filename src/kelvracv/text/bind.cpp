// Python-visible text functions: declared-type checks in parameter order,
// then the internal forms.

#include "core/bindings.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "text/text.hpp"

namespace kv {
namespace {

// ---- wrappers --------------------------------------------------------------------

// The size as the int it was converted to.
PyObject* load_font(PyObject* font_path_or_name, int size) {
  Ref size_obj = Ref::steal(PyLong_FromLong(size));
  if (!size_obj) return nullptr;
  return text::load_font(font_path_or_name, size_obj.get());
}

// The point as float(p_scr[0]), float(p_scr[1]); `color` is checked, not used.
bool text_cv2(PyObject* arr, PyObject* ts, PyObject* p_scr, PyObject* content, PyObject*, double scale,
              int thickness, PyObject* bgr_color, PyObject* aa) {
  double x, y;
  Ref px = Ref::steal(item(p_scr, 0));
  if (!px || !py_float(px.get(), &x)) return false;
  Ref py = Ref::steal(item(p_scr, 1));
  if (!py || !py_float(py.get(), &y)) return false;
  return text::text_cv2(arr, ts, x, y, content, scale, thickness, bgr_color, aa);
}

// ---- registration ------------------------------------------------------------------

const FuncDecl kFunctions[] = {
    def<load_font>("load_font", "font_path_or_name"_a.str().ann("str"), "size"_a.ann("int"))
        .doc("Loads a font from a file path or tries a system font name, using a cache."),
    def<text::text_size>("text_size", "text_content"_a.str().ann("str"), "font_info"_a.str().ann("str"),
                         "size"_a.ann("float"))
        .doc("\n    Calculates the width and height of the text block for a given font and size.\n"
             "    Returns (width, height) in pixels.\n    "),
    def<text_cv2>("_text_cv2", "arr"_a.ndarray(), "ts"_a.dict(), "p_scr"_a.tuple(), "content"_a.str(),
                  "color"_a.tuple().not_none(), "scale", "thickness", "bgr_color"_a.tuple().not_none(),
                  "aa"_a = false),
    def<text::text>("text", "arr"_a.ndarray().not_none(), "ts"_a.dict().not_none(), "content"_a.str(),
                    "font_info"_a.str(), "size", "color"_a.tuple().not_none(), "thickness"_a = 1, "aa"_a = true)
        .doc("\n    Renders text at cursor_pos using a specified font. \n"
             "    If font_info is 'CV2', it uses OpenCV's default font.\n"
             "    Otherwise, it uses Pillow (PIL) for custom font rendering and blits the result.\n"
             "    The size is scaled by ts['size'].\n    "),
};

}  // namespace

FuncTable text_functions() { return {kFunctions, std::size(kFunctions)}; }

}  // namespace kv
