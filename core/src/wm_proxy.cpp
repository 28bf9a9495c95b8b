// The white-matter proxy: bright (Otsu on s0), validly fitted and anisotropic voxels.
#include <algorithm>
#include <cmath>
#include <vector>

#include "tensor.hpp"

namespace tarvix {

double TensorField::bright_threshold() const {
  if (bright_from) return *bright_from;
  double lo = std::numeric_limits<double>::infinity(), hi = -std::numeric_limits<double>::infinity();
  for (double v : s0) {
    if (std::isnan(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }

  double threshold = 0;
  if (s0.empty()) {
    threshold = 0;
  } else if (!(lo < hi)) {
    threshold = lo;
  } else {
    // Otsu on a 256-bin histogram of the baseline signal: background and tissue.
    const double scale = 256.0 / (hi - lo);
    std::array<std::uint64_t, 256> hist{};
    for (double v : s0) {
      const double pos = std::floor((v - lo) * scale);
      std::size_t bin = 0;
      if (pos > 0) bin = pos >= 255 ? 255 : static_cast<std::size_t>(pos);
      ++hist[bin];
    }
    const double total = static_cast<double>(s0.size());
    double weighted_total = 0;
    for (std::size_t b = 0; b < 256; ++b) weighted_total += static_cast<double>(b) * static_cast<double>(hist[b]);

    double w0 = 0, sum0 = 0, best = -1;
    std::size_t best_bin = 0;
    for (std::size_t b = 0; b < 256; ++b) {
      w0 += static_cast<double>(hist[b]);
      sum0 += static_cast<double>(b) * static_cast<double>(hist[b]);
      if (w0 == 0) continue;
      const double w1 = total - w0;
      if (w1 == 0) break;
      const double m0 = sum0 / w0, m1 = (weighted_total - sum0) / w1;
      const double between = w0 * w1 * (m0 - m1) * (m0 - m1);
      if (between > best) {
        best = between;
        best_bin = b;
      }
    }
    threshold = lo + (static_cast<double>(best_bin) + 0.5) / scale;
  }
  return threshold;
}

Mask TensorField::wm_proxy(double fa_threshold) const {
  const std::size_t len = std::min({s0.size(), fa.size(), valid.size()});
  const double threshold = bright_threshold();
  Mask mask(len, 0);
  for (std::size_t i = 0; i < len; ++i) mask[i] = (valid[i] && fa[i] >= fa_threshold && s0[i] >= threshold) ? 1 : 0;
  return mask;
}

}  // namespace tarvix
