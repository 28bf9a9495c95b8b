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

const auto mat = candidate_matrix;

}  // namespace

// (Wrong tables flagged with their inverse, a mirrored frame map undone:
// test_flip_end_to_end.py; the scoring mask against an independent fit:
// test_glyphs_profiled.py.)

// Voxel order across fit blocks, dark voxels, FA and directions: against an
// independent fit in test_glyphs_profiled.py (streamed), and the streamed
// field against this direct fit bit for bit in FitStream.
TEST(TensorFit, EdgeVoxelsAndErrors) {
  const GradientTable t = sphere_scheme(10);
  Volume v = synthesize(3, 1, 1, t, [](int x, int, int) {
    if (x == 0) return std::pair{0.5, stick({1, 0, 0})};
    if (x == 1) return std::pair{800.0, stick({1, 0, 0}, 0.8e-3, 0.8e-3)};
    return std::pair{800.0, stick({0, 0, 1})};
  });
  const std::vector<std::uint64_t> shell{2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  TensorField f = fit_dti(v, t, {0, 1}, shell, 1.0);

  // Without b=0 volumes the fit still runs and the baseline is the shell mean.
  const TensorField g = fit_dti(v, t, {}, shell, 1.0);
  double shell_mean = 0;
  for (std::uint64_t k : shell) shell_mean += v.data[k * 3 + 2];
  EXPECT_DOUBLE_EQ(g.s0[2], shell_mean / 10);

  // A single baseline value is its own threshold.
  const TensorField flat{.fa = {0.1, 0.3, 0.5, 0.2}, .s0 = {5, 5, 5, 5}, .valid = {1, 1, 0, 1}};
  EXPECT_EQ(flat.wm_proxy(0.2), (Mask{0, 1, 0, 1}));
  // Otsu separates the dark voxel from the two bright ones.
  EXPECT_EQ(f.wm_proxy(0.0), (Mask{0, 1, 1}));
  f.s0[1] = 10;
  EXPECT_EQ(f.wm_proxy(0.0), (Mask{0, 0, 1}));

  EXPECT_EQ(error_text([&] { fit_dti(v, t, {0, 1}, {}, 1.0); }), "DTI fit failed: no DWI volumes in the working shell");
  // (A 3-D image: test_module.py.)
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

// A singular affine has no inverse to take a frame map from: the identity,
// never NaN. (Every other map: the end-to-end flips and FrameReadings.)
TEST(Frames, SingularAffineMapsToTheIdentity) {
  const VolumeInfo flat = info_with({{{2, 0, 0}, {0, 0, 0}, {0, 0, 2}}});
  EXPECT_FALSE(frames_divergent(flat));
  EXPECT_EQ(world_voxel_map(flat), identity3());
}

// A uniform axis-aligned field on a 6^3 cube, every voxel white matter.
TEST(Coherence, UniformCubeTiesAndSkipsVoxelsWithoutDirectionOrOutsideTheMask) {
  TensorField f = field_of({6, 6, 6}, [](int, int, int) { return Vec3{1, 0, 0}; });
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

// Each pair M, -M is scored once: that must be the score of both. (The
// ranking on any thread count: test_streamed_fit.py.)
TEST(Coherence, NegationLeavesACurvedFieldsScoreUnchanged) {
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
}

TEST(Flip, ThresholdShellAndMaskFailures) {
  const Volume& vol = bundle_phantom();
  const GradientTable t = sphere_scheme(40);
  Volume flat{{2, 2, 2}, VoxelData(8, 1)};  // would fail the fit
  const std::pair<double, const char*> bad[] = {
      {0, "0"}, {-0.5, "-0.5"}, {1.5, "1.5"}, {std::nan(""), "NaN"}, {INFINITY, "inf"}};
  for (const auto& [value, shown] : bad)
    EXPECT_EQ(error_text([&, v = value] { detect_flip(flat, t, nullptr, {.margin_threshold = v}, {}); }),
              std::string("margin threshold must be finite and in (0, 1]: ") + shown);
  EXPECT_EQ(detect_flip(vol, t, nullptr, {.margin_threshold = 1.0}, {}).margin_threshold, 1.0);

  const GradientTable b0_only{std::vector<Vec3>{Vec3{0, 0, 0}}, std::vector<double>{0}};
  // The shell is looked for first.
  EXPECT_EQ(error_text([&] { detect_flip(flat, b0_only, nullptr, {.margin_threshold = 0}, {}); }),
            "no usable non-b0 shell for flip detection");

  auto shell_b = [](std::vector<double> b) {
    return select_working_shell(GradientTable{std::vector<Vec3>(b.size(), Vec3{1, 0, 0}), b}, 50, 0.05)->nominal_b;
  };
  EXPECT_EQ(shell_b({0, 500, 1500}), 500);
  EXPECT_EQ(shell_b({0, 1000, 900}), 1000);
}

TEST(Flip, DecisionRulesAndJson) {
  auto score = [](const char* label, double coherence) {
    return CandidateScore{label, mat(label), mat(label) == identity3(), coherence, 10};
  };
  const std::vector<CandidateScore> flipped{score("-x+y+z", 1.0), score("+x-y-z", 1.0), score("+x+y+z", 0.95)};

  // (FLAG, PASS and WARN, each with the best tied with its negation and the
  // runner-up the first transform not equivalent to it: the flip sections of
  // audit_flipped, audit_correct_mask and audit_placeholder_mask in py/tests/contract.)
  // A threshold other than the default is recorded.
  EXPECT_NE(json::dump(assemble_result(7, flipped, 1000, 0.5, 0.1).to_json()).find(R"("margin_threshold":0.1,"decision":"WARN","recommended_transform":null,)"
                      R"("recommended_label":null})"),
            std::string::npos);

  const FlipResult r = assemble_result(7, {score("+y+x+z", 0.0), score("-y-x-z", 0.0)}, 1000, 0.5, 0.02);
  EXPECT_EQ(r.runner_up.label, "-y-x-z");  // every later entry is equivalent
  EXPECT_EQ(r.relative_margin, 0.0);
  EXPECT_EQ(r.decision, Status::Warn);
  EXPECT_EQ(r.identity_coherence, 0.0);
}
