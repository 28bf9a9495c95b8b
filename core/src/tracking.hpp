// Fibre tracking as a second flip measure: under the right table convention
// streamlines follow bundles over their whole length, under a wrong one they
// leave the bundle or turn sharply within a few steps. Each distinct candidate
// transform is scored by the mean length of deterministic streamlines grown
// from one fixed set of white-matter seeds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "candidate.hpp"
#include "execution.hpp"
#include "json.hpp"
#include "matrix.hpp"
#include "status.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix {

// Every default of the measure lives here, once. The values were chosen on
// the benchmark set of bench/tracking_accuracy.py (1.5 to 5 mm voxels, three
// noise levels, automatic and whole-head masks).
struct TrackingOptions {
  // Step length as a fraction of the smallest voxel side, so that no axis of
  // an anisotropic grid is crossed in less than two steps. A third of a voxel
  // gave no larger margins and took longer.
  double step_voxels = 0.5;
  // Largest turn between two consecutive steps. 30 and 60 degrees each left
  // noisy cases undecided (margin within two spreads) that 45 decides.
  double max_angle_deg = 45.0;
  // Seeds and every point of a streamline need this FA (nearest voxel). At
  // 0.2, noise lifts enough grey-matter voxels of a low-SNR scan over the
  // threshold to make the margin unsure.
  double fa_threshold = 0.3;
  // Seeds spread evenly over the trackable voxels (all of them when fewer).
  // 1000 left cases undecided by the spread; 4000 gained little for twice
  // the time.
  std::uint64_t n_seeds = 2000;
  // A grid with many trackable voxels (a fine whole-brain scan) gets one seed
  // per this many of them, up to max_seeds: on a real 1.2 mm scan (1.1
  // million trackable voxels) 2000 seeds left the margin's spread at 9 % and
  // the verdict within a spread of WARN; 5500 bring it to 4 % for 0.1 s more.
  std::uint64_t trackable_per_seed = 200;
  std::uint64_t max_seeds = 6000;
  // Shorter streamlines are rejected and count as length 0 in the mean.
  double min_length_mm = 10.0;
  // Each half of a streamline stops here, which bounds the cost of loops.
  double max_length_mm = 200.0;
  // Disjoint seed subsets (seed j in subset j mod n) for the margin's spread.
  std::uint64_t n_subsets = 5;
  // A lead is clear when it is at least this relative margin ...
  double margin_threshold = 0.05;
  // ... and at least this many spreads (the spread being the standard
  // deviation of the margin over the subsets, each a fifth of the seeds).
  double spread_factor = 2.0;
  // Below these the measure cannot judge and says WARN.
  std::uint64_t min_trackable_voxels = 200;
  std::uint64_t min_streamlines = 50;
  // The other frame's readings are scored only when they are at least this
  // far from every signed permutation (the declared frame's readings). Closer,
  // the streamlines of the two readings differ by less than their noise, and
  // the repair a frame would bring stays within this of the permutation's.
  double frame_distinct_deg = 5.0;
  // Two readings of the same axes in the two frames are told apart by the
  // paired per-seed difference of their streamline lengths: the other frame
  // is taken only when that mean difference is at least this many standard
  // errors and this fraction of the declared reading's score, against the
  // declared reading and against each control turn (FrameTest). 4 standard
  // errors left two frame mistakes of a 5 mm low-SNR crop undecided (3.98);
  // the control turns keep the false claims that 3 alone let through on
  // coarse grids (a 5 mm phantom 8 degrees oblique about two axes).
  double frame_t = 3.0;
  double frame_min_gain = 0.02;
  // Against each control turn, on every other seed. A table in the other
  // frame beats the worst of them at 2.7 standard errors on a 5 mm crop (290
  // seeds); where any small turn lengthens streamlines (a 5 mm phantom 8
  // degrees oblique about two axes) one control comes within 1.2.
  double frame_control_t = 2.0;
};

// Which frame the table's best axes are in, when the other frame's reading of
// them scored higher: the paired comparison of the two readings over the same
// seeds, then of the other frame's reading against the declared reading
// turned as far about other axes (were the declared frame right, the other
// frame's turn would be one of many of its size).
struct FrameTest {
  std::string other_label;      // the other frame's reading, e.g. "scanner->image -x+y+z"
  double angle_deg = 0;         // how far the two readings are apart
  double declared_mm = 0;       // the declared frame's reading of the same axes
  double other_mm = 0;
  double mean_difference_mm = 0;  // other minus declared, per seed
  double standard_error_mm = 0;
  // The declared reading turned as far otherwise: how many there
  // were and how many the other frame's reading beat as clearly.
  std::uint64_t controls = 0;
  std::uint64_t controls_beaten = 0;
  // Whether the other frame is told apart (and so taken): it beats the
  // declared reading and every control; otherwise the declared frame is kept
  // and the axis verdict stands on its reading.
  bool distinct = false;

  json::Value to_json() const;
};

// mean_length_mm is over every seed, a rejected streamline counting as 0;
// n_streamlines counts the accepted ones.
struct TrackingScore {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  double mean_length_mm = 0;
  std::uint64_t n_streamlines = 0;
  // For a reading of the other frame: its name ("scanner->image"), and the
  // signed permutation applied before the frame correction (matrix is the
  // correction times axes). None for the declared frame's readings.
  std::optional<std::string> frame;
  Mat3 axes{};

  json::Value to_json() const;
};

struct TrackingResult {
  Status decision = Status::Warn;
  std::optional<std::string> recommended_label;
  std::optional<Mat3> recommended_transform;
  TrackingScore best;
  // Whether best scored more than runner_up. When every transform scores the
  // same (no streamline under any of them), best is only the first of a tie
  // and names nothing: the decision is WARN and no transform is recommended.
  bool best_leads = false;
  // The best reading of axes other than best's in the frame taken (the
  // declared one unless frame_test took the other), or of other axes in the
  // frame not taken when it outscores best: a reading of the same axes in the
  // other frame is never the runner-up.
  TrackingScore runner_up;
  double relative_margin = 0;
  double margin_spread = 0;
  double margin_threshold = 0;
  // One entry per pair {M, -M}, named by the one with fewer sign flips
  // (canonical_transform), as best, runner_up and the recommendation are.
  std::vector<TrackingScore> ranking;
  // The other frame the table may be in, when it was known (an image with an
  // affine), and whether its readings were scored: not when they coincide
  // with the declared frame's within TrackingOptions::frame_distinct_deg.
  std::optional<OtherFrame> other_frame;
  bool other_frame_scored = false;
  // Set when the other frame's reading of the best axes outscored the declared
  // frame's.
  std::optional<FrameTest> frame_test;
  // Voxels the seeds were spread over (all of them seeds when no more than
  // the seed count).
  std::uint64_t n_trackable = 0;
  // Why the measure could not judge (too few trackable voxels, no streamline
  // under any transform, too few under the best); none when it could. Set
  // whenever the decision is WARN for want of evidence rather than of a lead.
  std::optional<std::string> thin_evidence;
  // What was used, as opposed to asked for: the step in mm and the seed count.
  double step_mm = 0;
  double max_angle_deg = 0;
  double fa_threshold = 0;
  std::uint64_t n_seeds = 0;
  double min_length_mm = 0;
  std::uint64_t n_subsets = 0;

  json::Value to_json() const;
};

// Voxels a streamline may seed in or pass through: valid, FA at or above the
// threshold, and inside the mask when one is given, else in the tissue
// (TensorField::tissue_threshold). Grid length.
Mask trackable_voxels(const TensorField& field, const Mask* mask, double fa_threshold);

// The fixed part of growing streamlines on one grid.
struct TrackingGeometry {
  std::array<std::uint64_t, 3> shape{};
  Vec3 step_voxels{};  // one step of 1 mm along each axis, in voxels
  double step_mm = 0;
  double cos_max_angle = 0;
  std::uint64_t max_steps = 0;
};
TrackingGeometry tracking_geometry(const std::array<std::uint64_t, 3>& shape, const Vec3& voxel_sizes_mm,
                                   const TrackingOptions& options);

// Fitted directions of the trackable voxels as floats, zero elsewhere: the
// field every candidate is tracked in (each through its own map).
std::vector<std::array<float, 3>> trackable_field(const TensorField& field, const Mask& trackable);

// The points (voxel coordinates) of the streamline through the centre of
// voxel `seed` under the map `a` (table frame -> voxel axes), from one end to
// the other; the seed's own direction is followed both ways.
std::vector<Vec3> streamline_points(const TrackingGeometry& g, const std::vector<std::array<float, 3>>& table_field,
                                    const Mat3& a, std::uint64_t seed);

// Up to `count` streamlines under candidate matrix m, from seeds spread over
// the trackable voxels as the measure spreads its own: what a picture of the
// measure draws, as given (m = identity) and with the recommended transform.
// `axes_to_world` (the world direction of each voxel axis, as rows) fixes
// the order seeds are spread in, so that storage order does not choose them.
std::vector<std::vector<Vec3>> sample_streamlines(const TensorField& field, const Mask* mask, const Mat3& frame_map,
                                                  const Vec3& voxel_sizes_mm, const Mat3& m, std::uint64_t count,
                                                  const TrackingOptions& options = {},
                                                  const Mat3& axes_to_world = identity3());

// Scores the 24 distinct candidates (a matrix and its negation share every
// streamline) and decides. Results are the same for any thread count.
TrackingResult track_candidates(const TensorField& field, const Mask* mask, const Mat3& frame_map,
                                const Vec3& voxel_sizes_mm, const TrackingOptions& options, Execution& exec);

// The same, with the 24 readings of the table in the other frame beside them
// when the two frames differ by more than a signed permutation (an oblique
// image); each is applied in the table's own frame as `frame_map` maps it.
TrackingResult track_candidates(const TensorField& field, const Mask* mask, const Mat3& frame_map,
                                const std::optional<OtherFrame>& other, const Vec3& voxel_sizes_mm,
                                const TrackingOptions& options, Execution& exec,
                                const Mat3& axes_to_world = identity3());

}  // namespace tarvix
