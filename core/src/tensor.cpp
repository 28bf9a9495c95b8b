#include "tensor.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include "cpu_features.hpp"
#include "error.hpp"
#include "timing.hpp"

namespace tarvix {
namespace {

// Stored voxels per block. A block's sums (kRows rows of kBlock doubles) stay
// in L1/L2 while a run of volumes is added into them.
constexpr std::size_t kBlock = 512;
// Per voxel: the seven parameter sums, then the baseline signal sum. Rows
// exactly 4 KiB apart would alias each other in the load/store unit.
constexpr std::size_t kRows = 8;
constexpr std::size_t kStride = kBlock + 16;
constexpr std::size_t kBlockDoubles = kRows * kStride;
// Rows added in one pass over a block's sums.
constexpr std::size_t kGroup = 4;
// Volumes converted ahead of the summing task, beyond those the Volume keeps;
// the task takes at least half that many at a time, so each block's sums go
// through the cache once per run of volumes rather than once per volume.
constexpr std::size_t kRingVolumes = 16;
constexpr double kMinSignal = 1e-6;
constexpr double kMinDirectionNorm = 1e-6;
constexpr double kMinSingularValue = 1e-12;

// y = ln(max(S, 1e-6)) for the float signal src[j], in double; a NaN signal
// takes the floor too.
//
// The log-linear fit spends most of its time on these logs (one per voxel and
// row), and the library log cannot be vectorised, so this is a branch-free log
// that can: f = 2^e * m with m in [0.75, 1.5), ln m = 2 atanh(s) with
// s = (m - 1) / (m + 1), |s| <= 0.2, as an odd series to s^21 (truncation below
// 1e-17); within 1 ulp of the library log for positive finite normal floats.
// The other inputs are patched by two selects, written as bit masks over quiet
// comparisons: a plain `?:` lets the compiler branch around the series, and
// the loop no longer vectorises.
[[gnu::always_inline]] inline double ln_signal(const float* __restrict src, std::size_t j, std::uint64_t floor_bits) {
  constexpr double kLargest = std::numeric_limits<float>::max();
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
  const double y = ed * 0.6931471805599453 + (2 * s + (2 * s * s2 * p + ed * 2.319046813846299558e-17));
  const double v = src[j];
  const std::uint64_t infinite = -static_cast<std::uint64_t>(__builtin_isgreater(v, kLargest));
  const std::uint64_t bright = -static_cast<std::uint64_t>(__builtin_isgreater(v, kMinSignal));
  const std::uint64_t yb = std::bit_cast<std::uint64_t>(y), vb = std::bit_cast<std::uint64_t>(v);
  return std::bit_cast<double>((((vb & infinite) | (yb & ~infinite)) & bright) | (floor_bits & ~bright));
}

// One design row: the volume's signals for the block, its column of the
// pseudo-inverse and whether it counts towards the baseline sum.
struct RowInput {
  const float* src;
  const double* w;
  bool base;
};

// Adds G rows, in order, to a block's sums (n voxels): for each row,
// sum_c += w_c * y for the seven parameters, then S into the baseline sum for
// the rows that count towards it. Every voxel's sums take the rows one after
// another in volume order whatever the grouping, so they are the same bits
// whichever path, thread or batch computes them; the group only saves passes
// over the sums.
template <int G>
[[gnu::always_inline]] inline void add_rows(double* __restrict acc, const RowInput* rows, std::size_t n,
                                            double ln_floor) {
  double* __restrict a0 = acc;
  double* __restrict a1 = acc + kStride;
  double* __restrict a2 = acc + 2 * kStride;
  double* __restrict a3 = acc + 3 * kStride;
  double* __restrict a4 = acc + 4 * kStride;
  double* __restrict a5 = acc + 5 * kStride;
  double* __restrict a6 = acc + 6 * kStride;
  const std::uint64_t floor_bits = std::bit_cast<std::uint64_t>(ln_floor);
  const float* __restrict src[G];
  double w[G][7];
  for (int g = 0; g < G; ++g) {
    src[g] = rows[g].src;
    for (int c = 0; c < 7; ++c) w[g][c] = rows[g].w[c];
  }
  for (std::size_t j = 0; j < n; ++j) {
    double y[G];
    for (int g = 0; g < G; ++g) y[g] = ln_signal(src[g], j, floor_bits);
    double x0 = a0[j], x1 = a1[j], x2 = a2[j], x3 = a3[j], x4 = a4[j], x5 = a5[j], x6 = a6[j];
    for (int g = 0; g < G; ++g) {
      x0 += w[g][0] * y[g];
      x1 += w[g][1] * y[g];
      x2 += w[g][2] * y[g];
      x3 += w[g][3] * y[g];
      x4 += w[g][4] * y[g];
      x5 += w[g][5] * y[g];
      x6 += w[g][6] * y[g];
    }
    a0[j] = x0;
    a1[j] = x1;
    a2[j] = x2;
    a3[j] = x3;
    a4[j] = x4;
    a5[j] = x5;
    a6[j] = x6;
  }
  double* __restrict sum = acc + 7 * kStride;
  for (int g = 0; g < G; ++g)
    if (rows[g].base)
      for (std::size_t j = 0; j < n; ++j) sum[j] += static_cast<double>(src[g][j]);
}

using AddRowsFn = void (*)(double*, const RowInput*, std::size_t, double);

template <int G>
void add_rows_base(double* acc, const RowInput* rows, std::size_t n, double ln_floor) {
  add_rows<G>(acc, rows, n, ln_floor);
}

#if TARVIX_X86_DISPATCH
template <int G>
[[gnu::target("avx2,fma")]] void add_rows_avx2(double* acc, const RowInput* rows, std::size_t n, double ln_floor) {
  add_rows<G>(acc, rows, n, ln_floor);
}

template <int G>
[[gnu::target("avx512f,avx512dq,avx512vl,avx512bw")]] void add_rows_avx512(double* acc, const RowInput* rows,
                                                                            std::size_t n, double ln_floor) {
  add_rows<G>(acc, rows, n, ln_floor);
}
#endif

// The variants for 1 .. kGroup rows, for the instruction set at hand.
struct AddRowsTable {
  AddRowsFn fn[kGroup];
};

AddRowsTable pick_add_rows() {
#if TARVIX_X86_DISPATCH
  if (have_avx512())
    return {{add_rows_avx512<1>, add_rows_avx512<2>, add_rows_avx512<3>, add_rows_avx512<4>}};
  if (have_avx2()) return {{add_rows_avx2<1>, add_rows_avx2<2>, add_rows_avx2<3>, add_rows_avx2<4>}};
#endif
  return {{add_rows_base<1>, add_rows_base<2>, add_rows_base<3>, add_rows_base<4>}};
}

// Adds `count` rows, in order, to a block's sums.
void add_row_run(double* acc, const RowInput* rows, std::size_t count, std::size_t n, double ln_floor) {
  static const AddRowsTable table = pick_add_rows();
  for (std::size_t i = 0; i < count; i += kGroup) {
    const std::size_t g = std::min(kGroup, count - i);
    table.fn[g - 1](acc, rows + i, n, ln_floor);
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

struct V3 {
  double x, y, z;
};

inline V3 cross(const V3& a, const V3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline double squared_norm(const V3& a) { return a.x * a.x + a.y * a.y + a.z * a.z; }

// A unit vector in the kernel of the rank-2 symmetric matrix with columns
// c0, c1, c2, and the column it was made from: the one with the largest
// diagonal entry, crossed with whichever of the next two (in cyclic order)
// gives the longer product. The columns are picked by value, not by index
// into an array, so that they stay in registers.
inline V3 kernel_of(const V3& c0, const V3& c1, const V3& c2, V3& representative) {
  const double a0 = std::abs(c0.x), a1 = std::abs(c1.y), a2 = std::abs(c2.z);
  const bool one = a1 > a0;
  const bool two = a2 > (one ? a1 : a0);
  const V3& r = two ? c2 : one ? c1 : c0;
  const V3& s = two ? c0 : one ? c2 : c1;  // (i0 + 1) % 3
  const V3& t = two ? c1 : one ? c0 : c2;  // (i0 + 2) % 3
  representative = r;
  const V3 a = cross(r, s);
  const V3 b = cross(r, t);
  const double na = squared_norm(a), nb = squared_norm(b);
  if (na > nb) {
    const double n = std::sqrt(na);
    return {a.x / n, a.y / n, a.z / n};
  }
  const double n = std::sqrt(nb);
  return {b.x / n, b.y / n, b.z / n};
}

// The closed-form solver in three stages, so that a block of voxels can take
// each stage over all its voxels in turn: every stage is a long chain of
// dependent operations, two of them around library calls, and taken one voxel
// after another they leave the processor waiting on each chain.
struct EigenSetup {
  double m00, m11, m22, m10, m20, m21;  // shifted to the mean eigenvalue, scaled into [-1, 1]
  double shift, scale, c2_over_3, rho, root_q, half_b;
};

// Eigen's SelfAdjointEigenSolver::computeDirect, step for step so that the
// bits agree, as far as the characteristic polynomial. (The library sums a
// 3-term diagonal as a + (b + c).)
inline EigenSetup eigen_setup(double d00, double d11, double d22, double d01, double d02, double d12) {
  EigenSetup e;
  e.shift = (d00 + (d11 + d22)) / 3.0;
  double m00 = d00 - e.shift, m11 = d11 - e.shift, m22 = d22 - e.shift, m10 = d01, m20 = d02, m21 = d12;
  double scale = std::abs(m00);
  for (double v : {m11, m22, m10, m20, m21}) scale = std::max(scale, std::abs(v));
  if (scale > 0) {
    m00 /= scale, m11 /= scale, m22 /= scale, m10 /= scale, m20 /= scale, m21 /= scale;
  }
  const double inv3 = 1.0 / 3.0;
  const double c0 = m00 * m11 * m22 + 2.0 * m10 * m20 * m21 - m00 * m21 * m21 - m11 * m20 * m20 - m22 * m10 * m10;
  const double c1 = m00 * m11 - m10 * m10 + m00 * m22 - m20 * m20 + m11 * m22 - m21 * m21;
  const double c2 = m00 + m11 + m22;
  e.c2_over_3 = c2 * inv3;
  const double a_over_3 = std::max((c2 * e.c2_over_3 - c1) * inv3, 0.0);
  e.half_b = 0.5 * (c0 + e.c2_over_3 * (2.0 * e.c2_over_3 * e.c2_over_3 - c1));
  const double q = std::max(a_over_3 * a_over_3 * a_over_3 - e.half_b * e.half_b, 0.0);
  e.rho = std::sqrt(a_over_3);
  e.root_q = std::sqrt(q);
  e.m00 = m00, e.m11 = m11, e.m22 = m22, e.m10 = m10, e.m20 = m20, e.m21 = m21;
  e.scale = scale;
  return e;
}

// The third of the angle whose cosine the roots are spaced by.
inline double eigen_angle(const EigenSetup& e) { return std::atan2(e.root_q, e.half_b) * (1.0 / 3.0); }

// The roots (ascending) and the eigenvector of the largest. The library also
// builds the other two eigenvectors and picks its pivot column by index from a
// matrix it has just stored, and the reload stalls on the store.
inline SymmetricEigen eigen_finish(const EigenSetup& e, double cos_theta, double sin_theta) {
  constexpr double kEps = std::numeric_limits<double>::epsilon();
  const double sqrt3 = std::sqrt(3.0);
  const double e0 = e.c2_over_3 - e.rho * (cos_theta + sqrt3 * sin_theta);
  const double e1 = e.c2_over_3 - e.rho * (cos_theta - sqrt3 * sin_theta);
  const double e2 = e.c2_over_3 + 2.0 * e.rho * cos_theta;

  V3 v{0, 0, 1};  // all three equal: the identity's last column
  if (e2 - e0 > kEps) {
    // The kernel of the scaled matrix less l times the identity.
    auto kernel = [&](double l, V3& representative) {
      return kernel_of({e.m00 - l, e.m10, e.m20}, {e.m10, e.m11 - l, e.m21}, {e.m20, e.m21, e.m22 - l},
                       representative);
    };
    const double d0 = e2 - e1, d1 = e1 - e0;
    V3 representative;
    if (d0 > d1) {
      // The largest is the most distinct eigenvalue.
      v = kernel(e2, representative);
    } else if (d0 <= 2 * kEps * d1) {
      // The two largest are numerically equal, so any direction across the
      // smallest one's eigenvector will do: the library takes the pivot
      // column of that kernel through `l -= (k . l) l` and a normalisation,
      // and so does this, for the same bits.
      const V3 k = kernel(e0, representative);
      V3 l = representative;
      const double dot = k.x * l.x + k.y * l.y + k.z * l.z;
      l = {l.x - dot * l.x, l.y - dot * l.y, l.z - dot * l.z};
      const double n = squared_norm(l);
      if (n > 0) {
        const double r = std::sqrt(n);
        l = {l.x / r, l.y / r, l.z / r};
      }
      v = l;
    } else {
      v = kernel(e2, representative);
    }
  }
  SymmetricEigen out;
  out.values = {e0 * e.scale + e.shift, e1 * e.scale + e.shift, e2 * e.scale + e.shift};
  out.largest = {v.x, v.y, v.z};
  return out;
}

}  // namespace

SymmetricEigen symmetric_eigen(double d00, double d11, double d22, double d01, double d02, double d12) {
  const EigenSetup e = eigen_setup(d00, d11, d22, d01, d02, d12);
  const double theta = eigen_angle(e);
  return eigen_finish(e, std::cos(theta), std::sin(theta));
}

namespace {

struct PrincipalFit {
  Vec3 v1{};
  double fa = 0;
  bool valid = false;
};

// What the fit keeps of one voxel's tensor (parameters p, eigen-decomposition
// ev). The closed-form 3x3 solver is accurate to well under a thousandth of a
// degree wherever the fibre direction matters (FA > 0.2) and about twice as
// fast as the iterative one.
inline PrincipalFit principal(const double* p, const SymmetricEigen& ev) {
  const double l0 = std::max(ev.values[0], 0.0), l1 = std::max(ev.values[1], 0.0),
               l2 = std::max(ev.values[2], 0.0);
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
    if (pi == 2) {
      out.v1 = ev.largest;
    } else {
      // Ascending values clamp to ascending values: only non-finite ones get
      // here, and the library's solver says what they mean.
      Eigen::Matrix3d d;
      d << p[1], p[4], p[5], p[4], p[2], p[6], p[5], p[6], p[3];
      Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
      solver.computeDirect(d);
      const auto v = solver.eigenvectors().col(pi);
      out.v1 = {v(0), v(1), v(2)};
    }
    out.fa = fa;
    out.valid = true;
  }
  return out;
}

// One design row: its volume, its column of the pseudo-inverse and whether
// the volume counts towards the baseline mean.
struct DesignRow {
  std::uint64_t volume = 0;
  std::array<double, 7> w{};
  bool base = false;
};

// What every voxel of one fit shares: the rows in ascending volume order.
struct FitDesign {
  std::vector<DesignRow> rows;
  double base_count = 1;
  double min_s0 = 1;
  double ln_floor = 0;
};

// Checks the lists against the table and solves the design; no image needed.
FitDesign make_design(const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                  const std::vector<std::uint64_t>& shell_indices, double min_s0) {
  if (shell_indices.empty()) throw Error::dti_fit("no DWI volumes in the working shell");
  for (const auto* list : {&b0_indices, &shell_indices})
    for (std::uint64_t k : *list)
      if (k >= table.size()) throw std::logic_error("fit_dti: volume index out of range");
  const Eigen::MatrixXd pinv = pseudo_inverse(design_matrix(table, b0_indices, shell_indices));

  FitDesign design;
  const std::size_t n = b0_indices.size() + shell_indices.size();
  design.rows.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    DesignRow& s = design.rows[r];
    const bool b0_row = r < b0_indices.size();
    s.volume = b0_row ? b0_indices[r] : shell_indices[r - b0_indices.size()];
    for (int c = 0; c < 7; ++c) s.w[static_cast<std::size_t>(c)] = pinv(c, static_cast<Eigen::Index>(r));
    // The baseline runs over the b=0 rows, or over the shell rows without any.
    s.base = b0_row || b0_indices.empty();
  }
  std::stable_sort(design.rows.begin(), design.rows.end(),
                   [](const DesignRow& a, const DesignRow& b) { return a.volume < b.volume; });
  design.base_count = static_cast<double>(b0_indices.empty() ? n : b0_indices.size());
  design.min_s0 = min_s0;
  design.ln_floor = std::log(kMinSignal);
  return design;
}

TensorField empty_field(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  const std::uint64_t grid = nx * ny * nz;
  TensorField field;
  field.shape = {nx, ny, nz};
  field.v1.assign(grid, Vec3{0, 0, 0});
  field.fa.assign(grid, 0.0);
  field.s0.assign(grid, 0.0);
  field.valid.assign(grid, 0);
  return field;
}

// The eigen step for the block of `n` stored voxels from `start`; each voxel
// is written to its own slot in voxel linear order.
// Scratch of the eigen step for one block.
struct FinishScratch {
  std::vector<std::uint32_t> at;     // block positions of the voxels fitted
  std::vector<std::uint64_t> slot;   // and their voxel linear indices
  std::vector<EigenSetup> setup;
  std::vector<double> cos_theta, sin_theta;
  FinishScratch() : at(kBlock), slot(kBlock), setup(kBlock), cos_theta(kBlock), sin_theta(kBlock) {}
};

void finish_block(const FitDesign& design, const double* acc, std::uint64_t start, std::size_t n, TensorField& field,
                  FinishScratch& scratch) {
  const std::uint64_t nx = field.shape[0], ny = field.shape[1], nz = field.shape[2];
  std::uint64_t x = start % nx, yy = (start / nx) % ny, z = start / (nx * ny);
  std::size_t fitted = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint64_t t = (x * ny + yy) * nz + z;
    const double s0 = acc[7 * kStride + j] / design.base_count;
    field.s0[t] = s0;
    if (!(design.min_s0 > s0)) {
      scratch.at[fitted] = static_cast<std::uint32_t>(j);
      scratch.slot[fitted] = t;
      scratch.setup[fitted] = eigen_setup(acc[1 * kStride + j], acc[2 * kStride + j], acc[3 * kStride + j],
                                          acc[4 * kStride + j], acc[5 * kStride + j], acc[6 * kStride + j]);
      ++fitted;
    }
    if (++x == nx) {
      x = 0;
      if (++yy == ny) {
        yy = 0;
        ++z;
      }
    }
  }
  for (std::size_t i = 0; i < fitted; ++i) {
    const double theta = eigen_angle(scratch.setup[i]);
    scratch.cos_theta[i] = std::cos(theta);
    scratch.sin_theta[i] = std::sin(theta);
  }
  double p[7];
  for (std::size_t i = 0; i < fitted; ++i) {
    const std::size_t j = scratch.at[i];
    for (std::size_t c = 0; c < 7; ++c) p[c] = acc[c * kStride + j];
    const PrincipalFit e = principal(p, eigen_finish(scratch.setup[i], scratch.cos_theta[i], scratch.sin_theta[i]));
    const std::uint64_t t = scratch.slot[i];
    field.v1[t] = e.v1;
    field.fa[t] = e.fa;
    field.valid[t] = e.valid ? 1 : 0;
  }
}

}  // namespace

TensorField fit_dti(const Volume& volume, const GradientTable& table, const std::vector<std::uint64_t>& b0_indices,
                    const std::vector<std::uint64_t>& shell_indices, double min_s0) {
  if (volume.ndim() != 4) throw Error::dti_fit("expected 4-D DWI, got " + std::to_string(volume.ndim()) + "-D");
  if (shell_indices.empty()) throw Error::dti_fit("no DWI volumes in the working shell");

  const std::uint64_t nx = volume.shape[0], ny = volume.shape[1], nz = volume.shape[2];
  const std::uint64_t grid = nx * ny * nz;
  const std::uint64_t n_volumes = volume.shape[3];
  for (const auto* list : {&b0_indices, &shell_indices})
    for (std::uint64_t k : *list)
      if (k >= n_volumes || k >= table.size()) throw std::logic_error("fit_dti: volume index out of range");
  const FitDesign design = make_design(table, b0_indices, shell_indices, min_s0);
  std::vector<const float*> sources;
  sources.reserve(design.rows.size());
  for (const DesignRow& s : design.rows) sources.push_back(volume.volume_data(s.volume));

  TensorField field = empty_field(nx, ny, nz);
  const std::size_t n_blocks = static_cast<std::size_t>((grid + kBlock - 1) / kBlock);
  // Blocks are fixed by stored position, never by the split, so each voxel sees
  // the same arithmetic whatever the thread count.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks), [&](const tbb::blocked_range<std::size_t>& r) {
    std::vector<double> acc(kBlockDoubles);
    std::vector<RowInput> rows(design.rows.size());
    FinishScratch scratch;
    for (std::size_t blk = r.begin(); blk != r.end(); ++blk) {
      const std::uint64_t start = blk * kBlock;
      const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - start));
      std::fill(acc.begin(), acc.end(), 0.0);
      for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = {sources[i] + start, design.rows[i].w.data(), design.rows[i].base};
      add_row_run(acc.data(), rows.data(), rows.size(), width, design.ln_floor);
      finish_block(design, acc.data(), start, width, field, scratch);
    }
  });
  return field;
}

// ---- FitStream ------------------------------------------------------------

struct FitStream::State {
  FitDesign design;
  std::vector<std::uint64_t> b0, shell, keep;
  std::uint64_t table_size = 0;
  tbb::task_arena* arena = nullptr;
  bool background = false;

  // Set by begin().
  bool began = false;
  std::vector<std::uint64_t> shape;
  std::uint64_t grid = 0;
  std::size_t n_blocks = 0;
  std::vector<std::size_t> first_row;  // rows of volume k: [first_row[k], first_row[k + 1])
  std::unique_ptr<double[]> sums;       // n_blocks blocks of kRows rows of kStride
  std::unique_ptr<float[]> ring;        // ring_slots volumes of grid floats
  std::size_t ring_slots = 0;
  std::size_t ring_handed = 0;   // ring volumes handed to the reader so far
  std::size_t pending_slot = 0;  // slot of the volume being read into the ring
  std::vector<std::ptrdiff_t> slot_owner;  // delivery in each slot, -1 when free
  std::size_t min_batch = 1;
  std::size_t wanted = 0;  // volumes the fit reads

  struct Delivery {
    std::uint64_t volume;
    const float* data;
  };
  // Reserved up front and only appended to, so entries below `produced` can be
  // read without the lock.
  std::vector<Delivery> deliveries;

  std::mutex m;
  std::condition_variable cv;
  std::size_t produced = 0, consumed = 0;
  bool busy = false;  // a batch is being summed
  bool done = false;
  bool cancelled = false;
  bool taken = false;
  std::exception_ptr error;
  double reader_s = 0;  // the reading thread's time in the sink calls
  // Made by the summing task as soon as the last volume the fit reads is
  // summed, which may be well before the read ends.
  bool finished = false;
  TensorField field;

  bool drainer_started = false;
  tbb::task_group group;

  template <class F>
  void in_arena(F&& f) {
    if (arena)
      arena->execute(std::forward<F>(f));
    else
      f();
  }

  // Sums deliveries [b, e) into every block, volume after volume.
  void sum_batch(std::size_t b, std::size_t e, bool parallel) {
    // The batch's rows in order, each with the start of its volume.
    std::vector<std::pair<const DesignRow*, const float*>> batch;
    for (std::size_t d = b; d < e; ++d) {
      const std::size_t k = static_cast<std::size_t>(deliveries[d].volume);
      for (std::size_t i = first_row[k]; i < first_row[k + 1]; ++i)
        batch.emplace_back(&design.rows[i], deliveries[d].data);
    }
    auto body = [&](std::size_t lo, std::size_t hi) {
      std::vector<RowInput> rows(batch.size());
      for (std::size_t blk = lo; blk < hi; ++blk) {
        double* acc = sums.get() + blk * kBlockDoubles;
        const std::uint64_t start = blk * kBlock;
        const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - start));
        if (b == 0) std::fill(acc, acc + kBlockDoubles, 0.0);
        for (std::size_t i = 0; i < batch.size(); ++i)
          rows[i] = {batch[i].second + start, batch[i].first->w.data(), batch[i].first->base};
        add_row_run(acc, rows.data(), rows.size(), width, design.ln_floor);
      }
    };
    if (parallel)
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks, 16),
                        [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    else
      body(0, n_blocks);
  }

  // The eigen step over every block, once all sums are complete.
  void finish() {
    TensorField out = empty_field(shape[0], shape[1], shape[2]);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks), [&](const tbb::blocked_range<std::size_t>& r) {
      FinishScratch scratch;
      for (std::size_t blk = r.begin(); blk != r.end(); ++blk) {
        const std::uint64_t start = blk * kBlock;
        const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - start));
        finish_block(design, sums.get() + blk * kBlockDoubles, start, width, out, scratch);
      }
    });
    sums.reset();
    ring.reset();
    field = std::move(out);
    finished = true;
  }

  // Sums what is delivered and not yet summed, on this thread; called with the
  // lock held and no batch running, returns with the lock held.
  void sum_pending(std::unique_lock<std::mutex>& l, bool parallel) {
    const std::size_t b = consumed, e = produced;
    busy = true;
    l.unlock();
    try {
      sum_batch(b, e, parallel);
    } catch (...) {
      l.lock();
      busy = false;
      cancelled = true;
      if (!error) error = std::current_exception();
      cv.notify_all();
      throw;
    }
    l.lock();
    consumed = e;
    busy = false;
    cv.notify_all();
  }

  // Whether the deliveries not yet summed make a batch worth taking.
  bool batch_ready() const {
    return produced > consumed && (produced - consumed >= min_batch || produced == wanted || done);
  }

  // The summing task: takes runs of delivered volumes in order until all are
  // summed, then runs the eigen step while the reader may still be inflating
  // volumes the fit does not read.
  void drain() {
    std::unique_lock<std::mutex> l(m);
    for (;;) {
      cv.wait(l, [&] { return cancelled || (!busy && (batch_ready() || consumed == wanted)); });
      if (cancelled) return;
      if (consumed == wanted) break;
      try {
        sum_pending(l, true);
      } catch (...) {
        return;  // kept in `error` for take()
      }
    }
    l.unlock();
    try {
      finish();
    } catch (...) {
      l.lock();
      cancelled = true;
      if (!error) error = std::current_exception();
    }
  }

  void rethrow_failure() {
    if (error) std::rethrow_exception(error);
  }

  void stop() noexcept {
    {
      std::lock_guard<std::mutex> l(m);
      cancelled = true;
    }
    cv.notify_all();
    if (drainer_started) {
      try {
        in_arena([&] { group.wait(); });
      } catch (...) {
      }
      drainer_started = false;
    }
  }
};

FitStream::FitStream(const GradientTable& table, std::vector<std::uint64_t> b0_indices,
                     std::vector<std::uint64_t> shell_indices, double min_s0, std::vector<std::uint64_t> keep,
                     tbb::task_arena* arena, int concurrency)
    : state_(std::make_unique<State>()) {
  State& st = *state_;
  st.design = make_design(table, b0_indices, shell_indices, min_s0);
  st.b0 = std::move(b0_indices);
  st.shell = std::move(shell_indices);
  std::sort(keep.begin(), keep.end());
  keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
  st.keep = std::move(keep);
  st.table_size = table.size();
  st.arena = arena;
  st.background = concurrency >= 2;
}

FitStream::~FitStream() { state_->stop(); }

bool FitStream::begin(const VolumeInfo& info, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) {
  State& st = *state_;
  if (st.began || info.shape.size() != 4 || info.n_volumes != st.table_size) return false;
  const std::uint64_t n_volumes = info.n_volumes;
  if (keep.size() != n_volumes || want.size() != n_volumes) return false;
  const std::uint64_t grid = info.shape[0] * info.shape[1] * info.shape[2];
  if (grid == 0) return false;
  for (const DesignRow& s : st.design.rows)
    if (s.volume >= n_volumes) return false;

  std::vector<std::size_t> first_row(static_cast<std::size_t>(n_volumes) + 1, 0);
  for (const DesignRow& s : st.design.rows) ++first_row[static_cast<std::size_t>(s.volume) + 1];
  for (std::size_t k = 0; k < n_volumes; ++k) first_row[k + 1] += first_row[k];

  std::size_t wanted = 0, ring_volumes = 0;
  for (std::uint64_t k = 0; k < n_volumes; ++k) {
    const bool w = first_row[k + 1] > first_row[k];
    const bool kp = std::binary_search(st.keep.begin(), st.keep.end(), k);
    keep[k] = kp ? 1 : 0;
    want[k] = w ? 1 : 0;
    wanted += w;
    ring_volumes += w && !kp;
  }
  const std::size_t n_blocks = static_cast<std::size_t>((grid + kBlock - 1) / kBlock);
  const std::size_t slots = std::min(kRingVolumes, ring_volumes);
  try {
    // Left uninitialised: each block is cleared by the first batch, on the
    // summing thread, and the ring is written before it is read.
    st.sums.reset(new double[n_blocks * kBlockDoubles]);
    if (slots) st.ring.reset(new float[slots * static_cast<std::size_t>(grid)]);
    st.deliveries.reserve(wanted);
  } catch (const std::bad_alloc&) {
    st.sums.reset();
    st.ring.reset();
    return false;  // read whole; the fit then runs on its own
  }
  st.shape = info.shape;
  st.grid = grid;
  st.n_blocks = n_blocks;
  st.first_row = std::move(first_row);
  st.ring_slots = slots;
  st.slot_owner.assign(slots, -1);
  st.min_batch = std::max<std::size_t>(1, slots ? slots / 2 : kRingVolumes / 2);
  st.wanted = wanted;
  st.began = true;

  if (st.background) {
    tbb::task_handle task = st.group.defer([&st] { st.drain(); });
    if (st.arena)
      st.arena->enqueue(std::move(task));
    else
      tbb::this_task_arena::enqueue(std::move(task));
    st.drainer_started = true;
  }
  return true;
}

float* FitStream::buffer_for(std::uint64_t) {
  State& st = *state_;
  const Lap lap(st.reader_s);
  std::unique_lock<std::mutex> l(st.m);
  st.rethrow_failure();
  if (!st.ring_slots) throw std::logic_error("FitStream: no ring buffer for a streamed volume");
  const std::size_t slot = st.ring_handed % st.ring_slots;
  // The slot's last volume must be summed before it is overwritten: sum it
  // here when nobody is at it, else wait for the task that is.
  while (st.slot_owner[slot] >= 0 && static_cast<std::size_t>(st.slot_owner[slot]) >= st.consumed) {
    st.rethrow_failure();
    if (!st.busy)
      st.sum_pending(l, false);
    else
      st.cv.wait(l);
  }
  ++st.ring_handed;
  st.pending_slot = slot;
  return st.ring.get() + slot * static_cast<std::size_t>(st.grid);
}

void FitStream::volume_ready(std::uint64_t k, const float* data) {
  State& st = *state_;
  const Lap lap(st.reader_s);
  std::unique_lock<std::mutex> l(st.m);
  st.rethrow_failure();
  if (!std::binary_search(st.keep.begin(), st.keep.end(), k))
    st.slot_owner[st.pending_slot] = static_cast<std::ptrdiff_t>(st.produced);
  st.deliveries.push_back({k, data});
  ++st.produced;
  if (st.background) {
    l.unlock();
    st.cv.notify_all();
  } else if (st.batch_ready()) {
    st.sum_pending(l, false);
  }
}

void FitStream::end() {
  State& st = *state_;
  const Lap lap(st.reader_s);
  std::unique_lock<std::mutex> l(st.m);
  st.done = true;
  if (st.background) {
    l.unlock();
    st.cv.notify_all();
    return;
  }
  if (st.produced > st.consumed) st.sum_pending(l, false);
}

void FitStream::abandon() noexcept { state_->stop(); }

bool FitStream::complete() const {
  const State& st = *state_;
  return st.began && st.done && !st.taken;
}

TensorField FitStream::take() {
  State& st = *state_;
  if (!st.began || st.taken) throw std::logic_error("FitStream::take: no streamed fit to take");
  if (st.drainer_started) {
    st.in_arena([&] { st.group.wait(); });
    st.drainer_started = false;
  }
  st.rethrow_failure();
  if (!st.done || st.consumed != st.wanted) throw std::logic_error("FitStream::take: the image was not read through");
  st.taken = true;
  if (!st.finished) st.finish();
  return std::move(st.field);
}

double FitStream::reader_seconds() const { return state_->reader_s; }

bool FitStream::taken() const { return state_->taken; }

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
