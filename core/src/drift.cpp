#include "drift.hpp"

#include <cmath>
#include <limits>

#include "volume.hpp"

namespace tarvix {

json::Value B0Drift::to_json() const {
  return json::Value(json::Object{
      {"indices", json::counts(indices)},
      {"mean_signal", json::reals(mean_signal)},
      {"slope", slope},
      {"relative_drift", relative_drift},
  });
}

B0Drift b0_drift(std::vector<std::uint64_t> indices, std::vector<double> means) {
  B0Drift d;
  const std::size_t n = means.size() < indices.size() ? means.size() : indices.size();
  if (n >= 2) {
    const double count = static_cast<double>(n);
    double sum_x = 0, sum_s = 0;
    for (std::size_t k = 0; k < n; ++k) {
      sum_x += static_cast<double>(indices[k]);
      sum_s += means[k];
    }
    const double x_bar = sum_x / count;
    const double s_bar = sum_s / count;
    double sxy = 0, sxx = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const double dx = static_cast<double>(indices[k]) - x_bar;
      sxy += dx * (means[k] - s_bar);
      sxx += dx * dx;
    }
    d.slope = sxx > 0 ? sxy / sxx : 0.0;

    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < n; ++k) {
      if (std::isnan(means[k])) continue;
      lo = std::fmin(lo, means[k]);
      hi = std::fmax(hi, means[k]);
    }
    // A NaN average is "not zero" and carries through as NaN.
    d.relative_drift = s_bar != 0.0 ? (hi - lo) / s_bar : 0.0;
  }
  d.indices = std::move(indices);
  d.mean_signal = std::move(means);
  return d;
}

B0Drift compute_drift(const Volume& volume, const GradientTable& table, const Mask* mask, double b0_threshold) {
  std::vector<std::uint64_t> indices = table.b0_indices(b0_threshold);
  std::vector<double> means = mean_for_volumes(volume, indices, mask);
  return b0_drift(std::move(indices), std::move(means));
}

}  // namespace tarvix
