// The coordinate pipeline applied to transform-state records and Python
// points: the internal forms of transform, transform_3d, inverse_transform,
// apply_homography, add_tuples, _trans_pts and _lt that every drawing
// subsystem calls. Record keys are read in the pipeline's documented order.
// Main thread (or any thread holding the interpreter lock).
#pragma once

#include <cmath>

#include "geometry/pipeline.hpp"
#include "pyapi/ref.hpp"

namespace kv {

// ts[key]: a dict lookup for dicts (KeyError when missing), else subscription.
Ref record_get(PyObject* ts, PyObject* key);
// ts.get(key, None) for dicts, else ts.get(key, None) through the method.
Ref record_get_default(PyObject* ts, PyObject* key);
// float(ts[key]).
bool record_float(PyObject* ts, PyObject* key, double* out);
// float(ts[key][i]) for i = 0 .. n-1 (the sequence is read once).
bool record_floats(PyObject* ts, PyObject* key, double* out, int n);

// The numbers of a 2-D view and the pen, read without running any Python
// code: the record is an exact dict whose "is_3d" is False or None, whose
// "rot" and "size" are exact floats or ints, whose "shift" is an exact tuple
// or list of two or more of them, whose "full_transform" is missing or None,
// and which has a "cursor_pos" (any object, borrowed from the record). False,
// with no exception set, for any other record: its reading (and its errors)
// then belong to the general path.
struct PlainView2D {
  double rot, size, shx, shy;
  PyObject* cursor;
};
bool read_plain_2d(PyObject* ts, PlainView2D* out);
// The same with the cosine and sine of the rotation, the pen looked up only
// when asked for (out->cursor null otherwise). The views of the last few
// records are kept while their dicts are unchanged but for the pen (a dict
// watcher tells), so a record drawn with again and again is not read again.
bool plain_view_2d(PyObject* ts, PlainView2D* out, double* c, double* s, bool need_pen);
// Whether ts is a record whose plain view is kept now: a 2-D record, and
// reading any of its keys but the pen runs no Python code and cannot fail.
bool kept_2d(PyObject* ts);

// Internal forms, behaving exactly as the Python-visible functions.
bool transform(PyObject* p, PyObject* ts, geo::Vec2* out);       // (inf, inf) when invisible
bool transform_3d(PyObject* p, PyObject* ts, geo::Vec3* out);
bool inverse_transform(PyObject* s, PyObject* ts, geo::Vec3* out);
// Applies the homography object H to (x, y); `pt` (may be null) is what
// passes through unchanged when w is too small (converted to two floats).
bool apply_homography(PyObject* H, PyObject* pt, double x, double y, geo::Vec2* out);
PyObject* add_tuples(PyObject* t1, PyObject* t2);
// d + (0.0,) * (n - len(d)): an offset padded to a length n, as `move` pads
// it to the cursor's length (d itself when it is a tuple of n or more).
Ref pad_offset(PyObject* d, Py_ssize_t n);

// _lt(aa): cv2.LINE_AA or cv2.LINE_4 of the module `cv2` (the module's `cv2`
// global, looked up now, when null) as an int object: the attribute itself
// when it is an exact int. Never raises: 0, and an unraisable report, when
// the lookup or the conversion fails (null only when memory runs out).
Ref line_type(bool aa, PyObject* cv2 = nullptr);

// Maps world points of one call through a record: reads "is_3d" once, the
// other keys at the first point, then maps each point on doubles. The plain
// 2-D view (no homography, or a 3x3 one) is mapped inline.
class PointMapper {
 public:
  // Reads ts["is_3d"] (KeyError when missing).
  bool begin(PyObject* ts);
  // Starts on a 2-D view already read (read_plain_2d): nothing more is read.
  void begin_plain(PyObject* ts, const PlainView2D& v);
  bool is_3d() const { return is_3d_; }
  // Reads the rest of the record now (as the first point would).
  bool read();
  // A world point object (tuple or None, else "Expected tuple, got ...").
  // *visible is false where _trans_pts gives None.
  bool map_obj(PyObject* p, bool* visible, geo::Vec2* out);
  // A world point given as doubles; z is used in 3-D mode only.
  bool map(double x, double y, double z, bool* visible, geo::Vec2* out) {
    if (!plain_) return map_general(x, y, z, visible, out);
    geo::Vec2 s = geo::view_2d_cs(x, y, cos_, sin_, size_, shx_, shy_);
    if (has_h_) {
      geo::Vec2 hs;
      if (geo::homography(h_, s.x, s.y, &hs)) s = hs;
    }
    *out = s;
    *visible = !std::isinf(s.x);
    return true;
  }

  // The plain numbers of the 2-D view without a homography, for a loop that
  // writes screen points straight into their final form: rotation cosine and
  // sine, size and shift. Available once a point has been mapped; false
  // otherwise, in 3-D mode and when a homography is set.
  struct View2D {
    double c, s, size, shx, shy;
  };
  bool plain_view(View2D* out) const {
    if (!plain_ || has_h_) return false;
    *out = {cos_, sin_, size_, shx_, shy_};
    return true;
  }

 private:
  // The record's keys on the first point, 3-D mode, and a homography that
  // is not 3x3.
  bool map_general(double x, double y, double z, bool* visible, geo::Vec2* out);
  bool read_view_2d();
  bool read_camera_head();
  bool read_camera_tail();

  PyObject* ts_ = nullptr;  // borrowed for the call
  bool is_3d_ = false;
  bool ready_ = false;
  bool plain_ = false;  // ready, 2-D, and no homography or a 3x3 one
  double rot_ = 0, size_ = 1, shx_ = 0, shy_ = 0;
  double cos_ = 1, sin_ = 0;  // of rot_, computed once per record read
  // 2-D homography: fast 3x3 form, or the object for the general path.
  bool has_h_ = false, h_fast_ = false;
  double h_[9] = {};
  Ref h_obj_;
  geo::Camera cam_{};
  geo::CameraView view_{};  // cam_ prepared, once the camera is read
};

// _trans_pts(pts, ts) as a Python list of (x, y) tuples or None.
PyObject* trans_pts(PyObject* pts, PyObject* ts);

// transform_points(ts, points): the rows (x, y) or (x, y, z) of a float64
// array (anything numpy converts to one safely) mapped as `transform` maps
// each row's tuple, into a new (N, 2) float64 array; (inf, inf) where
// `transform` gives it (3-D points not in front of the camera).
PyObject* transform_points(PyObject* ts, PyObject* points);
// inverse_transform_points(ts, points): each row as `inverse_transform`
// maps it, its x and y (the z it gives is always 0.0), as a new (N, 2) array.
PyObject* inverse_transform_points(PyObject* ts, PyObject* points);

}  // namespace kv
