// What a dataset batch knows of one run beyond its audit, from the plan's
// entry for it: where the run came from, the brain mask a derivatives dataset
// gives it, the cross-run note and the corrected tables written for it. The
// run's report carries them; the core writes it once, with them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/bids.hpp"
#include "json.hpp"
#include "verdict.hpp"

namespace tarvix::bids_batch {

struct RunContext {
  json::Value source;                        // {"dwi": as the dataset names it, "name"}
  std::optional<json::Value> mask;           // the derivatives mask taken, or why none, with its note
  std::string mask_note;
  std::optional<json::Value> cross_run;      // the plan's note, before the run's verdict completes it
  std::optional<std::string> cross_correction;
  std::vector<std::string> repair_outputs;   // the tables and record the batch writes for the run
  std::string out_dir;
};

// The entry's batch fields. With a derivatives mask folder its candidate is
// held against the image (mask_misfit) and becomes `entry.masks` when it
// fits; otherwise the run takes the automatic region.
RunContext run_context(const std::string& entry_text, const std::string& out_dir, DwiEntry& entry);

// The report as the batch writes it: the context added, the mask's and the
// cross-run note appended to its notes, the latter completed by the verdict,
// and the repair outputs on disk listed as `written_tables`.
void add_context(json::Value& report, const RunContext& context, const Verdict& verdict);

}  // namespace tarvix::bids_batch
