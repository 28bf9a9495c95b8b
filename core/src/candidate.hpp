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

// Plain words for a signed permutation label: "-x+y+z" is "x axis flipped",
// "+y+x+z" "x and y swapped", "+y+z+x" "axes rotated x→y→z"; "" for a label
// that is not one.
std::string describe_transform(const std::string& label);

// Plain words for a reading of the other frame ("scanner->image" or
// "image->scanner"), with the words of the axis transform found on top of it
// when that is not the identity; "" for a frame label that is not one.
std::string describe_frame_mistake(const std::string& frame_label, const Mat3& axes);

// What the outputs people read call a transform: "as given" for the identity
// or its negation, else its plain words.
std::string transform_words(const Mat3& m);

// Angle in degrees of the rotation between two transforms, a transform and
// its negation counting as one (diffusion has no sign): 0 for the same axes.
double angle_between_deg(const Mat3& a, const Mat3& b);
// The smallest angle from m to any signed permutation.
double angle_to_nearest_permutation_deg(const Mat3& m);

// The other frame a table may have been written in by mistake. A bvec holds
// components on the image axes and an MRtrix (`.b`) table scanner coordinates;
// the mistake writes one as the other. `correction` takes a table read in its
// declared frame to what it means when it holds the other frame's components,
// still written in the declared frame: F_declared^-1 * F_other. `angle_deg`
// is how far that is from every signed permutation: below a few degrees the
// two readings cannot be told apart (an image on the scanner's axes).
struct OtherFrame {
  std::string label;  // "scanner->image" for a bvec, "image->scanner" for a .b table
  Mat3 correction{};
  double angle_deg = 0;
};
// `declared_map` and `other_map` take the declared and the other frame to the
// voxel axes (frame.hpp); the correction is made exactly orthogonal so that a
// repaired direction keeps its length on a slightly sheared affine.
OtherFrame other_frame(bool declared_world, const Mat3& declared_map, const Mat3& other_map);

// "scanner->image", or "scanner->image -x+y+z" with an axis transform found on
// top of the frame mistake (applied first, in the table's own frame).
std::string frame_transform_label(const std::string& frame_label, const Mat3& axes);

}  // namespace tarvix
