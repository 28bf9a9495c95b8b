// The white-matter proxy: bright (Otsu on s0), validly fitted and anisotropic
// voxels; and the tissue the tracking seeds in, which keeps a crop inside the
// brain whole.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "libm.hpp"
#include "tensor.hpp"

namespace tarvix {

namespace {

using Histogram = std::array<std::uint64_t, 256>;

// Smallest and largest non-NaN baseline; counts and extremes do not depend on
// the order the ranges are joined in, so any split gives the same bins.
template <class F>
std::pair<double, double> s0_range(const GridList<double>& s0, F f) {
  using Range = std::pair<double, double>;
  const Range none{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, s0.size(), 1 << 15), none,
      [&](const tbb::blocked_range<std::size_t>& r, Range acc) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
          const double v = f(s0[i]);
          if (std::isnan(v)) continue;
          acc.first = std::min(acc.first, v);
          acc.second = std::max(acc.second, v);
        }
        return acc;
      },
      [](Range a, const Range& b) { return Range{std::min(a.first, b.first), std::max(a.second, b.second)}; });
}

// Bin of floor((v - lo) * scale), clamped to [0, 255], NaN in bin 0. The bin
// only depends on which side of 1 and 255 the product lies and, between them,
// on its integer part, so a truncation does what a floor call would.
inline std::size_t bin_of(double v, double lo, double scale) {
  const double x = (v - lo) * scale;
  if (!(x >= 1)) return 0;
  if (x >= 255) return 255;
  return static_cast<std::size_t>(x);
}

template <class F>
Histogram s0_histogram(const GridList<double>& s0, double lo, double scale, F f) {
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, s0.size(), 1 << 15), Histogram{},
      [&](const tbb::blocked_range<std::size_t>& r, Histogram acc) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) ++acc[bin_of(f(s0[i]), lo, scale)];
        return acc;
      },
      [](Histogram a, const Histogram& b) {
        for (std::size_t k = 0; k < a.size(); ++k) a[k] += b[k];
        return a;
      });
}

// Otsu on a 256-bin histogram of the baseline signal, with the means of the
// two classes it leaves (bin centres), which say what the split separated.
struct BrightnessSplit {
  double threshold = 0;
  double dark_mean = 0;
  double bright_mean = 0;
};

// On f(s0): the baseline itself for the white-matter proxy, its logarithm for
// the tissue. Threshold and means are in f's units.
// With `centred`, a threshold that falls in an empty stretch between the two
// classes (where every cut splits them alike) is put in its middle rather
// than at its lower end, against the darker class.
template <class F>
BrightnessSplit split(const GridList<double>& s0, F f, bool centred = false) {
  BrightnessSplit out;
  if (s0.empty()) return out;
  const auto [lo, hi] = s0_range(s0, f);
  if (!(lo < hi)) {
    // One value (or none that is not NaN): nothing to split.
    out.threshold = out.dark_mean = out.bright_mean = lo;
    return out;
  }
  const double scale = 256.0 / (hi - lo);
  const Histogram hist = s0_histogram(s0, lo, scale, f);
  const double total = static_cast<double>(s0.size());
  double weighted_total = 0;
  for (std::size_t b = 0; b < 256; ++b) weighted_total += static_cast<double>(b) * static_cast<double>(hist[b]);

  double w0 = 0, sum0 = 0, best = -1;
  std::size_t best_bin = 0;
  double best_m0 = 0, best_m1 = 0;
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
      best_m0 = m0;
      best_m1 = m1;
    }
  }
  out.threshold = lo + (static_cast<double>(best_bin) + 0.5) / scale;
  if (centred) {
    std::size_t top = best_bin, bottom = best_bin + 1;
    while (top > 0 && hist[top] == 0) --top;
    while (bottom < 255 && hist[bottom] == 0) ++bottom;
    out.threshold = lo + (static_cast<double>(top + 1 + bottom) / 2.0) / scale;
  }
  out.dark_mean = lo + (best_m0 + 0.5) / scale;
  out.bright_mean = lo + (best_m1 + 0.5) / scale;
  return out;
}

const auto kPlain = [](double v) { return v; };
// On the logarithm of the baseline, background and tissue are the two modes
// whatever the spread of the tissue's brightness.
const auto kLog = [](double v) { return libm::log1p(std::max(v, 0.0)); };

BrightnessSplit split_s0(const GridList<double>& s0) { return split(s0, kPlain); }

// The log split, its threshold and class means back on the baseline's scale
// (the means as geometric means, which is what the share below compares).
BrightnessSplit split_log_s0(const GridList<double>& s0) {
  BrightnessSplit out = split(s0, kLog, true);
  out.threshold = libm::expm1(out.threshold);
  out.dark_mean = libm::expm1(out.dark_mean);
  out.bright_mean = libm::expm1(out.bright_mean);
  return out;
}

// Background outside a head is noise: on the real scans its mean is 5-8 % of
// the head's and on the phantoms at a b=0 SNR of 10 about 13 % (it would reach
// this share near an SNR of 4). When Otsu's
// darker class is brighter than this share of the brighter one, the split ran
// through tissue (on the baseline, white matter below grey matter and fluid):
// the grid is all tissue, as a crop inside the brain is (60-70 % there).
constexpr double kBackgroundShare = 0.3;
// With no background, only what is far darker than the tissue around it
// (a few background voxels at the edge of a crop) is left out.
constexpr double kTissueFloor = 1.0 / 3.0;

double tissue_threshold_of(const BrightnessSplit& s) {
  if (!(s.dark_mean >= kBackgroundShare * s.bright_mean)) return s.threshold;
  return kTissueFloor * s.dark_mean;
}

// When Otsu on the baseline keeps less than this share of what the split on
// its logarithm calls tissue, it split the fluid off the tissue rather than
// the tissue off the background: a few very bright voxels (fluid, vessels)
// stretched the histogram. On a real 1.2 mm scan with one b=0 and a zeroed
// background it kept 115,000 of 1.4 million brain voxels (8 %), white matter
// excluded; on heads with a noisy background it keeps 40-45 %, on phantoms
// nearly all.
constexpr double kFluidOnlyShare = 0.2;

std::uint64_t at_least(const GridList<double>& s0, double threshold) {
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, s0.size(), 1 << 15), std::uint64_t{0},
      [&](const tbb::blocked_range<std::size_t>& r, std::uint64_t n) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) n += s0[i] >= threshold;
        return n;
      },
      std::plus<>());
}

double tissue_threshold_of(const GridList<double>& s0, const BrightnessSplit& plain) {
  // A grid that is all tissue keeps its floor.
  if (plain.dark_mean >= kBackgroundShare * plain.bright_mean) return tissue_threshold_of(plain);
  const BrightnessSplit log = split_log_s0(s0);
  const double share = static_cast<double>(at_least(s0, plain.threshold)) /
                       static_cast<double>(std::max<std::uint64_t>(at_least(s0, log.threshold), 1));
  return tissue_threshold_of(share < kFluidOnlyShare ? log : plain);
}

}  // namespace

double TensorField::bright_threshold() const {
  if (bright_from) return *bright_from;
  return split_s0(s0).threshold;
}

double TensorField::tissue_threshold() const {
  if (tissue_from) return *tissue_from;
  return tissue_threshold_of(s0, split_s0(s0));
}

std::pair<double, double> TensorField::brightness_thresholds() const {
  const BrightnessSplit plain = split_s0(s0);
  return {plain.threshold, tissue_threshold_of(s0, plain)};
}

Mask TensorField::wm_proxy(double fa_threshold) const {
  const std::size_t len = std::min({s0.size(), fa.size(), valid.size()});
  const double threshold = bright_threshold();
  Mask mask(len, 0);
  for (std::size_t i = 0; i < len; ++i) mask[i] = (valid[i] && fa[i] >= fa_threshold && s0[i] >= threshold) ? 1 : 0;
  return mask;
}

}  // namespace tarvix
