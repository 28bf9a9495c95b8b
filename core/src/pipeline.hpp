// The inspect, audit and detect pipelines that turn a loaded table (and an
// optional DWI and mask) into a Report.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "execution.hpp"
#include "flip.hpp"
#include "gradient.hpp"
#include "io/provenance.hpp"
#include "report.hpp"
#include "tensor.hpp"
#include "volume.hpp"

namespace tarvix {

struct RunOptions {
  std::optional<double> shell;
  double b0_threshold = 50.0;
  double tolerance = 0.05;
  double duplicate_angle_deg = 5.0;
  FlipOptions flip;
  double norm_tolerance = 0.05;
  bool strict = false;
};

// Extra results of the glyph and timed variants; the report is unchanged by them.
struct PipelineExtras {
  GlyphData* glyphs = nullptr;
  DetectTimings* timings = nullptr;
};

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs, const RunOptions& options);
Report inspect_pipeline(const GradientTable& table, std::vector<InputFile> inputs, const RunOptions& options);
Report audit_pipeline(const GradientTable& table, const Volume* dwi, const Mask* mask,
                      std::vector<InputFile> inputs, const RunOptions& options, PipelineExtras extras = {});
Report detect_pipeline(const GradientTable& table, const Volume& dwi, const Mask* mask,
                       std::vector<InputFile> inputs, const RunOptions& options, PipelineExtras extras = {});

FlipResult run_flip(const Volume& dwi, const GradientTable& table, const Mask* mask, const RunOptions& options,
                    PipelineExtras extras = {});
Shell pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance, double requested);
void note_low_mask_fa(Report& report);

// Sampling four units of the header's voxel-size unit apart, never closer than
// one voxel; headers with unusable sizes fall back to one voxel.
double default_step(const Vec3& voxel_sizes);

// The flip detection's fit, run while the DWI is read, when nothing the
// pipeline checks before the fit can fail with these options (the caller has
// already refused an unusable step); otherwise none, and the pipeline reaches
// its error (or fit) as it would anyway. The shell is chosen exactly as the
// detection will choose it. `keep_b0`: the pipeline measures the b=0 drift, so
// those volumes stay in memory. The stream must be destroyed before the volume
// it fills.
std::unique_ptr<FitStream> start_streamed_fit(const GradientTable& table, const RunOptions& options,
                                              const Execution& exec, bool keep_b0);

// Volume and mask agreement checks made before any image analysis.
void check_volume_and_mask(const GradientTable& table, const Volume& dwi, const Mask* mask);

}  // namespace tarvix
