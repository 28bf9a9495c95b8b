// Which headers give an orientation the axes verdict can rest on, the grid
// spacing that goes with it, masks held against the DWI, non-finite voxels.
#include <gtest/gtest.h>

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

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(OrientationDoubt, EachUntrustworthyHeaderSaysWhichAndWhy) {
  struct Case {
    const char* name;
    std::function<void(nifti_1_header&)> edit;
    const char* doubt;  // part of the sentence; nullptr: none
    Vec3 spacing;
  };
  const std::vector<Case> cases = {
      {"sound", [](auto&) {}, nullptr, {2, 2, 2}},
      {"qform", [](auto& h) { h.sform_code = 0, h.qform_code = 1, h.quatern_d = 0.70710678f; }, nullptr, {2, 2, 2}},
      {"pixdim_within_1pc", [](auto& h) { h.pixdim[1] = 2.01f; }, nullptr, {2.01f, 2, 2}},
      {"sform_nan", [](auto& h) { h.srow_x[0] = kNaN; }, "sform holds a non-finite number (srow_x[0] = NaN)", {2, 2, 2}},
      {"sform_zero", [](auto& h) { h.srow_x[0] = h.srow_y[1] = h.srow_z[2] = 0; }, "the sform is all zero", {2, 2, 2}},
      {"sform_flat", [](auto& h) { h.srow_x[1] = -2, h.srow_y[1] = 0; }, "the sform is singular", {2, 2, 2}},
      {"qform_nan", [](auto& h) { h.sform_code = 0, h.qform_code = 1, h.quatern_b = kNaN; }, "(quatern_b = NaN)", {2, 2, 2}},
      {"qform_inf_size", [](auto& h) { h.sform_code = 0, h.qform_code = 1, h.pixdim[3] = kInf; }, "pixdim[3] = Inf",
       {2, 2, kInf}},
      {"no_codes", [](auto& h) { h.sform_code = 0; }, "neither a qform nor an sform", {2, 2, 2}},
      {"analyze", [](auto& h) { std::memset(h.magic, 0, 4), h.vox_offset = 0; }, "ANALYZE 7.5", {2, 2, 2}},
      // The frame comes from the sform, so the grid's sizes must as well.
      {"pixdim_contradicts", [](auto& h) { h.pixdim[1] = 0.1f, h.pixdim[2] = 5, h.pixdim[3] = 50, h.srow_x[0] = -5,
                                           h.srow_y[1] = 5, h.srow_z[2] = 5; },
       "pixdim (0.1, 5, 50) disagree with the sform's (5, 5, 5) by more than 1 %", {5, 5, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = make_header({2, 3, 4}, DT_UINT8, 8);  // 2 mm voxels stored LAS
    h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = 2, h.sform_code = 1;
    h.srow_x[0] = -2, h.srow_y[1] = 2, h.srow_z[2] = 2;
    c.edit(h);
    const std::string base = temp_path(c.name), data(24, '\1');
    write_bytes(base + ".hdr", std::string(reinterpret_cast<const char*>(&h), sizeof h));
    write_bytes(base + ".img", data);
    const VolumeInfo info = read_volume_with_info(h.magic[0] ? write_nii(std::string(c.name) + ".nii", nii_bytes(h, data))
                                                             : base + ".hdr").info;
    const std::string doubt = info.orientation_doubt.value_or("");
    EXPECT_EQ(info.orientation_doubt.has_value(), c.doubt != nullptr) << doubt;
    if (c.doubt) EXPECT_NE(doubt.find(c.doubt), std::string::npos) << doubt;
    EXPECT_EQ(info.spacing, c.spacing);
    EXPECT_TRUE(std::isfinite(image_sampling(false, info, std::nullopt, ImageRules::Checked).step));
  }
}

TEST(MaskGeometry, ComparedWithTheDwiGridAndPlacement) {
  const Mat4 las{{{-2, 0, 0, 90}, {0, 2, 0, -126}, {0, 0, 2, -72}, {0, 0, 0, 1}}};
  const auto placed = [&](std::vector<std::uint64_t> shape, double shift_mm = 0, bool doubt = false) {
    VolumeInfo v{.shape = std::move(shape), .affine = las, .spacing = {2, 2, 2}};
    v.affine[0][3] += shift_mm, v.affine[1][1] += shift_mm * 1e-6;
    if (doubt) v.orientation_doubt = "no codes";
    return v;
  };
  const VolumeInfo dwi = placed({49, 57, 51, 30});
  const std::vector<std::pair<VolumeInfo, std::string>> cases = {
      {placed({49, 57, 51, 2}, 0.05), "<no error>"},  // float rounding of another writer
      {placed({49, 57, 51}, 9, true), "<no error>"},  // a mask that does not say where it lies
      {placed({49, 57, 50}), "mask grid mismatch: mask has 139650 voxels but the DWI grid has 142443"},
      {placed({57, 49, 51}), "mask grid mismatch: the mask is 57\u00d749\u00d751 voxels but the DWI grid is 49\u00d757\u00d751"},
      {placed({49, 57, 51}, 2), "mask grid mismatch: the mask's affine places its grid up to 2.00 mm away from the DWI's"},
  };
  for (const auto& [mask, error] : cases) {
    EXPECT_EQ(error_text([&] { check_mask_geometry(mask, dwi, ImageRules::Checked); }), error);
    // Taken as stated, only the voxel count decides: a placeholder affine or
    // another arrangement of the same count is used by index.
    const bool count_differs = mask.shape[2] != dwi.shape[2] && mask.shape[0] == dwi.shape[0];
    EXPECT_EQ(error_text([&] { check_mask_geometry(mask, dwi, ImageRules::Stated); }),
              count_differs ? error : "<no error>");
  }
}

TEST(Geometry, StatedStepFollowsPixdimCheckedFollowsTheAffine) {
  const VolumeInfo info{.shape = {8, 8, 8, 7}, .voxel_sizes = {1, 1, 1},
                        .affine = {{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 1}}}, .spacing = {2, 2, 2}};
  EXPECT_EQ(image_sampling(false, info, std::nullopt, ImageRules::Stated).step, 4.0);
  EXPECT_EQ(image_sampling(false, info, std::nullopt, ImageRules::Checked).step, 2.0);
}

TEST(NonFiniteVoxels, CountedPerVolume) {
  const std::vector<float> v = {1, 2, 3, 4, kInf, -kInf, kNaN, kInf, 5, kNaN, 6, 7};  // 2×2×1, three volumes
  auto h = make_header({2, 2, 1, 3}, DT_FLOAT64, 64);
  EXPECT_EQ(read_volume_with_info(write_nii("f64.nii.gz", nii_bytes(h, raw(std::vector<double>(v.begin(), v.end())))))
                .non_finite,
            (std::vector<std::uint64_t>{0, 4, 1}));
  h = make_header({2, 2, 1, 3}, DT_INT16, 16);  // integers: only a scaling past a float's range
  h.scl_slope = 3e38f;
  EXPECT_EQ(read_volume_with_info(write_nii("i16.nii", nii_bytes(h, raw(std::vector<std::int16_t>(12, 7))))).non_finite,
            (std::vector<std::uint64_t>{4, 4, 4}));
}
