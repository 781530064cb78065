// The colour table C and _color_bgr.

#include "core/colors.hpp"

#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"

namespace kv {
namespace {

struct Shade {
  const char* code;
  unsigned char r, g, b;
};

// Families of five: X, DX, DDX, LX, LLX. A code already present keeps its place.
const Shade kTable[][5] = {
    {{"W", 255, 255, 255}, {"DW", 200, 200, 200}, {"DDW", 140, 140, 140}, {"LW", 255, 255, 255}, {"LLW", 255, 255, 255}},
    {{"K", 0, 0, 0}, {"DK", 25, 25, 25}, {"DDK", 10, 10, 10}, {"LK", 50, 50, 50}, {"LLK", 90, 90, 90}},
    {{"G", 128, 128, 128}, {"DG", 90, 90, 90}, {"DDG", 50, 50, 50}, {"LG", 50, 205, 50}, {"LLG", 150, 255, 150}},
    {{"R", 255, 0, 0}, {"DR", 180, 0, 0}, {"DDR", 100, 0, 0}, {"LR", 255, 80, 80}, {"LLR", 255, 140, 140}},
    {{"M", 255, 0, 255}, {"DM", 190, 0, 190}, {"DDM", 110, 0, 110}, {"LM", 255, 160, 122}, {"LLM", 255, 190, 160}},
    {{"PU", 128, 0, 118}, {"DPU", 90, 0, 80}, {"DDPU", 50, 0, 40}, {"LPU", 170, 50, 160}, {"LLPU", 210, 110, 200}},
    {{"V", 148, 0, 211}, {"DV", 100, 0, 150}, {"DDV", 60, 0, 100}, {"LV", 180, 60, 230}, {"LLV", 210, 110, 250}},
    {{"O", 255, 165, 0}, {"DO", 200, 120, 0}, {"DDO", 140, 80, 0}, {"LO", 255, 190, 70}, {"LLO", 255, 220, 130}},
    {{"BR", 139, 69, 19}, {"DBR", 100, 50, 10}, {"DDBR", 60, 30, 5}, {"LBR", 170, 100, 40}, {"LLBR", 200, 140, 80}},
    {{"GO", 232, 200, 0}, {"DGO", 180, 150, 0}, {"DDGO", 120, 100, 0}, {"LGO", 255, 220, 70}, {"LLGO", 255, 240, 130}},
    {{"Y", 255, 255, 0}, {"DY", 200, 200, 0}, {"DDY", 140, 140, 0}, {"LY", 255, 255, 100}, {"LLY", 255, 255, 170}},
    {{"OL", 128, 128, 0}, {"DOL", 90, 90, 0}, {"DDOL", 60, 60, 0}, {"LOL", 170, 170, 50}, {"LLOL", 210, 210, 100}},
    {{"GR", 0, 255, 0}, {"DGR", 0, 180, 0}, {"DDGR", 0, 100, 0}, {"LGR", 80, 255, 80}, {"LLGR", 150, 255, 150}},
    {{"C", 0, 255, 255}, {"DC", 0, 180, 180}, {"DDC", 0, 100, 100}, {"LC", 80, 255, 255}, {"LLC", 150, 255, 255}},
    {{"T", 0, 128, 128}, {"DT", 0, 90, 90}, {"DDT", 0, 60, 60}, {"LT", 50, 170, 170}, {"LLT", 110, 210, 210}},
    {{"BL", 0, 0, 255}, {"DBL", 0, 0, 180}, {"DDBL", 0, 0, 100}, {"LBL", 70, 70, 255}, {"LLBL", 140, 140, 255}},
    {{"N", 16, 0, 128}, {"DN", 12, 0, 90}, {"DDN", 8, 0, 50}, {"LN", 60, 40, 170}, {"LLN", 110, 90, 220}},
    {{"P", 255, 182, 193}, {"DP", 200, 130, 150}, {"DDP", 140, 80, 100}, {"LP", 255, 200, 210}, {"LLP", 255, 225, 235}},
    {{"S", 192, 192, 192}, {"DS", 150, 150, 150}, {"DDS", 100, 100, 100}, {"LS", 220, 220, 220}, {"LLS", 240, 240, 240}},
    {{"CO", 184, 115, 51}, {"DCO", 140, 90, 40}, {"DDCO", 90, 60, 20}, {"LCO", 210, 150, 80}, {"LLCO", 240, 190, 130}},
    {{"SI", 192, 192, 192}, {"DSI", 150, 150, 150}, {"DDSI", 100, 100, 100}, {"LSI", 220, 220, 220}, {"LLSI", 240, 240, 240}},
    {{"TU", 64, 224, 208}, {"DTU", 50, 170, 160}, {"DDTU", 30, 110, 100}, {"LTU", 110, 250, 230}, {"LLTU", 160, 255, 245}},
    {{"LG", 50, 205, 50}, {"DLG", 40, 150, 40}, {"DDLG", 25, 100, 25}, {"LLG", 150, 255, 150}, {"LLLG", 200, 255, 200}},
    {{"AQ", 127, 255, 212}, {"DAQ", 90, 200, 160}, {"DDAQ", 60, 130, 100}, {"LAQ", 160, 255, 230}, {"LLAQ", 200, 255, 245}},
    {{"CR", 220, 20, 60}, {"DCR", 160, 10, 40}, {"DDCR", 100, 5, 25}, {"LCR", 250, 100, 120}, {"LLCR", 255, 160, 180}},
    {{"SA", 250, 128, 114}, {"DSA", 200, 90, 80}, {"DDSA", 140, 60, 50}, {"LSA", 255, 170, 150}, {"LLSA", 255, 210, 190}},
    {{"LM", 255, 160, 122}, {"DLM", 200, 120, 90}, {"DDLM", 130, 70, 50}, {"LLM", 255, 190, 160}, {"LLLM", 255, 220, 190}},
    {{"PE", 255, 218, 185}, {"DPE", 210, 180, 150}, {"DDPE", 150, 120, 90}, {"LPE", 255, 230, 200}, {"LLPE", 255, 245, 225}},
    {{"SAF", 46, 139, 87}, {"DSAF", 35, 100, 65}, {"DDSAF", 20, 60, 40}, {"LSAF", 80, 180, 120}, {"LLSAF", 120, 220, 160}},
    {{"SK", 135, 206, 235}, {"DSK", 90, 150, 180}, {"DDSK", 60, 100, 120}, {"LSK", 170, 230, 250}, {"LLSK", 200, 240, 255}},
    {{"SB", 70, 130, 180}, {"DSB", 50, 100, 140}, {"DDSB", 30, 70, 90}, {"LSB", 120, 180, 230}, {"LLSB", 160, 210, 250}},
    {{"IN", 75, 0, 130}, {"DIN", 55, 0, 90}, {"DDIN", 35, 0, 55}, {"LIN", 110, 40, 160}, {"LLIN", 150, 90, 200}},
    {{"PL", 221, 160, 221}, {"DPL", 180, 120, 180}, {"DDPL", 130, 80, 130}, {"LPL", 240, 180, 240}, {"LLPL", 255, 210, 255}},
};

}  // namespace

PyObject* make_color_table() {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (const auto& row : kTable) {
    for (const Shade& s : row) {
      Ref v = Ref::steal(Py_BuildValue("(iii)", s.r, s.g, s.b));
      if (!v || PyDict_SetItemString(table.get(), s.code, v.get()) < 0) return nullptr;
    }
  }
  return table.release();
}

PyObject* color_bgr(PyObject* color) {
  if (color == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
  }
  if (PyTuple_GET_SIZE(color) < 3) {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
  }
  return PyTuple_Pack(3, PyTuple_GET_ITEM(color, 2), PyTuple_GET_ITEM(color, 1), PyTuple_GET_ITEM(color, 0));
}

PyObject* color_bgr_checked(PyObject* color) {
  if (!body_tuple(color)) return nullptr;
  return color_bgr(color);
}

}  // namespace kv
