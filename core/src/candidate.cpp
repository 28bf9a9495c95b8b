#include "candidate.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>
#include <string>

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

namespace {

// The orthogonal matrix nearest m (its polar factor), by Newton's iteration
// X <- (X + X^-T) / 2, which converges in a few steps from a matrix that is
// nearly orthogonal already, as every affine's unit columns are.
Mat3 orthogonalised(const Mat3& m) {
  Mat3 x = m;
  for (int it = 0; it < 20; ++it) {
    const double d = det3(x);
    if (!(std::abs(d) > 1e-12) || !std::isfinite(d)) return m;
    // X^-T is the cofactor matrix over the determinant.
    Mat3 cof{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
        cof[i][j] = (x[i1][j1] * x[i2][j2] - x[i1][j2] * x[i2][j1]) / d;
      }
    double change = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const double v = 0.5 * (x[i][j] + cof[i][j]);
        change = std::max(change, std::abs(v - x[i][j]));
        x[i][j] = v;
      }
    if (change < 1e-15) break;
  }
  return x;
}
}  // namespace

double angle_between_deg(const Mat3& a, const Mat3& b) {
  Mat3 r = mul(transpose(a), b);
  // Of r and -r (the same axes) the proper rotation; for a 3x3 matrix the
  // negation changes the determinant's sign.
  if (det3(r) < 0)
    for (auto& row : r)
      for (double& v : row) v = -v;
  const double c = std::clamp((r[0][0] + r[1][1] + r[2][2] - 1.0) / 2.0, -1.0, 1.0);
  return std::acos(c) * 180.0 / std::numbers::pi;
}

double angle_to_nearest_permutation_deg(const Mat3& m) {
  double best = 180.0;
  for (const Candidate& c : all_candidates()) best = std::min(best, angle_between_deg(c.matrix, m));
  return best;
}

OtherFrame other_frame(bool declared_world, const Mat3& declared_map, const Mat3& other_map) {
  OtherFrame f;
  f.label = declared_world ? "image->scanner" : "scanner->image";
  // Both maps are orthogonal up to an affine's shear, so the transpose is the
  // inverse.
  f.correction = orthogonalised(mul(transpose(declared_map), other_map));
  for (auto& row : f.correction)
    for (double& v : row) v += 0.0;  // no -0.0 in a matrix that is written out
  f.angle_deg = angle_to_nearest_permutation_deg(f.correction);
  return f;
}

std::string frame_transform_label(const std::string& frame_label, const Mat3& axes) {
  const Mat3 c = canonical_transform(axes);
  if (c == identity3()) return frame_label;
  return frame_label + " " + transform_label(c);
}

std::string describe_transform(const std::string& label) {
  if (label.size() != 6) return "";
  std::array<int, 3> take{};
  std::array<bool, 3> flipped{};
  std::array<bool, 3> seen{};
  for (std::size_t i = 0; i < 3; ++i) {
    const char sign = label[2 * i], axis = label[2 * i + 1];
    if ((sign != '+' && sign != '-') || axis < 'x' || axis > 'z' || seen[static_cast<std::size_t>(axis - 'x')])
      return "";
    take[i] = axis - 'x';
    seen[static_cast<std::size_t>(take[i])] = true;
    flipped[i] = sign == '-';
  }
  static constexpr const char* kAxis[3] = {"x", "y", "z"};
  std::vector<int> moved;
  std::vector<std::string> flips;
  for (int i = 0; i < 3; ++i) {
    if (take[static_cast<std::size_t>(i)] != i) moved.push_back(i);
    if (flipped[static_cast<std::size_t>(i)]) flips.push_back(kAxis[i]);
  }
  if (moved.empty() && flips.size() == 3) return "all three axes flipped, which scores as the table as given";
  std::vector<std::string> parts;
  if (moved.size() == 2) {
    parts.push_back(std::string(kAxis[moved[0]]) + " and " + kAxis[moved[1]] + " swapped");
  } else if (moved.size() == 3) {
    std::string cycle = "axes rotated x";
    int at = 0;
    for (int k = 0; k < 2; ++k) {
      at = take[static_cast<std::size_t>(at)];
      cycle += std::string("\u2192") + kAxis[at];
    }
    parts.push_back(cycle);
  }
  if (!flips.empty()) {
    std::string f;
    for (std::size_t i = 0; i < flips.size(); ++i) f += (i ? " and " : "") + flips[i];
    parts.push_back(f + (flips.size() == 1 ? " axis flipped" : " axes flipped"));
  }
  if (parts.empty()) return "as given";
  std::string out = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) out += ", then " + parts[i];
  return out;
}

std::string describe_frame_mistake(const std::string& frame_label, const Mat3& axes) {
  std::string words;
  if (frame_label == "scanner->image")
    words = "the table is in scanner coordinates, not on the image axes (an MRtrix table written as a bvec?)";
  else if (frame_label == "image->scanner")
    words = "the table is on the image axes, not in scanner coordinates (bvec components written into a .b file?)";
  else
    return "";
  const Mat3 c = canonical_transform(axes);
  if (c == identity3()) return words;
  return words + ", with " + describe_transform(transform_label(c)) + " as well";
}

std::string transform_words(const Mat3& m) {
  const Mat3 c = canonical_transform(m);
  return c == identity3() ? "as given" : describe_transform(transform_label(c));
}

}  // namespace tarvix
