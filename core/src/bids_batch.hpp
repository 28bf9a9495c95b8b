// Batch audit of a BIDS dataset: every discovered run is audited as a single
// `audit` call on its files would audit it, its report is written into
// <root>/derivatives/tarvix, and a dataset summary closes a successful batch.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <cstdint>

#include "audit_run.hpp"
#include "execution.hpp"
#include "io/bids.hpp"
#include "json.hpp"
#include "options.hpp"
#include "repair.hpp"
#include "report.hpp"
#include "tracking.hpp"
#include "verdict.hpp"
#include "status.hpp"

namespace tarvix {

struct BatchItem {
  std::string name;  // the run's base file name, e.g. sub-01_dwi
  std::string dwi;
  Status status = Status::Pass;
};

// A run the batch could not audit, and why.
struct FailedRun {
  std::string name;
  std::string dwi;
  std::string error;
};

// What a batch left unaudited, which the engine's summary states beside the
// results: a batch that lost a run, or a folder where runs may hide, is
// incomplete, and its status is ERROR whatever its runs' verdicts.
struct BatchGaps {
  std::vector<FailedRun> failed;
  std::vector<std::string> skipped;     // images discovery left out, one line each naming it and why
  std::vector<std::string> unreadable;  // folders that could not be listed

  bool incomplete() const { return !failed.empty() || !unreadable.empty(); }
};

struct BatchOutcome {
  std::string summary_path;
  std::vector<BatchItem> items;  // discovery order
  Status status = Status::Pass;  // worst run status
  std::optional<BatchGaps> gaps;  // the engine's batches
};

namespace bids_batch {

// Everything a batch settles before its first run: the runs in discovery
// order, each with the stem of its file names, and where the files go.
struct BatchPlan {
  std::string root;
  std::string out_dir;
  std::string summary_path;
  std::vector<DwiEntry> entries;
  // Each run's name as the batch shows it (see `Naming`).
  std::vector<std::string> names;
  // <name> (of `names`) for a name seen once; the k-th later run with the same name (k = 2,
  // 3, ...) gets <name>_<k>. Run names end in "_dwi", so these never meet
  // another run's name. Files: <stem>_report.json, <stem>_tracking.json.
  std::vector<std::string> stems;
  // What discovery left out (unlistable folders, FIFOs and devices, images
  // without a usable table), one line each naming the path.
  std::vector<std::string> skipped;
  // The images among them (the rest are folders).
  std::vector<std::string> skipped_runs;
  // The folders among them that could not be listed: runs may be hidden
  // there, so a batch that skipped one has not audited the whole dataset.
  std::vector<std::string> unreadable;
};

// One audited run: its summary item, its report and its tracking record, and
// when asked what a picture of it draws.
struct RunOutcome {
  BatchItem item;
  Report report;
  json::Value written_report;  // with `engine_report`: the report as written
  std::optional<TrackingResult> tracking;
  Verdict verdict;
  std::optional<GlyphData> glyphs;
  std::optional<VolumeInfo> info;
  std::optional<StreamlineSample> streamlines;
};

// How a batch names its runs: by the image's file name (the module's
// audit_bids), or with the session folder's label put into names that lack it,
// so that sub-01/ses-1 and sub-01/ses-2 never show as the same run.
enum class Naming { File, Session };

std::string run_name(const DwiEntry& entry, Naming naming);

// The subject label of a run ("01" for .../sub-01/...), from its path.
std::optional<std::string> subject_label(const std::string& path);

// What discovery does with a folder it cannot list: end the batch with the
// operating system's text alone (the module's audit_bids), end it with a text
// that names the folder, or leave the folder out with a note in the plan.
enum class UnreadableFolders { Fail, FailNamed, Skip };

// How a batch reads the dataset: the module's audit_bids by default; the
// engine names sessions, reads the tree as a BIDS App and, when it finds no
// run, says what it left out.
struct PlanRules {
  UnreadableFolders unreadable = UnreadableFolders::Fail;
  Naming naming = Naming::File;
  bids::Scope scope = bids::Scope::Everything;
  bool name_skipped = false;
};

// Discovers the runs (only those of `participants` when given, as "01" or
// "sub-01"), checks the options every run would reject, creates the output
// folder (`out_dir`, else <root>/derivatives/tarvix) and removes a stale
// summary. Every failure is a Failure with its plain text.
BatchPlan prepare(const std::string& root, const AnalysisOptions& options,
                  const std::optional<std::string>& out_dir = std::nullopt,
                  const std::vector<std::string>& participants = {}, const PlanRules& rules = {});

// The table a batch writes for a run from its verdict, where a pipeline picks
// it up: the table as given for PASS, the correction for FLAG, nothing for
// WARN unless `force_repair` (then the deciding measure's best). Each comes
// with its provenance record when `paths.provenance` is set.
struct BatchRepair {
  OutputPaths paths;
  bool force_repair = false;
};

// What one run of a batch does beyond the module's audit of it: with
// `tracking` the tracking measure (its record written beside the report);
// with `engine_report` the engine's report (the verdict's status, the
// tracking and verdict sections) and the verdict's status for the item; with
// `repair` the run's table written from its verdict first, the report naming
// what was written; with `glyphs` the fitted field, and with
// `streamline_sample` that many streamlines of each transform the tracking
// shows, kept for a picture (as a single audit keeps them).
struct RunRequest {
  bool tracking = false;
  bool engine_report = false;
  std::optional<BatchRepair> repair;
  bool glyphs = false;
  std::uint64_t streamline_sample = 0;
  // With `engine_report`: what the dataset batch adds to the report before it
  // is written (run_context.hpp).
  std::function<void(json::Value& report, const Verdict& verdict)> annotate;
};

// Audits one run as a single `audit` of its files would, and writes its
// report into `out_dir` by temp file and rename. Throws Failure with the
// failing error's display text.
RunOutcome audit_entry(const DwiEntry& entry, const std::string& out_dir, const std::string& stem,
                       const AnalysisOptions& options, Execution& execution, const RunRequest& request = {});

// Writes the dataset summary of the runs that were audited, in the order
// given, and with `gaps` (the engine's) what was not audited.
BatchOutcome finish(const BatchPlan& plan, std::vector<BatchItem> items,
                    std::optional<BatchGaps> gaps = std::nullopt);

// The whole batch, one run after another. Every failure is a Failure with its plain text.
BatchOutcome run(const std::string& root, const AnalysisOptions& options, Execution& execution);

// The compact text returned to the caller.
// `exit_code` is 3 for a WARN batch and 0 otherwise, as audit_bids returns it;
// with `verdict_exit` it is the command line's: 0 PASS, 3 WARN, 4 FLAG, and 1
// for an incomplete batch, whose status is ERROR.
std::string outcome_json(const BatchOutcome& outcome, bool verdict_exit = false);

// A plan as plain JSON (what a remote run needs of it), and back for one run.
// Paths keep their bytes (a caller dumps the plan through
// surrogate_escaped_json); run names are shown with U+FFFD.
json::Value plan_json(const BatchPlan& plan);
json::Value entry_json(const DwiEntry& entry, const std::string& stem,
                       const std::optional<std::string>& name = std::nullopt);
DwiEntry entry_from_json(const std::string& text, std::string& stem);

}  // namespace bids_batch

// Entry point of the module's audit_bids: creates the call's Execution, runs
// the batch and returns the compact summary. Throws Error (thread count) or
// Failure (every batch failure).
std::string audit_bids(const std::string& root, const AnalysisOptions& options,
                       std::optional<std::uint64_t> threads);

}  // namespace tarvix
