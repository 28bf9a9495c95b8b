// NIfTI-1 open-and-convert on arbitrary bytes, three ways per input:
//   1. the bytes as a plain .nii file;
//   2. the bytes as a .nii.gz file (hostile gzip streams: corrupt, truncated,
//      multi-member, bombs);
//   3. the bytes gzip-compressed, as a .nii.gz file (reaches the header and
//      data checks through the inflater).
// Ways 1 and 3 hold the same image, so they must agree: both refuse it, or
// both give bit-identical geometry and voxels. Accepted images then go through
// the mask and masked-mean code that callers run next. Each input is also read
// once more with a volume sink whose keep/want choice is drawn from the input's
// hash: it must refuse exactly what the whole read refuses, deliver each wanted
// volume once, in order, with the voxels of the whole read, and keep exactly
// the kept ones.
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include <isa-l/igzip_lib.h>

#include "common.hpp"
#include "io/image_reader.hpp"
#include "volume.hpp"

using tarvix_fuzz::refusal;
using tarvix_fuzz::ScratchFile;

namespace {

template <class T>
bool same_bits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

bool same_read(const tarvix::VolumeRead& a, const tarvix::VolumeRead& b) {
  return a.volume.shape == b.volume.shape && a.info.shape == b.info.shape &&
         a.info.n_volumes == b.info.n_volumes && same_bits(a.info.voxel_sizes, b.info.voxel_sizes) &&
         same_bits(a.info.affine, b.info.affine) && a.volume.data.size() == b.volume.data.size() &&
         std::memcmp(a.volume.data.data(), b.volume.data.data(), a.volume.data.size() * sizeof(float)) == 0;
}

// One gzip member holding `bytes`, or empty when the compressor refuses.
std::vector<unsigned char> gzip(const std::uint8_t* bytes, std::size_t size) {
  std::vector<unsigned char> out(size * 2 + 1024);
  isal_zstream stream;
  isal_deflate_stateless_init(&stream);
  stream.gzip_flag = IGZIP_GZIP;
  stream.level = 0;
  stream.end_of_stream = 1;
  stream.flush = NO_FLUSH;
  stream.next_in = const_cast<std::uint8_t*>(bytes);
  stream.avail_in = static_cast<std::uint32_t>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<std::uint32_t>(out.size());
  if (isal_deflate_stateless(&stream) != COMP_OK) return {};
  out.resize(stream.total_out);
  return out;
}

// What callers do with an image once it is read.
void use_image(const tarvix::VolumeRead& r) {
  const tarvix::Volume& v = r.volume;
  std::uint64_t voxels = 1;
  for (auto d : v.shape) {
    FUZZ_CHECK(d > 0);
    voxels *= d;
  }
  FUZZ_CHECK(v.data.size() == voxels);
  FUZZ_CHECK(r.info.shape == v.shape);
  FUZZ_CHECK(r.info.n_volumes == v.volume_count());

  const tarvix::Mask mask = tarvix::mask_from_volume(v);
  FUZZ_CHECK(mask.size() == v.grid_voxels());
  std::vector<std::uint64_t> indices;
  for (std::uint64_t k = 0; k < v.volume_count() && k < 3; ++k) indices.push_back(k);
  indices.push_back(v.volume_count() - 1);
  const auto plain = tarvix::mean_for_volumes(v, indices, nullptr);
  const auto masked = tarvix::mean_for_volumes(v, indices, &mask);
  FUZZ_CHECK(plain.size() == indices.size() && masked.size() == indices.size());
  tarvix::Mask short_mask(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(mask.size() / 2));
  (void)tarvix::masked_mean_of_volume(v, 0, &short_mask);
}

std::uint64_t fnv1a(const std::uint8_t* p, std::size_t n) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// Keeps and wants volumes by the bits of `pattern`; records what it is told.
class RecordingSink final : public tarvix::VolumeSink {
 public:
  explicit RecordingSink(std::uint64_t pattern) : pattern_(pattern) {}

  bool begin(const tarvix::VolumeInfo& info, std::vector<std::uint8_t>& keep,
             std::vector<std::uint8_t>& want) override {
    FUZZ_CHECK(!begun_);
    begun_ = true;
    FUZZ_CHECK(info.shape.size() == 4);
    FUZZ_CHECK(keep.size() == info.n_volumes && want.size() == info.n_volumes);
    grid_ = info.shape[0] * info.shape[1] * info.shape[2];
    if (pattern_ & 1) return false;  // decline: the image is read whole
    for (std::size_t k = 0; k < keep.size(); ++k) {
      keep[k] = (pattern_ >> (1 + (2 * k) % 62)) & 1;
      want[k] = (pattern_ >> (2 + (2 * k) % 62)) & 1;
    }
    keep_ = keep;
    want_ = want;
    return true;
  }
  float* buffer_for(std::uint64_t k) override {
    FUZZ_CHECK(taking() && k < want_.size() && want_[k] && !keep_[k]);
    auto& b = buffers_[k];
    FUZZ_CHECK(b.empty());
    b.assign(static_cast<std::size_t>(grid_), -1.0f);
    return b.data();
  }
  void volume_ready(std::uint64_t k, const float* data) override {
    FUZZ_CHECK(taking() && k < want_.size() && want_[k]);
    FUZZ_CHECK(ready_.empty() || ready_.rbegin()->first < k);
    ready_[k].assign(data, data + grid_);
  }
  void end() override {
    FUZZ_CHECK(taking());
    ended_ = true;
  }
  void abandon() noexcept override {
    if (!begun_ || ended_ || abandoned_) std::abort();
    abandoned_ = true;
  }

  bool streamed() const { return begun_ && !(pattern_ & 1); }
  bool taking() const { return streamed() && !ended_ && !abandoned_; }
  bool begun_ = false, ended_ = false, abandoned_ = false;
  std::vector<std::uint8_t> keep_, want_;
  std::map<std::uint64_t, std::vector<float>> buffers_, ready_;

 private:
  std::uint64_t pattern_;
  std::uint64_t grid_ = 0;
};

// Reads `path` through a sink and compares with the whole read `whole`
// (valid when `whole_ok`).
void check_streamed(const std::string& path, std::uint64_t pattern, bool whole_ok, const tarvix::VolumeRead& whole) {
  RecordingSink sink(pattern);
  tarvix::VolumeRead r;
  const bool ok = refusal([&] { r = tarvix::read_volume_with_info(path, nullptr, &sink); }).empty();
  FUZZ_CHECK(ok == whole_ok);
  if (!ok) {
    FUZZ_CHECK(!sink.ended_);
    FUZZ_CHECK(sink.abandoned_ == sink.streamed());
    return;
  }
  FUZZ_CHECK(!sink.abandoned_);
  FUZZ_CHECK(sink.begun_ == (whole.volume.ndim() == 4));
  if (!sink.streamed()) {
    FUZZ_CHECK(!r.volume.partial);
    FUZZ_CHECK(same_read(r, whole));
    return;
  }
  FUZZ_CHECK(sink.ended_);
  const tarvix::Volume& v = r.volume;
  FUZZ_CHECK(v.partial && v.shape == whole.volume.shape);
  const std::uint64_t grid = v.grid_voxels();
  std::size_t kept = 0, wanted = 0;
  for (std::uint64_t k = 0; k < v.volume_count(); ++k) {
    const float* expect = whole.volume.volume_data(k);
    FUZZ_CHECK(v.holds(k) == static_cast<bool>(sink.keep_[k]));
    if (sink.keep_[k]) {
      ++kept;
      FUZZ_CHECK(std::memcmp(v.volume_data(k), expect, grid * sizeof(float)) == 0);
    } else {
      bool refused = false;
      try {
        (void)v.volume_data(k);
      } catch (const std::logic_error&) {
        refused = true;
      }
      FUZZ_CHECK(refused);
    }
    if (sink.want_[k]) {
      ++wanted;
      const auto it = sink.ready_.find(k);
      FUZZ_CHECK(it != sink.ready_.end());
      FUZZ_CHECK(std::memcmp(it->second.data(), expect, grid * sizeof(float)) == 0);
    }
  }
  FUZZ_CHECK(v.held.size() == kept && v.data.size() == kept * grid);
  FUZZ_CHECK(sink.ready_.size() == wanted);

  // What the callers do with a partial image: masks and means of held volumes.
  if (!v.held.empty()) {
    const auto means = tarvix::mean_for_volumes(v, v.held, nullptr);
    const auto expect = tarvix::mean_for_volumes(whole.volume, v.held, nullptr);
    FUZZ_CHECK(std::memcmp(means.data(), expect.data(), means.size() * sizeof(double)) == 0);
    if (v.holds(0)) FUZZ_CHECK(tarvix::mask_from_volume(v) == tarvix::mask_from_volume(whole.volume));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile plain_file(".nii");
  static ScratchFile raw_gz_file(".nii.gz");
  static ScratchFile gz_file(".nii.gz");

  tarvix::VolumeRead plain;
  const std::string& plain_path = plain_file.write(data, size);
  const bool plain_ok = refusal([&] { plain = tarvix::read_volume_with_info(plain_path); }).empty();
  if (plain_ok) {
    use_image(plain);
    (void)refusal([&] { (void)tarvix::read_mask(plain_path); });
  }

  tarvix::VolumeRead raw;
  if (refusal([&] { raw = tarvix::read_volume_with_info(raw_gz_file.write(data, size)); }).empty())
    use_image(raw);

  const std::vector<unsigned char> packed = gzip(data, size);
  if (!packed.empty()) {
    tarvix::VolumeRead unpacked;
    const bool gz_ok =
        refusal([&] { unpacked = tarvix::read_volume_with_info(gz_file.write(packed.data(), packed.size())); })
            .empty();
    FUZZ_CHECK(gz_ok == plain_ok);
    if (gz_ok) FUZZ_CHECK(same_read(plain, unpacked));
  }

  const std::uint64_t pattern = fnv1a(data, size);
  check_streamed(pattern & (1ull << 63) && !packed.empty() ? gz_file.path() : plain_path, pattern, plain_ok, plain);
  return 0;
}
