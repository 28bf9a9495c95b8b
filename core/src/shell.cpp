#include "shell.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "gradient.hpp"

namespace tarvix {

json::Value Shell::to_json() const {
  return json::Value(json::Object{
      {"nominal_b", nominal_b},
      {"mean_b", mean_b},
      {"min_b", min_b},
      {"max_b", max_b},
      {"count", count},
      {"indices", json::counts(indices)},
      {"is_b0", is_b0},
  });
}

json::Value B0Summary::to_json() const {
  return json::Value(json::Object{
      {"count", count},
      {"indices", json::counts(indices)},
      {"spacings", json::counts(spacings)},
  });
}

json::Value ShellSummary::to_json() const {
  json::Array shell_list;
  shell_list.reserve(shells.size());
  for (const auto& s : shells) shell_list.push_back(s.to_json());
  return json::Value(json::Object{
      {"b0_threshold", b0_threshold},
      {"tolerance", tolerance},
      {"shells", json::Value(std::move(shell_list))},
      {"b0", b0.to_json()},
      {"non_integer_bvals", json::counts(non_integer_bvals)},
  });
}

json::Value ShellCount::to_json() const {
  return json::Value(json::Object{{"nominal_b", nominal_b}, {"count", count}});
}

Shell make_shell(const std::vector<double>& bvals, std::vector<std::uint64_t> indices, bool is_b0) {
  std::sort(indices.begin(), indices.end());
  Shell s;
  s.is_b0 = is_b0;
  s.count = indices.size();
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  double sum = 0;
  for (auto i : indices) {
    const double b = bvals[i];
    if (!std::isnan(b)) {
      lo = std::fmin(lo, b);
      hi = std::fmax(hi, b);
    }
    sum += b;
  }
  s.min_b = lo;
  s.max_b = hi;
  // An empty member list cannot come out of clustering; keep it finite anyway.
  s.mean_b = indices.empty() ? 0.0 : sum / static_cast<double>(indices.size());
  s.nominal_b = round_half_away(s.mean_b);
  s.indices = std::move(indices);
  return s;
}

std::vector<Shell> detect_shells(const std::vector<double>& bvals, double b0_threshold, double tolerance) {
  std::vector<Shell> shells;
  std::vector<std::uint64_t> b0;
  std::vector<std::uint64_t> weighted;
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    // NaN fails both comparisons and so belongs to no shell.
    if (bvals[i] <= b0_threshold)
      b0.push_back(i);
    else if (bvals[i] > b0_threshold)
      weighted.push_back(i);
  }
  if (!b0.empty()) shells.push_back(make_shell(bvals, std::move(b0), true));
  if (weighted.empty()) return shells;

  std::stable_sort(weighted.begin(), weighted.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return bvals[a] < bvals[b]; });

  // The anchor stays at the group's smallest b-value, so a slowly rising run of
  // b-values cannot chain into one ever-wider shell.
  const double factor = 1.0 + tolerance;
  std::vector<std::uint64_t> group;
  double anchor = 0;
  for (auto i : weighted) {
    if (group.empty()) {
      anchor = bvals[i];
    } else if (bvals[i] > factor * anchor) {
      shells.push_back(make_shell(bvals, std::move(group), false));
      group.clear();
      anchor = bvals[i];
    }
    group.push_back(i);
  }
  shells.push_back(make_shell(bvals, std::move(group), false));
  return shells;
}

B0Summary b0_summary(const std::vector<double>& bvals, double b0_threshold) {
  B0Summary s;
  for (std::size_t i = 0; i < bvals.size(); ++i)
    if (bvals[i] <= b0_threshold) s.indices.push_back(i);
  s.count = s.indices.size();
  for (std::size_t k = 1; k < s.indices.size(); ++k) s.spacings.push_back(s.indices[k] - s.indices[k - 1]);
  return s;
}

std::vector<std::uint64_t> non_integer_bvals(const std::vector<double>& bvals, double tolerance) {
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    const double b = bvals[i];
    if (std::isfinite(b) && std::fabs(b - round_half_away(b)) > tolerance) out.push_back(i);
  }
  return out;
}

std::vector<ShellCount> shell_counts(const std::vector<double>& bvals, double b0_threshold, double tolerance) {
  std::vector<ShellCount> out;
  for (const auto& s : detect_shells(bvals, b0_threshold, tolerance)) out.push_back({s.nominal_b, s.count});
  return out;
}

}  // namespace tarvix
