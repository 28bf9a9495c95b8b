#include "volume.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

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

// Floats of one tile of linear-order voxels held at a time: well inside L2.
constexpr std::uint64_t kTileFloats = 64 * 1024;

// Adds the voxels of v (stored order, x fastest) up in linear order, those
// with m[i] set when m is given, up to `limit` voxels. A walk in linear order
// reads one float from every plane in turn and misses the cache and the TLB on
// nearly every voxel, so a few x-slices at a time are first copied into
// linear order; the additions stay the same, one after another in linear
// order, so the sum has the same bits.
void sum_linear_order(const float* v, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, std::uint64_t limit,
                      const std::uint8_t* m, double& sum, std::uint64_t& count) {
  const std::uint64_t slice = ny * nz;  // voxels of one x in linear order
  if (slice == 0) return;
  const std::uint64_t width = std::clamp<std::uint64_t>(kTileFloats / slice, 1, nx);
  std::vector<float> tile(static_cast<std::size_t>(width * slice));
  for (std::uint64_t x0 = 0; x0 < nx && x0 * slice < limit; x0 += width) {
    const std::uint64_t x1 = std::min(nx, x0 + width);
    for (std::uint64_t z = 0; z < nz; ++z)
      for (std::uint64_t y = 0; y < ny; ++y) {
        const float* row = v + nx * (y + ny * z);
        float* out = tile.data() + y * nz + z;
        for (std::uint64_t x = x0; x < x1; ++x) out[(x - x0) * slice] = row[x];
      }
    const std::uint64_t begin = x0 * slice, end = std::min(limit, x1 * slice);
    const float* t = tile.data() - begin;
    if (m) {
      for (std::uint64_t i = begin; i < end; ++i)
        if (m[i]) {
          sum += static_cast<double>(t[i]);
          ++count;
        }
    } else {
      for (std::uint64_t i = begin; i < end; ++i) sum += static_cast<double>(t[i]);
      count += end - begin;
    }
  }
}

}  // namespace

double masked_mean_of_volume(const Volume& volume, std::uint64_t k, const Mask* mask) {
  const std::uint64_t grid = volume.grid_voxels();
  const float* v = volume.data.data();
  if (volume.ndim() >= 4) {
    if (k >= volume.volume_count()) throw std::out_of_range("masked_mean_of_volume: volume index out of range");
    v = volume.volume_data(k);
  } else if (volume.data.size() < grid) {
    throw std::out_of_range("masked_mean_of_volume: volume data is shorter than its grid");
  }
  const std::uint64_t limit = mask ? std::min<std::uint64_t>(grid, mask->size()) : grid;
  double sum = 0;
  std::uint64_t count = 0;
  sum_linear_order(v, volume.dim(0), volume.dim(1), volume.dim(2), limit, mask ? mask->data() : nullptr, sum, count);
  return count ? sum / static_cast<double>(count) : 0.0;
}

std::vector<double> mean_for_volumes(const Volume& volume, const std::vector<std::uint64_t>& indices,
                                     const Mask* mask) {
  std::vector<double> means(indices.size());
  if (indices.empty()) return means;
  if (volume.ndim() < 4) {
    std::fill(means.begin(), means.end(), masked_mean_of_volume(volume, 0, mask));
    return means;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, indices.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i)
                        means[i] = masked_mean_of_volume(volume, indices[i], mask);
                    });
  return means;
}

}  // namespace tarvix
