// Comparing the tables of a dataset's runs: which run gets a note, in which
// frame, and what its verdict makes of it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "cross_run.hpp"
#include "nifti_for_tests.hpp"
#include "phantom_for_tests.hpp"

using namespace tarvix;
using cross_run::Run;

namespace {

// One shell of directions no axis swap or negation maps onto itself row by row.
GradientTable scheme(const Mat3& m = identity3()) {
  GradientTable t;
  for (int i = 0; i < 32; ++i) {
    const double z = 1.0 - 2.0 * (i + 0.5) / 32, r = std::sqrt(1 - z * z), phi = i * 2.399963;
    t.directions.push_back(i % 16 == 0 ? Vec3{} : mul(m, Vec3{r * std::cos(phi), r * std::sin(phi), z}));
    t.bvals.push_back(i % 16 == 0 ? 5.0 : 1000.0 + i % 3);
  }
  return t;
}

Mat3 turned(double deg) { return test_support::rotation(deg, 0, 0); }  // about x: a slice angulation

Mat4 affine(const Mat3& axes) {  // 2 mm voxels along these scanner directions
  return test_support::info_with(mul(axes, Mat3{{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}})).affine;
}

// A table fixed in scanner coordinates, written as the bvec of an image with these axes.
GradientTable in_scanner(const Mat3& axes, const Mat3& m = identity3()) {
  const Mat3 mirror = det3(axes) > 0 ? Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}} : identity3();
  return scheme(mul(mirror, mul(transpose(axes), m)));
}

const Mat3 kLas = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
const Mat3 kFlipX = kLas;
const Mat3 kSwapXY = {{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}};

cross_run::Run run(const std::string& name, GradientTable t, std::optional<Mat3> axes = kLas, char phase = 'j') {
  return {name, std::move(t), axes ? std::optional(affine(*axes)) : std::nullopt, phase};
}

struct Expected {
  std::size_t run;
  std::string transform, frame;
  std::optional<std::string> correction;
};

}  // namespace

TEST(CrossRun, WhichRunGetsANote) {
  const Mat3 sag = mul(turned(10), mul(kLas, kSwapXY));  // x and y swapped, angulated by 10 degrees
  const struct {
    const char* what;
    std::vector<cross_run::Run> runs;
    std::vector<Expected> notes;
  } cases[] = {
      {"one table of four with x negated, in the image frame",
       {run("sub-01_dwi", scheme()), run("sub-02_dwi", scheme()), run("sub-03_dwi", scheme()),
        run("sub-04_dwi", scheme(kFlipX))},
       {{3, "-x+y+z", "image", "-x+y+z"}}},
      {"the same without image headers", {run("a_dwi", scheme(), {}), run("b_dwi", scheme(kFlipX), {}),
                                          run("c_dwi", scheme(), {})},
       {{1, "-x+y+z", "image", "-x+y+z"}}},
      {"two runs give no common table", {run("a_dwi", scheme()), run("b_dwi", scheme(kFlipX))}, {}},
      {"another phase-encoding axis is another acquisition",
       {run("a_dwi", scheme()), run("b_dwi", scheme()), run("c_dwi", scheme(kFlipX), kLas, 'i')}, {}},
      {"another shell is another group",
       {run("a_dwi", scheme()), run("b_dwi", scheme()), [&] {
          GradientTable t = scheme(kFlipX);
          for (double& b : t.bvals) b *= 2;
          return run("c_dwi", t);
        }()},
       {}},
      {"a table that turned with its (angulated) image's axes",
       {run("a_dwi", scheme()), run("b_dwi", scheme()), run("c_dwi", in_scanner(sag, mul(turned(10), kLas)), sag)},
       {}},
      {"tables fixed in the scanner, one with x and y swapped there (oblique: no correction)",
       {run("a_dwi", in_scanner(turned(5)), turned(5)), run("b_dwi", in_scanner(turned(12)), turned(12)),
        run("c_dwi", in_scanner(turned(20), kSwapXY), turned(20))},
       {{2, "+y+x+z", "scanner", std::nullopt}}},
  };
  for (const auto& c : cases) {
    const auto notes = cross_run::compare(c.runs, 50, 0.05);
    ASSERT_EQ(notes.size(), c.notes.size()) << c.what;
    for (const Expected& e : c.notes) {
      ASSERT_TRUE(notes.contains(e.run)) << c.what;
      const cross_run::Note& n = notes.at(e.run);
      EXPECT_EQ(n.transform, e.transform) << c.what;
      EXPECT_EQ(n.frame, e.frame) << c.what;
      EXPECT_EQ(n.correction, e.correction) << c.what;
      EXPECT_EQ(n.reference.size() + 1, c.runs.size()) << c.what;
    }
  }
}

TEST(CrossRun, NoteTexts) {
  const std::vector<cross_run::Run> runs = {run("sub-01_dwi", scheme()), run("sub-02_dwi", scheme()),
                                 run("sub-03_dwi", scheme(kSwapXY)),
                                 run("sub-04_dwi", scheme({{{0, 1, 0}, {0, 0, 1}, {-1, 0, 0}}}))};
  const auto notes = cross_run::compare(runs, 50, 0.05);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes.at(2).note,
            "sub-03's table is the others' with x and y swapped (in the image frame, against 2 runs sharing one table)");
  EXPECT_EQ(notes.at(3).note, "sub-04's table is the others' with its axes read as +y+z-x (in the image frame, "
                              "against 2 runs sharing one table)");
  // The b=0 volumes (no direction) are compared once the threshold is below them: nothing matches.
  EXPECT_TRUE(cross_run::compare(runs, 1, 0.05).empty());
  const std::string note = "n";
  const struct {
    Status status;
    std::optional<std::string> recommended;
    std::string says;
  } verdicts[] = {
      {Status::Flag, "+x-y-z", "n; the run's own verdict (FLAG, +x-y-z) agrees"},  // the same fix, negated
      {Status::Flag, "+y+x+z", "n; the run's own verdict recommends +y+x+z, which decides"},
      {Status::Flag, std::nullopt, "n; the run's own verdict recommends another transform, which decides"},
      {Status::Warn, std::nullopt, "n; this may explain the WARN: the image alone could not decide"},
      {Status::Pass, std::nullopt, "n; the run's own verdict is PASS, which decides"},
  };
  for (const auto& v : verdicts) EXPECT_EQ(cross_run::with_verdict(note, "-x+y+z", v.status, v.recommended), v.says);
}

// Eleven correct series of one volunteer (axial and sagittal, angulated or
// not, phase encoding P>A and A>P) and a copy of the P>A one with x negated:
// only the A>P series (z negated, a correct table) and the copy get a note.
TEST(CrossRun, RealTables) {
  namespace fs = std::filesystem;
  const char* env = std::getenv("TARVIX_REAL_DATA");
  const fs::path real = env ? fs::path(env) : fs::path(__FILE__).parent_path() / "../../../shared/data/real-canon";
  if (!fs::is_directory(real)) GTEST_SKIP() << "the real scans are not here";
  std::vector<fs::path> images;
  for (const auto& f : fs::directory_iterator(real))
    if (f.path().string().ends_with(".nii.gz")) images.push_back(f.path());
  std::sort(images.begin(), images.end());
  std::vector<cross_run::Run> runs;
  for (const fs::path& image : images) {
    const std::string base = image.string().substr(0, image.string().size() - 7);
    const DwiEntry entry{image.string(), base + ".bvec", base + ".bval", {}, base + ".json", base};
    runs.push_back(*cross_run::read_run(entry, image.stem().stem().string() + "_dwi"));
  }
  cross_run::Run flipped = *std::find_if(runs.begin(), runs.end(), [](const auto& r) {
    return r.name == "canon61_3000_ax_PA_dwi";
  });
  flipped.name = "flipped_dwi";
  for (Vec3& g : flipped.table.directions) g[0] = -g[0];
  runs.push_back(flipped);

  std::map<std::string, std::pair<std::string, std::string>> found;
  const auto notes = cross_run::compare(runs, 50, 0.05);
  for (const auto& [i, n] : notes) found[runs[i].name] = {n.transform, n.frame};
  EXPECT_EQ(found, (std::map<std::string, std::pair<std::string, std::string>>{
                       {"canon61_4000_ax_AP_dwi", {"+x+y-z", "image"}}, {"flipped_dwi", {"-x+y+z", "image"}}}));
  EXPECT_EQ(notes.at(runs.size() - 1).correction, "-x+y+z");
}
