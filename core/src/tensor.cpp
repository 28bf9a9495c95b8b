#include "tensor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "cpu_features.hpp"
#include "error.hpp"

namespace tarvix {
namespace {

// Stored voxels per block. Each block is fitted with one GEMM; the n x kBlock
// log-signal matrix must stay in L2 for the copy-then-multiply to pay off.
constexpr std::size_t kBlock = 512;
constexpr double kMinSignal = 1e-6;
constexpr double kMinDirectionNorm = 1e-6;
constexpr double kMinSingularValue = 1e-12;

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// ln of a run of float signals, widened to double. The log-linear fit spends
// most of its time here (one log per voxel and volume), and the library log
// cannot be vectorised, so this is a branch-free log that is: f = 2^e * m with m
// in [0.75, 1.5), ln m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| <= 0.2, as an
// odd series to s^21 (truncation below 1e-17). Within 1 ulp of the library log;
// only correct for positive finite normal floats, the rest is patched by
// log_signals. Plain IEEE operations only, so every instruction set gives the
// same bits.
[[gnu::always_inline]] inline void log_normal_floats(const float* src, double* dst, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    std::uint32_t b;
    std::memcpy(&b, src + j, sizeof b);
    const std::uint32_t upper_half = (b >> 22) & 1;  // mantissa >= 1.5: halve it
    const std::int32_t e = static_cast<std::int32_t>((b >> 23) & 0xff) - 127 + static_cast<std::int32_t>(upper_half);
    const std::uint32_t mb = ((b & 0x7fffffu) | 0x3f800000u) - (upper_half << 23);
    float mf;
    std::memcpy(&mf, &mb, sizeof mf);
    const double m = mf;
    const double s = (m - 1) / (m + 1), s2 = s * s;
    double p = 1.0 / 21;
    p = p * s2 + 1.0 / 19;
    p = p * s2 + 1.0 / 17;
    p = p * s2 + 1.0 / 15;
    p = p * s2 + 1.0 / 13;
    p = p * s2 + 1.0 / 11;
    p = p * s2 + 1.0 / 9;
    p = p * s2 + 1.0 / 7;
    p = p * s2 + 1.0 / 5;
    p = p * s2 + 1.0 / 3;
    const double ed = e;
    // ln 2 split in two so that e * ln 2 keeps full precision.
    dst[j] = ed * 0.6931471805599453 + (2 * s + (2 * s * s2 * p + ed * 2.319046813846299558e-17));
  }
}

#if TARVIX_X86_DISPATCH
[[gnu::target("avx2")]] void log_normal_floats_avx2(const float* src, double* dst, std::size_t n) {
  log_normal_floats(src, dst, n);
}
#endif

void log_normal_floats_base(const float* src, double* dst, std::size_t n) { log_normal_floats(src, dst, n); }

// dst[j] = ln(max(src[j], 1e-6)) in double; a NaN signal takes the floor too.
void log_signals(const float* src, double* dst, std::size_t n, double ln_floor) {
#if TARVIX_X86_DISPATCH
  if (have_avx2())
    log_normal_floats_avx2(src, dst, n);
  else
#endif
    log_normal_floats_base(src, dst, n);
  // Dark, negative, NaN and infinite signals are rare in tissue and background
  // alike, so this pass costs a predictable branch per value.
  for (std::size_t j = 0; j < n; ++j) {
    const double v = src[j];
    if (!(v > kMinSignal))
      dst[j] = ln_floor;
    else if (v > static_cast<double>(std::numeric_limits<float>::max()))
      dst[j] = v;
  }
}

// Rows: b=0 volumes as b = 0 exactly, then the shell volumes with their unit
// direction (a near-zero direction only estimates the intercept).
Eigen::MatrixXd design_matrix(const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                              const std::vector<std::uint64_t>& shell_indices) {
  const Eigen::Index n = static_cast<Eigen::Index>(b0_indices.size() + shell_indices.size());
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, 7);
  Eigen::Index r = 0;
  for (std::size_t i = 0; i < b0_indices.size(); ++i, ++r) a(r, 0) = 1;
  for (std::uint64_t k : shell_indices) {
    const Vec3& g = table.directions[k];
    const double b = table.bvals[k];
    const double len = norm(g);
    Vec3 u{0, 0, 0};
    if (len > kMinDirectionNorm) u = {g[0] / len, g[1] / len, g[2] / len};
    a(r, 0) = 1;
    a(r, 1) = -b * u[0] * u[0];
    a(r, 2) = -b * u[1] * u[1];
    a(r, 3) = -b * u[2] * u[2];
    a(r, 4) = -2 * b * u[0] * u[1];
    a(r, 5) = -2 * b * u[0] * u[2];
    a(r, 6) = -2 * b * u[1] * u[2];
    ++r;
  }
  return a;
}

const char* svd_failure_text(Eigen::ComputationInfo info) {
  switch (info) {
    case Eigen::InvalidInput: return "the design matrix has non-finite entries";
    case Eigen::NoConvergence: return "the singular value decomposition did not converge";
    case Eigen::NumericalIssue: return "numerical issue in the singular value decomposition";
    default: return "the pseudo-inverse has non-finite entries";
  }
}

// Minimum-norm pseudo-inverse V * S+ * U^T (7 x n); rank deficiency is allowed.
Eigen::MatrixXd pseudo_inverse(const Eigen::MatrixXd& a) {
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) throw Error::dti_fit(std::string("singular design matrix: ") + svd_failure_text(svd.info()));
  const Eigen::VectorXd& s = svd.singularValues();
  const Eigen::Index k = s.size();
  Eigen::VectorXd inv(k);
  for (Eigen::Index i = 0; i < k; ++i) inv(i) = s(i) > kMinSingularValue ? 1.0 / s(i) : 0.0;
  Eigen::MatrixXd p = svd.matrixV().leftCols(k) * inv.asDiagonal() * svd.matrixU().leftCols(k).transpose();
  if (!p.allFinite()) throw Error::dti_fit(std::string("singular design matrix: ") + svd_failure_text(Eigen::Success));
  return p;
}

struct PrincipalFit {
  Vec3 v1{};
  double fa = 0;
  bool valid = false;
};

// D from the six tensor parameters; the closed-form 3x3 solver is accurate to
// well under a thousandth of a degree wherever the fibre direction matters
// (FA > 0.2) and about twice as fast as the iterative one.
inline PrincipalFit principal(const double* p, Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>& solver) {
  Eigen::Matrix3d d;
  d << p[1], p[4], p[5], p[4], p[2], p[6], p[5], p[6], p[3];
  solver.computeDirect(d);
  const Eigen::Vector3d& ev = solver.eigenvalues();
  const double l0 = std::max(ev(0), 0.0), l1 = std::max(ev(1), 0.0), l2 = std::max(ev(2), 0.0);
  int pi;
  double lp;
  if (l2 >= std::max(l0, l1)) {
    pi = 2;
    lp = l2;
  } else if (l0 <= l1) {
    pi = 1;
    lp = l1;
  } else {
    pi = 0;
    lp = l0;
  }
  const double ss = l0 * l0 + l1 * l1 + l2 * l2;
  double fa = 0;
  if (ss > 0) {
    const double m = (l0 + l1 + l2) / 3;
    fa = std::sqrt(1.5 * ((l0 - m) * (l0 - m) + (l1 - m) * (l1 - m) + (l2 - m) * (l2 - m)) / ss);
  }
  PrincipalFit out;
  if (std::isfinite(fa) && lp > 0) {
    const auto v = solver.eigenvectors().col(pi);
    out.v1 = {v(0), v(1), v(2)};
    out.fa = fa;
    out.valid = true;
  }
  return out;
}

}  // namespace

TensorField fit_dti(const Volume& volume, const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                    const std::vector<std::uint64_t>& shell_indices, double min_s0) {
  if (volume.ndim() != 4) throw Error::dti_fit("expected 4-D DWI, got " + std::to_string(volume.ndim()) + "-D");
  if (shell_indices.empty()) throw Error::dti_fit("no DWI volumes in the working shell");

  const std::uint64_t nx = volume.shape[0], ny = volume.shape[1], nz = volume.shape[2];
  const std::uint64_t grid = nx * ny * nz;
  const std::uint64_t n_volumes = volume.shape[3];
  if (volume.data.size() < grid * n_volumes) throw std::logic_error("fit_dti: volume data shorter than its shape");
  for (const auto* list : {&b0_indices, &shell_indices})
    for (std::uint64_t k : *list)
      if (k >= n_volumes || k >= table.size()) throw std::logic_error("fit_dti: volume index out of range");

  const Eigen::MatrixXd pinv = pseudo_inverse(design_matrix(table, b0_indices, shell_indices));
  const std::size_t n = b0_indices.size() + shell_indices.size();

  // Start of each design row's volume, in row order; the baseline mean runs
  // over the b=0 rows, or over the shell rows when there is no b=0 volume.
  std::vector<const float*> rows;
  rows.reserve(n);
  for (std::uint64_t k : b0_indices) rows.push_back(volume.data.data() + k * grid);
  for (std::uint64_t k : shell_indices) rows.push_back(volume.data.data() + k * grid);
  const std::size_t base_rows = b0_indices.empty() ? n : b0_indices.size();
  const double base_count = static_cast<double>(base_rows);

  TensorField field;
  field.shape = {nx, ny, nz};
  field.v1.assign(grid, Vec3{0, 0, 0});
  field.fa.assign(grid, 0.0);
  field.s0.assign(grid, 0.0);
  field.valid.assign(grid, 0);

  const double ln_floor = std::log(kMinSignal);
  const std::size_t n_blocks = (grid + kBlock - 1) / kBlock;
  // Blocks are fixed by stored position, never by the split, so each voxel sees
  // the same arithmetic whatever the thread count.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks), [&](const tbb::blocked_range<std::size_t>& r) {
    RowMajor y(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(kBlock));
    Eigen::Matrix<double, 7, Eigen::Dynamic> params(7, static_cast<Eigen::Index>(kBlock));
    std::vector<double> base(kBlock);
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;

    for (std::size_t blk = r.begin(); blk != r.end(); ++blk) {
      const std::uint64_t start = blk * kBlock;
      const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - start));

      std::fill(base.begin(), base.begin() + width, 0.0);
      for (std::size_t m = 0; m < n; ++m) {
        const float* src = rows[m] + start;
        log_signals(src, y.row(static_cast<Eigen::Index>(m)).data(), width, ln_floor);
        if (m < base_rows)
          for (std::size_t j = 0; j < width; ++j) base[j] += static_cast<double>(src[j]);
      }
      const auto w = static_cast<Eigen::Index>(width);
      params.leftCols(w).noalias() = pinv * y.leftCols(w);

      // Walk the stored order (x fastest) and write each voxel to its slot.
      std::uint64_t x = start % nx, yy = (start / nx) % ny, z = start / (nx * ny);
      for (std::size_t j = 0; j < width; ++j) {
        const std::uint64_t t = (x * ny + yy) * nz + z;
        const double s0 = base[j] / base_count;
        field.s0[t] = s0;
        if (!(min_s0 > s0)) {
          const PrincipalFit e = principal(params.col(static_cast<Eigen::Index>(j)).data(), solver);
          field.v1[t] = e.v1;
          field.fa[t] = e.fa;
          field.valid[t] = e.valid ? 1 : 0;
        }
        if (++x == nx) {
          x = 0;
          if (++yy == ny) {
            yy = 0;
            ++z;
          }
        }
      }
    }
  });
  return field;
}

Mask TensorField::wm_proxy(double fa_threshold) const {
  const std::size_t len = std::min({s0.size(), fa.size(), valid.size()});

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

  Mask mask(len, 0);
  for (std::size_t i = 0; i < len; ++i) mask[i] = (valid[i] && fa[i] >= fa_threshold && s0[i] >= threshold) ? 1 : 0;
  return mask;
}

}  // namespace tarvix
