// Fibre coherence of a transformed direction field: stepping along each
// white-matter direction should land among voxels pointing the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "matrix.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix {

struct CoherenceTally {
  double sum = 0;
  std::uint64_t valid = 0;
  std::uint64_t attempted = 0;
};

struct CoherenceScore {
  double coherence = 0;
  std::uint64_t n_samples = 0;
};

// One voxel of a candidate's transformed field as the sampler reads it: the
// direction and whether the voxel may serve as an interpolation corner (1 or
// 0), side by side, so that a corner is one aligned load.
struct alignas(32) CoherenceCell {
  double x, y, z, usable;
};

// Storage reused by every candidate of one ranking (same mask and WM list):
// grid length, zero outside the WM list; only WM entries are rewritten.
struct CoherenceWorkspace {
  std::vector<CoherenceCell, cache::Allocator<CoherenceCell>> cells;
};

// Scores candidate matrix m.
CoherenceScore candidate_coherence(const TensorField& field, const Mask& mask,
                                   const std::vector<std::uint64_t>& wm_indices, const Mat3& m,
                                   const Mat3& frame_map, double step, CoherenceWorkspace& workspace);

// The tally of a field as it stands, corners inside the mask.
CoherenceTally coherence_sum(const std::vector<Vec3>& field, const std::vector<std::uint64_t>& wm_indices,
                             const Mask& mask, const std::array<std::uint64_t, 3>& shape, double step);

std::optional<Vec3> sample(const std::array<std::uint64_t, 3>& shape, const std::vector<Vec3>& field,
                           const Mask& mask, const Vec3& point, const Vec3& reference);

}  // namespace tarvix
