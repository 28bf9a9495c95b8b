#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <tbb/task_arena.h>

#include "eigen3x3.hpp"
#include "fit_kernels.hpp"
#include "flip.hpp"
#include "fit_stream.hpp"
#include "tensor.hpp"
#include "io/image_reader.hpp"
#include "nifti_for_tests.hpp"
#include "phantom_for_tests.hpp"

using namespace tarvix;

namespace {

// 3 fit blocks, the last one partial.
constexpr int NX = 13, NY = 11, NZ = 9, NV = 40;
constexpr std::size_t GRID = NX * NY * NZ;

// b=0 every 13th volume, b=2000 (never read by the fit) every 5th from 2, the
// rest b=1000: more shell volumes than the stream buffers, so buffers are reused.
GradientTable table() {
  GradientTable t = test_support::sphere_scheme(NV, 0);
  for (int k = 0; k < NV; ++k) {
    if (k % 13 == 0) t.directions[k] = {0, 0, 0};
    t.bvals[k] = k % 13 == 0 ? 0.0 : k % 5 == 2 ? 2000.0 : 1000.0;
  }
  return t;
}

// Stored-order signals of a field of sticks turning with position, plus a few
// values the fit must floor or pass through (zero, negative, NaN, infinity).
// `iso_bright`: the bright voxels (x < 5) and the brighter half of the others
// are isotropic instead, so that the white-matter proxy is empty.
std::vector<float> signals(const GradientTable& t, bool specials, bool iso_bright = false) {
  using test_support::stick;
  const Volume v = test_support::synthesize(NX, NY, NZ, t, [&](int x, int y, int z) {
    const double a = 0.3 * x + 0.2 * y, dim = (iso_bright ? 300 : 600) + 37 * ((x * 7 + y * 3 + z) % 11);
    const bool iso = iso_bright && (x < 5 || dim > 500);
    return std::pair{iso_bright && x < 5 ? 3000.0 : dim, iso ? stick({1, 0, 0}, 0.8e-3, 0.8e-3)
                                                            : stick({std::cos(a) * 0.8, std::sin(a) * 0.8, 0.6},
                                                                    1.7e-3, 0.4e-3)};
  });
  std::vector<float> data(v.data.begin(), v.data.end());
  // A gain by volume and column, so that no two voxels or volumes scale alike.
  for (std::size_t i = 0; i < data.size(); ++i) data[i] *= float(1 + 0.01 * ((i / GRID * 31 + i % NX) % 7));
  if (specials) {
    data[1 * GRID + 5] = 0.0f;
    data[2 * GRID + 600] = -3.0f;
    data[3 * GRID + 1286] = std::numeric_limits<float>::quiet_NaN();
    data[4 * GRID + 700] = std::numeric_limits<float>::infinity();
    for (const int b0 : {0, 13, 26, 39}) data[b0 * GRID + 9] = 0.5f;  // a baseline below the minimum
  }
  return data;
}

// float32 as stored, or int16 with scl_slope 0.25 (converted while read).
std::string write_scan(const std::string& name, const std::vector<float>& data, bool as_int16) {
  nifti_1_header h = make_header({NX, NY, NZ, NV}, as_int16 ? DT_INT16 : DT_FLOAT32, as_int16 ? 16 : 32);
  std::fill(h.pixdim, h.pixdim + 8, 2.0f);
  h.scl_slope = as_int16 ? 0.25f : 0.0f;
  std::vector<std::int16_t> stored;
  for (float v : data) stored.push_back(static_cast<std::int16_t>(std::isfinite(v) ? std::lround(v * 4) : 0));
  return write_nii(name, nii_bytes(h, as_int16 ? raw(stored) : raw(data)));
}

void expect_same_bits(const TensorField& a, const TensorField& b) {
  ASSERT_EQ(a.fa.size(), GRID);
  ASSERT_EQ(b.fa.size(), GRID);
  EXPECT_EQ(a.shape, b.shape);
  EXPECT_EQ(std::memcmp(a.v1.data(), b.v1.data(), GRID * sizeof(Vec3)), 0);
  EXPECT_EQ(std::memcmp(a.fa.data(), b.fa.data(), GRID * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(a.s0.data(), b.s0.data(), GRID * sizeof(double)), 0);
  EXPECT_EQ(a.valid, b.valid);
}

}  // namespace

TEST(FitStream, StreamedFieldEqualsTheDirectFitForAnyThreadCount) {
  const GradientTable t = table();
  const DetectionPlan l = plan_detection(t, {});
  const std::vector<std::uint64_t>& shell = l.shell->indices;
  ASSERT_EQ(l.b0, (std::vector<std::uint64_t>{0, 13, 26, 39}));
  ASSERT_GT(shell.size(), 20u);
  tbb::task_arena one(1), two(2);

  for (const bool as_int16 : {true, false}) {
    SCOPED_TRACE(as_int16 ? "int16 .nii.gz" : "float32 .nii");
    const std::string path = write_scan(as_int16 ? "s16.nii.gz" : "f32.nii", signals(t, !as_int16), as_int16);
    const VolumeRead whole = read_volume_with_info(path);
    ASSERT_FALSE(whole.volume.partial);
    const TensorField direct = one.execute([&] { return fit_dti(whole.volume, t, l.b0, shell, 1.0); });
    expect_same_bits(direct, two.execute([&] { return fit_dti(whole.volume, t, l.b0, shell, 1.0); }));
    // The voxel at stored offset 9 has a dark baseline: kept, not fitted.
    EXPECT_TRUE(as_int16 || (!direct.valid[9 * NY * NZ] && direct.s0[9 * NY * NZ] == 0.5));

    // Inline on the reading thread, on a call arena of two, on the default arena.
    const std::pair<tbb::task_arena*, int> runs[] = {{&one, 1}, {&two, 2}, {nullptr, 2}};
    for (const auto& [arena, concurrency] : runs) {
      SCOPED_TRACE(concurrency);
      // Two b=0 volumes kept, two averaged from the ring as stored and dropped.
      const std::vector<std::uint64_t> kept{0, 26};
      FitStream stream(t, l.b0, shell, 1.0, kept, arena, concurrency);
      stream.average_volumes({39, 0, 26, 13});
      ReadTimings timings;
      const VolumeRead r = read_volume_with_info(path, &timings, &stream);
      EXPECT_TRUE(r.volume.partial);
      EXPECT_EQ(r.volume.held, kept);
      EXPECT_EQ(r.volume.data.size(), kept.size() * GRID);
      EXPECT_THROW(r.volume.volume_data(shell[0]), std::logic_error);
      EXPECT_EQ(std::memcmp(r.volume.volume_data(26), whole.volume.volume_data(26), GRID * sizeof(float)), 0);
      EXPECT_EQ(mean_for_volumes(r.volume, kept, nullptr), mean_for_volumes(whole.volume, kept, nullptr));

      ASSERT_TRUE(stream.complete());
      const TensorField streamed = arena ? arena->execute([&] { return stream.take(); }) : stream.take();
      expect_same_bits(direct, streamed);
      EXPECT_THROW(stream.take(), std::logic_error);  // the field is handed over once
      // The drift's means, made while the image streamed in.
      EXPECT_EQ(stream.volume_means(l.b0), mean_for_volumes(whole.volume, l.b0, nullptr));
      EXPECT_FALSE(stream.volume_means({0, 5}));  // 5 was not averaged
    }
  }
}

// Fitting only the white-matter proxy's voxels must not change a detection,
// also when the proxy is empty and every anisotropic voxel is scored instead.
TEST(FitStream, DetectionOnTheStreamedFieldEqualsDetectionOnTheWholeImage) {
  const GradientTable t = table();
  const Sampling sampling{identity3(), 1.5};
  const AnalysisOptions options;
  const DetectionPlan plan = plan_detection(t, options);
  ASSERT_TRUE(plan.ready());
  for (const bool iso_bright : {false, true}) {
    const std::string path = write_scan("detect.nii.gz", signals(t, false, iso_bright), true);
    const VolumeRead whole = read_volume_with_info(path);
    const FlipResult plain = detect_flip(whole.volume, t, nullptr, options, sampling);
    const TensorField direct = fit_dti(whole.volume, t, plan.b0, plan.shell->indices, 1.0);
    EXPECT_EQ(direct.wm_proxy(defaults::kFaThreshold) == Mask(GRID, 0), iso_bright);
    TensorField held;  // the scope's field without lean sums
    const std::pair<FitScope, const char*> scopes[] = {
        {FitScope::Whole, "whole field"}, {FitScope::ProxyAndTissue, "proxy and tissue"},
        {FitScope::WhiteMatterProxy, "proxy only"}};
    for (const auto& [scope, name] : scopes)
      for (const bool lean : {false, true}) {
        SCOPED_TRACE(std::string(iso_bright ? "isotropic bright voxels, " : "") + name + (lean ? ", lean" : ""));
        FitStream stream(t, plan.b0, plan.shell->indices, 1.0, {}, nullptr, 2, scope);
        if (lean) stream.lean_from(0);
        const VolumeRead r = read_volume_with_info(path, nullptr, &stream);
        EXPECT_TRUE(r.volume.data.empty());  // nothing kept: detection needs only the fit
        ASSERT_TRUE(stream.complete());
        TensorField field = stream.take();
        // The proxy's field leaves the voxels below its threshold unfitted unless
        // the proxy is empty; with the tissue too it fits the whole of a grid
        // with no background (these signals without the bright block), which the
        // tracking seeds in.
        if (scope == FitScope::WhiteMatterProxy && !iso_bright) {
          const double bright = field.bright_threshold();
          std::size_t wrong = 0, unfitted = 0;
          for (std::size_t i = 0; i < field.valid.size(); ++i) {
            wrong += field.valid[i] != (direct.s0[i] >= bright ? direct.valid[i] : 0);
            unfitted += direct.valid[i] && !field.valid[i];
          }
          EXPECT_EQ(wrong, 0u);
          EXPECT_GT(unfitted, 0u);
        } else {
          EXPECT_TRUE(field.valid == direct.valid);
        }
        if (scope == FitScope::ProxyAndTissue && !iso_bright) {
          EXPECT_LT(field.tissue_threshold(), field.bright_threshold());
        }
        EXPECT_EQ(field.s0, direct.s0);
        if (lean)
          expect_same_bits(held, field);
        else
          held = field;
        DetectTimings timings{-1, -1};
        const FlipResult streamed =
            detect_on_field(std::move(field), nullptr, plan, sampling, options.margin_threshold, nullptr, &timings);
        EXPECT_EQ(json::dump(streamed.to_json()), json::dump(plain.to_json()));
        EXPECT_GE(timings.fit_s, 0.0);
      }
  }
}

TEST(FitStream, DeclinedImagesAndFailedReads) {
  const GradientTable t = table();
  const DetectionPlan l = plan_detection(t, {});
  const std::string path = write_scan("decline.nii.gz", signals(t, false), true);

  // A table of another length: the image is read whole and the stream is unused.
  GradientTable shorter = t;
  shorter.directions.pop_back();
  shorter.bvals.pop_back();
  {
    const DetectionPlan s = plan_detection(shorter, {});
    FitStream stream(shorter, s.b0, s.shell->indices, 1.0, s.b0, nullptr, 2);
    const VolumeRead r = read_volume_with_info(path, nullptr, &stream);
    EXPECT_FALSE(r.volume.partial);
    EXPECT_EQ(r.volume.data.size(), GRID * NV);
    EXPECT_FALSE(stream.complete());
    EXPECT_THROW(stream.take(), std::logic_error);
  }

  // The set-up errors of the fit come from the constructor.
  EXPECT_EQ(test_support::error_text([&] { FitStream(t, l.b0, {}, 1.0, {}, nullptr, 2); }),
            "DTI fit failed: no DWI volumes in the working shell");

  // A read that fails half way stops the summing task before the data goes away.
  const std::string bytes = test_support::slurp(path);
  const std::string cut = temp_path("cut.nii.gz");
  write_bytes(cut, bytes.substr(0, bytes.size() * 2 / 3));
  for (const int concurrency : {1, 2}) {
    FitStream stream(t, l.b0, l.shell->indices, 1.0, l.b0, nullptr, concurrency);
    const std::string error = test_support::error_text([&] { read_volume_with_info(cut, nullptr, &stream); });
    EXPECT_TRUE(error.starts_with("NIfTI error: ")) << error;
    EXPECT_THROW(stream.take(), std::logic_error);
  }
}

TEST(SymmetricEigen, SameBitsAsTheLibrarySolver) {
  std::uint64_t state = 12345;
  auto uniform = [&] {  // in [-1, 1)
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
  };
  // Two smallest or two largest equal: the random sticks and discs below.
  std::vector<std::array<double, 6>> cases = {
      {0, 0, 0, 0, 0, 0},                          // zero
      {1e-3, 1e-3, 1e-3, 0, 0, 0},                 // three equal
      {-2e-4, -1e-4, -3e-4, 1e-5, 0, 2e-5},        // all negative
      {1e-3, 1e-3, 1e-3 * (1 + 1e-15), 0, 0, 0},   // nearly three equal
  };
  for (int i = 0; i < 3000; ++i) {
    std::array<double, 6> d;
    for (double& x : d) x = uniform() * 2e-3;
    if (i % 3 != 0) {  // a noisy stick (two smallest equal) or a disc (two largest equal), random axis
      const Vec3 e{uniform(), uniform(), uniform()};
      const double n2 = norm(e) * norm(e), iso = i % 3 == 1 ? 3e-4 : 1.5e-3, axis = i % 3 == 1 ? 1.4e-3 : -1.2e-3;
      const double noise = i % 3 == 1 ? 1e-6 : 0.0;
      auto t = [&](int a, int b) { return iso * (a == b) + axis * e[a] * e[b] / n2 + noise * uniform(); };
      d = {t(0, 0), t(1, 1), t(2, 2), t(0, 1), t(0, 2), t(1, 2)};
    }
    cases.push_back(d);
  }
  for (const auto& d : cases) {
    Eigen::Matrix3d m;
    m << d[0], d[3], d[4], d[3], d[1], d[5], d[4], d[5], d[2];
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
    solver.computeDirect(m);
    const SymmetricEigen e = symmetric_eigen(d[0], d[1], d[2], d[3], d[4], d[5]);
    for (int k = 0; k < 3; ++k) {
      ASSERT_EQ(std::memcmp(&e.values[k], &solver.eigenvalues()(k), sizeof(double)), 0) << k;
      ASSERT_EQ(std::memcmp(&e.largest[k], &solver.eigenvectors()(k, 2), sizeof(double)), 0) << k;
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double v : symmetric_eigen(nan, 1e-3, 1e-3, 0, 0, 0).values) EXPECT_TRUE(std::isnan(v));
}

// Stored 8- and 16-bit voxels are looked up in a table instead of converted
// and logged: every pattern, mixed with float rows and a baseline row, must
// add exactly the bits the converted rows add.
TEST(SignalTable, LookedUpRowsAddTheBitsOfConvertedRows) {
  using namespace tarvix::fit;
  for (const std::size_t bytes : {std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE(bytes);
    // Signed little-endian, scaled as a header may scale it: negatives, zero and fractions.
    const StoredToFloat to_float = [bytes](const unsigned char* src, std::size_t n, float* dst) {
      for (std::size_t j = 0; j < n; ++j) {
        const int v = bytes == 1 ? static_cast<std::int8_t>(src[j])
                                 : static_cast<std::int16_t>(src[2 * j] | src[2 * j + 1] << 8);
        dst[j] = static_cast<float>(v) * 0.37f - 2.0f;
      }
    };
    const double ln_floor = std::log(kMinSignal);
    const SignalTable table = make_signal_table(bytes, to_float, ln_floor);
    ASSERT_EQ(table.bytes, bytes);
    const std::size_t patterns = std::size_t{1} << (8 * bytes);
    std::vector<unsigned char> stored(patterns * bytes);
    for (std::size_t i = 0; i < patterns; ++i) {
      const std::size_t p = (i * 40503) % patterns;  // every pattern once, scrambled
      for (std::size_t b = 0; b < bytes; ++b) stored[i * bytes + b] = static_cast<unsigned char>(p >> (8 * b));
    }
    std::vector<float> floats(patterns);
    to_float(stored.data(), patterns, floats.data());
    const double w[7][7] = {{0.5, -1e-3, 2e-4, 3e-4, -4e-4, 5e-4, 6e-4}, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7},
                            {-1, 1, -1, 1, -1, 1, -1}, {3e-5, 2, 1e3, -7, 0.25, 1, 9},
                            {1, 1, 1, 1, 1, 1, 1}, {0.3, -0.3, 0.7, -0.7, 0.9, -0.9, 1.1},
                            {2, 4, 8, 16, 32, 64, 128}};
    for (std::size_t start = 0; start < patterns; start += kBlock) {
      const std::size_t n = std::min(kBlock, patterns - start);
      std::vector<double> converted(kBlockDoubles, 0.0), looked_up(kBlockDoubles, 0.0);
      std::vector<RowInput> a, b;
      // Rows of each kind in runs of 1 to 5, so that groups split everywhere.
      for (int r = 0; r < 7; ++r) {
        const bool base = r == 0 || r == 4;
        a.push_back({floats.data() + start, w[r], base});
        b.push_back({floats.data() + start, w[r], base, r % 3 == 1 ? nullptr : stored.data() + start * bytes});
      }
      add_row_run(converted.data(), a.data(), a.size(), n, ln_floor);
      add_row_run(looked_up.data(), b.data(), b.size(), n, ln_floor, &table);
      for (std::size_t row = 0; row < kRows; ++row)
        for (std::size_t j = 0; j < n; ++j)
          ASSERT_EQ(std::bit_cast<std::uint64_t>(converted[row * kStride + j]),
                    std::bit_cast<std::uint64_t>(looked_up[row * kStride + j]))
              << "row " << row << " voxel " << start + j;
    }
  }
  EXPECT_EQ(make_signal_table(4, nullptr, 0.0).bytes, 0u);
}
