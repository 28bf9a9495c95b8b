// The call frame behind each module function: thread context, table loading,
// image reading and the pipeline, with typed C++ arguments in and JSON out.
// The binding only converts Python arguments into these records.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "flip.hpp"
#include "gradient.hpp"
#include "io/provenance.hpp"
#include "io/table_loader.hpp"
#include "volume.hpp"

namespace tarvix {

using OptPath = std::optional<std::string>;

struct TableArgs {
  OptPath bvec, bval, grad;
};

struct AnalysisArgs {
  TableArgs table;
  OptPath dwi, mask;
  double tolerance = 0.05;
  double b0_threshold = 50.0;
  std::optional<double> shell;
  std::optional<double> step;
  double margin_threshold = 0.02;
  bool strict = false;
  double norm_tolerance = 0.05;
  std::optional<std::uint64_t> threads;
};

struct RepairArgs {
  AnalysisArgs analysis;
  std::string out_bvec, out_bval;
  OptPath out_grad, provenance;
  bool dry_run = false;
  bool in_place = false;
  bool force_repair = false;
};

struct RecomputeArgs {
  TableArgs table;
  std::string out_bvec, out_bval;
  OptPath out_grad, provenance;
  double b0_threshold = 50.0;
  bool dry_run = false;
  bool in_place = false;
  std::optional<std::uint64_t> threads;
};

struct BidsArgs {
  std::string root;
  double tolerance = 0.05;
  double b0_threshold = 50.0;
  std::optional<double> shell;
  std::optional<double> step;
  double margin_threshold = 0.02;
  bool strict = false;
  double norm_tolerance = 0.05;
  std::optional<std::uint64_t> threads;
};

// The seven stage timings of the profiled audits, in seconds.
struct StageTimings {
  double decompress = 0, convert = 0, fit = 0, coherence = 0, other = 0, total = 0, threads = 0;
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

}  // namespace tarvix
