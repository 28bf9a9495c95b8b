#include "pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "angular.hpp"
#include "drift.hpp"
#include "error.hpp"
#include "format.hpp"
#include "scheme_qc.hpp"
#include "shell.hpp"
#include "timing.hpp"

namespace tarvix {

namespace {

constexpr double kNonIntegerTolerance = 0.001;
constexpr double kLowMaskFa = 0.3;

void set_flip(Report& report, FlipResult flip) {
  report.status = flip.decision;
  report.flip = std::move(flip);
}

}  // namespace

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs, const AnalysisOptions& options) {
  Report report = Report::make(SchemeTable::of(table));
  report.inputs = std::move(inputs);

  ShellSummary summary;
  summary.shells = detect_shells(table.bvals, options.b0_threshold, options.tolerance);
  summary.b0 = b0_summary(table.bvals, options.b0_threshold);
  summary.non_integer_bvals = non_integer_bvals(table.bvals, kNonIntegerTolerance);
  summary.b0_threshold = options.b0_threshold;
  summary.tolerance = options.tolerance;
  report.shells = std::move(summary);

  report.angular = angular::analyze(table, options.b0_threshold, options.tolerance, defaults::kDuplicateAngleDeg);
  report.norm_stats = table.norm_stats(options.b0_threshold, options.norm_tolerance);
  return report;
}

Report inspect_pipeline(const GradientTable& table, std::vector<InputFile> inputs, const AnalysisOptions& options) {
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

namespace {

// The b=0 drift, from the means the streamed fit made during the read when
// it made them all (then without a mask), else from the volumes now.
B0Drift drift_of(const RunData& run, const Volume& dwi, const AnalysisOptions& options) {
  const GradientTable& table = run.loaded.table;
  if (!run.mask_ptr() && run.stream) {
    std::vector<std::uint64_t> indices = table.b0_indices(options.b0_threshold);
    if (std::optional<std::vector<double>> means = run.stream->volume_means(indices))
      return b0_drift(std::move(indices), std::move(*means));
  }
  return compute_drift(dwi, table, run.mask_ptr(), options.b0_threshold);
}

}  // namespace

Report audit_pipeline(RunData& run, const AnalysisOptions& options, PipelineExtras extras) {
  const GradientTable& table = run.loaded.table;
  const Volume* dwi = run.volume();
  // Neither check depends on the scheme analysis, which cannot fail, so checking
  // first only spares that work when the image does not fit the table.
  if (dwi) check_volume_and_mask(table, *dwi, run.mask_ptr());
  const Stopwatch scheme_clock;
  Report report = scheme_report(table, run.loaded.inputs, options);
  if (extras.timings) extras.timings->scheme_s = scheme_clock.seconds();
  if (!dwi) return scheme_qc::apply(std::move(report), options.strict);

  FlipResult flip = run_flip(run, options, extras);
  report.b0_drift = drift_of(run, *dwi, options);
  set_flip(report, std::move(flip));
  note_low_mask_fa(report);
  return scheme_qc::apply(std::move(report), options.strict);
}

Report detect_pipeline(RunData& run, const AnalysisOptions& options, PipelineExtras extras) {
  const GradientTable& table = run.loaded.table;
  check_volume_and_mask(table, *run.volume(), run.mask_ptr());
  Report report;
  if (extras.glyphs) {
    // The glyph variant stamps its report after the detection has run.
    FlipResult flip = run_flip(run, options, extras);
    report = Report::make(SchemeTable::of(table));
    report.inputs = run.loaded.inputs;
    set_flip(report, std::move(flip));
  } else {
    report = Report::make(SchemeTable::of(table));
    report.inputs = run.loaded.inputs;
    set_flip(report, run_flip(run, options, extras));
  }
  note_low_mask_fa(report);
  return report;
}

FlipResult run_flip(RunData& run, const AnalysisOptions& options, PipelineExtras extras) {
  const DetectionPlan& plan = run.plan;
  if (plan.failure) throw *plan.failure;
  const Stopwatch fit_clock;
  TensorField field;
  double reader_s = 0;
  if (run.stream && run.stream->complete()) {
    field = run.stream->take();
    // What the streamed fit cost the reading thread belongs to the fit too.
    reader_s = run.stream->reader_seconds();
  } else {
    field = fit_dti(*run.volume(), run.loaded.table, plan.b0, plan.shell->indices, defaults::kMinS0);
  }
  return detect_on_field(std::move(field), run.mask_ptr(), plan, run.sampling, options.margin_threshold,
                         extras.glyphs, extras.timings, fit_clock.seconds() + reader_s);
}

void note_low_mask_fa(Report& report) {
  if (!report.flip) return;
  const double fa = report.flip->mask_mean_fa;
  if (fa > 0.0 && fa < kLowMaskFa)
    report.notes.push_back("coherence mask mean FA " + format_fixed(fa, 2) +
                           " is low (looks whole-brain) \u2014 flip-detection sensitivity is reduced; supply a WM "
                           "mask (FA-thresholded) for a wider margin");
}

}  // namespace tarvix
