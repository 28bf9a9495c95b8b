#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "io/bids.hpp"
#include "phantom_for_tests.hpp"
#include "text.hpp"

using namespace tarvix;
namespace fs = std::filesystem;

namespace {

using TempDir = tarvix::test_support::ScratchDir;
using tarvix::test_support::error_text;
using tarvix::test_support::put;

// The three files a run needs, with the gradient files' chosen spellings.
void run_files(const std::string& base, const std::string& ext, const char* bvec = "bvec",
               const char* bval = "bval") {
  put(base + ext);
  put(base + "." + bvec);
  put(base + "." + bval);
}

std::vector<std::string> relative_dwis(const TempDir& root, const std::vector<DwiEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(root.rel(e.dwi));
  return out;
}

BidsSidecar sidecar_of(const TempDir& dir, const std::string& text) {
  const std::string path = dir / "s.json";
  put(path, text);
  return bids::read_sidecar(path);
}

}  // namespace

TEST(BidsDiscovery, RealisticTree) {
  TempDir root;
  // Two sessions of one subject, .nii.gz and .nii, both gradient spellings. (Which gradient
  // files and sidecar a run of each spelling gets, and the output folder left alone:
  // test_dataset_tree in test_bids_batch.py.)
  run_files(root / "sub-01/ses-01/dwi/sub-01_ses-01_dwi", ".nii.gz");
  for (const char* mask : {"sub-01_ses-01_desc-brain_mask.nii.gz", "MASK.nii", "Brain_MASK.NII.GZ", "mask.txt",
                           "._mask.nii"})
    put(root / "sub-01/ses-01/dwi/" + mask);
  fs::create_directories(root / "sub-01/ses-01/dwi/mask.nii");
  run_files(root / "sub-01/ses-02/dwi/sub-01_ses-02_dwi", ".nii", "bvecs", "bvals");
  // bvec wins over bvecs. (Runs sharing a folder's masks: test_bounds.cpp.)
  run_files(root / "sub-02/dwi/sub-02_dwi", ".nii.gz", "bvecs", "bval");
  put(root / "sub-02/dwi/sub-02_dwi.bvec");
  // Byte order would put "sub-02-rescan/..." before "sub-02/..."; path order does not.
  run_files(root / "sub-02-rescan/dwi/sub-02-rescan_dwi", ".nii.gz");
  // A dotted base finds its own gradient files, not those of its first part.
  run_files(root / "sub-06/dwi/sub-06_acq-1.5mm_dwi", ".nii");
  put(root / "sub-06/dwi/sub-06_acq-1.bvec");
  put(root / "sub-06/dwi/sub-06_acq-1.bval");
  // (Names that are no DWI image: NiftiBaseAndPathOrder; a missing table: AppInheritsTables...)
  // Nested derivatives are skipped; "Derivatives" is walked.
  run_files(root / "sub-01/derivatives/sub-08_dwi", ".nii");
  run_files(root / "Derivatives/sub-05/dwi/sub-05_dwi", ".nii.gz");
  // A link back up the tree, a link to a sibling folder and a broken link.
  fs::create_directory_symlink("../..", root / "sub-02/dwi/loop");
  fs::create_directory_symlink("../sub-02-rescan", root / "Derivatives/linked");
  fs::create_symlink("nowhere", root / "sub-02/dwi/broken_dwi.nii.gz");

  const auto entries = bids::discover(root.path());
  ASSERT_EQ(relative_dwis(root, entries),
            (std::vector<std::string>{"Derivatives/sub-05/dwi/sub-05_dwi.nii.gz",
                                      "sub-01/ses-01/dwi/sub-01_ses-01_dwi.nii.gz",
                                      "sub-01/ses-02/dwi/sub-01_ses-02_dwi.nii",
                                      "sub-02/dwi/sub-02_dwi.nii.gz",
                                      "sub-02-rescan/dwi/sub-02-rescan_dwi.nii.gz",
                                      "sub-06/dwi/sub-06_acq-1.5mm_dwi.nii"}));

  std::vector<std::string> masks;
  for (const auto& m : entries[1].masks) masks.push_back(root.rel(m));
  EXPECT_EQ(masks, (std::vector<std::string>{"sub-01/ses-01/dwi/Brain_MASK.NII.GZ", "sub-01/ses-01/dwi/MASK.nii",
                                             "sub-01/ses-01/dwi/sub-01_ses-01_desc-brain_mask.nii.gz"}));
  EXPECT_EQ(root.rel(entries[3].bvec), "sub-02/dwi/sub-02_dwi.bvec");
  EXPECT_EQ(root.rel(entries[5].bvec), "sub-06/dwi/sub-06_acq-1.5mm_dwi.bvec");

  // The walk keeps broken links as files and sees the cycle only once.
  std::vector<std::string> files;
  bids::walk(root.path(), files);
  EXPECT_NE(std::find(files.begin(), files.end(), root / "sub-02/dwi/broken_dwi.nii.gz"), files.end());
  for (const auto& f : files) EXPECT_EQ(f.find("loop/sub-02/dwi/loop"), std::string::npos) << f;
}

// Two links per level to the next level: without listing each directory once,
// six levels reach the one run 2^7 - 1 times.
TEST(BidsDiscovery, EachDirectoryOnceHoweverManyLinksReachIt) {
  TempDir root, outside;
  for (int level = 0; level < 6; ++level) {
    const std::string here = root / ("L" + std::to_string(level));
    const std::string next = level == 5 ? "../dwi" : "../L" + std::to_string(level + 1);
    fs::create_directories(here);
    fs::create_directory_symlink(next, here + "/a");
    fs::create_directory_symlink(next, here + "/b");
  }
  run_files(root / "dwi/sub-01_dwi", ".nii.gz");
  // A folder reached only through links is listed under the first of them.
  run_files(outside / "real/sub-02_dwi", ".nii.gz");
  fs::create_directory_symlink(outside / "real", root / "L0/d");
  fs::create_directory_symlink(outside / "real", root / "L0/c");

  EXPECT_EQ(relative_dwis(root, bids::discover(root.path())),
            (std::vector<std::string>{"L0/c/sub-02_dwi.nii.gz", "dwi/sub-01_dwi.nii.gz"}));
}

// The raw-data scope leaves the dataset's non-raw top folders and every hidden
// folder alone; the whole scope (the module's batch) still takes them.
TEST(BidsDiscovery, RawDataScopeSkipsNonRawFolders) {
  TempDir root;
  for (const char* where : {"sub-01/dwi", "sourcedata/sub-01/dwi", "code/sub-01/dwi", "stimuli/sub-01/dwi",
                            ".git/sub-01/dwi", "sub-01/.cache/dwi", "sub-01/code/dwi"})
    run_files(root / (std::string(where) + "/sub-01_dwi"), ".nii.gz");
  const auto raw = bids::discover_runs(root.path(), bids::Scope::RawData).entries;
  EXPECT_EQ(relative_dwis(root, raw),
            (std::vector<std::string>{"sub-01/code/dwi/sub-01_dwi.nii.gz", "sub-01/dwi/sub-01_dwi.nii.gz"}));
  EXPECT_EQ(bids::discover(root.path()).size(), 7u);
}

// A BIDS App inherits a missing table from the nearest folder up to the root
// holding one named by entities the run carries, and takes names as bytes;
// the module's scope takes only tables beside the image. An image left with
// no table is named, with why, in either scope.
TEST(BidsDiscovery, AppInheritsTablesAndNamesWhatItSkips) {
  TempDir root;
  for (const char* shared : {"dwi.bvec", "dwi.bval", "acq-x_dwi.bvec", "sub-02/ses-1_dwi.bval",
                             "sub-03/acq-x_dwi.bval", "sub-03/run-1_dwi.bval", "sub-03/sub-03_dwi.bvec"})
    put(root / shared);
  put(root / "sub-01/dwi/sub-01_dwi.nii.gz");
  put(root / "sub-01/dwi/sub-01_acq-x_dwi.nii.gz");
  run_files(root / "sub-02/ses-1/dwi/sub-02_ses-1_dwi", ".nii.gz");
  fs::remove(root / "sub-02/ses-1/dwi/sub-02_ses-1_dwi.bval");
  put(root / "sub-02/ses-2/dwi/sub-02_ses-2_dwi.nii.gz");
  put(root / "sub-03/dwi/sub-03_acq-x_run-1_dwi.nii.gz");  // two bval files at one level apply

  const bids::Discovery app = bids::discover_runs(root.path(), bids::Scope::RawData);
  std::vector<std::string> runs;  // each image, bvec and bval, relative to the root
  for (const DwiEntry& e : app.entries)
    runs.push_back(root.rel(e.dwi) + " " + root.rel(e.bvec) + " " + root.rel(e.bval));
  EXPECT_EQ(runs, (std::vector<std::string>{"sub-01/dwi/sub-01_acq-x_dwi.nii.gz acq-x_dwi.bvec dwi.bval",
                                            "sub-01/dwi/sub-01_dwi.nii.gz dwi.bvec dwi.bval",
                                            "sub-02/ses-1/dwi/sub-02_ses-1_dwi.nii.gz "
                                            "sub-02/ses-1/dwi/sub-02_ses-1_dwi.bvec sub-02/ses-1_dwi.bval",
                                            "sub-02/ses-2/dwi/sub-02_ses-2_dwi.nii.gz dwi.bvec dwi.bval"}));
  const auto skipped = [&](const char* image, const std::string& why) {
    return root / image + ": " + why + ": skipped";
  };
  const std::string two = root / "sub-03/acq-x_dwi.bval" + " and " + root / "sub-03/run-1_dwi.bval";
  EXPECT_EQ(app.skipped, (std::vector<std::string>{skipped("sub-03/dwi/sub-03_acq-x_run-1_dwi.nii.gz",
                                                           "its .bval file is ambiguous: " + two + " both apply")}));

  const char* neither = "no .bvec beside it; no .bval beside it";
  const bids::Discovery module = bids::discover_runs(root.path());
  EXPECT_TRUE(module.entries.empty());
  EXPECT_EQ(module.skipped, (std::vector<std::string>{skipped("sub-01/dwi/sub-01_acq-x_dwi.nii.gz", neither),
                                                      skipped("sub-01/dwi/sub-01_dwi.nii.gz", neither),
                                                      skipped("sub-02/ses-1/dwi/sub-02_ses-1_dwi.nii.gz",
                                                              "no .bval beside it"),
                                                      skipped("sub-02/ses-2/dwi/sub-02_ses-2_dwi.nii.gz", neither),
                                                      skipped("sub-03/dwi/sub-03_acq-x_run-1_dwi.nii.gz", neither)}));
  // (A name that is not UTF-8, and nothing to inherit: test_bids_app.py.)
}

// Paths travel to Python inside JSON, where a byte that is not UTF-8 becomes
// the lone surrogate of surrogateescape, and come back so.
TEST(PathsInJson, BytesSurviveTheRoundTrip) {
  EXPECT_EQ(surrogate_escaped_json("{\"p\":\"a\xff\xc3\xa9\xe2\x82\"}"), "{\"p\":\"a\\udcff\xc3\xa9\\udce2\\udc82\"}");
  const std::pair<std::string, std::string> back[] = {
      {R"("a\udcffb")", "a\xff" "b"},
      {"\"a\xff" "b\"", "a\xff" "b"},                  // written raw (ensure_ascii off)
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},      // a surrogate pair is one character
      {R"("\\udcff")", "\\udcff"},                    // an escaped backslash, then text
      {R"("\u00e9")", "\xc3\xa9"},
  };
  for (const auto& [text, bytes] : back)
    EXPECT_EQ(bytes_of_nul_escapes(nlohmann::json::parse(nul_escaped_json(text)).get<std::string>()), bytes) << text;
}

TEST(BidsDiscovery, RootsAndFailures) {
  TempDir root;  // (A root that does not exist: test_refused_and_failed_batches in test_bids_batch.py.)
  put(root / "file");
  EXPECT_TRUE(bids::discover(root / "file").empty());

  // A trailing slash and a leading "./" keep the root as given, joined once.
  run_files(root / "data/sub-01/dwi/sub-01_dwi", ".nii");
  EXPECT_EQ(relative_dwis(root, bids::discover(root / "data/")),
            (std::vector<std::string>{"data/sub-01/dwi/sub-01_dwi.nii"}));

  // A directory below the root that cannot be listed ends discovery.
  if (::geteuid() != 0) {
    fs::create_directories(root / "data/sub-02/dwi");
    ::chmod((root / "data/sub-02").c_str(), 0);
    EXPECT_EQ(error_text([&] { bids::discover(root / "data"); }), "I/O error: Permission denied (os error 13)");
    ::chmod((root / "data/sub-02").c_str(), 0755);
  }
}

TEST(BidsDiscovery, NiftiBaseAndPathOrder) {
  // (Bases of .nii.gz and .nii in folders, a dotted one too: RealisticTree, by the tables they find.)
  EXPECT_EQ(bids::nifti_base("sub-01_dwi.nii"), "sub-01_dwi");
  EXPECT_EQ(bids::nifti_base("d/_dwi.nii"), "d/_dwi");
  for (const char* no : {"d/sub-01_dwi.NII.GZ", "d/sub-01_DWI.nii", "d/._sub-01_dwi.nii", "d/dwi.nii",
                         "d/sub-01_dwi.nii.gz.bak", "d/sub-01_dwi", "d/sub-01_bold.nii.gz", "d/\xff_dwi.nii",
                         "d/sub-01_dwi.nii/"}) {
    EXPECT_FALSE(bids::nifti_base(no)) << no;
  }
  EXPECT_EQ(bids::nifti_base("d/\xff_dwi.nii", /*any_bytes=*/true), "d/\xff_dwi");

  // Each pair in order, never the other way round: components compare as
  // unsigned bytes, not case-folded; "r//a/" and "r/a" are the same path.
  const std::pair<const char*, const char*> ordered[] = {
      {"r/a/b", "r/a-b"}, {"r/a", "r/a/b"}, {"r/B", "r/a"}, {"r/a\x7f", "r/a\xc3\xa9"}};
  for (const auto& [lo, hi] : ordered) EXPECT_TRUE(bids::path_less(lo, hi) && !bids::path_less(hi, lo)) << lo;
  EXPECT_FALSE(bids::path_less("r//a/", "r/a") || bids::path_less("r/a", "r//a/"));
}

TEST(BidsSidecarTest, TypingAndNote) {
  TempDir dir;
  auto note = [&](const std::string& text) { return bids::sidecar_note(sidecar_of(dir, text)); };
  // (All three fields and one ignored: test_dataset_tree in test_bids_batch.py.)
  EXPECT_EQ(note(R"({"TotalReadoutTime": 1, "MultibandAccelerationFactor": 4294967295})"),
            "BIDS sidecar: TRT=1.0000s, MB=4294967295");
  EXPECT_EQ(note(R"({"PhaseEncodingDirection": null, "EchoTime": 0.1, "SliceTiming": [0, 0.5]})"), std::nullopt);
  EXPECT_EQ(note("{}  \n"), std::nullopt);
  // Fields nested in other keys are not the sidecar's fields; other keys may repeat.
  EXPECT_EQ(note(R"({"Meta": {"MultibandAccelerationFactor": 2.5, "x": 1, "x": 2}, "EchoTime": 1, "EchoTime": 2})"),
            std::nullopt);

  // Wrong types and ranges of each field, a field given twice, text after or missing, no object, bad UTF-8.
  for (const char* bad : {R"({"MultibandAccelerationFactor": 2.0})", R"({"MultibandAccelerationFactor": 4294967296})",
                          R"({"PhaseEncodingDirection": ["j-"]})", R"({"TotalReadoutTime": "0.05"})",
                          R"({"TotalReadoutTime": 1e400})", R"({"MultibandAccelerationFactor": 3} x)",
                          R"({"PhaseEncodingDirection": null, "PhaseEncodingDirection": "j"})",
                          R"({"MultibandAccelerationFactor": 3)", "null", "",
                          "{\"PhaseEncodingDirection\": \"j\xff\"}"}) {
    EXPECT_TRUE(error_text([&] { sidecar_of(dir, bad); }).starts_with("JSON error: ")) << bad;
  }
  EXPECT_EQ(error_text([&] { bids::read_sidecar(dir / "missing.json"); }),
            "I/O error: No such file or directory (os error 2)");
}
