#include "gradient.hpp"

#include <cmath>
#include <limits>

#include "error.hpp"

namespace tarvix {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// NaN b-values are neither b=0 nor diffusion-weighted: both comparisons fail.
bool is_b0(double b, double threshold) { return b <= threshold; }
bool is_weighted(double b, double threshold) { return b > threshold; }

}  // namespace

double round_half_away(double x) { return std::round(x); }

json::Value NormStats::to_json() const {
  return json::Value(json::Object{
      {"non_b0_count", non_b0_count},
      {"non_unit_count", non_unit_count},
      {"non_unit_fraction", non_unit_fraction},
      {"norm_min", norm_min},
      {"norm_max", norm_max},
      {"norm_mean", norm_mean},
      {"tolerance", tolerance},
  });
}

GradientTable GradientTable::make(std::vector<Vec3> directions, std::vector<double> bvals) {
  if (directions.size() != bvals.size()) throw Error::table_mismatch(directions.size(), bvals.size());
  return GradientTable{std::move(directions), std::move(bvals)};
}

std::vector<std::uint64_t> GradientTable::b0_indices(double b0_threshold) const {
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i < bvals.size(); ++i)
    if (is_b0(bvals[i], b0_threshold)) out.push_back(i);
  return out;
}

NormStats GradientTable::norm_stats(double b0_threshold, double tolerance) const {
  NormStats s;
  s.tolerance = tolerance;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  double sum = 0;
  for (std::size_t i = 0; i < size(); ++i) {
    if (!is_weighted(bvals[i], b0_threshold)) continue;
    const double len = norm(directions[i]);
    ++s.non_b0_count;
    if (std::fabs(len - 1.0) > tolerance) ++s.non_unit_count;
    if (!std::isnan(len)) {
      lo = std::fmin(lo, len);
      hi = std::fmax(hi, len);
    }
    sum += len;
  }
  if (s.non_b0_count == 0) return s;
  const double n = static_cast<double>(s.non_b0_count);
  s.norm_min = lo;
  s.norm_max = hi;
  s.norm_mean = sum / n;
  s.non_unit_fraction = static_cast<double>(s.non_unit_count) / n;
  return s;
}

GradientTable GradientTable::normalized(double b0_threshold) const {
  GradientTable out{directions, bvals};
  for (std::size_t i = 0; i < size(); ++i) {
    const double len = norm(directions[i]);
    if (is_b0(bvals[i], b0_threshold) || len < kEpsilon) {
      out.directions[i] = {0, 0, 0};
    } else {
      const Vec3& d = directions[i];
      out.directions[i] = {d[0] / len, d[1] / len, d[2] / len};
    }
  }
  return out;
}

RecoveredTable GradientTable::recover_bvals(double b0_threshold) const {
  RecoveredTable r;
  for (std::size_t i = 0; i < size(); ++i) {
    if (!is_weighted(bvals[i], b0_threshold)) continue;
    const double len = norm(directions[i]);
    if (!std::isnan(bvals[i]) && bvals[i] > r.b_nominal) r.b_nominal = bvals[i];
    if (!std::isnan(len) && len > r.max_norm) r.max_norm = len;
  }
  if (!(r.max_norm >= kEpsilon)) throw Error::no_flip_shell();
  r.table = normalized(b0_threshold);
  for (std::size_t i = 0; i < size(); ++i) {
    if (is_b0(bvals[i], b0_threshold)) {
      r.table.bvals[i] = 0.0;
    } else {
      const double ratio = norm(directions[i]) / r.max_norm;
      r.table.bvals[i] = round_half_away(r.b_nominal * (ratio * ratio));
    }
  }
  return r;
}

GradientTable GradientTable::transformed(const Mat3& m) const {
  GradientTable out{directions, bvals};
  for (auto& d : out.directions) d = mul(m, d);
  return out;
}

}  // namespace tarvix
