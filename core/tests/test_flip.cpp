#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "candidate.hpp"
#include "coherence.hpp"
#include "flip.hpp"
#include "frame.hpp"
#include "json.hpp"
#include "phantom_for_tests.hpp"
#include "tensor.hpp"

using namespace tarvix;
using namespace tarvix::test_support;

namespace {

const Sampling kSampling{identity3(), 2.0};
const auto mat = candidate_matrix;

}  // namespace

TEST(Flip, WrongTablesAreFlaggedWithTheirInverse) {
  const Volume& vol = bundle_phantom();
  const GradientTable truth = sphere_scheme(40);
  GlyphData glyphs;
  const FlipResult r = detect_flip(vol, truth, nullptr, {}, kSampling, &glyphs);
  EXPECT_EQ(r.decision, Status::Pass);
  EXPECT_EQ(r.ranking[0].label, "+x+y+z");
  EXPECT_EQ(r.ranking[1].label, "-x-y-z");
  EXPECT_EQ(r.ranking[0].coherence, r.ranking[1].coherence);
  EXPECT_FALSE(r.recommended_transform);
  EXPECT_EQ(r.working_b, 1000.0);
  // The Otsu mask keeps exactly the anisotropic bundles inside the brain box.
  EXPECT_EQ(r.n_wm_voxels, bundle_phantom_voxels());
  EXPECT_GT(r.mask_mean_fa, 0.6);
  // The glyph mask is the scoring mask.
  EXPECT_EQ(std::uint64_t(std::count(glyphs.mask.begin(), glyphs.mask.end(), 1)), r.n_wm_voxels);

  // A cyclic swap is undone by the other cycle, not by itself. (The repair
  // tests run the sign flips and the plain swap through to a clean re-audit.)
  const FlipResult cyclic = detect_flip(vol, truth.transformed(mat("+y+z+x")), nullptr, {}, kSampling);
  EXPECT_EQ(cyclic.decision, Status::Flag);
  ASSERT_TRUE(cyclic.recommended_transform);
  EXPECT_TRUE(antipodal_or_equal(*cyclic.recommended_transform, mat("+z+x+y")));
  // A bvec table on a neurological image is mirrored in x; the frame map undoes it.
  const Sampling mirrored{mat("-x+y+z"), 2.0};
  EXPECT_EQ(detect_flip(vol, truth.transformed(mirrored.frame_map), nullptr, {}, mirrored).decision, Status::Pass);
}

TEST(TensorFit, VoxelOrderAcrossBlocks) {
  // 13 x 11 x 9 spans several fit blocks, the last one partial.
  const GradientTable t = sphere_scheme(12);
  const Volume v = synthesize(13, 11, 9, t, [](int x, int y, int z) {
    return std::pair{1000.0 + 100 * x + 10 * y + z, stick(x == 4 && y == 7 && z == 2 ? Vec3{0, 1, 0} : Vec3{1, 0, 0})};
  });
  const TensorField f = fit_dti(v, t, {0, 1}, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, 1.0);
  EXPECT_EQ(f.shape, (std::array<std::uint64_t, 3>{13, 11, 9}));
  for (int x = 0; x < 13; ++x)
    for (int y = 0; y < 11; ++y)
      for (int z = 0; z < 9; ++z) {
        const std::size_t i = (x * 11 + y) * 9 + z;
        ASSERT_NEAR(f.s0[i], 1000.0 + 100 * x + 10 * y + z, 1e-3);
        ASSERT_TRUE(f.valid[i]);
        ASSERT_NEAR(std::abs(f.v1[i][x == 4 && y == 7 && z == 2 ? 1 : 0]), 1.0, 1e-6);
      }
}

TEST(TensorFit, EdgeVoxelsAndErrors) {
  const GradientTable t = sphere_scheme(10);
  Volume v = synthesize(3, 1, 1, t, [](int x, int, int) {
    if (x == 0) return std::pair{0.5, stick({1, 0, 0})};
    if (x == 1) return std::pair{800.0, stick({1, 0, 0}, 0.8e-3, 0.8e-3)};
    return std::pair{800.0, stick({0, 0, 1})};
  });
  const std::vector<std::uint64_t> shell{2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  TensorField f = fit_dti(v, t, {0, 1}, shell, 1.0);
  EXPECT_EQ(f.s0[0], 0.5);  // too dark: baseline kept, not fitted
  EXPECT_FALSE(f.valid[0]);
  EXPECT_EQ(f.fa[0], 0.0);
  EXPECT_EQ(f.v1[0], (Vec3{0, 0, 0}));
  EXPECT_TRUE(f.valid[1]);  // isotropic: valid with FA ~0
  EXPECT_NEAR(f.fa[1], 0, 1e-5);
  EXPECT_NEAR(std::abs(f.v1[2][2]), 1, 1e-6);
  EXPECT_NEAR(f.fa[2], 0.79902, 1e-5);  // eigenvalues 1.7e-3, 0.3e-3, 0.3e-3

  // Without b=0 volumes the fit still runs and the baseline is the shell mean.
  const TensorField g = fit_dti(v, t, {}, shell, 1.0);
  double shell_mean = 0;
  for (std::uint64_t k : shell) shell_mean += v.data[k * 3 + 2];
  EXPECT_DOUBLE_EQ(g.s0[2], shell_mean / 10);

  // A single baseline value is its own threshold.
  TensorField flat;
  flat.s0 = {5, 5, 5, 5};
  flat.fa = {0.1, 0.3, 0.5, 0.2};
  flat.valid = {1, 1, 0, 1};
  EXPECT_EQ(flat.wm_proxy(0.2), (Mask{0, 1, 0, 1}));
  // Otsu separates the dark voxel from the two bright ones.
  EXPECT_EQ(f.wm_proxy(0.0), (Mask{0, 1, 1}));
  f.s0[1] = 10;
  EXPECT_EQ(f.wm_proxy(0.0), (Mask{0, 0, 1}));

  EXPECT_EQ(error_text([&] { fit_dti(v, t, {0, 1}, {}, 1.0); }), "DTI fit failed: no DWI volumes in the working shell");
  v.shape.pop_back();
  EXPECT_EQ(error_text([&] { fit_dti(v, t, {0, 1}, shell, 1.0); }), "DTI fit failed: expected 4-D DWI, got 3-D");
}

// The threshold is reduced over ranges of the grid: it must not depend on how
// many threads share them, and values on a bin edge, NaN and the extremes
// must land where the plain definition puts them.
TEST(TensorFit, OtsuThresholdOverManyRangesAndThreads) {
  TensorField f;
  const std::size_t n = 200000;  // several reduction ranges
  f.s0.resize(n);
  for (std::size_t i = 0; i < n; ++i) f.s0[i] = i % 5 < 2 ? 10.0 + static_cast<double>(i % 7) : 900.0 + (i % 11);
  f.s0[17] = std::numeric_limits<double>::quiet_NaN();
  f.s0[n - 1] = 0.0;     // lo
  f.s0[n - 2] = 1024.0;  // hi: bins of exactly 4, so 4.0 * k sits on an edge
  f.s0[n - 3] = 4.0;
  auto threshold_on = [&](int threads) {
    tbb::task_arena arena(threads);
    return arena.execute([&] { return f.bright_threshold(); });
  };
  const double one = threshold_on(1);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(one), std::bit_cast<std::uint64_t>(threshold_on(2)));
  EXPECT_GT(one, 16.0);
  EXPECT_LT(one, 900.0);
  // The Otsu cut is the middle of a bin: lo + (bin + 0.5) * 4.
  EXPECT_DOUBLE_EQ(std::fmod(one - 2.0, 4.0), 0.0);
}

TEST(Frames, MapsAndDivergence) {
  auto info = [](Vec3 d) { return info_with({{{d[0], 0, 0}, {0, d[1], 0}, {0, 0, d[2]}}}); };
  const Mat3 mirror = mat("-x+y+z");
  FrameMaps m = FrameMaps::resolve(false, info({1, 1, 1}));
  EXPECT_EQ(m.fsl_voxel_map, mirror);
  EXPECT_EQ(m.world_voxel_map, identity3());
  EXPECT_EQ(m.affine_determinant_sign, 1.0);
  EXPECT_FALSE(m.frames_divergent);
  EXPECT_EQ(to_world(m), mirror);
  EXPECT_EQ(to_fsl(m), identity3());

  m = FrameMaps::resolve(false, info({-2, 2, 2}));
  EXPECT_EQ(m.fsl_voxel_map, identity3());
  EXPECT_EQ(m.world_voxel_map, mirror);
  EXPECT_EQ(m.affine_determinant_sign, -1.0);
  EXPECT_FALSE(m.frames_divergent);
  EXPECT_TRUE(frames_divergent(info({-2, -2, 2})));
  EXPECT_FALSE(frames_divergent(info({2, 0, 2})));
  EXPECT_EQ(world_voxel_map(info({2, 0, 2})), identity3());

  // A world-frame table on a rotated orthonormal image: to_world is the identity.
  const VolumeInfo rot = info_with({{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}});
  m = FrameMaps::resolve(true, rot);
  EXPECT_EQ(m.table_frame, TableFrame::World);
  EXPECT_EQ(to_world(m), identity3());
  EXPECT_EQ(voxel_frame_map(true, rot), (Mat3{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}));
}

// Table order breaks ties; M and -M are neighbours v and v ^ 7 in it.
TEST(Candidates, OrderLabelsAndPairs) {
  const auto c = all_candidates();
  ASSERT_EQ(c.size(), 48u);
  EXPECT_TRUE(c[0].is_identity);
  EXPECT_EQ(std::count_if(c.begin(), c.end(), [](const Candidate& k) { return k.is_identity; }), 1);
  const char* expected[] = {"+x+y+z", "-x-y-z", "+x+z+y", "-y+x+z", "+y+z+x", "-z-x+y", "+z+y+x", "-z-y-x"};
  const int at[] = {0, 7, 8, 17, 24, 35, 40, 47};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(c[at[i]].label, expected[i]);
  for (int i = 0; i < 48; ++i)
    EXPECT_TRUE(antipodal_or_equal(c[i].matrix, c[i ^ 7].matrix) && !(c[i].matrix == c[i ^ 7].matrix)) << i;
}

// A uniform axis-aligned field on a 6^3 cube, every voxel white matter.
TEST(Coherence, UniformCubeTiesAndSkipsVoxelsWithoutDirectionOrOutsideTheMask) {
  TensorField f;
  f.shape = {6, 6, 6};
  f.v1.assign(216, Vec3{1, 0, 0});
  f.fa.assign(216, 0.7);
  f.s0.assign(216, 100);
  f.valid.assign(216, 1);
  Mask all(216, 1);
  std::vector<std::uint64_t> wm(216);
  for (std::uint64_t i = 0; i < 216; ++i) wm[i] = i;
  // Every sample hits a voxel centre and every candidate loses the same
  // border samples: all tie and keep the table order.
  const auto ranking = rank_candidates(f, all, identity3(), 1.0);
  const auto c = all_candidates();
  for (int i = 0; i < 48; ++i) {
    EXPECT_EQ(ranking[i].label, c[i].label);
    EXPECT_EQ(ranking[i].coherence, 360.0 / 432.0);
    EXPECT_EQ(ranking[i].n_samples, 360u);
  }

  // A voxel without direction is neither start nor corner.
  CoherenceWorkspace ws;
  auto score = [&] { return candidate_coherence(f, all, wm, identity3(), identity3(), 1.0, ws); };
  f.v1[0] = {0, 0, 0};
  EXPECT_EQ(score().n_samples, 360u - 2);  // voxel 0 and its neighbour's backward sample
  EXPECT_DOUBLE_EQ(score().coherence, 358.0 / 430.0);
  f.v1.assign(216, Vec3{0, 0, 0});
  EXPECT_EQ(score().coherence, 0.0);
  EXPECT_EQ(score().n_samples, 0u);
  EXPECT_FALSE(sample(f.shape, std::vector<Vec3>(f.v1.begin(), f.v1.end()), all, {2.5, 2.5, 2.5}, {1, 0, 0}));

  // Outside the mask is never read, not even a NaN.
  all[100] = 0;
  std::erase(wm, 100u);
  std::vector<Vec3> dirty(216, Vec3{1, 0, 0});
  const CoherenceTally clean = coherence_sum(dirty, wm, all, f.shape, 1.0);
  dirty[100] = {std::nan(""), 0, 0};
  const CoherenceTally with_nan = coherence_sum(dirty, wm, all, f.shape, 1.0);
  EXPECT_EQ(with_nan.sum, clean.sum);
  EXPECT_EQ(with_nan.valid, clean.valid);
}

// Each pair M, -M is scored once: that must be the score of both. The
// candidates are scored side by side: the ranking must not depend on the
// thread count.
TEST(Coherence, NegationAndThreadCountLeaveACurvedFieldsScoresUnchanged) {
  std::vector<std::uint64_t> shell(40), wm;
  for (int i = 0; i < 40; ++i) shell[i] = 2 + i;
  const TensorField f = fit_dti(bundle_phantom(), sphere_scheme(40), {0, 1}, shell, 1.0);
  const Mask mask = f.wm_proxy(0.2);
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i]) wm.push_back(i);
  CoherenceWorkspace ws;
  const auto a = candidate_coherence(f, mask, wm, mat("+y-z+x"), identity3(), 1.5, ws);
  const auto b = candidate_coherence(f, mask, wm, mat("-y+z-x"), identity3(), 1.5, ws);
  EXPECT_NEAR(a.coherence, b.coherence, 1e-12);
  EXPECT_EQ(a.n_samples, b.n_samples);

  tbb::task_arena one(1), two(2);
  const auto serial = one.execute([&] { return rank_candidates(f, mask, identity3(), 1.5); });
  const auto parallel = two.execute([&] { return rank_candidates(f, mask, identity3(), 1.5); });
  ASSERT_EQ(serial.size(), parallel.size());
  for (std::size_t i = 0; i < serial.size(); ++i) {
    EXPECT_EQ(serial[i].label, parallel[i].label);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(serial[i].coherence), std::bit_cast<std::uint64_t>(parallel[i].coherence));
  }
}

TEST(Flip, ThresholdShellAndMaskFailures) {
  const Volume& vol = bundle_phantom();
  const GradientTable t = sphere_scheme(40);
  Volume flat{{2, 2, 2}, VoxelData(8, 1)};  // would fail the fit
  const std::pair<double, const char*> bad[] = {
      {0, "0"}, {-0.5, "-0.5"}, {1.5, "1.5"}, {std::nan(""), "NaN"}, {INFINITY, "inf"}};
  for (const auto& [value, shown] : bad) {
    AnalysisOptions o;
    o.margin_threshold = value;
    EXPECT_EQ(error_text([&] { detect_flip(flat, t, nullptr, o, {}); }),
              std::string("margin threshold must be finite and in (0, 1]: ") + shown);
  }
  AnalysisOptions o;
  o.margin_threshold = 1.0;
  EXPECT_EQ(detect_flip(vol, t, nullptr, o, {}).margin_threshold, 1.0);

  const GradientTable b0_only{std::vector<Vec3>{Vec3{0, 0, 0}}, std::vector<double>{0}};
  o.margin_threshold = 0;  // the shell is looked for first
  EXPECT_EQ(error_text([&] { detect_flip(flat, b0_only, nullptr, o, {}); }), "no usable non-b0 shell for flip detection");

  const Mask empty(kPhantomNx * kPhantomNy * kPhantomNz, 0);
  EXPECT_EQ(error_text([&] { detect_flip(vol, t, &empty, {}, {}); }),
            "DTI fit failed: no WM voxels above the FA threshold");

  auto shell_b = [](std::vector<double> b) {
    return select_working_shell(GradientTable{std::vector<Vec3>(b.size(), Vec3{1, 0, 0}), b}, 50, 0.05)->nominal_b;
  };
  EXPECT_EQ(shell_b({0, 500, 1500}), 500);
  EXPECT_EQ(shell_b({0, 1000, 900}), 1000);
  EXPECT_FALSE(select_working_shell(b0_only, 50, 0.05));
}

TEST(Flip, DecisionRulesAndJson) {
  auto score = [](const char* label, double coherence) {
    return CandidateScore{label, mat(label), mat(label) == identity3(), coherence, 10};
  };
  const std::vector<CandidateScore> flipped{score("-x+y+z", 1.0), score("+x-y-z", 1.0), score("+x+y+z", 0.95)};

  // The decision, margins and identity's coherence are read off the record.
  FlipResult r = assemble_result(7, flipped, 1000, 0.5, 0.02);
  EXPECT_EQ(r.runner_up.label, "+x+y+z");
  const std::string text = json::dump(r.to_json());
  EXPECT_EQ(text.rfind(R"({"working_b":1000.0,"n_wm_voxels":7,"mask_mean_fa":0.5,"ranking":[{"label":"-x+y+z")", 0), 0u);
  const std::string tail = text.substr(text.find("\"identity_coherence\""));
  EXPECT_EQ(tail, R"("identity_coherence":0.95,"margin":0.050000000000000044,"relative_margin":0.050000000000000044,)"
                  R"("decision":"FLAG","recommended_transform":[[-1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],)"
                  R"("recommended_label":"-x+y+z"})");
  EXPECT_EQ(json::dump(r.best.to_json()),
            R"({"label":"-x+y+z","matrix":[[-1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],"is_identity":false,)"
            R"("coherence":1.0,"n_samples":10})");

  EXPECT_NE(json::dump(assemble_result(7, flipped, 1000, 0.5, 0.1).to_json()).find(R"("margin_threshold":0.1,"decision":"WARN","recommended_transform":null,)"
                      R"("recommended_label":null})"),
            std::string::npos);

  r = assemble_result(7, {score("+x+y+z", 0.5), score("-x-y-z", 0.5), score("+y+x+z", 0.1)}, 1000, 0.5, 0.02);
  EXPECT_EQ(r.decision, Status::Pass);
  EXPECT_EQ(r.runner_up.label, "+y+x+z");

  r = assemble_result(7, {score("+y+x+z", 0.0), score("-y-x-z", 0.0)}, 1000, 0.5, 0.02);
  EXPECT_EQ(r.runner_up.label, "-y-x-z");  // every later entry is equivalent
  EXPECT_EQ(r.relative_margin, 0.0);
  EXPECT_EQ(r.decision, Status::Warn);
  EXPECT_EQ(r.identity_coherence, 0.0);
}
