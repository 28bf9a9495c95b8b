#include "io/input_file.hpp"

#include <openssl/evp.h>

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "error.hpp"
#include "fileio.hpp"
#include "text.hpp"

namespace tarvix {

namespace {

struct DigestContext {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  DigestContext() {
    if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 digest failed");
  }
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;
  ~DigestContext() { EVP_MD_CTX_free(ctx); }
  void update(const void* p, std::size_t n) {
    if (EVP_DigestUpdate(ctx, p, n) != 1) throw std::runtime_error("SHA-256 digest failed");
  }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) throw std::runtime_error("SHA-256 digest failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
      out += kHex[digest[i] >> 4];
      out += kHex[digest[i] & 0x0F];
    }
    return out;
  }
};

}  // namespace

// A mask can be as large as an image, so it is digested in pieces rather than
// read whole.
InputFile InputFile::of(const std::string& path) {
  std::uint64_t size = 0;
  const int fd = open_regular_file(path, size);
  DigestContext digest;
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
  DigestContext digest;
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
