#include "io/input_file.hpp"

#include <openssl/evp.h>

#include <stdexcept>

#include "fileio.hpp"
#include "text.hpp"

namespace tarvix {

InputFile InputFile::of(const std::string& path) { return of_contents(path, read_file(path)); }

InputFile InputFile::of_contents(const std::string& path, const std::string& contents) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(contents.data(), contents.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 digest failed");
  static constexpr char kHex[] = "0123456789abcdef";
  InputFile f;
  f.path = display_path(path);
  f.sha256.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    f.sha256 += kHex[digest[i] >> 4];
    f.sha256 += kHex[digest[i] & 0x0F];
  }
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
