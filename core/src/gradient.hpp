// The in-memory gradient table and the statistics of its direction lengths.
#pragma once

#include <cstdint>
#include <vector>

#include "json.hpp"
#include "matrix.hpp"

namespace tarvix {

struct NormStats {
  std::uint64_t non_b0_count = 0;
  std::uint64_t non_unit_count = 0;
  double non_unit_fraction = 0;
  double norm_min = 0;
  double norm_max = 0;
  double norm_mean = 0;
  double tolerance = 0;

  json::Value to_json() const;
};

struct GradientTable;

struct RecoveredTable;

// One direction (not necessarily unit length) and one b-value per volume.
struct GradientTable {
  std::vector<Vec3> directions;
  std::vector<double> bvals;

  // Fails with the table-mismatch error when the lengths differ.
  static GradientTable make(std::vector<Vec3> directions, std::vector<double> bvals);

  std::size_t size() const { return bvals.size() < directions.size() ? bvals.size() : directions.size(); }
  std::vector<std::uint64_t> b0_indices(double b0_threshold) const;
  NormStats norm_stats(double b0_threshold, double tolerance) const;
  GradientTable normalized(double b0_threshold) const;
  RecoveredTable recover_bvals(double b0_threshold) const;
  // Every direction multiplied by m; b-values unchanged.
  GradientTable transformed(const Mat3& m) const;
};

struct RecoveredTable {
  GradientTable table;
  double b_nominal = 0;
  double max_norm = 0;
};

// Halves away from zero, as std::round does.
double round_half_away(double x);

}  // namespace tarvix
