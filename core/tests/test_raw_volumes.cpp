// Volumes a sink takes as stored must convert to the floats the reader would
// have handed over, and the volumes kept in memory must not change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "io/image_reader.hpp"
#include "nifti_for_tests.hpp"

using namespace tarvix;

namespace {

constexpr std::size_t kGrid = 7 * 5 * 3, kVolumes = 6;

struct Format {
  const char* name;
  short datatype, bytes;
  float slope;
  bool big_endian, offered;  // offered: whether the sink is asked to take raw volumes at all
};

std::string write_image(const Format& f) {
  nifti_1_header h = make_header({7, 5, 3, kVolumes}, f.datatype, static_cast<short>(8 * f.bytes));
  h.scl_slope = f.slope, h.scl_inter = f.slope != 0 ? 3.0f : 0.0f;
  std::string data;
  for (std::size_t i = 0; i < kGrid * kVolumes; ++i) {
    const int v = static_cast<int>((i * 37) % 256) - (f.datatype == DT_UINT8 ? 0 : 40);
    const auto s = static_cast<std::int16_t>(3 * v);
    const float x = 0.75f * static_cast<float>(v);
    unsigned char b[4] = {static_cast<unsigned char>(v)};
    if (f.datatype == DT_INT16) std::memcpy(b, &s, 2);
    if (f.datatype == DT_FLOAT32) std::memcpy(b, &x, 4);
    if (f.big_endian) std::reverse(b, b + f.bytes);
    data.append(reinterpret_cast<const char*>(b), static_cast<std::size_t>(f.bytes));
  }
  if (f.big_endian) swap_nifti_header(&h, 1);
  return write_nii(std::string(f.name) + ".nii.gz", nii_bytes(h, data));
}

// Keeps volume 1, wants 1, 2 and 4, and records each wanted volume as floats.
struct RecordingSink final : VolumeSink {
  explicit RecordingSink(bool accept) : accept(accept) {}
  bool begin(const VolumeInfo&, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) override {
    keep[1] = want[1] = want[2] = want[4] = 1;
    return true;
  }
  float* buffer_for(std::uint64_t k) override { return floats[k].assign(kGrid, -1.0f), floats[k].data(); }
  void volume_ready(std::uint64_t k, const float* data) override { seen[k].assign(data, data + kGrid); }
  void end() override {}
  void abandon() noexcept override {}
  bool take_raw(const RawVoxels& r) override { return offered = true, raw = r, accept; }
  unsigned char* raw_buffer_for(std::uint64_t k) override {
    return bytes[k].assign(kGrid * raw.bytes_per_voxel, 0), bytes[k].data();
  }
  void raw_volume_ready(std::uint64_t k, const unsigned char* data, const float* kept) override {
    seen[k].resize(kGrid);
    raw.to_float(data, kGrid, seen[k].data());
    raw_volumes.push_back(k);
    if (kept) kept_floats[k].assign(kept, kept + kGrid);
  }

  bool accept, offered = false;
  RawVoxels raw;
  std::map<std::uint64_t, VoxelData> floats, seen;
  std::map<std::uint64_t, std::vector<unsigned char>> bytes;
  std::vector<std::uint64_t> raw_volumes;
  std::map<std::uint64_t, VoxelData> kept_floats;
};

class RawVolumes : public ::testing::TestWithParam<Format> {};

TEST_P(RawVolumes, ConvertToTheReadersFloats) {
  const Format& f = GetParam();
  const std::string path = write_image(f);
  RecordingSink declining(false), accepting(true);
  const VolumeRead plain = read_volume_with_info(path, nullptr, &declining);
  const VolumeRead raw = read_volume_with_info(path, nullptr, &accepting);
  EXPECT_EQ(accepting.offered, f.offered);
  EXPECT_EQ(accepting.raw_volumes, f.offered ? std::vector<std::uint64_t>({1, 2, 4}) : std::vector<std::uint64_t>());
  ASSERT_EQ(declining.seen.size(), 3u);
  ASSERT_EQ(accepting.seen.size(), 3u);
  for (const auto& [k, floats] : declining.seen)
    EXPECT_EQ(std::memcmp(accepting.seen[k].data(), floats.data(), kGrid * sizeof(float)), 0) << "volume " << k;
  EXPECT_EQ(raw.volume.held, std::vector<std::uint64_t>({1}));
  EXPECT_EQ(raw.volume.data, plain.volume.data);
  EXPECT_EQ(raw.volume.data, declining.seen[1]);
  if (f.offered) {
    EXPECT_EQ(accepting.kept_floats[1], plain.volume.data);  // the kept volume, already converted
  }
  EXPECT_EQ(accepting.kept_floats.size(), f.offered ? 1u : 0u);
}

// Floats as stored need no conversion, and swapped bytes stay with the reader.
INSTANTIATE_TEST_SUITE_P(StoredTypes, RawVolumes,
                         ::testing::Values(Format{"int16", DT_INT16, 2, 0.0f, false, true},
                                           Format{"int16_scaled", DT_INT16, 2, 0.25f, false, true},
                                           Format{"uint8_scaled", DT_UINT8, 1, 2.0f, false, true},
                                           Format{"float32_scaled", DT_FLOAT32, 4, 0.5f, false, true},
                                           Format{"float32", DT_FLOAT32, 4, 0.0f, false, false},
                                           Format{"int16_big_endian", DT_INT16, 2, 0.0f, true, false}),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.name); });

}  // namespace
