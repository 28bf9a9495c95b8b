// Images in memory: 32-bit float volumes in stored order, their geometry,
// voxel masks and the masked means used by the b=0 drift measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "buffer_cache.hpp"
#include "matrix.hpp"

namespace tarvix {

// One byte per voxel in voxel linear order (x * ny + y) * nz + z; non-zero = inside.
using Mask = std::vector<std::uint8_t>;

struct VolumeInfo {
  std::vector<std::uint64_t> shape;  // dim[1] .. dim[dim[0]]
  Vec3 voxel_sizes{};                // pixdim[1..3], as the header states them
  Mat4 affine{};                     // voxel index -> world, row by row
  std::uint64_t n_volumes = 1;
  // The voxel sizes of the geometry the frame comes from: the affine's column
  // lengths when the affine is usable (pixdim's own figures when they agree
  // with it, so a sound header gives the numbers it states), else pixdim.
  // Whatever measures distances on the grid (the sampling step, the tracking)
  // takes these, never voxel_sizes, so a pixdim that contradicts the affine
  // cannot stretch the grid under a frame taken from the affine.
  Vec3 spacing{};
  // Why the image's orientation cannot be trusted (no usable qform or sform,
  // a non-finite or singular affine, voxel sizes that disagree with it); empty
  // when it can. The axes are then not judged, whatever the measures say.
  std::optional<std::string> orientation_doubt;
  // The affine is the header's own and sound, whatever pixdim says: a doubt
  // that only pixdim raises leaves it usable as a frame.
  bool affine_usable = true;
};

// How a run takes its images. `Stated`: as their headers state them, which
// is what callers of the module build on: the grid measured by pixdim, and a
// mask that fits by its voxel count alone (masks saved from arrays with a
// placeholder affine are common and are used by index). `Checked`: the grid
// measured by the affine the frame comes from, a mask refused unless it lies
// on the DWI's grid in the world, and a volume the fit takes that holds no
// finite value named as the cause of a failed fit, and the table files read
// strictly (load_table_checked); the engine, the command line and its batches
// take their inputs this way.
enum class ImageRules { Stated, Checked };

// The voxel sizes a run measures the grid by, under `rule`.
inline const Vec3& grid_spacing(const VolumeInfo& info, ImageRules rule) {
  return rule == ImageRules::Checked ? info.spacing : info.voxel_sizes;
}

// Image data kept in the stored NIfTI order (x fastest, then y, z, then volume),
// so each volume is one contiguous run of grid_voxels() floats.
using VoxelData = std::vector<float, cache::Allocator<float>>;

struct Volume {
  std::vector<std::uint64_t> shape;
  VoxelData data;
  // A reader that streamed the image into a fit keeps only the volumes still
  // needed afterwards: then `partial` is set and `held` lists them, ascending,
  // in the order they follow each other in `data`.
  bool partial = false;
  std::vector<std::uint64_t> held{};

  std::size_t ndim() const { return shape.size(); }
  std::uint64_t dim(std::size_t i) const { return i < shape.size() ? shape[i] : 1; }
  // Product of the first (up to) three sizes.
  std::uint64_t grid_voxels() const;
  // Size of the fourth axis when there is one, else 1.
  std::uint64_t volume_count() const { return shape.size() >= 4 ? shape[3] : 1; }
  bool holds(std::uint64_t k) const;
  // Start of volume k; std::logic_error when the reader did not keep it.
  const float* volume_data(std::uint64_t k) const;
};

// How stored voxels become floats, for a sink that takes volumes as the file
// stores them: `to_float` converts n voxels of bytes_per_voxel bytes each.
struct RawVoxels {
  std::size_t bytes_per_voxel = 0;
  std::function<void(const unsigned char* src, std::size_t n, float* dst)> to_float;
};

// Told about the volumes of a 4-D image while it is read, in volume order, on
// the reading thread; lets a consumer work on each volume as soon as it is
// complete and decide which volumes are kept in memory at all.
class VolumeSink {
 public:
  virtual ~VolumeSink() = default;
  // Once the header is known, before any voxel data. False: the sink takes no
  // part and the image is read whole. True: `keep` and `want` (one flag per
  // volume, already sized) say which volumes stay in the Volume and which are
  // handed to volume_ready; a volume in neither is inflated and dropped.
  virtual bool begin(const VolumeInfo& info, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) = 0;
  // Where to convert wanted volume k that is not kept (grid floats); may wait
  // until the sink has a buffer free.
  virtual float* buffer_for(std::uint64_t k) = 0;
  // Wanted volume k is complete at `data`: the buffer from buffer_for, or
  // its place in the Volume being read.
  virtual void volume_ready(std::uint64_t k, const float* data) = 0;
  // Every volume was delivered.
  virtual void end() = 0;
  // The read failed: stop touching what was handed out before it is freed.
  virtual void abandon() noexcept = 0;

  // Offered once after a true begin() when the stored voxels need converting:
  // true means the wanted volumes are handed over as the file stores them,
  // through raw_buffer_for and raw_volume_ready instead of buffer_for and
  // volume_ready, and the sink converts them itself (off the reading thread,
  // if it likes); those also kept are converted into the Volume as well. The
  // sink keeps its own copy of `raw`.
  virtual bool take_raw(const RawVoxels& raw) {
    (void)raw;
    return false;
  }
  // Where to read wanted volume k's stored bytes (grid voxels); may wait.
  virtual unsigned char* raw_buffer_for(std::uint64_t k) {
    (void)k;
    return nullptr;
  }
  // Wanted volume k's stored bytes are complete at `raw`; when the volume is
  // also kept, `kept` is its place in the Volume, converted.
  virtual void raw_volume_ready(std::uint64_t k, const unsigned char* raw, const float* kept) {
    (void)k;
    (void)raw;
    (void)kept;
  }
};

// Non-zero (and NaN) values are inside; only the first volume of a 4-D image.
Mask mask_from_volume(const Volume& volume);

// Mean of the grid values (voxel linear order) where the mask is set.
double masked_mean_of_volume(const Volume& volume, std::uint64_t k, const Mask* mask);

// The mean of one grid of floats (stored order, x fastest) over every voxel,
// added up in voxel linear order: the bits of masked_mean_of_volume without a
// mask.
double grid_mean(const float* v, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz);

// grid_mean's sum, in its order, of the floats at(offset) gives for each
// stored offset: the same bits for a grid held in another form.
template <class At>
double grid_mean_of(At&& at, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  const std::uint64_t plane = nx * ny, grid = plane * nz;
  double sum = 0;
  for (std::uint64_t x = 0; x < nx; ++x)
    for (std::uint64_t y = 0; y < ny; ++y)
      for (std::uint64_t z = 0, offset = x + nx * y; z < nz; ++z, offset += plane)
        sum += static_cast<double>(static_cast<float>(at(offset)));
  return grid ? sum / static_cast<double>(grid) : 0.0;
}

// One masked mean per requested volume, in request order, in parallel.
std::vector<double> mean_for_volumes(const Volume& volume, const std::vector<std::uint64_t>& indices,
                                     const Mask* mask);

}  // namespace tarvix
