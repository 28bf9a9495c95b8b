#include "call.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

#include "bids_batch.hpp"
#include "execution.hpp"
#include "frame.hpp"
#include "text.hpp"

namespace tarvix {
namespace {

RunInputs run_inputs(const AnalysisArgs& args) {
  return RunInputs{args.table, args.dwi, args.mask, {}, args.image_rules};
}

const AnalysisArgs& require_dwi(const AnalysisArgs& args) {
  if (!args.dwi) throw std::logic_error("this entry point needs a DWI path");
  return args;
}

// The table files a call reads: the grad file when given, else the FSL pair.
std::vector<std::string> table_paths(const TableArgs& table) {
  if (table.grad) return {*table.grad};
  std::vector<std::string> paths;
  for (const OptPath& p : {table.bvec, table.bval})
    if (p) paths.push_back(*p);
  return paths;
}

RunResult run(const AnalysisArgs& args, Pipeline pipeline, RunExtras extras = {}) {
  Execution exec(args.threads);
  return audit_run(run_inputs(args), args.options, exec, pipeline, extras);
}

CallResult call_result(RunResult&& r) {
  CallResult out;
  out.json = r.report.to_json_text();
  out.timings = r.timings;
  if (r.glyphs) {
    out.glyphs = std::move(r.glyphs);
    out.info = std::move(r.info);
  }
  return out;
}

// Directions that all have unit length hold no b-value to recover: every
// volume would get the largest b-value.
void refuse_unit_directions(const TableArgs& table, const GradientTable& loaded, double b0_threshold) {
  const NormStats norms = loaded.norm_stats(b0_threshold, defaults::kNormTolerance);
  if (norms.non_b0_count == 0 || norms.non_unit_count != 0) return;
  throw Failure("every direction in " + display_path(table.grad ? *table.grad : table.bvec.value_or("")) +
                " has unit length: nothing to recover, the b-values would all become the largest one (pass "
                "--force to proceed anyway)");
}

}  // namespace

std::string call_inspect(const AnalysisArgs& args) { return run(args, Pipeline::Inspect).report.to_json_text(); }

std::string call_audit(const AnalysisArgs& args) { return run(args, Pipeline::Audit).report.to_json_text(); }

std::string call_detect_flip(const AnalysisArgs& args) {
  return run(require_dwi(args), Pipeline::Detect).report.to_json_text();
}

CallResult call_audit_with_glyphs(const AnalysisArgs& args) {
  return call_result(run(require_dwi(args), Pipeline::Audit, {.glyphs = true}));
}

CallResult call_detect_flip_with_glyphs(const AnalysisArgs& args) {
  return call_result(run(require_dwi(args), Pipeline::Detect, {.glyphs = true}));
}

CallResult call_audit_profiled(const AnalysisArgs& args, bool with_glyphs) {
  return call_result(run(require_dwi(args), Pipeline::Audit, {.glyphs = with_glyphs, .timings = true}));
}

std::string call_audit_bids(const BidsArgs& args) { return audit_bids(args.root, args.options, args.threads); }

RunResult call_repair_run(const RepairArgs& args, RunExtras extras, bool by_verdict) {
  require_dwi(args.analysis);
  Execution exec(args.analysis.threads);
  check_distinct_outputs(args.outputs, table_paths(args.analysis.table));
  RunResult r = audit_run(run_inputs(args.analysis), args.analysis.options, exec, Pipeline::Audit, extras);
  RepairSpec spec{args.outputs, FrameMaps::resolve(r.loaded.world_frame, *r.info), args.force_repair};
  std::optional<RepairVerdict> verdict;
  if (r.tracking && !by_verdict) verdict = RepairVerdict::of(*r.tracking);
  if (by_verdict && r.report.flip) verdict = RepairVerdict::of(r.verdict, *r.report.flip, args.analysis.options.margin_threshold,
                                                     r.tracking ? &*r.tracking : nullptr);
  RepairOutput out = exec.run([&] {
    return repair_from_report(r.loaded.table, std::move(r.report), r.loaded.inputs, spec,
                              args.analysis.options.margin_threshold, verdict);
  });
  r.report = std::move(out.report);
  return r;
}

CallResult call_repair(const RepairArgs& args, bool with_glyphs) {
  return call_result(call_repair_run(args, {.glyphs = with_glyphs}));
}

RunResult call_run(const AnalysisArgs& args, Pipeline pipeline, RunExtras extras) {
  if (pipeline == Pipeline::Detect) require_dwi(args);
  return run(args, pipeline, extras);
}

std::string call_recompute_bval(const RecomputeArgs& args) {
  Execution exec(args.threads);
  LoadedTable loaded = load_table(args.table.bvec, args.table.bval, args.table.grad);
  // Shells before and after recovery are always clustered with the default tolerance.
  RecomputeOutput out = exec.run([&] {
    return recompute_bval(loaded.table, loaded.inputs, args.outputs, args.b0_threshold, defaults::kTolerance);
  });
  return json::dump(out.to_json());
}

std::string call_recompute_bval_checked(const RecomputeArgs& args, bool force) {
  Execution exec(args.threads);
  LoadedTable loaded = load_table_checked(args.table.bvec, args.table.bval, args.table.grad);
  if (!force) refuse_unit_directions(args.table, loaded.table, args.b0_threshold);
  RecomputeOutput out = exec.run([&] {
    return recompute_bval(loaded.table, loaded.inputs, args.outputs, args.b0_threshold, defaults::kTolerance,
                          !force);
  });
  return json::dump(out.to_json());
}

}  // namespace tarvix
