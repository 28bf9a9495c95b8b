// A sink may take the volumes it does not keep as the file stores them and
// convert them itself; what it converts must be what the reader would have
// handed over as floats, and the volumes kept in memory must not change.
#include <gtest/gtest.h>

#include <nifti1_io.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "gzip_for_tests.hpp"
#include "io/image_reader.hpp"
#include "volume.hpp"

using namespace tarvix;

namespace {

constexpr int kNx = 7, kNy = 5, kNz = 3, kNv = 6;
constexpr std::size_t kGrid = kNx * kNy * kNz;

struct Format {
  const char* name;
  short datatype;
  short bitpix;
  float slope;
  bool big_endian;
  bool offered;  // whether a sink is offered raw volumes at all
};

std::string temp_path(const std::string& name) {
  static const std::string dir = [] {
    std::string tmpl = ::testing::TempDir() + "tarvix_raw_XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    return tmpl;
  }();
  return dir + "/" + name;
}

// Values 0 .. 255 and some negatives where the type has them, in the type's bytes.
std::string image_bytes(const Format& f) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = 4;
  h.dim[1] = kNx, h.dim[2] = kNy, h.dim[3] = kNz, h.dim[4] = kNv;
  for (int i = 5; i < 8; ++i) h.dim[i] = 1;
  for (int i = 0; i < 8; ++i) h.pixdim[i] = 1.0f;
  h.datatype = f.datatype;
  h.bitpix = f.bitpix;
  h.scl_slope = f.slope;
  h.scl_inter = f.slope != 0 ? 3.0f : 0.0f;
  h.vox_offset = 352;
  std::memcpy(h.magic, "n+1", 4);
  std::string data;
  for (std::size_t i = 0; i < kGrid * kNv; ++i) {
    const int v = static_cast<int>((i * 37) % 256) - (f.datatype == DT_UINT8 ? 0 : 40);
    unsigned char b[4];
    if (f.datatype == DT_UINT8) {
      b[0] = static_cast<unsigned char>(v);
    } else if (f.datatype == DT_INT16) {
      const auto s = static_cast<std::int16_t>(v * 3);
      std::memcpy(b, &s, 2);
    } else {
      const float x = static_cast<float>(v) * 0.75f;
      std::memcpy(b, &x, 4);
    }
    const std::size_t n = static_cast<std::size_t>(f.bitpix / 8);
    if (f.big_endian) std::reverse(b, b + n);
    data.append(reinterpret_cast<const char*>(b), n);
  }
  if (f.big_endian) swap_nifti_header(&h, 1);
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(4, '\0');
  return out + data;
}

// Keeps volume 1, wants 1, 2 and 4; records every wanted volume as floats.
class RecordingSink final : public VolumeSink {
 public:
  explicit RecordingSink(bool accept_raw) : accept_raw_(accept_raw) {}
  bool begin(const VolumeInfo&, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) override {
    keep[1] = 1;
    want[1] = want[2] = want[4] = 1;
    return true;
  }
  float* buffer_for(std::uint64_t k) override { return floats_[k].assign(kGrid, -1.0f), floats_[k].data(); }
  void volume_ready(std::uint64_t k, const float* data) override { seen_[k].assign(data, data + kGrid); }
  void end() override {}
  void abandon() noexcept override {}
  bool take_raw(const RawVoxels& raw) override {
    offered_ = true;
    raw_ = raw;
    return accept_raw_;
  }
  unsigned char* raw_buffer_for(std::uint64_t k) override {
    return bytes_[k].assign(kGrid * raw_.bytes_per_voxel, 0), bytes_[k].data();
  }
  void raw_volume_ready(std::uint64_t k, const unsigned char* raw) override {
    seen_[k].resize(kGrid);
    raw_.to_float(raw, kGrid, seen_[k].data());
    raw_seen_.push_back(k);
  }

  bool accept_raw_;
  bool offered_ = false;
  RawVoxels raw_;
  std::map<std::uint64_t, std::vector<float>> floats_, seen_;
  std::map<std::uint64_t, std::vector<unsigned char>> bytes_;
  std::vector<std::uint64_t> raw_seen_;
};

class RawVolumes : public ::testing::TestWithParam<Format> {};

TEST_P(RawVolumes, ConvertedBySinkAsTheReaderWould) {
  const Format& f = GetParam();
  const std::string path = temp_path(std::string(f.name) + ".nii.gz");
  {
    const std::string out = gzip(image_bytes(f));
    std::ofstream(path, std::ios::binary).write(out.data(), static_cast<std::streamsize>(out.size()));
  }
  RecordingSink declining(false), accepting(true);
  const VolumeRead plain = read_volume_with_info(path, nullptr, &declining);
  const VolumeRead raw = read_volume_with_info(path, nullptr, &accepting);

  EXPECT_EQ(accepting.offered_, f.offered);
  const std::vector<std::uint64_t> raw_volumes = f.offered ? std::vector<std::uint64_t>{2, 4} : std::vector<std::uint64_t>{};
  EXPECT_EQ(accepting.raw_seen_, raw_volumes);
  EXPECT_TRUE(declining.raw_seen_.empty());
  ASSERT_EQ(declining.seen_.size(), 3u);
  ASSERT_EQ(accepting.seen_.size(), 3u);
  for (const auto& [k, floats] : declining.seen_)
    EXPECT_EQ(std::memcmp(accepting.seen_[k].data(), floats.data(), kGrid * sizeof(float)), 0) << "volume " << k;
  // The kept volume is the only one in memory, and the same either way.
  EXPECT_EQ(raw.volume.held, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(raw.volume.data, plain.volume.data);
  EXPECT_EQ(raw.volume.data, declining.seen_[1]);
}

INSTANTIATE_TEST_SUITE_P(
    StoredTypes, RawVolumes,
    ::testing::Values(Format{"int16", DT_INT16, 16, 0.0f, false, true},
                      Format{"int16_scaled", DT_INT16, 16, 0.25f, false, true},
                      Format{"uint8_scaled", DT_UINT8, 8, 2.0f, false, true},
                      Format{"float32_scaled", DT_FLOAT32, 32, 0.5f, false, true},
                      // Floats as stored need no conversion; swapped bytes stay with the reader.
                      Format{"float32", DT_FLOAT32, 32, 0.0f, false, false},
                      Format{"int16_big_endian", DT_INT16, 16, 0.0f, true, false}),
    [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.name); });

}  // namespace
