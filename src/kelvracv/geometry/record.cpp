// The coordinate pipeline applied to records and Python points (see record.hpp).

#include "geometry/record.hpp"

#include <cstdint>
#include <cstring>

#include "pyapi/convert.hpp"
#include "pyapi/messages.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv {
namespace {

// numpy.asarray(H, dtype=float64) as a 2-D C-contiguous matrix.
Ref as_matrix(PyObject* H) {
  PyArray_Descr* f64 = PyArray_DescrFromType(NPY_DOUBLE);
  Ref arr = Ref::steal(PyArray_FromAny(H, f64, 0, 0, 0, nullptr));
  if (!arr) return arr;
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  if (PyArray_NDIM(a) != 2) {
    PyErr_Format(PyExc_ValueError, msg::kBufferDims, 2, PyArray_NDIM(a));
    return Ref();
  }
  if (!PyArray_IS_C_CONTIGUOUS(a)) {
    PyErr_SetString(PyExc_ValueError, msg::kNotContiguous);
    return Ref();
  }
  return arr;
}

// A matrix of three columns and at least three rows: the 3x3 product needs
// only its first nine numbers.
bool matrix_is_fast(PyObject* m, double* h) {
  auto* a = reinterpret_cast<PyArrayObject*>(m);
  if (PyArray_DIM(a, 1) != 3 || PyArray_DIM(a, 0) < 3) return false;
  const double* d = static_cast<const double*>(PyArray_DATA(a));
  for (int i = 0; i < 9; i++) h[i] = d[i];
  return true;
}

// The point that passes unchanged: `pt` as a pair of floats, or (x, y).
bool pass_through(PyObject* pt, double x, double y, geo::Vec2* out) {
  if (!pt) {
    *out = {x, y};
    return true;
  }
  if (!PySequence_Check(pt)) {
    PyErr_Format(PyExc_TypeError, msg::kSeqType, static_cast<Py_ssize_t>(2), Py_TYPE(pt)->tp_name);
    return false;
  }
  Py_ssize_t n = PySequence_Size(pt);
  if (n < 0) return false;
  if (n != 2) {
    PyErr_Format(PyExc_TypeError, msg::kSeqSize, static_cast<Py_ssize_t>(2), n);
    return false;
  }
  double v[2];
  for (int i = 0; i < 2; i++) {
    Ref e = Ref::steal(PySequence_GetItem(pt, i));
    if (!e || !to_double(e.get(), &v[i])) return false;
  }
  *out = {v[0], v[1]};
  return true;
}

// M @ [x, y, 1.0] for a matrix of another shape, with NumPy's own errors.
bool apply_general(PyObject* m, PyObject* pt, double x, double y, geo::Vec2* out) {
  npy_intp dim = 3;
  Ref v = Ref::steal(PyArray_SimpleNew(1, &dim, NPY_DOUBLE));
  if (!v) return false;
  double* d = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(v.get())));
  d[0] = x;
  d[1] = y;
  d[2] = 1.0;
  Ref r = Ref::steal(PyNumber_MatrixMultiply(m, v.get()));
  if (!r) return false;
  Ref r2 = Ref::steal(item(r.get(), 2));
  double w;
  if (!r2 || !py_float(r2.get(), &w)) return false;
  if (!(std::fabs(w) > geo::kEpsilon)) return pass_through(pt, x, y, out);
  double res[2];
  for (int i = 0; i < 2; i++) {
    Ref ri = Ref::steal(item(r.get(), i));
    Ref q = ri ? Ref::steal(PyNumber_TrueDivide(ri.get(), r2.get())) : Ref();
    if (!q || !py_float(q.get(), &res[i])) return false;
  }
  *out = {res[0], res[1]};
  return true;
}

bool apply_matrix(PyObject* m, PyObject* pt, double x, double y, geo::Vec2* out) {
  double h[9];
  if (!matrix_is_fast(m, h)) return apply_general(m, pt, x, y, out);
  if (geo::homography(h, x, y, out)) return true;
  return pass_through(pt, x, y, out);
}

bool item_float(PyObject* seq, Py_ssize_t i, double* out) {
  Ref v = Ref::steal(item(seq, i));
  return v && py_float(v.get(), out);
}

// The cosine and sine of the last 2-D rotation mapped: a record keeps its
// rotation from call to call, and its cos and sin cost about 110 of the
// 10,600 instructions of a small filled circle at 30 degrees. Keyed by the
// bit pattern of the degrees (the same bits give the same values). Bound:
// one rotation; a new angle replaces it. Interpreter lock held.
struct RotationState {
  uint64_t bits;
  double c, s;
};
RotationState g_rotation = {0, 1.0, 0.0};  // 0.0 degrees

void rotation_cs(double deg, double* c, double* s) {
  uint64_t bits;
  std::memcpy(&bits, &deg, sizeof bits);
  if (bits != g_rotation.bits) {
    double a = geo::radians(deg);
    g_rotation = {bits, std::cos(a), std::sin(a)};
  }
  *c = g_rotation.c;
  *s = g_rotation.s;
}

// float(p[0]), float(p[1]) and, for a point of three, float(p[2]) (else 0.0).
bool point_floats(PyObject* p, double pt[3]) {
  pt[2] = 0.0;
  if (!item_float(p, 0, &pt[0]) || !item_float(p, 1, &pt[1])) return false;
  Py_ssize_t n = PyObject_Size(p);
  if (n < 0) return false;
  return n != 3 || item_float(p, 2, &pt[2]);
}

// ---- kept records --------------------------------------------------------------
//
// A program draws many shapes with the same record, and between two of them
// it changes at most the pen (line moves it, a program sets it). The plain
// views of the last few records are kept, with the cosine and sine of their
// rotation, and each such dict is watched (the namespaces' dict watcher,
// pyapi/namespace.hpp): any change of it but a rebinding of "cursor_pos"
// drops its view, so the next call reads it afresh. The values a view is
// read from are exact floats, ints, a tuple of them, False or None: nothing
// a program can change without a change of the dict. The pen is never kept;
// each call looks it up.

struct KeptView {
  PyObject* dict = nullptr;  // borrowed; watched while here, cleared at its deallocation
  bool valid = false;
  bool plain = false;  // valid: the record has a plain view (else it goes the general way)
  double rot = 0, size = 1, shx = 0, shy = 0, c = 1, s = 0;
};
// Bound: kKeptViews records; a record not kept takes the slot kept the
// longest (round robin). A view is also dropped when its dict changes (but
// for the pen) or is freed.
constexpr int kKeptViews = 4;
struct KeptViewState {
  KeptView views[kKeptViews];
  int next = 0;
};
KeptViewState g_kept;

bool is_pen_key(PyObject* key) {
  PyObject* pen = KV_ID(cursor_pos);
  return key == pen || (key && PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(pen) &&
                        PyUnicode_Compare(key, pen) == 0);
}

void on_record_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key) {
  for (KeptView& k : g_kept.views) {
    if (k.dict != dict) continue;
    if (event == PyDict_EVENT_DEALLOCATED) {
      k.dict = nullptr;
      k.valid = false;
    } else if (!(k.plain && (event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_ADDED) && is_pen_key(key))) {
      k.valid = false;  // a deleted pen drops the view too: the next call raises its KeyError afresh
    }
  }
}

KeptView* kept_slot(PyObject* ts) {
  for (KeptView& k : g_kept.views)
    if (k.dict == ts) return &k;
  return nullptr;
}

// Keeps the view of ts (already parsed, lasting; null: ts has no plain
// view) in its slot or a new one.
void keep_view(PyObject* ts, const PlainView2D* v, double c, double s) {
  static const bool observing = (set_dict_observer(on_record_event), true);
  (void)observing;
  KeptView* k = kept_slot(ts);
  if (!k) {
    k = &g_kept.views[g_kept.next];
    g_kept.next = (g_kept.next + 1) % kKeptViews;
    if (k->dict) unwatch_other(k->dict);
    k->dict = nullptr;
    k->valid = false;
    if (!watch_other(ts)) return;
    k->dict = ts;
  }
  k->valid = true;
  k->plain = v != nullptr;
  if (v) k->rot = v->rot, k->size = v->size, k->shx = v->shx, k->shy = v->shy, k->c = c, k->s = s;
}

// The kept view of ts, or null when there is none (ts is then parsed).
inline const KeptView* kept_view(PyObject* ts) {
  for (const KeptView& k : g_kept.views)
    if (k.dict == ts) return k.valid ? &k : nullptr;
  return nullptr;
}

bool record_truth(PyObject* ts, PyObject* key, bool* out) {
  Ref v = record_get(ts, key);
  if (!v) return false;
  int t = truth(v.get());
  if (t < 0) return false;
  *out = t != 0;
  return true;
}

}  // namespace

// ---- record access -----------------------------------------------------------

Ref record_get(PyObject* ts, PyObject* key) {
  if (PyDict_CheckExact(ts)) {
    PyObject* v = nullptr;
    int r = PyDict_GetItemRef(ts, key, &v);
    if (r == 0) PyErr_SetObject(PyExc_KeyError, key);
    return Ref::steal(v);
  }
  return Ref::steal(PyObject_GetItem(ts, key));
}

Ref record_get_default(PyObject* ts, PyObject* key) {
  if (PyDict_CheckExact(ts)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(ts, key, &v) < 0) return Ref();
    return v ? Ref::steal(v) : Ref::borrow(Py_None);
  }
  return Ref::steal(PyObject_CallMethod(ts, "get", "OO", key, Py_None));
}

bool record_float(PyObject* ts, PyObject* key, double* out) {
  if (key == KV_ID(size) || key == KV_ID(rot)) {
    if (const KeptView* k = kept_view(ts); k && k->plain) {
      *out = key == KV_ID(size) ? k->size : k->rot;
      return true;
    }
  }
  Ref v = record_get(ts, key);
  return v && py_float(v.get(), out);
}

bool record_floats(PyObject* ts, PyObject* key, double* out, int n) {
  Ref v = record_get(ts, key);
  if (!v) return false;
  for (int i = 0; i < n; i++)
    if (!item_float(v.get(), i, &out[i])) return false;
  return true;
}

namespace {

// An exact float or int as float() converts it; false (no exception) for
// anything else and for ints beyond the double range.
bool plain_float(PyObject* v, double* out) {
  if (PyFloat_CheckExact(v)) {
    *out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  if (!PyLong_CheckExact(v)) return false;
  *out = PyLong_AsDouble(v);
  if (*out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// The keys a plain view reads, as plain_items keeps their values.
enum PlainKey { kIs3d, kRot, kSize, kShift, kFullTransform, kCursorPos, kPlainKeys };

// The values of the plain view's keys in an exact dict (null when missing),
// found by one pass over its items that compares keys by identity with the
// interned names, so that no key's __eq__ or __hash__ runs. False when the
// dict holds a key that is not an exact str, or a str equal to a name but not
// the same object (the identity pass would miss it).
bool plain_items(PyObject* ts, PyObject* vals[kPlainKeys]) {
  PyObject* const names[kPlainKeys] = {KV_ID(is_3d), KV_ID(rot), KV_ID(size), KV_ID(shift),
                                      KV_ID(full_transform), KV_ID(cursor_pos)};
  for (int i = 0; i < kPlainKeys; i++) vals[i] = nullptr;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(ts, &pos, &k, &v)) {
    int i = 0;
    while (i < kPlainKeys && k != names[i]) i++;
    if (i < kPlainKeys) {
      vals[i] = v;
      continue;
    }
    // Another str: an exact str compares without running Python code.
    if (!PyUnicode_CheckExact(k)) return false;
    for (i = 0; i < kPlainKeys; i++)
      if (PyUnicode_GET_LENGTH(k) == PyUnicode_GET_LENGTH(names[i]) && PyUnicode_Compare(k, names[i]) == 0)
        return false;
  }
  return true;
}

// The two numbers of an exact tuple or list of two or more plain floats.
bool plain_pair(PyObject* seq, double* a, double* b) {
  PyObject* sh[2];
  if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) >= 2)
    sh[0] = PyTuple_GET_ITEM(seq, 0), sh[1] = PyTuple_GET_ITEM(seq, 1);
  else if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) >= 2)
    sh[0] = PyList_GET_ITEM(seq, 0), sh[1] = PyList_GET_ITEM(seq, 1);
  else
    return false;
  return plain_float(sh[0], a) && plain_float(sh[1], b);
}

// The plain view of a record in one pass over its items; *lasting tells that
// every value it was read from is immutable (the shift a tuple, not a list),
// so that the view holds for as long as the dict itself is unchanged.
bool parse_plain_2d(PyObject* ts, PlainView2D* out, bool* lasting) {
  PyObject* v[kPlainKeys];
  if (!PyDict_CheckExact(ts) || !plain_items(ts, v)) return false;
  if (v[kIs3d] != Py_False && v[kIs3d] != Py_None) return false;
  if (!v[kRot] || !v[kSize] || !v[kShift] || !v[kCursorPos]) return false;
  if (!plain_float(v[kRot], &out->rot) || !plain_float(v[kSize], &out->size)) return false;
  if (!plain_pair(v[kShift], &out->shx, &out->shy)) return false;
  if (v[kFullTransform] && v[kFullTransform] != Py_None) return false;
  out->cursor = v[kCursorPos];
  *lasting = PyTuple_CheckExact(v[kShift]);
  return true;
}

}  // namespace

bool plain_view_2d(PyObject* ts, PlainView2D* out, double* c, double* s, bool need_pen) {
  if (const KeptView* k = kept_view(ts)) {
    if (!k->plain) return false;
    out->rot = k->rot, out->size = k->size, out->shx = k->shx, out->shy = k->shy;
    *c = k->c, *s = k->s;
    out->cursor = nullptr;
    if (!need_pen) return true;
    // Exact str keys only (the view says so): no Python code runs.
    out->cursor = PyDict_GetItemWithError(ts, KV_ID(cursor_pos));
    if (out->cursor) return true;
    PyErr_Clear();
    return false;
  }
  bool lasting = false;
  if (!parse_plain_2d(ts, out, &lasting)) {
    // No plain view: remembered as such until the dict changes, so that a
    // 3-D record or one with a homography is not parsed at every call.
    if (PyDict_CheckExact(ts)) keep_view(ts, nullptr, 1.0, 0.0);
    return false;
  }
  rotation_cs(out->rot, c, s);
  if (lasting) keep_view(ts, out, *c, *s);
  return true;
}

bool kept_2d(PyObject* ts) {
  const KeptView* k = kept_view(ts);
  return k && k->plain;
}

bool read_plain_2d(PyObject* ts, PlainView2D* out) {
  double c, s;
  return plain_view_2d(ts, out, &c, &s, true);
}

namespace {

// The camera is read in two steps, as transform_3d reads it: rotation and
// size before the point's coordinates, then position, angles and shift.
bool read_camera_head(PyObject* ts, geo::Camera* cam) {
  return record_float(ts, KV_ID(rot), &cam->rot) && record_float(ts, KV_ID(size), &cam->size);
}

bool read_camera_tail(PyObject* ts, geo::Camera* cam) {
  double cp[3], cr[3], sh[2];
  if (!record_floats(ts, KV_ID(cam_pos_3d), cp, 3) || !record_floats(ts, KV_ID(cam_rot_3d), cr, 3) ||
      !record_floats(ts, KV_ID(shift), sh, 2))
    return false;
  cam->cx = cp[0], cam->cy = cp[1], cam->cz = cp[2];
  cam->rx = cr[0], cam->ry = cr[1], cam->rz = cr[2];
  cam->shx = sh[0], cam->shy = sh[1];
  return true;
}

}  // namespace

// ---- internal forms ------------------------------------------------------------

bool transform_3d(PyObject* p, PyObject* ts, geo::Vec3* out) {
  geo::Camera cam;
  double pt[3];
  if (!read_camera_head(ts, &cam) || !point_floats(p, pt) || !read_camera_tail(ts, &cam)) return false;
  *out = geo::view_3d(cam, pt[0], pt[1], pt[2]);
  return true;
}

bool transform(PyObject* p, PyObject* ts, geo::Vec2* out) {
  bool is_3d;
  if (!record_truth(ts, KV_ID(is_3d), &is_3d)) return false;
  if (is_3d) {
    Py_ssize_t n = PyObject_Size(p);
    if (n < 0) return false;
    Ref p3 = Ref::borrow(p);
    if (n != 3) {
      Ref a = Ref::steal(item(p, 0));
      Ref b = a ? Ref::steal(item(p, 1)) : Ref();
      if (!b) return false;
      p3 = Ref::steal(Py_BuildValue("(OOd)", a.get(), b.get(), 0.0));
      if (!p3) return false;
    }
    geo::Vec3 r;
    if (!transform_3d(p3.get(), ts, &r)) return false;
    if (r.z >= geo::kEpsilon)
      *out = {r.x, r.y};
    else
      *out = {HUGE_VAL, HUGE_VAL};
    return true;
  }
  double x, y, rot, size, sh[2];
  if (!item_float(p, 0, &x) || !item_float(p, 1, &y)) return false;
  if (!record_float(ts, KV_ID(rot), &rot) || !record_float(ts, KV_ID(size), &size) ||
      !record_floats(ts, KV_ID(shift), sh, 2))
    return false;
  double c, sn;
  rotation_cs(rot, &c, &sn);
  geo::Vec2 v = geo::view_2d_cs(x, y, c, sn, size, sh[0], sh[1]);
  Ref H = record_get_default(ts, KV_ID(full_transform));
  if (!H) return false;
  if (H.get() == Py_None) {
    *out = v;
    return true;
  }
  return apply_homography(H.get(), nullptr, v.x, v.y, out);
}

bool inverse_transform(PyObject* s, PyObject* ts, geo::Vec3* out) {
  double x, y, rot, size, sh[2];
  if (!item_float(s, 0, &x) || !item_float(s, 1, &y)) return false;
  if (!record_float(ts, KV_ID(rot), &rot) || !record_float(ts, KV_ID(size), &size)) return false;
  Ref Hinv = record_get_default(ts, KV_ID(full_transform_inv));
  if (!Hinv) return false;
  if (Hinv.get() != Py_None) {
    geo::Vec2 v;
    if (!apply_homography(Hinv.get(), nullptr, x, y, &v)) return false;
    x = v.x;
    y = v.y;
  }
  if (!record_floats(ts, KV_ID(shift), sh, 2)) return false;
  *out = geo::inverse_view_2d(x, y, rot, size, sh[0], sh[1]);
  return true;
}

bool apply_homography(PyObject* H, PyObject* pt, double x, double y, geo::Vec2* out) {
  Ref m = as_matrix(H);
  return m && apply_matrix(m.get(), pt, x, y, out);
}

// The Python-visible form: the matrix is converted before the point is read.
PyObject* apply_homography_py(PyObject* H, PyObject* pt) {
  Ref m = as_matrix(H);
  double x, y;
  if (!m || !item_float(pt, 0, &x) || !item_float(pt, 1, &y)) return nullptr;
  geo::Vec2 r;
  if (!apply_matrix(m.get(), pt, x, y, &r)) return nullptr;
  double v[2] = {r.x, r.y};
  return float_tuple(v, 2);
}

PyObject* add_tuples(PyObject* t1, PyObject* t2) {
  Py_ssize_t n1 = PyObject_Size(t1);
  if (n1 < 0) return nullptr;
  Py_ssize_t n = 2;
  if (n1 == 3) {
    Py_ssize_t n2 = PyObject_Size(t2);
    if (n2 < 0) return nullptr;
    if (n2 == 3) n = 3;
  }
  Ref out = Ref::steal(PyTuple_New(n));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < n; i++) {
    Ref a = Ref::steal(item(t1, i));
    Ref b = a ? Ref::steal(item(t2, i)) : Ref();
    PyObject* s = b ? PyNumber_Add(a.get(), b.get()) : nullptr;
    if (!s) return nullptr;
    PyTuple_SET_ITEM(out.get(), i, s);
  }
  return out.release();
}

// d + (0.0,) * (n - len(d)), as `move` pads an offset to the cursor's length.
Ref pad_offset(PyObject* d, Py_ssize_t n) {
  Py_ssize_t k = PyObject_Size(d);
  if (k < 0) return Ref();
  if (PyTuple_CheckExact(d) && k >= n) return Ref::borrow(d);
  Py_ssize_t extra = n - k > 0 ? n - k : 0;
  Ref zeros = Ref::steal(PyTuple_New(extra));
  if (!zeros) return zeros;
  for (Py_ssize_t i = 0; i < extra; i++) {
    PyObject* z = PyFloat_FromDouble(0.0);
    if (!z) return Ref();
    PyTuple_SET_ITEM(zeros.get(), i, z);
  }
  return Ref::steal(PyNumber_Add(d, zeros.get()));
}

Ref line_type(bool aa, PyObject* cv2) {
  PyObject* name = aa ? KV_ID(LINE_AA) : KV_ID(LINE_4);
  Ref v = cv2 ? attr_of(cv2, name) : global_attr(KV_ID(cv2), name);
  if (v && PyLong_CheckExact(v.get())) return v;
  long r = -1;
  if (v) {
    r = PyLong_AsLong(v.get());
    if (r == -1 && PyErr_Occurred()) v = Ref();
  }
  if (!v) {
    PyErr_FormatUnraisable("Exception ignored in: 'kelvracv._kelvra_core._lt'");
    r = 0;
  }
  return Ref::steal(PyLong_FromLong(r));
}

// ---- point mapper ----------------------------------------------------------------

bool PointMapper::begin(PyObject* ts) {
  ts_ = ts;
  ready_ = plain_ = false;
  if (kept_2d(ts)) {  // "is_3d" is False or None; the rest is read at the first point
    is_3d_ = false;
    return true;
  }
  return record_truth(ts, KV_ID(is_3d), &is_3d_);
}

void PointMapper::begin_plain(PyObject* ts, const PlainView2D& v) {
  ts_ = ts;
  is_3d_ = has_h_ = false;
  ready_ = plain_ = true;
  rot_ = v.rot, size_ = v.size, shx_ = v.shx, shy_ = v.shy;
  rotation_cs(rot_, &cos_, &sin_);
}

bool PointMapper::read_view_2d() {
  // The view as it stands now (the point's own conversion may have run
  // Python code that changed the record: then it is read afresh).
  PlainView2D v;
  if (plain_view_2d(ts_, &v, &cos_, &sin_, false)) {
    has_h_ = false;
    ready_ = plain_ = true;
    rot_ = v.rot, size_ = v.size, shx_ = v.shx, shy_ = v.shy;
    return true;
  }
  double sh[2];
  if (!record_float(ts_, KV_ID(rot), &rot_) || !record_float(ts_, KV_ID(size), &size_) ||
      !record_floats(ts_, KV_ID(shift), sh, 2))
    return false;
  shx_ = sh[0];
  shy_ = sh[1];
  rotation_cs(rot_, &cos_, &sin_);
  Ref H = record_get_default(ts_, KV_ID(full_transform));
  if (!H) return false;
  has_h_ = H.get() != Py_None;
  if (has_h_) {
    h_obj_ = as_matrix(H.get());
    if (!h_obj_) return false;
    h_fast_ = matrix_is_fast(h_obj_.get(), h_);
  }
  ready_ = true;
  plain_ = !has_h_ || h_fast_;
  return true;
}

bool PointMapper::read_camera_head() { return kv::read_camera_head(ts_, &cam_); }

bool PointMapper::read_camera_tail() {
  if (!kv::read_camera_tail(ts_, &cam_)) return false;
  view_ = geo::prepare_camera(cam_);
  ready_ = true;
  return true;
}

bool PointMapper::read() {
  if (ready_) return true;
  if (is_3d_) return read_camera_head() && read_camera_tail();
  return read_view_2d();
}

bool PointMapper::map_general(double x, double y, double z, bool* visible, geo::Vec2* out) {
  if (is_3d_) {
    if (!ready_ && (!read_camera_head() || !read_camera_tail())) return false;
    geo::Vec3 r = geo::view_3d(view_, x, y, z);
    *visible = r.z >= geo::kEpsilon;
    *out = {r.x, r.y};
    return true;
  }
  if (!ready_ && !read_view_2d()) return false;
  if (plain_) return map(x, y, z, visible, out);
  geo::Vec2 v = geo::view_2d_cs(x, y, cos_, sin_, size_, shx_, shy_);
  if (!apply_general(h_obj_.get(), nullptr, v.x, v.y, out)) return false;
  *visible = !std::isinf(out->x);
  return true;
}

bool PointMapper::map_obj(PyObject* p, bool* visible, geo::Vec2* out) {
  double pt[3] = {0.0, 0.0, 0.0};
  // A 2-D point of two plain numbers: converted without a call.
  if (!is_3d_ && PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) >= 2 && plain_float(PyTuple_GET_ITEM(p, 0), &pt[0]) &&
      plain_float(PyTuple_GET_ITEM(p, 1), &pt[1]))
    return map(pt[0], pt[1], 0.0, visible, out);
  if (!body_tuple(p)) return false;
  if (is_3d_) {
    if (!ready_ && !read_camera_head()) return false;
    if (!point_floats(p, pt)) return false;
    if (!ready_ && !read_camera_tail()) return false;
    return map(pt[0], pt[1], pt[2], visible, out);
  }
  if (!item_float(p, 0, &pt[0]) || !item_float(p, 1, &pt[1])) return false;
  return map(pt[0], pt[1], 0.0, visible, out);
}

PyObject* trans_pts(PyObject* pts, PyObject* ts) {
  PointMapper mapper;
  if (!mapper.begin(ts)) return nullptr;
  Ref seq = Ref::steal(PySequence_Fast(pts, "points must be a sequence"));
  if (!seq) return nullptr;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  Ref out = Ref::steal(PyList_New(n));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < n; i++) {
    bool visible;
    geo::Vec2 v;
    if (!mapper.map_obj(PySequence_Fast_GET_ITEM(seq.get(), i), &visible, &v)) return nullptr;
    double xy[2] = {v.x, v.y};
    PyObject* e = visible ? float_tuple(xy, 2) : Py_NewRef(Py_None);
    if (!e) return nullptr;
    PyList_SET_ITEM(out.get(), i, e);
  }
  return out.release();
}

// ---- point arrays ------------------------------------------------------------------

namespace {

// numpy.asarray(points, dtype=float64) in C order, of shape (N, 2) or
// (N, 3); an empty sequence counts as no points. ValueError naming the shape
// for any other. *n is N, *cols the row length (2 when there are no points).
Ref point_rows(PyObject* points, npy_intp* n, npy_intp* cols) {
  Ref arr = Ref::steal(PyArray_FromAny(points, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_IN_ARRAY, nullptr));
  if (!arr) return arr;
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  if (PyArray_SIZE(a) == 0 && PyArray_NDIM(a) == 1) {
    *n = 0, *cols = 2;
    return arr;
  }
  if (PyArray_NDIM(a) != 2 || (PyArray_DIM(a, 1) != 2 && PyArray_DIM(a, 1) != 3)) {
    Ref shape = Ref::steal(PyObject_GetAttrString(arr.get(), "shape"));
    if (shape) PyErr_Format(PyExc_ValueError, msg::kPointRows, shape.get());
    return Ref();
  }
  *n = PyArray_DIM(a, 0), *cols = PyArray_DIM(a, 1);
  return arr;
}

// A new float64 array of shape (n, 2).
Ref new_rows(npy_intp n, double** data) {
  npy_intp dims[2] = {n, 2};
  Ref out = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (out) *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  return out;
}

}  // namespace

PyObject* transform_points(PyObject* ts, PyObject* points) {
  // The mode is read first, then the points, then the rest of the record, as
  // transform reads them.
  PointMapper mapper;
  if (!mapper.begin(ts)) return nullptr;
  npy_intp n, cols;
  Ref rows = point_rows(points, &n, &cols);
  if (!rows || !mapper.read()) return nullptr;
  double* out;
  Ref result = new_rows(n, &out);
  if (!result) return nullptr;
  const double* in = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
  const bool is_3d = mapper.is_3d();
  for (npy_intp i = 0; i < n; i++, in += cols, out += 2) {
    bool visible;
    geo::Vec2 v;
    if (!mapper.map(in[0], in[1], cols == 3 ? in[2] : 0.0, &visible, &v)) return nullptr;
    // transform's 3-D answer for a point not in front of the camera
    if (is_3d && !visible) v = {HUGE_VAL, HUGE_VAL};
    out[0] = v.x, out[1] = v.y;
  }
  return result.release();
}

PyObject* inverse_transform_points(PyObject* ts, PyObject* points) {
  npy_intp n, cols;
  Ref rows = point_rows(points, &n, &cols);
  double rot, size, sh[2];
  if (!rows || !record_float(ts, KV_ID(rot), &rot) || !record_float(ts, KV_ID(size), &size)) return nullptr;
  Ref Hinv = record_get_default(ts, KV_ID(full_transform_inv));
  if (!Hinv) return nullptr;
  Ref m;
  double h[9];
  bool fast = false;
  if (Hinv.get() != Py_None) {
    m = as_matrix(Hinv.get());
    if (!m) return nullptr;
    fast = matrix_is_fast(m.get(), h);
  }
  if (!record_floats(ts, KV_ID(shift), sh, 2)) return nullptr;
  double a = geo::radians(-rot), c = std::cos(a), s = std::sin(a);
  double* out;
  Ref result = new_rows(n, &out);
  if (!result) return nullptr;
  const double* in = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
  for (npy_intp i = 0; i < n; i++, in += cols, out += 2) {
    geo::Vec2 v = {in[0], in[1]};
    if (fast) {
      geo::Vec2 hv;
      if (geo::homography(h, v.x, v.y, &hv)) v = hv;
    } else if (m && !apply_general(m.get(), nullptr, v.x, v.y, &v)) {
      return nullptr;
    }
    geo::Vec3 w = geo::inverse_view_2d_cs(v.x, v.y, c, s, size, sh[0], sh[1]);
    out[0] = w.x, out[1] = w.y;
  }
  return result.release();
}

}  // namespace kv
