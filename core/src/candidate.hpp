// The 48 signed axis permutations a wrong table may differ by.
#pragma once

#include <string>
#include <vector>

#include "matrix.hpp"

namespace tarvix {

struct Candidate {
  std::string label;  // e.g. "-x+y+z"
  Mat3 matrix{};
  bool is_identity = false;
};

std::vector<Candidate> all_candidates();

}  // namespace tarvix
