#include "angular.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <functional>

#include "shell.hpp"

namespace tarvix {

json::Value DuplicatePair::to_json() const {
  return json::Value(json::Object{{"i", i}, {"j", j}, {"angle_deg", angle_deg}, {"antipodal", antipodal}});
}

json::Value ShellAngular::to_json() const {
  json::Array dups;
  dups.reserve(duplicates.size());
  for (const auto& d : duplicates) dups.push_back(d.to_json());
  return json::Value(json::Object{
      {"nominal_b", nominal_b},
      {"count", count},
      {"electrostatic_energy", electrostatic_energy},
      {"condition_number", json::optional(condition_number)},
      {"meets_dti_minimum", meets_dti_minimum},
      {"meets_dti_recommended", meets_dti_recommended},
      {"meets_csd_minimum", meets_csd_minimum},
      {"duplicates", json::Value(std::move(dups))},
  });
}

json::Value AngularSummary::to_json() const {
  json::Array list;
  list.reserve(shells.size());
  for (const auto& s : shells) list.push_back(s.to_json());
  return json::Value(json::Object{{"duplicate_angle_deg", duplicate_angle_deg}, {"shells", json::Value(std::move(list))}});
}

namespace angular {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
constexpr double kMinDistance = 1e-9;

// The comparisons are written so that a NaN operand yields the other one, the
// way the system's minimum and maximum skip not-a-number values.
inline double max_skip_nan(double d, double floor) { return d > floor ? d : floor; }
inline double min_skip_nan(double s, double cap) { return s < cap ? s : cap; }

struct PairScan {
  double energy = 0;
  std::vector<DuplicatePair> duplicates;
};

// One pass over all pairs a < b (a outer, b inner, both ascending) gives both the
// repulsion energy, summed in that order, and the near-duplicate pairs in that order.
// Coordinates are held as three separate arrays so the inner loop streams.
PairScan scan_pairs(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                    const std::vector<std::uint64_t>& volume_index, double duplicate_angle_deg) {
  PairScan out;
  const double c = std::cos(duplicate_angle_deg * kDegToRad);
  const std::size_t n = x.size();
  for (std::size_t a = 0; a < n; ++a) {
    const double xa = x[a], ya = y[a], za = z[a];
    double energy = out.energy;
    for (std::size_t b = a + 1; b < n; ++b) {
      const double mx = xa - x[b], my = ya - y[b], mz = za - z[b];
      const double px = xa + x[b], py = ya + y[b], pz = za + z[b];
      const double dm = std::sqrt((mx * mx + my * my) + mz * mz);
      const double dp = std::sqrt((px * px + py * py) + pz * pz);
      energy += 1.0 / max_skip_nan(dm, kMinDistance) + 1.0 / max_skip_nan(dp, kMinDistance);

      const double dot = xa * x[b] + ya * y[b] + za * z[b];
      const double s = min_skip_nan(std::fabs(dot), 1.0);
      if (s > c) [[unlikely]] {
        out.duplicates.push_back({volume_index[a], volume_index[b], std::acos(s) * kRadToDeg, dot < 0});
      }
    }
    out.energy = energy;
  }
  return out;
}

}  // namespace

std::optional<double> design_condition_number(const std::vector<Vec3>& u) {
  const auto n = static_cast<Eigen::Index>(u.size());
  if (n < 6) return std::nullopt;
  Eigen::MatrixXd design(n, 6);
  for (Eigen::Index k = 0; k < n; ++k) {
    const double x = u[k][0], y = u[k][1], z = u[k][2];
    design(k, 0) = x * x;
    design(k, 1) = y * y;
    design(k, 2) = z * z;
    design(k, 3) = 2 * x * y;
    design(k, 4) = 2 * x * z;
    design(k, 5) = 2 * y * z;
  }
  // A not-a-number direction leaves the decomposition without meaning.
  if (!design.allFinite()) return std::nullopt;
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(design);
  Eigen::VectorXd sv = svd.singularValues();
  std::sort(sv.data(), sv.data() + sv.size(), std::greater<double>());
  const double s_max = sv(0);
  const double s_min = sv(5);
  if (s_min > 1e-9) return s_max / s_min;
  return std::nullopt;
}

AngularSummary analyze(const GradientTable& table, double b0_threshold, double tolerance,
                       double duplicate_angle_deg) {
  AngularSummary summary;
  summary.duplicate_angle_deg = duplicate_angle_deg;
  const GradientTable unit = table.normalized(b0_threshold);
  const std::vector<Shell> shells = detect_shells(table.bvals, b0_threshold, tolerance);

  std::vector<Vec3> u;
  std::vector<double> x, y, z;
  for (const Shell& shell : shells) {
    if (shell.is_b0) continue;
    const std::size_t n = shell.indices.size();
    u.clear();
    x.resize(n);
    y.resize(n);
    z.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const auto i = shell.indices[k];
      const Vec3 d = i < unit.directions.size() ? unit.directions[i] : Vec3{0, 0, 0};
      u.push_back(d);
      x[k] = d[0];
      y[k] = d[1];
      z[k] = d[2];
    }

    ShellAngular sa;
    sa.nominal_b = shell.nominal_b;
    sa.count = shell.count;
    PairScan scan = scan_pairs(x, y, z, shell.indices, duplicate_angle_deg);
    sa.electrostatic_energy = scan.energy;
    sa.duplicates = std::move(scan.duplicates);
    sa.condition_number = design_condition_number(u);
    sa.meets_dti_minimum = n >= 6;
    sa.meets_dti_recommended = n >= 30;
    sa.meets_csd_minimum = n >= 45;
    summary.shells.push_back(std::move(sa));
  }
  return summary;
}

}  // namespace angular
}  // namespace tarvix
