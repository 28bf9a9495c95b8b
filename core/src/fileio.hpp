// Whole-file reads and safe whole-file writes. Failures are Error::io.
#pragma once

#include <cstdint>
#include <string>

namespace tarvix {

// The largest gradient table, grad or sidecar file read: a few hundred thousand
// rows fit many times over, while a stray image or log given by mistake is
// refused before it is read into memory.
inline constexpr std::uint64_t kTableFileLimit = 32ull << 20;
inline constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

// "a FIFO", "a character device", ... for a file that is not regular; empty for
// a regular file.
std::string file_type_text(unsigned mode);

// Opens `path` for reading without ever waiting on it: a FIFO, a device or a
// socket is refused at once with an I/O error naming the file (the open itself
// does not block on a FIFO without a writer). A directory or missing file is
// the operating system's error. Returns the descriptor; `size` gets the size.
int open_regular_file(const std::string& path, std::uint64_t& size);

// Reads the whole regular file; a directory or missing file is an I/O error, a
// file that is not regular or larger than `limit` bytes one that names it.
std::string read_file(const std::string& path, std::uint64_t limit = kNoLimit);

// As read_file, and the contents must be valid UTF-8 (else an I/O error).
std::string read_text_file(const std::string& path, std::uint64_t limit = kTableFileLimit);

// Writes `contents` to a temporary file in the target's directory, flushes it
// to disk and renames it over `path`, so a crash never leaves a half-written
// file at the target.
void write_file_atomic(const std::string& path, const std::string& contents);

// What a write says of an existing target that is neither a regular file nor
// a folder; such a target is never renamed away or replaced.
std::string not_regular_file_message(const std::string& path);

}  // namespace tarvix
