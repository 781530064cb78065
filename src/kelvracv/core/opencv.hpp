// The OpenCV profile: what the module learnt about the OpenCV it imported,
// once, right after `import cv2` (its version, its own functions, the
// processor features its dispatch uses, Intel IPP), and which native
// capability that OpenCV allows. Each capability reproduces arithmetic that
// was checked against particular OpenCV releases and processor paths; the
// table in opencv.cpp says which. Every native path asks here, and falls
// back to calling cv2 where a capability is off.
// Main thread, interpreter lock held.
#pragma once

#include <Python.h>

namespace kv::opencv {

enum Capability {
  kNativeDrawing,      // draw/raster.cpp instead of cv2.line, rectangle, polylines, fillPoly, ellipse
  kNativeWarp,         // image/warp.cpp instead of cv2.warpPerspective (bilinear)
  kPerspectiveSolver,  // image/warp.cpp instead of cv2.getPerspectiveTransform
  kWholePixelCopy,     // rows copied for a warp that moves by whole pixels
  kCapabilityCount
};

// OpenCV's functions as `import cv2` gave them.
enum Function {
  kLine,
  kRectangle,
  kPolylines,
  kFillPoly,
  kEllipse,
  kWarpPerspective,
  kGetPerspectiveTransform,
  kFunctionCount
};

// Whether the capability is on for this process (decided at start-up).
bool on(Capability c);
// Whether OpenCV's warp is its fixed-point one (OpenCV 4) rather than its
// float kernels: the native warp then reproduces that arithmetic, on any
// processor and whatever OpenCV's optimisations.
bool fixed_point_warp();
// Whether the drawing is 4.13's and later's (thick lines clipped before
// their band is made; which thin lines of fractional ends are rounded) or
// 4.11's and 4.12's.
bool drawing_since_4_13();
// Whether OpenCV's bilinear warp of this release is one the native warp was
// verified against, whatever the processor and KELVRACV_NO_AVX2 (which only
// decide whether the native warp computes it): every warp of OpenCV's own
// made for blit then runs with Intel IPP off, so blit's pixels are that
// arithmetic on every path.
bool verified_warp_release();
// Why it is off (nullptr when on).
const char* reason(Capability c);
// The cv2 module taken at start-up (borrowed; nullptr when there was none).
PyObject* module();
// OpenCV's own function `f` as imported (borrowed), nullptr when that name
// did not hold one of OpenCV's built-in functions at start-up.
PyObject* function(Function f);

// cv2.useOptimized() now: 1 or 0, -1 with an exception set. OpenCV's
// dispatch follows it, so a native path that reproduces a dispatched kernel
// asks it at each call.
int optimised();

// Calls OpenCV's own warpPerspective as `call(fn, args, kwnames)` would, with
// Intel IPP switched off for the call when it is on (the switch is
// OpenCV's per thread and put back afterwards, also on error).
PyObject* call_without_ipp(PyObject* fn, PyObject* const* args, size_t nargs, PyObject* kwnames);

// Start-up, right after `import cv2`: 0, or -1 with an exception set (only
// when memory runs out; anything unexpected about OpenCV only turns
// capabilities off).
int startup(PyObject* m);

}  // namespace kv::opencv
