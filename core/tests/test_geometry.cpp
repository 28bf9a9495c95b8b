// Which headers give an orientation the axes verdict can rest on, the voxel
// sizes that go with it, and what the reader learns from a header alone.
#include <gtest/gtest.h>

#include <nifti1_io.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "frame.hpp"
#include "io/image_reader.hpp"
#include "nifti_for_tests.hpp"
#include "phantom_for_tests.hpp"

using namespace tarvix;
using tarvix::test_support::error_text;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A 2×3×4 image of 2 mm voxels, stored as LAS (radiological) in its sform.
nifti_1_header las_header() {
  auto h = make_header({2, 3, 4}, DT_UINT8, 8);
  h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = 2;
  h.sform_code = 1;
  const float rows[3][4] = {{-2, 0, 0, 90}, {0, 2, 0, -126}, {0, 0, 2, -72}};
  std::memcpy(h.srow_x, rows[0], sizeof rows[0]);
  std::memcpy(h.srow_y, rows[1], sizeof rows[1]);
  std::memcpy(h.srow_z, rows[2], sizeof rows[2]);
  return h;
}

VolumeInfo info_of(const std::string& name, const nifti_1_header& h) {
  return read_volume_with_info(write_nii(name, nii_bytes(h, std::string(24, '\1')))).info;
}

bool finite(const Mat3& m) {
  for (const auto& row : m)
    for (double v : row)
      if (!std::isfinite(v)) return false;
  return true;
}

struct DoubtCase {
  const char* name;
  std::function<void(nifti_1_header&)> edit;
  const char* doubt;  // a part of the expected sentence; nullptr: no doubt
  Vec3 spacing;
};

}  // namespace

TEST(OrientationDoubt, EachUntrustworthyHeaderSaysWhichAndWhy) {
  const double s = std::sqrt(0.5);
  const std::vector<DoubtCase> cases = {
      {"sound_sform", [](auto&) {}, nullptr, {2, 2, 2}},
      {"sound_qform_turned",
       [s](auto& h) {
         h.sform_code = 0, h.qform_code = 1, h.quatern_d = static_cast<float>(s);
       },
       nullptr, {2, 2, 2}},
      // Within rounding of the affine's sizes, pixdim's own figures are kept.
      {"pixdim_within_1pc", [](auto& h) { h.pixdim[1] = 2.01f; }, nullptr, {2.01f, 2, 2}},
      {"sform_nan", [](auto& h) { h.srow_x[0] = kNaN; }, "the sform holds a non-finite number (srow_x[0] = NaN)",
       {2, 2, 2}},
      {"sform_inf_offset", [](auto& h) { h.srow_z[3] = -kInf; }, "(srow_z[3] = -Inf)", {2, 2, 2}},
      {"sform_zero",
       [](auto& h) {
         std::memset(h.srow_x, 0, sizeof h.srow_x), std::memset(h.srow_y, 0, sizeof h.srow_y);
         std::memset(h.srow_z, 0, sizeof h.srow_z);
       },
       "the sform is all zero", {2, 2, 2}},
      {"sform_zero_axis", [](auto& h) { h.srow_y[1] = 0; }, "voxel axis 1 has zero length", {2, 2, 2}},
      {"sform_flat", [](auto& h) { h.srow_x[1] = -2, h.srow_y[1] = 0, h.srow_y[0] = 0; }, "the sform is singular",
       {2, 2, 2}},
      {"qform_nan",
       [](auto& h) { h.sform_code = 0, h.qform_code = 1, h.quatern_b = kNaN; },
       "the qform holds a non-finite number (quatern_b = NaN)", {2, 2, 2}},
      {"qform_zero_size", [](auto& h) { h.sform_code = 0, h.qform_code = 1, h.pixdim[3] = 0; },
       "voxel axis 2 has zero length", {2, 2, 0}},
      {"qform_not_rotation", [](auto& h) { h.sform_code = 0, h.qform_code = 1, h.quatern_b = 1, h.quatern_c = 1; },
       "quaternion is not a rotation", {2, 2, 2}},
      {"no_codes", [](auto& h) { h.sform_code = 0; }, "neither a qform nor an sform", {2, 2, 2}},
      {"analyze", [](auto& h) { std::memset(h.magic, 0, sizeof h.magic); }, "ANALYZE 7.5", {2, 2, 2}},
      // The frame comes from the sform, so the grid's sizes must as well.
      {"pixdim_contradicts",
       [](auto& h) {
         h.pixdim[1] = 0.1f, h.pixdim[2] = 5, h.pixdim[3] = 50;
         h.srow_x[0] = -5, h.srow_y[1] = 5, h.srow_z[2] = 5;
       },
       "the voxel sizes in pixdim (0.1, 5, 50) disagree with the sform's (5, 5, 5) by more than 1 %", {5, 5, 5}},
      {"pixdim_negative", [](auto& h) { h.pixdim[2] = -2; }, "disagree with the sform's", {2, 2, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = las_header();
    c.edit(h);
    const std::string file = std::string(c.name) + (std::string(c.name) == "analyze" ? ".hdr" : ".nii");
    if (std::string(c.name) == "analyze") {
      h.vox_offset = 0;
      write_bytes(temp_path("analyze.img"), std::string(24, '\1'));
      write_bytes(temp_path(file), std::string(reinterpret_cast<const char*>(&h), sizeof h));
    }
    const VolumeInfo info = std::string(c.name) == "analyze" ? read_volume_with_info(temp_path(file)).info
                                                               : info_of(file, h);
    if (c.doubt) {
      ASSERT_TRUE(info.orientation_doubt);
      EXPECT_NE(info.orientation_doubt->find(c.doubt), std::string::npos) << *info.orientation_doubt;
    } else {
      EXPECT_FALSE(info.orientation_doubt) << *info.orientation_doubt;
    }
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(info.spacing[j], c.spacing[j], 1e-6) << j;
    // Whatever the header, nothing derived from it may carry a NaN into a
    // sampling step or a written table.
    for (const bool world : {false, true}) {
      const FrameMaps maps = FrameMaps::resolve(world, info);
      EXPECT_TRUE(finite(maps.fsl_voxel_map) && finite(maps.world_voxel_map));
      EXPECT_TRUE(finite(to_fsl(maps)) && finite(to_world(maps)));
      EXPECT_TRUE(std::isfinite(image_sampling(world, info, std::nullopt).step));
    }
  }
}

TEST(OrientationDoubt, SamplingStepFollowsTheAffineNotAContradictingPixdim) {
  // pixdim says 0.5 mm, the sform 4 mm: stepping 4 mm is one voxel, not eight.
  auto h = las_header();
  h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = 0.5f;
  h.srow_x[0] = -4, h.srow_y[1] = 4, h.srow_z[2] = 4;
  EXPECT_EQ(image_sampling(false, info_of("step.nii", h), std::nullopt).step, 1.0);
  h = las_header();
  EXPECT_EQ(image_sampling(false, info_of("step2.nii", h), std::nullopt).step, 2.0);
}

namespace {

VolumeInfo placed(std::vector<std::uint64_t> shape, const Mat4& affine, bool doubt = false) {
  VolumeInfo v;
  v.shape = std::move(shape);
  v.affine = affine;
  v.spacing = {2, 2, 2};
  if (doubt) v.orientation_doubt = "no codes";
  return v;
}

const Mat4 kLas{{{-2, 0, 0, 90}, {0, 2, 0, -126}, {0, 0, 2, -72}, {0, 0, 0, 1}}};

Mat4 shifted(double mm) {
  Mat4 a = kLas;
  a[0][3] += mm;
  return a;
}

}  // namespace

TEST(MaskGeometry, ComparedWithTheDwiGridAndPlacement) {
  const VolumeInfo dwi = placed({49, 57, 51, 30}, kLas);
  Mat4 rounded = kLas;
  rounded[0][0] = -2.0000001, rounded[1][3] = -126.00001;
  struct Case {
    const char* name;
    VolumeInfo mask;
    const char* error;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {"same", placed({49, 57, 51}, kLas), nullptr},
      {"4-D mask", placed({49, 57, 51, 2}, kLas), nullptr},
      {"float rounding", placed({49, 57, 51}, rounded), nullptr},
      {"no orientation of its own", placed({49, 57, 51}, Mat4{}, true), nullptr},
      {"other count", placed({49, 57, 50}, kLas),
       "mask grid mismatch: mask has 139650 voxels but the DWI grid has 142443"},
      {"swapped axes", placed({57, 49, 51}, kLas),
       "mask grid mismatch: the mask is 57\u00d749\u00d751 voxels but the DWI grid is 49\u00d757\u00d751"},
      {"one voxel off", placed({49, 57, 51}, shifted(2.0)), "mask grid mismatch: the mask's affine places its grid"},
      {"half-size voxels", placed({49, 57, 51}, Mat4{{{-1, 0, 0, 90}, {0, 1, 0, -126}, {0, 0, 1, -72}, {0, 0, 0, 1}}}),
       "mask grid mismatch: the mask's affine"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string e = error_text([&] { check_mask_geometry(c.mask, dwi); });
    if (c.error)
      EXPECT_TRUE(e.starts_with(c.error)) << e;
    else
      EXPECT_EQ(e, "<no error>");
  }
}

TEST(HeaderChecks, RefuseBeforeAnyDataIsRead) {
  // Headers alone, declaring far more data than follows: reading any of it
  // would fail as a short file (or take gigabytes), so only a refusal on the
  // header gives the mismatch error.
  auto big = make_header({1000, 1000, 1000}, DT_UINT8, 8);
  const std::string huge_mask = write_nii("huge_mask.nii.gz", nii_bytes(big, std::string(64, '\0')));
  const VolumeInfo dwi = placed({10, 10, 10, 5}, kLas, true);
  EXPECT_EQ(error_text([&] { read_mask(huge_mask, [&](const VolumeInfo& m) { check_mask_geometry(m, dwi); }); }),
            "mask grid mismatch: mask has 1000000000 voxels but the DWI grid has 1000");

  auto four = make_header({10, 10, 10, 400}, DT_INT16, 16);
  const std::string dwi_file = write_nii("many_volumes.nii.gz", nii_bytes(four, std::string(100, '\0')));
  EXPECT_EQ(error_text([&] {
              read_volume_with_info(dwi_file, nullptr, nullptr, [](const VolumeInfo& info) {
                if (info.n_volumes != 31) throw Error::volume_mismatch(31, info.n_volumes);
              });
            }),
            "volume mismatch: 31 gradients but 400 DWI volumes");
  // The mask's own dimension rule is a header rule too.
  const std::string flat = write_nii("flat_huge.nii", nii_bytes(make_header({30000, 30000}, DT_UINT8, 8), ""));
  EXPECT_EQ(error_text([&] { read_mask(flat); }), "NIfTI error: a mask image must be 3-D or 4-D, got 2-D");
}

namespace {

// Keeps volume 0 and takes volumes 1 and 2 only through the sink, as floats
// or (when it accepts them) as stored.
struct TakingSink final : VolumeSink {
  explicit TakingSink(bool accept_raw) : accept_raw(accept_raw) {}
  bool begin(const VolumeInfo&, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) override {
    keep[0] = want[1] = want[2] = 1;
    return true;
  }
  float* buffer_for(std::uint64_t) override { return floats.data(); }
  void volume_ready(std::uint64_t, const float*) override {}
  void end() override {}
  void abandon() noexcept override {}
  bool take_raw(const RawVoxels&) override { return accept_raw; }
  unsigned char* raw_buffer_for(std::uint64_t) override { return bytes.data(); }

  bool accept_raw;
  std::vector<float> floats = std::vector<float>(64);
  std::vector<unsigned char> bytes = std::vector<unsigned char>(64 * 16);
};

}  // namespace

TEST(NonFiniteVoxels, CountedPerVolumeWhateverRoadTheVolumeTakes) {
  // 2×2×1 grid, three volumes: volume 1 all Inf/NaN, volume 2 one NaN.
  const std::vector<float> v = {1, 2, 3, 4, kInf, -kInf, kNaN, kInf, 5, kNaN, 6, 7};
  struct Case {
    const char* name;
    short datatype;
    short bitpix;
    std::string data;
    bool swap;
  };
  std::vector<double> d(v.begin(), v.end());
  const std::vector<Case> cases = {
      {"f32.nii", DT_FLOAT32, 32, raw(v), false},
      {"f32be.nii.gz", DT_FLOAT32, 32, raw(v, true), true},
      {"f64.nii.gz", DT_FLOAT64, 64, raw(d), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = make_header({2, 2, 1, 3}, c.datatype, c.bitpix);
    if (c.swap) swap_nifti_header(&h, 1);
    const std::string path = write_nii(c.name, nii_bytes(h, c.data));
    TakingSink floats(false), stored(true);
    for (VolumeSink* sink : {static_cast<VolumeSink*>(nullptr), static_cast<VolumeSink*>(&floats),
                             static_cast<VolumeSink*>(&stored)})
      EXPECT_EQ(read_volume_with_info(path, nullptr, sink).non_finite, (std::vector<std::uint64_t>{0, 4, 1}));
  }
  // Integers cannot be Inf unless the scaling carries them past a float.
  auto h = make_header({2, 2, 1, 3}, DT_INT16, 16);
  const std::string ints = raw(std::vector<std::int16_t>(12, 7));
  EXPECT_TRUE(read_volume_with_info(write_nii("i16.nii", nii_bytes(h, ints))).non_finite.empty());
  h.scl_slope = 3e38f;
  EXPECT_EQ(read_volume_with_info(write_nii("i16_huge.nii", nii_bytes(h, ints))).non_finite,
            (std::vector<std::uint64_t>{4, 4, 4}));
}
