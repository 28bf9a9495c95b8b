#include <gtest/gtest.h>

#include <nifti1_io.h>
#include <tbb/task_arena.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "io/image_reader.hpp"
#include "nifti_for_tests.hpp"
#include "phantom_for_tests.hpp"

using namespace tarvix;

namespace {

using tarvix::test_support::error_text;

std::string read_error(const std::string& path) {
  const std::string e = error_text([&] { read_volume_with_info(path); });
  EXPECT_TRUE(e.starts_with("NIfTI error: ")) << e;
  return e;
}

// The error of reading these bytes from a file of this name.
std::string error_of(const std::string& name, const std::string& bytes) {
  return read_error(write_bytes(temp_path(name), bytes));
}

VolumeRead read_nii(const std::string& name, const nifti_1_header& h, const std::string& data) {
  return read_volume_with_info(write_nii(name, nii_bytes(h, data)));
}

// Stored (x fastest) offset and voxel linear index of (x, y, z) on an nx*ny*nz grid.
std::size_t stored(int x, int y, int z, int nx, int ny) { return x + nx * (y + ny * z); }
std::size_t linear(int x, int y, int z, int ny, int nz) { return (x * ny + y) * nz + z; }

}  // namespace

TEST(VolumeRead, Int16WithScalingFromGzip) {
  // 2x3x4 grid, 2 volumes: differing sizes catch any axis mix-up.
  std::vector<std::int16_t> v(48);
  for (int i = 0; i < 48; ++i) v[i] = static_cast<std::int16_t>(i * 100 - 2000);
  auto h = make_header({2, 3, 4, 2}, DT_INT16, 16);
  h.scl_slope = 0.5f;
  h.scl_inter = 3.0f;
  h.pixdim[1] = 1.5f, h.pixdim[2] = 2.0f, h.pixdim[3] = 2.5f;
  ReadTimings t{-1, -1};
  auto r = read_volume_with_info(write_nii("s16.nii.gz", nii_bytes(h, raw(v))), &t);
  EXPECT_EQ(r.info.shape, (std::vector<std::uint64_t>{2, 3, 4, 2}));
  EXPECT_EQ(r.volume.shape, r.info.shape);
  EXPECT_EQ(r.info.voxel_sizes, (Vec3{1.5, 2.0, 2.5}));
  VoxelData scaled;
  for (std::int16_t x : v) scaled.push_back(x * 0.5f + 3.0f);
  EXPECT_EQ(r.volume.data, scaled);
  EXPECT_TRUE(t.decompress_s >= 0 && t.convert_s >= 0);
}

TEST(VolumeRead, EveryDataTypeInBothByteOrders) {
  const std::vector<double> values = {0, 1, 7, 100, 127};
  const std::vector<double> negatives = {-128, -1, 0, 5, 127};
  auto check = [&](auto zero, short dt, bool signed_values) {
    using T = decltype(zero);
    const auto& src = signed_values ? negatives : values;
    std::vector<T> v(src.begin(), src.end());
    for (bool big : {false, true}) {
      auto h = make_header({5, 1, 1}, dt, sizeof(T) * 8);
      if (big) swap_nifti_header(&h, 1);
      const std::string name = "dt" + std::to_string(dt) + (big ? "be" : "le") + ".nii";
      EXPECT_EQ(read_nii(name, h, raw(v, big)).volume.data, VoxelData(src.begin(), src.end())) << dt << " " << big;
    }
  };
  check(std::uint8_t{}, DT_UINT8, false);
  check(std::int8_t{}, DT_INT8, true);
  check(std::int16_t{}, DT_INT16, true);
  check(std::uint16_t{}, DT_UINT16, false);
  check(std::int32_t{}, DT_INT32, true);
  check(std::uint32_t{}, DT_UINT32, false);
  check(std::int64_t{}, DT_INT64, true);
  check(std::uint64_t{}, DT_UINT64, false);
  check(float{}, DT_FLOAT32, true);
  check(double{}, DT_FLOAT64, true);
  if (sizeof(long double) == 16) check(static_cast<long double>(0), DT_FLOAT128, true);
}

TEST(VolumeRead, AffineChoice) {
  auto h = make_header({2, 2, 2}, DT_UINT8, 8);
  h.pixdim[1] = 2, h.pixdim[2] = 3, h.pixdim[3] = 4;
  const std::string data(8, '\1');
  auto affine = [&](const std::string& name) { return read_nii(name, h, data).info.affine; };
  EXPECT_EQ(affine("diag.nii"), (Mat4{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 1}}}));

  // 90 degrees about z: i runs along +y and j along -x, each scaled by its voxel size.
  h.qform_code = 1;
  h.quatern_d = static_cast<float>(std::sqrt(0.5));
  h.qoffset_x = 10, h.qoffset_y = -20, h.qoffset_z = 30;
  const Mat4 q = affine("qform.nii");
  const Mat4 turned{{{0, -3, 0, 10}, {2, 0, 0, -20}, {0, 0, 4, 30}, {0, 0, 0, 1}}};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(q[i][j], turned[i][j], 1e-6) << i << j;
  h.pixdim[0] = -1;
  const Mat4 flipped = affine("qfac.nii");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(flipped[i][2], -q[i][2]);
    EXPECT_EQ(flipped[i][0], q[i][0]);
  }

  // Both codes set: the sform rows win, widened from their 32-bit values.
  h.sform_code = 2;
  const float rows[3][4] = {{0.1f, 0, 0, 5}, {0, 0, 1.3f, 6}, {0, -2, 0, 7}};
  float* const srows[] = {h.srow_x, h.srow_y, h.srow_z};
  for (int i = 0; i < 3; ++i) std::memcpy(srows[i], rows[i], sizeof rows[i]);
  const Mat4 sf = affine("sform.nii");
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(sf[i][j], static_cast<double>(rows[i][j]));
  EXPECT_EQ(sf[3], (std::array<double, 4>{0, 0, 0, 1}));
}

TEST(VolumeMeans, VoxelOrderAndMasks) {
  // Four volumes: at each voxel, volume k holds k * 10 + its voxel linear index, stored x fastest.
  const int nx = 2, ny = 3, nz = 4;
  Volume vol;
  vol.shape = {nx, ny, nz, 4};
  vol.data.resize(96);
  for (int k = 0; k < 4; ++k)
    for (int x = 0; x < nx; ++x)
      for (int y = 0; y < ny; ++y)
        for (int z = 0; z < nz; ++z)
          vol.data[k * 24 + stored(x, y, z, nx, ny)] = float(linear(x, y, z, ny, nz) + 10 * k);

  const Mask m = mask_from_volume(vol);  // first volume only
  ASSERT_EQ(m.size(), 24u);
  for (std::size_t i = 0; i < 24; ++i) EXPECT_EQ(m[i] != 0, i != 0) << i;

  Mask pick(24, 0);
  pick[5] = pick[14] = 1;
  // Results keep request order.
  EXPECT_EQ(mean_for_volumes(vol, {3, 0, 2, 3}, &pick), (std::vector<double>{39.5, 9.5, 29.5, 39.5}));
  EXPECT_TRUE(mean_for_volumes(vol, {}, nullptr).empty());
  const Mask none(30, 0);  // longer than the grid, and empty: no voxels, mean 0
  EXPECT_EQ(masked_mean_of_volume(vol, 0, &none), 0.0);
  // Fewer than four axes: the whole-image mean for every index.
  vol.shape.pop_back();
  vol.data.resize(24);
  EXPECT_EQ(mean_for_volumes(vol, {0, 7, 3}, &pick), (std::vector<double>{9.5, 9.5, 9.5}));
}

// A grid of several x-slices too big to be taken at once: the mean must have
// the bits of a plain walk in linear order, whose result depends on the order.
TEST(VolumeMeans, SameBitsAsALinearWalkOverManySlices) {
  const std::uint64_t nx = 5, ny = 130, nz = 300, grid = nx * ny * nz;
  Volume vol;
  vol.shape = {nx, ny, nz, 2};
  vol.data.resize(2 * grid);
  std::uint32_t state = 12345;
  for (float& v : vol.data) {
    state = state * 1664525u + 1013904223u;
    v = std::ldexp(static_cast<float>(state >> 8), static_cast<int>(state % 40) - 20);
  }
  Mask mask(grid - 777);  // ends inside the last slice
  for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = (i * 7919) % 5 != 0;
  for (const Mask* m : std::initializer_list<const Mask*>{nullptr, &mask}) {
    const std::uint64_t limit = m ? m->size() : grid;
    double sum = 0;
    std::uint64_t count = 0;
    for (std::uint64_t x = 0, i = 0; x < nx; ++x)
      for (std::uint64_t y = 0; y < ny; ++y)
        for (std::uint64_t z = 0; z < nz; ++z, ++i)
          if (i < limit && (!m || (*m)[i])) {
            sum += static_cast<double>(vol.data[grid + x + nx * (y + ny * z)]);
            ++count;
          }
    const auto bits = std::bit_cast<std::uint64_t>(sum / static_cast<double>(count));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(masked_mean_of_volume(vol, 1, m)), bits);
    // Five volumes go side by side in groups of 4 and 1 on one thread, 3 and 2 on two.
    for (const int threads : {1, 2})
      for (double mean : tbb::task_arena(threads).execute([&] { return mean_for_volumes(vol, {1, 1, 1, 1, 1}, m); }))
        EXPECT_EQ(std::bit_cast<std::uint64_t>(mean), bits) << threads;
  }
}

TEST(VolumeMasks, ReadFromFiles) {
  // 3-D float mask with a NaN inside, at a voxel whose two orders differ.
  std::vector<float> v(24, 0.0f);
  v[stored(1, 0, 2, 2, 3)] = std::numeric_limits<float>::quiet_NaN();
  v[stored(0, 2, 1, 2, 3)] = -0.5f;
  const Mask m = read_mask(write_nii("mask3.nii", nii_bytes(make_header({2, 3, 4}, DT_FLOAT32, 32), raw(v))));
  ASSERT_EQ(m.size(), 24u);
  for (std::size_t i = 0; i < 24; ++i)
    EXPECT_EQ(m[i] != 0, i == linear(1, 0, 2, 3, 4) || i == linear(0, 2, 1, 3, 4)) << i;

  // 4-D: only the first volume counts.
  std::vector<std::uint8_t> u(48, 1);
  std::fill(u.begin(), u.begin() + 24, 0);
  u[stored(1, 1, 1, 2, 3)] = 9;
  const Mask m4 = read_mask(write_nii("mask4.nii.gz", nii_bytes(make_header({2, 3, 4, 2}, DT_UINT8, 8), raw(u))));
  EXPECT_EQ(std::count(m4.begin(), m4.end(), 1), 1);
  EXPECT_EQ(m4[linear(1, 1, 1, 3, 4)], 1);

  const std::string flat = write_nii("mask2.nii", nii_bytes(make_header({4, 6}, DT_UINT8, 8), std::string(24, '\1')));
  EXPECT_EQ(error_text([&] { read_mask(flat); }), "NIfTI error: a mask image must be 3-D or 4-D, got 2-D");
}

TEST(VolumeRead, HeaderImagePair) {
  std::vector<std::int16_t> v = {1, -2, 3, -4, 5, -6};
  auto h = make_header({3, 2, 1}, DT_INT16, 16);
  std::memcpy(h.magic, "ni1", 4);
  h.vox_offset = 0;
  write_bytes(temp_path("pair.hdr"), std::string(reinterpret_cast<const char*>(&h), sizeof h));
  write_bytes(temp_path("pair.img"), raw(v));
  for (const char* name : {"pair.hdr", "pair.img"}) {
    auto r = read_volume_with_info(temp_path(name));
    EXPECT_EQ(r.volume.data, (VoxelData{1, -2, 3, -4, 5, -6})) << name;
  }
}

TEST(VolumeRead, GzipStreams) {
  std::vector<std::int16_t> v(3 * 5 * 7 * 4);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int16_t>((i * 7919) % 3001 - 1500);
  const std::string file = nii_bytes(make_header({3, 5, 7, 4}, DT_INT16, 16), raw(v));
  const VoxelData expected(v.begin(), v.end());

  // Several members, split inside the header and inside an element.
  std::string multi = gzip(file.substr(0, 100)) + gzip(file.substr(100, 301)) + gzip(file.substr(401)) + gzip("");
  multi.append(16, '\0');  // padding after the last member is never looked at
  EXPECT_EQ(read_volume_with_info(write_bytes(temp_path("multi.nii.gz"), multi)).volume.data, expected);

  const std::string whole = gzip(file);
  // Cut inside the deflate data, and just before the trailer.
  for (const std::size_t cut : {whole.size() / 2, whole.size() - 4})
    EXPECT_NE(error_of("cut.nii.gz", whole.substr(0, cut)).find("truncated gzip stream"), std::string::npos) << cut;
  // A member that ends cleanly before the image data is complete.
  EXPECT_EQ(error_of("short.nii.gz", gzip(file.substr(0, file.size() - 10))),
            "NIfTI error: file too short: expected 840 bytes of image data, found 830");
  std::string bad_crc = whole;
  bad_crc[bad_crc.size() - 6] ^= 0x5a;
  EXPECT_EQ(error_of("crc.nii.gz", bad_crc), "NIfTI error: corrupt gzip stream: checksum mismatch");
  std::string garbled = whole;
  for (std::size_t i = 40; i < garbled.size() - 20; i += 7) garbled[i] = static_cast<char>(~garbled[i]);
  EXPECT_NE(error_of("garbled.nii.gz", garbled).find("gzip"), std::string::npos);
  EXPECT_NE(error_of("notgzip.nii.gz", file).find("is not gzip-compressed, although its name ends in .gz"),
            std::string::npos);

  // A stream far longer than the header promises: the data is read and the
  // rest left alone. The member is cut short near its end, which only a reader
  // that kept inflating would notice.
  const std::string bomb = gzip(file + std::string(16 << 20, '\0'));
  write_bytes(temp_path("bomb.nii.gz"), bomb.substr(0, bomb.size() - 64));
  EXPECT_EQ(read_volume_with_info(temp_path("bomb.nii.gz")).volume.data, expected);
  // The other way round: a small file whose header promises gigabytes.
  const std::string promise = gzip(nii_bytes(make_header({2000, 2000, 500}, DT_FLOAT32, 32), ""));
  EXPECT_NE(error_of("promise.nii.gz", promise).find("8000000000 bytes of image data"), std::string::npos);
}

TEST(VolumeRead, HostileHeadersFailQuietly) {
  // Nothing may reach stderr, whatever the library thinks of the input.
  std::fflush(stderr);
  const int saved = ::dup(2);
  const std::string err_path = temp_path("stderr.txt");
  std::FILE* err = std::fopen(err_path.c_str(), "w+");
  ::dup2(::fileno(err), 2);

  // Edits of a 2x3x4 uint8 header, followed by this many data bytes.
  const struct {
    const char* name;
    std::function<void(nifti_1_header&)> edit;
    std::size_t bytes;
    std::string error;
  } cases[] = {
      {"dim0.nii", [](auto& h) { h.dim[0] = 9; }, 24, "inconsistent dimension: dim[0] = 9"},
      {"dim3.nii", [](auto& h) { h.dim[3] = -4; }, 24, "inconsistent dimension: dim[3] = -4"},
      {"overflow.nii", [](auto& h) { h.dim[0] = 7, std::fill(h.dim + 1, h.dim + 8, short{32767}); }, 24,
       "image too large: the dimensions overflow"},
      {"big.nii", [](auto& h) { h.dim[1] = h.dim[2] = 30000; }, 24,
       "file too short: expected 3600000000 bytes of image data, found 24"},
      {"short.nii", [](auto&) {}, 23, "file too short: expected 24 bytes of image data, found 23"},
      {"offset.nii", [](auto& h) { h.vox_offset = 1e9f; }, 24,
       "vox_offset 1000000000 is past the end of the file (376 bytes)"},
      {"nanoffset.nii", [](auto& h) { h.vox_offset = NAN; }, 24, "invalid vox_offset nan"},
      // (RGB24 and the other stored kinds without one number per voxel take the same path.)
      {"complex.nii", [](auto& h) { h.datatype = DT_COMPLEX64, h.bitpix = 64; }, 192,
       "unsupported data type COMPLEX64 (32)"},
      {"dt77.nii", [](auto& h) { h.datatype = 77; }, 24, "unknown data type code 77"},
      {"magic.nii", [](auto& h) { h.sizeof_hdr = 540; }, 24, "not a NIfTI-1 file: header size 540 instead of 348"},
  };
  for (const auto& c : cases) {
    auto h = make_header({2, 3, 4}, DT_UINT8, 8);
    c.edit(h);
    EXPECT_EQ(read_error(write_nii(c.name, nii_bytes(h, std::string(c.bytes, '\1')))), "NIfTI error: " + c.error);
  }
  EXPECT_EQ(error_of("stub.nii", std::string(100, 'x')), "NIfTI error: file too short for a NIfTI-1 header");
  EXPECT_EQ(read_error(temp_path("missing.nii.gz")),
            "NIfTI error: cannot open " + temp_path("missing.nii.gz") + ": No such file or directory (os error 2)");
  EXPECT_NE(read_error(temp_path("")).find("(os error 21)"), std::string::npos);

  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::fseek(err, 0, SEEK_END);
  EXPECT_EQ(std::ftell(err), 0L);
  std::fclose(err);
}

// Volumes a sink takes as stored must convert to the floats the reader would
// have handed over, and the volumes kept in memory must not change.
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
  bool take_raw(const RawVoxels& r) override { return raw = r, accept; }
  unsigned char* raw_buffer_for(std::uint64_t k) override {
    return bytes[k].assign(kGrid * raw.bytes_per_voxel, 0), bytes[k].data();
  }
  void raw_volume_ready(std::uint64_t k, const unsigned char* data, const float* kept) override {
    seen[k].resize(kGrid);
    raw.to_float(data, kGrid, seen[k].data());
    raw_volumes.push_back(k);
    if (kept) kept_floats[k].assign(kept, kept + kGrid);
  }

  bool accept;
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
  EXPECT_EQ(accepting.raw_volumes, f.offered ? std::vector<std::uint64_t>({1, 2, 4}) : std::vector<std::uint64_t>());
  ASSERT_EQ(declining.seen.size(), 3u);
  ASSERT_EQ(accepting.seen.size(), 3u);
  for (const auto& [k, floats] : declining.seen)
    EXPECT_EQ(std::memcmp(accepting.seen[k].data(), floats.data(), kGrid * sizeof(float)), 0) << "volume " << k;
  EXPECT_EQ(raw.volume.held, std::vector<std::uint64_t>({1}));
  EXPECT_EQ(raw.volume.data, plain.volume.data);
  EXPECT_EQ(accepting.kept_floats.size(), f.offered ? 1u : 0u);
  if (f.offered) EXPECT_EQ(accepting.kept_floats[1], plain.volume.data);  // the kept volume, already converted
}

// Floats as stored need no conversion, and swapped bytes stay with the reader.
INSTANTIATE_TEST_SUITE_P(StoredTypes, RawVolumes,
                         ::testing::Values(Format{"int16", DT_INT16, 2, 0.0f, false, true},
                                           Format{"uint8_scaled", DT_UINT8, 1, 2.0f, false, true},
                                           Format{"float32_scaled", DT_FLOAT32, 4, 0.5f, false, true},
                                           Format{"float32", DT_FLOAT32, 4, 0.0f, false, false},
                                           Format{"int16_big_endian", DT_INT16, 2, 0.0f, true, false}),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.name); });

}  // namespace
