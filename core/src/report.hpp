// The report record every analysis returns, and its JSON form.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "angular.hpp"
#include "drift.hpp"
#include "flip.hpp"
#include "gradient.hpp"
#include "io/input_file.hpp"
#include "json.hpp"
#include "shell.hpp"
#include "status.hpp"

namespace tarvix {

inline constexpr const char* kToolName = "tarvix";
// The project version, given by the build from its one declaration.
inline constexpr const char* kToolVersion = TARVIX_VERSION;

struct SchemeTable {
  std::vector<Vec3> directions;
  std::vector<double> bvals;

  static SchemeTable of(const GradientTable& table) { return {table.directions, table.bvals}; }
  json::Value to_json() const;
};

struct RepairInfo {
  Mat3 matrix{};
  std::string label;
  std::vector<std::string> outputs;

  json::Value to_json() const;
};

struct Report {
  std::uint32_t schema_version = 1;
  std::string tool = kToolName;
  std::string tool_version = kToolVersion;
  std::string timestamp;
  Status status = Status::Pass;
  std::vector<InputFile> inputs;
  SchemeTable scheme;
  std::optional<ShellSummary> shells;
  std::optional<B0Drift> b0_drift;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  std::optional<RepairInfo> repair;
  std::optional<NormStats> norm_stats;
  std::vector<std::string> notes;

  // Fixed header, the current UTC time, status PASS, nothing else.
  static Report make(SchemeTable scheme);

  json::Value to_json() const;
  // Compact (returned to Python) or two-space pretty (report files).
  std::string to_json_text(bool pretty = false) const;
};

// RFC 3339 UTC time with trimmed nanoseconds; empty when it cannot be formatted.
std::string rfc3339_now();
// The same form for a given instant.
std::string rfc3339_at(std::chrono::system_clock::time_point t);

}  // namespace tarvix
