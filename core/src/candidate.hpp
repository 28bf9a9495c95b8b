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

// Of a transform and its negation (the same axes for diffusion), the one with
// fewer sign flips; on a tie, the one whose first non-zero entry is positive.
// This is the one named and applied, so that a z flip reads "+x+y-z" and its
// repair changes only the z components.
Mat3 canonical_transform(const Mat3& m);
// "+x+y-z"-style label of a signed permutation matrix.
std::string transform_label(const Mat3& m);

}  // namespace tarvix
