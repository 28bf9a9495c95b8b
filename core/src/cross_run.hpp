// Runs of one acquisition usually share one gradient table. Before any image
// is read, the runs of a dataset with the same volume count and shells are
// compared: a run whose table is the group's most common table with its axes
// swapped or negated gets a note naming the change.
//
// Vendors fix their directions either in the image frame or in scanner
// coordinates, so the comparison is made in both: a run equal to the common
// table in either frame has nothing to say, and tables that merely differ (the
// directions follow the slice angulation run by run) get no note either. The
// note informs; the run's own image decides its status.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gradient.hpp"
#include "io/bids.hpp"
#include "json.hpp"
#include "matrix.hpp"
#include "status.hpp"

namespace tarvix::cross_run {

struct Run {
  std::string name;             // as the batch shows it: sub-01_ses-1_dwi
  GradientTable table;
  std::optional<Mat4> affine;   // when the image header places its grid soundly
  std::optional<char> phase_axis;  // 'i', 'j' or 'k', from the run's sidecar
};

struct Note {
  std::string note;
  std::string transform;  // the class member with at most one negation: "-x+y+z"
  std::string frame;      // "image" or "scanner"
  std::vector<std::string> reference;  // the runs sharing the common table
  // The transform of the run's own table (in its bvec frame) that makes it the
  // others': what its verdict should recommend when the others are right.
  // None when that is no axis transform (an oblique image, for a difference
  // found in scanner coordinates).
  std::optional<std::string> correction;

  json::Value to_json() const;
};

// The notes, by index into `runs`. Volumes at or below `b0_threshold` are
// left out of the comparison; runs are grouped by their shells as the
// scheme report finds them with `tolerance`.
std::map<std::size_t, Note> compare(const std::vector<Run>& runs, double b0_threshold, double tolerance);

// The run's table, its image header and its sidecar, read as the audit reads
// them; none when its table cannot be read (such a run is left out of the
// comparison, and its own audit says why).
std::optional<Run> read_run(const DwiEntry& entry, const std::string& name);

// Every run of a batch's plan (its JSON, as plan_json writes it) compared, and
// the runs with a note given it as "cross_run".
void add_notes(json::Value& plan, const std::vector<DwiEntry>& entries, const std::vector<std::string>& names,
               double b0_threshold, double tolerance);

// The note once the run's own verdict is known: the image decides; the note
// corroborates a FLAG that recommends the same fix, and may explain a WARN.
std::string with_verdict(const std::string& note, const std::optional<std::string>& correction, Status status,
                         const std::optional<std::string>& recommended);

}  // namespace tarvix::cross_run
