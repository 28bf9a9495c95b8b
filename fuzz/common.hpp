// Shared pieces of the fuzz harnesses: running a call with the core's own
// failures counted as ordinary outcomes, and a per-process scratch file for
// readers that only take a path.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <string_view>

#include "error.hpp"

namespace tarvix_fuzz {

// Stops the run with a libFuzzer crash report when an expectation about a
// parser's result does not hold.
#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

// Runs f; true when it returned, false when it refused the input with the
// core's Error or Failure. Any other exception escapes and ends the run as a
// finding ("uncaught exception" in libFuzzer's report).
template <class F>
bool accepts(F&& f) {
  try {
    f();
    return true;
  } catch (const tarvix::Error&) {
    return false;
  } catch (const tarvix::Failure&) {
    return false;
  }
}

// Display text of the refusal, empty when f succeeded.
template <class F>
std::string refusal(F&& f) {
  try {
    f();
    return {};
  } catch (const tarvix::Error& e) {
    return e.display().empty() ? std::string("<empty>") : e.display();
  } catch (const tarvix::Failure& e) {
    return e.text().empty() ? std::string("<empty>") : e.text();
  }
}

// A file in /dev/shm (RAM) owned by this process, rewritten for every input
// and removed at exit. `suffix` carries the extension the reader looks at.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& suffix) {
    const char* dir = std::getenv("TARVIX_FUZZ_TMP");
    path_ = std::string(dir && *dir ? dir : "/dev/shm") + "/tarvix-fuzz-" +
            std::to_string(::getpid()) + "-" + std::to_string(counter()++) + suffix;
  }
  ~ScratchFile() { ::unlink(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& write(const void* data, std::size_t size) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::perror(path_.c_str());
      std::abort();
    }
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const ssize_t w = ::write(fd, p, size);
      if (w <= 0) {
        std::perror(path_.c_str());
        std::abort();
      }
      p += w;
      size -= static_cast<std::size_t>(w);
    }
    ::close(fd);
    return path_;
  }
  const std::string& write(std::string_view bytes) { return write(bytes.data(), bytes.size()); }
  const std::string& path() const { return path_; }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::string path_;
};

}  // namespace tarvix_fuzz
