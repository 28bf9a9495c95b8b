#include "io/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include <isa-l/igzip_lib.h>

#include "cpu_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "error.hpp"
#include "fileio.hpp"
#include "paths.hpp"
#include "text.hpp"

namespace tarvix {
namespace {

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

// ISA-L's inflate kernels use 256/512-bit registers and return with the upper
// vector state dirty. Legacy-SSE code running next on this thread (our
// conversion loops in a baseline or x86-64-v2 build) then pays a transition or
// false-dependency penalty on every instruction; clearing the state is cheap.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void zero_upper_avx() { _mm256_zeroupper(); }
inline void clear_upper_vector_state() {
  if (have_avx()) zero_upper_avx();
}
#else
inline void clear_upper_vector_state() {}
#endif

class RawFile {
 public:
  explicit RawFile(const std::string& path) : path_(path) {
    // Without O_NONBLOCK a FIFO with no writer would hold the open forever; a
    // regular file, the only kind read on, ignores the flag.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
      fail("cannot open " + display_path(path) + ": it is " + file_type_text(st.st_mode) + ", not a regular file");
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    size_ = static_cast<std::uint64_t>(st.st_size);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }
  ~RawFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  std::uint64_t size() const { return size_; }

  // Whether the file begins with the gzip magic bytes, whatever its name.
  bool starts_like_gzip() const {
    unsigned char magic[2] = {0, 0};
    ssize_t n;
    do n = ::pread(fd_, magic, 2, 0);
    while (n < 0 && errno == EINTR);
    return n == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  }

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

class PlainSource final : public ByteSource {
 public:
  explicit PlainSource(const std::string& path) : file_(path) {
    // Read as stored, a compressed header fails later with a puzzling header
    // size; the name is the likelier mistake. (Raw voxel data in an .img may
    // begin with any two bytes, so only header files are looked at.)
    if ((ends_with(path, ".nii") || ends_with(path, ".hdr")) && file_.starts_like_gzip())
      fail(display_path(path) + " is gzip-compressed, but its name does not end in .gz (rename it to .nii.gz)");
  }
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
  RawFile file_;
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
    if (file_.size() >= 2 && !file_.starts_like_gzip())
      fail(display_path(path) + " is not gzip-compressed, although its name ends in .gz (rename it to .nii)");
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

  RawFile file_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<inflate_state> state_;
  bool eof_ = false;
  bool member_done_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> open_source(const std::string& path) {
  if (ends_with(path, ".gz")) return std::make_unique<GzipSource>(path);
  return std::make_unique<PlainSource>(path);
}

}  // namespace tarvix
