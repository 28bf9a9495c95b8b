// Per-shell direction quality: counts, design-matrix conditioning, repulsion
// energy and near-duplicate pairs.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "gradient.hpp"
#include "json.hpp"

namespace tarvix {

struct DuplicatePair {
  std::uint64_t i = 0;
  std::uint64_t j = 0;
  double angle_deg = 0;
  bool antipodal = false;

  json::Value to_json() const;
};

struct ShellAngular {
  double nominal_b = 0;
  std::uint64_t count = 0;
  double electrostatic_energy = 0;
  std::optional<double> condition_number;
  bool meets_dti_minimum = false;
  bool meets_dti_recommended = false;
  bool meets_csd_minimum = false;
  std::vector<DuplicatePair> duplicates;
  // Every pair found, counted by kind; `duplicates` lists at most the first
  // 10 000 of them (not serialised: the findings read them).
  std::uint64_t antipodal_pairs = 0;
  std::uint64_t near_duplicate_pairs = 0;

  json::Value to_json() const;
};

struct AngularSummary {
  double duplicate_angle_deg = 0;
  std::vector<ShellAngular> shells;

  json::Value to_json() const;
};

namespace angular {
AngularSummary analyze(const GradientTable& table, double b0_threshold, double tolerance,
                       double duplicate_angle_deg);
std::optional<double> design_condition_number(const std::vector<Vec3>& unit_directions);
}  // namespace angular

}  // namespace tarvix
