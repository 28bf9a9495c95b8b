#include "bids_batch.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "error.hpp"
#include "fileio.hpp"
#include "paths.hpp"
#include "format.hpp"
#include "frame.hpp"
#include "matrix.hpp"
#include "audit_run.hpp"
#include "json.hpp"
#include "report.hpp"
#include "text.hpp"

namespace tarvix::bids_batch {
namespace {

constexpr const char* kSummaryName = "dataset_summary.json";
constexpr const char* kReportSuffix = "_report.json";
constexpr const char* kTrackingSuffix = "_tracking.json";

// Batch failures outside a run carry the operating system's text alone.
Failure os_failure(const Error& error) {
  static const std::string prefix = "I/O error: ";
  const std::string& text = error.display();
  if (error.kind() == ErrorKind::Io && text.starts_with(prefix)) return Failure(text.substr(prefix.size()));
  return Failure(text);
}

json::Value result_object(const BatchItem& item) {
  json::Value r = json::Value::object();
  r.set("dwi", display_path(item.dwi));
  r.set("name", display_path(item.name));
  r.set("status", status_text(item.status));
  return r;
}

json::Value results_array(const BatchOutcome& outcome) {
  json::Value results = json::Value::array();
  for (const auto& item : outcome.items) results.push(result_object(item));
  return results;
}

json::Value display_strings(const std::vector<std::string>& texts) {
  json::Value out = json::Value::array();
  for (const auto& text : texts) out.push(display_path(text));
  return out;
}

json::Value failed_array(const BatchGaps& gaps) {
  json::Value failed = json::Value::array();
  for (const auto& run : gaps.failed) {
    json::Value r = json::Value::object();
    r.set("dwi", display_path(run.dwi));
    r.set("error", display_path(run.error));
    r.set("name", display_path(run.name));
    failed.push(std::move(r));
  }
  return failed;
}

void set_gap_counts(json::Value& out, const BatchGaps& gaps) {
  out.set("n_failed", static_cast<std::uint64_t>(gaps.failed.size()));
  out.set("n_skipped", static_cast<std::uint64_t>(gaps.skipped.size()));
}

// An incomplete batch is ERROR, never the verdict of the runs it did audit:
// a pipeline that reads only the status must not take it for a clean one.
std::string batch_status(const BatchOutcome& outcome) {
  return outcome.gaps && outcome.gaps->incomplete() ? "ERROR" : status_text(outcome.status);
}

// The folders left unlisted, and the worst verdict of the runs audited (none
// when no run was).
void set_folders_and_verdict(json::Value& out, const BatchOutcome& outcome) {
  out.set("unreadable_folders", display_strings(outcome.gaps->unreadable));
  out.set("verdict", outcome.items.empty() ? json::Value(nullptr) : json::Value(status_text(outcome.status)));
}

// Every run samples an image and ranks the candidates, so a setting that one
// run would reject is rejected before anything under derivatives/tarvix is
// removed or written, with the text that run would have given. The other
// settings (tolerance, b0_threshold, shell) fail only with a run's own data.
void check_options(const AnalysisOptions& options) {
  check_step(options.step);
  try {
    check_margin_threshold(options.margin_threshold);
  } catch (const Error& error) {
    throw Failure(error.display());
  }
}

// The run's table from its own verdict, on the table and frame already read:
// a PASS run's table is written as given (the identity applied), so that a
// pipeline finds one for every run it may use.
void write_repaired_table(RunResult& run, const BatchRepair& repair, const AnalysisOptions& options,
                          Execution& execution) {
  const Status status = run.verdict.status;
  if (status == Status::Warn && !repair.force_repair) return;
  RepairVerdict chosen = RepairVerdict::of(run.verdict, *run.report.flip, options.margin_threshold,
                                           run.tracking ? &*run.tracking : nullptr);
  if (status == Status::Pass) {
    chosen.recommended_transform = identity3();
    chosen.recommended_label = "+x+y+z";
  }
  RepairSpec spec;
  static_cast<OutputPaths&>(spec) = repair.paths;
  if (run.info) spec.frames = FrameMaps::resolve(run.loaded.world_frame, *run.info);
  spec.force_repair = repair.force_repair;
  RepairOutput out = execution.run([&] {
    return repair_from_report(run.loaded.table, std::move(run.report), run.loaded.inputs, spec,
                              options.margin_threshold, chosen);
  });
  run.report = std::move(out.report);
}

}  // namespace

namespace {

// The last path component of the form <key>-<label> (no '_' in it) before the
// file name: "sub-01/ses-2/dwi/x" has the session "2".
std::optional<std::string> folder_label(const std::string& path, std::string_view key) {
  std::optional<std::string> label;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end == path.size()) break;  // the file name itself is not a folder
    const std::string_view part(path.data() + start, end - start);
    if (part.starts_with(key) && part.size() > key.size() && part.find('_') == std::string_view::npos)
      label = std::string(part.substr(key.size()));
    start = end + 1;
  }
  return label;
}

}  // namespace

std::string run_name(const DwiEntry& entry, Naming naming) {
  std::string name = entry.name();
  if (naming == Naming::File) return name;
  // Datasets whose file names leave the session to the folder would show two
  // sessions of a subject as the same run everywhere; the folder's session
  // goes into the name where BIDS would put it, after the subject.
  const std::optional<std::string> session = folder_label(entry.dwi, "ses-");
  if (!session) return name;
  const std::string entity = "ses-" + *session;
  if (name.starts_with(entity + "_") || name.find("_" + entity + "_") != std::string::npos) return name;
  if (name.starts_with("sub-")) {
    const std::size_t cut = name.find('_');
    if (cut != std::string::npos) return name.substr(0, cut + 1) + entity + name.substr(cut);
  }
  return entity + "_" + name;
}

std::vector<std::string> file_stems(const std::vector<std::string>& names) {
  std::map<std::string, std::uint64_t> seen;
  std::vector<std::string> stems;
  stems.reserve(names.size());
  for (const auto& name : names) {
    const std::uint64_t k = ++seen[name];
    stems.push_back(k == 1 ? name : name + "_" + std::to_string(k));
  }
  return stems;
}

std::optional<std::string> subject_label(const std::string& path) {
  std::optional<std::string> label;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part(path.data() + start, end - start);
    if (part.starts_with("sub-") && part.size() > 4 && part.find('_') == std::string_view::npos)
      label = std::string(part.substr(4));
    start = end + 1;
  }
  return label;
}

BatchPlan prepare(const std::string& root, const AnalysisOptions& options, const std::optional<std::string>& out_dir,
                  const std::vector<std::string>& participants, const PlanRules& rules) {
  BatchPlan plan;
  plan.root = root;
  try {
    bids::Discovery found = bids::discover_runs(root, rules.scope);
    if (!found.unreadable.empty()) {
      if (rules.unreadable == UnreadableFolders::Fail) throw Error::io(found.unreadable.front().errnum);
      if (rules.unreadable == UnreadableFolders::FailNamed) throw Failure(found.unreadable.front().text());
      for (const auto& folder : found.unreadable) {
        plan.skipped.push_back(folder.text() + ": skipped");
        plan.unreadable.push_back(folder.text());
      }
    }
    plan.entries = std::move(found.entries);
    plan.skipped.insert(plan.skipped.end(), found.skipped.begin(), found.skipped.end());
    plan.skipped_runs = std::move(found.skipped);
  } catch (const Error& error) {
    throw os_failure(error);
  }
  if (!participants.empty()) {
    std::erase_if(plan.entries, [&](const DwiEntry& e) {
      const std::optional<std::string> label = subject_label(e.dwi);
      return !label || std::none_of(participants.begin(), participants.end(), [&](const std::string& p) {
        return p == *label || p == "sub-" + *label;
      });
    });
  }
  if (plan.entries.empty()) {
    std::string text = "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + display_path(root);
    // The images it did find are the first thing to look at.
    if (rules.name_skipped)
      for (const auto& line : plan.skipped_runs) text += "; " + line;
    throw Failure(text);
  }

  check_options(options);

  plan.out_dir = out_dir ? *out_dir : join_path(join_path(root, "derivatives"), "tarvix");
  try {
    create_directories(plan.out_dir);
  } catch (const Error& error) {
    throw os_failure(error);
  }
  plan.summary_path = join_path(plan.out_dir, kSummaryName);
  // A summary left by an earlier batch must not look like this batch's result
  // if this one stops early.
  if (::unlink(plan.summary_path.c_str()) != 0 && errno != ENOENT) throw Failure(os_error_text(errno));
  plan.names.reserve(plan.entries.size());
  for (const auto& entry : plan.entries) plan.names.push_back(run_name(entry, rules.naming));
  plan.stems = file_stems(plan.names);
  return plan;
}

RunOutcome audit_entry(const DwiEntry& entry, const std::string& out_dir, const std::string& stem,
                       const AnalysisOptions& options, Execution& execution, const RunRequest& request) {
  try {
    // As a single audit of these files would run: the table came from
    // bvec/bval files, so the FSL frame of this image and its own default step.
    RunInputs inputs;
    inputs.table.bvec = entry.bvec;
    inputs.table.bval = entry.bval;
    inputs.dwi = entry.dwi;
    inputs.mask_candidates = entry.masks;
    // The module's batch takes headers as the module's audit does.
    inputs.image_rules = request.engine_report ? ImageRules::Checked : ImageRules::Stated;
    RunExtras extras;
    extras.tracking = request.tracking;
    extras.consistency = request.engine_report;
    extras.glyphs = request.glyphs;
    extras.streamline_sample = request.tracking ? request.streamline_sample : 0;
    RunResult run = audit_run(inputs, options, execution, Pipeline::Audit, extras);
    Report& report = run.report;

    if (entry.sidecar) {
      try {
        if (auto note = bids::sidecar_note(bids::read_sidecar(*entry.sidecar))) report.notes.push_back(*note);
      } catch (const Error&) {
        // An unusable sidecar only means no sidecar note.
      }
    }

    if (request.repair && report.flip) write_repaired_table(run, *request.repair, options, execution);

    // The tracking record first: a report on disk always has its record beside it.
    const auto write_run_file = [&](const std::string& suffix, const std::string& text) {
      const std::string path = join_path(out_dir, stem + suffix);
      concerning(Role::RunFile, path, [&] { write_file_atomic(path, text); });
    };
    if (run.tracking) write_run_file(kTrackingSuffix, json::dump(run.tracking->to_json(), true));
    RunOutcome out;
    if (request.engine_report) {
      out.written_report = engine_report_json(report, run.tracking ? &*run.tracking : nullptr, run.verdict);
      if (request.annotate) request.annotate(out.written_report, run.verdict);
    }
    write_run_file(kReportSuffix, request.engine_report ? json::dump(out.written_report, true)
                                                        : report.to_json_text(true));
    out.item = {entry.name(), entry.dwi, request.engine_report ? run.verdict.status : report.status};
    out.verdict = std::move(run.verdict);
    out.report = std::move(report);
    out.tracking = std::move(run.tracking);
    out.glyphs = std::move(run.glyphs);
    out.info = std::move(run.info);
    out.streamlines = std::move(run.streamlines);
    return out;
  } catch (const Error& error) {
    // A batch names the run's file by its path: nobody typed an option for it.
    throw Failure(request.engine_report ? located(error, tarvix::Naming::Path) : error.display());
  }
}

BatchOutcome finish(const BatchPlan& plan, std::vector<BatchItem> items, std::optional<BatchGaps> gaps) {
  BatchOutcome outcome;
  outcome.summary_path = plan.summary_path;
  outcome.items = std::move(items);
  outcome.gaps = std::move(gaps);
  for (const auto& item : outcome.items) outcome.status = std::max(outcome.status, item.status);

  json::Value summary = json::Value::object();
  summary.set("bids_root", display_path(plan.root));
  if (outcome.gaps) summary.set("failed", failed_array(*outcome.gaps));
  summary.set("n_datasets", static_cast<std::uint64_t>(outcome.items.size()));
  if (outcome.gaps) set_gap_counts(summary, *outcome.gaps);
  summary.set("results", results_array(outcome));
  if (outcome.gaps) summary.set("skipped", display_strings(outcome.gaps->skipped));
  summary.set("status", batch_status(outcome));
  summary.set("tool", kToolName);
  if (outcome.gaps) set_folders_and_verdict(summary, outcome);
  try {
    write_file_atomic(plan.summary_path, json::dump(summary, true));
  } catch (const Error& error) {
    throw os_failure(error);
  }
  return outcome;
}

BatchOutcome run(const std::string& root, const AnalysisOptions& options, Execution& execution) {
  const BatchPlan plan = prepare(root, options);
  std::vector<BatchItem> items;
  for (std::size_t i = 0; i < plan.entries.size(); ++i)
    items.push_back(audit_entry(plan.entries[i], plan.out_dir, plan.stems[i], options, execution).item);
  return finish(plan, std::move(items));
}

std::string outcome_json(const BatchOutcome& outcome, bool verdict_exit) {
  json::Value out = json::Value::object();
  const bool incomplete = outcome.gaps && outcome.gaps->incomplete();
  out.set("exit_code", incomplete                                         ? kExitError
                       : outcome.status == Status::Flag && !verdict_exit ? 0
                                                                         : exit_code(outcome.status));
  if (outcome.gaps) out.set("failed", failed_array(*outcome.gaps));
  if (outcome.gaps) set_gap_counts(out, *outcome.gaps);
  out.set("results", results_array(outcome));
  if (outcome.gaps) out.set("skipped", display_strings(outcome.gaps->skipped));
  out.set("status", batch_status(outcome));
  out.set("summary_path", display_path(outcome.summary_path));
  if (outcome.gaps) set_folders_and_verdict(out, outcome);
  return json::dump(out);
}

json::Value entry_json(const DwiEntry& entry, const std::string& stem, const std::optional<std::string>& name) {
  json::Value e = json::Value::object();
  e.set("name", display_path(name ? *name : entry.name()));
  e.set("stem", stem);
  e.set("subject", json::optional(subject_label(entry.dwi)));
  e.set("dwi", entry.dwi);
  e.set("bvec", entry.bvec);
  e.set("bval", entry.bval);
  e.set("masks", json::strings(entry.masks));
  e.set("sidecar", json::optional(entry.sidecar));
  e.set("base", entry.base);
  return e;
}

DwiEntry entry_from_json(const std::string& text, std::string& stem) {
  try {
    // Paths that are not UTF-8 come as Python writes them (see nul_escaped_json).
    const nlohmann::json j = nlohmann::json::parse(nul_escaped_json(text));
    const auto path = [&](const nlohmann::json& v) { return bytes_of_nul_escapes(v.get<std::string>()); };
    DwiEntry e;
    e.dwi = path(j.at("dwi"));
    e.bvec = path(j.at("bvec"));
    e.bval = path(j.at("bval"));
    for (const auto& mask : j.at("masks")) e.masks.push_back(path(mask));
    if (!j.at("sidecar").is_null()) e.sidecar = path(j.at("sidecar"));
    e.base = path(j.at("base"));
    stem = path(j.at("stem"));
    return e;
  } catch (const nlohmann::json::exception& ex) {
    throw Failure(std::string("invalid run entry: ") + ex.what());
  }
}

json::Value plan_json(const BatchPlan& plan) {
  json::Value p = json::Value::object();
  p.set("root", display_path(plan.root));
  p.set("out_dir", plan.out_dir);
  p.set("summary_path", display_path(plan.summary_path));
  json::Value runs = json::Value::array();
  for (std::size_t i = 0; i < plan.entries.size(); ++i) {
    runs.push(entry_json(plan.entries[i], plan.stems[i], plan.names[i]));
  }
  p.set("runs", std::move(runs));
  p.set("skipped", json::strings(plan.skipped));
  p.set("skipped_runs", json::strings(plan.skipped_runs));
  p.set("unreadable", json::strings(plan.unreadable));
  return p;
}

}  // namespace tarvix::bids_batch

namespace tarvix {

std::string audit_bids(const std::string& root, const AnalysisOptions& options,
                       std::optional<std::uint64_t> threads) {
  Execution execution(threads);
  return bids_batch::outcome_json(bids_batch::run(root, options, execution));
}

}  // namespace tarvix
