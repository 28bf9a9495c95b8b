// Maps between the gradient table's frame (FSL or world) and the voxel axes.
#pragma once

#include "gradient.hpp"
#include "matrix.hpp"
#include "volume.hpp"

namespace tarvix {

enum class TableFrame { Fsl, World };

double affine_determinant(const Mat4& affine);
Mat3 fsl_voxel_map(const VolumeInfo& info);
Mat3 world_voxel_map(const VolumeInfo& info);
Mat3 voxel_frame_map(bool world, const VolumeInfo& info);
bool frames_divergent(const VolumeInfo& info);

struct FrameMaps {
  Mat3 fsl_voxel_map{};
  Mat3 world_voxel_map{};
  double affine_determinant_sign = 1.0;
  TableFrame table_frame = TableFrame::Fsl;
  bool frames_divergent = false;

  static FrameMaps resolve(bool world, const VolumeInfo& info);
};

Mat3 to_fsl(const FrameMaps& maps);
Mat3 to_world(const FrameMaps& maps);
GradientTable emit_table(const GradientTable& table, const FrameMaps* maps);

}  // namespace tarvix
