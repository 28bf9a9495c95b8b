// Path helpers shared by the readers and writers: plain string operations on
// '/'-separated paths, and the few file-system queries they need.
#pragma once

#include <string>
#include <string_view>

namespace tarvix {

bool ends_with(std::string_view s, std::string_view suffix);
// dir + "/" + name, without doubling a trailing slash; an empty dir gives name.
std::string join_path(const std::string& dir, const std::string& name);
// The part after the last '/'.
std::string_view file_name(std::string_view path);
// The part before the last '/' ("/" for a file in the root); empty without a '/'.
std::string parent_directory(const std::string& path);

// Anything at the path, following symbolic links.
bool file_exists(const std::string& path);
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);
// mkdir -p: every missing level is created; an existing directory is fine.
// Failures are Error::io.
void create_directories(const std::string& path);

}  // namespace tarvix
