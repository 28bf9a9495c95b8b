// Flip detection: working shell, tensor fit, white-matter mask, the 48
// candidates ranked by coherence, and the PASS / WARN / FLAG decision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "candidate.hpp"
#include "error.hpp"
#include "gradient.hpp"
#include "json.hpp"
#include "options.hpp"
#include "shell.hpp"
#include "status.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix {

struct CandidateScore {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  double coherence = 0;
  std::uint64_t n_samples = 0;

  json::Value to_json() const;
};

struct FlipResult {
  double working_b = 0;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0;
  std::vector<CandidateScore> ranking;
  CandidateScore best;
  CandidateScore runner_up;
  double identity_coherence = 0;
  double margin = 0;
  double relative_margin = 0;
  std::optional<double> margin_threshold;  // present only when not exactly the default
  Status decision = Status::Pass;
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;

  json::Value to_json() const;
};

// What the viewer needs: the fitted field, the scoring mask and the frame map.
struct GlyphData {
  TensorField field;
  Mask mask;
  Mat3 frame_map = identity3();
};

// Seconds spent in the fit (and mask) and in the coherence ranking.
struct DetectTimings {
  double fit_s = 0;
  double coherence_s = 0;
  double scheme_s = 0;  // the scheme checks of an audit
};

struct FitAndMask {
  TensorField field;
  Mask mask;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0;
};

// What the detection fits, settled from the table and the options before any
// image is read, so that the fit can run while the image streams in. When the
// detection cannot run, `failure` holds the error it ends with, reported in
// its turn after the checks that come before it.
struct DetectionPlan {
  std::optional<Shell> shell;
  std::vector<std::uint64_t> b0;  // the fit's b=0 rows
  std::optional<Error> failure;

  bool ready() const { return !failure; }
};

DetectionPlan plan_detection(const GradientTable& table, const AnalysisOptions& options);

// The non-b=0 shell nearest b = 1000 (the lower b on a tie).
std::optional<Shell> select_working_shell(const GradientTable& table, double b0_threshold, double tolerance);
// The non-b=0 shell nearest `requested`; none is Error::no_flip_shell.
Shell pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance, double requested);

// A requested working shell (--shell) that is none of the table's
// diffusion-weighted shells, within the shell tolerance, is refused
// (Failure naming the shells there are); the module itself takes the nearest.
void require_requested_shell(const GradientTable& table, const AnalysisOptions& options);

// The scoring mask (the user's, else the white-matter proxy) on a fitted field.
FitAndMask mask_field(TensorField field, const Mask* mask);

std::vector<CandidateScore> rank_candidates(const TensorField& field, const Mask& mask, const Mat3& frame_map,
                                            double step);

FlipResult assemble_result(std::uint64_t n_wm_voxels, std::vector<CandidateScore> ranking, double working_b,
                           double mask_mean_fa, double margin_threshold);

bool antipodal_or_equal(const Mat3& a, const Mat3& b);

// Ranks the candidates on a fitted field. Glyph data and timings are filled
// when asked for; `fit_s` is what the caller's fit cost and is added to the
// masking time.
FlipResult detect_on_field(TensorField field, const Mask* mask, const DetectionPlan& plan, const Sampling& sampling,
                           double margin_threshold, GlyphData* glyphs = nullptr, DetectTimings* timings = nullptr,
                           double fit_s = 0);

// Plan, fit and rank in one go, for callers that hold the whole image.
FlipResult detect_flip(const Volume& volume, const GradientTable& table, const Mask* mask,
                       const AnalysisOptions& options, const Sampling& sampling, GlyphData* glyphs = nullptr,
                       DetectTimings* timings = nullptr);

}  // namespace tarvix
