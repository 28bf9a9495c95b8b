#include "fileio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "error.hpp"
#include "text.hpp"

namespace tarvix {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

void write_all(int fd, const std::string& contents) {
  const char* p = contents.data();
  std::size_t left = contents.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::io(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string file_type_text(unsigned mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a directory";
  return "not a regular file";
}

int open_regular_file(const std::string& path, std::uint64_t& size) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // forever. It changes nothing for a regular file, the only kind read on.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) throw Error::io(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw Error::io(errno);
  if (S_ISDIR(st.st_mode)) throw Error::io(EISDIR);
  if (!S_ISREG(st.st_mode)) {
    throw Error::io_text(display_path(path) + " is " + file_type_text(st.st_mode) +
                         ", not a regular file; only regular files are read");
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  size = static_cast<std::uint64_t>(st.st_size);
  return fd.release();
}

std::string read_file(const std::string& path, std::uint64_t limit) {
  std::uint64_t size = 0;
  Fd fd(open_regular_file(path, size));
  if (size > limit) {
    throw Error::io_text(display_path(path) + " holds " + std::to_string(size) + " bytes, more than the " +
                         std::to_string(limit >> 20) + " MiB a gradient table or sidecar file may hold");
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::io(errno);
    }
    if (n == 0) break;
    // A file that grows while it is read is held to the same bound.
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      throw Error::io_text(display_path(path) + " grew past the " + std::to_string(limit >> 20) +
                           " MiB a gradient table or sidecar file may hold while it was read");
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string read_text_file(const std::string& path, std::uint64_t limit) {
  std::string text = read_file(path, limit);
  if (!is_valid_utf8(text)) throw Error::io_text("stream did not contain valid UTF-8");
  return text;
}

std::string not_regular_file_message(const std::string& path) {
  return "refusing to replace " + display_path(path) + ": it is not a regular file (a device, FIFO or socket)";
}

void write_file_atomic(const std::string& path, const std::string& contents) {
  // An existing directory at the target must fail like a plain write would,
  // before anything is created beside it.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Error::io(EISDIR);
    // The rename would replace the node itself: a device (as root, /dev/null), a FIFO, a socket.
    if (!S_ISREG(st.st_mode)) throw Failure(not_regular_file_message(path));
  }

  // The writer's process id in the name lets a later command tell the
  // leftover of a killed process from a file another one is still writing.
  std::string tmpl = directory_of(path) + "/.tarvix-tmp-" + std::to_string(::getpid()) + "-XXXXXX";
  Fd fd(::mkstemp(tmpl.data()));
  if (fd.get() < 0) throw Error::io(errno);
  const std::string tmp = tmpl;
  try {
    // mkstemp creates 0600; give the file the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);
    write_all(fd.get(), contents);
    if (::fsync(fd.get()) != 0) throw Error::io(errno);
    if (::close(fd.release()) != 0) throw Error::io(errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0) throw Error::io(errno);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

}  // namespace tarvix
