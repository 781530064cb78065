// The coordinate pipeline on plain doubles (see pipeline.hpp).

#include "geometry/pipeline.hpp"

namespace kv::geo {

namespace {

// 1 / tan(fov / 2) of the pinhole projection.
double projection_scale(double fov) { return 1 / std::tan(fov * kPi / 180 * 0.5); }

// The camera rotation about y, then x, then z, by the angles whose cosines
// and sines the view holds.
Vec3 rotate_cs(double x, double y, double z, const CameraView& v) {
  double x1 = x * v.cy + z * v.sy;
  double z1 = z * v.cy - x * v.sy;
  double y2 = y * v.cx - z1 * v.sx;
  double z2 = z1 * v.cx + y * v.sx;
  double x3 = x1 * v.cz - y2 * v.sz;
  double y3 = x1 * v.sz + y2 * v.cz;
  return {x3, y3, z2};
}

// The pinhole projection with the scale 1 / tan(fov / 2); (0, 0, -1) when
// the depth is too close to zero.
Vec3 project(double x, double y, double z, double inv_t) {
  if (std::fabs(z) > kEpsilon) return {x / z * inv_t, y / z * inv_t, z};
  return {0.0, 0.0, -1.0};
}

}  // namespace

CameraView prepare_camera(const Camera& cam) {
  double a = radians(cam.rot), ax = radians(cam.rx), ay = radians(cam.ry), az = radians(cam.rz);
  return {cam,          std::cos(a),  std::sin(a),  std::cos(ax), std::sin(ax),
          std::cos(ay), std::sin(ay), std::cos(az), std::sin(az), projection_scale(kFov)};
}

Vec3 view_3d(const CameraView& v, double x, double y, double z) {
  const Camera& cam = v.cam;
  double X = (v.c * x - v.s * y) * cam.size - cam.cx;
  double Y = (v.c * y + v.s * x) * cam.size - cam.cy;
  double Z = cam.size * z - cam.cz;
  Vec3 r = rotate_cs(X, Y, Z, v);
  Vec3 p = project(r.x, r.y, r.z, v.inv_t);
  return {p.x + cam.shx, p.y + cam.shy, p.z};
}

}  // namespace kv::geo
