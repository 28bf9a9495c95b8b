// The call path behind each module function: the call's threads, then the
// run's road (audit_run) and what the function does with its result, with
// typed C++ arguments in and JSON out. The binding only converts Python
// arguments into these records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audit_run.hpp"
#include "options.hpp"
#include "repair.hpp"

namespace tarvix {

struct AnalysisArgs {
  TableArgs table;
  OptPath dwi, mask;
  AnalysisOptions options;
  std::optional<std::uint64_t> threads;
  ImageRules image_rules = ImageRules::Checked;
};

struct RepairArgs {
  AnalysisArgs analysis;
  OutputPaths outputs;
  bool force_repair = false;
};

struct RecomputeArgs {
  TableArgs table;
  OutputPaths outputs;
  double b0_threshold = defaults::kB0Threshold;
  std::optional<std::uint64_t> threads;
};

struct BidsArgs {
  std::string root;
  AnalysisOptions options;
  std::optional<std::uint64_t> threads;
};

// A report plus what the glyph and profiled variants hand to Python.
struct CallResult {
  std::string json;
  std::optional<GlyphData> glyphs;
  std::optional<VolumeInfo> info;  // the DWI geometry, for the glyph payload
  std::optional<StageTimings> timings;
};

std::string call_inspect(const AnalysisArgs& args);
std::string call_audit(const AnalysisArgs& args);
std::string call_detect_flip(const AnalysisArgs& args);
CallResult call_audit_with_glyphs(const AnalysisArgs& args);
CallResult call_detect_flip_with_glyphs(const AnalysisArgs& args);
CallResult call_audit_profiled(const AnalysisArgs& args, bool with_glyphs);
std::string call_audit_bids(const BidsArgs& args);
CallResult call_repair(const RepairArgs& args, bool with_glyphs);
std::string call_recompute_bval(const RecomputeArgs& args);

// The engine module's calls: the same runs with whatever extras the caller
// asks for (the tracking measure among them), handed back whole.
RunResult call_run(const AnalysisArgs& args, Pipeline pipeline, RunExtras extras);
// With `by_verdict` (the engine) the run's one verdict chooses the transform
// and whether one is applied at all; otherwise, with extras.tracking, the
// tracking's decision does, and without it the coherence's (the module).
RunResult call_repair_run(const RepairArgs& args, RunExtras extras, bool by_verdict = false);
// recompute_bval on the table read strictly (load_table_checked); unless
// `force`, a table whose directions all have unit length (nothing to recover)
// and a recovery that would split an acquired shell are refused.
std::string call_recompute_bval_checked(const RecomputeArgs& args, bool force);

}  // namespace tarvix
