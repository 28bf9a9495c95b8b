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

namespace {
int sign_flips(const Mat3& m) {
  int n = 0;
  for (const auto& row : m)
    for (double v : row) n += v < 0 ? 1 : 0;
  return n;
}
Mat3 negated(const Mat3& m) {
  Mat3 r = m;
  for (auto& row : r)
    for (double& v : row) v = v == 0 ? 0.0 : -v;  // no -0.0 in a transform that is written out
  return r;
}
bool first_entry_positive(const Mat3& m) {
  for (const auto& row : m)
    for (double v : row)
      if (v != 0) return v > 0;
  return true;
}
}  // namespace

Mat3 canonical_transform(const Mat3& m) {
  const Mat3 n = negated(m);
  const int fm = sign_flips(m), fn = sign_flips(n);
  if (fm != fn) return fm < fn ? m : n;
  return first_entry_positive(m) ? m : n;
}

std::string transform_label(const Mat3& m) {
  static constexpr char kAxis[3] = {'x', 'y', 'z'};
  std::string label;
  for (const auto& row : m)
    for (std::size_t j = 0; j < 3; ++j)
      if (row[j] != 0) {
        label += row[j] < 0 ? '-' : '+';
        label += kAxis[j];
      }
  return label;
}

}  // namespace tarvix
