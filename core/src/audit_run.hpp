// The road of one run through the call path: the table, the images (the
// detection's fit streamed into the DWI read), where the image is sampled,
// the mask and the pipeline. Plain inputs (paths and options) in, plain
// results out: every module function and every run of a batch, in this
// process or on a remote worker, comes through audit_run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "consistency.hpp"
#include "execution.hpp"
#include "flip.hpp"
#include "io/table_loader.hpp"
#include "options.hpp"
#include "report.hpp"
#include "tracking.hpp"
#include "verdict.hpp"
#include "volume.hpp"

namespace tarvix {

using OptPath = std::optional<std::string>;

struct TableArgs {
  OptPath bvec, bval, grad;
};

struct RunInputs {
  TableArgs table;
  OptPath dwi, mask;
  // Without `mask`: the first of these that reads as a mask of the DWI's grid,
  // which is then listed among the report's inputs. Unreadable ones are skipped.
  std::vector<std::string> mask_candidates;
  ImageRules image_rules = ImageRules::Checked;
};

enum class Pipeline { Inspect, Audit, Detect };

// What a variant keeps beside the report; the report is the same either way.
struct RunExtras {
  bool glyphs = false;   // the fitted field, the scoring mask and the frame map
  bool timings = false;  // the stage timings of the image reads and the analysis
  // The fibre-tracking measure, on the field the detection fitted (one read,
  // one fit), with this many streamlines of each shown transform kept for a
  // picture.
  bool tracking = false;
  std::uint64_t streamline_sample = 0;
  // Whether the table's rows describe the image's volumes, from signals kept
  // as the DWI is read; a clear mismatch makes the verdict FLAG.
  bool consistency = false;
};

// Streamlines (voxel coordinates) under the table as given and under the
// transform the tracking measure prefers (or, when that is the table as
// given, its runner-up), for a picture.
struct StreamlineSample {
  std::string other_label;
  std::vector<std::vector<Vec3>> as_given;
  std::vector<std::vector<Vec3>> other;
};

// The seven stage timings of the profiled audits, in seconds.
struct StageTimings {
  double decompress = 0, convert = 0, fit = 0, coherence = 0, other = 0, total = 0, threads = 0;
};

struct RunResult {
  Report report;
  LoadedTable loaded;                    // the table as read, its digests and frame
  std::optional<VolumeInfo> info;        // the DWI's geometry
  std::optional<GlyphData> glyphs;
  std::optional<StageTimings> timings;
  std::optional<TrackingResult> tracking;
  std::optional<StreamlineSample> streamlines;
  double tracking_s = 0;  // the tracking stage's wall time
  std::optional<ConsistencyResult> consistency;
  double consistency_s = 0;  // the consistency tests' wall time (the sampling runs within the read)
  // Outside the stage timings' total: reading the table; inside it, in its
  // `other`: the scheme checks. Set when the timings are asked for.
  double table_s = 0;
  double scheme_s = 0;
  // The run's one verdict, decided from the report, the tracking record and
  // the image's geometry once everything above is known.
  Verdict verdict;
};

// Runs on `execution`, which the caller made first (its thread count is
// checked before any file is read). Errors are Error or Failure, unchanged.
RunResult audit_run(const RunInputs& inputs, const AnalysisOptions& options, Execution& execution,
                    Pipeline pipeline, RunExtras extras = {});

}  // namespace tarvix
