#include "pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "angular.hpp"
#include "drift.hpp"
#include "error.hpp"
#include "format.hpp"
#include "scheme_qc.hpp"
#include "shell.hpp"

namespace tarvix {

namespace {

constexpr double kNonIntegerTolerance = 0.001;
constexpr double kLowMaskFa = 0.3;

void set_flip(Report& report, FlipResult flip) {
  report.status = flip.decision;
  report.flip = std::move(flip);
}

}  // namespace

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs, const RunOptions& options) {
  Report report = Report::make(SchemeTable::of(table));
  report.inputs = std::move(inputs);

  ShellSummary summary;
  summary.shells = detect_shells(table.bvals, options.b0_threshold, options.tolerance);
  summary.b0 = b0_summary(table.bvals, options.b0_threshold);
  summary.non_integer_bvals = non_integer_bvals(table.bvals, kNonIntegerTolerance);
  summary.b0_threshold = options.b0_threshold;
  summary.tolerance = options.tolerance;
  report.shells = std::move(summary);

  report.angular = angular::analyze(table, options.b0_threshold, options.tolerance, options.duplicate_angle_deg);
  report.norm_stats = table.norm_stats(options.b0_threshold, options.norm_tolerance);
  return report;
}

Report inspect_pipeline(const GradientTable& table, std::vector<InputFile> inputs, const RunOptions& options) {
  return scheme_qc::apply(scheme_report(table, std::move(inputs), options), options.strict);
}

void check_volume_and_mask(const GradientTable& table, const Volume& dwi, const Mask* mask) {
  const std::uint64_t gradients = table.bvals.size();
  const std::uint64_t volumes = dwi.volume_count();
  if (gradients != volumes) throw Error::volume_mismatch(gradients, volumes);
  if (mask) {
    const std::uint64_t grid = dwi.grid_voxels();
    if (mask->size() != grid) throw Error::mask_mismatch(mask->size(), grid);
  }
}

Report audit_pipeline(const GradientTable& table, const Volume* dwi, const Mask* mask, std::vector<InputFile> inputs,
                      const RunOptions& options, PipelineExtras extras) {
  // Neither check depends on the scheme analysis, which cannot fail, so checking
  // first only spares that work when the image does not fit the table.
  if (dwi) check_volume_and_mask(table, *dwi, mask);
  Report report = scheme_report(table, std::move(inputs), options);
  if (!dwi) return scheme_qc::apply(std::move(report), options.strict);

  report.b0_drift = compute_drift(*dwi, table, mask, options.b0_threshold);
  set_flip(report, run_flip(*dwi, table, mask, options, extras));
  note_low_mask_fa(report);
  return scheme_qc::apply(std::move(report), options.strict);
}

Report detect_pipeline(const GradientTable& table, const Volume& dwi, const Mask* mask, std::vector<InputFile> inputs,
                       const RunOptions& options, PipelineExtras extras) {
  check_volume_and_mask(table, dwi, mask);
  Report report;
  if (extras.glyphs) {
    // The glyph variant stamps its report after the detection has run.
    FlipResult flip = run_flip(dwi, table, mask, options, extras);
    report = Report::make(SchemeTable::of(table));
    report.inputs = std::move(inputs);
    set_flip(report, std::move(flip));
  } else {
    report = Report::make(SchemeTable::of(table));
    report.inputs = std::move(inputs);
    set_flip(report, run_flip(dwi, table, mask, options, extras));
  }
  note_low_mask_fa(report);
  return report;
}

FlipResult run_flip(const Volume& dwi, const GradientTable& table, const Mask* mask, const RunOptions& options,
                    PipelineExtras extras) {
  if (!options.shell) return detect_flip(dwi, table, mask, options.flip, extras.glyphs, extras.timings);
  const Shell shell = pick_shell(table.bvals, options.b0_threshold, options.tolerance, *options.shell);
  return detect_flip_on_shell(dwi, table, mask, shell, options.flip, extras.glyphs, extras.timings);
}

Shell pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance, double requested) {
  std::vector<Shell> shells = detect_shells(bvals, b0_threshold, tolerance);
  Shell* best = nullptr;
  double best_diff = 0;
  for (auto& s : shells) {
    if (s.is_b0) continue;
    const double diff = std::fabs(s.nominal_b - requested);
    if (!best || diff < best_diff) {
      best = &s;
      best_diff = diff;
    }
  }
  if (!best) throw Error::no_flip_shell();
  return std::move(*best);
}

void note_low_mask_fa(Report& report) {
  if (!report.flip) return;
  const double fa = report.flip->mask_mean_fa;
  if (fa > 0.0 && fa < kLowMaskFa)
    report.notes.push_back("coherence mask mean FA " + format_fixed(fa, 2) +
                           " is low (looks whole-brain) \u2014 flip-detection sensitivity is reduced; supply a WM "
                           "mask (FA-thresholded) for a wider margin");
}

double default_step(const Vec3& voxel_sizes) {
  const double m = (voxel_sizes[0] + voxel_sizes[1] + voxel_sizes[2]) / 3.0;
  if (m > 0.0) return std::max(4.0 / m, 1.0);
  return 1.0;
}

std::unique_ptr<FitStream> start_streamed_fit(const GradientTable& table, const RunOptions& o, const Execution& exec,
                                              bool keep_b0) {
  const double mt = o.flip.margin_threshold;
  if (!(std::isfinite(mt) && mt > 0.0 && mt <= 1.0)) return nullptr;
  std::optional<Shell> shell;
  if (o.shell) {
    try {
      shell = pick_shell(table.bvals, o.b0_threshold, o.tolerance, *o.shell);
    } catch (const Error&) {
      return nullptr;
    }
  } else {
    shell = select_working_shell(table, o.flip.b0_threshold, o.flip.tolerance);
  }
  if (!shell || shell->indices.empty()) return nullptr;
  std::vector<std::uint64_t> keep;
  if (keep_b0) keep = table.b0_indices(o.b0_threshold);
  try {
    return std::make_unique<FitStream>(table, table.b0_indices(o.flip.b0_threshold), shell->indices, o.flip.min_s0,
                                       std::move(keep), exec.arena(), exec.concurrency());
  } catch (const Error&) {
    return nullptr;  // a design the fit cannot solve: the fit reports it in its turn
  }
}

}  // namespace tarvix
