// Scheme analysis: shells, angular quality, b0 drift, findings, the report's
// JSON form and the pipelines that need no image.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "error.hpp"
#include "pipeline.hpp"
#include "phantom_for_tests.hpp"
#include "scheme_qc.hpp"
#include "table_checks.hpp"

using namespace tarvix;
using tarvix::test_support::error_text;
using tarvix::test_support::keys_of;
using Idx = std::vector<std::uint64_t>;
using Texts = std::vector<std::string>;

namespace {

Vec3 from_angles(double theta_deg, double phi_deg) {
  const double t = theta_deg * M_PI / 180, p = phi_deg * M_PI / 180;
  return {std::sin(t) * std::cos(p), std::sin(t) * std::sin(p), std::cos(t)};
}

GradientTable table_of(const std::vector<Vec3>& dirs, double b, int leading_b0 = 0) {
  GradientTable t = test_support::sphere_scheme(0, leading_b0);
  t.directions.insert(t.directions.end(), dirs.begin(), dirs.end());
  t.bvals.resize(t.directions.size(), b);
  return t;
}

// The angular summary of the one b=1000 shell of these directions.
ShellAngular shell_of(const std::vector<Vec3>& dirs, int leading_b0 = 0) {
  return angular::analyze(table_of(dirs, 1000, leading_b0), 50, 0.05, 5.0).shells.at(0);
}

ShellAngular shell_angular(double b, std::uint64_t n, std::optional<double> cond) {
  return {b, n, 0.0, cond, n >= 6, n >= 30, n >= 45, {}};
}

Report report_with(std::vector<ShellAngular> shells) {
  Report r = Report::make({});
  r.angular = AngularSummary{5.0, std::move(shells)};
  return r;
}

}  // namespace

TEST(Shells, ClusteringSummaryAndNonIntegers) {
  auto s = detect_shells({0, 5, 1000, 1005, 2000, 3000}, 50, 0.05);
  ASSERT_EQ(s.size(), 4u);
  EXPECT_TRUE(s[0].is_b0);
  EXPECT_EQ(s[0].indices, (Idx{0, 1}));
  EXPECT_EQ(s[0].mean_b, 2.5);
  EXPECT_EQ(s[0].nominal_b, 3);  // half rounds away from zero
  EXPECT_EQ(s[1].indices, (Idx{2, 3}));

  // The anchor does not move inside a group.
  s = detect_shells({1000, 1040, 1080, 1100}, 50, 0.05);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1].indices, (Idx{2, 3}));

  // Exactly the factor above the anchor joins; the threshold itself is b=0.
  const double edge = (1 + 0.05) * 1000;
  s = detect_shells({1000, edge, std::nextafter(edge, 2000.0), 50}, 50, 0.05);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].indices, (Idx{3}));
  EXPECT_EQ(s[1].count, 2u);

  // Members in volume order; a NaN b-value belongs to no shell.
  s = detect_shells({2000, 1000, std::nan(""), 2001, 1001, 999}, 50, 0.05);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].indices, (Idx{1, 4, 5}));
  EXPECT_EQ(s[1].indices, (Idx{0, 3}));
  EXPECT_TRUE(detect_shells({}, 50, 0.05).empty());

  std::vector<double> b(36, 1000);
  for (int i : {0, 10, 20, 35}) b[i] = 0;
  EXPECT_EQ(b0_summary(b, 50).spacings, (Idx{10, 10, 15}));
  auto none = b0_summary({1000, 2000}, 50);
  EXPECT_TRUE(none.count == 0 && none.indices.empty() && none.spacings.empty());

  EXPECT_EQ(non_integer_bvals({999.9995, 1000.002, std::nan(""), INFINITY, 2.5}, 0.001), (Idx{1, 4}));
}

TEST(Angular, DuplicatesEnergyAndConditioning) {
  EXPECT_TRUE(angular::analyze(table_of({}, 0, 3), 50, 0.05, 5.0).shells.empty());

  // Two orthogonal directions (one not unit length): both distances are sqrt(2).
  auto two = shell_of({{1, 0, 0}, {0, 2, 0}});
  EXPECT_NEAR(two.electrostatic_energy, std::sqrt(2.0), 1e-12);
  EXPECT_FALSE(two.condition_number || two.meets_dti_minimum);

  // Six directions, two of them identical: rank 5, a 0-degree pair (volume
  // indices) and a 1e9 energy term. (A full-rank shell's condition number and
  // empty pair list: the angular section of every report in py/tests/contract.)
  const double h = std::sqrt(0.5);
  std::vector<Vec3> six{{h, h, 0}, {h, -h, 0}, {h, 0, h}, {h, 0, -h}, {0, h, h}, {h, h, 0}};
  auto bad = shell_of(six, 1);
  EXPECT_FALSE(bad.condition_number.has_value());
  ASSERT_EQ(bad.duplicates.size(), 1u);
  EXPECT_EQ(json::dump(bad.duplicates[0].to_json()), R"({"i":1,"j":6,"angle_deg":0.0,"antipodal":false})");
  EXPECT_GT(bad.electrostatic_energy, 1e9);

  // Opposite directions are an antipodal pair; 4.9 degrees apart is listed, 5.1 is not.
  auto d = shell_of({{1, 0, 0}, {-1, 0, 0}, from_angles(0, 0), from_angles(4.9, 0), from_angles(90, 90),
                     from_angles(84.9, 90)})
               .duplicates;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_TRUE(d[0].i == 0 && d[0].j == 1 && d[0].angle_deg == 0.0 && d[0].antipodal);
  EXPECT_TRUE(d[1].i == 2 && d[1].j == 3 && !d[1].antipodal);
  EXPECT_NEAR(d[1].angle_deg, 4.9, 1e-9);

  for (int n : {6, 30, 45}) {
    auto s = shell_of(test_support::sphere_scheme(n, 0).directions);
    EXPECT_TRUE(s.meets_dti_minimum && s.meets_dti_recommended == (n >= 30) && s.meets_csd_minimum == (n >= 45));
  }
}

// (Slope and spread of real baselines: the b0_drift of py/tests/contract.)
TEST(Drift, NothingToMeasure) {
  for (auto d : {b0_drift({}, {}), b0_drift({4}, {120}), b0_drift({0, 10, 20}, {100, 100, 100})})
    EXPECT_TRUE(d.slope == 0.0 && d.relative_drift == 0.0);
  EXPECT_EQ(b0_drift({0, 1}, {-5, 5}).relative_drift, 0.0);  // zero average
}

TEST(SchemeQc, SevereFindingsPromoteOnlyWithStrictAndOnlyFromPass) {
  const std::string too_few = "shell b=2000: 5 directions, below the DTI minimum of 6 \u2014 the tensor fit is underdetermined";
  const std::string promoted = "strict: severe scheme-quality issue(s) promoted status PASS \u2192 WARN";
  const Texts mild{"shell b=1000: 20 directions, below the recommended 30 for a robust DTI fit",
                   "shell b=1000: DTI design-matrix condition number 12.3 is elevated"};
  struct Case {
    const char* rule;
    ShellAngular shell;
    Status before;
    bool strict;
    Texts notes;
    Status after;
  };
  const Case cases[] = {
      {"clean", shell_angular(1000, 64, 3.0), Status::Pass, true, {}, Status::Pass},
      {"mild findings stay PASS", shell_angular(1000, 20, 12.3), Status::Pass, true, mild, Status::Pass},
      {"severe without strict", shell_angular(2000, 5, std::nullopt), Status::Pass, false, {too_few}, Status::Pass},
      {"severe with strict", shell_angular(2000, 5, std::nullopt), Status::Pass, true, {too_few, promoted}, Status::Warn},
      {"FLAG is never lowered", shell_angular(2000, 5, std::nullopt), Status::Flag, true, {too_few}, Status::Flag},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    Report r = report_with({c.shell});
    r.status = c.before;
    r = scheme_qc::apply(std::move(r), c.strict);
    EXPECT_EQ(r.notes, c.notes);
    EXPECT_EQ(r.status, c.after);
  }
}

TEST(SchemeQc, FindingsOrderAndTexts) {
  // Condition-number boundaries, duplicate counts, rank deficiency.
  auto dups = shell_angular(1000, 64, 10.0);
  dups.duplicates = {{1, 2, 1.0, true}, {3, 4, 2.0, false}, {5, 6, 0.5, false}};
  Report mixed = scheme_qc::apply(
      report_with({shell_angular(500, 40, 50.0), dups, shell_angular(3000, 64, std::nullopt)}), false);
  EXPECT_EQ(mixed.notes,
            (Texts{"shell b=500: DTI design-matrix condition number 50.0 is very high (ill-conditioned scheme)",
                   "shell b=1000: DTI design-matrix condition number 10.0 is elevated",
                   "shell b=1000: 1 antipodal + 2 near-duplicate direction pair(s) within 5.0\u00b0",
                   "shell b=3000: DTI design matrix is rank-deficient (degenerate gradient directions)"}));

  Report extra = Report::make({});
  extra.shells = ShellSummary{{}, {}, {3, 7}, 50, 0.05};
  extra.b0_drift = B0Drift{{}, {}, 0, 0.1};
  EXPECT_EQ(scheme_qc::apply(extra, false).notes,
            (Texts{"2 volume(s) have non-integer b-values (ramp sampling or rounding)",
                   "b0 signal drift is large (10.0% peak-to-peak) \u2014 check scanner stability"}));
  extra.shells.reset();
  extra.b0_drift = b0_drift({0, 10, 20}, {100, 105, 110});
  EXPECT_EQ(scheme_qc::apply(extra, false).notes, (Texts{"b0 signal drift is 9.5% peak-to-peak"}));
  extra.b0_drift->relative_drift = std::nextafter(0.05, 0.0);
  EXPECT_TRUE(scheme_qc::apply(extra, true).notes.empty());
}

TEST(SchemeQc, AmplitudeGate) {
  auto with_norms = [](double fraction, Status status) {
    Report r = report_with({shell_angular(1000, 5, std::nullopt)});
    r.status = status;
    r.norm_stats = NormStats{100, static_cast<std::uint64_t>(fraction * 100), fraction, 0.5, 1.0, 0.7512, 0.05};
    return r;
  };
  EXPECT_EQ(scheme_qc::apply(with_norms(0.5, Status::Pass), false).notes.size(), 1u);

  const std::string message =
      "51% of non-b0 directions are not unit-length (norm 0.500\u20131.000, mean 0.751; tol 5%) \u2014 likely "
      "amplitude-encoded bvecs: the b-values cannot be trusted and tarvix will not auto-correct them; recover "
      "explicitly with `tarvix recompute-bval`.";
  Report lax = scheme_qc::apply(with_norms(0.51, Status::Pass), false);
  EXPECT_EQ(lax.notes.back(), message);  // after the finding, never among them
  EXPECT_EQ(lax.status, Status::Warn);
  EXPECT_EQ(scheme_qc::apply(with_norms(0.51, Status::Flag), false).status, Status::Flag);
  // (The refusal under --strict: test_cli.py.)

  Report none = Report::make({});
  none.norm_stats = NormStats{0, 0, 1.0, 0, 0, 0, 0.05};  // no weighted volumes: nothing to judge
  EXPECT_TRUE(scheme_qc::apply(none, true).notes.empty());
}

// The layout of a whole report is pinned by py/tests/contract; here what no
// stored report holds: a NaN b-value, a shell without a condition number and a
// repair section.
TEST(ReportJson, NullsAndTheRepairSection) {
  GradientTable t = test_support::sphere_scheme(30);
  t.bvals[1] = std::nan("");
  Report r = inspect_pipeline(t, {}, AnalysisOptions{});
  EXPECT_NE(r.to_json_text().find(R"("bvals":[0.0,null,1000.0,)"), std::string::npos);
  EXPECT_EQ(json::dump(shell_angular(1000, 5, std::nullopt).to_json()),
            R"({"nominal_b":1000.0,"count":5,"electrostatic_energy":0.0,"condition_number":null,)"
            R"("meets_dti_minimum":false,"meets_dti_recommended":false,"meets_csd_minimum":false,"duplicates":[]})");

  // A repair section sits between the (absent) flip and norm_stats sections.
  r.repair = RepairInfo{identity3(), "+x+y+z", {"out.bvec", "out.bval"}};
  r.shells.reset();
  EXPECT_EQ(keys_of(r.to_json()), (Texts{"schema_version", "tool", "tool_version", "timestamp", "status", "inputs",
                                         "scheme", "angular", "repair", "norm_stats", "notes"}));
  EXPECT_EQ(json::dump(r.repair->to_json()),
            R"({"matrix":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],"label":"+x+y+z","outputs":["out.bvec","out.bval"]})");
}

TEST(ReportJson, TimestampForms) {
  using namespace std::chrono;
  const sys_days day = year{2024} / 2 / 29;
  EXPECT_EQ(rfc3339_at(day + hours(13) + minutes(5) + seconds(9)), "2024-02-29T13:05:09Z");
  EXPECT_EQ(rfc3339_at(day + seconds(3) + milliseconds(500)), "2024-02-29T00:00:03.5Z");
  EXPECT_EQ(rfc3339_at(day + nanoseconds(1)), "2024-02-29T00:00:00.000000001Z");
  const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{0,8}[1-9])?Z)");
  EXPECT_TRUE(std::regex_match(Report::make({}).timestamp, form));
}

// (That audit without an image is inspect, the volume and mask checks and the
// amplitude gate with and without --strict: test_module.py, test_cli.py.)
TEST(Pipelines, RequestedShellAndLowMaskNote) {
  // Requested shell: nearest nominal b, the earlier one on a tie, any distance allowed.
  const std::vector<double> b{0, 1000, 1000, 3000, 3000};
  EXPECT_EQ(pick_shell(b, 50, 0.05, 2900).nominal_b, 3000);
  EXPECT_EQ(pick_shell(b, 50, 0.05, 2000).nominal_b, 1000);
  EXPECT_EQ(pick_shell(b, 50, 0.05, 1e9).indices, (Idx{3, 4}));
  EXPECT_EQ(error_text([] { pick_shell({0, 10}, 50, 0.05, 1000); }), "no usable non-b0 shell for flip detection");

  Report r = Report::make({});
  note_low_mask_fa(r);
  for (double fa : {0.0, 0.3, 0.25}) {
    r.flip = FlipResult{.mask_mean_fa = fa};
    note_low_mask_fa(r);
  }
  EXPECT_EQ(r.notes, (Texts{"coherence mask mean FA 0.25 is low (looks whole-brain) \u2014 flip-detection "
                            "sensitivity is reduced; supply a WM mask (FA-thresholded) for a wider margin"}));
}

// Tables that parse but cannot be an acquisition in s/mm²: a table (b-values,
// with the volumes given a zero direction) and a fragment of each note.
TEST(ImplausibleTable, UnitsZerosAndMissingDirections) {
  const struct {
    std::vector<double> bvals;
    std::vector<std::size_t> zero;  // besides every b=0 volume
    Texts notes;
  } cases[] = {
      {{0, 50, 1000, 2000}, {1}, {}},  // b=50 is b=0 here, with or without a direction
      {{0, 1, 2, 3}, {}, {"every b-value is at most 3, as if in ms/\u00b5m\u00b2 rather than s/mm\u00b2 (1000 "
                          "times smaller), though 3 volumes have a direction; every volume is counted as b=0"}},
      {{0, 10}, {}, {"at most 10, as if in ms/"}},
      {{0, 0}, {}, {"the table is all zeros: every b-value and every direction is 0"}},
      {{0, 1e5, 1e9, 3e9}, {}, {"2 b-values, up to 3000000000, are beyond any scanner in s/mm\u00b2, as if written in "
                                "s/m\u00b2"}},
      {{0, 1000, 1000, 1000, 2000}, {1, 4}, {"volumes 1, 4 (numbered from 0) are diffusion-weighted but have a zero "
                                              "direction"}},
      {std::vector<double>(12, 1000), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {"volumes 0, 1, 2, 3, 4, 5, 6, 7 and 4 more"}},
      {{0, NAN, 1000}, {}, {}},
  };
  for (const auto& c : cases) {
    GradientTable t = test_support::sphere_scheme(static_cast<int>(c.bvals.size()), 0);
    t.bvals = c.bvals;
    for (std::size_t i = 0; i < t.size(); ++i)
      if (t.bvals[i] == 0 || std::find(c.zero.begin(), c.zero.end(), i) != c.zero.end()) t.directions[i] = {-0.0, 0, 0};
    const Texts notes = implausible_table_notes(t, 50);
    ASSERT_EQ(notes.size(), c.notes.size()) << c.bvals[1] << (notes.empty() ? "" : notes[0]);
    for (std::size_t k = 0; k < notes.size(); ++k) EXPECT_NE(notes[k].find(c.notes[k]), std::string::npos) << notes[k];
  }
}
