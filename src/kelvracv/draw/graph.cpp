// graph: the adaptive plot of a user function. Initial sampling, stack-ordered
// bisection of segments whose screen ends lie too far apart, and splitting of
// the result into polylines at unmappable, non-finite or far off-canvas
// points. The record is read once per call (one PointMapper), and each
// accepted point keeps the screen position it was mapped to, so the final
// drawing does not map anything twice. Main thread, interpreter lock held.

#include <cmath>
#include <vector>

#include "draw/draw.hpp"
#include "draw/support.hpp"
#include "geometry/record.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/namespace.hpp"
#include "pyapi/numpy.hpp"

namespace kv::draw {
namespace {

// ---- types -------------------------------------------------------------------

constexpr double kMargin = 1200.0;  // off-canvas points beyond this split the curve

// Calls of the user's function per plot. The initial sampling is refused
// beyond it (a resolution of 2**31 would call the function for an hour);
// refinement stops once it is spent and the remaining segments are drawn as
// they are (bisection to depth max_depth can ask for 2**max_depth calls per
// segment). Half a second of calls of a trivial function; a plot with the
// default settings makes about 3300 at most.
constexpr long long kMaxCalls = 1 << 20;

struct WorldPt {
  double x, y;  // z is the cursor's, shared by every point
};

// A segment waiting on the work stack.
struct Segment {
  WorldPt p1, p2;
  int depth;
};

// A point of the output list with the screen position it was mapped to.
struct ScreenPt {
  bool visible;
  geo::Vec2 s;
};

using detail::Coord;

// ---- internal helpers ----------------------------------------------------------

// func(a) as a new reference; nullptr with the exception left set.
Ref call_func(PyObject* func, double a) {
  Ref arg = Ref::steal(PyFloat_FromDouble(a));
  if (!arg) return arg;
  PyObject* argv[2] = {nullptr, arg.get()};
  return Ref::steal(PyObject_Vectorcall(func, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// After a failed call of the user's function: true (and the error cleared)
// when it is an Exception to absorb, false when it must propagate.
bool absorb() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// float(func(a)); *ok false when an absorbed exception dropped the sample.
bool sample_value(PyObject* func, double a, double* v, bool* ok) {
  Ref r = call_func(func, a);
  if (r && py_float(r.get(), v)) {
    *ok = true;
    return true;
  }
  *ok = false;
  return absorb();
}

// cy + result * y_scale, with the result object as returned, then float().
bool refined_y(PyObject* result, double y_scale, const Coord& cy, double* out) {
  double r;
  if (detail::fast_number(result, &r)) return cy.add_to(r * y_scale, out);  // same sum, either order
  Ref ys = Ref::steal(PyFloat_FromDouble(y_scale));
  Ref prod = ys ? Ref::steal(PyNumber_Multiply(result, ys.get())) : Ref();
  Ref sum = prod ? Ref::steal(PyNumber_Add(cy.obj, prod.get())) : Ref();
  return sum && py_float(sum.get(), out);
}

// W and H from arr.shape.
bool canvas_size(PyObject* arr, double* w, double* h) {
  if (PyArray_Check(arr) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr)) >= 2) {
    auto* a = reinterpret_cast<PyArrayObject*>(arr);
    *w = static_cast<double>(PyArray_DIM(a, 1));
    *h = static_cast<double>(PyArray_DIM(a, 0));
    return true;
  }
  Ref shape = Ref::steal(PyObject_GetAttr(arr, KV_ID(shape)));
  Ref sw = shape ? Ref::steal(item(shape.get(), 1)) : Ref();
  Ref sh = sw ? Ref::steal(item(shape.get(), 0)) : Ref();
  return sh && py_float(sw.get(), w) && py_float(sh.get(), h);
}

// Splits the mapped output into runs and draws each run of two or more points.
bool draw_runs(PyObject* arr, const ScreenPt* out, size_t n, PyObject* color, PyObject* t, bool aa) {
  double W, H;
  if (!canvas_size(arr, &W, &H)) return false;
  detail::IntPoints run;
  run.reserve(n);
  size_t drawn = 0;  // the outline limit counts every run of this plot
  auto flush = [&]() -> bool {
    if (run.size() >= 2) drawn += run.size();
    bool ok = run.size() < 2 || (detail::check_outline_work(drawn, t) &&
                                 detail::polylines(arr, run, false, color, t, aa));
    run.clear();
    return ok;
  };
  for (size_t i = 0; i < n; i++) {
    const ScreenPt& p = out[i];
    double sx = p.s.x, sy = p.s.y;
    bool keep = p.visible && std::isfinite(sx) && std::isfinite(sy) && !(sx < -kMargin) && !(sx > W + kMargin) &&
                !(sy < -kMargin) && !(sy > H + kMargin);
    if (!keep) {
      if (!flush()) return false;
      continue;
    }
    run.push(std::trunc(sx), std::trunc(sy));  // int(sx), int(sy)
  }
  return flush();
}

// The user's function, the options and the pen's coordinates: what the
// sampling and the refinement share.
struct Curve {
  PyObject* func;
  const GraphOptions& o;
  Coord cx, cy;
};

// Initial sampling: o.resolution + 1 samples from x_min in steps of `step`;
// a sample whose call or conversion fails is left out.
bool sample_curve(const Curve& cv, double x_min, double step, std::vector<WorldPt>* samples) {
  const GraphOptions& o = cv.o;
  if (o.resolution > 0) samples->reserve(o.resolution < 65536 ? static_cast<size_t>(o.resolution) + 1 : 65536);
  for (long long i = 0; i <= o.resolution; i++) {
    double x = step * static_cast<double>(i) + x_min;
    double a, X;
    if (!o.x_world) {
      a = x;
      if (!cv.cx.add_to(a * o.x_scale, &X)) return false;
    } else {
      if (!cv.cx.sub_from(x, &a)) return false;
      if (o.x_scale != 0) a = a / o.x_scale;
      X = x;
    }
    double v, Y;
    bool ok;
    if (!sample_value(cv.func, a, &v, &ok)) return false;
    if (!ok) continue;
    if (!cv.cy.add_to(v * o.y_scale, &Y)) return false;
    samples->push_back({X, Y});
  }
  return true;
}

// The first sample, mapped as the point (x, y, cz) so that the record and cz
// are read in the pipeline's order; *z is the plot's depth in 3-D mode (read
// only when the first point is visible).
bool map_first(PointMapper& mapper, const WorldPt& p0, PyObject* cz, ScreenPt* first, double* z) {
  *z = 0.0;
  Ref fx = Ref::steal(PyFloat_FromDouble(p0.x));
  Ref fy = fx ? Ref::steal(PyFloat_FromDouble(p0.y)) : Ref();
  Ref p = fy ? Ref::steal(PyTuple_Pack(3, fx.get(), fy.get(), cz)) : Ref();
  if (!p || !mapper.map_obj(p.get(), &first->visible, &first->s)) return false;
  return !first->visible || !mapper.is_3d() || py_float(cz, z);
}

// The curve's point over the middle of `sg` in world x, from one more call of
// the user's function. *split is false when the call raised an Exception:
// the segment then stays as it is.
bool midpoint(const Curve& cv, const Segment& sg, long long* calls_left, WorldPt* mid, bool* split) {
  const GraphOptions& o = cv.o;
  *split = false;
  if (o.x_scale == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    return false;
  }
  double am;
  if (!cv.cx.sub_from((sg.p1.x + sg.p2.x) * 0.5, &am)) return false;
  am = am / o.x_scale;
  (*calls_left)--;
  Ref r = call_func(cv.func, am);
  if (!r) return absorb();
  if (!refined_y(r.get(), o.y_scale, cv.cy, &mid->y) || !cv.cx.add_to(am * o.x_scale, &mid->x)) return false;
  *split = true;
  return true;
}

// Refinement: after the first point in *out, every segment between samples
// is bisected while its mapped ends lie more than the threshold apart (up to
// max_depth, while calls are left), and the mapped ends are appended in
// order of increasing x.
bool refine_curve(const Curve& cv, PointMapper& mapper, const std::vector<WorldPt>& samples, double z,
                  std::vector<ScreenPt>* out) {
  const GraphOptions& o = cv.o;
  // The work stack: seeding it with every initial segment (the first on
  // top) and pushing the right half, then the left half, of each refined
  // segment walks the curve in order of increasing x. The same order comes
  // out of taking the initial segments one by one and going on with the left
  // half at once, so only right halves wait on the stack (at most max_depth).
  Buffer<Segment, 16> stack;
  out->reserve(2 * samples.size());
  double thr2 = o.screen_dist_threshold * o.screen_dist_threshold;
  ScreenPt last = out->back();
  long long calls_left = kMaxCalls - (o.resolution > 0 ? o.resolution + 1LL : 0);
  for (size_t k = 0; k + 1 < samples.size(); k++) {
    Segment sg{samples[k], samples[k + 1], 0};
    for (;;) {
      ScreenPt s2;
      if (!mapper.map(sg.p2.x, sg.p2.y, z, &s2.visible, &s2.s)) return false;
      bool far = false;
      if (sg.depth < o.max_depth && s2.visible && last.visible && calls_left > 0) {
        double dx = s2.s.x - last.s.x, dy = s2.s.y - last.s.y;
        far = dx * dx + dy * dy > thr2;
      }
      WorldPt mid;
      bool split = false;
      if (far && !midpoint(cv, sg, &calls_left, &mid, &split)) return false;
      if (split) {
        stack.push_back(Segment{mid, sg.p2, sg.depth + 1});
        sg = Segment{sg.p1, mid, sg.depth + 1};
        continue;
      }
      out->push_back(s2);
      last = s2;
      if (stack.size() == 0) break;
      sg = stack.back();
      stack.pop_back();
    }
  }
  return true;
}

bool graph_impl(PyObject* arr, PyObject* ts, PyObject* func, double x_min, double x_max, PyObject* color,
                const GraphOptions& o) {
  if (arr == Py_None) {
    PyErr_SetString(PyExc_TypeError, "graph() needs a canvas array to draw on, got None for 'arr'");
    return false;
  }
  if (!detail::check_color(color)) return false;
  if (x_min >= x_max) return true;
  Ref t;
  if (!detail::screen_thickness_raw(ts, o.thickness, &t)) return false;
  Ref c = detail::pen_of(ts);
  detail::PenCoords pc;
  if (!c || !detail::pen_coords(c.get(), &pc)) return false;
  if (o.resolution == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    return false;
  }
  if (o.resolution >= kMaxCalls) {
    PyErr_Format(PyExc_ValueError, "graph: resolution %d exceeds the limit of %lld samples", o.resolution,
                 kMaxCalls - 1);
    return false;
  }
  Curve cv{func, o, Coord(pc.x.get()), Coord(pc.y.get())};
  std::vector<WorldPt> samples;
  if (!sample_curve(cv, x_min, (x_max - x_min) / o.resolution, &samples)) return false;
  if (samples.size() < 2) return true;
  PointMapper mapper;
  if (!mapper.begin(ts)) return false;
  std::vector<ScreenPt> out;  // on the heap: func may re-enter graph
  ScreenPt first;
  double z;
  if (!map_first(mapper, samples[0], pc.z.get(), &first, &z)) return false;
  if (!first.visible) return true;
  out.push_back(first);
  if (!refine_curve(cv, mapper, samples, z, &out)) return false;
  return draw_runs(arr, out.data(), out.size(), color, t.get(), o.aa);
}

}  // namespace

// ---- public routine --------------------------------------------------------------

bool graph(PyObject* arr, PyObject* ts, PyObject* func, double x_min, double x_max, PyObject* color,
           const GraphOptions& opt) {
  return detail::guarded([&] { return graph_impl(arr, ts, func, x_min, x_max, color, opt); });
}

}  // namespace kv::draw
