// Turning a finished audit into corrected gradient files, and the explicit
// b-value recovery of amplitude-encoded tables. Both share one output-path
// rule: existing files are refused, or moved to numbered backups first.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "flip.hpp"
#include "frame.hpp"
#include "gradient.hpp"
#include "io/input_file.hpp"
#include "io/provenance.hpp"
#include "json.hpp"
#include "report.hpp"
#include "shell.hpp"
#include "tracking.hpp"
#include "verdict.hpp"
#include "volume.hpp"

namespace tarvix {

// Where a repair or a b-value recovery writes its files, and how.
struct OutputPaths {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  bool dry_run = false;
  bool in_place = false;
};

// Two outputs on one file would leave only the last one written, and a
// provenance record over a gradient file destroys the table it describes; both
// are refused (Failure) before anything is read or moved. Files that exist are
// compared by device and inode, new ones by their resolved absolute path.
void check_distinct_outputs(const OutputPaths& paths, const std::vector<std::string>& input_paths);

struct RepairSpec : OutputPaths {
  std::optional<FrameMaps> frames;  // of the DWI image; the module functions always supply it
  bool force_repair = false;
};

// A measure's verdict as a repair uses it: its decision and recommendation,
// and its best candidate for a repair forced on a WARN.
struct RepairVerdict {
  Status decision = Status::Pass;
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
  // The verdict's words for its recommendation; a frame correction's go into
  // the repair's notes with the matrix applied.
  std::optional<std::string> recommended_words;
  std::string best_label;
  Mat3 best_matrix{};
  bool best_is_identity = false;
  double relative_margin = 0;
  double margin_threshold = 0;
  // Set when the verdict is not the coherence's own: it then goes into the
  // provenance record as the measure that decided.
  std::optional<DecidingMeasure> measure;
  // False when no transform may be applied even on request (the image's
  // orientation is unknown, so no axis convention can be judged).
  bool may_force = true;

  static RepairVerdict of(const FlipResult& flip, double margin_threshold);
  static RepairVerdict of(const TrackingResult& tracking);
  // The run's one verdict: its decision on the axes and its (canonical)
  // recommendation; the deciding measure's best for a forced repair.
  static RepairVerdict of(const Verdict& verdict, const FlipResult& flip, double margin_threshold,
                          const TrackingResult* tracking);
};

// A transform chosen for application; `table` is still in the analysis frame.
struct Repair {
  GradientTable table;
  std::string label;
  Mat3 matrix{};

  // The best-ranked candidate, unless it is the identity or the point inversion.
  static std::optional<Repair> force_from_best(const GradientTable& table, const RepairVerdict& verdict);
};

struct RepairOutput {
  Report report;
  std::vector<std::string> backups;    // in the order bvec, bval, grad
  std::optional<GradientTable> table;  // repaired, analysis frame; absent when nothing was applied
};

inline constexpr const char* kFramesDivergentNote =
    "FSL and world frames diverge for this image (positive affine determinant with a multi-axis rotation); "
    "confirm the gradient is in the frame you intend before consuming a cross-format output";

// Every direction multiplied by m (b=0 rows included), zero results stored as
// +0.0, no re-normalisation; b-values copied.
GradientTable apply_transform(const GradientTable& table, const Mat3& m);

// Appends "." and the suffix to the whole path; never replaces an extension.
std::string with_suffix(const std::string& path, const std::string& suffix);
// path.bak, then path.bak.1, path.bak.2, ...: the first name where nothing exists.
std::string next_backup_path(const std::string& path);

// Clears the way for writing `path`: nothing to do when nothing is there; an
// existing file is refused without `in_place`, else renamed to its next backup
// name, which is returned. A directory at the path is an I/O error.
std::optional<std::string> prepare_output(const std::string& path, bool in_place);

// Examines an output path without changing anything: a directory at the path,
// or a missing parent directory, is an I/O error; an existing file is refused
// when `refuse_existing` is set and `in_place` is not.
void check_output_path(const std::string& path, bool in_place, bool refuse_existing);

// Checks every gradient output (in order) and the provenance path first, and
// only then moves existing gradient outputs to backups, so a refused or
// impossible call leaves the file system as it was. Returns the backups made.
std::vector<std::string> clear_outputs(const std::vector<std::string>& gradient_paths,
                                       const std::optional<std::string>& provenance, bool in_place);

void push_backup(std::vector<std::string>& list, std::optional<std::string> path);
std::string path_str(const std::string& path);

// The repair decision and its outputs, on an audit report: by the report's own
// coherence verdict, or by `verdict` when given.
RepairOutput repair_from_report(const GradientTable& table, Report report, const std::vector<InputFile>& inputs,
                                const RepairSpec& spec, double margin_threshold,
                                const std::optional<RepairVerdict>& verdict = std::nullopt);

struct RecomputeOutput {
  std::vector<ShellCount> before;
  std::vector<ShellCount> after;
  std::vector<std::string> outputs;  // display forms, in writing order; empty for a dry run
  double b_nominal = 0;
  double max_norm = 0;
  double b_min = 0;  // smallest recomputed b above the b0 threshold, 0 if none
  double b_max = 0;
  GradientTable table;
  std::vector<std::string> backups;

  // The summary returned to Python: b_nominal, max_norm, b_min, b_max,
  // before, after, outputs.
  json::Value to_json() const;
};

// Recomputes b-values from direction lengths, normalises the directions and,
// unless a dry run, writes the FSL pair (and the MRtrix file) and provenance.
// With `refuse_split`, a recovery that would split an acquired shell
// (shell_split_message) is refused, dry run or not.
RecomputeOutput recompute_bval(const GradientTable& table, const std::vector<InputFile>& inputs,
                               const OutputPaths& spec, double b0_threshold, double tolerance,
                               bool refuse_split = false);

// Recovery takes the longest vector to carry the largest b-value, so one
// vector far longer than the rest of its shell (a typo, a vector left
// unnormalised) rescales every other b-value. Within each shell of the stored
// b-values, the few longest vectors (at most a tenth of the shell, with at
// least two others left) that are 1.5 times longer than the next are such a
// split; the message names them, or is empty when there is none.
std::string shell_split_message(const GradientTable& table, const GradientTable& recovered, double b0_threshold,
                                double tolerance);

// A Failure naming the volumes when `table` holds a NaN or an infinity: a
// table file must never carry one.
void refuse_non_finite(const GradientTable& table);

// The note a recovery adds to its provenance record.
std::string recompute_note(double b_nominal, double max_norm);

}  // namespace tarvix
