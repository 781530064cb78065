// The coordinate pipeline on plain doubles: 2-D view, camera rotation,
// perspective projection, homography and the inverse 2-D view. No Python here;
// formulas keep the order of Python's double arithmetic so results match it.
#pragma once

#include <cmath>

namespace kv::geo {

struct Vec2 {
  double x, y;
};
struct Vec3 {
  double x, y, z;
};

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kEpsilon = 1e-6;  // near plane, homogeneous w, inverse size
inline constexpr double kFov = 90.0;

// Degrees to radians: multiplication first, then the division.
inline double radians(double deg) { return deg * kPi / 180; }

// Rotate by the angle whose cosine and sine are c and s, scale by size, add the shift.
inline Vec2 view_2d_cs(double x, double y, double c, double s, double size, double shx, double shy) {
  return {(c * x - s * y) * size + shx, (c * y + s * x) * size + shy};
}

struct Camera {
  double rot, size;       // world rotation (degrees) and scale
  double cx, cy, cz;      // camera position
  double rx, ry, rz;      // camera rotation (degrees)
  double shx, shy;        // screen shift
};

// A camera with the cosines and sines of its angles and the projection's
// scale worked out once, for mapping many points: the same numbers view_3d
// would compute at each point.
struct CameraView {
  Camera cam;
  double c, s;              // of the world rotation
  double cx, sx, cy, sy, cz, sz;  // of the camera rotation about x, y and z
  double inv_t;             // 1 / tan(fov / 2)
};
CameraView prepare_camera(const Camera& cam);

// World point to (screen x, screen y, depth) through the camera: world
// rotation and scale, the camera's position, its rotation about y, then x,
// then z (degrees), and the pinhole projection ((0, 0, -1) when the depth is
// too close to zero), then the shift.
Vec3 view_3d(const CameraView& v, double x, double y, double z);
inline Vec3 view_3d(const Camera& cam, double x, double y, double z) { return view_3d(prepare_camera(cam), x, y, z); }

// Projective map with a row-major 3x3 matrix; false (and no result) when
// |w| <= 1e-6, in which case the point passes unchanged.
inline bool homography(const double* h, double x, double y, Vec2* out) {
  double r0 = h[0] * x + h[1] * y + h[2] * 1.0;
  double r1 = h[3] * x + h[4] * y + h[5] * 1.0;
  double w = h[6] * x + h[7] * y + h[8] * 1.0;
  if (!(std::fabs(w) > kEpsilon)) return false;
  *out = {r0 / w, r1 / w};
  return true;
}

// Screen to world with the 2-D model (after any inverse homography), with
// the cosine and sine of -rot worked out by the caller.
inline Vec3 inverse_view_2d_cs(double x, double y, double c, double s, double size, double shx, double shy) {
  if (std::fabs(size) < kEpsilon) return {0.0, 0.0, 0.0};
  double lx = (x - shx) / size;
  double ly = (y - shy) / size;
  return {c * lx - s * ly, s * lx + c * ly, 0.0};
}
inline Vec3 inverse_view_2d(double x, double y, double rot, double size, double shx, double shy) {
  double a = radians(-rot);
  return inverse_view_2d_cs(x, y, std::cos(a), std::sin(a), size, shx, shy);
}

}  // namespace kv::geo
