// The one verdict of a run: what every output of the engine, the command line
// and the batch states, decided here once from the run's report, the tracking
// record and the image's geometry.
//
// Two measures judge the table's axes. The coherence (the report's `flip`
// section) compares each fitted fibre direction with its neighbours one step
// ahead; the tracking follows fibres over their whole length and compares
// mean streamline lengths. Where the tracking ran it decides: a one-step
// comparison sees a few millimetres of a bundle, a streamline all of it, and
// on realistic scans the coherence's lead is a fraction of its threshold where
// the tracking's is many times its own. The coherence is then a second opinion
// that is shown, and named when it disagrees, but never overrides.
//
// On a handful of white-matter voxels the coherence's ranking is noise, and a
// confident PASS or FLAG from it would be a guess (or, from a repair, a wrong
// table written). Without the tracking such a verdict becomes WARN with a note
// that says why. The limits come from crops of the benchmark phantoms
// (clinical 2 mm and research 1.5 mm geometry): below them crops with a
// correct table came out FLAG, or a wrong table PASS. With the tracking, its
// own minimum decides instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "consistency.hpp"
#include "gradient.hpp"
#include "json.hpp"
#include "matrix.hpp"
#include "options.hpp"
#include "report.hpp"
#include "status.hpp"
#include "tracking.hpp"
#include "volume.hpp"

namespace tarvix {

struct EvidenceLimits {
  std::uint64_t min_wm_voxels = 250;
  std::uint64_t min_samples = 400;
  // Fewer directions than tensor elements: the fit is not determined.
  std::uint64_t min_shell_volumes = 6;
  // Above this share of non-unit directions the scheme calls the vectors
  // amplitude-encoded and warns.
  double amplitude_fraction = 0.5;
};

enum class Measure { None, Coherence, Tracking };
const char* measure_text(Measure m);

struct Verdict {
  Status status = Status::Pass;       // everything considered: what the exit status says
  double margin_threshold = defaults::kMarginThreshold;  // the coherence's, as the verdict applied it
  std::optional<Status> axes;         // the verdict on the axes alone; absent without an image
  Measure decided_by = Measure::None; // which measure judged the axes
  // The transform the verdict supports (FLAG only), named canonically: of a
  // transform and its negation the one with fewer sign flips.
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
  std::optional<std::string> recommended_words;  // "x axis flipped"
  // The deciding measure's best transform, canonical; absent when no
  // transform scored anything (every score zero) or nothing was judged.
  std::optional<std::string> best_label;
  std::optional<std::string> best_words;  // in plain words, as recommended_words
  // Relative lead of the deciding measure's best over its runner-up, and
  // (tracking only) the spread of that lead over seed subsets.
  std::optional<double> lead;
  std::optional<double> lead_spread;
  bool thin_evidence = false;
  std::vector<std::string> thin_reasons;  // why the evidence is thin
  bool orientation_unknown = false;       // the image's orientation cannot be trusted
  std::vector<std::string> notes;         // everything the verdict adds to the report's own notes
  // The table's rows do not describe the image's volumes: the axes are
  // reported but not trusted, and no transform is recommended or applied.
  bool table_mismatch = false;
  // The consistency record the verdict weighed, for the engine report.
  std::optional<ConsistencyResult> consistency;

  json::Value to_json() const;
};

struct VerdictInputs {
  const Report* report = nullptr;            // the module's report of the run
  const TrackingResult* tracking = nullptr;  // when the tracking ran
  const VolumeInfo* image = nullptr;         // when an image was read
  const GradientTable* table = nullptr;      // the table as read
  double b0_threshold = 50.0;
  const ConsistencyResult* consistency = nullptr;  // when the consistency tests ran
  double margin_threshold = defaults::kMarginThreshold;  // the coherence's own
};

Verdict decide_verdict(const VerdictInputs& in, const EvidenceLimits& limits = {});

// The engine's report: the module's report with `status` set to the
// verdict's, then a `tracking` section (when the tracking ran), a
// `consistency` section (when those tests ran) and the `verdict` section.
// Each coherence ranking entry, and its best and runner-up, also get the
// `name` and plain `words` every output shows for them, the ranking entries
// `first_of_pair` (a transform and its negation score the same: the outputs
// list the first); the coherence's section always states its
// `margin_threshold`.
json::Value engine_report_json(const Report& report, const TrackingResult* tracking, const Verdict& verdict);

}  // namespace tarvix
