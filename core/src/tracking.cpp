#include "tracking.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "error.hpp"
#include "libm.hpp"
#include "flip.hpp"
#include "format.hpp"

namespace tarvix {
namespace {

using Vec3f = std::array<float, 3>;

constexpr double kMinLength = 1e-9;
// Seeds per task. A task tracks its seeds under every candidate in turn, so
// the voxels around them are still in cache for the next candidate: this
// order took a third off the time of tracking each candidate over all seeds.
constexpr std::size_t kSeedsPerTask = 32;

inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline bool any_set(const Mask& m) {
  return std::any_of(m.begin(), m.end(), [](std::uint8_t b) { return b != 0; });
}

// floor of a grid coordinate. Points stay within half a voxel of the grid
// (a step from a point inside), so the cast is exact and saves a library call
// per coordinate on targets without a rounding instruction.
inline std::int64_t floor_coord(double p) {
  if (!(std::abs(p) < 1e15)) return std::isnan(p) ? 0 : (p < 0 ? -1 : std::numeric_limits<std::int32_t>::max());
  std::int64_t i = static_cast<std::int64_t>(p);
  return static_cast<double>(i) > p ? i - 1 : i;
}

inline void add_corner(Vec3& acc, const Vec3f& c, double w, const Vec3& reference) {
  const Vec3 v{c[0], c[1], c[2]};
  const double sw = dot(reference, v) < 0 ? -w : w;
  acc[0] += sw * v[0];
  acc[1] += sw * v[1];
  acc[2] += sw * v[2];
}

// Sign-aligned trilinear direction at p (voxel coordinates), in the table
// frame, unnormalised. Corners outside the grid or not trackable (zero vector)
// add nothing; since only the direction is used, their weight need not be
// taken out. Eigenvector signs are arbitrary, so each corner is flipped to
// agree with the reference first.
Vec3 interpolate(const TrackingGeometry& g, const Vec3f* field, const Vec3& p, const Vec3& reference) {
  std::int64_t base[3];
  double frac[3];
  bool interior = true;
  for (int a = 0; a < 3; ++a) {
    base[a] = floor_coord(p[a]);
    frac[a] = p[a] - static_cast<double>(base[a]);
    interior = interior && base[a] >= 0 && base[a] + 1 < static_cast<std::int64_t>(g.shape[a]);
  }
  Vec3 acc{0, 0, 0};
  const std::uint64_t ny = g.shape[1], nz = g.shape[2];
  if (interior) {
    const std::uint64_t t0 =
        (static_cast<std::uint64_t>(base[0]) * ny + static_cast<std::uint64_t>(base[1])) * nz +
        static_cast<std::uint64_t>(base[2]);
    for (int dx = 0; dx < 2; ++dx) {
      const double wx = dx ? frac[0] : 1 - frac[0];
      for (int dy = 0; dy < 2; ++dy) {
        const double wxy = wx * (dy ? frac[1] : 1 - frac[1]);
        const Vec3f* row = field + t0 + (dx * ny + dy) * nz;
        add_corner(acc, row[0], wxy * (1 - frac[2]), reference);
        add_corner(acc, row[1], wxy * frac[2], reference);
      }
    }
    return acc;
  }
  const auto inside = [&](std::int64_t c, int a) { return c >= 0 && c < static_cast<std::int64_t>(g.shape[a]); };
  for (int dx = 0; dx < 2; ++dx) {
    const std::int64_t x = base[0] + dx;
    if (!inside(x, 0)) continue;
    const double wx = dx ? frac[0] : 1 - frac[0];
    for (int dy = 0; dy < 2; ++dy) {
      const std::int64_t y = base[1] + dy;
      if (!inside(y, 1)) continue;
      const double wxy = wx * (dy ? frac[1] : 1 - frac[1]);
      const std::uint64_t row = (static_cast<std::uint64_t>(x) * ny + static_cast<std::uint64_t>(y)) * nz;
      for (int dz = 0; dz < 2; ++dz) {
        const std::int64_t z = base[2] + dz;
        if (inside(z, 2)) add_corner(acc, field[row + static_cast<std::uint64_t>(z)], wxy * (dz ? frac[2] : 1 - frac[2]), reference);
      }
    }
  }
  return acc;
}

// Grid index of the voxel nearest to p, or false when that voxel is outside.
inline bool nearest_voxel(const TrackingGeometry& g, const Vec3& p, std::uint64_t& t) {
  std::uint64_t i[3];
  for (int a = 0; a < 3; ++a) {
    const std::int64_t r = floor_coord(p[a] + 0.5);
    if (r < 0 || r >= static_cast<std::int64_t>(g.shape[a])) return false;
    i[a] = static_cast<std::uint64_t>(r);
  }
  t = (i[0] * g.shape[1] + i[1]) * g.shape[2] + i[2];
  return true;
}

inline bool trackable_at(const Vec3f& v) { return v[0] != 0 || v[1] != 0 || v[2] != 0; }

// Euler steps from p along d (unit, voxel axes) until the field gives no
// direction, turns too sharply, or the next point's voxel is off the grid or
// not trackable. Directions are interpolated in the table frame against the
// reference at = a^T d: (a^T d) . v = d . (a v), so the signs chosen are those
// of aligning the mapped corners, and the mapped sum is a times the sum.
// Returns the number of steps taken; visit(p) sees every point reached.
template <class Visit>
std::uint64_t grow(const TrackingGeometry& g, const Vec3f* field, const Mat3& a, const Mat3& at, Vec3 p, Vec3 d,
                   Visit&& visit) {
  std::uint64_t steps = 0;
  while (steps < g.max_steps) {
    const Vec3 u = mul(a, interpolate(g, field, p, mul(at, d)));
    const double len = norm(u);
    if (!(len > kMinLength)) break;
    const Vec3 e{u[0] / len, u[1] / len, u[2] / len};
    if (dot(e, d) < g.cos_max_angle) break;
    const Vec3 q{p[0] + g.step_mm * e[0] * g.step_voxels[0], p[1] + g.step_mm * e[1] * g.step_voxels[1],
                 p[2] + g.step_mm * e[2] * g.step_voxels[2]};
    std::uint64_t t = 0;
    if (!nearest_voxel(g, q, t) || !trackable_at(field[t])) break;
    p = q;
    d = e;
    ++steps;
    visit(p);
  }
  return steps;
}

Vec3 voxel_centre(const TrackingGeometry& g, std::uint64_t t) {
  const std::uint64_t nz = g.shape[2], nyz = g.shape[1] * nz;
  return {static_cast<double>(t / nyz), static_cast<double>((t / nz) % g.shape[1]), static_cast<double>(t % nz)};
}

// The seed's own direction under a, or nothing for a degenerate map.
std::optional<Vec3> seed_direction(const Vec3f& v, const Mat3& a) {
  const Vec3 u = mul(a, Vec3{v[0], v[1], v[2]});
  const double len = norm(u);
  if (!(len > kMinLength)) return std::nullopt;
  return Vec3{u[0] / len, u[1] / len, u[2] / len};
}

// Whole streamline length in mm (both halves) from seed t under map a.
double streamline_mm(const TrackingGeometry& g, const Vec3f* field, const Mat3& a, const Mat3& at, std::uint64_t t) {
  const std::optional<Vec3> d = seed_direction(field[t], a);
  if (!d) return 0.0;
  const Vec3 p = voxel_centre(g, t);
  const Vec3 back{-(*d)[0], -(*d)[1], -(*d)[2]};
  const auto none = [](const Vec3&) {};
  const std::uint64_t steps = grow(g, field, a, at, p, *d, none) + grow(g, field, a, at, p, back, none);
  return static_cast<double>(steps) * g.step_mm;
}

// The order the grid is walked in to spread seeds: along the world's axes,
// each by the voxel axis nearest to it, in the direction it points. The same
// image stored in another axis order (LAS or RAS, transposed) is walked
// through the same voxels in the same order, so it gets the same seeds and
// the same seed subsets.
struct Walk {
  std::array<int, 3> axis{0, 1, 2};  // the voxel axis walked for world axis w
  std::array<bool, 3> reversed{};
};

Walk world_walk(const Mat3& axes_to_world) {
  // Of the six assignments of voxel axes to world axes, the one the axes lie
  // closest to; a tie (45 degrees) goes to the first listed.
  std::array<int, 3> p{0, 1, 2}, best = p;
  double best_sum = -1;
  do {
    double sum = 0;
    for (int w = 0; w < 3; ++w) sum += std::abs(axes_to_world[p[w]][w]);
    if (sum > best_sum + 1e-12) best_sum = sum, best = p;
  } while (std::next_permutation(p.begin(), p.end()));
  Walk walk;
  walk.axis = best;
  for (int w = 0; w < 3; ++w) walk.reversed[w] = axes_to_world[best[w]][w] < 0;
  return walk;
}

// Seeds evenly spread over the trackable voxels in the walk's order; every
// one of them when there are no more than asked for.
std::vector<std::uint64_t> pick_seeds(const Mask& trackable, const std::array<std::uint64_t, 3>& shape,
                                      const Mat3& axes_to_world, std::uint64_t wanted) {
  const Walk walk = world_walk(axes_to_world);
  std::array<std::uint64_t, 3> stride{shape[1] * shape[2], shape[2], 1};
  std::vector<std::uint64_t> all;
  if (trackable.size() != shape[0] * shape[1] * shape[2]) return all;
  const auto n = [&](int w) { return shape[walk.axis[w]]; };
  const auto at = [&](int w, std::uint64_t k) {
    return (walk.reversed[w] ? n(w) - 1 - k : k) * stride[walk.axis[w]];
  };
  for (std::uint64_t a = 0; a < n(0); ++a)
    for (std::uint64_t b = 0; b < n(1); ++b) {
      const std::uint64_t ab = at(0, a) + at(1, b);
      for (std::uint64_t c = 0; c < n(2); ++c) {
        const std::uint64_t t = ab + at(2, c);
        if (trackable[t]) all.push_back(t);
      }
    }
  if (all.size() <= wanted) return all;
  std::vector<std::uint64_t> seeds(wanted);
  const double step = static_cast<double>(all.size()) / static_cast<double>(wanted);
  for (std::uint64_t j = 0; j < wanted; ++j)
    seeds[j] = all[static_cast<std::size_t>((static_cast<double>(j) + 0.5) * step)];
  return seeds;
}

// One entry per {M, -M} pair, in the order all_candidates() lists the pairs,
// named by the one of the two with fewer sign flips: that is the transform
// recommended and applied, so a z flip reads and repairs as "+x+y-z".
std::vector<Candidate> distinct_candidates() {
  std::vector<Candidate> out;
  for (const Candidate& c : all_candidates()) {
    const auto same_pair = [&](const Candidate& o) { return antipodal_or_equal(o.matrix, c.matrix); };
    if (std::any_of(out.begin(), out.end(), same_pair)) continue;
    const Mat3 m = canonical_transform(c.matrix);
    out.push_back({transform_label(m), m, m == identity3()});
  }
  return out;
}

// A candidate as scored: its matrix in the table's frame and, for a reading
// of the other frame, that frame's name and the permutation under it.
struct Reading {
  Candidate candidate;
  std::optional<std::string> frame;
  Mat3 axes{};
};

std::vector<Reading> readings(const std::optional<OtherFrame>& other, bool with_other) {
  std::vector<Reading> out;
  for (Candidate& c : distinct_candidates()) {
    const Mat3 axes = c.matrix;
    out.push_back({std::move(c), std::nullopt, axes});
  }
  if (!other || !with_other) return out;
  const std::size_t declared = out.size();
  for (std::size_t k = 0; k < declared; ++k) {
    // The permutation is applied first, in the table's frame as written,
    // and its canonical sign makes the reading's name the permutation's.
    const Mat3 axes = out[k].axes;
    Candidate c{frame_transform_label(other->label, axes), mul(other->correction, axes), false};
    out.push_back({std::move(c), other->label, axes});
  }
  return out;
}

// For each reading, the index (among the declared frame's readings, which
// come first, one per class) of the signed permutation nearest to it.
std::vector<std::size_t> axis_classes(const std::vector<Reading>& readings) {
  std::size_t declared = 0;
  while (declared < readings.size() && !readings[declared].frame) ++declared;
  std::vector<std::size_t> out(readings.size());
  for (std::size_t c = 0; c < readings.size(); ++c) {
    if (c < declared) {
      out[c] = c;
      continue;
    }
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < declared; ++k) {
      const double a = angle_between_deg(readings[c].candidate.matrix, readings[k].candidate.matrix);
      if (a < nearest) nearest = a, out[c] = k;
    }
  }
  return out;
}

// Streamline lengths from one set of seeds under any list of readings.
struct SeedTracker {
  const TrackingGeometry& g;
  const std::vector<Vec3f>& field;
  const std::vector<std::uint64_t>& seeds;
  const Mat3& frame_map;

  // One length per (reading, seed), reading-major, each written by exactly
  // one task, so the means do not depend on how the tasks were shared out.
  std::vector<double> lengths(const std::vector<Mat3>& readings, Execution& exec) const {
    const std::size_t n = seeds.size(), nc = readings.size();
    const std::size_t chunks = (n + kSeedsPerTask - 1) / kSeedsPerTask;
    std::vector<double> out(nc * n, 0.0);
    std::vector<Mat3> maps(nc), maps_t(nc);
    for (std::size_t c = 0; c < nc; ++c) {
      maps[c] = mul(frame_map, readings[c]);
      maps_t[c] = transpose(maps[c]);
    }
    exec.run([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunks), [&](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t task = r.begin(); task != r.end(); ++task) {
          const std::size_t first = task * kSeedsPerTask, last = std::min(n, first + kSeedsPerTask);
          for (std::size_t c = 0; c < nc; ++c)
            for (std::size_t j = first; j < last; ++j)
              out[c * n + j] = streamline_mm(g, field.data(), maps[c], maps_t[c], seeds[j]);
        }
      });
    });
    return out;
  }
};

// The paired comparison of two readings over the same seeds (a rejected
// streamline counting as 0, as in the score): the mean per-seed gain of `a`
// over `b` in standard errors, and as a share of b's mean.
struct Paired {
  double mean = 0, standard_error = 0, gain = 0;
  bool clear(double t, const TrackingOptions& o) const {
    return mean > 0 && mean >= t * standard_error && gain >= o.frame_min_gain;
  }
};

Paired paired(const double* a, const double* b, std::size_t n, const TrackingOptions& o) {
  const auto kept = [&](double v) { return v > 0 && v >= o.min_length_mm ? v : 0.0; };
  Paired p;
  if (n < 2) return p;
  double sum = 0, base = 0;
  for (std::size_t j = 0; j < n; ++j) {
    sum += kept(a[j]) - kept(b[j]);
    base += kept(b[j]);
  }
  p.mean = sum / static_cast<double>(n);
  double ss = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double d = kept(a[j]) - kept(b[j]) - p.mean;
    ss += d * d;
  }
  p.standard_error = std::sqrt(ss / static_cast<double>(n - 1) / static_cast<double>(n));
  p.gain = base > 0 ? p.mean / (base / static_cast<double>(n)) : 0.0;
  return p;
}

// Rotation about the unit axis u by the angle of cosine c and sine s.
Mat3 rotation_about(const Vec3& u, double c, double s) {
  const double t = 1 - c;
  return {{{t * u[0] * u[0] + c, t * u[0] * u[1] - s * u[2], t * u[0] * u[2] + s * u[1]},
           {t * u[0] * u[1] + s * u[2], t * u[1] * u[1] + c, t * u[1] * u[2] - s * u[0]},
           {t * u[0] * u[2] - s * u[1], t * u[1] * u[2] + s * u[0], t * u[2] * u[2] + c}}};
}

// The declared reading turned as far as the other frame's reading is from
// it, but otherwise (the reverse turn, and both ways about two axes across
// it). Were the declared frame right, the other frame's turn would be
// one of many of that size, and a grid where any small turn lengthens
// streamlines (coarse voxels, straight bundles) lengthens them under these
// too; a table truly in the other frame is lengthened by its own turn only.
std::vector<Mat3> control_turns(const Mat3& declared, const Mat3& other) {
  Mat3 q = mul(transpose(declared), other);  // other = declared * q
  if (det3(q) < 0)  // a reading and its negation are the same axes
    for (auto& row : q)
      for (double& v : row) v = -v;
  // The skew part of a rotation is 2 sin(angle) times its axis.
  const double cosine = std::clamp((q[0][0] + q[1][1] + q[2][2] - 1) / 2, -1.0, 1.0);
  Vec3 axis{q[2][1] - q[1][2], q[0][2] - q[2][0], q[1][0] - q[0][1]};
  const double len = norm(axis);
  if (!(len > 1e-9)) return {};
  const double sine = len / 2;
  for (double& v : axis) v /= len;
  // Two unit axes across the turn's own.
  const auto cross = [](const Vec3& a, const Vec3& b) {
    return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
  };
  Vec3 u = cross(axis, std::abs(axis[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0});
  const double un = norm(u);
  for (double& v : u) v /= un;
  const Vec3 w = cross(axis, u);
  std::vector<Mat3> out{mul(declared, transpose(q))};
  for (const Vec3& a : {u, w})
    for (double sign : {1.0, -1.0}) out.push_back(mul(declared, rotation_about(a, cosine, sign * sine)));
  return out;
}

// Whether the table is in the other frame: its reading must beat the
// declared frame's reading of the same axes, and every control turn of the
// same size, seed by seed.
FrameTest decide_frame(const SeedTracker& tracker, const double* other, const double* declared,
                       const Mat3& declared_matrix, const Mat3& other_matrix, const TrackingOptions& o,
                       Execution& exec) {
  const std::size_t n = tracker.seeds.size();
  FrameTest t;
  t.angle_deg = angle_between_deg(other_matrix, declared_matrix);
  const Paired against_declared = paired(other, declared, n, o);
  t.mean_difference_mm = against_declared.mean;
  t.standard_error_mm = against_declared.standard_error;
  t.distinct = against_declared.clear(o.frame_t, o);
  if (!t.distinct) return t;
  // The controls run on every other seed: each costs what the right reading
  // costs (it runs near the fibres, as long), and a frame mistake wins by far
  // more than half the seeds can miss.
  std::vector<std::uint64_t> half;
  std::vector<double> other_half;
  for (std::size_t j = 0; j < n; j += 2) {
    half.push_back(tracker.seeds[j]);
    other_half.push_back(other[j]);
  }
  const SeedTracker sparse{tracker.g, tracker.field, half, tracker.frame_map};
  const std::vector<Mat3> turns = control_turns(declared_matrix, other_matrix);
  const std::vector<double> controls = sparse.lengths(turns, exec);
  for (std::size_t c = 0; c < turns.size(); ++c) {
    const Paired against_turn = paired(other_half.data(), controls.data() + c * half.size(), half.size(), o);
    t.controls_beaten += against_turn.clear(o.frame_control_t, o);
  }
  t.controls = turns.size();
  t.distinct = t.controls_beaten == t.controls;
  return t;
}

std::uint64_t seed_count(std::uint64_t n_trackable, const TrackingOptions& o) {
  const std::uint64_t by_grid = o.trackable_per_seed ? n_trackable / o.trackable_per_seed : 0;
  return std::max(o.n_seeds, std::min(by_grid, o.max_seeds));
}

void check_options(const TrackingOptions& o) {
  check_margin_threshold(o.margin_threshold);
  const bool ok = std::isfinite(o.step_voxels) && o.step_voxels > 0 && std::isfinite(o.max_angle_deg) &&
                  o.max_angle_deg > 0 && o.max_angle_deg <= 180 && std::isfinite(o.fa_threshold) &&
                  std::isfinite(o.min_length_mm) && o.min_length_mm >= 0 && std::isfinite(o.max_length_mm) &&
                  o.max_length_mm > 0 && o.n_seeds > 0 && o.n_subsets > 0 && std::isfinite(o.spread_factor) &&
                  o.spread_factor >= 0;
  if (!ok) throw Failure("tracking options out of range");
}

// Streamlines index the directions by the shape; a fit always gives as many.
void check_shape(const TensorField& f) {
  if (f.shape[0] * f.shape[1] * f.shape[2] != f.v1.size())
    throw std::invalid_argument("tracking: field shape and direction count differ");
}

struct Mean {
  double mm = 0;
  std::uint64_t count = 0;
};

// Mean over the seeds j with j mod every == offset, summed in seed order, a
// rejected streamline counting as length 0: a wrong map both shortens
// streamlines and rejects more of them, and this score sees both, where the
// mean of the accepted ones alone can favour a wrong map that keeps only a
// few long straight streamlines.
Mean seed_mean(const double* lengths, std::size_t n, double min_length, std::size_t every, std::size_t offset) {
  double sum = 0;
  std::uint64_t seen = 0, accepted = 0;
  for (std::size_t j = offset; j < n; j += every) {
    ++seen;
    if (lengths[j] > 0 && lengths[j] >= min_length) {
      sum += lengths[j];
      ++accepted;
    }
  }
  return {seen ? sum / static_cast<double>(seen) : 0.0, accepted};
}

double relative(double best, double other) { return best > 0 ? (best - other) / best : 0.0; }

// Sample standard deviation of the relative margin of `best` over `other`
// across the disjoint seed subsets.
double subset_spread(const double* best, const double* other, std::size_t n, const TrackingOptions& o) {
  const std::size_t k = static_cast<std::size_t>(o.n_subsets);
  if (k < 2) return 0.0;
  std::vector<double> m(k);
  for (std::size_t s = 0; s < k; ++s)
    m[s] = relative(seed_mean(best, n, o.min_length_mm, k, s).mm, seed_mean(other, n, o.min_length_mm, k, s).mm);
  double mean = 0;
  for (double x : m) mean += x;
  mean /= static_cast<double>(k);
  double ss = 0;
  for (double x : m) ss += (x - mean) * (x - mean);
  return std::sqrt(ss / static_cast<double>(k - 1));
}

// Why the measure cannot judge, as the user reads it; nothing when it can.
std::optional<std::string> thin_evidence_of(const TrackingResult& r, const TrackingOptions& o) {
  const auto plural = [](std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
  };
  if (r.n_trackable < o.min_trackable_voxels)
    return "only " + plural(r.n_trackable, "trackable voxel") + " (FA of at least " + format_plain(o.fa_threshold) +
           "): too few to follow fibres (at least " + std::to_string(o.min_trackable_voxels) + " are needed)";
  if (r.best.mean_length_mm == 0)
    return "no streamline of at least " + format_plain(o.min_length_mm) +
           " mm under any transform: no transform leads";
  if (r.best.n_streamlines < o.min_streamlines)
    return "only " + plural(r.best.n_streamlines, "streamline") + " of at least " + format_plain(o.min_length_mm) +
           " mm: too few to judge the axes (at least " + std::to_string(o.min_streamlines) + " are needed)";
  return std::nullopt;
}

Status decide(const TrackingResult& r, const TrackingOptions& o) {
  if (r.thin_evidence || !r.best_leads) return Status::Warn;
  const bool clear = r.relative_margin >= o.margin_threshold && r.relative_margin >= o.spread_factor * r.margin_spread;
  if (!clear) return Status::Warn;
  return antipodal_or_equal(r.best.matrix, identity3()) ? Status::Pass : Status::Flag;
}

}  // namespace

json::Value TrackingScore::to_json() const {
  json::Value o = json::Value::object();
  o.set("label", label);
  o.set("matrix", json::mat3(matrix));
  o.set("mean_length_mm", mean_length_mm);
  o.set("n_streamlines", n_streamlines);
  o.set("frame", json::optional(frame));
  o.set("words", frame ? describe_frame_mistake(*frame, axes) : transform_words(matrix));
  return o;
}

json::Value FrameTest::to_json() const {
  json::Value o = json::Value::object();
  o.set("other_label", other_label);
  o.set("angle_deg", angle_deg);
  o.set("declared_mm", declared_mm);
  o.set("other_mm", other_mm);
  o.set("mean_difference_mm", mean_difference_mm);
  o.set("standard_error_mm", standard_error_mm);
  o.set("controls", controls);
  o.set("controls_beaten", controls_beaten);
  o.set("distinct", distinct);
  return o;
}

json::Value TrackingResult::to_json() const {
  json::Value o = json::Value::object();
  o.set("measure", "tracking");
  o.set("decision", status_text(decision));
  o.set("recommended_label", json::optional(recommended_label));
  o.set("recommended_transform", recommended_transform ? json::mat3(*recommended_transform) : json::Value(nullptr));
  o.set("best", best.to_json());
  o.set("best_leads", best_leads);
  o.set("runner_up", runner_up.to_json());
  o.set("relative_margin", relative_margin);
  o.set("margin_spread", margin_spread);
  o.set("margin_threshold", margin_threshold);
  json::Value list = json::Value::array();
  for (const auto& s : ranking) list.push(s.to_json());
  o.set("ranking", std::move(list));
  if (other_frame) {
    json::Value f = json::Value::object();
    f.set("label", other_frame->label);
    f.set("correction", json::mat3(other_frame->correction));
    f.set("angle_deg", other_frame->angle_deg);
    f.set("scored", other_frame_scored);
    o.set("other_frame", std::move(f));
  } else {
    o.set("other_frame", nullptr);
  }
  o.set("frame_test", frame_test ? frame_test->to_json() : json::Value(nullptr));
  o.set("n_trackable", n_trackable);
  o.set("thin_evidence", json::optional(thin_evidence));
  json::Value p = json::Value::object();
  p.set("step_mm", step_mm);
  p.set("max_angle_deg", max_angle_deg);
  p.set("fa_threshold", fa_threshold);
  p.set("n_seeds", n_seeds);
  p.set("min_length_mm", min_length_mm);
  p.set("n_subsets", n_subsets);
  o.set("parameters", std::move(p));
  return o;
}

Mask trackable_voxels(const TensorField& field, const Mask* mask, double fa_threshold) {
  const std::size_t grid = field.v1.size();
  std::size_t len = std::min({grid, field.fa.size(), field.valid.size()});
  Mask out(grid, 0);
  if (mask) {
    len = std::min(len, mask->size());
    for (std::size_t t = 0; t < len; ++t)
      out[t] = (*mask)[t] && field.valid[t] && field.fa[t] >= fa_threshold && norm(field.v1[t]) > kMinLength;
    return out;
  }
  // Without a mask, the tissue: on a whole head the coherence's bright voxels,
  // on a crop inside the brain every voxel but the darkest.
  len = std::min(len, field.s0.size());
  const double tissue = field.tissue_threshold();
  for (std::size_t t = 0; t < len; ++t)
    out[t] = field.s0[t] >= tissue && field.valid[t] && field.fa[t] >= fa_threshold && norm(field.v1[t]) > kMinLength;
  return out;
}

TrackingGeometry tracking_geometry(const std::array<std::uint64_t, 3>& shape, const Vec3& voxel_sizes_mm,
                                   const TrackingOptions& options) {
  // Sizes that are missing or not positive are taken as 1 mm, as a header
  // without pixdim means.
  Vec3 vs = voxel_sizes_mm;
  for (double& s : vs)
    if (!(std::isfinite(s) && s > 0)) s = 1.0;
  TrackingGeometry g;
  g.shape = shape;
  g.step_voxels = {1.0 / vs[0], 1.0 / vs[1], 1.0 / vs[2]};
  g.step_mm = options.step_voxels * std::min({vs[0], vs[1], vs[2]});
  g.cos_max_angle = libm::cos(options.max_angle_deg * std::numbers::pi / 180.0);
  g.max_steps = static_cast<std::uint64_t>(std::ceil(options.max_length_mm / g.step_mm));
  return g;
}

std::vector<Vec3f> trackable_field(const TensorField& field, const Mask& trackable) {
  std::vector<Vec3f> out(field.v1.size(), Vec3f{0, 0, 0});
  const std::size_t len = std::min(out.size(), trackable.size());
  for (std::size_t t = 0; t < len; ++t)
    if (trackable[t]) {
      const Vec3& v = field.v1[t];
      out[t] = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
    }
  return out;
}

std::vector<Vec3> streamline_points(const TrackingGeometry& g, const std::vector<Vec3f>& table_field, const Mat3& a,
                                    std::uint64_t seed) {
  if (seed >= table_field.size()) return {};
  const std::optional<Vec3> d = seed_direction(table_field[seed], a);
  const Vec3 p = voxel_centre(g, seed);
  if (!d) return {p};
  const Mat3 at = transpose(a);
  std::vector<Vec3> back;
  grow(g, table_field.data(), a, at, p, Vec3{-(*d)[0], -(*d)[1], -(*d)[2]}, [&](const Vec3& q) { back.push_back(q); });
  std::vector<Vec3> out(back.rbegin(), back.rend());
  out.push_back(p);
  grow(g, table_field.data(), a, at, p, *d, [&](const Vec3& q) { out.push_back(q); });
  return out;
}

std::vector<std::vector<Vec3>> sample_streamlines(const TensorField& field, const Mask* mask, const Mat3& frame_map,
                                                  const Vec3& voxel_sizes_mm, const Mat3& m, std::uint64_t count,
                                                  const TrackingOptions& options, const Mat3& axes_to_world) {
  check_shape(field);
  const Mask trackable = trackable_voxels(field, mask, options.fa_threshold);
  const std::vector<Vec3f> table_field = trackable_field(field, trackable);
  const TrackingGeometry g = tracking_geometry(field.shape, voxel_sizes_mm, options);
  const Mat3 a = mul(frame_map, m);
  std::vector<std::vector<Vec3>> out;
  for (std::uint64_t t : pick_seeds(trackable, field.shape, axes_to_world, count)) out.push_back(streamline_points(g, table_field, a, t));
  return out;
}

TrackingResult track_candidates(const TensorField& field, const Mask* mask, const Mat3& frame_map,
                                const Vec3& voxel_sizes_mm, const TrackingOptions& options, Execution& exec) {
  return track_candidates(field, mask, frame_map, std::nullopt, voxel_sizes_mm, options, exec);
}

TrackingResult track_candidates(const TensorField& field, const Mask* mask, const Mat3& frame_map,
                                const std::optional<OtherFrame>& other, const Vec3& voxel_sizes_mm,
                                const TrackingOptions& options, Execution& exec, const Mat3& axes_to_world) {
  check_options(options);
  check_shape(field);
  const Mask trackable = trackable_voxels(field, mask, options.fa_threshold);
  const std::uint64_t n_trackable =
      static_cast<std::uint64_t>(std::count(trackable.begin(), trackable.end(), std::uint8_t{1}));
  const std::vector<std::uint64_t> seeds = pick_seeds(trackable, field.shape, axes_to_world, seed_count(n_trackable, options));
  const std::vector<Vec3f> table_field = trackable_field(field, trackable);
  const TrackingGeometry g = tracking_geometry(field.shape, voxel_sizes_mm, options);
  const bool with_other = other && other->angle_deg >= options.frame_distinct_deg;
  std::vector<Reading> candidates = readings(other, with_other);

  const std::size_t n = seeds.size(), nc = candidates.size();
  std::vector<Mat3> matrices(nc);
  for (std::size_t c = 0; c < nc; ++c) matrices[c] = candidates[c].candidate.matrix;
  const SeedTracker tracker{g, table_field, seeds, frame_map};
  const std::vector<double> lengths = tracker.lengths(matrices, exec);

  std::vector<TrackingScore> ranking(nc);
  std::vector<std::size_t> order(nc);
  for (std::size_t c = 0; c < nc; ++c) {
    const Mean m = seed_mean(lengths.data() + c * n, n, options.min_length_mm, 1, 0);
    Candidate& k = candidates[c].candidate;
    ranking[c] = {std::move(k.label), k.matrix, k.is_identity, m.mm, m.count, candidates[c].frame, candidates[c].axes};
    order[c] = c;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return ranking[a].mean_length_mm > ranking[b].mean_length_mm; });

  // The frame first, and only when the other frame's reading comes out on
  // top: it is taken when it beats the declared frame's reading of the same
  // axes (the signed permutation nearest to it) clearly. Then the axes,
  // within the frame taken: on an oblique image the other frame's readings
  // of wrong axes are rotations part way between classes, which a wrong
  // signed permutation is not, and would stand in as runner-ups that only
  // the obliquity made.
  const std::vector<std::size_t> cls = axis_classes(candidates);
  const std::size_t top = order[0];
  std::size_t chosen = top;
  TrackingResult r;
  if (candidates[top].frame) {
    const std::size_t declared = cls[top];  // the declared frame's readings come first, one per class
    FrameTest test = decide_frame(tracker, lengths.data() + top * n, lengths.data() + declared * n,
                                  ranking[declared].matrix, ranking[top].matrix, options, exec);
    test.other_label = ranking[top].label;
    test.declared_mm = ranking[declared].mean_length_mm;
    test.other_mm = ranking[top].mean_length_mm;
    if (!test.distinct) chosen = declared;
    r.frame_test = std::move(test);
  }
  const bool in_other = candidates[chosen].frame.has_value();
  const auto other_axes = [&](std::size_t c) { return cls[c] != cls[chosen]; };
  const auto same_frame = [&](std::size_t c) { return candidates[c].frame.has_value() == in_other; };
  auto runner_at = std::find_if(order.begin(), order.end(), [&](std::size_t c) { return other_axes(c) && same_frame(c); });
  // Other axes that outscore the choice in the frame not taken still leave
  // no lead.
  const auto rival = std::find_if(order.begin(), order.end(), [&](std::size_t c) { return other_axes(c); });
  if (rival != order.end() && ranking[*rival].mean_length_mm > ranking[chosen].mean_length_mm) runner_at = rival;
  const std::size_t runner = runner_at == order.end() ? order[1] : *runner_at;

  r.best = ranking[chosen];
  r.runner_up = ranking[runner];
  r.relative_margin = relative(r.best.mean_length_mm, r.runner_up.mean_length_mm);
  if (n > 0)
    r.margin_spread = subset_spread(lengths.data() + chosen * n, lengths.data() + runner * n, n, options);
  r.margin_threshold = options.margin_threshold;
  // A tie at the top, all zeros among them, leaves no transform ahead: `best`
  // is then only the first listed of the tied (as given when it is one).
  r.best_leads = r.best.mean_length_mm > r.runner_up.mean_length_mm;
  r.other_frame = other;
  r.other_frame_scored = with_other;
  r.n_trackable = n_trackable;
  r.thin_evidence = thin_evidence_of(r, options);
  r.decision = decide(r, options);
  if (r.decision == Status::Flag) {
    r.recommended_label = r.best.label;
    r.recommended_transform = r.best.matrix;
  }
  for (std::size_t c : order) r.ranking.push_back(std::move(ranking[c]));
  r.step_mm = g.step_mm;
  r.max_angle_deg = options.max_angle_deg;
  r.fa_threshold = options.fa_threshold;
  r.n_seeds = n;
  r.min_length_mm = options.min_length_mm;
  r.n_subsets = options.n_subsets;
  return r;
}

}  // namespace tarvix
