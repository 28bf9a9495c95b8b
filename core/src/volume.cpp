#include "volume.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace tarvix {

namespace {

// Walks the grid in voxel linear order ((x * ny + y) * nz + z) and hands each
// stored-order offset to f; stops after `limit` voxels.
template <class F>
void for_each_voxel(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, std::uint64_t limit, F&& f) {
  std::uint64_t index = 0;
  const std::uint64_t plane = nx * ny;
  for (std::uint64_t x = 0; x < nx; ++x) {
    for (std::uint64_t y = 0; y < ny; ++y) {
      if (index >= limit) return;
      const std::uint64_t run = std::min(nz, limit - index);
      std::uint64_t offset = x + nx * y;
      for (std::uint64_t z = 0; z < run; ++z, offset += plane) f(index + z, offset);
      index += run;
    }
  }
}

}  // namespace

std::uint64_t Volume::grid_voxels() const {
  std::uint64_t n = 1;
  for (std::size_t i = 0; i < shape.size() && i < 3; ++i) n *= shape[i];
  return n;
}

bool Volume::holds(std::uint64_t k) const {
  if (k >= volume_count()) return false;
  return !partial || std::binary_search(held.begin(), held.end(), k);
}

const float* Volume::volume_data(std::uint64_t k) const {
  const std::uint64_t grid = grid_voxels();
  std::uint64_t slot = k;
  if (partial) {
    const auto it = std::lower_bound(held.begin(), held.end(), k);
    if (it == held.end() || *it != k)
      throw std::logic_error("volume " + std::to_string(k) + " was not kept when the image was read");
    slot = static_cast<std::uint64_t>(it - held.begin());
  }
  if (grid == 0) return data.data();
  if (data.size() / grid <= slot) throw std::out_of_range("volume data is shorter than its shape");
  return data.data() + slot * grid;
}

Mask mask_from_volume(const Volume& volume) {
  const std::uint64_t nx = volume.dim(0), ny = volume.dim(1), nz = volume.dim(2);
  const std::uint64_t grid = volume.grid_voxels();
  if (volume.data.size() < grid) throw std::out_of_range("mask_from_volume: volume data is shorter than its grid");
  Mask mask(static_cast<std::size_t>(grid));
  const float* v = volume.ndim() >= 4 ? volume.volume_data(0) : volume.data.data();
  for_each_voxel(nx, ny, nz, grid, [&](std::uint64_t i, std::uint64_t off) {
    mask[i] = v[off] != 0.0f;  // NaN != 0 holds: NaN voxels are inside
  });
  return mask;
}

namespace {

// Volumes summed side by side: their additions are independent chains, and
// their loads (a walk in linear order reads one float from every plane in
// turn, mostly missing the cache) are independent too, so the processor
// overlaps them instead of waiting on one after another.
constexpr std::size_t kSideBySide = 4;

// The sums over voxels [0, limit) in linear order ((x * ny + y) * nz + z) of
// each of the N volumes v[q] (stored order, x fastest), over the voxels with
// m[i] set when m is given. Each volume adds its voxels one after another in
// linear order, whichever volumes go beside it.
template <std::size_t N>
void sum_linear_order(const float* const* v, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, std::uint64_t limit,
                      const std::uint8_t* m, double* sum, std::uint64_t& count) {
  double s[N];
  for (std::size_t q = 0; q < N; ++q) s[q] = sum[q];
  std::uint64_t n = 0;
  for_each_voxel(nx, ny, nz, limit, [&](std::uint64_t i, std::uint64_t off) {
    if (m && !m[i]) return;
    for (std::size_t q = 0; q < N; ++q) s[q] += static_cast<double>(v[q][off]);
    ++n;
  });
  for (std::size_t q = 0; q < N; ++q) sum[q] = s[q];
  count += n;
}

const float* grid_of(const Volume& volume, std::uint64_t k) {
  const std::uint64_t grid = volume.grid_voxels();
  if (volume.ndim() >= 4) {
    if (k >= volume.volume_count()) throw std::out_of_range("masked_mean_of_volume: volume index out of range");
    return volume.volume_data(k);
  }
  if (volume.data.size() < grid) throw std::out_of_range("masked_mean_of_volume: volume data is shorter than its grid");
  return volume.data.data();
}

// Means of up to kSideBySide volumes, in one pass.
void masked_means(const Volume& volume, const std::uint64_t* indices, std::size_t n, const Mask* mask, double* means) {
  const float* v[kSideBySide];
  for (std::size_t q = 0; q < n; ++q) v[q] = grid_of(volume, indices[q]);
  const std::uint64_t grid = volume.grid_voxels();
  const std::uint64_t limit = mask ? std::min<std::uint64_t>(grid, mask->size()) : grid;
  const std::uint8_t* m = mask ? mask->data() : nullptr;
  const std::uint64_t nx = volume.dim(0), ny = volume.dim(1), nz = volume.dim(2);
  double sum[kSideBySide] = {};
  std::uint64_t count = 0;
  switch (n) {
    case 1: sum_linear_order<1>(v, nx, ny, nz, limit, m, sum, count); break;
    case 2: sum_linear_order<2>(v, nx, ny, nz, limit, m, sum, count); break;
    case 3: sum_linear_order<3>(v, nx, ny, nz, limit, m, sum, count); break;
    default: sum_linear_order<kSideBySide>(v, nx, ny, nz, limit, m, sum, count); break;
  }
  for (std::size_t q = 0; q < n; ++q) means[q] = count ? sum[q] / static_cast<double>(count) : 0.0;
}

}  // namespace

double grid_mean(const float* v, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  const std::uint64_t grid = nx * ny * nz;
  double sum = 0;
  std::uint64_t count = 0;
  sum_linear_order<1>(&v, nx, ny, nz, grid, nullptr, &sum, count);
  return count ? sum / static_cast<double>(count) : 0.0;
}

double masked_mean_of_volume(const Volume& volume, std::uint64_t k, const Mask* mask) {
  double mean = 0;
  masked_means(volume, &k, 1, mask, &mean);
  return mean;
}

std::vector<double> mean_for_volumes(const Volume& volume, const std::vector<std::uint64_t>& indices,
                                     const Mask* mask) {
  std::vector<double> means(indices.size());
  if (indices.empty()) return means;
  if (volume.ndim() < 4) {
    std::fill(means.begin(), means.end(), masked_mean_of_volume(volume, 0, mask));
    return means;
  }
  // The volumes go in groups of up to kSideBySide, one group per task; with
  // few volumes, smaller groups, so that every thread gets one.
  const std::size_t threads = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  const std::size_t group = std::clamp<std::size_t>((indices.size() + threads - 1) / threads, 1, kSideBySide);
  const std::size_t groups = (indices.size() + group - 1) / group;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, groups, 1), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t g = r.begin(); g != r.end(); ++g) {
      const std::size_t first = g * group, n = std::min(group, indices.size() - first);
      masked_means(volume, indices.data() + first, n, mask, means.data() + first);
    }
  });
  return means;
}

}  // namespace tarvix
