// Does the table belong to the image? The axis measures judge a table's
// directions up to a transform; a table whose rows do not describe the image's
// volumes (another acquisition's table of the same count, rows written in
// another order, a b=0 row moved, shells listed under each other's b-values)
// makes every transform wrong at once. The image says a lot about it: b=0
// volumes are bright, each shell is darker than the one below it by the
// tissue's diffusivity, and within a shell each volume's signal follows the
// tensor along its own direction.
//
// Everything here works on a lattice of a few thousand voxels whose signals
// are kept from every volume as the DWI streams by: no second read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gradient.hpp"
#include "json.hpp"
#include "status.hpp"
#include "volume.hpp"

namespace tarvix {

// The signals of a fixed lattice of voxels in every volume, and of each
// lattice voxel's neighbour along x (what the image's own noise is measured
// from). Filled volume by volume (in any order, each once) as the image is
// read.
class SignalSample {
 public:
  // Voxels kept per volume, at most: enough for brain means to a fraction of
  // a percent and for the order test, small enough to cost nothing next to
  // the read (a few MB for a hundred volumes).
  static constexpr std::uint64_t kTargetVoxels = 20000;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // The lattice of a grid (stored order, x fastest) for `n_volumes` volumes.
  void begin(const std::vector<std::uint64_t>& shape, std::uint64_t n_volumes,
             std::uint64_t target = kTargetVoxels);
  bool begun() const { return n_volumes_ > 0; }
  void take(std::uint64_t k, const float* volume);
  // Every volume of a whole image in memory.
  void take_all(const Volume& volume);

  // For a filler that works block by block (the streamed fit, while each
  // block's voxels are in cache): the kept voxels within stored voxels
  // [begin, end) are [first, last) of `kept()`; it writes volume k's signals
  // of them into `slot(k)` and marks the volume once every block is done.
  const std::vector<std::uint64_t>& kept() const { return kept_; }
  std::pair<std::size_t, std::size_t> within(std::uint64_t begin, std::uint64_t end) const;
  float* slot(std::uint64_t k) { return filling_.data() + k * kept_.size(); }
  // Before any volume comes in: every volume will be written as its stored
  // 16-bit patterns into `pattern_slot(k)`, each read later as value[pattern]
  // (65,536 floats), at half the memory of the floats.
  void hold_patterns(const std::vector<float>& value);
  bool holds_patterns() const { return !patterns_.empty(); }
  std::uint16_t* pattern_slot(std::uint64_t k) { return patterns_.data() + k * kept_.size(); }
  void mark(std::uint64_t k);
  // Once every volume is in, before the signals are read: non-finite
  // signals (of a damaged volume) read as no signal.
  void clean();

  bool complete() const;
  std::uint64_t voxels() const { return static_cast<std::uint64_t>(lattice_.size()); }
  std::uint64_t volumes() const { return n_volumes_; }
  // Volume k's signals, one per lattice voxel.
  const float* signals(std::uint64_t k) const { return values_.data() + k * lattice_.size(); }
  // Volume k's signals of the lattice voxels' neighbours along x (0 where a
  // voxel ends its row and has none: see has_neighbour).
  const float* neighbours(std::uint64_t k) const { return neighbour_values_.data() + k * lattice_.size(); }
  bool has_neighbour(std::size_t v) const { return neighbour_at_[v] != kNone; }

 private:
  std::vector<std::uint64_t> lattice_;  // stored-order voxel indices, ascending
  std::vector<std::uint64_t> kept_;     // the lattice and its neighbours, ascending
  std::vector<std::size_t> lattice_at_, neighbour_at_;  // their places in kept_
  std::vector<float> filling_;          // volume-major over kept_, until every volume is in
  std::vector<std::uint16_t> patterns_;  // or, with hold_patterns, their stored patterns
  std::vector<float> pattern_value_;
  std::vector<float> values_, neighbour_values_;  // volume-major over the lattice
  std::vector<std::uint8_t> filled_, settled_;
  std::uint64_t n_volumes_ = 0;

  void make_lists();
  void settle(std::uint64_t k);
};

// Margins and thresholds of the three tests. Each margin is oriented so that
// a correct table scores high: a test warns below `warn` and flags below
// `flag`. The values come from the generated scans, the benchmark phantoms and
// the shared real series (bench/consistency.py prints the margins of all).
struct ConsistencyRules {
  // b=0 test: each row's distance, in units of the b=0-to-first-shell
  // contrast, from the level it should not have (1 = exactly its own level).
  double b0_warn = 0.6, b0_flag = 0.4;
  // Below this contrast between the b=0 level and the first shell (as a
  // fraction of the b=0 level) the two cannot be told apart.
  double min_contrast = 0.08;
  // Shell test: how far each level falls below the one before it
  // (1 - ratio); it must fall at all.
  double shell_fall_warn = 0.05, shell_fall_flag = 0.0;
  // Volume test: a diffusion-weighted volume's distance from the midpoint
  // between its shell's level and a neighbouring shell's, on the log scale
  // (0.5 at its own level, 0 midway, negative past it).
  double volume_warn = 0.15, volume_flag = -0.1;
  // Apparent diffusivity of the brain means between consecutive levels, mm²/s.
  double adc_low = 0.1e-3, adc_high = 3.5e-3;
  // Order test: how many spreads of the shuffled residuals the given order's
  // residual lies below their median. Below `order_flag` it flags only when
  // the shell's signal varies across its volumes clearly more than noise does
  // (`structure`: the ratio of the two, noise from the b=0 repeats, the
  // background, or else neighbouring voxels), else it warns.
  double order_warn = 2.5, order_flag = 2.0;
  double structure_flag = 1.5;
  std::uint64_t min_order_volumes = 10;
  std::uint64_t permutations = 100;
  std::uint64_t order_voxels = 20000;
  // A shell of more volumes is tested on this many, evenly spread: shuffles
  // of 256 rows tell an order as well as shuffles of thousands, and the
  // test's memory (the shell's Gram matrix) grows with the square.
  std::uint64_t max_order_volumes = 256;
  // Voxels x volumes² (the Gram matrix's cost) is kept under this: at the
  // most 20,000 voxels up to 141 volumes, fewer beyond.
  double order_work = 4e8;
  std::uint64_t seed = 0x7461727669785ULL;
  std::uint64_t min_brain_voxels = 100;
};

struct ConsistencyTest {
  std::string name;  // "b0", "shells", "volumes", "order"
  bool judged = false;
  Status status = Status::Pass;
  std::optional<double> margin;  // the worst margin found
  double warn = 0, flag = 0;     // its thresholds
  std::vector<std::string> findings;

  json::Value to_json() const;
};

// The order test of one shell.
struct OrderShell {
  double b = 0;
  std::vector<std::uint64_t> volumes;
  double residual = 0;           // the table as given, summed over the voxels
  double shuffled_median = 0;    // over the permutations
  double shuffled_spread = 0;    // their interquartile range / 1.349
  double z = 0;                  // (median - residual) / spread
  std::optional<double> structure;  // variance across the shell over noise's; none when the noise is unknown
  bool judged = false;
  Status status = Status::Pass;

  json::Value to_json() const;
};

struct ConsistencyResult {
  Status status = Status::Pass;
  std::uint64_t sampled_voxels = 0;
  std::uint64_t brain_voxels = 0;
  std::vector<double> volume_means;  // mean signal of each volume inside the brain
  std::vector<double> bvals;         // the table's, beside them
  std::vector<std::uint64_t> b0_volumes;
  ConsistencyTest b0, shells, volumes, order;
  std::vector<OrderShell> order_shells;
  // Why the measure judged nothing at all (too few voxels), when so.
  std::optional<std::string> not_judged;
  // The findings of the failing tests, worst first: what the verdict says.
  std::vector<std::string> notes() const;
  // FLAG: the table does not describe this image's volumes.
  bool mismatch() const { return status == Status::Flag; }

  json::Value to_json() const;
};

// `b0_threshold` and `tolerance` group the table as the report's shells do.
// The order test's permutations run in parallel on the calling arena.
ConsistencyResult check_consistency(const GradientTable& table, const SignalSample& sample, double b0_threshold,
                                    double tolerance, const ConsistencyRules& rules = {});

// "7", "14–20", "1–5, 7, 9–12": ascending volume indices as runs.
std::string volume_ranges(const std::vector<std::uint64_t>& volumes);

}  // namespace tarvix
