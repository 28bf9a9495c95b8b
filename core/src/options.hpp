// The analysis options every analysing call shares, each default stated once.
// The module's parameter table, the batch and the pipelines all read them here.
#pragma once

#include <optional>

#include "matrix.hpp"

namespace tarvix {

namespace defaults {
inline constexpr double kTolerance = 0.05;         // relative b-value spread of one shell
inline constexpr double kB0Threshold = 50.0;       // b at or below this is a b=0 volume
inline constexpr double kMarginThreshold = 0.02;   // relative coherence lead needed to FLAG
inline constexpr double kNormTolerance = 0.05;     // |g| this far from 1 is not unit length
// Fixed settings of the detection; no caller chooses them.
inline constexpr double kMinS0 = 1.0;              // voxels with a darker b=0 mean are not fitted
inline constexpr double kFaThreshold = 0.2;        // white-matter proxy
inline constexpr double kDuplicateAngleDeg = 5.0;  // directions closer than this are near-duplicates
}  // namespace defaults

struct AnalysisOptions {
  double tolerance = defaults::kTolerance;
  double b0_threshold = defaults::kB0Threshold;
  std::optional<double> shell;  // the working shell nearest this b; none: automatic
  std::optional<double> step;   // sampling distance in voxels; none: the image's default
  double margin_threshold = defaults::kMarginThreshold;
  bool strict = false;
  double norm_tolerance = defaults::kNormTolerance;
};

// A caller's step must be finite and above 0; none stands for the image's default.
bool step_valid(const std::optional<double>& step);
// Failure "step must be finite and greater than 0: ..." unless step_valid.
void check_step(const std::optional<double>& step);
// A margin threshold must be finite and in (0, 1] (Error::margin_threshold).
void check_margin_threshold(double threshold);

// Where one image's coherence is sampled: the map from the table's frame to the
// voxel axes, and the sampling distance in voxels.
struct Sampling {
  Mat3 frame_map = identity3();
  double step = 1.0;
};

}  // namespace tarvix
