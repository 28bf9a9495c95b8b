// SHA-256 (FIPS 180-4) of the inputs named in reports. Only tables and masks
// are digested, so a portable implementation is fast enough, and the wheel
// needs no cryptography library built for old C libraries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvix {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t n);
  // 64 lower-case hex digits; the object is spent afterwards.
  std::string hex();

 private:
  void block(const unsigned char* p);
  std::array<std::uint32_t, 8> h_;
  std::array<unsigned char, 64> pending_{};
  std::size_t fill_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace tarvix
