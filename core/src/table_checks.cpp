#include "table_checks.hpp"

namespace tarvix {

std::vector<std::string> implausible_table_notes(const GradientTable&, double) { return {}; }

}  // namespace tarvix
