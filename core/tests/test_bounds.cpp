// Bounded reads, discovery that goes on past what it cannot use, and the
// angular analysis of shells far larger than any scanner's.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "angular.hpp"
#include "fileio.hpp"
#include "io/bids.hpp"
#include "io/input_file.hpp"
#include "phantom_for_tests.hpp"
#include "report.hpp"
#include "scheme_qc.hpp"

using namespace tarvix;
namespace fs = std::filesystem;
using tarvix::test_support::error_text;
using tarvix::test_support::put;
using TempDir = tarvix::test_support::ScratchDir;

// What the command-line tests do not reach: a sidecar above the cap, and a mask
// digested in pieces (the same digest as of the whole contents).
TEST(BoundedReads, SidecarCapAndStreamedDigest) {
  TempDir dir;
  const std::string sidecar = dir / "huge.json";
  put(sidecar, "");
  fs::resize_file(sidecar, kTableFileLimit + 1);  // sparse: no disk space taken
  EXPECT_EQ(error_text([&] { bids::read_sidecar(sidecar); }),
            "I/O error: " + sidecar + " holds 33554433 bytes, more than the 32 MiB a gradient table or sidecar file "
            "may hold");

  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  put(dir / "big.nii", bytes);
  EXPECT_EQ(InputFile::of(dir / "big.nii").sha256, InputFile::of_contents(dir / "big.nii", bytes).sha256);
  put(dir / "empty", "");
  EXPECT_EQ(InputFile::of(dir / "empty").sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A FIFO named like a gradient file leaves its run out with a note naming it
// (a FIFO named like a run: test_bounds.py); every run of a folder gets that
// folder's masks and no other's.
TEST(BoundedDiscovery, SpecialFilesAreSkippedAndMasksStayWithTheirFolder) {
  TempDir root;
  for (const char* base : {"sub-01/dwi/sub-01_dwi", "sub-01/dwi/sub-01_run-2_dwi", "sub-02/dwi/sub-02_dwi",
                           "sub-01/dwi/sub-01_acq-pipe_dwi"}) {
    for (const char* ext : {".nii.gz", ".bvec", ".bval"}) put(root / (std::string(base) + ext));
  }
  fs::remove(root / "sub-01/dwi/sub-01_acq-pipe_dwi.bvec");
  ASSERT_EQ(::mkfifo((root / "sub-01/dwi/sub-01_acq-pipe_dwi.bvec").c_str(), 0644), 0);
  put(root / "sub-01/dwi/sub-01_desc-brain_mask.nii.gz");

  const bids::Discovery found = bids::discover_runs(root.path());
  std::vector<std::string> runs;
  for (const auto& e : found.entries) runs.push_back(root.rel(e.dwi) + " masks " + std::to_string(e.masks.size()));
  EXPECT_EQ(runs, (std::vector<std::string>{"sub-01/dwi/sub-01_dwi.nii.gz masks 1",
                                            "sub-01/dwi/sub-01_run-2_dwi.nii.gz masks 1",
                                            "sub-02/dwi/sub-02_dwi.nii.gz masks 0"}));
  EXPECT_EQ(found.skipped, (std::vector<std::string>{root / "sub-01/dwi/sub-01_acq-pipe_dwi.nii.gz: its bvec file is "
                                                             "a FIFO, not a regular file: skipped"}));
  EXPECT_TRUE(found.unreadable.empty());
}

namespace {

struct Reference {
  double energy = 0;
  std::vector<DuplicatePair> pairs;
};

// The pair scan as documented, over unit directions in member order.
Reference reference_scan(const std::vector<Vec3>& u, double angle_deg) {
  Reference r;
  const double c = std::cos(angle_deg * 0.017453292519943295);
  for (std::size_t a = 0; a < u.size(); ++a)
    for (std::size_t b = a + 1; b < u.size(); ++b) {
      const double mx = u[a][0] - u[b][0], my = u[a][1] - u[b][1], mz = u[a][2] - u[b][2];
      const double px = u[a][0] + u[b][0], py = u[a][1] + u[b][1], pz = u[a][2] + u[b][2];
      const double dm = std::sqrt((mx * mx + my * my) + mz * mz);
      const double dp = std::sqrt((px * px + py * py) + pz * pz);
      r.energy += 1.0 / (dm > 1e-9 ? dm : 1e-9) + 1.0 / (dp > 1e-9 ? dp : 1e-9);
      const double dot = u[a][0] * u[b][0] + u[a][1] * u[b][1] + u[a][2] * u[b][2];
      const double s = std::fabs(dot) < 1.0 ? std::fabs(dot) : 1.0;
      if (s > c) r.pairs.push_back({a, b, std::acos(s) * 57.29577951308232, dot < 0});
    }
  return r;
}

std::vector<Vec3> random_directions(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  std::vector<Vec3> out(n);
  for (auto& d : out) d = tarvix::test_support::unit({g(rng), g(rng), g(rng)});
  return out;
}

}  // namespace

// A shell too large for the one pass gives the documented pairs, in order and
// with the same angles, and the energy up to the order of the sum.
TEST(LargeShells, SameAnswersAsTheDocumentedScan) {
  const struct {
    const char* what;
    std::function<void(std::vector<Vec3>&)> plant;
  } cases[] = {
      {"planted twins, opposites, near pairs and zero directions",
       [](std::vector<Vec3>& d) {
         d[10] = d[4000];
         d[11] = {-d[4500][0], -d[4500][1], -d[4500][2]};
         const double t = 4.99 * 0.017453292519943295;
         d[12] = {1, 0, 0};
         d[4300] = {std::cos(t), std::sin(t), 0};
         d[13] = {0, 0, 1};
         d[14] = {0, 0, -1};
         d[20] = {0, 0, 0};
         d[21] = {0, 0, 0};
       }},
      {"a non-finite direction pairs with every other", [](std::vector<Vec3>& d) { d[7] = {NAN, 0, 0}; }},
  };
  for (const auto& c : cases) {
    std::vector<Vec3> dirs = random_directions(5000, 7);
    c.plant(dirs);
    const GradientTable table = GradientTable::make(dirs, std::vector<double>(dirs.size(), 1000.0));
    const ShellAngular got = angular::analyze(table, 50, 0.05, 5.0).shells.at(0);
    const Reference want = reference_scan(table.normalized(50).directions, 5.0);

    const std::size_t listed = std::min<std::size_t>(want.pairs.size(), 10000);
    ASSERT_EQ(got.duplicates.size(), listed) << c.what;
    EXPECT_EQ(got.antipodal_pairs + got.near_duplicate_pairs, want.pairs.size()) << c.what;
    for (std::size_t k = 0; k < listed; ++k) {
      ASSERT_EQ(json::dump(got.duplicates[k].to_json()), json::dump(want.pairs[k].to_json())) << c.what << " pair " << k;
    }
    EXPECT_NEAR(got.electrostatic_energy, want.energy, 1e-10 * want.energy) << c.what;
  }
}

// However many pairs a shell has, the finding counts them all and says the
// list was cut (its length: SameAnswersAsTheDocumentedScan).
TEST(LargeShells, DuplicateListIsCappedAndTheFindingSaysSo) {
  GradientTable table;
  table.directions.assign(150, Vec3{0, 0, 1});  // 11 175 identical pairs
  table.directions.push_back({0, 0, -1});       // and 150 antipodal ones
  table.bvals.assign(table.directions.size(), 1000.0);
  Report report;
  report.angular = angular::analyze(table, 50, 0.05, 5.0);
  const Report checked = scheme_qc::apply(report, false);
  const auto has = [&](const std::string& note) {
    return std::find(checked.notes.begin(), checked.notes.end(), note) != checked.notes.end();
  };
  EXPECT_TRUE(has("shell b=1000: 150 antipodal + 11175 near-duplicate direction pair(s) within 5.0\u00b0"));
  EXPECT_TRUE(has("shell b=1000: only the first 10000 of these 11325 pairs are listed in the report"));
}
