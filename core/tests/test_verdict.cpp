// The one verdict: how the two measures, the evidence, the image's geometry
// and the scheme combine, on records bent into each case.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "candidate.hpp"
#include "phantom_for_tests.hpp"
#include "verdict.hpp"

namespace tarvix {
namespace {

const auto matrix_of = test_support::candidate_matrix;

CandidateScore coherence_score(const std::string& label, double score, std::uint64_t samples = 5000) {
  return {label, matrix_of(label), label == "+x+y+z", score, samples};
}

TrackingScore tracking_score(const std::string& label, double mm, std::uint64_t streamlines = 900) {
  return {label, matrix_of(label), label == "+x+y+z", mm, streamlines};
}

// A run whose table has x flipped, as both measures see it when all is well:
// 30 volumes at b=1000, plenty of white matter, both measures FLAG -x+y+z.
struct FlippedRun {
  Report report = Report::make({});
  TrackingResult tracking;
  VolumeInfo image;

  FlippedRun() {
    report.shells = ShellSummary{{{.count = 5, .is_b0 = true}, {.nominal_b = 1000, .count = 30}}, {}, {}, 0, 0};
    const CandidateScore best = coherence_score("-x+y+z", 0.8), second = coherence_score("+x+y+z", 0.7);
    report.flip = FlipResult{.working_b = 1000, .n_wm_voxels = 3000,
                             .ranking = {best, coherence_score("+x-y-z", 0.8), second}, .best = best,
                             .runner_up = second, .relative_margin = 0.14, .decision = Status::Flag,
                             .recommended_transform = best.matrix, .recommended_label = best.label};
    report.status = Status::Flag;
    const TrackingScore lead = tracking_score("-x+y+z", 30), next = tracking_score("+x+y+z", 20);
    tracking = {.decision = Status::Flag, .recommended_label = lead.label, .recommended_transform = lead.matrix,
                .best = lead, .best_leads = true, .runner_up = next, .relative_margin = 0.5, .margin_spread = 0.04,
                .margin_threshold = 0.05, .ranking = {lead, next}, .fa_threshold = 0.3, .n_seeds = 2000,
                .min_length_mm = 10};
  }

  void tracking_warns() { tracking.decision = Status::Warn, tracking.recommended_transform.reset(); }

  Verdict decide(bool with_tracking = true) const {
    return decide_verdict({.report = &report, .tracking = with_tracking ? &tracking : nullptr, .image = &image});
  }
};

bool has_note(const Verdict& v, const std::string& part) {
  for (const auto& n : v.notes)
    if (n.find(part) != std::string::npos) return true;
  return false;
}

struct Case {
  const char* name;
  std::function<void(FlippedRun&)> bend;
  bool with_tracking;
  Status status;
  const char* recommended;  // nullptr: none
  const char* note;         // nullptr: no particular note
  bool thin;
};

// (Thin evidence of either measure alone, and the coherence alone confident
// with --no-tracking, end to end: test_cli.py.)
TEST(Verdict, CombiningRule) {
  const Case cases[] = {
      {"both FLAG", [](FlippedRun&) {}, true, Status::Flag, "-x+y+z", nullptr, false},
      {"tracking unsure, coherence alone would FLAG",
       [](FlippedRun& r) { r.tracking_warns(), r.tracking.relative_margin = 0.03; }, true, Status::Warn, nullptr, "the coherence alone would FLAG and recommend -x+y+z", false},
      // A decisive tracking is not downgraded by the coherence's thin evidence.
      {"coherence thin under a decisive tracking", [](FlippedRun& r) { r.report.flip->n_wm_voxels = 40; }, true,
       Status::Flag, "-x+y+z", nullptr, false},
      {"too few comparisons alone", [](FlippedRun& r) { r.report.flip->best.n_samples = 100; }, false, Status::Warn,
       nullptr, "only 100 neighbour comparisons", true},
      // Both measures stand on the fit.
      {"shell too small", [](FlippedRun& r) { r.report.shells->shells[1].count = 5; }, true, Status::Warn, nullptr,
       "has only 5 volumes: too few for a tensor fit", true},
      {"measures disagree", [](FlippedRun& r) { r.report.flip->best = coherence_score("+y+x+z", 0.9); }, true,
       Status::Flag, "-x+y+z", "the measures disagree: coherence ranks +y+x+z first, tracking -x+y+z", false},
      {"the other frame kept",
       [](FlippedRun& r) {
         r.tracking.frame_test = FrameTest{.other_label = "scanner->image -x+y+z", .angle_deg = 6.0,
                                           .declared_mm = 30, .other_mm = 31, .mean_difference_mm = 1,
                                           .standard_error_mm = 0.5};
       },
       true, Status::Flag, "-x+y+z",
       "the table's frame is not told apart: read as scanner->image -x+y+z (6.0\u00b0 away) it scores 3.3% higher",
       false},
      {"orientation unknown", [](FlippedRun& r) { r.image.orientation_doubt = "the sform holds NaN"; }, true, Status::Warn,
       nullptr, "orientation cannot be trusted: the sform holds NaN", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlippedRun run;
    c.bend(run);
    const Verdict v = run.decide(c.with_tracking);
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.decided_by, c.with_tracking ? Measure::Tracking : Measure::Coherence);
    EXPECT_EQ(v.recommended_label.has_value(), c.recommended != nullptr);
    if (c.recommended && v.recommended_label) EXPECT_EQ(*v.recommended_label, c.recommended);
    if (c.note) EXPECT_TRUE(has_note(v, c.note)) << (v.notes.empty() ? "" : v.notes.front());
    EXPECT_EQ(v.thin_evidence, c.thin);
  }
}

// (A coherence leading by less than its threshold is no disagreement: test_cli_tracking.py.)
TEST(Verdict, AFrameReadingOfTheSameAxesIsNoDisagreement) {
  FlippedRun r;
  r.report.flip->best = coherence_score("+x+y+z", 0.9);
  r.tracking.best.matrix = {{{-0.99, 0.1, 0.0}, {0.1, 0.99, 0.0}, {0, 0, 1}}};
  r.tracking.best.frame = "scanner->image";
  EXPECT_TRUE(has_note(r.decide(), "the measures disagree"));
  r.report.flip->best = coherence_score("-x+y+z", 0.9);
  EXPECT_FALSE(has_note(r.decide(), "the measures disagree"));
}

TEST(Verdict, NamesTheTransformWithFewerSignFlips) {
  FlippedRun z;  // a z flip: the measures may rank -x-y+z, its negation
  z.tracking.best = tracking_score("-x-y+z", 30);
  z.tracking.recommended_transform = z.tracking.best.matrix;
  const Verdict v = z.decide();
  ASSERT_TRUE(v.recommended_label);
  EXPECT_EQ(*v.recommended_label, "+x+y-z");
  EXPECT_EQ(*v.recommended_words, "z axis flipped");
  EXPECT_EQ(*v.recommended_transform, matrix_of("+x+y-z"));
  EXPECT_EQ(v.best_label, "+x+y-z");
}

TEST(Verdict, NothingIsBestWhenEveryTransformScoresZero) {
  FlippedRun r;
  r.tracking_warns();
  r.tracking.best_leads = false;
  r.tracking.best = tracking_score("-x+y+z", 0, 0);
  r.tracking.runner_up = tracking_score("+x+y+z", 0, 0);
  r.tracking.ranking = {r.tracking.best, r.tracking.runner_up};
  const Verdict v = r.decide();
  EXPECT_EQ(v.status, Status::Warn);
  EXPECT_FALSE(v.best_label);
  EXPECT_FALSE(has_note(v, "the measures disagree"));
}

// (The engine's report is the module's with the verdict on top: same_module_report in
// py/tests/conftest.py, on every command-line report test_cli.py compares.)

}  // namespace
}  // namespace tarvix
