// MRtrix gradient files: one "x y z b" row per volume, '#' comment lines.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "gradient.hpp"

namespace tarvix::io::mrtrix {

// x, y, z and b of one trimmed, non-empty, non-comment line. Tokens after the
// fourth are ignored unchecked; a bad token among the first four, or fewer
// than four tokens, is a parse error naming `path`.
std::array<double, 4> parse_row(std::string_view line, const std::string& path);

// The table of a whole file's text: every line is trimmed, empty lines and
// lines starting with '#' are skipped, the rest are rows in volume order.
GradientTable read(std::string_view text, const std::string& path);

// One "x y z b\n" line per volume (components with six decimals, b-values in
// shortest plain form), no header; an empty table gives an empty file.
void write(const std::string& path, const GradientTable& table);

}  // namespace tarvix::io::mrtrix
