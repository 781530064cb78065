// Image blitting: corner mapping through the coordinate pipeline, the
// perspective warp through the module's cv2, then one compositing pass over
// the canvas bytes. Main thread, interpreter lock held throughout.

#include "image/blit.hpp"

#include <cstring>

#include "geometry/record.hpp"
#include "image/composite.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv::image {
namespace {

constexpr int kInterLinear = 1;  // cv2.INTER_LINEAR, whose support warp_support knows

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// The image must be (height, width, channels) of bytes.
bool check_source(PyObject* src_img) {
  PyArrayObject* src = as_array(src_img);
  if (PyArray_NDIM(src) != 3) {
    PyErr_Format(PyExc_TypeError,
                 "blit: src_img must have three dimensions (height, width, channels), got %d%s",
                 PyArray_NDIM(src), PyArray_NDIM(src) == 2 ? " (a grayscale image needs a channel axis)" : "");
    return false;
  }
  if (PyArray_TYPE(src) != NPY_UBYTE) {
    PyErr_Format(PyExc_TypeError, "blit: src_img must have dtype uint8, got %S",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(src)));
    return false;
  }
  return true;
}

// The canvas must be a writable (height, width, channels) byte array whose
// channels suit an image of `channels`. Checked before anything is read, and
// again before the pass: the warp runs Python code that may reshape it.
bool check_canvas(PyObject* arr, npy_intp channels) {
  PyArrayObject* dst = as_array(arr);
  if (PyArray_NDIM(dst) != 3 || PyArray_TYPE(dst) != NPY_UBYTE) {
    PyErr_Format(PyExc_TypeError,
                 "blit: arr must be a uint8 canvas of shape (height, width, channels), got %d dimensions of %S",
                 PyArray_NDIM(dst), reinterpret_cast<PyObject*>(PyArray_DESCR(dst)));
    return false;
  }
  npy_intp canvas_c = PyArray_DIM(dst, 2);
  if (channels == 4 && canvas_c != 3) {
    PyErr_Format(PyExc_ValueError, "blit: a four-channel image needs a three-channel canvas, got %zd channels",
                 static_cast<Py_ssize_t>(canvas_c));
    return false;
  }
  if (channels != 4 && channels != canvas_c) {
    PyErr_Format(PyExc_ValueError, "blit: src_img has %zd channels but the canvas has %zd",
                 static_cast<Py_ssize_t>(channels), static_cast<Py_ssize_t>(canvas_c));
    return false;
  }
  return PyArray_FailUnlessWriteable(dst, "assignment destination") == 0;
}

// OpenCV's warpPerspective crashes once its output (canvas height x width
// pixels of the image's channels, one byte each) reaches 2**32 bytes, so
// such a warp is refused before OpenCV sees it.
constexpr double kMaxWarpBytes = 4294967296.0;  // 2**32

bool check_warp_size(PyObject* arr, npy_intp channels) {
  PyArrayObject* dst = as_array(arr);
  double bytes = static_cast<double>(PyArray_DIM(dst, 0)) * static_cast<double>(PyArray_DIM(dst, 1)) *
                 static_cast<double>(channels);
  if (bytes < kMaxWarpBytes) return true;
  PyErr_Format(PyExc_ValueError,
               "blit: a warped image of %zdx%zd with %zd channels would take 2**32 bytes or more, "
               "which OpenCV's warp cannot handle",
               static_cast<Py_ssize_t>(PyArray_DIM(dst, 0)), static_cast<Py_ssize_t>(PyArray_DIM(dst, 1)),
               static_cast<Py_ssize_t>(channels));
  return false;
}

// np.float32 array of shape (4, 2) from eight doubles.
Ref points_f32(const double* v) {
  npy_intp dims[2] = {4, 2};
  Ref a = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
  if (!a) return a;
  float* d = static_cast<float*>(PyArray_DATA(as_array(a.get())));
  for (int i = 0; i < 8; i++) d[i] = static_cast<float>(v[i]);
  return a;
}

// The region the compositing pass has to visit: the warp's support when the
// warp is OpenCV's own bilinear one with a known matrix, else everything.
Region pass_region(PyObject* warp_fn, PyObject* flags, PyObject* matrix, double w, double h,
                   const CanvasView& canvas) {
  Region all = whole(canvas);
  if (!PyCFunction_Check(warp_fn)) return all;
  const char* fn_name = reinterpret_cast<PyCFunctionObject*>(warp_fn)->m_ml->ml_name;
  if (std::strcmp(fn_name, "warpPerspective") != 0) return all;
  if (!PyLong_CheckExact(flags) || PyLong_AsLong(flags) != kInterLinear) return all;
  if (!PyArray_Check(matrix)) return all;
  PyArrayObject* m = as_array(matrix);
  if (PyArray_TYPE(m) != NPY_DOUBLE || PyArray_NDIM(m) != 2 || PyArray_DIM(m, 0) != 3 || PyArray_DIM(m, 1) != 3 ||
      !PyArray_IS_C_CONTIGUOUS(m))
    return all;
  Region r;
  if (!warp_support(static_cast<const double*>(PyArray_DATA(m)), w, h, canvas.rows, canvas.cols, &r)) return all;
  return r;
}

// The warped image as a byte view matching the canvas, or a TypeError for a
// result that is not one (cv2 may have been rebound by the program).
bool warped_view(PyObject* warped, PyObject* arr, npy_intp channels, Ref* keep, WarpedView* out) {
  PyArrayObject* dst = as_array(arr);
  bool ok = PyArray_Check(warped) && PyArray_TYPE(as_array(warped)) == NPY_UBYTE;
  if (ok) {
    PyArrayObject* w = as_array(warped);
    int nd = PyArray_NDIM(w);
    ok = (nd == 3 && PyArray_DIM(w, 2) == channels) || (nd == 2 && channels == 1);
    if (ok && (PyArray_DIM(w, 0) != PyArray_DIM(dst, 0) || PyArray_DIM(w, 1) != PyArray_DIM(dst, 1))) {
      PyErr_Format(PyExc_ValueError, "blit: the warped image is %zdx%zd but the canvas is %zdx%zd",
                   static_cast<Py_ssize_t>(PyArray_DIM(w, 0)), static_cast<Py_ssize_t>(PyArray_DIM(w, 1)),
                   static_cast<Py_ssize_t>(PyArray_DIM(dst, 0)), static_cast<Py_ssize_t>(PyArray_DIM(dst, 1)));
      return false;
    }
  }
  if (!ok) {
    PyErr_Format(PyExc_TypeError, "blit: cv2.warpPerspective returned %.200s, not a uint8 image of %zd channels",
                 Py_TYPE(warped)->tp_name, static_cast<Py_ssize_t>(channels));
    return false;
  }
  *keep = Ref::steal(PyArray_FROM_OTF(warped, NPY_UBYTE, NPY_ARRAY_C_CONTIGUOUS));
  if (!*keep) return false;
  PyArrayObject* w = as_array(keep->get());
  *out = {static_cast<const uint8_t*>(PyArray_DATA(w)), PyArray_DIM(w, 0), PyArray_DIM(w, 1), channels};
  return true;
}

CanvasView canvas_view(PyObject* arr) {
  PyArrayObject* a = as_array(arr);
  return {static_cast<uint8_t*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_DIM(a, 2),
          PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1), PyArray_STRIDE(a, 2)};
}

// The warp: cv2.warpPerspective(src_img, M, (width, height), flags=cv2.INTER_LINEAR).
bool warp(PyObject* arr, PyObject* src_img, PyObject* matrix, Ref* warped, Ref* warp_fn, Ref* flags) {
  PyObject* kw_flags = KV_KW(flags);
  *warp_fn = global_attr(KV_STR("cv2"), KV_STR("warpPerspective"));
  if (!*warp_fn) return false;
  *flags = global_attr(KV_STR("cv2"), KV_STR("INTER_LINEAR"));
  if (!*flags) return false;
  PyArrayObject* a = as_array(arr);
  Ref dsize = Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(PyArray_DIM(a, 1)),
                                       static_cast<Py_ssize_t>(PyArray_DIM(a, 0))));
  if (!dsize) return false;
  *warped = call(warp_fn->get(), {src_img, matrix, dsize.get(), flags->get()}, kw_flags);
  return static_cast<bool>(*warped);
}

// cp[i] + offset with the element's own addition (an int cursor gives floats).
Ref plus(PyObject* v, double offset) {
  Ref f = Ref::steal(PyFloat_FromDouble(offset));
  if (!f) return f;
  return Ref::steal(PyNumber_Add(v, f.get()));
}

bool blit_with_matrix(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* const dest_world[4], Ref* warped,
                      Ref* matrix, Ref* warp_fn, Ref* flags) {
  PyArrayObject* src = as_array(src_img);
  double w = static_cast<double>(PyArray_DIM(src, 1)), h = static_cast<double>(PyArray_DIM(src, 0));
  PointMapper mapper;
  if (!mapper.begin(ts)) return false;
  double dst[8];
  bool all_visible = true;
  for (int i = 0; i < 4; i++) {
    bool visible;
    geo::Vec2 p;
    if (!mapper.map_obj(dest_world[i], &visible, &p)) return false;
    all_visible = all_visible && visible;
    dst[2 * i] = p.x, dst[2 * i + 1] = p.y;
  }
  if (!all_visible) {
    *warped = Ref::borrow(Py_None);
    return true;
  }
  const double corners[8] = {0, 0, w, 0, w, h, 0, h};
  Ref src_pts = points_f32(corners), dst_pts = points_f32(dst);
  if (!src_pts || !dst_pts) return false;
  Ref get_m = global_attr(KV_STR("cv2"), KV_STR("getPerspectiveTransform"));
  if (!get_m) return false;
  *matrix = call(get_m.get(), {src_pts.get(), dst_pts.get()});
  if (!*matrix) return false;
  return warp(arr, src_img, matrix->get(), warped, warp_fn, flags);
}

}  // namespace

bool blit_core(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* const dest_world[4], Ref* warped,
               Ref* matrix) {
  Ref warp_fn, flags;
  return blit_with_matrix(arr, ts, src_img, dest_world, warped, matrix, &warp_fn, &flags);
}

bool blit(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* scale_factor) {
  if (!check_source(src_img) || !check_canvas(arr, PyArray_DIM(as_array(src_img), 2)) ||
      !check_warp_size(arr, PyArray_DIM(as_array(src_img), 2)))
    return false;
  PyArrayObject* src = as_array(src_img);
  const npy_intp W = PyArray_DIM(src, 1), H = PyArray_DIM(src, 0), channels = PyArray_DIM(src, 2);
  double sx, sy;
  Ref f0 = Ref::steal(item(scale_factor, 0));
  if (!f0 || !py_float(f0.get(), &sx)) return false;
  Ref f1 = Ref::steal(item(scale_factor, 1));
  if (!f1 || !py_float(f1.get(), &sy)) return false;

  // The world rectangle: cp, then clockwise, with float sums.
  Ref cp = record_get(ts, KV_STR("cursor_pos"));
  if (!cp) return false;
  Ref cx = Ref::steal(item(cp.get(), 0));
  if (!cx) return false;
  Ref right = plus(cx.get(), static_cast<double>(W) * sx);
  if (!right) return false;
  Ref cy = Ref::steal(item(cp.get(), 1));
  if (!cy) return false;
  Ref bottom = plus(cy.get(), static_cast<double>(H) * sy);
  if (!bottom) return false;
  Ref c2 = Ref::steal(PyTuple_Pack(2, right.get(), cy.get()));
  Ref c3 = Ref::steal(PyTuple_Pack(2, right.get(), bottom.get()));
  Ref c4 = Ref::steal(PyTuple_Pack(2, cx.get(), bottom.get()));
  if (!c2 || !c3 || !c4) return false;
  PyObject* const dest_world[4] = {cp.get(), c2.get(), c3.get(), c4.get()};

  Ref warped, matrix, warp_fn, flags;
  if (!blit_with_matrix(arr, ts, src_img, dest_world, &warped, &matrix, &warp_fn, &flags)) return false;
  if (warped.get() == Py_None) return true;

  Ref keep;
  WarpedView wv;
  if (!check_canvas(arr, channels) || !warped_view(warped.get(), arr, channels, &keep, &wv)) return false;
  CanvasView canvas = canvas_view(arr);
  // The image as it is now (the warp ran Python code); any change of shape
  // and the pass covers the whole canvas.
  Region region = whole(canvas);
  if (PyArray_NDIM(src) == 3 && PyArray_DIM(src, 0) == H && PyArray_DIM(src, 1) == W)
    region = pass_region(warp_fn.get(), flags.get(), matrix.get(), static_cast<double>(W), static_cast<double>(H),
                         canvas);
  if (channels == 4)
    composite_alpha(wv, canvas, region);
  else
    composite_nonzero(wv, canvas, region);
  return true;
}

}  // namespace kv::image
