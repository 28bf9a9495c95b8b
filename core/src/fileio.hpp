// Whole-file reads and safe whole-file writes. Failures are Error::io.
#pragma once

#include <string>

namespace tarvix {

// Reads the whole file; a directory or missing file is an I/O error.
std::string read_file(const std::string& path);

// As read_file, and the contents must be valid UTF-8 (else an I/O error).
std::string read_text_file(const std::string& path);

// Writes `contents` to a temporary file in the target's directory, flushes it
// to disk and renames it over `path`, so a crash never leaves a half-written
// file at the target.
void write_file_atomic(const std::string& path, const std::string& contents);

// What a write says of an existing target that is neither a regular file nor
// a folder; such a target is never renamed away or replaced.
std::string not_regular_file_message(const std::string& path);

}  // namespace tarvix
