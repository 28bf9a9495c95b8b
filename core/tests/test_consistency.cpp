// Does the table belong to the image: the four tests on a lattice of tensor
// voxels made here, with the table as acquired and bent in each of the ways
// tables go wrong. (The verdict and repair on a mismatch: test_consistency.py.)
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <string>

#include "consistency.hpp"
#include "options.hpp"
#include "phantom_for_tests.hpp"
#include "report.hpp"

namespace tarvix {
namespace {

constexpr double kS0 = 1000;

// `n_b0` b=0 volumes spread among `per_shell` directions per shell.
GradientTable scheme(std::vector<double> shells, std::size_t per_shell, std::size_t n_b0 = 4) {
  GradientTable t;
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal;
  const std::size_t total = n_b0 + shells.size() * per_shell;
  std::size_t w = 0;
  for (std::size_t k = 0; k < total; ++k) {
    if (k % (total / n_b0) == 0 && t.b0_indices(50).size() < n_b0) {
      t.bvals.push_back(0);
      t.directions.push_back({0, 0, 0});
      continue;
    }
    t.bvals.push_back(shells[w++ / per_shell]);
    t.directions.push_back(test_support::unit({normal(rng), normal(rng), normal(rng)}));
  }
  return t;
}

// A grid of 32 x 32 x 8: a background of noise around a "brain" of single
// fibres in random directions (and some grey matter), with Rician noise of
// sd kS0 / snr; with `stripped`, a zeroed background and fibres running in
// bundles a few voxels wide, as a skull-stripped brain.
SignalSample image_of(const GradientTable& truth, double snr, bool stripped = false) {
  const std::vector<std::uint64_t> shape{32, 32, 8};
  SignalSample sample;
  sample.begin(shape, truth.size(), 1 << 20);
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  const std::uint64_t grid = 32 * 32 * 8;
  std::vector<Vec3> fibre(grid);
  std::vector<int> tissue(grid);  // 0 background, 1 grey, 2 white
  for (std::uint64_t i = 0; i < grid; ++i) {
    const double x = double(i % 32) - 15.5, y = double((i / 32) % 32) - 15.5;
    tissue[i] = x * x + y * y > 14 * 14 ? 0 : (i % 3 ? 2 : 1);
    const Vec3 f = test_support::unit({normal(rng), normal(rng), normal(rng)});
    fibre[i] = stripped && i % 4 ? fibre[i - 1] : f;
    if (stripped && tissue[i] == 1) tissue[i] = 2;
  }
  std::vector<float> volume(grid);
  for (std::uint64_t k = 0; k < truth.size(); ++k) {
    const double b = truth.bvals[k];
    const Vec3& g = truth.directions[k];
    for (std::uint64_t i = 0; i < grid; ++i) {
      double s = 0;
      if (tissue[i] == 1) s = kS0 * std::exp(-b * 0.8e-3);
      if (tissue[i] == 2) {
        const double c = fibre[i][0] * g[0] + fibre[i][1] * g[1] + fibre[i][2] * g[2];
        s = 0.9 * kS0 * std::exp(-b * (0.3e-3 + 1.4e-3 * c * c));
      }
      const double sd = snr > 0 ? kS0 / snr : 0;
      volume[i] = stripped && tissue[i] == 0 ? 0.0f : static_cast<float>(std::hypot(s + sd * normal(rng), sd * normal(rng)));
    }
    sample.take(k, volume.data());
  }
  return sample;
}

// The ways a table stops describing its image (every one keeps the count).
GradientTable bent(GradientTable t, const std::string& how) {
  const auto b0 = t.b0_indices(50);
  std::vector<std::size_t> first;  // the rows of the b=1000 shell, the lowest in every case
  for (std::size_t k = 0; k < t.size(); ++k)
    if (t.bvals[k] == 1000) first.push_back(k);
  if (how == "shuffled") {
    std::vector<Vec3> dirs;
    for (auto k : first) dirs.push_back(t.directions[k]);
    std::rotate(dirs.begin(), dirs.begin() + 7, dirs.end());
    std::swap(dirs[0], dirs[5]);
    for (std::size_t i = 0; i < first.size(); ++i) t.directions[first[i]] = dirs[i];
  } else if (how == "shifted") {
    std::rotate(t.bvals.rbegin(), t.bvals.rbegin() + 1, t.bvals.rend());
    std::rotate(t.directions.rbegin(), t.directions.rbegin() + 1, t.directions.rend());
  } else if (how == "b0 swapped") {
    std::swap(t.bvals[b0[1]], t.bvals[first[3]]);
    std::swap(t.directions[b0[1]], t.directions[first[3]]);
  } else if (how == "shells exchanged") {
    for (double& b : t.bvals)
      if (b > 50) b = b == 1000 ? 2000 : 1000;
  }
  return t;
}

struct Case {
  std::string how;
  std::vector<double> shells;
  double snr;
  Status expected;
  std::string failing;  // the test that must fail, and a piece of its finding
  std::string says;
};

TEST(Consistency, EachKindOfMismatchIsFlaggedByItsTestAndACorrectTableNever) {
  const std::vector<Case> cases = {
      {"correct", {1000}, 30, Status::Pass, "", ""},
      {"correct", {1000, 2000}, 30, Status::Pass, "", ""},
      {"correct", {1000}, 4, Status::Pass, "", ""},
      // Without noise there is nothing to measure it by (repeats are identical,
      // the background is zero): never more than a warning.
      {"correct", {1000}, 0, Status::Pass, "", ""},
      {"shuffled", {1000}, 0, Status::Warn, "", ""},
      {"shuffled", {1000}, 30, Status::Flag, "order", "do not follow their directions"},
      {"shuffled", {1000, 2000}, 30, Status::Flag, "order", "(the b=1000 shell) do not follow"},
      {"shifted", {1000}, 30, Status::Flag, "b0", "is called b=0 but is as dark as the b=1000 shell"},
      {"b0 swapped", {1000}, 30, Status::Flag, "b0", "is called b=1000 but is as bright as the b=0 volumes"},
      {"shells exchanged", {1000, 2000}, 30, Status::Flag, "shells",
       "the b=2000 shell is brighter than the b=1000 shell"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how + " at SNR " + std::to_string(c.snr) + ", " + std::to_string(c.shells.size()) + " shell(s)");
    const GradientTable truth = scheme(c.shells, 30);
    const ConsistencyResult r = check_consistency(bent(truth, c.how), image_of(truth, c.snr), 50, defaults::kTolerance);
    EXPECT_FALSE(r.not_judged);
    EXPECT_EQ(r.status, c.expected);
    if (c.failing.empty()) continue;
    const ConsistencyTest& t = c.failing == "b0" ? r.b0 : c.failing == "shells" ? r.shells : r.order;
    EXPECT_EQ(t.status, Status::Flag);
    ASSERT_TRUE(t.margin);
    EXPECT_LT(*t.margin, t.flag);
    std::string all;
    for (const auto& n : r.notes()) all += n + "\n";
    EXPECT_NE(all.find(c.says), std::string::npos) << all;
  }
}

TEST(Consistency, OneB0AndAZeroedBackgroundStillFlagAShuffle) {
  // No b=0 repeats and no background to measure the noise by: the image's
  // neighbouring voxels measure it.
  const GradientTable truth = scheme({1000}, 30, 1);
  EXPECT_EQ(check_consistency(truth, image_of(truth, 20, true), 50, defaults::kTolerance).status, Status::Pass);
  const ConsistencyResult r = check_consistency(bent(truth, "shuffled"), image_of(truth, 20, true), 50,
                                                defaults::kTolerance);
  EXPECT_EQ(r.order.status, Status::Flag);
  ASSERT_FALSE(r.order_shells.empty());
  ASSERT_TRUE(r.order_shells[0].structure);
}

// (A shuffle in strong noise only warns: test_consistency.py.)
TEST(Consistency, NothingIsJudgedOnAnIncompleteSample) {
  const GradientTable truth = scheme({1000}, 30);
  SignalSample sample;
  sample.begin({8, 8, 4}, truth.size());
  std::vector<float> volume(256, 100.0f);
  sample.take(0, volume.data());
  const ConsistencyResult r = check_consistency(truth, sample, 50, defaults::kTolerance);
  EXPECT_TRUE(r.not_judged);
  EXPECT_EQ(r.status, Status::Pass);
}

TEST(Consistency, VolumeRangesAreRuns) {
  EXPECT_EQ(volume_ranges({7}), "7");
  EXPECT_EQ(volume_ranges({14, 15, 16, 17, 18, 19, 20}), "14\u201320");
  EXPECT_EQ(volume_ranges({1, 2, 3, 5, 7, 8}), "1\u20133, 5, 7\u20138");
}

}  // namespace
}  // namespace tarvix
