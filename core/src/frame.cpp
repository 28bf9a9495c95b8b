#include "frame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarvix {
namespace {

constexpr double kMinColumnNorm = 1e-9;

Mat3 upper_block(const Mat4& a) {
  return {{{a[0][0], a[0][1], a[0][2]}, {a[1][0], a[1][1], a[1][2]}, {a[2][0], a[2][1], a[2][2]}}};
}

// Column j of the block: the world direction of voxel axis j.
Vec3 column(const Mat3& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }

// Index of the largest magnitude; ties go to the later index.
int dominant_index(const Vec3& v) {
  const double m0 = std::abs(v[0]), m1 = std::abs(v[1]), m2 = std::abs(v[2]);
  if (m2 >= std::max(m0, m1)) return 2;
  if (m0 <= m1) return 1;
  return 0;
}

}  // namespace

double affine_determinant(const Mat4& affine) {
  const Mat3 a = upper_block(affine);
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

Mat3 fsl_voxel_map(const VolumeInfo& info) {
  // bvec files mirror the first voxel axis on neurological (det > 0) images.
  Mat3 m = identity3();
  if (affine_determinant(info.affine) > 0) m[0][0] = -1;
  return m;
}

Mat3 world_voxel_map(const VolumeInfo& info) {
  const Mat3 a = upper_block(info.affine);
  Mat3 m{};
  for (int j = 0; j < 3; ++j) {
    const Vec3 c = column(a, j);
    const double n = norm(c);
    // A degenerate or non-finite axis has no direction to project on, and a
    // NaN here would reach every table written in the world frame.
    if (!(n >= kMinColumnNorm) || !std::isfinite(n)) return identity3();
    m[j] = {c[0] / n, c[1] / n, c[2] / n};
  }
  return m;
}

Mat3 voxel_frame_map(bool world, const VolumeInfo& info) {
  return world ? world_voxel_map(info) : fsl_voxel_map(info);
}

bool frames_divergent(const VolumeInfo& info) {
  if (!(affine_determinant(info.affine) > 0)) return false;
  const Mat3 a = upper_block(info.affine);
  int negative = 0;
  for (int j = 0; j < 3; ++j) {
    const Vec3 c = column(a, j);
    const double n = norm(c);
    if (!(n >= kMinColumnNorm) || !std::isfinite(n)) return false;
    const Vec3 u{c[0] / n, c[1] / n, c[2] / n};
    if (u[dominant_index(u)] < 0) ++negative;
  }
  return negative >= 2;
}

FrameMaps FrameMaps::resolve(bool world, const VolumeInfo& info) {
  FrameMaps maps;
  maps.fsl_voxel_map = tarvix::fsl_voxel_map(info);
  maps.world_voxel_map = tarvix::world_voxel_map(info);
  const double det = affine_determinant(info.affine);
  maps.affine_determinant_sign = std::isnan(det) ? std::numeric_limits<double>::quiet_NaN() : std::copysign(1.0, det);
  maps.table_frame = world ? TableFrame::World : TableFrame::Fsl;
  maps.frames_divergent = tarvix::frames_divergent(info);
  return maps;
}

namespace {
const Mat3& table_voxel_map(const FrameMaps& maps) {
  return maps.table_frame == TableFrame::World ? maps.world_voxel_map : maps.fsl_voxel_map;
}
}  // namespace

Mat3 to_fsl(const FrameMaps& maps) { return mul(maps.fsl_voxel_map, table_voxel_map(maps)); }

Mat3 to_world(const FrameMaps& maps) { return mul(transpose(maps.world_voxel_map), table_voxel_map(maps)); }

double default_step(const Vec3& voxel_sizes) {
  const double m = (voxel_sizes[0] + voxel_sizes[1] + voxel_sizes[2]) / 3.0;
  if (m > 0.0) return std::max(kDefaultStepMm / m, 1.0);
  return 1.0;
}

Sampling image_sampling(bool world_frame, const VolumeInfo& info, const std::optional<double>& step,
                        ImageRules rule) {
  return Sampling{voxel_frame_map(world_frame, info), step ? *step : default_step(grid_spacing(info, rule))};
}

}  // namespace tarvix
