// The inspect, audit and detect pipelines that turn one run's loaded inputs
// (a table, and an optional DWI and mask) into a Report.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "flip.hpp"
#include "gradient.hpp"
#include "io/input_file.hpp"
#include "io/table_loader.hpp"
#include "options.hpp"
#include "report.hpp"
#include "fit_stream.hpp"
#include "tensor.hpp"
#include "io/image_reader.hpp"
#include "volume.hpp"

namespace tarvix {

// One run's inputs as read on the calling thread, before the pipeline runs in
// the pool: the table, the images, where the image is sampled, what the
// detection fits and, when the fit ran while the DWI was read, its stream.
struct RunData {
  LoadedTable loaded;
  std::optional<VolumeRead> dwi;
  std::optional<Mask> mask;
  Sampling sampling;
  DetectionPlan plan;
  // Declared last, so that it stops before the volume it fills is freed.
  std::unique_ptr<FitStream> stream;

  const Volume* volume() const { return dwi ? &dwi->volume : nullptr; }
  const Mask* mask_ptr() const { return mask ? &*mask : nullptr; }
};

// Extra results of the glyph and timed variants; the report is unchanged by them.
struct PipelineExtras {
  GlyphData* glyphs = nullptr;
  DetectTimings* timings = nullptr;
};

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs, const AnalysisOptions& options);
Report inspect_pipeline(const GradientTable& table, std::vector<InputFile> inputs, const AnalysisOptions& options);
// Without a DWI the audit is the scheme analysis alone.
Report audit_pipeline(RunData& run, const AnalysisOptions& options, PipelineExtras extras = {});
Report detect_pipeline(RunData& run, const AnalysisOptions& options, PipelineExtras extras = {});

// The flip detection of a run: the streamed field when the stream took the
// whole image, else a fit of the DWI as it stands.
FlipResult run_flip(RunData& run, const AnalysisOptions& options, PipelineExtras extras = {});

void note_low_mask_fa(Report& report);

// Volume and mask agreement checks made before any image analysis.
void check_volume_and_mask(const GradientTable& table, const Volume& dwi, const Mask* mask);

}  // namespace tarvix
