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

// What every candidate of one ranking (same mask and WM list) shares. Only WM
// voxels can be corners, so each candidate keeps their cells side by side in
// list order, after a cell of zeros that stands for every other voxel, and
// `slot` maps each grid voxel to its cell. Against a grid-long array of cells
// this keeps the corners a sampler reads within a few hundred kilobytes
// instead of most of a head's grid, and in cache.
struct CoherenceWorkspace {
  std::vector<std::uint32_t, cache::Allocator<std::uint32_t>> slot;  // grid length: 0, or 1 + place in the WM list
  const std::uint64_t* slot_list = nullptr;  // the WM list `slot` was made for
  std::size_t slot_count = 0;
};

// Makes the slots for a grid and WM list; once made, candidates of that list
// may be scored on several threads at once.
void prepare_workspace(CoherenceWorkspace& workspace, std::size_t grid, const std::vector<std::uint64_t>& wm_indices);

// Scores candidate matrix m (making the workspace's slots first if they are
// not those of this grid and list).
CoherenceScore candidate_coherence(const TensorField& field, const Mask& mask,
                                   const std::vector<std::uint64_t>& wm_indices, const Mat3& m,
                                   const Mat3& frame_map, double step, CoherenceWorkspace& workspace);
// The same with a prepared workspace, the candidate's cells made in `cells`:
// safe on several threads at once, each with its own cells.
CoherenceScore candidate_coherence(const TensorField& field, const Mask& mask,
                                   const std::vector<std::uint64_t>& wm_indices, const Mat3& m,
                                   const Mat3& frame_map, double step, const CoherenceWorkspace& workspace,
                                   std::vector<CoherenceCell>& cells);

// The tally of a field as it stands, corners inside the mask.
CoherenceTally coherence_sum(const std::vector<Vec3>& field, const std::vector<std::uint64_t>& wm_indices,
                             const Mask& mask, const std::array<std::uint64_t, 3>& shape, double step);

std::optional<Vec3> sample(const std::array<std::uint64_t, 3>& shape, const std::vector<Vec3>& field,
                           const Mask& mask, const Vec3& point, const Vec3& reference);

}  // namespace tarvix
