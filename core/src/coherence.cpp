#include "coherence.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "cpu_features.hpp"

namespace tarvix {
namespace {

constexpr double kMinLength = 1e-9;

inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// floor as a signed integer: NaN becomes 0, values beyond the range saturate.
inline std::int64_t floor_index(double f) {
  if (std::isnan(f)) return 0;
  if (f >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (f < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

// Integer part and fraction of one coordinate. The cast path avoids a libm
// call for every coordinate on targets without a rounding instruction.
inline void split(double p, std::int64_t& base, double& frac) {
  if (std::abs(p) < 4.0e15) {
    std::int64_t i = static_cast<std::int64_t>(p);
    if (static_cast<double>(i) > p) --i;
    base = i;
    frac = p - static_cast<double>(i);
  } else {
    const double f = std::floor(p);
    base = floor_index(f);
    frac = p - f;
  }
}

// Corner c = base + d lies inside [0, size) without forming base + d, which
// could overflow for a saturated base.
inline bool corner_inside(std::int64_t base, int d, std::uint64_t size) {
  return base >= -d && base < static_cast<std::int64_t>(size) - d;
}

inline bool finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

struct Accum {
  Vec3 acc{0, 0, 0};
  double wsum = 0;
};

// Sign-aligned trilinear accumulation over the eight corners, in the order dx,
// dy, dz (outer to inner), with every bounds check; usable(t) tells whether voxel
// t may be a corner. Eigenvector signs are arbitrary, so each corner is flipped
// to agree with the reference.
template <class Field, class Usable>
Accum accumulate_checked(const std::int64_t base[3], const double frac[3], const std::array<std::uint64_t, 3>& shape,
                         Field&& field, Usable&& usable, const Vec3& reference) {
  Accum a;
  for (int dx = 0; dx < 2; ++dx) {
    if (!corner_inside(base[0], dx, shape[0])) continue;
    const double wx = dx ? frac[0] : 1 - frac[0];
    for (int dy = 0; dy < 2; ++dy) {
      if (!corner_inside(base[1], dy, shape[1])) continue;
      const double wy = dy ? frac[1] : 1 - frac[1];
      const std::uint64_t row =
          (static_cast<std::uint64_t>(base[0] + dx) * shape[1] + static_cast<std::uint64_t>(base[1] + dy)) * shape[2];
      for (int dz = 0; dz < 2; ++dz) {
        if (!corner_inside(base[2], dz, shape[2])) continue;
        const double w = wx * wy * (dz ? frac[2] : 1 - frac[2]);
        // Also skips a NaN weight (a non-finite point), which would otherwise
        // poison the whole sum.
        if (!(w > 0)) continue;
        const std::uint64_t t = row + static_cast<std::uint64_t>(base[2] + dz);
        if (!usable(t)) continue;
        const Vec3 r = field(t);
        const double sw = w * (1.0 - 2.0 * static_cast<double>(dot(reference, r) < 0));
        a.acc[0] += sw * r[0];
        a.acc[1] += sw * r[1];
        a.acc[2] += sw * r[2];
        a.wsum += w;
      }
    }
  }
  return a;
}

// Unit direction of the accumulated corners, or nothing.
std::optional<Vec3> finish(const Accum& a) {
  if (!(a.wsum > 0)) return std::nullopt;
  const Vec3 m{a.acc[0] / a.wsum, a.acc[1] / a.wsum, a.acc[2] / a.wsum};
  const double len = norm(m);
  if (len < kMinLength) return std::nullopt;
  return Vec3{m[0] / len, m[1] / len, m[2] / len};
}

// |unit(m) . u| of a finished sample; false when it has no result. m = acc / wsum
// only rescales acc, so the length test and the score are taken on acc directly.
inline bool score_of(const Accum& a, const Vec3& u, double& score) {
  if (!(a.wsum > 0)) return false;
  const double len = norm(a.acc);
  if (len < kMinLength * a.wsum) return false;
  score = std::abs(dot(a.acc, u)) / len;
  return true;
}

// The shared read-only inputs of one tally.
struct Grid {
  std::array<std::uint64_t, 3> shape;
  const CoherenceCell* cells;  // cells[0] is all zeros
  const std::uint32_t* slot;   // per voxel: its cell
  std::size_t n_slots;
  bool interior_ok;  // the slots cover the grid, unusable cells are finite
  bool avx2;

  const CoherenceCell& cell(std::uint64_t t) const { return cells[slot[t]]; }
  Vec3 direction(std::uint64_t t) const { return {cell(t).x, cell(t).y, cell(t).z}; }
  // With the bounds check, for the checked path.
  bool corner_ok(std::uint64_t t) const { return t < n_slots && cell(t).usable != 0; }
};

#if TARVIX_X86_DISPATCH
// Four samples side by side, one per vector lane. Every lane runs the same
// operations in the same order as accumulate_checked does for an interior
// point, so the lanes give bit-for-bit the sums of the scalar path. A corner
// that is unusable (or has zero weight) is multiplied by a zero weight and adds
// exactly nothing, so no corner needs a branch. Samples near the border (or at
// a non-finite point) take the checked path instead.
using v4d = double __attribute__((vector_size(32)));

using v4i = std::int64_t __attribute__((vector_size(32)));

// Lane shuffle of two vectors, indices 0-3 from a and 4-7 from b. GCC 12 and
// clang both have __builtin_shufflevector; older GCC only has its own
// __builtin_shuffle, which clang rejects.
#if defined(__has_builtin)
#if __has_builtin(__builtin_shufflevector)
#define TARVIX_SHUFFLE4(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#endif
#endif
#ifndef TARVIX_SHUFFLE4
#define TARVIX_SHUFFLE4(a, b, i, j, k, l) __builtin_shuffle(a, b, v4i{i, j, k, l})
#endif

[[gnu::always_inline]] inline void load_cell(const CoherenceCell& c, v4d& v) { std::memcpy(&v, &c, sizeof v); }

// Scores up to four samples; hit[k] and score[k] receive each one's result.
// A corner of the four lanes is four whole cells, transposed into lanes.
[[gnu::always_inline]] inline void score_batch_impl(const Grid& g, const Vec3* points, const Vec3* refs, int n,
                                                    bool* hit, double* score) {
  std::int64_t base[4][3];
  double frac[4][3];
  double on[4], fr[3][4], ref[3][4];  // per lane; zero for lanes off the interior path
  std::uint64_t t0[4];
  bool any_interior = false;
  for (int k = 0; k < 4; ++k) {
    bool interior = k < n && g.interior_ok;
    for (int a = 0; a < 3; ++a) {
      if (k < n) {
        split(points[k][a], base[k][a], frac[k][a]);
        interior = interior && !std::isnan(points[k][a]) && base[k][a] >= 0 &&
                   base[k][a] < static_cast<std::int64_t>(g.shape[a]) - 1;
      }
      ref[a][k] = k < n ? refs[k][a] : 0.0;
    }
    on[k] = interior ? 1.0 : 0.0;
    t0[k] = 0;
    for (int a = 0; a < 3; ++a) fr[a][k] = interior ? frac[k][a] : 0.0;
    if (interior) {
      t0[k] = (static_cast<std::uint64_t>(base[k][0]) * g.shape[1] + static_cast<std::uint64_t>(base[k][1])) *
                  g.shape[2] +
              static_cast<std::uint64_t>(base[k][2]);
      any_interior = true;
    }
  }
  v4d ax = {0, 0, 0, 0}, ay = ax, az = ax, ws = ax;
  if (any_interior) {
    const v4d plus = {1, 1, 1, 1}, minus = {-1, -1, -1, -1};
    const v4d mask = {on[0], on[1], on[2], on[3]};
    v4d w[3][2], r[3];
    for (int a = 0; a < 3; ++a) {
      const v4d f = {fr[a][0], fr[a][1], fr[a][2], fr[a][3]};
      w[a][0] = (1 - f) * mask;
      w[a][1] = f * mask;
      r[a] = v4d{ref[a][0], ref[a][1], ref[a][2], ref[a][3]};
    }
    const std::uint64_t ny = g.shape[1], nz = g.shape[2];
    for (int dx = 0; dx < 2; ++dx) {
      for (int dy = 0; dy < 2; ++dy) {
        const v4d wxy = w[0][dx] * w[1][dy];
        const std::uint64_t row = (dx * ny + dy) * nz;
        for (int dz = 0; dz < 2; ++dz) {
          v4d r0, r1, r2, r3;
          load_cell(g.cell(t0[0] + row + dz), r0);
          load_cell(g.cell(t0[1] + row + dz), r1);
          load_cell(g.cell(t0[2] + row + dz), r2);
          load_cell(g.cell(t0[3] + row + dz), r3);
          const v4d xz01 = TARVIX_SHUFFLE4(r0, r1, 0, 4, 2, 6), yu01 = TARVIX_SHUFFLE4(r0, r1, 1, 5, 3, 7);
          const v4d xz23 = TARVIX_SHUFFLE4(r2, r3, 0, 4, 2, 6), yu23 = TARVIX_SHUFFLE4(r2, r3, 1, 5, 3, 7);
          const v4d cx = TARVIX_SHUFFLE4(xz01, xz23, 0, 1, 4, 5);
          const v4d cz = TARVIX_SHUFFLE4(xz01, xz23, 2, 3, 6, 7);
          const v4d cy = TARVIX_SHUFFLE4(yu01, yu23, 0, 1, 4, 5);
          const v4d ok = TARVIX_SHUFFLE4(yu01, yu23, 2, 3, 6, 7);
          const v4d wc = wxy * w[2][dz] * ok;
          const v4d d = r[0] * cx + r[1] * cy + r[2] * cz;
          const v4d sw = wc * (d < 0 ? minus : plus);
          ax += sw * cx;
          ay += sw * cy;
          az += sw * cz;
          ws += wc;
        }
      }
    }
  }
  for (int k = 0; k < n; ++k) {
    Accum a;
    if (on[k] != 0) {
      a.acc = {ax[k], ay[k], az[k]};
      a.wsum = ws[k];
    } else {
      a = accumulate_checked(
          base[k], frac[k], g.shape, [&](std::uint64_t t) { return g.direction(t); },
          [&](std::uint64_t t) { return g.corner_ok(t); }, refs[k]);
    }
    hit[k] = score_of(a, refs[k], score[k]);
  }
}

[[gnu::target("avx2")]] void score_batch_avx2(const Grid& g, const Vec3* points, const Vec3* refs, int n, bool* hit,
                                              double* score) {
  score_batch_impl(g, points, refs, n, hit, score);
}
#endif

// Without wide vectors, the lanes would be split into pairs and shuffled
// through memory; one sample at a time is faster there. Same operations, same
// order, so the same sums.
void score_batch_base(const Grid& g, const Vec3* points, const Vec3* refs, int n, bool* hit, double* score) {
  for (int k = 0; k < n; ++k) {
    std::int64_t base[3];
    double frac[3];
    bool interior = g.interior_ok;
    for (int a = 0; a < 3; ++a) {
      split(points[k][a], base[a], frac[a]);
      interior = interior && !std::isnan(points[k][a]) && base[a] >= 0 &&
                 base[a] < static_cast<std::int64_t>(g.shape[a]) - 1;
    }
    Accum acc;
    if (interior) {
      const std::uint64_t ny = g.shape[1], nz = g.shape[2];
      const std::uint64_t t0 =
          (static_cast<std::uint64_t>(base[0]) * ny + static_cast<std::uint64_t>(base[1])) * nz +
          static_cast<std::uint64_t>(base[2]);
      const Vec3& u = refs[k];
      for (int dx = 0; dx < 2; ++dx) {
        const double wx = dx ? frac[0] : 1 - frac[0];
        for (int dy = 0; dy < 2; ++dy) {
          const double wy = dy ? frac[1] : 1 - frac[1];
          const std::uint64_t row = t0 + (dx * ny + dy) * nz;
          for (int dz = 0; dz < 2; ++dz) {
            const double w = wx * wy * (dz ? frac[2] : 1 - frac[2]) * g.cell(row + dz).usable;
            const Vec3 r = g.direction(row + dz);
            const double sw = w * (1.0 - 2.0 * static_cast<double>(dot(u, r) < 0));
            acc.acc[0] += sw * r[0];
            acc.acc[1] += sw * r[1];
            acc.acc[2] += sw * r[2];
            acc.wsum += w;
          }
        }
      }
    } else {
      acc = accumulate_checked(
          base, frac, g.shape, [&](std::uint64_t t) { return g.direction(t); },
          [&](std::uint64_t t) { return g.corner_ok(t); }, refs[k]);
    }
    hit[k] = score_of(acc, refs[k], score[k]);
  }
}

inline void score_batch(const Grid& g, const Vec3* points, const Vec3* refs, int n, bool* hit, double* score) {
#if TARVIX_X86_DISPATCH
  if (g.avx2) return score_batch_avx2(g, points, refs, n, hit, score);
#endif
  score_batch_base(g, points, refs, n, hit, score);
}

// Both samples of every white-matter voxel, folded in index order within each
// range. Samples are queued four at a time for the lanes; the fold order is
// unchanged by the batching. The ranges and the order in which their tallies
// are joined depend only on the voxel count, never on the thread count, so a
// report is byte-identical however many threads ran it.
CoherenceTally tally(const Grid& g, const std::vector<std::uint64_t>& wm_indices, double step) {
  constexpr std::size_t kGrain = 1024;
  const std::uint64_t ny = g.shape[1], nz = g.shape[2];
  return tbb::parallel_deterministic_reduce(
      tbb::blocked_range<std::size_t>(0, wm_indices.size(), kGrain), CoherenceTally{},
      [&](const tbb::blocked_range<std::size_t>& r, CoherenceTally acc) {
        Vec3 points[4], refs[4];
        bool hit[4];
        double score[4];
        int queued = 0;
        auto flush = [&] {
          score_batch(g, points, refs, queued, hit, score);
          for (int k = 0; k < queued; ++k)
            if (hit[k]) {
              acc.sum += score[k];
              ++acc.valid;
            }
          queued = 0;
        };
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
          const std::uint64_t t = wm_indices[i];
          const Vec3 u = g.direction(t);
          if (norm(u) < kMinLength) continue;
          const Vec3 p{static_cast<double>(t / (ny * nz)), static_cast<double>((t / nz) % ny),
                       static_cast<double>(t % nz)};
          acc.attempted += 2;
          points[queued] = {p[0] + step * u[0], p[1] + step * u[1], p[2] + step * u[2]};
          refs[queued++] = u;
          points[queued] = {p[0] - step * u[0], p[1] - step * u[1], p[2] - step * u[2]};
          refs[queued++] = u;
          if (queued == 4) flush();
        }
        if (queued) flush();
        return acc;
      },
      [](CoherenceTally a, const CoherenceTally& b) {
        a.sum += b.sum;
        a.valid += b.valid;
        a.attempted += b.attempted;
        return a;
      },
      tbb::simple_partitioner());
}

template <class Alloc>
Grid make_grid(const std::vector<CoherenceCell>& cells, const std::vector<std::uint32_t, Alloc>& slot,
               const std::array<std::uint64_t, 3>& shape, bool clean) {
  return {shape, cells.data(), slot.data(), slot.size(), clean && slot.size() >= shape[0] * shape[1] * shape[2],
          have_avx2()};
}

// The slot of every voxel for a WM list: 1 + its place (the last, for a voxel
// listed twice), 0 elsewhere.
template <class Alloc>
void make_slots(std::vector<std::uint32_t, Alloc>& slot, std::size_t grid, const std::vector<std::uint64_t>& wm) {
  slot.assign(grid, 0);
  for (std::size_t i = 0; i < wm.size(); ++i)
    if (wm[i] < grid) slot[wm[i]] = static_cast<std::uint32_t>(i + 1);
}

CoherenceScore to_score(const CoherenceTally& t) {
  if (t.attempted == 0) return {};
  return {t.sum / static_cast<double>(t.attempted), t.valid};
}

}  // namespace

std::optional<Vec3> sample(const std::array<std::uint64_t, 3>& shape, const std::vector<Vec3>& field,
                           const Mask& mask, const Vec3& point, const Vec3& reference) {
  std::int64_t base[3];
  double frac[3];
  for (int a = 0; a < 3; ++a) split(point[a], base[a], frac[a]);
  auto usable = [&](std::uint64_t t) {
    return t < mask.size() && t < field.size() && mask[t] && !(norm(field[t]) < kMinLength);
  };
  return finish(accumulate_checked(
      base, frac, shape, [&](std::uint64_t t) { return field[t]; }, usable, reference));
}

// The cell of direction u: a corner when it lies in the mask and has a
// direction. `clean` turns false when an unusable cell is not finite, which
// the unchecked interior path cannot take (it multiplies them by a zero weight).
inline CoherenceCell cell_of(const Vec3& u, bool in_mask, bool& clean) {
  const bool usable = in_mask && !(norm(u) < kMinLength);
  if (!usable) clean = clean && finite(u);
  return {u[0], u[1], u[2], usable ? 1.0 : 0.0};
}

CoherenceTally coherence_sum(const std::vector<Vec3>& field, const std::vector<std::uint64_t>& wm_indices,
                             const Mask& mask, const std::array<std::uint64_t, 3>& shape, double step) {
  // Every voxel of the mask can be a corner here; the others read as zeros.
  std::vector<std::uint64_t> corners;
  for (std::size_t t = 0; t < field.size() && t < mask.size(); ++t)
    if (mask[t]) corners.push_back(t);
  std::vector<std::uint32_t> slot;
  make_slots(slot, field.size(), corners);
  std::vector<CoherenceCell> cells(corners.size() + 1, CoherenceCell{0, 0, 0, 0});
  bool clean = true;
  for (std::size_t i = 0; i < corners.size(); ++i) cells[i + 1] = cell_of(field[corners[i]], true, clean);
  return tally(make_grid(cells, slot, shape, clean), wm_indices, step);
}

void prepare_workspace(CoherenceWorkspace& ws, std::size_t grid, const std::vector<std::uint64_t>& wm_indices) {
  make_slots(ws.slot, grid, wm_indices);
  ws.slot_list = wm_indices.data();
  ws.slot_count = wm_indices.size();
}

CoherenceScore candidate_coherence(const TensorField& field, const Mask& mask,
                                   const std::vector<std::uint64_t>& wm_indices, const Mat3& m,
                                   const Mat3& frame_map, double step, CoherenceWorkspace& ws) {
  const std::size_t grid = field.v1.size();
  if (ws.slot.size() != grid || ws.slot_list != wm_indices.data() || ws.slot_count != wm_indices.size())
    prepare_workspace(ws, grid, wm_indices);
  std::vector<CoherenceCell> cells;
  return candidate_coherence(field, mask, wm_indices, m, frame_map, step, std::as_const(ws), cells);
}

CoherenceScore candidate_coherence(const TensorField& field, const Mask& mask,
                                   const std::vector<std::uint64_t>& wm_indices, const Mat3& m,
                                   const Mat3& frame_map, double step, const CoherenceWorkspace& ws,
                                   std::vector<CoherenceCell>& cells) {
  cells.assign(wm_indices.size() + 1, CoherenceCell{0, 0, 0, 0});
  const Mat3 a = mul(frame_map, m);
  bool clean = true;
  for (std::size_t i = 0; i < wm_indices.size(); ++i) {
    const std::uint64_t t = wm_indices[i];
    const Vec3& v = field.v1[t];
    const Vec3 u = norm(v) < kMinLength ? v : mul(a, v);
    cells[i + 1] = cell_of(u, t < mask.size() && mask[t], clean);
  }
  return to_score(tally(make_grid(cells, ws.slot, field.shape, clean), wm_indices, step));
}

}  // namespace tarvix
