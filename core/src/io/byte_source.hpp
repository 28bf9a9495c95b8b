// Where an image file's bytes come from: the file as it is, or its gzip
// members inflated one after another with ISA-L, in small pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarvix {

// Output is produced and converted in pieces small enough to stay in L2, so
// the raw bytes are still cached when they are turned into floats.
inline constexpr std::size_t kChunkBytes = 256 * 1024;

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

// A ".gz" path is inflated; any other is read as it is. Failures are Error::nifti.
std::unique_ptr<ByteSource> open_source(const std::string& path);

}  // namespace tarvix
