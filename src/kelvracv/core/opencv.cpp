// The OpenCV profile (see opencv.hpp) and the module's __opencv_profile__(),
// which `python -m kelvracv info` and the tests read.

#include "core/opencv.hpp"

#include <cstdlib>
#include <string>

#include "core/cpu.hpp"
#include "core/switches.hpp"
#include "pyapi/namespace.hpp"

namespace kv::opencv {
namespace {

// ---- the table ---------------------------------------------------------------
// Each capability and the OpenCV releases (cv2.__version__) whose arithmetic
// it reproduces, checked by the differential tests run against each release
// (`make verify-opencv`). A release listed under `off` is known to differ,
// for the reason given; any other release is simply not verified.

struct Off {
  const char* version;
  const char* why;
};

struct Entry {
  const char* name;  // as `kelvracv info` prints it
  const char* verified[8];
  Off off[2];
};

const Entry kTable[kCapabilityCount] = {
    // The rasteriser follows imgproc/src/drawing.cpp, with the changes of
    // kDrawingOf4_13. 4.10 fills polygons that reach past the canvas, and
    // some small ones, with other pixels (found by the differential tests).
    {"native drawing",
     {"4.11.0", "4.12.0", "4.13.0", "4.14.0", "5.0.0", "5.1.0"},
     {{"4.10.0", "OpenCV 4.10.0 fills polygons differently"}}},
    // warpPerspective's bilinear warp: OpenCV 4's fixed-point remap tables,
    // OpenCV 5's float kernels (see kFixedPointWarp).
    {"native warp", {"4.10.0", "4.11.0", "4.12.0", "4.13.0", "4.14.0", "5.0.0", "5.1.0"}, {}},
    // getPerspectiveTransform's LU solve (core's hal LU, unchanged).
    {"perspective solver", {"4.10.0", "4.11.0", "4.12.0", "4.13.0", "4.14.0", "5.0.0", "5.1.0"}, {}},
    // Any bilinear warp puts a whole-pixel move's pixels on source pixels.
    {"whole-pixel copy", {"4.10.0", "4.11.0", "4.12.0", "4.13.0", "4.14.0", "5.0.0", "5.1.0"}, {}},
};

// The releases whose warpPerspective maps through fixed-point remap tables
// (the same integer arithmetic on every processor path); the others run
// float kernels whose AVX2 dispatch with FMA3 the native warp reproduces.
const char* const kFixedPointWarp[] = {"4.10.0", "4.11.0", "4.12.0", "4.13.0", "4.14.0"};

// The releases that draw as 4.13 does (see draw/raster.hpp's ReleaseBehaviour).
const char* const kDrawingOf4_13[] = {"4.13.0", "4.14.0", "5.0.0", "5.1.0"};

constexpr long kCpuAvx2 = 11, kCpuFma3 = 12;  // cv::CV_CPU_AVX2, cv::CV_CPU_FMA3

const char* const kFunctionNames[kFunctionCount] = {"line",    "rectangle",       "polylines",
                                                     "fillPoly", "ellipse",        "warpPerspective",
                                                     "getPerspectiveTransform"};

// ---- the profile ---------------------------------------------------------------

// What start-up found of OpenCV, fixed from then on: its module, its own
// functions (strong references for the life of the process), its release and
// the capabilities it allows.
struct OpenCvState {
  PyObject* cv2 = nullptr;
  std::string version;   // cv2.__version__
  std::string dispatch;  // cv2.getCPUFeaturesLine()
  std::string ipp;       // Intel IPP as OpenCV reports it
  PyObject* fn[kFunctionCount] = {};
  PyObject* use_optimized = nullptr;  // cv2.useOptimized
  PyObject* use_ipp = nullptr;        // cv2.ipp.useIPP
  PyObject* set_use_ipp = nullptr;    // cv2.ipp.setUseIPP
  bool fixed_point = false;  // OpenCV 4's fixed-point warp
  bool warp_release = false;  // the warp's arithmetic is verified for this release
  const char* reason[kCapabilityCount] = {};
  std::string reason_text[kCapabilityCount];
};
OpenCvState g_opencv;

// A built-in function of OpenCV's under `name` (new reference), or nullptr.
PyObject* own_function(PyObject* owner, const char* name) {
  PyObject* f = owner ? PyObject_GetAttrString(owner, name) : nullptr;
  if (!f) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyCFunction_Check(f)) {
    Py_DECREF(f);
    return nullptr;
  }
  return f;
}

// str(f(*args)) of an OpenCV function, "" when it fails.
std::string text_of_call(PyObject* f, std::initializer_list<PyObject*> args) {
  std::string out;
  if (!f) return out;
  Ref r = call(f, args);
  if (r && PyUnicode_Check(r.get())) {
    const char* s = PyUnicode_AsUTF8(r.get());
    if (s) out = s;
  } else if (r) {
    Ref s = str_of(r.get());
    const char* c = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (c) out = c;
  }
  PyErr_Clear();
  return out;
}

// cv2.checkHardwareSupport(feature) is True.
bool hardware(PyObject* check, long feature) {
  if (!check) return false;
  Ref f = Ref::steal(PyLong_FromLong(feature));
  Ref r = f ? call(check, {f.get()}) : Ref();
  PyErr_Clear();
  return r && r.get() == Py_True;
}

void set_off(Capability c, std::string why) {
  if (g_opencv.reason[c]) return;  // the first reason found stands
  g_opencv.reason_text[c] = std::move(why);
  g_opencv.reason[c] = g_opencv.reason_text[c].c_str();
}

// The release check of one capability.
void check_release(Capability c) {
  const Entry& e = kTable[c];
  for (const char* v : e.verified)
    if (v && g_opencv.version == v) return;
  for (const Off& o : e.off)
    if (o.version && g_opencv.version == o.version) return set_off(c, o.why);
  set_off(c, "OpenCV " + g_opencv.version + " is not a verified release");
}

void need(Capability c, Function f) {
  if (!g_opencv.fn[f]) set_off(c, std::string("cv2.") + kFunctionNames[f] + " is not OpenCV's own function");
}

void decide(PyObject* check_hardware) {
  if (!g_opencv.cv2) {
    for (int c = 0; c < kCapabilityCount; c++) set_off(static_cast<Capability>(c), "cv2 is not a module");
    return;
  }
  if (g_opencv.version.empty())
    for (int c = 0; c < kCapabilityCount; c++) set_off(static_cast<Capability>(c), "cv2 has no __version__");
  for (int c = 0; c < kCapabilityCount; c++) check_release(static_cast<Capability>(c));
  for (Function f : {kLine, kRectangle, kPolylines, kFillPoly, kEllipse}) need(kNativeDrawing, f);
  need(kNativeWarp, kWarpPerspective);
  need(kWholePixelCopy, kWarpPerspective);
  need(kPerspectiveSolver, kGetPerspectiveTransform);
  // Before the processor's and the switches' reasons: those change which
  // kernels compute the warp, not the arithmetic it is checked against.
  g_opencv.warp_release = g_opencv.reason[kNativeWarp] == nullptr;
  for (const char* v : kFixedPointWarp) g_opencv.fixed_point = g_opencv.fixed_point || g_opencv.version == v;
  if (g_opencv.fixed_point) return;
  // The float kernels are OpenCV's AVX2 ones with fused multiply-add: OpenCV
  // must dispatch to them and the processor run ours.
  if (!g_opencv.use_optimized) set_off(kNativeWarp, "cv2.useOptimized is not OpenCV's own function");
  if (kv::no_avx2()) set_off(kNativeWarp, "KELVRACV_NO_AVX2 is set");
  if (!kv::cpu::avx2_fma()) set_off(kNativeWarp, "the processor has no AVX2 with FMA3");
  if (!hardware(check_hardware, kCpuAvx2) || !hardware(check_hardware, kCpuFma3))
    set_off(kNativeWarp, "OpenCV does not dispatch to AVX2 with FMA3 (or its optimisations were off at start-up)");
}

// __opencv_profile__(): {"opencv": version, "dispatch": ..., "ipp": ..., "warp arithmetic": ...,
// "verified warp": verified_warp_release(), capability name: None or the reason it is off, ...}.
PyObject* profile_dict(PyObject*, PyObject*) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  auto put = [&](const char* key, PyObject* v) {
    if (!v) return false;
    int r = PyDict_SetItemString(d.get(), key, v);
    Py_DECREF(v);
    return r == 0;
  };
  if (!put("opencv", g_opencv.version.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(g_opencv.version.c_str())) ||
      !put("dispatch", PyUnicode_FromString(g_opencv.dispatch.c_str())) || !put("ipp", PyUnicode_FromString(g_opencv.ipp.c_str())) ||
      !put("warp arithmetic", PyUnicode_FromString(g_opencv.fixed_point ? "fixed-point remap tables"
                                                                  : "float kernels (AVX2 with FMA3)")) ||
      !put("verified warp", PyBool_FromLong(g_opencv.warp_release)))
    return nullptr;
  for (int c = 0; c < kCapabilityCount; c++)
    if (!put(kTable[c].name, g_opencv.reason[c] ? PyUnicode_FromString(g_opencv.reason[c]) : Py_NewRef(Py_None))) return nullptr;
  return d.release();
}

const PyMethodDef kProfile = {"__opencv_profile__", profile_dict, METH_NOARGS,
                              "The OpenCV the module imported and the native capabilities it allows."};

}  // namespace

bool on(Capability c) { return g_opencv.reason[c] == nullptr; }
bool verified_warp_release() { return g_opencv.warp_release; }
bool fixed_point_warp() { return g_opencv.fixed_point; }
bool drawing_since_4_13() {
  for (const char* v : kDrawingOf4_13)
    if (g_opencv.version == v) return true;
  return false;
}
const char* reason(Capability c) { return g_opencv.reason[c]; }
PyObject* module() { return g_opencv.cv2; }
PyObject* function(Function f) { return g_opencv.fn[f]; }

int optimised() {
  Ref r = call(g_opencv.use_optimized, {});
  if (!r) return -1;
  return r.get() == Py_True;
}

PyObject* call_without_ipp(PyObject* fn, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  bool was_on = false;
  if (g_opencv.use_ipp && g_opencv.set_use_ipp) {
    Ref r = call(g_opencv.use_ipp, {});
    if (!r) return nullptr;
    was_on = r.get() == Py_True;
  }
  if (was_on && !call(g_opencv.set_use_ipp, {Py_False})) return nullptr;
  PyObject* result = PyObject_Vectorcall(fn, args, nargs, kwnames);
  if (was_on) {
    PyObject* exc = PyErr_GetRaisedException();
    Ref back = call(g_opencv.set_use_ipp, {Py_True});
    if (exc) {
      PyErr_Clear();
      PyErr_SetRaisedException(exc);
    } else if (!back) {
      Py_CLEAR(result);
    }
  }
  return result;
}

int startup(PyObject* m) {
  PyObject* cv2 = PyDict_GetItemString(PyModule_GetDict(m), "cv2");  // borrowed
  if (cv2 && PyModule_Check(cv2)) {
    g_opencv.cv2 = Py_NewRef(cv2);
    Ref version = Ref::steal(PyObject_GetAttrString(cv2, "__version__"));
    const char* v = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    PyErr_Clear();
    if (v) g_opencv.version = v;
    for (int f = 0; f < kFunctionCount; f++) g_opencv.fn[f] = own_function(cv2, kFunctionNames[f]);
    g_opencv.use_optimized = own_function(cv2, "useOptimized");
    Ref ipp = Ref::steal(PyObject_GetAttrString(cv2, "ipp"));
    PyErr_Clear();
    g_opencv.use_ipp = own_function(ipp.get(), "useIPP");
    g_opencv.set_use_ipp = own_function(ipp.get(), "setUseIPP");
    PyObject* check = own_function(cv2, "checkHardwareSupport");
    PyObject* features = own_function(cv2, "getCPUFeaturesLine");
    g_opencv.dispatch = text_of_call(features, {});
    PyObject* ipp_version = own_function(ipp.get(), "getIppVersion");
    std::string ipp_v = text_of_call(ipp_version, {});
    std::string ipp_on = text_of_call(g_opencv.use_ipp, {});
    g_opencv.ipp = ipp_v.empty() ? "not reported" : (ipp_on == "True" ? "on, " : "off, ") + ipp_v;
    decide(check);
    Py_XDECREF(check);
    Py_XDECREF(features);
    Py_XDECREF(ipp_version);
  } else {
    decide(nullptr);
  }
  Ref name = Ref::steal(PyUnicode_FromString("kelvracv._kelvra_core"));
  Ref fn = name ? Ref::steal(builtin_function(kProfile, name.get())) : Ref();
  if (!fn) return -1;
  return PyModule_AddObjectRef(m, "__opencv_profile__", fn.get());
}

}  // namespace kv::opencv
