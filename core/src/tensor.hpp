// Per-voxel log-linear diffusion-tensor fit and the white-matter proxy mask.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "buffer_cache.hpp"
#include "gradient.hpp"
#include "volume.hpp"

namespace tarvix {

// A grid-sized list, on the arrays kept from call to call.
template <class T>
using GridList = std::vector<T, cache::Allocator<T>>;

// Four parallel lists in voxel linear order (x * ny + y) * nz + z.
struct TensorField {
  GridList<Vec3> v1;
  GridList<double> fa;
  GridList<double> s0;
  GridList<std::uint8_t> valid;
  std::array<std::uint64_t, 3> shape{};

  // Otsu threshold on s0, combined with validity and fa >= fa_threshold.
  Mask wm_proxy(double fa_threshold) const;
  // The Otsu threshold on s0 between background and tissue: `bright_from`
  // when the fit already worked it out on these s0.
  double bright_threshold() const;
  std::optional<double> bright_from;
  // Where the tissue starts on s0, for the tracking's seeds without a mask:
  // the Otsu threshold when it splits background from a head, a floor far
  // below the tissue when the grid has no background to split off (a crop
  // inside the brain, where Otsu cuts the white matter away). `tissue_from`
  // when the fit already worked it out.
  double tissue_threshold() const;
  std::optional<double> tissue_from;
  // Both, {bright, tissue}, from one split of the baseline.
  std::pair<double, double> brightness_thresholds() const;
};


// Each voxel's parameters are summed over the design rows in ascending volume
// order, so the field is the same bits whatever the thread count and whether
// the fit ran here or streamed through a FitStream.
TensorField fit_dti(const Volume& volume, const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                    const std::vector<std::uint64_t>& shell_indices, double min_s0);

}  // namespace tarvix
