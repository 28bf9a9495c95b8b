// Reading NIfTI-1 DWI and mask images into 32-bit floats, optionally handing
// a 4-D image to a consumer volume by volume while it is read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "volume.hpp"

namespace tarvix {

struct ReadTimings {
  double decompress_s = 0;  // file read, gunzip and header
  double convert_s = 0;     // conversion to float32
};

struct VolumeRead {
  Volume volume;
  VolumeInfo info;
  // Per volume (one entry for a 3-D image), how many voxels came out Inf or
  // NaN; empty when the stored type and scaling cannot make such values.
  // Volumes the reader only inflated and dropped count 0.
  std::vector<std::uint64_t> non_finite{};
};

// Shown the image's geometry as soon as its header is parsed, before any
// voxel data is inflated or memory taken for it; throws to refuse the image,
// so a header that already shows the image cannot be used costs nothing more.
using HeaderCheck = std::function<void(const VolumeInfo&)>;

// Opens a .nii or .nii.gz (or a .hdr/.img pair, either part gzipped) and
// converts it to floats with scl_slope/scl_inter.
// Failures are Error::nifti. With `timings`, the two stages are timed.
// With a `sink`, a 4-D image is handed to it volume by volume (see VolumeSink);
// time spent in the sink is in neither timing.
VolumeRead read_volume_with_info(const std::string& path, ReadTimings* timings = nullptr,
                                 VolumeSink* sink = nullptr, const HeaderCheck& check = {});

// Reads a 3-D or 4-D mask image (first volume) into a voxel mask; `check`
// sees its header first.
Mask read_mask(const std::string& path, const HeaderCheck& check = {});

// The mask's grid against the DWI's: the mask-mismatch error when their voxel
// counts differ. Under ImageRules::Checked also when their sizes differ
// (49×57×51 is not 57×49×51), or when both place their grids in the world and
// the placements differ.
void check_mask_geometry(const VolumeInfo& mask, const VolumeInfo& dwi, ImageRules rule);

}  // namespace tarvix
