#include "consistency.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "format.hpp"
#include "libm.hpp"
#include "shell.hpp"

namespace tarvix {

// ---- the sample

void SignalSample::begin(const std::vector<std::uint64_t>& shape, std::uint64_t n_volumes, std::uint64_t target) {
  *this = SignalSample{};
  if (shape.size() < 3 || n_volumes == 0 || target == 0) return;
  const std::uint64_t nx = shape[0], grid = shape[0] * shape[1] * shape[2];
  if (grid == 0) return;
  // An odd stride prime to the row length walks across x as well as down the
  // rows, so the lattice is not a few planes of the grid.
  std::uint64_t stride = std::max<std::uint64_t>(1, grid / target);
  if (stride > 1) {
    stride |= 1;
    while (std::gcd(stride, nx) != 1) stride += 2;
  }
  for (std::uint64_t i = stride / 2; i < grid; i += stride) lattice_.push_back(i);
  for (std::uint64_t i : lattice_) {
    kept_.push_back(i);
    if ((i + 1) % nx != 0) kept_.push_back(i + 1);
  }
  std::sort(kept_.begin(), kept_.end());
  kept_.erase(std::unique(kept_.begin(), kept_.end()), kept_.end());
  const auto place = [&](std::uint64_t i) {
    return static_cast<std::size_t>(std::lower_bound(kept_.begin(), kept_.end(), i) - kept_.begin());
  };
  for (std::uint64_t i : lattice_) {
    lattice_at_.push_back(place(i));
    neighbour_at_.push_back((i + 1) % nx != 0 ? place(i + 1) : kNone);
  }
  // The lattice's and the neighbours' lists repeat what `filling_` holds:
  // they are made when the first volume settles, which for a streamed image
  // is after the fit, so that the two never sit beside the fit's sums.
  filling_.assign(static_cast<std::size_t>(n_volumes) * kept_.size(), 0.0f);
  filled_.assign(static_cast<std::size_t>(n_volumes), 0);
  settled_.assign(static_cast<std::size_t>(n_volumes), 0);
  n_volumes_ = n_volumes;
}

namespace {
float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }
}  // namespace

void SignalSample::take(std::uint64_t k, const float* volume) {
  if (k >= n_volumes_ || !volume) return;
  float* out = slot(k);
  for (std::size_t i = 0; i < kept_.size(); ++i) out[i] = finite_or_zero(volume[kept_[i]]);
  settle(k);
  mark(k);
}

void SignalSample::take_all(const Volume& volume) {
  for (std::uint64_t k = 0; k < n_volumes_; ++k)
    if (volume.holds(k)) take(k, volume.volume_data(k));
}

std::pair<std::size_t, std::size_t> SignalSample::within(std::uint64_t begin, std::uint64_t end) const {
  const auto first = std::lower_bound(kept_.begin(), kept_.end(), begin);
  const auto last = std::lower_bound(first, kept_.end(), end);
  return {static_cast<std::size_t>(first - kept_.begin()), static_cast<std::size_t>(last - kept_.begin())};
}

void SignalSample::mark(std::uint64_t k) {
  if (k < n_volumes_) filled_[static_cast<std::size_t>(k)] = 1;
}

// Volume k's signals from the filling buffer into the lattice's and the
// neighbours' lists.
void SignalSample::make_lists() {
  if (!values_.empty() || lattice_.empty()) return;
  values_.assign(static_cast<std::size_t>(n_volumes_) * lattice_.size(), 0.0f);
  neighbour_values_.assign(values_.size(), 0.0f);
}

void SignalSample::hold_patterns(const std::vector<float>& value) {
  if (filling_.empty() || value.size() != std::size_t{1} << 16) return;
  patterns_.assign(filling_.size(), 0);
  std::vector<float>().swap(filling_);
  pattern_value_ = value;
}

void SignalSample::settle(std::uint64_t k) {
  if ((filling_.empty() && patterns_.empty()) || settled_[static_cast<std::size_t>(k)]) return;
  make_lists();
  settled_[static_cast<std::size_t>(k)] = 1;
  float* out = values_.data() + k * lattice_.size();
  float* next = neighbour_values_.data() + k * lattice_.size();
  const auto fill = [&](auto&& in) {
    for (std::size_t v = 0; v < lattice_.size(); ++v) {
      out[v] = in(lattice_at_[v]);
      next[v] = neighbour_at_[v] != kNone ? in(neighbour_at_[v]) : 0.0f;
    }
  };
  if (!patterns_.empty()) {
    const std::uint16_t* in = pattern_slot(k);
    fill([&](std::size_t i) { return pattern_value_[in[i]]; });
  } else {
    const float* in = slot(k);
    fill([&](std::size_t i) { return in[i]; });
  }
}

void SignalSample::clean() {
  make_lists();
  for (std::uint64_t k = 0; k < n_volumes_; ++k)
    if (filled_[static_cast<std::size_t>(k)]) settle(k);
  if (complete()) {
    std::vector<float>().swap(filling_);
    std::vector<std::uint16_t>().swap(patterns_);
  }
  for (float& v : values_) v = finite_or_zero(v);
  for (float& v : neighbour_values_) v = finite_or_zero(v);
}

bool SignalSample::complete() const {
  return n_volumes_ > 0 && !lattice_.empty() &&
         std::all_of(filled_.begin(), filled_.end(), [](std::uint8_t f) { return f != 0; });
}

// ---- records

json::Value ConsistencyTest::to_json() const {
  json::Value o = json::Value::object();
  o.set("judged", judged);
  o.set("status", status_text(status));
  o.set("margin", json::optional(margin));
  o.set("warn_below", warn);
  o.set("flag_below", flag);
  o.set("findings", json::strings(findings));
  return o;
}

json::Value OrderShell::to_json() const {
  json::Value o = json::Value::object();
  o.set("b", b);
  o.set("volumes", json::counts(volumes));
  o.set("residual", residual);
  o.set("shuffled_median", shuffled_median);
  o.set("shuffled_spread", shuffled_spread);
  o.set("z", z);
  o.set("structure", json::optional(structure));
  o.set("judged", judged);
  o.set("status", status_text(status));
  return o;
}

std::vector<std::string> ConsistencyResult::notes() const {
  std::vector<std::string> out;
  for (const Status level : {Status::Flag, Status::Warn})
    for (const ConsistencyTest* t : {&b0, &volumes, &shells, &order})
      if (t->judged && t->status == level)
        for (const auto& f : t->findings) out.push_back(f);
  return out;
}

json::Value ConsistencyResult::to_json() const {
  json::Value o = json::Value::object();
  o.set("status", status_text(status));
  o.set("not_judged", json::optional(not_judged));
  o.set("sampled_voxels", sampled_voxels);
  o.set("brain_voxels", brain_voxels);
  o.set("volume_means", json::reals(volume_means));
  o.set("bvals", json::reals(bvals));
  o.set("b0_volumes", json::counts(b0_volumes));
  json::Value tests = json::Value::object();
  for (const ConsistencyTest* t : {&b0, &shells, &volumes, &order}) tests.set(t->name, t->to_json());
  o.set("tests", tests);
  json::Array shells_json;
  for (const auto& s : order_shells) shells_json.push_back(s.to_json());
  o.set("order_shells", json::Value(std::move(shells_json)));
  return o;
}

std::string volume_ranges(const std::vector<std::uint64_t>& volumes) {
  std::string out;
  for (std::size_t i = 0; i < volumes.size();) {
    std::size_t j = i;
    while (j + 1 < volumes.size() && volumes[j + 1] == volumes[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(volumes[i]);
    if (j > i) out += "\u2013" + std::to_string(volumes[j]);
    i = j + 1;
  }
  return out;
}

namespace {

// ---- helpers

double median_of(std::vector<double> x) {
  if (x.empty()) return 0;
  const std::size_t m = x.size() / 2;
  std::nth_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(m), x.end());
  const double hi = x[m];
  if (x.size() % 2) return hi;
  return 0.5 * (hi + *std::max_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(m)));
}

double quantile(std::vector<double> x, double q) {
  if (x.empty()) return 0;
  std::sort(x.begin(), x.end());
  const double at = q * static_cast<double>(x.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(std::floor(at));
  const std::size_t hi = std::min(lo + 1, x.size() - 1);
  return x[lo] + (at - static_cast<double>(lo)) * (x[hi] - x[lo]);
}

// Otsu's split of positive values into dark and bright.
double otsu(const std::vector<double>& x) {
  double lo = HUGE_VAL, hi = -HUGE_VAL;
  for (double v : x) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (!(hi > lo)) return lo;
  constexpr int kBins = 256;
  std::vector<double> hist(kBins, 0.0);
  const double width = (hi - lo) / kBins;
  for (double v : x) hist[static_cast<std::size_t>(std::min(kBins - 1, static_cast<int>((v - lo) / width)))] += 1;
  const double total = static_cast<double>(x.size());
  double sum_all = 0;
  for (int i = 0; i < kBins; ++i) sum_all += hist[static_cast<std::size_t>(i)] * (i + 0.5);
  double w0 = 0, sum0 = 0, best = -1;
  int split = 0;
  for (int i = 0; i < kBins - 1; ++i) {
    w0 += hist[static_cast<std::size_t>(i)];
    sum0 += hist[static_cast<std::size_t>(i)] * (i + 0.5);
    const double w1 = total - w0;
    if (w0 == 0 || w1 == 0) continue;
    const double m0 = sum0 / w0, m1 = (sum_all - sum0) / w1;
    const double between = w0 * w1 * (m0 - m1) * (m0 - m1);
    if (between > best) {
      best = between;
      split = i;
    }
  }
  return lo + (split + 1) * width;
}

std::string b_text(double b) { return "b=" + format_plain(b); }

std::string level_name(double b) { return b == 0 ? "the b=0 volumes" : "the " + b_text(b) + " shell"; }

std::string volumes_text(const std::vector<std::uint64_t>& v) {
  return (v.size() == 1 ? "volume " : "volumes ") + volume_ranges(v);
}

Status worse(Status a, Status b) { return static_cast<int>(a) >= static_cast<int>(b) ? a : b; }

void grade(ConsistencyTest& t, double margin) {
  if (!std::isfinite(margin)) return;  // a level of no signal says nothing
  t.judged = true;
  t.margin = t.margin ? std::min(*t.margin, margin) : margin;
  if (margin < t.flag)
    t.status = Status::Flag;
  else if (margin < t.warn)
    t.status = worse(t.status, Status::Warn);
}

struct Level {
  double b = 0;
  std::vector<std::uint64_t> volumes;
  double mean = 0;  // median of its volumes' brain means
};

// ---- the b=0 test: bright rows called b=0, no bright row called weighted

void b0_test(ConsistencyResult& r, const std::vector<Level>& shells, const ConsistencyRules& rules, double& b0_level) {
  ConsistencyTest& t = r.b0;
  const auto& m = r.volume_means;
  const std::size_t n_b0 = r.b0_volumes.size();
  if (n_b0 == 0 || shells.empty()) return;
  // The b=0 level is that of the brightest volumes, as many as the table
  // calls b=0: a b=0 row that points at a weighted volume does not drag it.
  std::vector<double> sorted = m;
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  b0_level = median_of(std::vector<double>(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n_b0)));
  const double dark = shells.front().mean;
  const double contrast = b0_level > 0 ? (b0_level - dark) / b0_level : 0.0;
  if (!(contrast >= rules.min_contrast)) {
    t.findings.push_back("the b=0 volumes and the " + b_text(shells.front().b) + " shell differ by only " +
                         format_fixed(contrast * 100, 1) + "% in mean signal: too little to tell them apart");
    return;
  }
  auto nearest_shell = [&](double v) {
    const Level* best = &shells.front();
    for (const Level& s : shells)
      if (std::fabs(libm::log(std::max(v, 1e-30) / s.mean)) < std::fabs(libm::log(std::max(v, 1e-30) / best->mean)))
        best = &s;
    return best->b;
  };
  const double span = b0_level - dark;
  std::vector<bool> is_b0(m.size(), false);
  for (auto k : r.b0_volumes) is_b0[static_cast<std::size_t>(k)] = true;
  for (std::size_t k = 0; k < m.size(); ++k) {
    const double x = (m[k] - dark) / span;
    const double margin = is_b0[k] ? x : 1.0 - x;
    grade(t, margin);
    if (margin >= t.warn) continue;
    const bool flag = margin < t.flag;
    if (is_b0[k])
      t.findings.push_back("volume " + std::to_string(k) + " is called b=0 but is " +
                           (flag ? "as dark as " + level_name(nearest_shell(m[k]))
                                 : "darker than the other b=0 volumes (" + format_fixed(m[k] / b0_level * 100, 0) +
                                       "% of their signal)"));
    else
      t.findings.push_back("volume " + std::to_string(k) + " is called " + b_text(r.bvals[k]) + " but is " +
                           (flag ? "as bright as the b=0 volumes"
                                 : "brighter than its shell (" + format_fixed(m[k] / b0_level * 100, 0) +
                                       "% of the b=0 signal)"));
  }
}

// ---- the shell test: levels fall with b, at a tissue's diffusivity

void shell_test(ConsistencyResult& r, const std::vector<Level>& shells, double b0_level,
                const ConsistencyRules& rules) {
  ConsistencyTest& t = r.shells;
  std::vector<Level> levels;
  if (b0_level > 0) levels.push_back({0.0, r.b0_volumes, b0_level});
  levels.insert(levels.end(), shells.begin(), shells.end());
  for (std::size_t i = 1; i < levels.size(); ++i) {
    const Level& a = levels[i - 1];
    const Level& b = levels[i];
    if (!(a.mean > 0) || !(b.mean > 0)) continue;
    const double fall = 1.0 - b.mean / a.mean;
    grade(t, fall);
    if (fall < t.flag) {
      t.findings.push_back(level_name(b.b) + " is " + (fall < 0 ? "brighter than " : "as bright as ") +
                           level_name(a.b) + " (mean signal " + format_fixed(b.mean, 1) + " against " +
                           format_fixed(a.mean, 1) + "): the shells' b-values do not match the image");
      continue;
    }
    if (fall < t.warn)
      t.findings.push_back(level_name(b.b) + " is hardly darker than " + level_name(a.b) + " (" +
                           format_fixed(fall * 100, 1) + "% less signal)");
    const double adc = libm::log(a.mean / b.mean) / (b.b - a.b);
    if (adc < rules.adc_low || adc > rules.adc_high) {
      t.status = worse(t.status, Status::Warn);
      t.findings.push_back("from " + b_text(a.b) + " to " + b_text(b.b) +
                           " the brain's mean signal falls at an apparent diffusivity of " +
                           format_fixed(adc * 1e3, 2) + "e-3 mm\u00b2/s, outside brain tissue's " +
                           format_plain(rules.adc_low * 1e3) + "e-3 to " + format_plain(rules.adc_high * 1e3) +
                           "e-3 mm\u00b2/s");
    }
  }
}

// ---- the volume test: each weighted volume nearer its own shell's level

void volume_test(ConsistencyResult& r, const std::vector<Level>& shells) {
  ConsistencyTest& t = r.volumes;
  if (shells.size() < 2) return;
  for (std::size_t i = 0; i < shells.size(); ++i) {
    if (!(shells[i].mean > 0)) continue;
    const double own = libm::log(shells[i].mean);
    for (auto k : shells[i].volumes) {
      const double u = libm::log(std::max(r.volume_means[static_cast<std::size_t>(k)], 1e-30));
      double margin = 0.5;
      double toward = shells[i].b;
      for (std::size_t j : {i - 1, i + 1}) {
        if (j >= shells.size()) continue;  // wraps for i == 0
        if (!(shells[j].mean > 0)) continue;
        const double other = libm::log(shells[j].mean);
        if (!(std::fabs(other - own) > 1e-9)) continue;
        const double m = 0.5 - (u - own) / (other - own);
        if (m < margin) {
          margin = m;
          toward = shells[j].b;
        }
      }
      grade(t, margin);
      if (margin < t.flag)
        t.findings.push_back("volume " + std::to_string(k) + " is called " + b_text(shells[i].b) + " but is " +
                             (toward > shells[i].b ? "as dark as " : "as bright as ") + level_name(toward));
      else if (margin < t.warn)
        t.findings.push_back("volume " + std::to_string(k) + " is called " + b_text(shells[i].b) +
                             " but its signal lies near " + level_name(toward) + "'s");
    }
  }
}

// ---- the order test: within a shell, the table as given against its shuffles

// Orthonormal columns spanning the design of `rows` (n x 7, row-major);
// dependent columns (within one shell the three squares sum to the constant)
// are dropped.
std::vector<std::vector<double>> basis(const std::vector<std::array<double, 7>>& rows) {
  const std::size_t n = rows.size();
  std::vector<std::vector<double>> q;
  for (std::size_t c = 0; c < 7; ++c) {
    std::vector<double> v(n);
    double before = 0;
    for (std::size_t k = 0; k < n; ++k) {
      v[k] = rows[k][c];
      before += v[k] * v[k];
    }
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& u : q) {
        double dot = 0;
        for (std::size_t k = 0; k < n; ++k) dot += u[k] * v[k];
        for (std::size_t k = 0; k < n; ++k) v[k] -= dot * u[k];
      }
    double after = 0;
    for (double x : v) after += x * x;
    if (!(after > 1e-10 * before) || after <= 0) continue;
    const double inv = 1.0 / std::sqrt(after);
    for (double& x : v) x *= inv;
    q.push_back(std::move(v));
  }
  return q;
}

// The residual sum of squares, over every voxel, of the log-signals off the
// span of `q`: their total square less what each basis vector takes, which
// for all voxels at once is q' G q with G the Gram matrix of the voxels'
// (centred) log-signals. Each ordering of the rows then costs a few n x n
// products whatever the number of voxels.
struct Gram {
  std::size_t n = 0;
  std::vector<double> g;  // n x n, row-major
  double total = 0;       // its trace

  double residual(const std::vector<std::vector<double>>& q) const {
    double taken = 0;
    for (const auto& u : q)
      for (std::size_t i = 0; i < n; ++i) {
        double row = 0;
        for (std::size_t k = 0; k < n; ++k) row += g[i * n + k] * u[k];
        taken += u[i] * row;
      }
    return std::max(total - taken, 0.0);
  }
};

// The noise's variance from the background of the lattice (Otsu's dark
// class), where a magnitude image holds noise alone: its mean square is twice
// the variance. Edge voxels and any tissue in that class only make it larger,
// and the order test more cautious. None where the background was zeroed or
// masked, or is too small to say.
std::optional<double> background_noise(const SignalSample& sample, const std::vector<double>& voxel_mean,
                                       double split) {
  std::vector<std::size_t> background;
  for (std::size_t v = 0; v < voxel_mean.size(); ++v)
    if (voxel_mean[v] < split) background.push_back(v);
  if (background.size() < 200) return std::nullopt;
  double sum_sq = 0;
  std::uint64_t values = 0, zeros = 0;
  for (std::uint64_t k = 0; k < sample.volumes(); ++k) {
    const float* s = sample.signals(k);
    for (std::size_t v : background) {
      sum_sq += static_cast<double>(s[v]) * s[v];
      zeros += s[v] == 0;
      ++values;
    }
  }
  if (zeros * 4 > values) return std::nullopt;
  return sum_sq / (2.0 * static_cast<double>(values));
}

// The volumes of a shell the order test takes: all of them, or an even spread
// of max_order_volumes.
Level order_volumes(const Level& shell, const ConsistencyRules& rules) {
  const std::size_t n = shell.volumes.size(), most = static_cast<std::size_t>(rules.max_order_volumes);
  if (n <= most) return shell;
  Level out = shell;
  out.volumes.clear();
  for (std::size_t i = 0; i < most; ++i) out.volumes.push_back(shell.volumes[i * n / most]);
  return out;
}

// An even spread of the brain voxels, as many as the work allows for a
// shell of n volumes.
std::vector<std::size_t> order_voxels(const std::vector<std::size_t>& brain, std::size_t n,
                                      const ConsistencyRules& rules) {
  const double by_work = rules.order_work / (static_cast<double>(n) * static_cast<double>(n));
  const std::uint64_t wanted = std::max<std::uint64_t>(
      rules.min_brain_voxels, std::min<std::uint64_t>(rules.order_voxels, static_cast<std::uint64_t>(by_work)));
  std::vector<std::size_t> voxels;
  const std::size_t step = std::max<std::size_t>(1, brain.size() / wanted);
  for (std::size_t i = 0; i < brain.size(); i += step) voxels.push_back(brain[i]);
  return voxels;
}

// The brain voxels whose neighbour along x lies in the brain too.
std::vector<std::size_t> brain_pairs(const SignalSample& sample, const std::vector<std::size_t>& brain, double split) {
  std::vector<std::size_t> out;
  for (std::size_t v : brain) {
    if (!sample.has_neighbour(v)) continue;
    double sum = 0;
    for (std::uint64_t k = 0; k < sample.volumes(); ++k) sum += sample.neighbours(k)[v];
    if (sum / static_cast<double>(sample.volumes()) > split) out.push_back(v);
  }
  return out;
}

// The noise's variance from the image alone, on one shell: the difference
// between a brain voxel and its neighbour varies across the shell's volumes
// by twice the noise's variance, plus however differently the two answer
// the directions, which is little for most neighbours (a bundle or a tissue
// is wider than a voxel). The median over the pairs keeps the edges out; it
// lies below the mean of a chi-square by the factor undone here.
std::optional<double> neighbour_noise(const SignalSample& sample, const std::vector<std::size_t>& pairs,
                                      const std::vector<std::uint64_t>& volumes, const ConsistencyRules& rules) {
  const std::size_t n = volumes.size();
  if (pairs.size() < rules.min_brain_voxels || n < 3) return std::nullopt;
  std::vector<double> variances;
  variances.reserve(pairs.size());
  std::vector<double> d(n);
  for (std::size_t v : pairs) {
    double mean = 0;
    for (std::size_t k = 0; k < n; ++k) {
      d[k] = static_cast<double>(sample.signals(volumes[k])[v]) - sample.neighbours(volumes[k])[v];
      mean += d[k];
    }
    mean /= static_cast<double>(n);
    double ss = 0;
    for (double x : d) ss += (x - mean) * (x - mean);
    variances.push_back(ss / static_cast<double>(n - 1));
  }
  const double dof = static_cast<double>(n - 1);
  const double cube_root = 1.0 - 2.0 / (9.0 * dof);
  const double median_share = cube_root * cube_root * cube_root;
  return median_of(variances) / median_share / 2.0;
}

void order_test(ConsistencyResult& r, const GradientTable& table, const SignalSample& sample,
                const std::vector<std::size_t>& brain, const std::vector<Level>& shells,
                const std::vector<std::uint64_t>& clean_b0, std::optional<double> background_sigma2,
                const std::vector<std::size_t>& pairs, const ConsistencyRules& rules) {
  ConsistencyTest& t = r.order;
  for (const Level& whole : shells) {
    if (whole.volumes.size() < rules.min_order_volumes) continue;
    const Level shell = order_volumes(whole, rules);
    const std::size_t n = shell.volumes.size();
    // A few thousand brain voxels are plenty; an even spread of them.
    const std::vector<std::size_t> voxels = order_voxels(brain, n, rules);
    OrderShell os;
    os.b = shell.b;
    os.volumes = shell.volumes;

    // Log-signals of the voxels with a signal in every volume of the shell.
    // Without b=0 repeats or a background of noise, the image's own.
    const std::optional<double> image_sigma2 =
        clean_b0.size() >= 2 || background_sigma2 ? std::nullopt : neighbour_noise(sample, pairs, shell.volumes, rules);
    Gram gram;
    gram.n = n;
    gram.g.assign(n * n, 0.0);
    std::vector<double> y(n);
    double var_total = 0, noise_total = 0;
    std::size_t used = 0;
    for (std::size_t v : voxels) {
      bool ok = true;
      for (auto k : shell.volumes) ok = ok && sample.signals(k)[v] > 0;
      if (!ok) continue;
      // How much the signal varies across the shell, measured on the signal
      // itself: on its logarithm, noise at the faint end would swamp it.
      double mean = 0, log_mean = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const double s = sample.signals(shell.volumes[k])[v];
        y[k] = libm::log(s);
        log_mean += y[k];
        mean += s;
      }
      mean /= static_cast<double>(n);
      log_mean /= static_cast<double>(n);
      // Centred, which the intercept of every fit absorbs anyway: the Gram
      // matrix then holds only what varies, not the large common level.
      for (double& x : y) x -= log_mean;
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = i; k < n; ++k) gram.g[i * n + k] += y[i] * y[k];
      for (auto k : shell.volumes) {
        const double d = sample.signals(k)[v] - mean;
        var_total += d * d;
      }
      // The noise's share of that variance, from the differences between
      // successive b=0 repeats (a drift or motion between them only makes it
      // larger, and the test more cautious), else from the background.
      std::optional<double> sigma2 = background_sigma2 ? background_sigma2 : image_sigma2;
      if (clean_b0.size() >= 2) {
        double d2 = 0;
        for (std::size_t i = 1; i < clean_b0.size(); ++i) {
          const double d = static_cast<double>(sample.signals(clean_b0[i])[v]) - sample.signals(clean_b0[i - 1])[v];
          d2 += d * d;
        }
        sigma2 = d2 / (2.0 * static_cast<double>(clean_b0.size() - 1));
      }
      if (sigma2) noise_total += *sigma2 * static_cast<double>(n - 1);
      ++used;
    }
    if (used < rules.min_brain_voxels) continue;
    const bool noise_known = clean_b0.size() >= 2 || background_sigma2 || image_sigma2;
    if (noise_known && noise_total > 0) os.structure = var_total / noise_total;

    std::vector<std::array<double, 7>> design(n);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t row = static_cast<std::size_t>(shell.volumes[k]);
      Vec3 g = table.directions[row];
      const double norm = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
      if (norm > 0)
        for (double& c : g) c /= norm;
      const double b = table.bvals[row] * 1e-3;
      design[k] = {1.0, -b * g[0] * g[0], -b * g[1] * g[1], -b * g[2] * g[2],
                   -2 * b * g[0] * g[1], -2 * b * g[0] * g[2], -2 * b * g[1] * g[2]};
    }
    // The same shuffles every run: a fixed seed and a shuffle written out here
    // rather than std::shuffle, whose draws the standard leaves open.
    std::vector<std::vector<std::size_t>> orders(static_cast<std::size_t>(rules.permutations));
    std::mt19937_64 rng(rules.seed + static_cast<std::uint64_t>(shell.b));
    for (auto& o : orders) {
      o.resize(n);
      std::iota(o.begin(), o.end(), std::size_t{0});
      for (std::size_t i = n - 1; i > 0; --i) std::swap(o[i], o[static_cast<std::size_t>(rng() % (i + 1))]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      gram.total += gram.g[i * n + i];
      for (std::size_t k = 0; k < i; ++k) gram.g[i * n + k] = gram.g[k * n + i];
    }
    os.residual = gram.residual(basis(design));
    std::vector<double> shuffled(orders.size());
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, orders.size()), [&](const tbb::blocked_range<std::size_t>& rg) {
      for (std::size_t p = rg.begin(); p != rg.end(); ++p) {
        std::vector<std::array<double, 7>> rows(n);
        for (std::size_t k = 0; k < n; ++k) rows[k] = design[orders[p][k]];
        shuffled[p] = gram.residual(basis(rows));
      }
    });
    os.shuffled_median = median_of(shuffled);
    os.shuffled_spread = (quantile(shuffled, 0.75) - quantile(shuffled, 0.25)) / 1.349;
    const double spread = std::max(os.shuffled_spread, 1e-9 * std::max(os.shuffled_median, 1e-300));
    os.z = std::clamp((os.shuffled_median - os.residual) / spread, -1e6, 1e6);

    const std::string where = volumes_text(whole.volumes) + " (the " + b_text(shell.b) + " shell)";
    // A table whose order belongs to the image leaves far less residual than
    // its shuffles, even in heavy noise; one that does not is just another
    // shuffle. Only where the shell's signal clearly varies beyond noise does
    // a residual no smaller than the shuffles' prove the order wrong.
    os.judged = true;
    if (os.z < rules.order_flag && os.structure && *os.structure >= rules.structure_flag) {
      os.status = Status::Flag;
      t.findings.push_back(where + " do not follow their directions: the table's order does not match the image");
    } else if (os.z < rules.order_flag) {
      os.status = Status::Warn;
      t.findings.push_back(where + " do not follow their directions, but the image is too noisy " +
                           (os.structure ? std::string("") : "(or its noise unknown) ") +
                           "to be sure: the table's order may not match the image");
    } else if (os.z < rules.order_warn) {
      os.status = Status::Warn;
      t.findings.push_back(where + " follow their directions only weakly: the table's order may not match the image");
    }
    if (os.judged) {
      t.judged = true;
      t.margin = t.margin ? std::min(*t.margin, os.z) : os.z;
      t.status = worse(t.status, os.status);
    }
    r.order_shells.push_back(std::move(os));
  }
}

}  // namespace

ConsistencyResult check_consistency(const GradientTable& table, const SignalSample& sample, double b0_threshold,
                                    double tolerance, const ConsistencyRules& rules) {
  ConsistencyResult r;
  r.b0 = {"b0", false, Status::Pass, std::nullopt, rules.b0_warn, rules.b0_flag, {}};
  r.shells = {"shells", false, Status::Pass, std::nullopt, rules.shell_fall_warn, rules.shell_fall_flag, {}};
  r.volumes = {"volumes", false, Status::Pass, std::nullopt, rules.volume_warn, rules.volume_flag, {}};
  r.order = {"order", false, Status::Pass, std::nullopt, rules.order_warn, rules.order_flag, {}};
  r.bvals = table.bvals;
  r.b0_volumes = table.b0_indices(b0_threshold);
  r.sampled_voxels = sample.voxels();
  if (!sample.complete() || sample.volumes() != table.size()) {
    r.not_judged = "the image's signals were not kept for every volume";
    return r;
  }
  const std::size_t n_vol = static_cast<std::size_t>(sample.volumes());
  const std::size_t n_vox = static_cast<std::size_t>(sample.voxels());

  // The brain: the lattice voxels brighter than Otsu's split of their mean
  // over all volumes, which does not depend on which rows the table calls what.
  std::vector<double> voxel_mean(n_vox, 0.0);
  for (std::size_t k = 0; k < n_vol; ++k) {
    const float* s = sample.signals(k);
    for (std::size_t v = 0; v < n_vox; ++v) voxel_mean[v] += s[v];
  }
  for (double& m : voxel_mean) m /= static_cast<double>(n_vol);
  const double split = otsu(voxel_mean);
  std::vector<std::size_t> brain;
  for (std::size_t v = 0; v < n_vox; ++v)
    if (voxel_mean[v] > split) brain.push_back(v);
  r.brain_voxels = brain.size();
  if (brain.size() < rules.min_brain_voxels) {
    r.not_judged = "only " + std::to_string(brain.size()) + " of the sampled voxels lie in the brain (at least " +
                   std::to_string(rules.min_brain_voxels) + " are needed)";
    return r;
  }
  r.volume_means.assign(n_vol, 0.0);
  for (std::size_t k = 0; k < n_vol; ++k) {
    const float* s = sample.signals(k);
    double sum = 0;
    for (std::size_t v : brain) sum += s[v];
    r.volume_means[k] = sum / static_cast<double>(brain.size());
  }

  std::vector<Level> shells;
  for (const Shell& s : detect_shells(table.bvals, b0_threshold, tolerance)) {
    if (s.is_b0 || s.indices.empty()) continue;
    std::vector<double> means;
    for (auto k : s.indices) means.push_back(r.volume_means[static_cast<std::size_t>(k)]);
    shells.push_back({s.nominal_b, s.indices, median_of(means)});
  }
  std::sort(shells.begin(), shells.end(), [](const Level& a, const Level& b) { return a.b < b.b; });

  double b0_level = 0;
  b0_test(r, shells, rules, b0_level);
  shell_test(r, shells, b0_level, rules);
  volume_test(r, shells);
  // The noise reference: the b=0 rows that look like b=0.
  std::vector<std::uint64_t> clean_b0;
  if (b0_level > 0 && !shells.empty()) {
    const double dark = shells.front().mean, span = b0_level - dark;
    for (auto k : r.b0_volumes)
      if (span > 0 && (r.volume_means[static_cast<std::size_t>(k)] - dark) / span >= rules.b0_warn)
        clean_b0.push_back(k);
  }
  order_test(r, table, sample, brain, shells, clean_b0, background_noise(sample, voxel_mean, split),
             brain_pairs(sample, brain, split), rules);

  for (const ConsistencyTest* t : {&r.b0, &r.shells, &r.volumes, &r.order})
    if (t->judged) r.status = worse(r.status, t->status);
  return r;
}

}  // namespace tarvix
