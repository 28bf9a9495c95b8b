// Flip detection: working shell, tensor fit, white-matter mask, the 48
// candidates ranked by coherence, and the PASS / WARN / FLAG decision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "candidate.hpp"
#include "gradient.hpp"
#include "json.hpp"
#include "shell.hpp"
#include "status.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix {

struct FlipOptions {
  double b0_threshold = 50.0;
  double tolerance = 0.05;
  double min_s0 = 1.0;
  double fa_threshold = 0.2;
  double step = 1.0;
  double margin_threshold = 0.02;
  Mat3 frame_map = identity3();
  // A fit the call frame ran while the DWI was read. Detection takes its field
  // when it was made for the b=0 and shell volumes detection uses, and fits
  // the volume itself otherwise.
  FitStream* prefit = nullptr;
};

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
  std::optional<double> margin_threshold;  // present only when not exactly 0.02
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
};

struct FitAndMask {
  TensorField field;
  Mask mask;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0;
};

std::optional<Shell> select_working_shell(const GradientTable& table, double b0_threshold, double tolerance);

FitAndMask fit_and_mask(const Volume& volume, const GradientTable& table, const Mask* mask,
                        const std::vector<std::uint64_t>& shell_indices, const FlipOptions& options);

std::vector<CandidateScore> rank_candidates(const TensorField& field, const Mask& mask, const Mat3& frame_map,
                                            double step);

FlipResult assemble_result(std::uint64_t n_wm_voxels, std::vector<CandidateScore> ranking, double working_b,
                           double mask_mean_fa, double margin_threshold);

bool antipodal_or_equal(const Mat3& a, const Mat3& b);

// Automatic working shell. Glyph data and timings are filled when asked for.
FlipResult detect_flip(const Volume& volume, const GradientTable& table, const Mask* mask,
                       const FlipOptions& options, GlyphData* glyphs = nullptr, DetectTimings* timings = nullptr);

// On a shell the caller chose.
FlipResult detect_flip_on_shell(const Volume& volume, const GradientTable& table, const Mask* mask,
                                const Shell& shell, const FlipOptions& options, GlyphData* glyphs = nullptr,
                                DetectTimings* timings = nullptr);

}  // namespace tarvix
