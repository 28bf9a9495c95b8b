// Maps between the gradient table's frame (FSL or world) and the voxel axes.
#pragma once

#include <optional>

#include "gradient.hpp"
#include "matrix.hpp"
#include "options.hpp"
#include "volume.hpp"

namespace tarvix {

enum class TableFrame { Fsl, World };

double affine_determinant(const Mat4& affine);
Mat3 fsl_voxel_map(const VolumeInfo& info);
Mat3 world_voxel_map(const VolumeInfo& info);
Mat3 voxel_frame_map(bool world, const VolumeInfo& info);
bool frames_divergent(const VolumeInfo& info);

// Sampling kDefaultStepMm units of the header's voxel-size unit apart, never
// closer than one voxel; headers with unusable sizes fall back to one voxel.
inline constexpr double kDefaultStepMm = 4.0;
double default_step(const Vec3& voxel_sizes);

// Where this image is sampled for a table in the given frame: its frame map,
// and the caller's step or else the image's default.
Sampling image_sampling(bool world_frame, const VolumeInfo& info, const std::optional<double>& step,
                        ImageRules rule);

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

}  // namespace tarvix
