#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "candidate.hpp"
#include "error.hpp"
#include "phantom_for_tests.hpp"
#include "repair.hpp"

using namespace tarvix;
using namespace tarvix::test_support;
namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;
using Strings = std::vector<std::string>;

namespace {

// A scratch directory with the FSL targets of a repair in it, and the MRtrix one if asked.
struct Scene : ScratchDir {
  RepairSpec spec;
  explicit Scene(bool grad = false) {
    spec.out_bvec = at("out.bvec");
    spec.out_bval = at("out.bval");
    if (grad) spec.out_grad = at("out.b");
  }
};

Strings keys_of(const ojson& j) {
  Strings keys;
  for (const auto& [k, v] : j.items()) keys.push_back(k);
  return keys;
}

const GradientTable kTable = GradientTable::make({{0, 0, 0}, {1, 0, 0}, {0, 0.6, 0.8}}, {0, 1000, 1000});

// A flip result whose best candidate is `label`; FLAG carries the recommendation.
Report audit_report(std::optional<Status> decision, const std::string& label = "-x+y+z",
                    const std::optional<Mat3>& matrix = std::nullopt) {
  Report r = Report::make(SchemeTable::of(kTable));
  r.notes.push_back("audit note");
  if (!decision) return r;
  const CandidateScore best{label, matrix ? *matrix : candidate_matrix(label), label == "+x+y+z", 0.5, 10};
  const bool flag = *decision == Status::Flag;
  r.flip = FlipResult{.ranking = {best}, .best = best, .runner_up = best, .relative_margin = 0.0123,
                      .decision = *decision, .recommended_transform = flag ? std::optional(best.matrix) : std::nullopt,
                      .recommended_label = flag ? std::optional(label) : std::nullopt};
  r.status = *decision;
  return r;
}

}  // namespace

TEST(RepairDecision, RecommendedForcedRefusedAndAbsent) {
  const FrameMaps divergent = FrameMaps::resolve(false, info_with({{{-2, 0, 0}, {0, -2, 0}, {0, 0, 2}}}));
  ASSERT_TRUE(divergent.frames_divergent);
  const std::string force_note =
      "repair force-applied on a WARN decision (--force-repair); margin 1.23% is below the 2% auto-repair "
      "threshold \u2014 verify the result.";
  const Mat3 inversion_negzero{{{-1, -0.0, 0}, {0, -1, -0.0}, {-0.0, 0, -1}}};
  struct Case {
    std::optional<Status> decision;
    std::string label;
    std::optional<Mat3> matrix;
    bool force;
    bool applied;
    bool noted;
  };
  const std::vector<Case> cases{
      {std::nullopt, "", {}, true, false, false},          // no flip result
      {Status::Flag, "-x+y+z", {}, true, true, false},     // the recommendation, never a force note
      {Status::Warn, "+y+x+z", {}, false, false, false},   // WARN alone applies nothing
      {Status::Warn, "+y+x+z", {}, true, true, true},      // forced best candidate
      {Status::Warn, "+x+y+z", {}, true, false, false},    // never the identity
      {Status::Warn, "-x-y-z", inversion_negzero, true, false, false},  // nor the inversion
      {Status::Pass, "+y+x+z", {}, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Scene s;
    s.spec.force_repair = c.force;
    s.spec.frames = divergent;
    const RepairOutput out = repair_from_report(kTable, audit_report(c.decision, c.label, c.matrix), {}, s.spec, 0.02);
    ASSERT_EQ(out.report.repair.has_value(), c.applied);
    EXPECT_EQ(out.table.has_value(), c.applied);
    Strings notes{"audit note", kFramesDivergentNote};
    if (c.noted) notes.push_back(force_note);
    EXPECT_EQ(out.report.notes, notes);
    if (!c.applied) {
      EXPECT_TRUE(s.entries().empty());
      continue;
    }
    EXPECT_EQ(out.report.repair->label, c.label);
    EXPECT_EQ(out.report.repair->outputs, (Strings{s.spec.out_bvec, s.spec.out_bval}));
    EXPECT_EQ(out.table->directions[2], mul(candidate_matrix(c.label), kTable.directions[2]));
    EXPECT_EQ(s.entries(), (Strings{"out.bval", "out.bvec"}));
  }
}

// Refusals name the first existing path (bvec, bval, grad) and touch nothing,
// not even the FSL pair when only the grad target exists. (Backups to .bak and
// .bak.1: test_cli_tracking.py.)
TEST(RepairFiles, RefusalsAndDryRun) {
  const Report report = audit_report(Status::Flag);
  Scene s(true);
  s.spec.provenance = s.at("prov.json");
  Strings made;
  for (const std::string& target : {*s.spec.out_grad, s.spec.out_bval, s.spec.out_bvec}) {
    put(target, "old");
    made.push_back(s.rel(target));  // in name order, as entries() lists them
    EXPECT_EQ(error_text([&] { repair_from_report(kTable, report, {}, s.spec, 0.02); }),
              "refusing to overwrite existing file: " + target + " (pass --force to allow)");
    EXPECT_EQ(s.entries(), made);
  }

  // A dry run examines nothing: no refusal, no file, even for a target in a
  // missing directory. (With --force, no move: test_data_loss.py.)
  s.spec.dry_run = true;
  s.spec.out_grad = s.at("missing/out.b");
  const RepairOutput out = repair_from_report(kTable, report, {}, s.spec, 0.02);
  EXPECT_TRUE(out.report.repair && out.report.repair->outputs.empty() && out.table);
  EXPECT_EQ(s.entries(), (Strings{"out.b", "out.bval", "out.bvec"}));
}

TEST(RepairFiles, UnwritableTargetsFailBeforeAnythingMoves) {
  const std::string is_dir = "I/O error: " + os_error_text(EISDIR);
  const std::string no_dir = "I/O error: " + os_error_text(ENOENT);
  struct Case {
    const char* bval;
    const char* grad;
    const char* prov;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"sub", nullptr, nullptr, is_dir},
      {"out.bval", "nowhere/out.b", nullptr, no_dir},
      {"out.bval", "out.b", "sub", is_dir},
      {"out.bval", "out.b", "nowhere/prov.json", no_dir},
      {"out.bval", "out.bvec/out.b", nullptr, "I/O error: " + os_error_text(ENOTDIR)},
  };
  for (const auto& c : cases) {
    Scene s;
    fs::create_directory(s.at("sub"));
    s.spec.in_place = true;
    s.spec.out_bval = s.at(c.bval);
    if (c.grad) s.spec.out_grad = s.at(c.grad);
    if (c.prov) s.spec.provenance = s.at(c.prov);
    put(s.spec.out_bvec, "bvec v1");
    put(s.at("out.b"), "grad v1");
    const Strings before = s.entries();
    EXPECT_EQ(error_text([&] { repair_from_report(kTable, audit_report(Status::Flag), {}, s.spec, 0.02); }),
              c.expected);
    EXPECT_EQ(s.entries(), before);
    EXPECT_EQ(slurp(s.spec.out_bvec), "bvec v1");
  }
  Scene s;  // prepare_output on its own never hides a directory behind a backup name
  EXPECT_EQ(error_text([&] { prepare_output(s.path(), true); }), is_dir);
}

TEST(RepairFormats, FramesGoOnTopOfTheRepairAndZerosHaveNoSign) {
  // A world-frame table on an image turned 0.3 rad about z.
  const double c = std::cos(0.3), sn = std::sin(0.3);
  const FrameMaps maps = FrameMaps::resolve(true, info_with({{{2 * c, -2 * sn, 0}, {2 * sn, 2 * c, 0}, {0, 0, 2}}}));
  // A b=0 row read as "0 -0 -0": its x flip sums three negative zeros.
  const GradientTable table = GradientTable::make({{0, -0.0, -0.0}, {0.6, 0.8, 0}, {0, 0, 1}}, {5, 1000, 1000});
  Report report = audit_report(Status::Flag, "-x-z-y");
  report.scheme = SchemeTable::of(table);
  Scene s(true);
  s.spec.frames = maps;
  const RepairOutput out = repair_from_report(table, report, {}, s.spec, 0.02);

  // R g: (0, 0, 0), (-0.6, 0, -0.8), (0, -1, 0). The FSL frame is the voxel frame turned
  // back by 0.3 rad and mirrored in x (positive determinant); a world table's
  // MRtrix file is R g itself.
  EXPECT_EQ(slurp(s.spec.out_bvec), "0.000000 0.573202 0.295520\n"
                                    "0.000000 0.177312 -0.955336\n"
                                    "0.000000 -0.800000 0.000000\n");
  EXPECT_EQ(slurp(*s.spec.out_grad), "0.000000 0.000000 0.000000 5\n"
                                     "-0.600000 0.000000 -0.800000 1000\n"
                                     "0.000000 -1.000000 0.000000 1000\n");
  // The repaired table stays in the analysis frame, its zeros unsigned.
  EXPECT_EQ(out.table->directions[2], (Vec3{0, -1, 0}));
  for (double v : out.table->directions[0]) EXPECT_FALSE(std::signbit(v));
}

TEST(RepairFormats, ProvenanceRecord) {
  const std::vector<InputFile> inputs{{"in.bvec", std::string(64, 'a'), 12}, {"in.bval", std::string(64, 'b'), 7}};
  Scene s(true);
  s.spec.provenance = s.at("prov.json");
  s.spec.frames = FrameMaps::resolve(true, info_with({{{0, -2, 0}, {2, 0, 0}, {0, 0, 2}}}));
  Report report = audit_report(Status::Flag);
  report.shells = ShellSummary{};
  report.angular = AngularSummary{};
  repair_from_report(kTable, report, inputs, s.spec, 0.02);

  const ojson j = ojson::parse(slurp(*s.spec.provenance));
  EXPECT_EQ(keys_of(j), (Strings{"schema_version", "tool", "tool_version", "timestamp", "inputs", "shells", "angular",
                                 "flip", "applied_transform", "applied_label", "frame", "outputs", "notes"}));
  EXPECT_EQ(j["applied_label"], "-x+y+z");
  EXPECT_EQ(j["outputs"], (ojson{s.spec.out_bvec, s.spec.out_bval, *s.spec.out_grad}));
  EXPECT_TRUE(j["notes"].empty());  // the report's notes stay in the report
  const ojson& f = j["frame"];
  EXPECT_EQ(keys_of(f), (Strings{"input_format", "affine_determinant_sign", "rotation", "fsl_voxel_map",
                                 "world_voxel_map", "frames_divergent", "emitted_fsl", "emitted_mrtrix"}));
  EXPECT_EQ(f["input_format"], "mrtrix");
  // Voxel axis 0 points along world +y: row 0 of the world map, column 0 of the rotation.
  EXPECT_EQ(f["world_voxel_map"][0], (ojson{0.0, 1.0, 0.0}));
  EXPECT_EQ(f["rotation"][1][0], 1.0);
  EXPECT_EQ(f["emitted_mrtrix"], true);

  // Forced on WARN, shells without angular, no frames: the file is replaced by
  // one without applied_*, shells, angular or frame.
  s.spec.out_grad.reset();
  s.spec.frames.reset();
  s.spec.in_place = s.spec.force_repair = true;
  Report warn = audit_report(Status::Warn, "+y+x+z");
  warn.shells = ShellSummary{};
  repair_from_report(kTable, warn, inputs, s.spec, 0.02);
  const ojson k = ojson::parse(slurp(*s.spec.provenance));
  EXPECT_EQ(keys_of(k), (Strings{"schema_version", "tool", "tool_version", "timestamp", "inputs", "flip", "outputs",
                                 "notes"}));
  EXPECT_EQ(k["outputs"].size(), 2u);
}

TEST(Recompute, AmplitudeEncodedTableWithAllOutputs) {
  const GradientTable table =
      GradientTable::make({{0, 0, 0}, {1, 0, 0}, {0, 0.5, 0}, {0, 0, 0.7071}}, {0, 1000, 1000, 1000});
  Scene s;
  OutputPaths spec{s.spec.out_bvec, s.spec.out_bval, s.at("r.b"), s.at("r.json"), false, false};
  const RecomputeOutput out = recompute_bval(table, {{"in.b", std::string(64, 'a'), 3}}, spec, 50.0, 0.05);
  EXPECT_EQ(out.table.bvals, (std::vector<double>{0, 1000, 250, 500}));
  ASSERT_EQ(out.before.size(), 2u);
  EXPECT_EQ(out.before[1].count, 3u);
  EXPECT_EQ(out.after.size(), 4u);
  const std::string summary = json::dump(out.to_json());
  EXPECT_EQ(summary.substr(0, 72), R"({"b_nominal":1000.0,"max_norm":1.0,"b_min":250.0,"b_max":1000.0,"before")");
  EXPECT_LT(summary.find("\"after\""), summary.find("\"outputs\""));
  EXPECT_EQ(slurp(*spec.out_grad), "0.000000 0.000000 0.000000 0\n1.000000 0.000000 0.000000 1000\n"
                                   "0.000000 1.000000 0.000000 250\n0.000000 0.000000 1.000000 500\n");
  const ojson prov = ojson::parse(slurp(*spec.provenance));
  EXPECT_EQ(keys_of(prov), (Strings{"schema_version", "tool", "tool_version", "timestamp", "inputs", "outputs",
                                    "notes"}));
  EXPECT_EQ(prov["outputs"].size(), 3u);
  EXPECT_EQ(prov["notes"], (ojson{"recompute-bval: recovered b-values from amplitude-encoded bvecs (b_nominal=1000, "
                                  "max |g|=1.0000); directions unit-normalized."}));
}

TEST(Recompute, EdgeCases) {
  OutputPaths dry;
  dry.dry_run = true;
  // Unit multi-shell: every weighted volume takes the largest b.
  const GradientTable multi = GradientTable::make({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1000, 2000});
  EXPECT_EQ(recompute_bval(multi, {}, dry, 50.0, 0.05).table.bvals, (std::vector<double>{0, 2000, 2000}));

  // Only b=0 volumes: the shell error, nothing written. (Dry runs and
  // backups go the repair's way: test_data_loss.py.)
  Scene s;
  OutputPaths spec{s.spec.out_bvec, s.spec.out_bval, s.at("r.b"), std::nullopt, false, false};
  const GradientTable b0 = GradientTable::make({{0, 0, 0}, {1, 0, 0}}, {0, 50});
  EXPECT_EQ(error_text([&] { recompute_bval(b0, {}, spec, 50.0, 0.05); }), "no usable non-b0 shell for flip detection");
  EXPECT_TRUE(s.entries().empty());
}

// Recovery reads the longest vector as the largest b: one overlong vector in
// a shell rescales all the others. Each case: the vector lengths of a stored
// b=3000 shell after one b=0 volume, and a fragment of the message ("": none).
// (The refusal and --force on the command line: test_cli_tables.py.)
TEST(Recompute, ShellSplitsAreFound) {
  auto table_of = [](int thirds, std::vector<double> lengths) {
    for (double len : {1.0, 2.0, 3.0})
      for (int k = 0; k < thirds; ++k) lengths.push_back(std::sqrt(len / 3));
    GradientTable t = GradientTable::make({{0, 0, 0}}, {0});
    for (double len : lengths) t.directions.push_back({0, len * 0.6, len * 0.8}), t.bvals.push_back(3000);
    return t;
  };
  const struct {
    GradientTable table;
    std::string fragment;
  } cases[] = {
      // The hostile trial's table: every b became 111/222/333 and one 3000.
      {table_of(10, {3.0}), "split the b=3000 shell: volume 1 (numbered from 0) has a vector 3.0 times as long as any "
                            "other of that shell, so its 30 other volumes would get b=111 to 333; check that vector"},
      {table_of(10, {2.5, 2.0}), "volumes 1, 2 (numbered from 0) have vectors at least 2.0 times"},
      {table_of(10, {1.4}), ""},                // amplitude encoding is what recovery is for
      {table_of(0, {3, 3, 3, 1, 1, 1, 1}), ""},  // a shell of its own, not an outlier
  };
  for (const auto& c : cases) {
    const std::string message = shell_split_message(c.table, c.table.recover_bvals(50).table, 50, 0.05);
    if (c.fragment.empty())
      EXPECT_EQ(message, "");
    else
      EXPECT_NE(message.find(c.fragment), std::string::npos) << message;
  }
}

// No table file may hold NaN or an infinity: both writers refuse before any
// existing output is moved aside.
TEST(RepairFiles, NonFiniteNumbersAreNeverWritten) {
  Scene s(true);
  put(s.spec.out_bvec, "old");
  RepairSpec spec = s.spec;
  spec.in_place = true;
  const GradientTable nan_dir = GradientTable::make({{0, 0, 0}, {NAN, 0, 0}, {0, 1, 0}}, {0, 1000, 1000});
  GradientTable inf_b = kTable;
  inf_b.bvals[2] = INFINITY;
  EXPECT_EQ(error_text([&] { recompute_bval(nan_dir, {}, spec, 50, 0.05); }),
            "Failure: refusing to write a gradient table holding numbers that are not finite (NaN or infinite), in "
            "volume 1 (numbered from 0); nothing was written");
  EXPECT_NE(error_text([&] { repair_from_report(inf_b, audit_report(Status::Flag), {}, spec, 0.1); }).find("in volume 2 "),
            std::string::npos);
  EXPECT_EQ(s.entries(), Strings{"out.bvec"});
}
