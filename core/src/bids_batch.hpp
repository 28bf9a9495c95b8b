// Batch audit of a BIDS dataset: every discovered run is audited as a single
// `audit` call on its files would audit it, its report is written into
// <root>/derivatives/tarvix, and a dataset summary closes a successful batch.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <cstdint>

#include "execution.hpp"
#include "io/bids.hpp"
#include "options.hpp"
#include "status.hpp"

namespace tarvix {

struct BatchItem {
  std::string name;  // the run's base file name, e.g. sub-01_dwi
  std::string dwi;
  Status status = Status::Pass;
};

struct BatchOutcome {
  std::string summary_path;
  std::vector<BatchItem> items;  // discovery order
  Status status = Status::Pass;  // worst run status
};

namespace bids_batch {

// Report file names: <name>_report.json for a name seen once; the k-th later
// run with the same name (k = 2, 3, ...) gets <name>_<k>_report.json. Run names
// end in "_dwi", so these never meet another run's name.
std::vector<std::string> report_file_names(const std::vector<DwiEntry>& entries);

// Audits one run and writes its report to `report_path`. Throws Failure with
// the failing error's display text.
Status audit_entry(const DwiEntry& entry, const std::string& report_path, const AnalysisOptions& options,
                   Execution& execution);

// The whole batch. Every failure is a Failure with its plain text.
BatchOutcome run(const std::string& root, const AnalysisOptions& options, Execution& execution);

// The compact text returned to the caller.
std::string outcome_json(const BatchOutcome& outcome);

}  // namespace bids_batch

// Entry point of the module's audit_bids: creates the call's Execution, runs
// the batch and returns the compact summary. Throws Error (thread count) or
// Failure (every batch failure).
std::string audit_bids(const std::string& root, const AnalysisOptions& options,
                       std::optional<std::uint64_t> threads);

}  // namespace tarvix
