// The arithmetic the tensor fit shares between fitting a whole image and
// fitting it while it streams in: the design and its pseudo-inverse, adding
// log-signal rows into a block's per-voxel sums, and the per-voxel eigen step.
// Internal to the fit (tensor.cpp and fit_stream.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "eigen3x3.hpp"
#include "gradient.hpp"
#include "tensor.hpp"

namespace tarvix::fit {

// Stored voxels per block. A block's sums (kRows rows of kBlock doubles) stay
// in L1/L2 while a run of volumes is added into them.
constexpr std::size_t kBlock = 512;
// Per voxel: the six tensor sums, then the baseline signal sum. The fit's
// seventh parameter, the log-baseline, is never read (the baseline is the
// mean b=0 signal), so its sum is not made: an eighth of the memory the
// streamed fit holds per voxel, and of its multiply-adds. Rows exactly 4 KiB
// apart would alias each other in the load/store unit.
constexpr std::size_t kParams = 6;
constexpr std::size_t kBaseRow = kParams;
constexpr std::size_t kRows = kParams + 1;
constexpr std::size_t kStride = kBlock + 16;
constexpr std::size_t kBlockDoubles = kRows * kStride;
// Rows added in one pass over a block's sums.
constexpr std::size_t kGroup = 4;
constexpr double kMinSignal = 1e-6;
constexpr double kMinDirectionNorm = 1e-6;
constexpr double kMinSingularValue = 1e-12;

// One design row: the volume's signals for the block, its column of the
// pseudo-inverse and whether it counts towards the baseline sum. The signals
// are floats at `src`, or, when `stored` is set, the voxels as the image
// stores them, looked up in a SignalTable.
struct RowInput {
  const float* src;
  const double* w;
  bool base;
  const unsigned char* stored = nullptr;
};

// The log-signal of every value a voxel stored in 8 or 16 bits can take, made
// once per image by the very kernel that takes the logs of float signals, so
// that a looked-up row adds the same bits as a converted one. Most scanners
// write int16: the fit then does one lookup per voxel and row instead of a
// logarithm (and no conversion at all).
struct SignalTable {
  std::size_t bytes = 0;     // per stored voxel: 1 or 2
  std::vector<double> ln;    // per stored bit pattern
  std::vector<float> value;  // the pattern as a float signal, for the baseline sum
};

using StoredToFloat = std::function<void(const unsigned char* src, std::size_t n, float* dst)>;

// Empty (bytes 0) for stored voxels wider than 16 bits.
SignalTable make_signal_table(std::size_t bytes_per_voxel, const StoredToFloat& to_float, double ln_floor);

// One design row: its volume, its column of the pseudo-inverse for the six
// tensor elements and whether the volume counts towards the baseline mean.
struct DesignRow {
  std::uint64_t volume = 0;
  std::array<double, kParams> w{};
  bool base = false;
};

// What every voxel of one fit shares: the rows in ascending volume order.
struct FitDesign {
  std::vector<DesignRow> rows;
  double base_count = 1;
  double min_s0 = 1;
  double ln_floor = 0;
};

// The eigen step for the block of `n` stored voxels from `start`; each voxel
// is written to its own slot in voxel linear order.
// Scratch of the eigen step for one block.
struct FinishScratch {
  std::vector<std::uint32_t> at;     // block positions of the voxels fitted
  std::vector<std::uint64_t> slot;   // and their voxel linear indices
  std::vector<eigen3x3::EigenSetup> setup;
  std::vector<double> cos_theta, sin_theta;
  FinishScratch() : at(kBlock), slot(kBlock), setup(kBlock), cos_theta(kBlock), sin_theta(kBlock) {}
};

// Adds `count` rows, in order, to a block's sums (n voxels); `table` is the
// one the stored rows are looked up in.
void add_row_run(double* acc, const RowInput* rows, std::size_t count, std::size_t n, double ln_floor,
                 const SignalTable* table = nullptr);

// Checks the lists against the table and solves the design; no image needed.
FitDesign make_design(const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                      const std::vector<std::uint64_t>& shell_indices, double min_s0);

// Without `directions`, v1 is left empty for the caller to make later.
TensorField empty_field(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, bool directions = true);

// Which voxels the eigen step takes, by their baseline: all, none, those at
// or above `from`, or the others. Every voxel's baseline is written either way.
struct EigenPick {
  enum Mode { All, None, AtLeast, Below } mode = All;
  double from = 0;
  bool takes(double s0) const {
    switch (mode) {
      case All: return true;
      case None: return false;
      case AtLeast: return s0 >= from;
      case Below: return !(s0 >= from);
    }
    return true;
  }
};

// The eigen step for the block of `n` stored voxels from `start`; each voxel
// is written to its own slot in voxel linear order. With `v1_in` set (the
// block's sums themselves), a fitted voxel's direction goes to its first three
// rows there instead of to the field, whose list of directions need not exist yet.
void finish_block(const FitDesign& design, const double* acc, std::uint64_t start, std::size_t n, TensorField& field,
                  FinishScratch& scratch, EigenPick pick = {}, double* v1_in = nullptr);

}  // namespace tarvix::fit
