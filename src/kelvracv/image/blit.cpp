// Image blitting: corner mapping through the coordinate pipeline, the
// perspective warp, then one compositing pass over the canvas bytes. The
// warp is the module's cv2.warpPerspective onto a canvas-sized image, or,
// where that function is OpenCV's own and runs the kernels the region warp
// reproduces, the region warp over just the pixels the image can reach.
// The perspective matrix is computed here where cv2.getPerspectiveTransform
// is OpenCV's own and the result is certain to be its own.
// Main thread, interpreter lock held throughout.

#include "image/blit.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "core/bindings.hpp"
#include "core/opencv.hpp"
#include "geometry/record.hpp"
#include "image/composite.hpp"
#include "image/warp.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/image_view.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"
#include "pyapi/unlocked.hpp"

namespace kv::image {
namespace {

constexpr int kInterLinear = 1;  // cv2.INTER_LINEAR, whose support warp_support knows

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// The canvas pixels (the region's rectangle) from which blit's warp and
// compositing run with the interpreter lock let go. bench/bench_threads.py
// measured the rotated region warp with its compositing at 2.7-4.6 ns a
// pixel of that rectangle, and a blocked thread waking to run Python at
// 20-35 us (median): below some 16,000 pixels (a sprite of about 100x100
// turned, 50-75 us) the work is over before a waiter could take the lock,
// and is done holding it.
constexpr double kUnlockPixels = 16384;

// Who the messages name.
constexpr const char* kWho = "blit";

// The canvas as it is now, suited to an image of `channels`: a four-channel
// image needs three canvas channels, any other count the canvas's own.
bool canvas_for(PyObject* arr, npy_intp channels, ImageView* out) {
  if (!kv::canvas_view(arr, kWho, "arr", out)) return false;
  if (channels == 4 && out->channels != 3) {
    PyErr_Format(PyExc_ValueError, "blit: a four-channel image needs a three-channel canvas, got %zd channels",
                 static_cast<Py_ssize_t>(out->channels));
    return false;
  }
  if (channels != 4 && channels != out->channels) {
    PyErr_Format(PyExc_ValueError, "blit: src_img has %zd channels but the canvas has %zd",
                 static_cast<Py_ssize_t>(channels), static_cast<Py_ssize_t>(out->channels));
    return false;
  }
  return true;
}

bool source_view(PyObject* src_img, ImageView* out) { return image_view(src_img, kWho, "src_img", out); }

// OpenCV's warpPerspective crashes once its output (canvas height x width
// pixels of the image's channels, one byte each) reaches 2**32 bytes, so
// such a warp is refused before OpenCV sees it.
constexpr double kMaxWarpBytes = 4294967296.0;  // 2**32

bool check_warp_size(const ImageView& canvas, npy_intp channels) {
  double bytes = static_cast<double>(canvas.rows) * static_cast<double>(canvas.cols) * static_cast<double>(channels);
  if (bytes < kMaxWarpBytes) return true;
  PyErr_Format(PyExc_ValueError,
               "blit: a warped image of %zdx%zd with %zd channels would take 2**32 bytes or more, "
               "which OpenCV's warp cannot handle",
               static_cast<Py_ssize_t>(canvas.rows), static_cast<Py_ssize_t>(canvas.cols),
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
  // OpenCV's own warp, whatever its version: it leaves zero outside the warped quad.
  PyObject* own = opencv::function(opencv::kWarpPerspective);
  if (!own || warp_fn != own) return all;
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
bool warped_view(PyObject* warped, const ImageView& canvas, npy_intp channels, Ref* keep, WarpedView* out) {
  bool ok = PyArray_Check(warped) && PyArray_TYPE(as_array(warped)) == NPY_UBYTE;
  if (ok) {
    PyArrayObject* w = as_array(warped);
    int nd = PyArray_NDIM(w);
    ok = (nd == 3 && PyArray_DIM(w, 2) == channels) || (nd == 2 && channels == 1);
    if (ok && (PyArray_DIM(w, 0) != canvas.rows || PyArray_DIM(w, 1) != canvas.cols)) {
      PyErr_Format(PyExc_ValueError, "blit: the warped image is %zdx%zd but the canvas is %zdx%zd",
                   static_cast<Py_ssize_t>(PyArray_DIM(w, 0)), static_cast<Py_ssize_t>(PyArray_DIM(w, 1)),
                   static_cast<Py_ssize_t>(canvas.rows), static_cast<Py_ssize_t>(canvas.cols));
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

CanvasView to_canvas(const ImageView& v) {
  return {v.data, v.rows, v.cols, v.channels, v.row_stride, v.col_stride, v.channel_stride};
}

// The warp function and its flag: cv2.warpPerspective and cv2.INTER_LINEAR.
bool warp_function(Ref* warp_fn, Ref* flags) {
  *warp_fn = global_attr(KV_ID(cv2), KV_ID(warpPerspective));
  if (!*warp_fn) return false;
  *flags = global_attr(KV_ID(cv2), KV_ID(INTER_LINEAR));
  return static_cast<bool>(*flags);
}

// The warp: cv2.warpPerspective(src_img, M, (width, height), flags=cv2.INTER_LINEAR).
// without_ipp: OpenCV's own warp, called with Intel IPP off (blit's pixels
// are OpenCV's own bilinear arithmetic wherever the native warp is verified).
bool warp(PyObject* arr, PyObject* src_img, PyObject* matrix, PyObject* warp_fn, PyObject* flags, Ref* warped,
          bool without_ipp = false) {
  PyObject* kw_flags = KV_KW(flags);
  ImageView canvas;
  if (!kv::canvas_view(arr, kWho, "arr", &canvas)) return false;
  Ref dsize = Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(canvas.cols),
                                       static_cast<Py_ssize_t>(canvas.rows)));
  if (!dsize) return false;
  if (without_ipp) {
    PyObject* args[4] = {src_img, matrix, dsize.get(), flags};
    *warped = Ref::steal(opencv::call_without_ipp(warp_fn, args, 3, kw_flags));
  } else {
    *warped = call(warp_fn, {src_img, matrix, dsize.get(), flags}, kw_flags);
  }
  return static_cast<bool>(*warped);
}

// cp[i] + offset with the element's own addition (an int cursor gives floats).
Ref plus(PyObject* v, double offset) {
  Ref f = Ref::steal(PyFloat_FromDouble(offset));
  if (!f) return f;
  return Ref::steal(PyNumber_Add(v, f.get()));
}

// The corners mapped through ts and the perspective matrix from the image's
// corners to them; *matrix stays empty when a corner cannot be mapped.
// OpenCV's perspective matrix of the corners computed here, as a 3x3 float64
// array; null (no exception) where only OpenCV can tell, or with an
// exception when memory runs out.
Ref native_matrix(const double src[8], const double dst[8]) {
  float s[8], d[8];
  for (int i = 0; i < 8; i++) {
    if (!(std::fabs(src[i]) <= FLT_MAX && std::fabs(dst[i]) <= FLT_MAX)) return Ref();
    s[i] = static_cast<float>(src[i]), d[i] = static_cast<float>(dst[i]);
  }
  double m[9];
  if (!opencv_perspective_transform(s, d, m)) return Ref();
  npy_intp dims[2] = {3, 3};
  Ref a = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  if (a) std::memcpy(PyArray_DATA(as_array(a.get())), m, sizeof m);
  return a;
}

// Whether three of the four corners, as the float32 values OpenCV is given,
// lie on one line: (b - a) x (c - a) == 0 in double (exact for floats of
// moderate size; coincident corners included). OpenCV has no transform for
// such a quad and its fallback matrix paints stray pixels or crashes the warp.
bool without_area(const double dst[8]) {
  double p[8];
  for (int i = 0; i < 8; i++) p[i] = static_cast<double>(static_cast<float>(dst[i]));
  static constexpr int kTriples[4][3] = {{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}};
  for (const auto& t : kTriples) {
    const double* a = p + 2 * t[0];
    const double* b = p + 2 * t[1];
    const double* c = p + 2 * t[2];
    if ((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]) == 0.0) return true;
  }
  return false;
}

// Whether the matrix takes the image's corners to the quad's corners, to
// within half a pixel (or a millionth of the coordinate's size): OpenCV
// falls back on a least-squares matrix when its solve fails, and that one
// can put the image anywhere. A 3x3 float64 array is checked; any other
// result (a rebound function's) is passed on as it is.
bool takes_corners(PyObject* matrix, const double src[8], const double dst[8]) {
  if (!PyArray_Check(matrix)) return true;
  PyArrayObject* a = as_array(matrix);
  if (PyArray_TYPE(a) != NPY_DOUBLE || PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != 3 || PyArray_DIM(a, 1) != 3 ||
      !PyArray_IS_C_CONTIGUOUS(a))
    return true;
  const double* m = static_cast<const double*>(PyArray_DATA(a));
  for (int i = 0; i < 4; i++) {
    const double x = src[2 * i], y = src[2 * i + 1];
    const double w = m[6] * x + m[7] * y + m[8];
    const double X = (m[0] * x + m[1] * y + m[2]) / w, Y = (m[3] * x + m[4] * y + m[5]) / w;
    const double tx = static_cast<float>(dst[2 * i]), ty = static_cast<float>(dst[2 * i + 1]);
    if (!(std::fabs(X - tx) <= 0.5 + 1e-6 * std::fabs(tx) && std::fabs(Y - ty) <= 0.5 + 1e-6 * std::fabs(ty)))
      return false;
  }
  return true;
}

// plain_world: the four corners as the x, y doubles of 2-D points, where the
// objects of dest_world would hold just those floats; used outside 3-D mode
// (there, make_objects fills dest_world first).
bool corner_matrix(PyObject* ts, PyObject* src_img, PyObject* const dest_world[4], Ref* matrix,
                   const double* plain_world = nullptr, bool (*make_objects)(void*) = nullptr,
                   void* objects_arg = nullptr) {
  ImageView src;
  if (!source_view(src_img, &src)) return false;
  double w = static_cast<double>(src.cols), h = static_cast<double>(src.rows);
  PointMapper mapper;
  if (!mapper.begin(ts)) return false;
  if (plain_world && mapper.is_3d()) {
    if (!make_objects(objects_arg)) return false;
    plain_world = nullptr;
  }
  double dst[8];
  bool all_visible = true;
  for (int i = 0; i < 4; i++) {
    bool visible;
    geo::Vec2 p;
    if (plain_world ? !mapper.map(plain_world[2 * i], plain_world[2 * i + 1], 0.0, &visible, &p)
                    : !mapper.map_obj(dest_world[i], &visible, &p))
      return false;
    all_visible = all_visible && visible;
    dst[2 * i] = p.x, dst[2 * i + 1] = p.y;
  }
  if (!all_visible || without_area(dst)) return true;
  const double corners[8] = {0, 0, w, 0, w, h, 0, h};
  Ref get_m = global_attr(KV_ID(cv2), KV_ID(getPerspectiveTransform));
  if (!get_m) return false;
  Ref m;
  PyObject* own = opencv::function(opencv::kGetPerspectiveTransform);
  if (opencv::on(opencv::kPerspectiveSolver) && get_m.get() == own) m = native_matrix(corners, dst);
  if (!m) {
    if (PyErr_Occurred()) return false;
    Ref src_pts = points_f32(corners), dst_pts = points_f32(dst);
    if (!src_pts || !dst_pts) return false;
    m = call(get_m.get(), {src_pts.get(), dst_pts.get()});
    if (!m) return false;
  }
  if (!own || get_m.get() != own || takes_corners(m.get(), corners, dst)) *matrix = std::move(m);
  return true;
}

// ---- the region warp's preconditions -----------------------------------------

// How far blit may compute the warp about to be made itself: kFull where it
// is OpenCV's own bilinear warp (the module's cv2.warpPerspective is the
// function OpenCV registered, the flag is INTER_LINEAR) on a release and
// processor path the OpenCV profile has verified (kernels_reproduced() then
// tells whether its kernels are in use now); kShift for OpenCV's bilinear
// warp with any kernels (whole-pixel translations only); kNone otherwise.
// Intel IPP's switch is not asked: blit's pixels are OpenCV's own
// arithmetic, the warp without IPP.
enum RegionWarpUse { kNone = 0, kShift = 1, kFull = 2 };

int region_warp_applies(PyObject* warp_fn, PyObject* flags) {
  if (!opencv::on(opencv::kWholePixelCopy) || warp_fn != opencv::function(opencv::kWarpPerspective)) return kNone;
  if (!PyLong_CheckExact(flags) || PyLong_AsLong(flags) != kInterLinear) {
    if (PyErr_Occurred()) PyErr_Clear();  // an int beyond long is not the flag
    return kNone;
  }
  return opencv::on(opencv::kNativeWarp) ? kFull : kShift;
}

// Whether OpenCV's own warp runs the kernels the native warp reproduces now:
// OpenCV 4's fixed-point warp always; OpenCV 5's float kernels while its
// optimisations are on (its dispatch follows them). -1 with an exception set.
int kernels_reproduced() { return opencv::fixed_point_warp() ? 1 : opencv::optimised(); }

// The lowest and one past the highest byte address an image's bytes use.
void byte_extent(const ImageView& v, uintptr_t* lo, uintptr_t* hi) {
  uintptr_t base = reinterpret_cast<uintptr_t>(v.data);
  *lo = *hi = base;
  const npy_intp dims[3] = {v.rows, v.cols, v.channels};
  const npy_intp strides[3] = {v.row_stride, v.col_stride, v.channel_stride};
  bool empty = false;
  for (int d = 0; d < 3; d++) {
    if (dims[d] == 0) empty = true;
    if (dims[d] > 1) (strides[d] < 0 ? *lo : *hi) += static_cast<uintptr_t>(strides[d] * (dims[d] - 1));
  }
  *hi += 1;
  if (empty) *hi = *lo;
}

// The source as the region warp reads it, when its layout allows: pixels
// and channels packed, rows apart by a positive stride, and no byte shared
// with the canvas (OpenCV reads the whole image before anything is drawn).
bool region_source(const ImageView& s, const ImageView& canvas, WarpSource* out) {
  if (s.channel_stride != 1 || s.col_stride != s.channels || s.row_stride <= 0) return false;
  uintptr_t slo, shi, clo, chi;
  byte_extent(s, &slo, &shi);
  byte_extent(canvas, &clo, &chi);
  if (slo < chi && clo < shi) return false;
  *out = {s.data, s.rows, s.cols, s.channels, s.row_stride};
  return true;
}

// Rows of the warp computed on demand.
class RegionRows final : public WarpedRows {
 public:
  RegionRows(RegionWarp& warp, ptrdiff_t channels, ptrdiff_t band_rows)
      : WarpedRows(channels, band_rows), warp_(warp) {}
  const uint8_t* row(ptrdiff_t y, ptrdiff_t c0, ptrdiff_t c1) override { return warp_.row(y, c0, c1); }

 private:
  RegionWarp& warp_;
};

// Whether m is a 3x3 float64 matrix of the form [1 0 a; 0 1 b; 0 0 1].
bool translation_form(PyObject* matrix) {
  if (!PyArray_Check(matrix)) return false;
  PyArrayObject* m = as_array(matrix);
  if (PyArray_TYPE(m) != NPY_DOUBLE || PyArray_NDIM(m) != 2 || PyArray_DIM(m, 0) != 3 || PyArray_DIM(m, 1) != 3 ||
      !PyArray_IS_C_CONTIGUOUS(m))
    return false;
  const double* v = static_cast<const double*>(PyArray_DATA(m));
  return v[0] == 1.0 && v[1] == 0.0 && v[3] == 0.0 && v[4] == 1.0 && v[6] == 0.0 && v[7] == 0.0 && v[8] == 1.0;
}

// The compositing pass over `region` with the interpreter lock let go when
// the region is large enough (see kUnlockPixels); arr and the image are
// kept alive meanwhile (their bytes are what rows and canvas point into).
void composite_unlocked(PyObject* arr, PyObject* image, WarpedRows& rows, const CanvasView& canvas,
                        const Region& region) {
  Ref keep_canvas = Ref::borrow(arr), keep_image = Ref::borrow(image);
  const double pixels = static_cast<double>(region.row1 - region.row0) * static_cast<double>(region.col1 - region.col0);
  run_unlocked(pixels, kUnlockPixels, [&] {
    if (rows.channels == 4)
      composite_alpha(rows, canvas, region);
    else
      composite_nonzero(rows, canvas, region);
  });
}

// Draws src_img with the region warp when every precondition holds: *done
// tells. whole_shift: only for a whole-pixel translation (see
// RegionWarp::init). Runs no Python code between its checks and the last
// canvas write; the warp and the compositing run with the interpreter lock
// let go when the region is large (composite_unlocked).
bool try_region_blit(PyObject* arr, PyObject* src_img, PyObject* matrix, npy_intp H, npy_intp W, npy_intp channels,
                     bool whole_shift, bool* done) {
  *done = false;
  if (!PyArray_Check(matrix)) return true;
  PyArrayObject* m = as_array(matrix);
  if (PyArray_TYPE(m) != NPY_DOUBLE || PyArray_NDIM(m) != 2 || PyArray_DIM(m, 0) != 3 || PyArray_DIM(m, 1) != 3 ||
      !PyArray_IS_C_CONTIGUOUS(m))
    return true;
  ImageView target, image;
  if (!canvas_for(arr, channels, &target) || !source_view(src_img, &image)) return false;
  WarpSource source;
  if (!region_source(image, target, &source) || source.rows != H || source.cols != W || source.channels != channels)
    return true;
  CanvasView canvas = to_canvas(target);
  const double* mv = static_cast<const double*>(PyArray_DATA(m));
  Region region;
  if (canvas.rows < 1 || canvas.cols < 1 ||
      !warp_support(mv, static_cast<double>(W), static_cast<double>(H), canvas.rows, canvas.cols, &region, true))
    return true;
  RegionWarp warp;
  const WarpArithmetic arithmetic =
      opencv::fixed_point_warp() ? WarpArithmetic::kFixedPoint : WarpArithmetic::kFloatKernels;
  if (!warp.init(mv, source, canvas.rows, canvas.cols, channels == 4, whole_shift, arithmetic)) return true;
  // An image moved by whole pixels: only the pixels it lands on change the
  // canvas (the warp is 0 elsewhere, which neither compositing draws).
  ptrdiff_t r0, r1, c0, c1;
  if (warp.whole_footprint(&r0, &r1, &c0, &c1)) {
    region.row0 = std::max(region.row0, r0), region.row1 = std::min(region.row1, r1);
    region.col0 = std::max(region.col0, c0), region.col1 = std::min(region.col1, c1);
    region.has_quad = false;
    *done = true;
    if (region.row0 >= region.row1 || region.col0 >= region.col1) return true;
  }
  // A turned quad is narrowed row by row; an upright one has the same columns in every row.
  bool upright = true;
  for (int i = 0; i < 4; i++) {
    const int j = (i + 1) % 4;
    upright = upright && (region.qx[i] == region.qx[j] || region.qy[i] == region.qy[j]);
  }
  RegionRows rows(warp, channels, upright ? 8 : 1);
  composite_unlocked(arr, src_img, rows, canvas, region);
  *done = true;
  return true;
}

}  // namespace

namespace {

// The world rectangle of an image w by h world units at the pen: cp, then
// clockwise, with the pen's own + of a float (an int pen gives floats).
bool world_rectangle(PyObject* cp, double w, double h, Ref corner[4]) {
  Ref cx = Ref::steal(item(cp, 0));
  if (!cx) return false;
  Ref right = plus(cx.get(), w);
  if (!right) return false;
  Ref cy = Ref::steal(item(cp, 1));
  if (!cy) return false;
  Ref bottom = plus(cy.get(), h);
  if (!bottom) return false;
  corner[0] = Ref::borrow(cp);
  corner[1] = Ref::steal(PyTuple_Pack(2, right.get(), cy.get()));
  corner[2] = Ref::steal(PyTuple_Pack(2, right.get(), bottom.get()));
  corner[3] = Ref::steal(PyTuple_Pack(2, cx.get(), bottom.get()));
  return corner[1] && corner[2] && corner[3];
}

// The rectangle's corners as objects, made only where they are needed.
struct LazyCorners {
  PyObject* cp;
  double w, h;
  Ref corner[4];
  PyObject* dest_world[4] = {};
  bool make() {
    if (!world_rectangle(cp, w, h, corner)) return false;
    for (int i = 0; i < 4; i++) dest_world[i] = corner[i].get();
    return true;
  }
  static bool make_them(void* self) { return static_cast<LazyCorners*>(self)->make(); }
};

// A pen that is a tuple of two floats: the corners' coordinates are the
// sums the objects would hold (a float plus a float is the double sum).
bool plain_pen(PyObject* cp, double w, double h, double xy[8]) {
  if (!PyTuple_CheckExact(cp) || PyTuple_GET_SIZE(cp) != 2) return false;
  PyObject* ox = PyTuple_GET_ITEM(cp, 0);
  PyObject* oy = PyTuple_GET_ITEM(cp, 1);
  if (!PyFloat_CheckExact(ox) || !PyFloat_CheckExact(oy)) return false;
  const double x = PyFloat_AS_DOUBLE(ox), y = PyFloat_AS_DOUBLE(oy), right = x + w, bottom = y + h;
  const double v[8] = {x, y, right, y, right, bottom, x, bottom};
  std::memcpy(xy, v, sizeof v);
  return true;
}

}  // namespace

bool blit(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* scale_factor) {
  // The image's and the canvas's facts are read here for the corners and
  // read again (validated) after every step that can run Python code.
  ImageView image, target;
  if (!source_view(src_img, &image) || !canvas_for(arr, image.channels, &target) ||
      !check_warp_size(target, image.channels))
    return false;
  const npy_intp W = image.cols, H = image.rows, channels = image.channels;
  double sx, sy;
  Ref f0 = Ref::steal(item(scale_factor, 0));
  if (!f0 || !py_float(f0.get(), &sx)) return false;
  Ref f1 = Ref::steal(item(scale_factor, 1));
  if (!f1 || !py_float(f1.get(), &sy)) return false;

  Ref cp = record_get(ts, KV_ID(cursor_pos));
  if (!cp) return false;
  LazyCorners corners{cp.get(), static_cast<double>(W) * sx, static_cast<double>(H) * sy};
  double plain[8];
  const bool plain_corners = plain_pen(cp.get(), corners.w, corners.h, plain);
  if (!plain_corners && !corners.make()) return false;

  Ref matrix, warp_fn, flags;
  if (!corner_matrix(ts, src_img, corners.dest_world, &matrix, plain_corners ? plain : nullptr, LazyCorners::make_them,
                     &corners))
    return false;
  if (!matrix) return true;  // a corner cannot be mapped
  if (!warp_function(&warp_fn, &flags)) return false;
  const int region_warp = region_warp_applies(warp_fn.get(), flags.get());
  bool own_arithmetic = false;
  if (region_warp != kNone) {
    // A whole-pixel move first: the same bytes whatever kernels OpenCV runs
    // (tried where the matrix has a translation's form, whose inverse OpenCV
    // computes exactly; any other matrix goes on below).
    bool done = false;
    if (translation_form(matrix.get()) &&
        !try_region_blit(arr, src_img, matrix.get(), H, W, channels, true, &done))
      return false;
    if (done) return true;
    if (region_warp == kFull) {
      const int reproduced = kernels_reproduced();  // asked each time: a program may switch them
      if (reproduced < 0) return false;
      own_arithmetic = reproduced == 1;
    }
    if (own_arithmetic) {
      if (!try_region_blit(arr, src_img, matrix.get(), H, W, channels, false, &done)) return false;
      if (done) return true;
    }
  }
  // Where the native warp declines or is off (a source that shares bytes
  // with the canvas or is not packed, a singular or huge matrix, a processor
  // without AVX2 with FMA3, KELVRACV_NO_AVX2, OpenCV's optimisations
  // switched off), OpenCV's own warp of a verified release computes it with
  // the arithmetic blit's pixels are: IPP off.
  const bool without_ipp = region_warp != kNone && opencv::verified_warp_release();
  Ref warped;
  if (!warp(arr, src_img, matrix.get(), warp_fn.get(), flags.get(), &warped, without_ipp)) return false;
  if (warped.get() == Py_None) return true;

  Ref keep;
  WarpedView wv;
  if (!canvas_for(arr, channels, &target) || !warped_view(warped.get(), target, channels, &keep, &wv)) return false;
  CanvasView canvas = to_canvas(target);
  // The image as it is now (the warp ran Python code); any change of shape
  // and the pass covers the whole canvas.
  // The support is known for the channel counts whose warp kernels leave
  // zeros outside the quad; with other counts OpenCV's warp is not bounded
  // that way under extreme perspective, so the pass covers the whole canvas.
  Region region = whole(canvas);
  const bool bounded_kernels = channels == 1 || channels == 3 || channels == 4;
  if (bounded_kernels && PyArray_Check(src_img) && PyArray_NDIM(as_array(src_img)) == 3 &&
      PyArray_DIM(as_array(src_img), 0) == H && PyArray_DIM(as_array(src_img), 1) == W)
    region = pass_region(warp_fn.get(), flags.get(), matrix.get(), static_cast<double>(W), static_cast<double>(H),
                         canvas);
  WarpedImageRows rows(wv);
  composite_unlocked(arr, keep.get(), rows, canvas, region);
  return true;
}

}  // namespace kv::image

// ---- whole-pixel moves, for callers that composite the image themselves -------

namespace kv::image {

bool whole_pixel_move(PyObject* arr, PyObject* ts, PyObject* cursor, PyObject* src_img, double sx, double sy,
                      WholeMove* out) {
  // blit's own steps up to its choice of the region warp (see blit and
  // try_region_blit), with the same errors; then the whole-pixel test of
  // RegionWarp::init. Nothing is drawn.
  *out = WholeMove();
  ImageView image, target;
  if (!source_view(src_img, &image) || !canvas_for(arr, image.channels, &target) ||
      !check_warp_size(target, image.channels))
    return false;
  const npy_intp W = image.cols, H = image.rows, channels = image.channels;
  if (channels != 4) return true;
  Ref corner[4];
  if (!world_rectangle(cursor, static_cast<double>(W) * sx, static_cast<double>(H) * sy, corner)) return false;
  PyObject* const dest_world[4] = {corner[0].get(), corner[1].get(), corner[2].get(), corner[3].get()};
  Ref matrix, warp_fn, flags;
  if (!corner_matrix(ts, src_img, dest_world, &matrix)) return false;
  if (!matrix) return true;
  if (!warp_function(&warp_fn, &flags)) return false;
  const int region_warp = region_warp_applies(warp_fn.get(), flags.get());
  if (region_warp < 0) return false;
  if (region_warp == kNone || !PyArray_Check(matrix.get())) return true;
  PyArrayObject* m = as_array(matrix.get());
  if (PyArray_TYPE(m) != NPY_DOUBLE || PyArray_NDIM(m) != 2 || PyArray_DIM(m, 0) != 3 || PyArray_DIM(m, 1) != 3 ||
      !PyArray_IS_C_CONTIGUOUS(m))
    return true;
  if (!canvas_for(arr, channels, &target) || !source_view(src_img, &image)) return false;
  WarpSource source;
  if (!region_source(image, target, &source) || source.rows != H || source.cols != W || source.channels != channels)
    return true;
  const double* mv = static_cast<const double*>(PyArray_DATA(m));
  // Only a matrix of a translation's form, whose inverse every warp (Intel
  // IPP's included) computes exactly.
  if (!(mv[0] == 1.0 && mv[1] == 0.0 && mv[3] == 0.0 && mv[4] == 1.0 && mv[6] == 0.0 && mv[7] == 0.0 && mv[8] == 1.0))
    return true;
  Region region;
  if (target.rows < 1 || target.cols < 1 ||
      !warp_support(mv, static_cast<double>(W), static_cast<double>(H), target.rows, target.cols, &region))
    return true;
  RegionWarp warp;
  double inv[9];
  if (!warp.init(mv, source, target.rows, target.cols, true, true) || !opencv_invert3(mv, inv)) return true;
  // Canvas pixel (x, y) shows source pixel (x + inv[2], y + inv[5]).
  *out = {true, -static_cast<ptrdiff_t>(inv[2]), -static_cast<ptrdiff_t>(inv[5])};
  return true;
}

}  // namespace kv::image
