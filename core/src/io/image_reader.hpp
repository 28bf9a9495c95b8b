// Reading NIfTI-1 DWI and mask images into 32-bit floats, optionally handing
// a 4-D image to a consumer volume by volume while it is read.
#pragma once

#include <cstdint>
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
};

// Opens a .nii or .nii.gz (or a .hdr/.img pair, either part gzipped) and
// converts it to floats with scl_slope/scl_inter.
// Failures are Error::nifti. With `timings`, the two stages are timed.
// With a `sink`, a 4-D image is handed to it volume by volume (see VolumeSink);
// time spent in the sink is in neither timing.
VolumeRead read_volume_with_info(const std::string& path, ReadTimings* timings = nullptr,
                                 VolumeSink* sink = nullptr);

// Reads a 3-D or 4-D mask image (first volume) into a voxel mask.
Mask read_mask(const std::string& path);

}  // namespace tarvix
