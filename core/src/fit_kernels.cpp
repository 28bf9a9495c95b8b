#include "fit_kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <Eigen/Dense>

#include "cpu_features.hpp"
#include "libm.hpp"
#include "eigen3x3.hpp"
#include "error.hpp"

#if TARVIX_X86_DISPATCH
#include <immintrin.h>
#endif

namespace tarvix::fit {

using namespace eigen3x3;

namespace {

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

// Adds G rows, in order, to a block's sums (n voxels): for each row,
// sum_c += w_c * y for the six tensor elements, then S into the baseline sum for
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
  const std::uint64_t floor_bits = std::bit_cast<std::uint64_t>(ln_floor);
  const float* __restrict src[G];
  double w[G][kParams];
  for (int g = 0; g < G; ++g) {
    src[g] = rows[g].src;
    for (std::size_t c = 0; c < kParams; ++c) w[g][c] = rows[g].w[c];
  }
  for (std::size_t j = 0; j < n; ++j) {
    double y[G];
    for (int g = 0; g < G; ++g) y[g] = ln_signal(src[g], j, floor_bits);
    double x0 = a0[j], x1 = a1[j], x2 = a2[j], x3 = a3[j], x4 = a4[j], x5 = a5[j];
    for (int g = 0; g < G; ++g) {
      x0 += w[g][0] * y[g];
      x1 += w[g][1] * y[g];
      x2 += w[g][2] * y[g];
      x3 += w[g][3] * y[g];
      x4 += w[g][4] * y[g];
      x5 += w[g][5] * y[g];
    }
    a0[j] = x0;
    a1[j] = x1;
    a2[j] = x2;
    a3[j] = x3;
    a4[j] = x4;
    a5[j] = x5;
  }
  double* __restrict sum = acc + kBaseRow * kStride;
  for (int g = 0; g < G; ++g)
    if (rows[g].base)
      for (std::size_t j = 0; j < n; ++j) sum[j] += static_cast<double>(src[g][j]);
}

// The baseline sum of looked-up rows: each counting row's float signal, in
// row order, as add_rows adds it.
template <int G, class Index>
[[gnu::always_inline]] inline void add_stored_baselines(double* __restrict acc, const RowInput* rows, std::size_t n,
                                                        const float* __restrict value) {
  double* __restrict sum = acc + kBaseRow * kStride;
  for (int g = 0; g < G; ++g)
    if (rows[g].base)
      for (std::size_t j = 0; j < n; ++j) {
        Index i;
        std::memcpy(&i, rows[g].stored + j * sizeof(Index), sizeof i);
        sum[j] += static_cast<double>(value[i]);
      }
}

// The rows of add_rows looked up instead of computed: y is the table's entry
// for each stored voxel, and the baseline takes the entry's float signal. The
// sums are written exactly as add_rows writes them, so that each voxel's bits
// are the same whichever kind of row it takes. (Written out again on purpose:
// with the accumulation in a shared inline helper GCC 12 no longer vectorises
// this loop.)
template <int G, class Index>
[[gnu::always_inline]] inline void add_stored_rows(double* __restrict acc, const RowInput* rows, std::size_t n,
                                                   const double* __restrict ln, const float* __restrict value) {
  double* __restrict a0 = acc;
  double* __restrict a1 = acc + kStride;
  double* __restrict a2 = acc + 2 * kStride;
  double* __restrict a3 = acc + 3 * kStride;
  double* __restrict a4 = acc + 4 * kStride;
  double* __restrict a5 = acc + 5 * kStride;
  const unsigned char* __restrict src[G];
  double w[G][kParams];
  for (int g = 0; g < G; ++g) {
    src[g] = rows[g].stored;
    for (std::size_t c = 0; c < kParams; ++c) w[g][c] = rows[g].w[c];
  }
  for (std::size_t j = 0; j < n; ++j) {
    double y[G];
    for (int g = 0; g < G; ++g) {
      Index i;
      std::memcpy(&i, src[g] + j * sizeof(Index), sizeof i);
      y[g] = ln[i];
    }
    double x0 = a0[j], x1 = a1[j], x2 = a2[j], x3 = a3[j], x4 = a4[j], x5 = a5[j];
    for (int g = 0; g < G; ++g) {
      x0 += w[g][0] * y[g];
      x1 += w[g][1] * y[g];
      x2 += w[g][2] * y[g];
      x3 += w[g][3] * y[g];
      x4 += w[g][4] * y[g];
      x5 += w[g][5] * y[g];
    }
    a0[j] = x0;
    a1[j] = x1;
    a2[j] = x2;
    a3[j] = x3;
    a4[j] = x4;
    a5[j] = x5;
  }
  add_stored_baselines<G, Index>(acc, rows, n, value);
}

#if TARVIX_X86_DISPATCH
// add_stored_rows for AVX2, by hand: GCC keeps all G x 6 weights in vector
// registers, spills most of them and then reloads them on every voxel, which
// makes this loop (the fit's main cost on a 16-bit image) about three times
// slower than its multiply-adds. Here eight voxels are taken at a time and each
// weight is broadcast from memory once for them; every sum still takes its rows
// one after another as a rounded product then a rounded sum (contraction is off
// in every build), so the bits are those of add_stored_rows and add_rows on
// any machine, with or without these instructions.
template <class Index>
[[gnu::always_inline]] inline double ln_entry(const unsigned char* src, std::size_t j, const double* ln) {
  Index i;
  std::memcpy(&i, src + j * sizeof(Index), sizeof i);
  return ln[i];
}

template <class Index>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256d four_entries(const unsigned char* src, std::size_t j,
                                                                            const double* ln) {
  return _mm256_setr_pd(ln_entry<Index>(src, j, ln), ln_entry<Index>(src, j + 1, ln), ln_entry<Index>(src, j + 2, ln),
                        ln_entry<Index>(src, j + 3, ln));
}

template <int G, class Index>
[[gnu::target("avx2,fma")]] void add_stored_rows_avx2(double* __restrict acc, const RowInput* rows, std::size_t n,
                                                      const double* __restrict ln, const float* __restrict value) {
  const unsigned char* __restrict src[G];
  double w[G][kParams];
  for (int g = 0; g < G; ++g) {
    src[g] = rows[g].stored;
    for (std::size_t c = 0; c < kParams; ++c) w[g][c] = rows[g].w[c];
  }
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    __m256d lo[G], hi[G];
    for (int g = 0; g < G; ++g) {
      lo[g] = four_entries<Index>(src[g], j, ln);
      hi[g] = four_entries<Index>(src[g], j + 4, ln);
    }
    for (std::size_t c = 0; c < kParams; ++c) {
      double* a = acc + c * kStride + j;
      __m256d x0 = _mm256_loadu_pd(a), x1 = _mm256_loadu_pd(a + 4);
      for (int g = 0; g < G; ++g) {
        const __m256d wc = _mm256_broadcast_sd(&w[g][c]);
        x0 = _mm256_add_pd(x0, _mm256_mul_pd(wc, lo[g]));
        x1 = _mm256_add_pd(x1, _mm256_mul_pd(wc, hi[g]));
      }
      _mm256_storeu_pd(a, x0);
      _mm256_storeu_pd(a + 4, x1);
    }
  }
  for (; j < n; ++j) {
    double y[G];
    for (int g = 0; g < G; ++g) y[g] = ln_entry<Index>(src[g], j, ln);
    for (std::size_t c = 0; c < kParams; ++c) {
      double x = acc[c * kStride + j];
      for (int g = 0; g < G; ++g) x += w[g][c] * y[g];
      acc[c * kStride + j] = x;
    }
  }
  add_stored_baselines<G, Index>(acc, rows, n, value);
}
#endif

// out[j] = the y of add_rows for src[j].
[[gnu::always_inline]] inline void ln_run(const float* src, std::size_t n, double* out, double ln_floor) {
  const std::uint64_t floor_bits = std::bit_cast<std::uint64_t>(ln_floor);
  for (std::size_t j = 0; j < n; ++j) out[j] = ln_signal(src, j, floor_bits);
}

using AddRowsFn = void (*)(double*, const RowInput*, std::size_t, double);
using AddStoredFn = void (*)(double*, const RowInput*, std::size_t, const double*, const float*);
using LnRunFn = void (*)(const float*, std::size_t, double*, double);

// Each kernel in one twin per instruction set; a table of signals must be
// made by the same twin as the float rows it stands in for.
#define TARVIX_FIT_TWINS(suffix, attr, stored_kernel)                                                     \
  template <int G>                                                                                        \
  attr void add_rows_##suffix(double* acc, const RowInput* rows, std::size_t n, double ln_floor) {        \
    add_rows<G>(acc, rows, n, ln_floor);                                                                  \
  }                                                                                                       \
  template <int G, class Index>                                                                           \
  attr void add_stored_##suffix(double* acc, const RowInput* rows, std::size_t n, const double* ln,       \
                                const float* value) {                                                     \
    stored_kernel<G, Index>(acc, rows, n, ln, value);                                                     \
  }                                                                                                       \
  attr void ln_run_##suffix(const float* src, std::size_t n, double* out, double ln_floor) {              \
    ln_run(src, n, out, ln_floor);                                                                        \
  }

TARVIX_FIT_TWINS(base, , add_stored_rows)
#if TARVIX_X86_DISPATCH
TARVIX_FIT_TWINS(avx2, [[gnu::target("avx2,fma")]], add_stored_rows_avx2)
TARVIX_FIT_TWINS(avx512, [[gnu::target("avx512f,avx512dq,avx512vl,avx512bw")]], add_stored_rows)
#endif
#undef TARVIX_FIT_TWINS

// The variants for 1 .. kGroup rows, for the instruction set at hand.
struct AddRowsTable {
  AddRowsFn fn[kGroup];
  AddStoredFn stored8[kGroup];
  AddStoredFn stored16[kGroup];
  LnRunFn ln;
};

#define TARVIX_FIT_TABLE(suffix)                                                                             \
  AddRowsTable {                                                                                             \
    {add_rows_##suffix<1>, add_rows_##suffix<2>, add_rows_##suffix<3>, add_rows_##suffix<4>},                \
        {add_stored_##suffix<1, std::uint8_t>, add_stored_##suffix<2, std::uint8_t>,                         \
         add_stored_##suffix<3, std::uint8_t>, add_stored_##suffix<4, std::uint8_t>},                        \
        {add_stored_##suffix<1, std::uint16_t>, add_stored_##suffix<2, std::uint16_t>,                       \
         add_stored_##suffix<3, std::uint16_t>, add_stored_##suffix<4, std::uint16_t>},                      \
        ln_run_##suffix                                                                                      \
  }

AddRowsTable pick_add_rows() {
#if TARVIX_X86_DISPATCH
  if (have_avx512()) return TARVIX_FIT_TABLE(avx512);
  if (have_avx2()) return TARVIX_FIT_TABLE(avx2);
#endif
  return TARVIX_FIT_TABLE(base);
}
#undef TARVIX_FIT_TABLE

const AddRowsTable& kernels() {
  static const AddRowsTable table = pick_add_rows();
  return table;
}

}  // namespace

void add_row_run(double* acc, const RowInput* rows, std::size_t count, std::size_t n, double ln_floor,
                 const SignalTable* table) {
  const AddRowsTable& k = kernels();
  // Runs of one kind of row, in order, each in groups of up to kGroup.
  for (std::size_t i = 0; i < count;) {
    const bool stored = rows[i].stored != nullptr;
    std::size_t end = i + 1;
    while (end < count && (rows[end].stored != nullptr) == stored) ++end;
    for (std::size_t g; i < end; i += g) {
      g = std::min(kGroup, end - i);
      if (!stored)
        k.fn[g - 1](acc, rows + i, n, ln_floor);
      else if (table->bytes == 1)
        k.stored8[g - 1](acc, rows + i, n, table->ln.data(), table->value.data());
      else
        k.stored16[g - 1](acc, rows + i, n, table->ln.data(), table->value.data());
    }
  }
}

SignalTable make_signal_table(std::size_t bytes_per_voxel, const StoredToFloat& to_float, double ln_floor) {
  SignalTable t;
  if (bytes_per_voxel != 1 && bytes_per_voxel != 2) return t;
  const std::size_t patterns = std::size_t{1} << (8 * bytes_per_voxel);
  std::vector<unsigned char> stored(patterns * bytes_per_voxel);
  for (std::size_t i = 0; i < patterns; ++i) {
    if (bytes_per_voxel == 1) {
      stored[i] = static_cast<unsigned char>(i);
    } else {
      const auto v = static_cast<std::uint16_t>(i);
      std::memcpy(stored.data() + 2 * i, &v, 2);  // in this machine's byte order, as the reader hands them
    }
  }
  t.value.resize(patterns);
  to_float(stored.data(), patterns, t.value.data());
  t.ln.resize(patterns);
  kernels().ln(t.value.data(), patterns, t.ln.data(), ln_floor);
  t.bytes = bytes_per_voxel;
  return t;
}

namespace {

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
  // Thin U: a full one is n x n, 800 MB for a 10,000-volume table.
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
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

}  // namespace

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
    // Row 0 of the pseudo-inverse, the log-baseline, is left out: nothing reads it.
    for (std::size_t c = 0; c < kParams; ++c)
      s.w[c] = pinv(static_cast<Eigen::Index>(c + 1), static_cast<Eigen::Index>(r));
    // The baseline runs over the b=0 rows, or over the shell rows without any.
    s.base = b0_row || b0_indices.empty();
  }
  std::stable_sort(design.rows.begin(), design.rows.end(),
                   [](const DesignRow& a, const DesignRow& b) { return a.volume < b.volume; });
  design.base_count = static_cast<double>(b0_indices.empty() ? n : b0_indices.size());
  design.min_s0 = min_s0;
  design.ln_floor = libm::log(kMinSignal);
  return design;
}

TensorField empty_field(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, bool directions) {
  const std::uint64_t grid = nx * ny * nz;
  TensorField field;
  field.shape = {nx, ny, nz};
  if (directions) field.v1.assign(grid, Vec3{0, 0, 0});
  field.fa.assign(grid, 0.0);
  field.s0.assign(grid, 0.0);
  field.valid.assign(grid, 0);
  return field;
}

void finish_block(const FitDesign& design, const double* acc, std::uint64_t start, std::size_t n, TensorField& field,
                  FinishScratch& scratch, EigenPick pick, double* v1_in) {
  const std::uint64_t nx = field.shape[0], ny = field.shape[1], nz = field.shape[2];
  std::uint64_t x = start % nx, yy = (start / nx) % ny, z = start / (nx * ny);
  std::size_t fitted = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint64_t t = (x * ny + yy) * nz + z;
    const double s0 = acc[kBaseRow * kStride + j] / design.base_count;
    field.s0[t] = s0;
    if (!(design.min_s0 > s0) && pick.takes(s0)) {
      scratch.at[fitted] = static_cast<std::uint32_t>(j);
      scratch.slot[fitted] = t;
      scratch.setup[fitted] = eigen_setup(acc[0 * kStride + j], acc[1 * kStride + j], acc[2 * kStride + j],
                                          acc[3 * kStride + j], acc[4 * kStride + j], acc[5 * kStride + j]);
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
    scratch.cos_theta[i] = libm::cos(theta);
    scratch.sin_theta[i] = libm::sin(theta);
  }
  // principal() takes the parameters at their places in the design, the
  // unused log-baseline at 0.
  double p[7] = {};
  for (std::size_t i = 0; i < fitted; ++i) {
    const std::size_t j = scratch.at[i];
    for (std::size_t c = 0; c < kParams; ++c) p[c + 1] = acc[c * kStride + j];
    const PrincipalFit e = principal(p, eigen_finish(scratch.setup[i], scratch.cos_theta[i], scratch.sin_theta[i]));
    const std::uint64_t t = scratch.slot[i];
    if (v1_in)
      for (std::size_t c = 0; c < 3; ++c) v1_in[c * kStride + j] = e.v1[c];
    else
      field.v1[t] = e.v1;
    field.fa[t] = e.fa;
    field.valid[t] = e.valid ? 1 : 0;
  }
}

}  // namespace tarvix::fit

