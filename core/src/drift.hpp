// Drift of the mean b=0 signal across the acquisition.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "gradient.hpp"
#include "json.hpp"

namespace tarvix {

struct Volume;

struct B0Drift {
  std::vector<std::uint64_t> indices;
  std::vector<double> mean_signal;
  double slope = 0;
  double relative_drift = 0;

  json::Value to_json() const;
};

B0Drift b0_drift(std::vector<std::uint64_t> indices, std::vector<double> means);
// `mask` is a voxel mask in voxel linear order (the Mask of volume.hpp).
B0Drift compute_drift(const Volume& volume, const GradientTable& table, const std::vector<std::uint8_t>* mask,
                      double b0_threshold);

}  // namespace tarvix
