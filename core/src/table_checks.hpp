// Tables that parse but cannot be what the scanner acquired: b-values in the
// wrong unit, an all-zero table, a diffusion-weighted volume with no
// direction. Each finding is a note that raises the verdict to WARN.
#pragma once

#include <string>
#include <vector>

#include "gradient.hpp"

namespace tarvix {

std::vector<std::string> implausible_table_notes(const GradientTable& table, double b0_threshold);

}  // namespace tarvix
