#include "volume.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include <isa-l/igzip_lib.h>
#include <nifti1_io.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "error.hpp"
#include "text.hpp"
#include "timing.hpp"

namespace tarvix {
namespace {


constexpr std::size_t kHeaderBytes = 348;  // sizeof(nifti_1_header)
// Output is produced and converted in pieces small enough to stay in L2, so
// the raw bytes are still cached when they are turned into floats.
constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr std::size_t kInputBytes = 256 * 1024;
// Deflate cannot expand more than about 1032:1, so a gzip file of n bytes can
// never hold more than this many bytes of image data; a header that promises
// more is refused before anything is allocated.
constexpr std::uint64_t kDeflateMaxRatio = 1032;
constexpr std::uint64_t kDeflateSlack = 64 * 1024;
// After the image data, the member is inflated at most this much further to
// reach its trailer (and check its CRC); a longer tail is simply not read.
constexpr std::uint64_t kTailBudget = 1024 * 1024;

[[noreturn]] void fail(std::string text) { throw Error::nifti(std::move(text)); }

void quiet_library() {
  static std::once_flag once;
  std::call_once(once, [] { nifti_set_debug_level(0); });
}

// ISA-L's inflate kernels use 256/512-bit registers and return with the upper
// vector state dirty. Legacy-SSE code running next on this thread (our
// conversion loops in a baseline or x86-64-v2 build) then pays a transition or
// false-dependency penalty on every instruction; clearing the state is cheap.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void zero_upper_avx() { _mm256_zeroupper(); }
inline void clear_upper_vector_state() {
  static const bool has_avx = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
  }();
  if (has_avx) zero_upper_avx();
}
#else
inline void clear_upper_vector_state() {}
#endif

bool ends_with(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

class InputFile {
 public:
  explicit InputFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) fail("cannot open " + display_path(path) + ": " + os_error_text(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      const int err = errno;
      ::close(fd_);
      fail("cannot open " + display_path(path) + ": " + os_error_text(err));
    }
    if (S_ISDIR(st.st_mode)) {
      ::close(fd_);
      fail("cannot open " + display_path(path) + ": " + os_error_text(EISDIR));
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd_);
      fail("cannot open " + display_path(path) + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  std::uint64_t size() const { return size_; }

  // Reads until `n` bytes arrived or the file ended; returns the count.
  std::size_t read(unsigned char* p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::read(fd_, p + got, n - got);
      if (r < 0) {
        if (errno == EINTR) continue;
        fail("cannot read " + display_path(path_) + ": " + os_error_text(errno));
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return got;
  }

  void seek(std::uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
      fail("cannot read " + display_path(path_) + ": " + os_error_text(errno));
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// A stream of the file's uncompressed bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to n bytes; fewer only when the stream has ended.
  virtual std::size_t read(unsigned char* p, std::size_t n) = 0;
  // Advances n bytes from the current position.
  virtual void skip(std::uint64_t n) = 0;
  // Called once all image bytes were read.
  virtual void finish() {}
  // Largest number of uncompressed bytes the file can possibly hold.
  virtual std::uint64_t capacity() const = 0;
  virtual std::uint64_t file_size() const = 0;
  virtual bool compressed() const = 0;
};

class PlainSource final : public ByteSource {
 public:
  explicit PlainSource(const std::string& path) : file_(path) {}
  std::size_t read(unsigned char* p, std::size_t n) override {
    const std::size_t got = file_.read(p, n);
    pos_ += got;
    return got;
  }
  void skip(std::uint64_t n) override {
    pos_ += n;
    file_.seek(pos_);
  }
  std::uint64_t capacity() const override { return file_.size(); }
  std::uint64_t file_size() const override { return file_.size(); }
  bool compressed() const override { return false; }

 private:
  InputFile file_;
  std::uint64_t pos_ = 0;
};

std::string inflate_error_text(int code) {
  switch (code) {
    case ISAL_INVALID_BLOCK: return "corrupt gzip stream: invalid deflate block";
    case ISAL_INVALID_SYMBOL: return "corrupt gzip stream: invalid deflate symbol";
    case ISAL_INVALID_LOOKBACK: return "corrupt gzip stream: invalid back-reference distance";
    case ISAL_INVALID_WRAPPER: return "corrupt gzip stream: invalid gzip header";
    case ISAL_UNSUPPORTED_METHOD: return "corrupt gzip stream: unsupported compression method";
    case ISAL_INCORRECT_CHECKSUM: return "corrupt gzip stream: checksum mismatch";
    case ISAL_NEED_DICT: return "corrupt gzip stream: a preset dictionary is required";
    default: return "corrupt gzip stream (inflate error " + std::to_string(code) + ")";
  }
}

// Streams gzip members one after another through ISA-L, straight into the
// caller's buffer; the compressed file is read in small pieces.
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(const std::string& path)
      : file_(path), in_(new unsigned char[kInputBytes]), state_(new inflate_state) {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_GZIP;
    state_->avail_in = 0;
  }

  std::size_t read(unsigned char* p, std::size_t n) override { return inflate_into(p, n, true); }

  void skip(std::uint64_t n) override {
    std::unique_ptr<unsigned char[]> scratch(new unsigned char[kChunkBytes]);
    while (n > 0) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, kChunkBytes));
      const std::size_t got = inflate_into(scratch.get(), want, true);
      n -= got;
      if (got < want) return;  // the caller sees the shortage on its next read
    }
  }

  // Runs the current member on to its trailer so that its CRC is checked. A
  // stream that goes on well past the image data is left unread: the data is
  // complete, and inflating an unbounded tail could take any amount of time.
  void finish() override {
    if (member_done_) return;
    std::unique_ptr<unsigned char[]> scratch(new unsigned char[kChunkBytes]);
    std::uint64_t extra = 0;
    while (!member_done_ && extra < kTailBudget) {
      const std::size_t got = inflate_into(scratch.get(), kChunkBytes, false);
      if (got < kChunkBytes && !member_done_) return;
      extra += got;
    }
  }

  std::uint64_t capacity() const override {
    const std::uint64_t size = file_.size();
    if (size > (std::numeric_limits<std::uint64_t>::max() - kDeflateSlack) / kDeflateMaxRatio)
      return std::numeric_limits<std::uint64_t>::max();
    return size * kDeflateMaxRatio + kDeflateSlack;
  }
  std::uint64_t file_size() const override { return file_.size(); }
  bool compressed() const override { return true; }

 private:
  // False when no compressed byte is left.
  bool have_input() {
    if (state_->avail_in > 0) return true;
    if (eof_) return false;
    const std::size_t got = file_.read(in_.get(), kInputBytes);
    if (got == 0) {
      eof_ = true;
      return false;
    }
    state_->next_in = in_.get();
    state_->avail_in = static_cast<std::uint32_t>(got);
    return true;
  }

  void start_next_member() {
    unsigned char* next = state_->next_in;
    const std::uint32_t avail = state_->avail_in;
    isal_inflate_reset(state_.get());
    state_->crc_flag = ISAL_GZIP;
    state_->next_in = next;
    state_->avail_in = avail;
    member_done_ = false;
  }

  std::size_t inflate_into(unsigned char* p, std::size_t n, bool may_start_member) {
    std::size_t produced = 0;
    while (produced < n) {
      if (member_done_) {
        if (!may_start_member || !have_input()) break;
        start_next_member();
      }
      const bool more_input = have_input();
      const std::size_t room = std::min<std::size_t>(n - produced, 1u << 30);
      state_->next_out = p + produced;
      state_->avail_out = static_cast<std::uint32_t>(room);
      const std::uint32_t in_before = state_->avail_in;
      const int ret = isal_inflate(state_.get());
      clear_upper_vector_state();
      const std::size_t made = room - state_->avail_out;
      produced += made;
      if (ret < 0 || ret == ISAL_NEED_DICT) fail(inflate_error_text(ret));
      if (state_->block_state == ISAL_BLOCK_FINISH) {
        member_done_ = true;
        continue;
      }
      if (state_->avail_out == 0) continue;
      // Output room is left, so the inflater wants more input.
      if (!more_input || (state_->avail_in == 0 && !have_input()))
        fail("truncated gzip stream: the file ends inside a gzip member");
      if (made == 0 && state_->avail_in == in_before && state_->avail_in > 0)
        fail("corrupt gzip stream: the inflater made no progress");
    }
    return produced;
  }

  InputFile file_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<inflate_state> state_;
  bool eof_ = false;
  bool member_done_ = false;
};

std::unique_ptr<ByteSource> open_source(const std::string& path) {
  if (ends_with(path, ".gz")) return std::make_unique<GzipSource>(path);
  return std::make_unique<PlainSource>(path);
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The image file that goes with a separate header (".hdr" -> ".img", either
// compressed or not, preferring the same compression as the header).
std::string companion_image(const std::string& header_path) {
  std::string base = header_path;
  const bool gz = ends_with(base, ".gz");
  if (gz) base.resize(base.size() - 3);
  for (const char* ext : {".hdr", ".img", ".nii"}) {
    if (ends_with(base, ext)) {
      base.resize(base.size() - 4);
      break;
    }
  }
  const std::string first = base + (gz ? ".img.gz" : ".img");
  const std::string second = base + (gz ? ".img" : ".img.gz");
  if (file_exists(first)) return first;
  if (file_exists(second)) return second;
  fail("cannot find the image file for header " + display_path(header_path) + " (looked for " +
       display_path(first) + ")");
}

// A ".img" path names the pair by its image file: the header sits beside it.
std::string header_path_for(const std::string& path) {
  std::string base = path;
  const bool gz = ends_with(base, ".gz");
  if (gz) base.resize(base.size() - 3);
  if (!ends_with(base, ".img")) return path;
  base.resize(base.size() - 4);
  const std::string first = base + (gz ? ".hdr.gz" : ".hdr");
  const std::string second = base + (gz ? ".hdr" : ".hdr.gz");
  if (file_exists(first)) return first;
  if (file_exists(second)) return second;
  return first;  // opening it reports the missing file
}

struct Scaling {
  bool on = false;
  double slope = 1.0;
  double inter = 0.0;
};

using ConvertFn = void (*)(const unsigned char*, std::size_t, float*, const Scaling&);

template <class T>
void convert_run(const unsigned char* src, std::size_t n, float* dst, const Scaling& s) {
  if (!s.on) {
    for (std::size_t i = 0; i < n; ++i) {
      T v;
      std::memcpy(&v, src + i * sizeof(T), sizeof(T));
      dst[i] = static_cast<float>(v);
    }
  } else {
    const double slope = s.slope, inter = s.inter;
    for (std::size_t i = 0; i < n; ++i) {
      T v;
      std::memcpy(&v, src + i * sizeof(T), sizeof(T));
      dst[i] = static_cast<float>(static_cast<double>(v) * slope + inter);
    }
  }
}

// x87 80-bit extended precision stored in 16 bytes is what "long double"
// means to the tools that write FLOAT128 on this architecture.
constexpr bool kLongDoubleIsFloat128 = sizeof(long double) == 16 && LDBL_MANT_DIG == 64;

struct Header {
  nifti_1_header h{};
  bool swapped = false;
  bool nifti = true;     // false: ANALYZE 7.5 (no magic)
  bool one_file = true;  // data follows the header in the same file
  int nbyper = 0;
  int swapsize = 0;
  std::uint64_t voxels = 0;
  std::uint64_t data_bytes = 0;
  std::uint64_t offset = 0;
  Scaling scaling;
  ConvertFn convert = nullptr;
};

std::string dim_error(int index, int value) {
  return "inconsistent dimension: dim[" + std::to_string(index) + "] = " + std::to_string(value);
}

std::string format_real(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

Header parse_header(const unsigned char* bytes) {
  Header hd;
  std::memcpy(&hd.h, bytes, kHeaderBytes);
  nifti_1_header& h = hd.h;

  // Byte order: dim[0] is 1..7 in the writer's order. When dim[0] is out of
  // range either way, the header size decides, so that the dimension error
  // below names the value as written.
  const auto sane_dim0 = [](short d) { return d >= 1 && d <= 7; };
  short swapped_dim0 = h.dim[0];
  nifti_swap_2bytes(1, &swapped_dim0);
  int swapped_size = h.sizeof_hdr;
  nifti_swap_4bytes(1, &swapped_size);
  if (!sane_dim0(h.dim[0]))
    hd.swapped = sane_dim0(swapped_dim0) || (h.sizeof_hdr != 348 && swapped_size == 348);
  const int version = NIFTI_VERSION(h);
  hd.nifti = version != 0;
  if (hd.swapped) swap_nifti_header(&h, hd.nifti ? 1 : 0);

  if (h.sizeof_hdr != static_cast<int>(kHeaderBytes))
    fail("not a NIfTI-1 file: header size " + std::to_string(h.sizeof_hdr) + " instead of 348");
  if (hd.nifti && version != 1) fail("not a NIfTI-1 file: magic names version " + std::to_string(version));
  hd.one_file = hd.nifti && NIFTI_ONEFILE(h);

  if (h.dim[0] < 1 || h.dim[0] > 7) fail(dim_error(0, h.dim[0]));
  for (int i = 1; i <= h.dim[0]; ++i)
    if (h.dim[i] <= 0) fail(dim_error(i, h.dim[i]));

  const int dt = h.datatype;
  switch (dt) {
    case DT_UINT8: case DT_INT8: case DT_INT16: case DT_UINT16: case DT_INT32: case DT_UINT32:
    case DT_INT64: case DT_UINT64: case DT_FLOAT32: case DT_FLOAT64:
      break;
    case DT_FLOAT128:
      if (kLongDoubleIsFloat128) break;
      [[fallthrough]];
    case DT_BINARY: case DT_COMPLEX64: case DT_COMPLEX128: case DT_COMPLEX256: case DT_RGB24:
    case DT_RGBA32:
      fail(std::string("unsupported data type ") + nifti_datatype_string(dt) + " (" +
           std::to_string(dt) + ")");
    default:
      fail("unknown data type code " + std::to_string(dt));
  }
  nifti_datatype_sizes(dt, &hd.nbyper, &hd.swapsize);
  if (hd.nbyper <= 0) fail("unknown data type code " + std::to_string(dt));
  if (!nifti_hdr_looks_good(&h)) fail("invalid NIfTI-1 header");

  std::uint64_t voxels = 1;
  for (int i = 1; i <= h.dim[0]; ++i)
    if (__builtin_mul_overflow(voxels, static_cast<std::uint64_t>(h.dim[i]), &voxels))
      fail("image too large: the dimensions overflow");
  std::uint64_t data_bytes = 0;
  if (__builtin_mul_overflow(voxels, static_cast<std::uint64_t>(hd.nbyper), &data_bytes) ||
      voxels > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float))
    fail("image too large: the dimensions overflow");
  hd.voxels = voxels;
  hd.data_bytes = data_bytes;

  const double vox_offset = h.vox_offset;
  if (!std::isfinite(vox_offset) || vox_offset < 0 || vox_offset > 9.0e18)
    fail("invalid vox_offset " + format_real(vox_offset));
  hd.offset = static_cast<std::uint64_t>(vox_offset);
  if (hd.one_file && hd.offset < kHeaderBytes) hd.offset = kHeaderBytes;

  const double slope = h.scl_slope, inter = h.scl_inter;
  if (slope != 0.0 && std::isfinite(slope)) {
    hd.scaling.on = true;
    hd.scaling.slope = slope;
    hd.scaling.inter = std::isfinite(inter) ? inter : 0.0;
  }

  switch (dt) {
    case DT_UINT8: hd.convert = convert_run<std::uint8_t>; break;
    case DT_INT8: hd.convert = convert_run<std::int8_t>; break;
    case DT_INT16: hd.convert = convert_run<std::int16_t>; break;
    case DT_UINT16: hd.convert = convert_run<std::uint16_t>; break;
    case DT_INT32: hd.convert = convert_run<std::int32_t>; break;
    case DT_UINT32: hd.convert = convert_run<std::uint32_t>; break;
    case DT_INT64: hd.convert = convert_run<std::int64_t>; break;
    case DT_UINT64: hd.convert = convert_run<std::uint64_t>; break;
    case DT_FLOAT32: hd.convert = convert_run<float>; break;
    case DT_FLOAT64: hd.convert = convert_run<double>; break;
    case DT_FLOAT128: hd.convert = convert_run<long double>; break;
    default: break;
  }
  return hd;
}

VolumeInfo info_from_header(const Header& hd) {
  const nifti_1_header& h = hd.h;
  VolumeInfo info;
  for (int i = 1; i <= h.dim[0]; ++i) info.shape.push_back(static_cast<std::uint64_t>(h.dim[i]));
  info.n_volumes = h.dim[0] >= 4 ? static_cast<std::uint64_t>(h.dim[4]) : 1;
  const double dx = h.pixdim[1], dy = h.pixdim[2], dz = h.pixdim[3];
  info.voxel_sizes = {dx, dy, dz};

  Mat4 m{};
  const int sform = hd.nifti ? h.sform_code : 0;
  const int qform = hd.nifti ? h.qform_code : 0;
  if (sform > 0) {
    for (int j = 0; j < 4; ++j) {
      m[0][j] = h.srow_x[j];
      m[1][j] = h.srow_y[j];
      m[2][j] = h.srow_z[j];
    }
  } else if (qform > 0) {
    const double b = h.quatern_b, c = h.quatern_c, d = h.quatern_d;
    const double a = std::sqrt(std::max(0.0, 1.0 - (b * b + c * c + d * d)));
    const double qfac = h.pixdim[0] < 0 ? -1.0 : 1.0;
    const double r[3][3] = {
        {a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
        {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
        {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - b * b - c * c}};
    const double scale[3] = {dx, dy, dz * qfac};
    const double offset[3] = {h.qoffset_x, h.qoffset_y, h.qoffset_z};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] = r[i][j] * scale[j];
      m[i][3] = offset[i];
    }
  } else {
    m[0][0] = dx;
    m[1][1] = dy;
    m[2][2] = dz;
  }
  m[3] = {0, 0, 0, 1};
  info.affine = m;
  return info;
}

// Big arrays are filled front to back once; huge pages cut the page faults of
// that first touch (which otherwise cost more than the inflate itself).
void advise_huge_pages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = 2u << 20;
  if (bytes < 4 * kHuge) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

std::string short_text(std::uint64_t expected, std::uint64_t got) {
  return "file too short: expected " + std::to_string(expected) + " bytes of image data, found " +
         std::to_string(got);
}

VolumeRead read_image(const std::string& path, double& decompress_s, double& convert_s, VolumeSink* sink) {
  quiet_library();
  Header hd;
  std::unique_ptr<ByteSource> image;
  {
    Lap lap(decompress_s);
    const std::string header_file = header_path_for(path);
    std::unique_ptr<ByteSource> src = open_source(header_file);
    unsigned char raw[kHeaderBytes];
    if (src->read(raw, kHeaderBytes) < kHeaderBytes) fail("file too short for a NIfTI-1 header");
    hd = parse_header(raw);
    if (hd.one_file) {
      if (header_file != path) fail("the header " + display_path(header_file) + " holds its own image data");
      image = std::move(src);
    } else {
      image = open_source(companion_image(header_file));
    }
    // Everything the file could possibly hold bounds what is allocated next.
    const std::uint64_t capacity = image->capacity();
    const std::uint64_t header_part = hd.one_file ? kHeaderBytes : 0;
    if (hd.offset > capacity) {
      if (image->compressed())
        fail("vox_offset " + std::to_string(hd.offset) + " is past what a gzip file of " +
             std::to_string(image->file_size()) + " bytes can hold");
      fail("vox_offset " + std::to_string(hd.offset) + " is past the end of the file (" +
           std::to_string(capacity) + " bytes)");
    }
    const std::uint64_t room = capacity > hd.offset ? capacity - hd.offset : 0;
    if (hd.data_bytes > room) {
      if (image->compressed())
        fail("the header promises " + std::to_string(hd.data_bytes) +
             " bytes of image data, more than a gzip file of " +
             std::to_string(image->file_size()) + " bytes can hold");
      fail(short_text(hd.data_bytes, room));
    }
    image->skip(hd.offset - header_part);
  }

  // Decompression and conversion are interleaved chunk by chunk (the raw
  // bytes are still in cache when they become floats), so each stage's laps
  // are added up separately: reading, inflating and the header on one side,
  // setting up and filling the float array on the other.
  VolumeRead out;
  {
    Lap lap(decompress_s);
    out.info = info_from_header(hd);
  }
  out.volume.shape = out.info.shape;
  std::vector<float>& data = out.volume.data;
  const std::uint64_t n = hd.voxels;

  // A sink takes a 4-D image volume by volume: kept volumes go into `data`,
  // wanted ones to the sink, the rest is inflated and dropped. Otherwise the
  // whole image is one run into `data`.
  std::vector<std::uint8_t> keep, want;
  bool streamed = false;
  if (sink && out.info.shape.size() == 4) {
    keep.assign(static_cast<std::size_t>(out.info.n_volumes), 0);
    want.assign(static_cast<std::size_t>(out.info.n_volumes), 0);
    streamed = sink->begin(out.info, keep, want);
  }
  try {
    const std::uint64_t runs = streamed ? out.info.n_volumes : 1;
    const std::uint64_t run_voxels = n / runs;
    std::uint64_t kept = n;
    if (streamed) {
      out.volume.partial = true;
      for (std::uint64_t k = 0; k < runs; ++k)
        if (keep[k]) out.volume.held.push_back(k);
      kept = out.volume.held.size() * run_voxels;
    }
    {
      Lap lap(convert_s);
      try {
        data.reserve(static_cast<std::size_t>(kept));
      } catch (const std::bad_alloc&) {
        fail("not enough memory for " + std::to_string(n) + " voxels");
      } catch (const std::length_error&) {
        fail("not enough memory for " + std::to_string(n) + " voxels");
      }
      advise_huge_pages(data.data(), static_cast<std::size_t>(kept) * sizeof(float));
    }

    const bool direct = hd.h.datatype == DT_FLOAT32 && !hd.swapped && !hd.scaling.on;
    std::unique_ptr<unsigned char[]> buffer;
    if (!direct || streamed) buffer.reset(new unsigned char[kChunkBytes]);
    const std::size_t per_chunk = kChunkBytes / static_cast<std::size_t>(hd.nbyper);
    std::uint64_t done = 0;  // voxels read so far
    for (std::uint64_t k = 0; k < runs; ++k) {
      const bool to_data = !streamed || keep[k];
      const bool to_sink = streamed && want[k];
      const std::size_t data_start = data.size();
      float* const out_run = !to_data && to_sink ? sink->buffer_for(k) : nullptr;
      for (std::uint64_t pos = 0; pos < run_voxels;) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, run_voxels - pos));
        const std::size_t bytes = m * static_cast<std::size_t>(hd.nbyper);
        if (!to_data && !out_run) {
          Lap lap(decompress_s);
          const std::size_t got = image->read(buffer.get(), bytes);
          if (got < bytes) fail(short_text(hd.data_bytes, done * static_cast<std::uint64_t>(hd.nbyper) + got));
        } else if (direct) {
          float* dst;
          if (to_data) {
            Lap lap(convert_s);
            data.resize(data_start + static_cast<std::size_t>(pos) + m);
            dst = data.data() + data_start + pos;
          } else {
            dst = out_run + pos;
          }
          Lap lap(decompress_s);
          const std::size_t got = image->read(reinterpret_cast<unsigned char*>(dst), bytes);
          if (got < bytes) fail(short_text(hd.data_bytes, done * 4 + got));
        } else {
          {
            Lap lap(decompress_s);
            const std::size_t got = image->read(buffer.get(), bytes);
            if (got < bytes) fail(short_text(hd.data_bytes, done * static_cast<std::uint64_t>(hd.nbyper) + got));
          }
          Lap lap(convert_s);
          if (hd.swapped && hd.swapsize > 1) nifti_swap_Nbytes(m, hd.swapsize, buffer.get());
          float* dst;
          if (to_data) {
            data.resize(data_start + static_cast<std::size_t>(pos) + m);
            dst = data.data() + data_start + pos;
          } else {
            dst = out_run + pos;
          }
          hd.convert(buffer.get(), m, dst, hd.scaling);
        }
        pos += m;
        done += m;
      }
      if (to_sink) sink->volume_ready(k, to_data ? data.data() + data_start : out_run);
    }
    {
      Lap lap(decompress_s);
      image->finish();
    }
    if (streamed) sink->end();
  } catch (...) {
    // The sink may still be reading volumes in `data`, which unwinding frees.
    if (streamed) sink->abandon();
    throw;
  }
  return out;
}

// Walks the grid in voxel linear order ((x * ny + y) * nz + z) and hands each
// stored-order offset to f; stops after `limit` voxels.
template <class F>
void for_each_voxel(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, std::uint64_t limit, F&& f) {
  std::uint64_t index = 0;
  const std::uint64_t plane = nx * ny;
  for (std::uint64_t x = 0; x < nx; ++x) {
    for (std::uint64_t y = 0; y < ny; ++y) {
      if (index >= limit) return;
      const std::uint64_t run = std::min(nz, limit - index);
      std::uint64_t offset = x + nx * y;
      for (std::uint64_t z = 0; z < run; ++z, offset += plane) f(index + z, offset);
      index += run;
    }
  }
}

}  // namespace

std::uint64_t Volume::grid_voxels() const {
  std::uint64_t n = 1;
  for (std::size_t i = 0; i < shape.size() && i < 3; ++i) n *= shape[i];
  return n;
}

bool Volume::holds(std::uint64_t k) const {
  if (k >= volume_count()) return false;
  return !partial || std::binary_search(held.begin(), held.end(), k);
}

const float* Volume::volume_data(std::uint64_t k) const {
  const std::uint64_t grid = grid_voxels();
  std::uint64_t slot = k;
  if (partial) {
    const auto it = std::lower_bound(held.begin(), held.end(), k);
    if (it == held.end() || *it != k)
      throw std::logic_error("volume " + std::to_string(k) + " was not kept when the image was read");
    slot = static_cast<std::uint64_t>(it - held.begin());
  }
  if (grid == 0) return data.data();
  if (data.size() / grid <= slot) throw std::out_of_range("volume data is shorter than its shape");
  return data.data() + slot * grid;
}

VolumeRead read_volume_with_info(const std::string& path, ReadTimings* timings, VolumeSink* sink) {
  double decompress_s = 0, convert_s = 0;
  VolumeRead out = read_image(path, decompress_s, convert_s, sink);
  if (timings) {
    timings->decompress_s = decompress_s;
    timings->convert_s = convert_s;
  }
  return out;
}

Mask read_mask(const std::string& path) {
  VolumeRead r = read_volume_with_info(path);
  const std::size_t nd = r.volume.ndim();
  if (nd != 3 && nd != 4)
    fail("a mask image must be 3-D or 4-D, got " + std::to_string(nd) + "-D");
  return mask_from_volume(r.volume);
}

Mask mask_from_volume(const Volume& volume) {
  const std::uint64_t nx = volume.dim(0), ny = volume.dim(1), nz = volume.dim(2);
  const std::uint64_t grid = volume.grid_voxels();
  if (volume.data.size() < grid) throw std::out_of_range("mask_from_volume: volume data is shorter than its grid");
  Mask mask(static_cast<std::size_t>(grid));
  const float* v = volume.ndim() >= 4 ? volume.volume_data(0) : volume.data.data();
  for_each_voxel(nx, ny, nz, grid, [&](std::uint64_t i, std::uint64_t off) {
    mask[i] = v[off] != 0.0f;  // NaN != 0 holds: NaN voxels are inside
  });
  return mask;
}

double masked_mean_of_volume(const Volume& volume, std::uint64_t k, const Mask* mask) {
  const std::uint64_t grid = volume.grid_voxels();
  const float* v = volume.data.data();
  if (volume.ndim() >= 4) {
    if (k >= volume.volume_count()) throw std::out_of_range("masked_mean_of_volume: volume index out of range");
    v = volume.volume_data(k);
  } else if (volume.data.size() < grid) {
    throw std::out_of_range("masked_mean_of_volume: volume data is shorter than its grid");
  }
  const std::uint64_t limit = mask ? std::min<std::uint64_t>(grid, mask->size()) : grid;
  double sum = 0;
  std::uint64_t count = 0;
  if (mask) {
    const std::uint8_t* m = mask->data();
    for_each_voxel(volume.dim(0), volume.dim(1), volume.dim(2), limit,
                   [&](std::uint64_t i, std::uint64_t off) {
                     if (m[i]) {
                       sum += static_cast<double>(v[off]);
                       ++count;
                     }
                   });
  } else {
    for_each_voxel(volume.dim(0), volume.dim(1), volume.dim(2), limit,
                   [&](std::uint64_t, std::uint64_t off) { sum += static_cast<double>(v[off]); });
    count = limit;
  }
  return count ? sum / static_cast<double>(count) : 0.0;
}

std::vector<double> mean_for_volumes(const Volume& volume, const std::vector<std::uint64_t>& indices,
                                     const Mask* mask) {
  std::vector<double> means(indices.size());
  if (indices.empty()) return means;
  if (volume.ndim() < 4) {
    std::fill(means.begin(), means.end(), masked_mean_of_volume(volume, 0, mask));
    return means;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, indices.size(), 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i)
                        means[i] = masked_mean_of_volume(volume, indices[i], mask);
                    });
  return means;
}

}  // namespace tarvix
