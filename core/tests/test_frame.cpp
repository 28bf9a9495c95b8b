// A table written in the wrong frame: a bvec holding scanner coordinates, or
// a .b table holding image-axis components. On an oblique image the two
// frames differ by a rotation no signed permutation reaches.
#include <gtest/gtest.h>

#include <cmath>

#include "candidate.hpp"
#include "execution.hpp"
#include "flip.hpp"
#include "frame.hpp"
#include "phantom_for_tests.hpp"
#include "tracking.hpp"
#include "verdict.hpp"

using namespace tarvix;

namespace {

// A 2 mm image: LAS (negative determinant) or RAS, turned by `turn`.
VolumeInfo image(bool ras, const Mat3& turn) {
  return test_support::info_with(mul(turn, Mat3{{{ras ? 2.0 : -2.0, 0, 0}, {0, 2, 0}, {0, 0, 2}}}));
}

// The shared bundle phantom's fitted field for a table whose directions are
// `table` times the voxel-axis direction (the fit sees the table's frame).
TensorField field_for(const Mat3& table) {
  using namespace test_support;
  return field_of({kPhantomNx, kPhantomNy, kPhantomNz}, bundle_direction, table);
}

struct FrameCase {
  const char* name;
  bool world;          // the table is declared a .b (world) table
  bool ras;            // positive determinant
  Vec3 turn_deg;       // the image's angulation about x, y, z
  bool mistake;        // written in the other frame
  const char* flip;    // axis transform applied to the written table
  const char* expect;  // the best reading's label
  bool other_scored;
};

class FrameReadings : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameReadings, WinningReadingUndoesTheMistakeExactly) {
  const FrameCase& p = GetParam();
  const VolumeInfo info = image(p.ras, test_support::rotation(p.turn_deg[0], p.turn_deg[1], p.turn_deg[2]));
  const Mat3 declared = voxel_frame_map(p.world, info), other_map = voxel_frame_map(!p.world, info);
  const Mat3 written_frame = p.mistake ? other_map : declared;
  const Mat3 flip = test_support::candidate_matrix(p.flip);
  // Written components: the flip applied to the direction in the writer's frame.
  const Mat3 table = mul(flip, transpose(written_frame));
  const OtherFrame other = other_frame(p.world, declared, other_map);
  EXPECT_EQ(other.label, p.world ? "image->scanner" : "scanner->image");

  Execution exec(2);
  const TrackingResult r = track_candidates(field_for(table), nullptr, declared, other, {2, 2, 2}, {}, exec);
  EXPECT_EQ(r.other_frame_scored, p.other_scored);
  EXPECT_EQ(r.ranking.size(), p.other_scored ? 48u : 24u);
  EXPECT_EQ(r.best.label, p.expect);
  EXPECT_EQ(r.best.frame.has_value(), std::string(p.expect).find("->") != std::string::npos);
  EXPECT_EQ(r.decision, std::string(p.expect) == "+x+y+z" ? Status::Pass : Status::Flag);
  EXPECT_FALSE(antipodal_or_equal(r.runner_up.matrix, r.best.matrix));
  EXPECT_GE(r.relative_margin, r.margin_threshold);
  EXPECT_GT(r.relative_margin, 2 * r.margin_spread);
  EXPECT_TRUE(r.best_leads && !r.thin_evidence);
  // A FLAG recommends the best reading (of a fix and its negation, the one with fewer sign flips).
  EXPECT_EQ(r.recommended_transform, r.decision == Status::Flag ? std::optional(r.best.matrix) : std::nullopt);
  EXPECT_EQ(r.recommended_label, r.decision == Status::Flag ? std::optional(r.best.label) : std::nullopt);
  // Applied in the table's frame, the winner maps every fitted direction
  // back onto its true voxel axis: the exact fix, not its nearest permutation.
  // Below the frame threshold no frame is claimed and the nearest permutation
  // is as close as the readings are to each other.
  const double off = angle_between_deg(mul(declared, mul(r.best.matrix, table)), identity3());
  EXPECT_LT(off, p.other_scored || !p.mistake ? 1e-6 : 5.0);
}

INSTANTIATE_TEST_SUITE_P(
    Images, FrameReadings,
    ::testing::Values(
        FrameCase{"BvecAboutZ", false, false, {0, 0, 25}, true, "+x+y+z", "scanner->image", true},
        FrameCase{"BvecAboutXY_ZFlip", false, false, {20, 25, 0}, true, "+x+y-z", "scanner->image +x+y-z", true},
        FrameCase{"BvecRasAboutY", false, true, {0, 25, 0}, true, "+x+y+z", "scanner->image", true},
        FrameCase{"BAboutX", true, false, {30, 0, 0}, true, "+x+y+z", "image->scanner", true},
        FrameCase{"BAboutZX_XFlip", true, true, {20, 0, 20}, true, "-x+y+z", "image->scanner -x+y+z", true},
        FrameCase{"CorrectBvecOblique", false, false, {20, 25, 0}, false, "+x+y+z", "+x+y+z", true},
        FrameCase{"CorrectBOblique", true, false, {0, 0, 25}, false, "+x+y+z", "+x+y+z", true},
        // On the scanner's axes the two frames differ by a signed permutation.
        FrameCase{"BvecAxisAligned", false, false, {0, 0, 0}, true, "+x+y+z", "-x+y+z", false},
        FrameCase{"BvecThreeDegrees", false, false, {0, 0, 3}, true, "+x+y+z", "-x+y+z", false},
        // A correct frame on the scanner's axes with a corrupted table: the best reading undoes it.
        // (Inside a whole-head mask: test_cli_tracking.py.)
        FrameCase{"XFlip", false, false, {0, 0, 0}, false, "-x+y+z", "-x+y+z", false},
        FrameCase{"NegatedZFix", false, false, {0, 0, 0}, false, "-x-y+z", "+x+y-z", false},
        FrameCase{"XYSwap", false, false, {0, 0, 0}, false, "+y+x+z", "+y+x+z", false},
        FrameCase{"Cycle", false, false, {0, 0, 0}, false, "+y+z+x", "+z+x+y", false},
        FrameCase{"XZSwapNegated", false, false, {0, 0, 0}, false, "-z+y-x", "+z-y+x", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
