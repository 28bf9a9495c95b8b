// An input file named by its path, digest and size, as reports and
// provenance records list it.
#pragma once

#include <cstdint>
#include <string>

#include "json.hpp"

namespace tarvix {

struct InputFile {
  std::string path;    // display form
  std::string sha256;  // 64 lower-case hex digits
  std::uint64_t bytes = 0;

  // Reads the whole file and digests it; an unreadable file is an I/O error.
  static InputFile of(const std::string& path);
  // Digest of bytes already read (the loaders read each file once).
  static InputFile of_contents(const std::string& path, const std::string& contents);

  json::Value to_json() const;
};

}  // namespace tarvix
