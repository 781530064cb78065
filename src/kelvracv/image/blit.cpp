// Image blitting as a plan and its drawing (see blit.hpp). The plan maps the
// corners through the coordinate pipeline, computes the perspective matrix
// here where cv2.getPerspectiveTransform is OpenCV's own and the result is
// certain to be its own, and picks the warp: the module's
// cv2.warpPerspective onto a canvas-sized image, or, where that function is
// OpenCV's own and runs the kernels the region warp reproduces, the region
// warp over just the pixels the image can reach. Drawing is one compositing
// pass over the canvas bytes. Main thread, interpreter lock held but while
// bytes move (composite_unlocked).

#include "image/blit.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "core/bindings.hpp"
#include "core/opencv.hpp"
#include "geometry/record.hpp"
#include "image/composite.hpp"
#include "image/tinted.hpp"
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
Region pass_region(PyObject* warp_fn, PyObject* flags, const double* m, double w, double h,
                   const CanvasView& canvas) {
  Region all = whole(canvas);
  // OpenCV's own warp, whatever its version: it leaves zero outside the warped quad.
  PyObject* own = opencv::function(opencv::kWarpPerspective);
  if (!own || warp_fn != own || !m) return all;
  if (!PyLong_CheckExact(flags) || PyLong_AsLong(flags) != kInterLinear) return all;
  Region r;
  if (!warp_support(m, w, h, canvas.rows, canvas.cols, &r)) return all;
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

// The perspective matrices of the last few blits, by their corners: an
// image drawn at the same place frame after frame (a HUD, a label, a still
// sprite) solves its system once. Owner: native_matrix, with the
// interpreter lock held. Bound: kSlots entries. Eviction: the oldest entry
// makes room.
struct MatrixCacheState {
  static constexpr int kSlots = 8;
  float corners[kSlots][16] = {};  // the float source and destination corners
  double m[kSlots][9] = {};
  bool solved[kSlots] = {};  // false: only OpenCV can tell
  bool used[kSlots] = {};
  int next = 0;
};
MatrixCacheState g_matrices;

// OpenCV's perspective matrix of the corners computed here; false where
// only OpenCV can tell. The same corners give the same bits, so a kept
// answer is the computed one.
bool native_matrix(const double src[8], const double dst[8], double m[9]) {
  float key[16];
  for (int i = 0; i < 8; i++) {
    if (!(std::fabs(src[i]) <= FLT_MAX && std::fabs(dst[i]) <= FLT_MAX)) return false;
    key[i] = static_cast<float>(src[i]), key[8 + i] = static_cast<float>(dst[i]);
  }
  MatrixCacheState& c = g_matrices;
  for (int e = 0; e < c.kSlots; e++)
    if (c.used[e] && std::memcmp(c.corners[e], key, sizeof key) == 0) {
      std::memcpy(m, c.m[e], sizeof c.m[e]);
      return c.solved[e];
    }
  const bool solved = opencv_perspective_transform(key, key + 8, m);
  const int e = c.next;
  c.next = (c.next + 1) % c.kSlots;
  std::memcpy(c.corners[e], key, sizeof key);
  std::memcpy(c.m[e], m, sizeof c.m[e]);
  c.solved[e] = solved, c.used[e] = true;
  return solved;
}

// The matrix as the 3x3 float64 array OpenCV's getPerspectiveTransform gives.
Ref matrix_array(const double m[9]) {
  npy_intp dims[2] = {3, 3};
  Ref a = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  if (a) std::memcpy(PyArray_DATA(as_array(a.get())), m, 9 * sizeof(double));
  return a;
}

// The matrix as nine doubles, when it is a C-contiguous 3x3 float64 array.
const double* matrix_values(PyObject* matrix) {
  if (!PyArray_Check(matrix)) return nullptr;
  PyArrayObject* m = as_array(matrix);
  if (PyArray_TYPE(m) != NPY_DOUBLE || PyArray_NDIM(m) != 2 || PyArray_DIM(m, 0) != 3 || PyArray_DIM(m, 1) != 3 ||
      !PyArray_IS_C_CONTIGUOUS(m))
    return nullptr;
  return static_cast<const double*>(PyArray_DATA(m));
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
// can put the image anywhere.
bool takes_corners(const double* m, const double src[8], const double dst[8]) {
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

// The perspective matrix from the image's corners to the four corners
// mapped by `mapper` (begun here on ts unless ts is null), into plan->m (as
// doubles) and plan->matrix (the object, when OpenCV's function or a
// program's made it); neither when a corner cannot be mapped or the quad
// has no area.
// plain_world: the four corners as the x, y doubles of 2-D points, where the
// objects of dest_world would hold just those floats; used outside 3-D mode
// (there, make_objects fills dest_world first).
bool corner_matrix(PointMapper& mapper, PyObject* ts, double w, double h, PyObject* const dest_world[4], BlitPlan* plan,
                   const double* plain_world = nullptr, bool (*make_objects)(void*) = nullptr,
                   void* objects_arg = nullptr) {
  if (ts && !mapper.begin(ts)) return false;
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
  PyObject* own = opencv::function(opencv::kGetPerspectiveTransform);
  const bool own_solver = own && get_m.get() == own;
  if (own_solver && opencv::on(opencv::kPerspectiveSolver) && native_matrix(corners, dst, plan->m)) {
    plan->has_m = takes_corners(plan->m, corners, dst);
    return true;
  }
  Ref src_pts = points_f32(corners), dst_pts = points_f32(dst);
  if (!src_pts || !dst_pts) return false;
  Ref m = call(get_m.get(), {src_pts.get(), dst_pts.get()});
  if (!m) return false;
  // A 3x3 float64 result is read as nine doubles; any other (a rebound
  // function's) is passed on to the warp as it is.
  const double* v = matrix_values(m.get());
  if (v) std::memcpy(plan->m, v, sizeof plan->m);
  if (own_solver && !(v && takes_corners(v, corners, dst))) {
    if (v) return true;  // OpenCV's fallback matrix: nothing drawn
  }
  plan->has_m = v != nullptr;
  plan->matrix = std::move(m);
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

// Whether m has the form [1 0 a; 0 1 b; 0 0 1].
bool translation_form(const double* v) {
  return v[0] == 1.0 && v[1] == 0.0 && v[3] == 0.0 && v[4] == 1.0 && v[6] == 0.0 && v[7] == 0.0 && v[8] == 1.0;
}

// Plans the region warp when every precondition holds (plan->kind then
// kRegion). whole_shift: only for a whole-pixel translation (see
// RegionWarp::init).
bool plan_region(PyObject* arr, PyObject* src_img, const double* mv, bool whole_shift, BlitPlan* plan) {
  ImageView target, image;
  if (!canvas_for(arr, plan->channels, &target) || !source_view(src_img, &image)) return false;
  WarpSource source;
  if (!region_source(image, target, &source) || source.rows != plan->rows || source.cols != plan->cols ||
      source.channels != plan->channels)
    return true;
  CanvasView canvas = to_canvas(target);
  Region region;
  if (canvas.rows < 1 || canvas.cols < 1 ||
      !warp_support(mv, static_cast<double>(plan->cols), static_cast<double>(plan->rows), canvas.rows, canvas.cols,
                    &region, true))
    return true;
  const WarpArithmetic arithmetic =
      opencv::fixed_point_warp() ? WarpArithmetic::kFixedPoint : WarpArithmetic::kFloatKernels;
  if (!plan->warp.init(mv, source, canvas.rows, canvas.cols, plan->channels == 4, whole_shift, arithmetic))
    return true;
  // An image moved by whole pixels: only the pixels it lands on change the
  // canvas (the warp is 0 elsewhere, which neither compositing draws).
  ptrdiff_t r0, r1, c0, c1;
  plan->moved = plan->warp.whole_footprint(&r0, &r1, &c0, &c1);
  if (plan->moved) {
    plan->image = source.data, plan->stride = source.row_stride, plan->x0 = c0, plan->y0 = r0;
    region.row0 = std::max(region.row0, r0), region.row1 = std::min(region.row1, r1);
    region.col0 = std::max(region.col0, c0), region.col1 = std::min(region.col1, c1);
    region.has_quad = false;
  }
  plan->canvas = canvas;
  plan->region = region;
  plan->kind = BlitPlan::kRegion;
  return true;
}

// The text image's pixels from which its blend through colour tables runs
// with the interpreter lock let go. bench/bench_threads.py measured it at
// 0.2-1.0 ns a pixel (most of a text image is clear): smaller text (most of
// it) is done before a waiter could take the lock, holding it.
constexpr double kUnlockTintedPixels = 32768;

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

// The region warp of a plan composited into the canvas, with the lock let
// go when the region is large (arr and the image are kept alive meanwhile).
void draw_region(PyObject* arr, PyObject* src_img, BlitPlan& plan, const uint8_t* ink) {
  const Region& region = plan.region;
  if (region.row0 >= region.row1 || region.col0 >= region.col1) return;
  // A turned quad is narrowed row by row; an upright one has the same columns in every row.
  bool upright = true;
  for (int i = 0; i < 4; i++) {
    const int j = (i + 1) % 4;
    upright = upright && (region.qx[i] == region.qx[j] || region.qy[i] == region.qy[j]);
  }
  RegionRows rows(plan.warp, plan.channels, upright ? 8 : 1);
  const CanvasView& c = plan.canvas;
  const bool packed = c.channels == 3 && c.col_stride == 3 && c.channel_stride == 1;
  if (ink && plan.moved && plan.channels == 4 && packed) {
    TintTables tables(ink);
    if (tables.ready()) {
      const double pixels = static_cast<double>(region.row1 - region.row0) * (region.col1 - region.col0);
      Ref keep_canvas = Ref::borrow(arr), keep_image = Ref::borrow(src_img);
      run_unlocked(pixels, kUnlockTintedPixels, [&] { tables.composite(rows, c, region); });
      return;
    }
  }
  if (plan.moved && plan.channels == 4) {
    // Each row a piece of an image row: read in place.
    const double pixels = static_cast<double>(region.row1 - region.row0) * (region.col1 - region.col0);
    Ref keep_canvas = Ref::borrow(arr), keep_image = Ref::borrow(src_img);
    run_unlocked(pixels, kUnlockPixels,
                 [&] { composite_alpha_at(plan.image, plan.stride, plan.x0, plan.y0, c, region); });
    return;
  }
  composite_unlocked(arr, src_img, rows, c, region);
}

// The plan's warp through the module's cv2.warpPerspective, composited over
// the part of the canvas it can reach.
bool draw_opencv(PyObject* arr, PyObject* src_img, BlitPlan& plan) {
  const npy_intp W = plan.cols, H = plan.rows, channels = plan.channels;
  if (!plan.matrix && !(plan.matrix = matrix_array(plan.m))) return false;
  Ref warped;
  if (!warp(arr, src_img, plan.matrix.get(), plan.warp_fn.get(), plan.flags.get(), &warped, plan.without_ipp))
    return false;
  if (warped.get() == Py_None) return true;
  Ref keep;
  WarpedView wv;
  ImageView target;
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
    region = pass_region(plan.warp_fn.get(), plan.flags.get(), plan.has_m ? plan.m : nullptr,
                         static_cast<double>(W), static_cast<double>(H), canvas);
  WarpedImageRows rows(wv);
  composite_unlocked(arr, keep.get(), rows, canvas, region);
  return true;
}

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


// How the pixels are made, once the matrix is known: the region warp where
// it reproduces OpenCV's own warp, else the module's cv2.warpPerspective.
bool plan_pixels(PyObject* arr, PyObject* src_img, BlitPlan* plan) {
  if (!warp_function(&plan->warp_fn, &plan->flags)) return false;
  const int region_warp = region_warp_applies(plan->warp_fn.get(), plan->flags.get());
  const double* mv = region_warp != kNone && plan->has_m ? plan->m : nullptr;
  if (mv) {
    // A whole-pixel move first: the same bytes whatever kernels OpenCV runs
    // (tried where the matrix has a translation's form, whose inverse OpenCV
    // computes exactly; any other matrix goes on below).
    if (translation_form(mv) && !plan_region(arr, src_img, mv, true, plan)) return false;
    if (plan->kind == BlitPlan::kRegion) return true;
    if (region_warp == kFull) {
      const int reproduced = kernels_reproduced();  // asked each time: a program may switch them
      if (reproduced < 0) return false;
      if (reproduced == 1 && !plan_region(arr, src_img, mv, false, plan)) return false;
      if (plan->kind == BlitPlan::kRegion) return true;
    }
  }
  // Where the native warp declines or is off (a source that shares bytes
  // with the canvas or is not packed, a singular or huge matrix, a processor
  // without AVX2 with FMA3, KELVRACV_NO_AVX2, OpenCV's optimisations
  // switched off), OpenCV's own warp of a verified release computes it with
  // the arithmetic blit's pixels are: IPP off.
  plan->without_ipp = region_warp != kNone && opencv::verified_warp_release();
  plan->kind = BlitPlan::kOpenCV;
  return true;
}

}  // namespace

bool plan_blit(PyObject* arr, PointMapper& mapper, PyObject* ts, PyObject* pen, PyObject* src_img, double sx,
               double sy, BlitPlan* plan) {
  plan->kind = BlitPlan::kNothing;
  ImageView image, target;
  if (!source_view(src_img, &image) || !canvas_for(arr, image.channels, &target) ||
      !check_warp_size(target, image.channels))
    return false;
  plan->rows = image.rows, plan->cols = image.cols, plan->channels = image.channels;
  const double w = static_cast<double>(image.cols), h = static_cast<double>(image.rows);
  LazyCorners corners{pen, w * sx, h * sy};
  double plain[8];
  const bool plain_corners = plain_pen(pen, corners.w, corners.h, plain);
  if (!plain_corners && !corners.make()) return false;
  if (!corner_matrix(mapper, ts, w, h, corners.dest_world, plan, plain_corners ? plain : nullptr,
                     LazyCorners::make_them, &corners))
    return false;
  if (!plan->has_m && !plan->matrix) return true;  // a corner cannot be mapped
  return plan_pixels(arr, src_img, plan);
}

bool draw_blit(PyObject* arr, PyObject* src_img, BlitPlan& plan, const uint8_t* ink) {
  switch (plan.kind) {
    case BlitPlan::kNothing:
      return true;
    case BlitPlan::kRegion:
      draw_region(arr, src_img, plan, ink);
      return true;
    case BlitPlan::kOpenCV:
      return draw_opencv(arr, src_img, plan);
  }
  return true;
}

bool blit(PyObject* arr, PyObject* ts, PyObject* src_img, PyObject* scale_factor) {
  // The image's and the canvas's facts are checked before the scale factor
  // is read, and read again (validated) after every step that can run Python code.
  ImageView image, target;
  if (!source_view(src_img, &image) || !canvas_for(arr, image.channels, &target) ||
      !check_warp_size(target, image.channels))
    return false;
  double sx, sy;
  Ref f0 = Ref::steal(item(scale_factor, 0));
  if (!f0 || !py_float(f0.get(), &sx)) return false;
  Ref f1 = Ref::steal(item(scale_factor, 1));
  if (!f1 || !py_float(f1.get(), &sy)) return false;
  Ref cp = record_get(ts, KV_ID(cursor_pos));
  if (!cp) return false;
  PointMapper mapper;
  BlitPlan plan;
  return plan_blit(arr, mapper, ts, cp.get(), src_img, sx, sy, &plan) && draw_blit(arr, src_img, plan);
}

}  // namespace kv::image
