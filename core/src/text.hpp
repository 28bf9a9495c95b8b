// UTF-8 helpers shared by the readers and by error messages.
#pragma once

#include <string>
#include <string_view>

namespace tarvix {

bool is_valid_utf8(std::string_view bytes);

// Display form of a path: as given, with every byte sequence that is not valid
// UTF-8 replaced by U+FFFD.
std::string display_path(std::string_view path);

}  // namespace tarvix
