#include "candidate.hpp"

namespace tarvix {

std::vector<Candidate> all_candidates() {
  static constexpr int kPermutations[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  static constexpr char kAxis[3] = {'x', 'y', 'z'};
  const Mat3 id = identity3();

  std::vector<Candidate> out;
  out.reserve(48);
  for (const auto& p : kPermutations) {
    for (int v = 0; v < 8; ++v) {
      // Bit 0 negates the first row, bit 1 the second, v >= 4 the third, so that
      // v ^ 7 is always the negation of v within the same permutation.
      const double s[3] = {(v & 1) ? -1.0 : 1.0, (v & 2) ? -1.0 : 1.0, v >= 4 ? -1.0 : 1.0};
      Candidate c;
      c.label.reserve(6);
      for (int i = 0; i < 3; ++i) {
        c.matrix[i][p[i]] = s[i];
        c.label += s[i] < 0 ? '-' : '+';
        c.label += kAxis[p[i]];
      }
      c.is_identity = c.matrix == id;
      out.push_back(std::move(c));
    }
  }
  return out;
}

}  // namespace tarvix
