// Mode switches of a record: 3-D camera on or off (with the cursor converted
// between two and three coordinates), and the homography pair estimated from
// corresponding point lists. Main thread.

#include "geometry/state.hpp"

#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/messages.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv::state {

PyObject* set_3d_mode(PyObject* ts, PyObject* is_3d) {
  if (!arg_dict(ts, "ts", false)) return nullptr;
  int on = truth(is_3d);
  if (on < 0) return nullptr;
  if (PyDict_SetItem(ts, KV_ID(is_3d), on ? Py_True : Py_False) < 0) return nullptr;
  Ref cp = record_get(ts, KV_ID(cursor_pos));
  if (!cp) return nullptr;
  Py_ssize_t n = PyObject_Size(cp.get());
  if (n < 0) return nullptr;
  Ref next;
  if (on && n == 2) {
    Ref x = Ref::steal(item(cp.get(), 0));
    Ref y = x ? Ref::steal(item(cp.get(), 1)) : Ref();
    if (!y) return nullptr;
    next = Ref::steal(Py_BuildValue("(OOd)", x.get(), y.get(), 0.0));
  } else if (!on && n == 3) {
    Ref x = Ref::steal(item(cp.get(), 0));
    Ref y = x ? Ref::steal(item(cp.get(), 1)) : Ref();
    if (!y) return nullptr;
    next = Ref::steal(PyTuple_Pack(2, x.get(), y.get()));
  } else {
    Py_RETURN_NONE;
  }
  if (!next || PyDict_SetItem(ts, KV_ID(cursor_pos), next.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

namespace {

// np.asarray(pts, dtype=np.float64), required to be two-dimensional.
Ref point_matrix(PyObject* pts) {
  Ref np = global(KV_ID(np));
  if (!np) return np;
  Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), KV_ID(asarray)));
  Ref f64 = Ref::steal(PyObject_GetAttr(np.get(), KV_ID(float64)));
  if (!asarray || !f64) return Ref();
  Ref arr = call(asarray.get(), {pts, f64.get()}, KV_KW(dtype));
  if (!arr) return arr;
  int ndim = PyArray_Check(arr.get()) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr.get())) : -1;
  if (ndim != 2) {
    if (ndim < 0) {
      PyErr_Format(PyExc_ValueError, msg::kCannotConvert, Py_TYPE(arr.get())->tp_name, "a float64 matrix");
    } else {
      PyErr_Format(PyExc_ValueError, msg::kBufferDims, 2, ndim);
    }
    return Ref();
  }
  return arr;
}

// First of the two values of cv2.findHomography(a, b, cv2.RANSAC, 5.0).
Ref find_homography(PyObject* cv2, PyObject* a, PyObject* b) {
  Ref fn = Ref::steal(PyObject_GetAttr(cv2, KV_ID(findHomography)));
  Ref ransac = Ref::steal(PyObject_GetAttr(cv2, KV_ID(RANSAC)));
  Ref thresh = Ref::steal(PyFloat_FromDouble(5.0));
  if (!fn || !ransac || !thresh) return Ref();
  Ref res = call(fn.get(), {a, b, ransac.get(), thresh.get()});
  if (!res) return res;
  // H, _ = result
  Ref pair[2];
  if (!unpack(res.get(), pair, 2, Unpack::kInterpreter)) return Ref();
  return pair[0];
}

}  // namespace

PyObject* set_homography_core(PyObject* src_pts, PyObject* dst_pts) {
  if (!arg_list(src_pts, "src_pts") || !arg_list(dst_pts, "dst_pts")) return nullptr;
  Ref src = point_matrix(src_pts);
  Ref dst = src ? point_matrix(dst_pts) : Ref();
  if (!dst) return nullptr;
  Ref cv2 = global(KV_ID(cv2));
  if (!cv2) return nullptr;
  Ref H = find_homography(cv2.get(), src.get(), dst.get());
  Ref H_inv = H ? find_homography(cv2.get(), dst.get(), src.get()) : Ref();
  if (!H_inv) return nullptr;
  if (H.get() == Py_None || H_inv.get() == Py_None) return PyTuple_Pack(2, Py_None, Py_None);
  return PyTuple_Pack(2, H.get(), H_inv.get());
}

}  // namespace kv::state
