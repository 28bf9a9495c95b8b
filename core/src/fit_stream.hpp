// The tensor fit streamed into the DWI read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <tbb/task_arena.h>

#include "gradient.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix {

class SignalSample;

// The voxels a streamed fit must complete: all of them; only those the
// white-matter proxy can take (validly fitted voxels at or above its
// brightness threshold; the rest get valid 0), which is all an audit without
// a mask of its own, without the field's pictures and without the tracking
// reads; or those and the tissue the tracking seeds in, which reaches below
// the proxy's threshold on a grid with no background.
enum class FitScope { Whole, WhiteMatterProxy, ProxyAndTissue };

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
            tbb::task_arena* arena, int concurrency, FitScope scope = FitScope::Whole);
  ~FitStream() override;
  FitStream(const FitStream&) = delete;
  FitStream& operator=(const FitStream&) = delete;

  bool begin(const VolumeInfo& info, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) override;
  float* buffer_for(std::uint64_t k) override;
  void volume_ready(std::uint64_t k, const float* data) override;
  void end() override;
  void abandon() noexcept override;
  // Takes the volumes it does not keep as stored (when they are no wider than
  // floats) and converts each block's run as it sums it: on the summing task
  // with a concurrency of 2 or more, so the reading thread only inflates them.
  bool take_raw(const RawVoxels& raw) override;
  unsigned char* raw_buffer_for(std::uint64_t k) override;
  void raw_volume_ready(std::uint64_t k, const unsigned char* raw, const float* kept) override;

  // Before the read: the means over the whole grid (grid_mean) of these
  // volumes are worked out by the summing task as they arrive, while the
  // reading thread still inflates, instead of after the read. They need not
  // be kept: one that is not passes through the ring like the fit's volumes
  // and is gone once averaged.
  void average_volumes(std::vector<std::uint64_t> volumes);
  // Before the read: every volume, the fit's or not, goes through the stream
  // and leaves its signals on the lattice of `sample` (filled by whoever sums,
  // so the reading thread only inflates). Volumes the fit does not read then
  // take a ring slot too, and the eigen step waits for the last volume.
  void sample_signals(SignalSample* sample);
  // Before the read: sums of at least this many bytes make the stream hold
  // its ring small and park the directions in the sums (default: sums the
  // buffer cache would not keep anyway).
  void lean_from(std::size_t sum_bytes);
  // After take(): the means of `volumes`, in that order, when every one was
  // worked out.
  std::optional<std::vector<double>> volume_means(const std::vector<std::uint64_t>& volumes) const;

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
  std::size_t claim_slot();
  void deliver(std::uint64_t k, const float* data, const unsigned char* raw, const float* kept);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarvix
