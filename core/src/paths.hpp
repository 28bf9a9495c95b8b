// Path helpers shared by the readers and writers.
#pragma once

#include <string>
#include <string_view>

namespace tarvix {

bool ends_with(std::string_view s, std::string_view suffix);
// Anything at the path, following symbolic links.
bool file_exists(const std::string& path);

}  // namespace tarvix
