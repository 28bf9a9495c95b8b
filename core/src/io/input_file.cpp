#include "io/input_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "error.hpp"
#include "fileio.hpp"
#include "io/sha256.hpp"
#include "text.hpp"

namespace tarvix {

// A mask can be as large as an image, so it is digested in pieces rather than
// read whole.
InputFile InputFile::of(const std::string& path) {
  std::uint64_t size = 0;
  const int fd = open_regular_file(path, size);
  Sha256 digest;
  std::uint64_t total = 0;
  std::unique_ptr<char[]> buf(new char[1 << 20]);
  try {
    for (;;) {
      const ssize_t n = ::read(fd, buf.get(), 1 << 20);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw Error::io(errno);
      }
      if (n == 0) break;
      digest.update(buf.get(), static_cast<std::size_t>(n));
      total += static_cast<std::uint64_t>(n);
    }
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  InputFile f;
  f.path = display_path(path);
  f.sha256 = digest.hex();
  f.bytes = total;
  return f;
}

InputFile InputFile::of_contents(const std::string& path, const std::string& contents) {
  Sha256 digest;
  digest.update(contents.data(), contents.size());
  InputFile f;
  f.path = display_path(path);
  f.sha256 = digest.hex();
  f.bytes = contents.size();
  return f;
}

json::Value InputFile::to_json() const {
  return json::Value(json::Object{
      {"path", path},
      {"sha256", sha256},
      {"bytes", bytes},
  });
}

}  // namespace tarvix
