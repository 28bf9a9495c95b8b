#include "bids_batch.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <utility>

#include "error.hpp"
#include "fileio.hpp"
#include "paths.hpp"
#include "format.hpp"
#include "audit_run.hpp"
#include "json.hpp"
#include "report.hpp"
#include "text.hpp"

namespace tarvix::bids_batch {
namespace {

constexpr const char* kSummaryName = "dataset_summary.json";

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
  r.set("name", item.name);
  r.set("status", status_text(item.status));
  return r;
}

json::Value results_array(const BatchOutcome& outcome) {
  json::Value results = json::Value::array();
  for (const auto& item : outcome.items) results.push(result_object(item));
  return results;
}

// Every run samples an image and ranks the candidates, so a setting that one
// run would reject is rejected before anything under derivatives/tarvix is
// removed or written, with the text that run would have given. The other
// settings (tolerance, b0_threshold, shell) fail only with a run's own data.
void check_options(const AnalysisOptions& options) {
  if (options.step && !(std::isfinite(*options.step) && *options.step > 0.0)) {
    throw Failure("step must be finite and greater than 0: " + format_plain(*options.step));
  }
  const double mt = options.margin_threshold;
  if (!(std::isfinite(mt) && mt > 0.0 && mt <= 1.0)) throw Failure(Error::margin_threshold(mt).display());
}

}  // namespace

std::vector<std::string> report_file_names(const std::vector<DwiEntry>& entries) {
  std::map<std::string, std::uint64_t> seen;
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const auto& entry : entries) {
    const std::string name = entry.name();
    const std::uint64_t k = ++seen[name];
    names.push_back(k == 1 ? name + "_report.json" : name + "_" + std::to_string(k) + "_report.json");
  }
  return names;
}

Status audit_entry(const DwiEntry& entry, const std::string& report_path, const AnalysisOptions& options,
                   Execution& execution) {
  try {
    // As a single audit of these files would run: the table came from
    // bvec/bval files, so the FSL frame of this image and its own default step.
    RunInputs inputs;
    inputs.table.bvec = entry.bvec;
    inputs.table.bval = entry.bval;
    inputs.dwi = entry.dwi;
    inputs.mask_candidates = entry.masks;
    Report report = audit_run(inputs, options, execution, Pipeline::Audit).report;

    if (entry.sidecar) {
      try {
        if (auto note = bids::sidecar_note(bids::read_sidecar(*entry.sidecar))) report.notes.push_back(*note);
      } catch (const Error&) {
        // An unusable sidecar only means no sidecar note.
      }
    }

    write_file_atomic(report_path, report.to_json_text(true));
    return report.status;
  } catch (const Error& error) {
    throw Failure(error.display());
  }
}

BatchOutcome run(const std::string& root, const AnalysisOptions& options, Execution& execution) {
  std::vector<DwiEntry> entries;
  try {
    entries = bids::discover(root);
  } catch (const Error& error) {
    throw os_failure(error);
  }
  if (entries.empty()) {
    throw Failure("no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + display_path(root));
  }

  check_options(options);

  const std::string out_dir = join_path(join_path(root, "derivatives"), "tarvix");
  try {
    create_directories(out_dir);
  } catch (const Error& error) {
    throw os_failure(error);
  }
  const std::string summary_path = join_path(out_dir, kSummaryName);
  // A summary left by an earlier batch must not look like this batch's result
  // if this one stops early.
  if (::unlink(summary_path.c_str()) != 0 && errno != ENOENT) throw Failure(os_error_text(errno));

  const std::vector<std::string> report_names = report_file_names(entries);
  BatchOutcome outcome;
  outcome.summary_path = summary_path;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Status status = audit_entry(entries[i], join_path(out_dir, report_names[i]), options, execution);
    outcome.status = std::max(outcome.status, status);
    outcome.items.push_back({entries[i].name(), entries[i].dwi, status});
  }

  json::Value summary = json::Value::object();
  summary.set("bids_root", display_path(root));
  summary.set("n_datasets", static_cast<std::uint64_t>(entries.size()));
  summary.set("results", results_array(outcome));
  summary.set("status", status_text(outcome.status));
  summary.set("tool", kToolName);
  try {
    write_file_atomic(summary_path, json::dump(summary, true));
  } catch (const Error& error) {
    throw os_failure(error);
  }
  return outcome;
}

std::string outcome_json(const BatchOutcome& outcome) {
  json::Value out = json::Value::object();
  out.set("exit_code", outcome.status == Status::Warn ? 3 : 0);
  out.set("results", results_array(outcome));
  out.set("status", status_text(outcome.status));
  out.set("summary_path", display_path(outcome.summary_path));
  return json::dump(out);
}

}  // namespace tarvix::bids_batch

namespace tarvix {

std::string audit_bids(const std::string& root, const AnalysisOptions& options,
                       std::optional<std::uint64_t> threads) {
  Execution execution(threads);
  return bids_batch::outcome_json(bids_batch::run(root, options, execution));
}

}  // namespace tarvix
