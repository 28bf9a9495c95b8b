#include "paths.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "error.hpp"

namespace tarvix {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string_view file_name(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string parent_directory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void create_directories(const std::string& path) {
  if (path.empty() || is_directory(path)) return;
  std::size_t pos = path.front() == '/' ? 1 : 0;
  for (;;) {
    pos = path.find('/', pos);
    const std::string level = path.substr(0, pos);
    if (!level.empty() && ::mkdir(level.c_str(), 0777) != 0) {
      const int err = errno;
      if (!(err == EEXIST && is_directory(level))) throw Error::io(err);
    }
    if (pos == std::string::npos) break;
    ++pos;
  }
}

}  // namespace tarvix
