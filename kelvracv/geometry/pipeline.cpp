// The coordinate pipeline on plain doubles (see pipeline.hpp).

#include "geometry/pipeline.hpp"

namespace kv::geo {

Vec3 rotate_camera(double x, double y, double z, double rx, double ry, double rz) {
  double ax = radians(rx), ay = radians(ry), az = radians(rz);
  double x1 = x * std::cos(ay) + z * std::sin(ay);
  double z1 = z * std::cos(ay) - x * std::sin(ay);
  double y2 = y * std::cos(ax) - z1 * std::sin(ax);
  double z2 = z1 * std::cos(ax) + y * std::sin(ax);
  double x3 = x1 * std::cos(az) - y2 * std::sin(az);
  double y3 = x1 * std::sin(az) + y2 * std::cos(az);
  return {x3, y3, z2};
}

Vec3 perspective_projection(double x, double y, double z, double fov) {
  double t = std::tan(fov * kPi / 180 * 0.5);
  if (std::fabs(z) > kEpsilon) return {x / z * (1 / t), y / z * (1 / t), z};
  return {0.0, 0.0, -1.0};
}

Vec3 view_3d(const Camera& cam, double x, double y, double z) {
  double a = radians(cam.rot);
  double c = std::cos(a), s = std::sin(a);
  double X = (c * x - s * y) * cam.size - cam.cx;
  double Y = (c * y + s * x) * cam.size - cam.cy;
  double Z = cam.size * z - cam.cz;
  Vec3 r = rotate_camera(X, Y, Z, cam.rx, cam.ry, cam.rz);
  Vec3 p = perspective_projection(r.x, r.y, r.z, kFov);
  return {p.x + cam.shx, p.y + cam.shy, p.z};
}

Vec3 inverse_view_2d(double x, double y, double rot, double size, double shx, double shy) {
  if (std::fabs(size) < kEpsilon) return {0.0, 0.0, 0.0};
  double lx = (x - shx) / size;
  double ly = (y - shy) / size;
  double a = radians(-rot);
  return {std::cos(a) * lx - std::sin(a) * ly, std::sin(a) * lx + std::cos(a) * ly, 0.0};
}

}  // namespace kv::geo
