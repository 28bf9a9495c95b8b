// b-value shells, the b=0 summary and non-integer b-values.
#pragma once

#include <cstdint>
#include <vector>

#include "json.hpp"

namespace tarvix {

struct Shell {
  std::vector<std::uint64_t> indices;  // ascending volume indices
  double nominal_b = 0;
  double mean_b = 0;
  double min_b = 0;
  double max_b = 0;
  std::uint64_t count = 0;
  bool is_b0 = false;

  json::Value to_json() const;
};

struct B0Summary {
  std::uint64_t count = 0;
  std::vector<std::uint64_t> indices;
  std::vector<std::uint64_t> spacings;

  json::Value to_json() const;
};

struct ShellSummary {
  std::vector<Shell> shells;
  B0Summary b0;
  std::vector<std::uint64_t> non_integer_bvals;
  double b0_threshold = 0;
  double tolerance = 0;

  json::Value to_json() const;
};

struct ShellCount {
  double nominal_b = 0;
  std::uint64_t count = 0;

  json::Value to_json() const;
};

std::vector<Shell> detect_shells(const std::vector<double>& bvals, double b0_threshold, double tolerance);
Shell make_shell(const std::vector<double>& bvals, std::vector<std::uint64_t> indices, bool is_b0);
B0Summary b0_summary(const std::vector<double>& bvals, double b0_threshold);
std::vector<std::uint64_t> non_integer_bvals(const std::vector<double>& bvals, double tolerance);
std::vector<ShellCount> shell_counts(const std::vector<double>& bvals, double b0_threshold, double tolerance);

}  // namespace tarvix
