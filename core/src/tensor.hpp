// Per-voxel log-linear diffusion-tensor fit and the white-matter proxy mask.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <tbb/task_arena.h>

#include "gradient.hpp"
#include "volume.hpp"

namespace tarvix {

// Four parallel lists in voxel linear order (x * ny + y) * nz + z.
struct TensorField {
  std::vector<Vec3> v1;
  std::vector<double> fa;
  std::vector<double> s0;
  std::vector<std::uint8_t> valid;
  std::array<std::uint64_t, 3> shape{};

  // Otsu threshold on s0, combined with validity and fa >= fa_threshold.
  Mask wm_proxy(double fa_threshold) const;
};

// Eigenvalues (ascending) and the eigenvector of the largest, of the symmetric
// [[d00, d01, d02], [d01, d11, d12], [d02, d12, d22]], in closed form: the same
// bits as Eigen's SelfAdjointEigenSolver::computeDirect gives for them.
struct SymmetricEigen {
  std::array<double, 3> values{};
  Vec3 largest{};
};
SymmetricEigen symmetric_eigen(double d00, double d11, double d22, double d01, double d02, double d12);

// Each voxel's parameters are summed over the design rows in ascending volume
// order, so the field is the same bits whatever the thread count and whether
// the fit ran here or streamed through a FitStream.
TensorField fit_dti(const Volume& volume, const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                    const std::vector<std::uint64_t>& shell_indices, double min_s0);

// The tensor fit run while the DWI is read: a VolumeSink that adds each b=0
// and shell volume into per-voxel sums as soon as it is converted, so that
// after the read only the per-voxel eigen step is left. The volumes listed in
// `keep` stay in the Volume; every other volume is dropped once summed (or
// without being converted, when the fit does not use it).
//
// With a concurrency of 2 or more the sums are made by one task on the call's
// arena (`arena`, or the default one when null) while the reading thread goes
// on inflating; otherwise on the reading thread. Volumes are summed strictly
// in order, each voxel's arithmetic being that of fit_dti.
class FitStream final : public VolumeSink {
 public:
  // Throws what fit_dti's set-up throws for these lists (empty shell, design
  // matrix), except the 4-D check: an image that is not 4-D, or whose volume
  // count differs from the table's, is declined in begin() and read whole.
  FitStream(const GradientTable& table, std::vector<std::uint64_t> b0_indices,
            std::vector<std::uint64_t> shell_indices, double min_s0, std::vector<std::uint64_t> keep,
            tbb::task_arena* arena, int concurrency);
  ~FitStream() override;
  FitStream(const FitStream&) = delete;
  FitStream& operator=(const FitStream&) = delete;

  bool begin(const VolumeInfo& info, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) override;
  float* buffer_for(std::uint64_t k) override;
  void volume_ready(std::uint64_t k, const float* data) override;
  void end() override;
  void abandon() noexcept override;

  // True when a whole image went through the stream and its field is not
  // yet taken; false when begin() declined the image (read whole instead).
  bool complete() const;
  // Waits for the summing task, which starts the eigen step itself as soon as
  // the last volume the fit reads is summed (possibly well before the read
  // ends); otherwise runs that step here, over the threads of the arena this
  // is called on. Hands out the field, once. Errors of the task come out here.
  TensorField take();

  bool taken() const;
  // Seconds the reading thread spent in the sink calls (summing volumes when
  // it sums them itself, waiting for a free buffer): time of the fit on the
  // reading thread, outside the reader's own timings. The summing task's work
  // runs alongside the read and is not in it.
  double reader_seconds() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarvix
