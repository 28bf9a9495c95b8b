#include "angular.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "cpu_features.hpp"
#include "libm.hpp"

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

// Shells up to this size are scanned in one pass in the documented pair order,
// which fixes every bit of the energy; every clinical and research scheme is
// far below it. Larger shells (a table of tens of thousands of directions) take
// the grid search and the parallel energy below, whose sum may differ in its
// last bits.
constexpr std::size_t kOnePassShell = 4096;
// A report lists at most this many near-duplicate pairs per shell (all of them
// are counted): a table of one direction repeated 20 000 times would otherwise
// list 200 million pairs.
constexpr std::size_t kListedPairsMax = 10000;

struct PairScan {
  double energy = 0;
  std::vector<DuplicatePair> duplicates;
  std::uint64_t antipodal = 0;
  std::uint64_t near = 0;

  void add(std::uint64_t i, std::uint64_t j, double s, double dot) {
    (dot < 0 ? antipodal : near) += 1;
    if (duplicates.size() < kListedPairsMax) duplicates.push_back({i, j, std::acos(s) * kRadToDeg, dot < 0});
  }
};

// One pass over all pairs a < b (a outer, b inner, both ascending) gives both the
// repulsion energy, summed in that order, and the near-duplicate pairs in that order.
// Coordinates are held as three separate arrays so the inner loop streams.
PairScan scan_pairs(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                    const std::vector<std::uint64_t>& volume_index, double duplicate_angle_deg) {
  PairScan out;
  const double c = libm::cos(duplicate_angle_deg * kDegToRad);
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
      if (s > c) [[unlikely]] out.add(volume_index[a], volume_index[b], s, dot);
    }
    out.energy = energy;
  }
  return out;
}

// ---- large shells --------------------------------------------------------

struct Coords {
  const double* x;
  const double* y;
  const double* z;
  std::size_t n;
};

// The energy terms of row a (all b > a), each as in the one-pass scan; the lanes
// are summed separately and added at the end.
inline double row_energy_plain(const Coords& p, std::size_t a) {
  double lanes[4] = {0, 0, 0, 0};
  const double xa = p.x[a], ya = p.y[a], za = p.z[a];
  std::size_t b = a + 1;
  const auto term = [&](std::size_t k) {
    const double mx = xa - p.x[k], my = ya - p.y[k], mz = za - p.z[k];
    const double px = xa + p.x[k], py = ya + p.y[k], pz = za + p.z[k];
    const double dm = std::sqrt((mx * mx + my * my) + mz * mz);
    const double dp = std::sqrt((px * px + py * py) + pz * pz);
    return 1.0 / max_skip_nan(dm, kMinDistance) + 1.0 / max_skip_nan(dp, kMinDistance);
  };
  for (; b + 4 <= p.n; b += 4)
    for (int l = 0; l < 4; ++l) lanes[l] += term(b + l);
  double tail = 0;
  for (; b < p.n; ++b) tail += term(b);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + tail;
}

#if TARVIX_X86_DISPATCH
// 1/max(sqrt(q), 1e-9) for eight squared distances: the 14-bit estimate and two
// Newton steps reach the last bit or two of a double, at a third of the cost of
// a square root and a division. A NaN takes the floor (max returns its second
// operand), as max_skip_nan does.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512d inverse_distance(__m512d q) {
  const __m512d half = _mm512_set1_pd(0.5), three_halves = _mm512_set1_pd(1.5);
  q = _mm512_max_pd(q, _mm512_set1_pd(kMinDistance * kMinDistance));
  __m512d r = _mm512_rsqrt14_pd(q);
  const __m512d half_q = _mm512_mul_pd(half, q);
  r = _mm512_mul_pd(r, _mm512_fnmadd_pd(_mm512_mul_pd(half_q, r), r, three_halves));
  r = _mm512_mul_pd(r, _mm512_fnmadd_pd(_mm512_mul_pd(half_q, r), r, three_halves));
  return r;
}

// The terms of row a eight at a time.
[[gnu::target("avx512f")]] double row_energy_avx512(const Coords& p, std::size_t a) {
  const __m512d xa = _mm512_set1_pd(p.x[a]), ya = _mm512_set1_pd(p.y[a]), za = _mm512_set1_pd(p.z[a]);
  __m512d acc = _mm512_setzero_pd();
  std::size_t b = a + 1;
  for (; b + 8 <= p.n; b += 8) {
    const __m512d xb = _mm512_loadu_pd(p.x + b), yb = _mm512_loadu_pd(p.y + b), zb = _mm512_loadu_pd(p.z + b);
    const __m512d mx = _mm512_sub_pd(xa, xb), my = _mm512_sub_pd(ya, yb), mz = _mm512_sub_pd(za, zb);
    const __m512d px = _mm512_add_pd(xa, xb), py = _mm512_add_pd(ya, yb), pz = _mm512_add_pd(za, zb);
    const __m512d qm = _mm512_fmadd_pd(mz, mz, _mm512_fmadd_pd(my, my, _mm512_mul_pd(mx, mx)));
    const __m512d qp = _mm512_fmadd_pd(pz, pz, _mm512_fmadd_pd(py, py, _mm512_mul_pd(px, px)));
    acc = _mm512_add_pd(acc, _mm512_add_pd(inverse_distance(qm), inverse_distance(qp)));
  }
  double tail = 0;
  for (; b < p.n; ++b) {
    const double mx = p.x[a] - p.x[b], my = p.y[a] - p.y[b], mz = p.z[a] - p.z[b];
    const double px = p.x[a] + p.x[b], py = p.y[a] + p.y[b], pz = p.z[a] + p.z[b];
    const double dm = std::sqrt((mx * mx + my * my) + mz * mz);
    const double dp = std::sqrt((px * px + py * py) + pz * pz);
    tail += 1.0 / max_skip_nan(dm, kMinDistance) + 1.0 / max_skip_nan(dp, kMinDistance);
  }
  return _mm512_reduce_add_pd(acc) + tail;
}
#endif

// Rows are summed in parallel, each into its own slot, and the slots in row
// order, so the result does not depend on the thread count.
double energy_by_rows(const Coords& p) {
  std::vector<double> rows(p.n, 0.0);
  const bool wide = have_avx512();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, p.n, 64), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t a = r.begin(); a < r.end(); ++a) {
#if TARVIX_X86_DISPATCH
      rows[a] = wide ? row_energy_avx512(p, a) : row_energy_plain(p, a);
#else
      rows[a] = row_energy_plain(p, a);
#endif
    }
  });
  double total = 0;
  for (double r : rows) total += r;
  return total;
}

// The near-duplicate pairs of a large shell, in the one-pass order, found with
// a uniform grid over the cube around the unit sphere: two unit directions
// within the duplicate angle θ as axes lie within the chord 2·sin(θ/2) of each
// other or of each other's opposite, so each direction only meets those in the
// 27 cells around itself and around its opposite. The test on each candidate
// is the one-pass test, so the same pairs come out with the same angles. False
// when the directions do not allow it (a non-finite or non-unit direction, or
// an angle so wide the grid would not narrow anything); the caller then scans
// all pairs.
bool grid_duplicates(const Coords& p, const std::vector<std::uint64_t>& volume_index, double duplicate_angle_deg,
                     PairScan& out) {
  const double c = libm::cos(duplicate_angle_deg * kDegToRad);
  if (!(c > 0.8)) return false;
  std::vector<std::uint32_t> live;  // zero directions never pass the test (dot 0)
  for (std::size_t k = 0; k < p.n; ++k) {
    const double q = p.x[k] * p.x[k] + p.y[k] * p.y[k] + p.z[k] * p.z[k];
    if (!std::isfinite(q)) return false;
    if (q == 0) continue;
    if (std::fabs(q - 1.0) > 1e-9) return false;
    live.push_back(static_cast<std::uint32_t>(k));
  }
  const double chord = std::sqrt(2.0 - 2.0 * c);
  constexpr int kMaxCells = 64;
  const double h = std::max(chord * 1.001 + 1e-12, 2.2 / kMaxCells);
  const int cells = static_cast<int>(std::ceil(2.2 / h)) + 1;
  const auto cell_of = [&](double v) { return std::clamp(static_cast<int>((v + 1.1) / h), 0, cells - 1); };
  const auto index = [&](int i, int j, int k) { return (static_cast<std::size_t>(i) * cells + j) * cells + k; };
  const std::size_t n_cells = static_cast<std::size_t>(cells) * cells * cells;

  // Counting sort into cells; within a cell, positions stay ascending.
  std::vector<std::uint32_t> start(n_cells + 1, 0);
  std::vector<std::size_t> cell(p.n, 0);
  for (std::uint32_t k : live) {
    cell[k] = index(cell_of(p.x[k]), cell_of(p.y[k]), cell_of(p.z[k]));
    ++start[cell[k] + 1];
  }
  for (std::size_t i = 0; i < n_cells; ++i) start[i + 1] += start[i];
  std::vector<std::uint32_t> members(live.size());
  {
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::uint32_t k : live) members[fill[cell[k]]++] = k;
  }

  std::vector<std::pair<std::uint32_t, double>> hits;  // b and its dot
  for (std::uint32_t a : live) {
    const double xa = p.x[a], ya = p.y[a], za = p.z[a];
    hits.clear();
    for (const double sign : {1.0, -1.0}) {
      const int ci = cell_of(sign * xa), cj = cell_of(sign * ya), ck = cell_of(sign * za);
      for (int i = std::max(ci - 1, 0); i <= std::min(ci + 1, cells - 1); ++i)
        for (int j = std::max(cj - 1, 0); j <= std::min(cj + 1, cells - 1); ++j)
          for (int k = std::max(ck - 1, 0); k <= std::min(ck + 1, cells - 1); ++k) {
            const std::size_t at = index(i, j, k);
            for (std::uint32_t m = start[at]; m < start[at + 1]; ++m) {
              const std::uint32_t b = members[m];
              if (b <= a) continue;
              const double dot = xa * p.x[b] + ya * p.y[b] + za * p.z[b];
              if (min_skip_nan(std::fabs(dot), 1.0) > c) hits.push_back({b, dot});
            }
          }
    }
    // The two neighbourhoods are far apart for angles this narrow, but a
    // candidate met twice must still count once.
    std::sort(hits.begin(), hits.end(), [](const auto& l, const auto& r) { return l.first < r.first; });
    hits.erase(std::unique(hits.begin(), hits.end(), [](const auto& l, const auto& r) { return l.first == r.first; }),
               hits.end());
    for (const auto& [b, dot] : hits) out.add(volume_index[a], volume_index[b], min_skip_nan(std::fabs(dot), 1.0), dot);
  }
  return true;
}

PairScan scan_large_shell(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                          const std::vector<std::uint64_t>& volume_index, double duplicate_angle_deg) {
  const Coords p{x.data(), y.data(), z.data(), x.size()};
  PairScan out;
  if (!grid_duplicates(p, volume_index, duplicate_angle_deg, out)) {
    const double c = libm::cos(duplicate_angle_deg * kDegToRad);
    for (std::size_t a = 0; a < p.n; ++a)
      for (std::size_t b = a + 1; b < p.n; ++b) {
        const double dot = x[a] * x[b] + y[a] * y[b] + z[a] * z[b];
        const double s = min_skip_nan(std::fabs(dot), 1.0);
        if (s > c) [[unlikely]] out.add(volume_index[a], volume_index[b], s, dot);
      }
  }
  out.energy = energy_by_rows(p);
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
    PairScan scan = n <= kOnePassShell ? scan_pairs(x, y, z, shell.indices, duplicate_angle_deg)
                                       : scan_large_shell(x, y, z, shell.indices, duplicate_angle_deg);
    sa.electrostatic_energy = scan.energy;
    sa.duplicates = std::move(scan.duplicates);
    sa.antipodal_pairs = scan.antipodal;
    sa.near_duplicate_pairs = scan.near;
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
