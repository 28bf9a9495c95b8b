#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numeric>

#include "execution.hpp"
#include "flip.hpp"
#include "phantom_for_tests.hpp"
#include "tracking.hpp"

using namespace tarvix;

namespace {

using test_support::field_of;

std::uint64_t index_of(const std::array<std::uint64_t, 3>& s, int x, int y, int z) {
  return (std::uint64_t(x) * s[1] + std::uint64_t(y)) * s[2] + std::uint64_t(z);
}

Mat3 mat(const std::string& label) { return test_support::candidate_matrix(label); }

// Length in mm of a streamline's point list.
double length_mm(const std::vector<Vec3>& pts, const Vec3& vs) {
  double sum = 0;
  for (std::size_t i = 1; i < pts.size(); ++i)
    sum += std::hypot((pts[i][0] - pts[i - 1][0]) * vs[0], (pts[i][1] - pts[i - 1][1]) * vs[1],
                      (pts[i][2] - pts[i - 1][2]) * vs[2]);
  return sum;
}

std::vector<Vec3> trace(const TensorField& f, const Vec3& vs, std::uint64_t seed, const TrackingOptions& o = {},
                        const Mat3& a = identity3()) {
  const Mask trackable = trackable_voxels(f, nullptr, o.fa_threshold);
  return streamline_points(tracking_geometry(f.shape, vs, o), trackable_field(f, trackable), a, seed);
}

// A straight bundle, three voxels across, along one axis from `lo` to `hi`
// (inclusive) of that axis, tracked from its middle.
struct Straight {
  int axis;
  Vec3 voxel_sizes;
  int lo, hi;  // hi = size - 1 runs into the grid border
};

class StraightBundle : public ::testing::TestWithParam<Straight> {};

TEST_P(StraightBundle, RunsToTheFaEdgeOrTheBorder) {
  const Straight p = GetParam();
  const std::array<std::uint64_t, 3> shape{20, 18, 16};
  const TensorField f = field_of(shape, [&](int x, int y, int z) -> std::optional<Vec3> {
    const int c[3] = {x, y, z};
    const int u = c[(p.axis + 1) % 3], w = c[(p.axis + 2) % 3];
    if (c[p.axis] < p.lo || c[p.axis] > p.hi || std::abs(u - 6) > 1 || std::abs(w - 6) > 1) return std::nullopt;
    Vec3 d{0, 0, 0};
    d[p.axis] = 1;
    return d;
  });
  int mid[3] = {6, 6, 6};
  mid[p.axis] = (p.lo + p.hi) / 2;
  const std::vector<Vec3> pts = trace(f, p.voxel_sizes, index_of(shape, mid[0], mid[1], mid[2]));
  ASSERT_GE(pts.size(), 2u);
  // Every point stays on the bundle's axis. A point counts as inside while
  // its nearest voxel is a bundle voxel, so the ends lie within a step of the
  // outer faces of the end voxels, half a voxel beyond their centres.
  for (const Vec3& q : pts)
    for (const int a : {(p.axis + 1) % 3, (p.axis + 2) % 3}) EXPECT_NEAR(q[a], 6.0, 1e-9);
  const double vs = p.voxel_sizes[p.axis];
  const double step = 0.5 * std::min({p.voxel_sizes[0], p.voxel_sizes[1], p.voxel_sizes[2]}), step_vox = step / vs;
  const double lo = std::min(pts.front()[p.axis], pts.back()[p.axis]);
  const double hi = std::max(pts.front()[p.axis], pts.back()[p.axis]);
  EXPECT_GE(lo, p.lo - 0.5);
  EXPECT_LE(lo, p.lo - 0.5 + step_vox);
  EXPECT_LT(hi, p.hi + 0.5);
  EXPECT_GE(hi, p.hi + 0.5 - step_vox);
  EXPECT_NEAR(length_mm(pts, p.voxel_sizes), hi * vs - lo * vs, 1e-9);  // never doubles back
}

INSTANTIATE_TEST_SUITE_P(
    AxesSizesAndEnds, StraightBundle,
    ::testing::Values(Straight{0, {2, 2, 2}, 3, 15}, Straight{0, {2, 2, 2}, 0, 19}, Straight{1, {2, 2, 2}, 2, 17},
                      Straight{2, {2.5, 2.5, 5}, 1, 12}, Straight{2, {2.5, 2.5, 5}, 4, 15},
                      Straight{0, {3, 1.5, 1.5}, 2, 14}));

// Half a ring of radius 9 voxels in the x-y plane, three slices thick.
std::optional<Vec3> ring(int x, int y, int z) {
  const double dx = x - 12.0, dy = y - 3.0, r = std::hypot(dx, dy);
  if (y < 3 || std::abs(r - 9) > 1.5 || z < 3 || z > 5) return std::nullopt;
  return Vec3{-dy, dx, 0};
}

TEST(Tracking, CurvedBundleIsFollowedRoundItsBendWhateverTheSign) {
  const std::array<std::uint64_t, 3> shape{26, 16, 9};
  const TensorField f = field_of(shape, ring);
  const Vec3 vs{2, 2, 2};
  // Seeded at the top of the ring: the streamline runs down both sides to
  // the ring's ends, half a circle of 9 voxels (about 56.5 mm).
  const std::vector<Vec3> pts = trace(f, vs, index_of(shape, 12, 12, 4));
  EXPECT_NEAR(length_mm(pts, vs), M_PI * 9 * 2, 6.0);
  for (const Vec3& q : pts) EXPECT_NEAR(std::hypot(q[0] - 12, q[1] - 3), 9, 1.5);
  // Swapping x and y turns the tangents radial: the streamline leaves the
  // ring within a couple of voxels.
  EXPECT_LT(length_mm(trace(f, vs, index_of(shape, 12, 12, 4), {}, mat("+y+x+z")), vs), 8.0);
  // The drawing sample: seeds near the ring's jagged rim stop early, but
  // the longest runs the whole half circle, and together they are twice as
  // long as under the swap.
  auto lengths = [&](const Mat3& m) {
    std::vector<double> out;
    for (const auto& s : sample_streamlines(f, nullptr, identity3(), vs, m, 12)) out.push_back(length_mm(s, vs));
    return out;
  };
  const std::vector<double> right = lengths(identity3()), swapped = lengths(mat("+y+x+z"));
  ASSERT_EQ(right.size(), 12u);
  EXPECT_NEAR(*std::max_element(right.begin(), right.end()), M_PI * 9 * 2, 6.0);
  const auto sum = [](const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); };
  EXPECT_GT(sum(right), 2 * sum(swapped));

  // A matrix and its negation (its neighbour i ^ 7 in the candidate table) grow
  // the same streamline, run the other way.
  const auto c = all_candidates();
  for (std::size_t i = 0; i < c.size(); ++i) {
    const std::vector<Vec3> a = trace(f, vs, index_of(shape, 12, 12, 4), {}, c[i].matrix);
    const std::vector<Vec3> b = trace(f, vs, index_of(shape, 12, 12, 4), {}, c[i ^ 7].matrix);
    EXPECT_EQ(a, std::vector<Vec3>(b.rbegin(), b.rend())) << c[i].label;
  }
}

TEST(Tracking, StopsWhereTheDirectionTurnsSharply) {
  // A slab, every voxel trackable, whose fibres turn from x to y at x = 10.
  const std::array<std::uint64_t, 3> shape{20, 20, 5};
  const TensorField f = field_of(shape, [](int x, int, int) { return Vec3{x <= 10 ? 1.0 : 0.0, x <= 10 ? 0.0 : 1.0, 0}; });
  const Vec3 vs{2, 2, 2};
  const TrackingOptions strict{.max_angle_deg = 30}, lenient{.max_angle_deg = 60};
  const std::uint64_t seed = index_of(shape, 4, 10, 2);
  double furthest = 0;
  for (const Vec3& q : trace(f, vs, seed, strict)) furthest = std::max(furthest, q[0]);
  EXPECT_LE(furthest, 10.5);
  EXPECT_GT(length_mm(trace(f, vs, seed, lenient), vs), length_mm(trace(f, vs, seed, strict), vs) + 10);
}

// The bundles of the shared test phantom (no signed permutation but the
// identity and its negation maps them onto themselves), in isotropic tissue.
const auto phantom = test_support::bundle_direction;
const std::array<std::uint64_t, 3> kPhantom{test_support::kPhantomNx, test_support::kPhantomNy,
                                            test_support::kPhantomNz};

TrackingResult track(const TensorField& f, const Mask* mask, std::optional<std::uint64_t> threads = 2,
                     const TrackingOptions& o = {}) {
  Execution exec(threads);
  return track_candidates(f, mask, identity3(), {2, 2, 2}, o, exec);
}

TEST(Tracking, RankingHasOneEntryPerPairAndIsTheSameForAnyThreadCount) {
  const TensorField f = field_of(kPhantom, phantom, mat("+x-y+z"));
  const TrackingResult one = track(f, nullptr, 1), two = track(f, nullptr, 2), pool = track(f, nullptr, std::nullopt);
  EXPECT_EQ(json::dump(one.to_json()), json::dump(two.to_json()));
  EXPECT_EQ(json::dump(one.to_json()), json::dump(pool.to_json()));
  ASSERT_EQ(one.ranking.size(), 24u);
  for (const Candidate& c : all_candidates())
    EXPECT_EQ(std::count_if(one.ranking.begin(), one.ranking.end(),
                            [&](const TrackingScore& s) { return antipodal_or_equal(s.matrix, c.matrix); }),
              1)
        << c.label;
  for (std::size_t i = 1; i < one.ranking.size(); ++i)
    EXPECT_GE(one.ranking[i - 1].mean_length_mm, one.ranking[i].mean_length_mm);
  for (const TrackingScore& s : one.ranking)
    EXPECT_TRUE(s.matrix == canonical_transform(s.matrix) && s.label == transform_label(s.matrix)) << s.label;
}

// When no transform scores above another (none grows a streamline long
// enough) none is called best, the measure says why and recommends nothing.
// (Too few trackable voxels: test_cli.py.)
TEST(Tracking, ThinEvidenceIsWarnWithItsReason) {
  const TensorField f = field_of(kPhantom, phantom, mat("+x+y-z"));
  const TrackingResult r = track(f, nullptr, 2, {.min_length_mm = 1000});
  EXPECT_EQ(r.decision, Status::Warn);
  const char* why = "no streamline of at least 1000 mm under any transform: no transform leads";
  EXPECT_TRUE(r.thin_evidence && r.thin_evidence->starts_with(why)) << r.thin_evidence.value_or("none");
  EXPECT_FALSE(r.best_leads);
  EXPECT_EQ(r.best.mean_length_mm, r.runner_up.mean_length_mm);
  EXPECT_FALSE(r.recommended_transform || r.recommended_label);
}

// Without a mask the seeds are in the tissue: on a head every anisotropic
// voxel inside it and none of the noise around it (which a fit can make as
// anisotropic as any bundle), and on a crop that is all tissue every bundle
// voxel, though on the baseline white matter is darker than grey matter and
// fluid and a split of brightness would cut it away.
struct Region {
  const char* name;
  int margin;   // background voxels around the tissue on every side
  bool sliver;  // a plane of background at x = 0 of a crop
};

class DefaultRegion : public ::testing::TestWithParam<Region> {};

TEST_P(DefaultRegion, KeepsTheBundlesAndNoBackground) {
  const Region& p = GetParam();
  const std::array<std::uint64_t, 3> shape{32 + 2u * p.margin, 30 + 2u * p.margin, 24 + 2u * p.margin};
  const int m = p.margin;
  TensorField f = field_of(shape, [&](int x, int y, int z) { return phantom(x - m, y - m, z - m); });
  std::uint64_t bundle = 0;
  std::vector<std::uint64_t> background;
  for (int x = 0; x < int(shape[0]); ++x)
    for (int y = 0; y < int(shape[1]); ++y)
      for (int z = 0; z < int(shape[2]); ++z) {
        const std::uint64_t t = index_of(shape, x, y, z);
        const int u = x - p.margin, v = y - p.margin, w = z - p.margin;
        const bool outside = u < 0 || v < 0 || w < 0 || u >= 32 || v >= 30 || w >= 24 || (p.sliver && x == 0);
        const unsigned hash = unsigned(x) * 73856093u ^ unsigned(y) * 19349663u ^ unsigned(z) * 83492791u;
        if (outside) {
          // Noise: a few dozen counts, fitted anisotropic in any direction.
          f.s0[t] = 10 + hash % 30;
          f.fa[t] = 0.8;
          f.v1[t] = {0.6, 0.8 * ((hash & 1) ? 1 : -1), 0};
          background.push_back(t);
        } else if (f.fa[t] > 0.5) {
          f.s0[t] = 280 + hash % 40;  // white matter
          ++bundle;
        } else {
          // Grey matter, and fluid in a central block.
          const bool fluid = std::abs(u - 16) < 5 && std::abs(v - 15) < 4 && std::abs(w - 12) < 4;
          f.s0[t] = (fluid ? 1400 : 430) + hash % 40;
        }
      }
  const Mask trackable = trackable_voxels(f, nullptr, TrackingOptions{}.fa_threshold);
  EXPECT_EQ(std::count(trackable.begin(), trackable.end(), 1), std::ptrdiff_t(bundle));
  for (const std::uint64_t t : background) EXPECT_FALSE(trackable[t]) << t;
}

INSTANTIATE_TEST_SUITE_P(Grids, DefaultRegion,
                         ::testing::Values(Region{"Head", 8, false}, Region{"Crop", 0, false},
                                           Region{"CropWithAnEdge", 0, true}),
                         [](const ::testing::TestParamInfo<Region>& i) { return std::string(i.param.name); });

// (The record's fields: the tracking schema, which the command-line tests hold it to.)
TEST(Tracking, OptionErrors) {
  const TensorField f = field_of(kPhantom, phantom, mat("-x+y+z"));
  EXPECT_EQ(test_support::error_text([&] { track(f, nullptr, 1, {.margin_threshold = 0}); }),
            "margin threshold must be finite and in (0, 1]: 0");
  EXPECT_EQ(test_support::error_text([&] { track(f, nullptr, 1, {.step_voxels = -1}); }),
            "Failure: tracking options out of range");
}

}  // namespace
