// The CPython extension module _engine: what the command line needs beside the
// thirteen functions of _tarvix. Its functions run the same audit path as
// _tarvix's (the same report, byte for byte) and, on the same fitted field
// (one read, one fit), the fibre-tracking measure, and hand back everything a
// caller may show in one dictionary.
#include "binder.hpp"
#include "bids_batch.hpp"
#include "call.hpp"
#include "cross_run.hpp"
#include "frame.hpp"
#include "paths.hpp"
#include "run_context.hpp"
#include "status.hpp"
#include "text.hpp"
#include "timing.hpp"
#include "verdict.hpp"

#include <nlohmann/json.hpp>

namespace {

using namespace tarvix::binding;

ModuleState g_state{.name = "_engine", .name_files = true};

// Streamlines drawn per transform in a picture of the tracking measure.
constexpr std::uint64_t kPictureStreamlines = 300;

tarvix::RunExtras run_extras(const Bound& b) {
  tarvix::RunExtras e;
  e.glyphs = b.flag[kGlyphs];
  e.timings = b.flag[kProfile];
  e.tracking = b.flag[kTracking];
  // On unless asked off (to time it): a table that does not belong to its
  // image decides the verdict before any axis does.
  e.consistency = !b.flag[kNoConsistency];
  if (e.glyphs && e.tracking) e.streamline_sample = kPictureStreamlines;
  return e;
}

// Each streamline as little-endian float32 x, y, z per point (voxel coordinates).
PyObject* streamline_list(const std::vector<std::vector<tarvix::Vec3>>& lines) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto& pts = lines[i];
    PyObject* b = bytes_of(12 * pts.size(), [&](char* out) {
      for (std::size_t k = 0; k < pts.size(); ++k)
        for (int c = 0; c < 3; ++c) put_f32_le(out + 12 * k + 4 * c, pts[k][static_cast<std::size_t>(c)]);
    });
    if (!b) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), b);
  }
  return list.release();
}

PyObject* streamlines_dict(const tarvix::StreamlineSample& s) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "other_label", text(s.other_label))) return nullptr;
  if (!set_item(dict.get(), "as_given", streamline_list(s.as_given))) return nullptr;
  if (!set_item(dict.get(), "other", streamline_list(s.other))) return nullptr;
  return dict.release();
}

PyObject* none() { return Py_NewRef(Py_None); }

std::string engine_report_text(const tarvix::RunResult& r) {
  return tarvix::json::dump(tarvix::engine_report_json(r.report, r.tracking ? &*r.tracking : nullptr, r.verdict));
}

// {"report", "tracking", "tracking_seconds", "consistency_seconds", "timings",
// "glyphs", "streamlines", "table_seconds", "scheme_seconds", "report_seconds"}:
// the engine's report (the module's report with the verdict's status, the
// tracking and verdict sections), the tracking record again on its own
// (compact JSON), and None for whatever was not asked for. With the timings
// come the stages outside their total (reading the table, building this
// result) and the scheme checks inside its `other`, so that a profile covers
// the whole call.
PyObject* run_dict(const tarvix::RunResult& r) {
  const tarvix::Stopwatch clock;
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "report", text(engine_report_text(r)))) return nullptr;
  if (!set_item(dict.get(), "tracking", r.tracking ? text(tarvix::json::dump(r.tracking->to_json())) : none()))
    return nullptr;
  if (!set_item(dict.get(), "tracking_seconds", r.tracking ? PyFloat_FromDouble(r.tracking_s) : none()))
    return nullptr;
  if (!set_item(dict.get(), "consistency_seconds", r.consistency ? PyFloat_FromDouble(r.consistency_s) : none()))
    return nullptr;
  if (!set_item(dict.get(), "timings", r.timings ? timings_dict(*r.timings) : none())) return nullptr;
  if (r.glyphs && !r.info) throw std::logic_error("glyph data without image geometry");
  if (!set_item(dict.get(), "glyphs", r.glyphs ? glyph_payload(*r.glyphs, *r.info) : none())) return nullptr;
  if (!set_item(dict.get(), "streamlines", r.streamlines ? streamlines_dict(*r.streamlines) : none()))
    return nullptr;
  const auto seconds = [&](double s) { return r.timings ? PyFloat_FromDouble(s) : none(); };
  if (!set_item(dict.get(), "table_seconds", seconds(r.table_s))) return nullptr;
  if (!set_item(dict.get(), "scheme_seconds", seconds(r.scheme_s))) return nullptr;
  if (!set_item(dict.get(), "report_seconds", seconds(clock.seconds()))) return nullptr;
  return dict.release();
}

PyObject* run_inspect(const Bound& b) {
  return text(engine_report_text(tarvix::call_run(analysis_args(b), tarvix::Pipeline::Inspect, {})));
}
PyObject* run_audit(const Bound& b) {
  return run_dict(tarvix::call_run(analysis_args(b), tarvix::Pipeline::Audit, run_extras(b)));
}
PyObject* run_detect_flip(const Bound& b) {
  return run_dict(tarvix::call_run(analysis_args(b), tarvix::Pipeline::Detect, run_extras(b)));
}
PyObject* run_repair(const Bound& b) {
  const tarvix::RepairArgs args{analysis_args(b), output_paths(b), b.flag[kForceRepair]};
  return run_dict(tarvix::call_repair_run(args, run_extras(b), /*by_verdict=*/true));
}

// ---- table files as the command line reads them

PyObject* run_recompute_bval(const Bound& b) {
  const tarvix::RecomputeArgs args{table_args(b), output_paths(b), b.real[kB0Threshold].value(), b.threads};
  return text(tarvix::call_recompute_bval_checked(args, b.flag[kForce]));
}

// ---- one BIDS run at a time, for batches spread over processes or machines

// A JSON array of strings, from a caller that built it with json.dumps.
std::vector<std::string> string_list(const std::optional<std::string>& text, const char* what) {
  if (!text) return {};
  try {
    return nlohmann::json::parse(*text).get<std::vector<std::string>>();
  } catch (const nlohmann::json::exception&) {
    throw tarvix::Failure(std::string(what) + " must be a JSON array of strings");
  }
}

// Discovery, the option checks and the output folder, as audit_bids begins;
// returns the plan as JSON text (root, out_dir, summary_path, runs).
PyObject* run_bids_prepare(const Bound& b) {
  tarvix::bids_batch::PlanRules rules;
  // The command line names the folder it could not list, or with keep_going
  // leaves it out and says so.
  rules.unreadable = b.flag[kKeepGoing] ? tarvix::bids_batch::UnreadableFolders::Skip
                                        : tarvix::bids_batch::UnreadableFolders::FailNamed;
  rules.naming = tarvix::bids_batch::Naming::Session;
  rules.scope = tarvix::bids::Scope::RawData;
  rules.name_skipped = true;
  const tarvix::AnalysisOptions options = analysis_options(b);
  const tarvix::bids_batch::BatchPlan plan = tarvix::bids_batch::prepare(
      b.required_path(kRoot), options, b.path[kOutDir], string_list(b.path[kParticipants], "participants"), rules);
  tarvix::json::Value out = tarvix::bids_batch::plan_json(plan);
  // On every run of the dataset, so that each task of a job array finds the same notes for its own runs.
  tarvix::cross_run::add_notes(out, plan.entries, plan.names, options.b0_threshold, options.tolerance);
  return text(tarvix::surrogate_escaped_json(tarvix::json::dump(out)));
}

std::optional<tarvix::bids_batch::BatchRepair> batch_repair(const Bound& b) {
  if (!b.path[kOutBvec] || !b.path[kOutBval]) return std::nullopt;
  tarvix::bids_batch::BatchRepair repair;
  repair.paths.out_bvec = *b.path[kOutBvec];
  repair.paths.out_bval = *b.path[kOutBval];
  repair.paths.out_grad = b.path[kOutGrad];
  repair.paths.provenance = b.path[kProvenance];
  repair.force_repair = b.flag[kForceRepair];
  return repair;
}

std::string run_record(const tarvix::bids_batch::RunOutcome& run) {
  tarvix::json::Value out = tarvix::json::Value::object();
  out.set("name", tarvix::display_path(run.item.name));
  out.set("dwi", tarvix::display_path(run.item.dwi));
  out.set("status", tarvix::status_text(run.item.status));
  out.set("report", run.written_report);
  out.set("tracking", run.tracking ? run.tracking->to_json() : tarvix::json::Value(nullptr));
  return tarvix::json::dump(out);
}

// One run of a plan (its JSON entry), audited and written as audit_bids does,
// its report carrying what the batch knows of the run; returns what a progress
// line, the QC page and the run's picture need.
PyObject* run_bids_audit_run(const Bound& b) {
  std::string stem;
  tarvix::DwiEntry entry = tarvix::bids_batch::entry_from_json(b.required_path(kEntry), stem);
  const tarvix::bids_batch::RunContext context =
      tarvix::bids_batch::run_context(b.required_path(kEntry), b.required_path(kOutDir), entry);
  tarvix::Execution exec(b.threads);
  tarvix::bids_batch::RunRequest request;
  request.tracking = b.flag[kTracking];
  request.engine_report = true;
  request.repair = batch_repair(b);
  // The picture a single audit with --png draws: the same run's field and streamlines.
  request.glyphs = b.flag[kGlyphs];
  request.streamline_sample = kPictureStreamlines;
  request.annotate = [&context](tarvix::json::Value& report, const tarvix::Verdict& verdict) {
    tarvix::bids_batch::add_context(report, context, verdict);
  };
  const tarvix::bids_batch::RunOutcome run = tarvix::bids_batch::audit_entry(
      entry, b.required_path(kOutDir), stem, analysis_options(b), exec, request);
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "record", text(run_record(run)))) return nullptr;
  if (run.glyphs && !run.info) throw std::logic_error("glyph data without image geometry");
  if (!set_item(dict.get(), "glyphs", run.glyphs ? glyph_payload(*run.glyphs, *run.info) : none())) return nullptr;
  if (!set_item(dict.get(), "streamlines", run.streamlines ? streamlines_dict(*run.streamlines) : none()))
    return nullptr;
  return dict.release();
}

tarvix::Status run_status(const std::string& status, const std::string& name) {
  if (status == "PASS") return tarvix::Status::Pass;
  if (status == "WARN") return tarvix::Status::Warn;
  if (status == "FLAG") return tarvix::Status::Flag;
  // A status nobody decided must not count as a clean run.
  throw tarvix::Failure("results: the run " + tarvix::display_path(name) + " has the status \"" +
                        tarvix::display_path(status) + "\", not PASS, WARN or FLAG");
}

// Parsed as Python wrote it: paths that are not UTF-8 keep their bytes.
nlohmann::json parse_caller_json(const std::string& text) {
  return nlohmann::json::parse(tarvix::nul_escaped_json(text));
}

std::string caller_string(const nlohmann::json& v, const char* key) {
  return tarvix::bytes_of_nul_escapes(v.at(key).get<std::string>());
}

std::vector<tarvix::BatchItem> batch_items(const std::string& text) {
  std::vector<tarvix::BatchItem> items;
  try {
    for (const auto& r : parse_caller_json(text)) {
      const std::string name = caller_string(r, "name");
      items.push_back({name, caller_string(r, "dwi"), run_status(r.at("status").get<std::string>(), name)});
    }
  } catch (const nlohmann::json::exception&) {
    throw tarvix::Failure("results must be a JSON array of {name, dwi, status} objects");
  }
  return items;
}

std::vector<std::string> caller_strings(const nlohmann::json& v, const char* key) {
  std::vector<std::string> out;
  for (const auto& s : v.value(key, nlohmann::json::array()))
    out.push_back(tarvix::bytes_of_nul_escapes(s.get<std::string>()));
  return out;
}

tarvix::BatchGaps batch_gaps(const std::string& text) {
  tarvix::BatchGaps gaps;
  try {
    const nlohmann::json j = parse_caller_json(text);
    for (const auto& f : j.value("failed", nlohmann::json::array()))
      gaps.failed.push_back({caller_string(f, "name"), caller_string(f, "dwi"), caller_string(f, "error")});
    gaps.skipped = caller_strings(j, "skipped");
    gaps.unreadable = caller_strings(j, "unreadable");
  } catch (const nlohmann::json::exception&) {
    throw tarvix::Failure(
        "gaps must be a JSON object of failed ({name, dwi, error} objects), skipped and unreadable (strings)");
  }
  return gaps;
}

// The dataset summary of the runs audited (`results`: a JSON array of
// {"name", "dwi", "status"} in discovery order) and of what was not (`gaps`);
// returns what audit_bids returns, with the gaps.
PyObject* run_bids_finish(const Bound& b) {
  tarvix::bids_batch::BatchPlan plan;
  plan.root = b.required_path(kRoot);
  plan.summary_path = tarvix::join_path(b.required_path(kOutDir), "dataset_summary.json");
  std::vector<tarvix::BatchItem> items = batch_items(b.required_path(kResults));
  tarvix::BatchGaps gaps = b.path[kGaps] ? batch_gaps(*b.path[kGaps]) : tarvix::BatchGaps{};
  const tarvix::BatchOutcome outcome = tarvix::bids_batch::finish(plan, std::move(items), std::move(gaps));
  return text(tarvix::bids_batch::outcome_json(outcome, true));
}

constexpr Param kInspectParams[] = {
    {kBvec}, {kBval}, {kGrad}, {kTolerance}, {kB0Threshold}, {kShell}, {kStrict}, {kNormTolerance}, {kThreads},
};
constexpr Param kAuditParams[] = {
    {kDwi},          {kBvec},          {kBval},    {kGrad},    {kMask},    {kTolerance}, {kB0Threshold},
    {kShell},        {kStep},          {kMarginThreshold},     {kStrict},  {kNormTolerance},
    {kTracking},     {kGlyphs},        {kProfile}, {kNoConsistency}, {kThreads},
};
constexpr Param kDetectParams[] = {
    {kDwi, true}, {kBvec},     {kBval},   {kGrad},     {kMask},   {kTolerance}, {kB0Threshold},
    {kShell},     {kStep},     {kMarginThreshold},     {kTracking}, {kGlyphs}, {kNoConsistency}, {kThreads},
};
constexpr Param kRepairParams[] = {
    {kDwi, true}, {kOutBvec, true}, {kOutBval, true}, {kBvec},      {kBval},    {kGrad},    {kMask},
    {kOutGrad},   {kProvenance},    {kTolerance},     {kB0Threshold}, {kShell}, {kStep},    {kMarginThreshold},
    {kDryRun},    {kInPlace},       {kStrict},        {kForceRepair}, {kNormTolerance},     {kTracking},
    {kGlyphs},    {kThreads},
};

constexpr Param kBidsPrepareParams[] = {
    {kRoot, true}, {kOutDir}, {kParticipants}, {kTolerance}, {kB0Threshold}, {kShell}, {kStep},
    {kMarginThreshold}, {kStrict}, {kNormTolerance}, {kKeepGoing},
};
constexpr Param kBidsAuditRunParams[] = {
    {kEntry, true}, {kOutDir, true}, {kTolerance}, {kB0Threshold}, {kShell}, {kStep}, {kMarginThreshold},
    {kStrict}, {kNormTolerance}, {kTracking}, {kOutBvec}, {kOutBval}, {kOutGrad}, {kProvenance}, {kForceRepair},
    {kGlyphs}, {kThreads},
};
constexpr Param kBidsFinishParams[] = {{kRoot, true}, {kOutDir, true}, {kResults, true}, {kGaps}};
constexpr Param kRecomputeParams[] = {
    {kOutBvec, true}, {kOutBval, true}, {kBvec},   {kBval},        {kGrad},    {kOutGrad},
    {kProvenance},    {kB0Threshold},   {kDryRun}, {kInPlace},     {kForce},       {kThreads},
};

constexpr const char* kInspectDoc =
    "The scheme report of _tarvix.inspect with the run's verdict: its status is the\n"
    "verdict's and its `verdict` section says why. Returns JSON text. Every function\n"
    "here reads the table files strictly: NaN, infinite or negative entries, grad\n"
    "rows of other than four numbers, a byte-order mark, CR-only line ends, a bval\n"
    "of several lines and a '#' comment in a bvec raise ValueError naming the file\n"
    "and the entry, where _tarvix reads leniently.";
constexpr const char* kAuditDoc =
    "The audit of _tarvix.audit, plus on request the fibre-tracking measure on the\n"
    "same fitted field (`tracking`), the glyph payload (`glyphs`) and the stage\n"
    "timings (`profile`). Returns a dict: report (the module's report with the\n"
    "run's verdict as its status and `tracking`, `consistency` and `verdict`\n"
    "sections), tracking, tracking_seconds, consistency_seconds, timings, glyphs,\n"
    "streamlines, table_seconds, scheme_seconds, report_seconds (None where not\n"
    "asked for; the last three with `profile`). The table consistency tests run\n"
    "unless `no_consistency`.";
constexpr const char* kDetectDoc = "As `audit`, with the report of _tarvix.detect_flip.";
constexpr const char* kRepairDoc =
    "The repair of _tarvix.repair, by the run's verdict: a transform is applied only\n"
    "when the verdict FLAGs (or, with `force_repair`, WARNs on a measure's best),\n"
    "named canonically; with `tracking` the provenance record names that measure.";

constexpr const char* kBidsPrepareDoc =
    "Begins a batch as audit_bids does (discovery, option checks, the output folder,\n"
    "a stale summary removed), reading the tree as a BIDS App (raw data only, tables\n"
    "inherited from folders above a run, file names as bytes), and returns the plan\n"
    "as JSON: root, out_dir, summary_path, the runs, each with the stem of its file\n"
    "names (and `cross_run` where its table is the others' with its axes swapped or\n"
    "negated), `skipped`: what discovery left out (FIFOs and devices, images without a\n"
    "usable table; with `keep_going` the folders it could not list, which otherwise\n"
    "end the batch naming the folder), `skipped_runs`: the images among them, and\n"
    "`unreadable`: the folders. Paths that are not UTF-8 come as Python's\n"
    "surrogateescape strings.";
constexpr const char* kBidsAuditRunDoc =
    "Audits one run of a plan (`entry`, its JSON) and writes its report, and with\n"
    "`tracking` its tracking record, into `out_dir`. With `out_bvec` and `out_bval`\n"
    "(and `out_grad`, `provenance`) it first writes the run's table from its verdict:\n"
    "as given for PASS, corrected for FLAG, for WARN only with `force_repair`. The\n"
    "report carries what the entry says of the run beyond its audit: `source`\n"
    "(dwi_relative, name), `mask` (with `mask_dir`: its `mask_candidate` taken when\n"
    "it lies on the image's grid with its affine, else the automatic region),\n"
    "`cross_run` (its note completed by the run's verdict) and, with `repair`, the\n"
    "`written_tables`; the mask's and the cross-run note join its notes.\n"
    "Returns a dict: record (JSON: name, dwi, status, report, tracking), and with\n"
    "`glyphs` the glyph payload and the streamline sample `audit` gives a picture\n"
    "(else None).";
constexpr const char* kBidsFinishDoc =
    "Writes the dataset summary of the runs audited (`results`: {name, dwi, status},\n"
    "status PASS, WARN or FLAG) and of what was not (`gaps`: JSON {failed: [{name,\n"
    "dwi, error}], skipped: [text], unreadable: [folder text]}); a batch with a\n"
    "failed run or an unreadable folder is ERROR, exit_code 1. Returns what\n"
    "audit_bids returns, with the gaps.";

constexpr const char* kRecomputeDoc =
    "The recovery of _tarvix.recompute_bval on a table read strictly (see\n"
    "`inspect`). Unless `force`, refuses a table whose directions all have unit\n"
    "length (nothing to recover) and a recovery that would split an acquired shell\n"
    "(one vector far longer than the rest of its shell).";

// ---- the command line's settings table

PyObject* optional_real(const std::optional<double>& v) { return v ? PyFloat_FromDouble(*v) : none(); }

// One dict per analysis setting: name, kind ("real" or "count"), default,
// metavar, help, min, min_open, max, max_open, range (the words of a usage
// error), in the order the command line lists them.
PyObject* settings_list() {
  using tarvix::binding::kFields;
  using tarvix::binding::kSettings;
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& s : kSettings) {
    const auto& f = kFields[s.field];
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const bool ok = set_item(dict.get(), "name", text(f.name)) &&
                    set_item(dict.get(), "kind", text(f.kind == tarvix::binding::Kind::Count ? "count" : "real")) &&
                    set_item(dict.get(), "default", optional_real(f.real_default)) &&
                    set_item(dict.get(), "metavar", text(s.metavar)) && set_item(dict.get(), "help", text(s.help)) &&
                    set_item(dict.get(), "min", optional_real(s.min)) &&
                    set_item(dict.get(), "min_open", PyBool_FromLong(s.min_open)) &&
                    set_item(dict.get(), "max", optional_real(s.max)) &&
                    set_item(dict.get(), "max_open", PyBool_FromLong(s.max_open)) &&
                    set_item(dict.get(), "range", s.range_words ? text(s.range_words) : none());
    if (!ok || PyList_Append(list.get(), dict.get()) != 0) return nullptr;
  }
  return list.release();
}

PyObject* run_settings(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return settings_list(); });
}

// The evidence limits and lead rules the verdict applies, for the texts that
// quote them: min_wm_voxels, min_samples, min_shell_volumes (the coherence's
// and the fit's), coherence_step_mm (its default step), tracking_min_voxels, tracking_min_streamlines,
// tracking_spreads, tracking_margin_threshold, tracking_fa_threshold,
// tracking_min_length_mm.
PyObject* run_limits(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    const tarvix::EvidenceLimits e;
    const tarvix::TrackingOptions t;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const auto count = [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); };
    const bool ok = set_item(dict.get(), "min_wm_voxels", count(e.min_wm_voxels)) &&
                    set_item(dict.get(), "min_samples", count(e.min_samples)) &&
                    set_item(dict.get(), "min_shell_volumes", count(e.min_shell_volumes)) &&
                    set_item(dict.get(), "coherence_step_mm", PyFloat_FromDouble(tarvix::kDefaultStepMm)) &&
                    set_item(dict.get(), "tracking_min_voxels", count(t.min_trackable_voxels)) &&
                    set_item(dict.get(), "tracking_min_streamlines", count(t.min_streamlines)) &&
                    set_item(dict.get(), "tracking_spreads", PyFloat_FromDouble(t.spread_factor)) &&
                    set_item(dict.get(), "tracking_margin_threshold", PyFloat_FromDouble(t.margin_threshold)) &&
                    set_item(dict.get(), "tracking_fa_threshold", PyFloat_FromDouble(t.fa_threshold)) &&
                    set_item(dict.get(), "tracking_min_length_mm", PyFloat_FromDouble(t.min_length_mm));
    return ok ? dict.release() : nullptr;
  });
}

// The verdicts from best to worst, each with the exit status it ends a
// command with: {"PASS": 0, "WARN": 3, "FLAG": 4}.
PyObject* run_statuses(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const tarvix::Status s : {tarvix::Status::Pass, tarvix::Status::Warn, tarvix::Status::Flag})
      if (!set_item(dict.get(), tarvix::status_text(s), PyLong_FromLong(tarvix::exit_code(s)))) return nullptr;
    return dict.release();
  });
}

constexpr Signature kInspect{"inspect", kInspectParams, kInspectDoc};
constexpr Signature kAudit{"audit", kAuditParams, kAuditDoc};
constexpr Signature kRecomputeBval{"recompute_bval", kRecomputeParams, kRecomputeDoc};
constexpr Signature kBidsPrepare{"bids_prepare", kBidsPrepareParams, kBidsPrepareDoc};
constexpr Signature kBidsAuditRun{"bids_audit_run", kBidsAuditRunParams, kBidsAuditRunDoc};
constexpr Signature kBidsFinish{"bids_finish", kBidsFinishParams, kBidsFinishDoc};
constexpr Signature kDetectFlip{"detect_flip", kDetectParams, kDetectDoc};
constexpr Signature kRepair{"repair", kRepairParams, kRepairDoc};

constexpr std::size_t kFunctionCount = 11;

std::array<Entry, kFunctionCount> entries() {
  return {{
      fast_entry<g_state, kInspect, run_inspect>(),
      fast_entry<g_state, kAudit, run_audit>(),
      fast_entry<g_state, kDetectFlip, run_detect_flip>(),
      fast_entry<g_state, kRepair, run_repair>(),
      fast_entry<g_state, kBidsPrepare, run_bids_prepare>(),
      fast_entry<g_state, kBidsAuditRun, run_bids_audit_run>(),
      fast_entry<g_state, kBidsFinish, run_bids_finish>(),
      fast_entry<g_state, kRecomputeBval, run_recompute_bval>(),
      {nullptr, "settings", &run_settings},
      {nullptr, "limits", &run_limits},
      {nullptr, "statuses", &run_statuses},
  }};
}

MethodTable<kFunctionCount> g_methods;

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_engine", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return init_module(g_state, g_module, g_methods, &entries); }
