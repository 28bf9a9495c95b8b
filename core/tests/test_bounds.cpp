// Bounded reads, discovery that goes on past what it cannot use, and the
// angular analysis of shells far larger than any scanner's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "angular.hpp"
#include "bids_batch.hpp"
#include "fileio.hpp"
#include "gzip_for_tests.hpp"
#include "io/bids.hpp"
#include "io/image_reader.hpp"
#include "io/input_file.hpp"
#include "nifti_for_tests.hpp"
#include "options.hpp"
#include "phantom_for_tests.hpp"
#include "report.hpp"
#include "scheme_qc.hpp"

using namespace tarvix;
namespace fs = std::filesystem;
using tarvix::test_support::error_text;
using tarvix::test_support::put;
using TempDir = tarvix::test_support::ScratchDir;

namespace {

// A read that waits on a FIFO would hang the suite; the alarm ends the test
// process instead, which ctest reports as a failure.
struct Watchdog {
  Watchdog() { ::alarm(20); }
  ~Watchdog() { ::alarm(0); }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A file of `bytes` bytes that takes no disk space.
void sparse(const std::string& path, std::uint64_t bytes) {
  put(path, "");
  fs::resize_file(path, bytes);
}

// Runs `f` in a child process without root's rights (so that a folder with
// mode 000 is unreadable whoever runs the tests) and returns what it wrote.
std::string as_unprivileged(const std::function<std::string()>& f) {
  int fds[2];
  if (::pipe(fds) != 0) return "<pipe failed>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    std::string out;
    try {
      out = f();
    } catch (const std::exception& e) {
      out = std::string("<threw> ") + e.what();
    }
    if (::write(fds[1], out.data(), out.size()) < 0) ::_exit(4);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

}  // namespace

// Every reader refuses what is not a regular file at once, naming it, and a
// table or sidecar file above the cap before reading it.
TEST(BoundedReads, SpecialAndOversizedFilesAreRefusedNamingThem) {
  Watchdog watchdog;
  TempDir dir;
  const std::string fifo = dir / "fifo.bvec";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string big = dir / "big.bval";
  sparse(big, kTableFileLimit + 1);
  const std::string sidecar = dir / "huge.json";
  sparse(sidecar, kTableFileLimit + 1);
  fs::create_directories(dir / "folder");
  const std::string image_fifo = dir / "sub-01_dwi.nii.gz";
  ASSERT_EQ(::mkfifo(image_fifo.c_str(), 0644), 0);

  struct Case {
    const char* what;
    std::function<void()> read;
    std::vector<std::string> expected;  // parts of the message
  };
  const std::vector<Case> cases = {
      {"FIFO table", [&] { read_text_file(fifo); }, {"I/O error: ", fifo, "is a FIFO"}},
      {"zero device", [&] { read_text_file("/dev/zero"); }, {"/dev/zero is a character device"}},
      {"oversized table", [&] { read_text_file(big); }, {big, "32 MiB"}},
      {"oversized sidecar", [&] { bids::read_sidecar(sidecar); }, {sidecar, "32 MiB"}},
      {"FIFO digest", [&] { InputFile::of(fifo); }, {fifo, "is a FIFO"}},
      {"directory keeps the system's text", [&] { read_text_file(dir / "folder"); },
       {"I/O error: Is a directory (os error 21)"}},
      {"FIFO image", [&] { read_volume_with_info(image_fifo); }, {"NIfTI error: cannot open", image_fifo, "a FIFO"}},
      {"device image", [&] { read_volume_with_info("/dev/zero"); }, {"/dev/zero", "a character device"}},
  };
  for (const Case& c : cases) {
    const std::string text = error_text(c.read);
    for (const std::string& part : c.expected) EXPECT_TRUE(contains(text, part)) << c.what << ": " << text;
  }
  // Below the cap a table is read as before.
  put(dir / "ok.bval", "0 1000\n");
  EXPECT_EQ(read_text_file(dir / "ok.bval"), "0 1000\n");
}

TEST(BoundedReads, CompressionThatDoesNotMatchTheName) {
  const std::string nii = nii_bytes(make_header({2, 2, 2}, DT_INT16, 16), std::string(16, '\0'));
  struct Case {
    const char* name;
    std::string bytes;
    const char* expected;  // empty: read fine
  };
  const std::vector<Case> cases = {
      {"gz_named_plain.nii", gzip(nii), "is gzip-compressed, but its name does not end in .gz"},
      {"plain_named_gz.nii.gz", nii, "is not gzip-compressed, although its name ends in .gz"},
      {"right.nii.gz", gzip(nii), ""},
      {"right.nii", nii, ""},
  };
  for (const Case& c : cases) {
    write_bytes(temp_path(c.name), c.bytes);
    const std::string text = error_text([&] { read_volume_with_info(temp_path(c.name)); });
    if (*c.expected == '\0') {
      EXPECT_EQ(text, "<no error>") << c.name;
    } else {
      EXPECT_TRUE(contains(text, c.expected) && contains(text, c.name)) << c.name << ": " << text;
    }
  }
}

TEST(BoundedReads, StreamedDigestEqualsTheWholeFileDigest) {
  TempDir dir;
  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  put(dir / "mask.nii", bytes);
  const InputFile streamed = InputFile::of(dir / "mask.nii");
  const InputFile whole = InputFile::of_contents(dir / "mask.nii", bytes);
  EXPECT_EQ(streamed.sha256, whole.sha256);
  EXPECT_EQ(streamed.bytes, bytes.size());
}

// Special files are left out with a note; a folder that cannot be listed is
// collected, and the batch fails naming it, fails as the module always did, or
// goes on without it.
TEST(BoundedDiscovery, SpecialFilesAndUnreadableFolders) {
  Watchdog watchdog;
  TempDir root;
  ::chmod(root.path().c_str(), 0777);  // the unprivileged child creates the output folders
  auto run = [&](const std::string& base) {
    put(base + ".nii.gz");
    put(base + ".bvec", "0\n0\n0\n");
    put(base + ".bval", "0\n");
  };
  run(root / "sub-01/dwi/sub-01_dwi");
  put(root / "sub-01/dwi/sub-01_acq-fifo_dwi.bvec");
  put(root / "sub-01/dwi/sub-01_acq-fifo_dwi.bval");
  ASSERT_EQ(::mkfifo((root / "sub-01/dwi/sub-01_acq-fifo_dwi.nii.gz").c_str(), 0644), 0);
  put(root / "sub-01/dwi/sub-01_acq-pipe_dwi.nii.gz");
  put(root / "sub-01/dwi/sub-01_acq-pipe_dwi.bval");
  ASSERT_EQ(::mkfifo((root / "sub-01/dwi/sub-01_acq-pipe_dwi.bvec").c_str(), 0644), 0);
  run(root / "sub-02/dwi/sub-02_dwi");
  run(root / "sub-03/dwi/sub-03_dwi");
  fs::permissions(root / "sub-02", fs::perms::none);
  const std::string locked = root / "sub-02";

  const std::string found = as_unprivileged([&] {
    const bids::Discovery d = bids::discover_runs(root.path());
    std::string out;
    for (const auto& e : d.entries) out += "run " + root.rel(e.dwi) + "\n";
    for (const auto& s : d.skipped) out += "skip " + s + "\n";
    for (const auto& u : d.unreadable) out += "unreadable " + u.text() + "\n";
    return out;
  });
  EXPECT_EQ(found, "run sub-01/dwi/sub-01_dwi.nii.gz\nrun sub-03/dwi/sub-03_dwi.nii.gz\n"
                   "skip " + (root / "sub-01/dwi/sub-01_acq-fifo_dwi.nii.gz") +
                       " is a FIFO, not a regular file: skipped\n"
                       "skip " + (root / "sub-01/dwi/sub-01_acq-pipe_dwi.nii.gz") +
                       ": its bvec file is a FIFO, not a regular file: skipped\n"
                       "unreadable cannot list the folder " + locked + ": Permission denied (os error 13)\n");

  using bids_batch::UnreadableFolders;
  struct Mode {
    UnreadableFolders mode;
    std::string expected;
  };
  const std::vector<Mode> modes = {
      {UnreadableFolders::Fail, "Failure: Permission denied (os error 13)"},
      {UnreadableFolders::FailNamed, "Failure: cannot list the folder " + locked + ": Permission denied (os error 13)"},
      {UnreadableFolders::Skip, "2 runs; cannot list the folder " + locked + ": Permission denied (os error 13): skipped"},
  };
  for (const Mode& m : modes) {
    const std::string out_dir = root / ("out" + std::to_string(static_cast<int>(m.mode)));
    const std::string got = as_unprivileged([&] {
      std::string text = error_text([&] {
        const auto plan = bids_batch::prepare(root.path(), AnalysisOptions{}, out_dir, {}, m.mode);
        throw Failure(std::to_string(plan.entries.size()) + " runs; " + plan.skipped.at(0));
      });
      return text.substr(text.starts_with("Failure: 2 runs") ? 9 : 0);
    });
    EXPECT_EQ(got, m.expected);
  }
  fs::permissions(root / "sub-02", fs::perms::owner_all);
}

TEST(BoundedDiscovery, EveryRunOfAFolderSharesItsMasks) {
  TempDir root;
  for (int i = 0; i < 300; ++i) {
    const std::string base = root / ("sub-01/dwi/sub-01_run-" + std::to_string(1000 + i) + "_dwi");
    put(base + ".nii");
    put(base + ".bvec");
    put(base + ".bval");
  }
  put(root / "sub-01/dwi/sub-01_desc-brain_mask.nii.gz");
  put(root / "sub-02/dwi/sub-02_dwi.nii");
  put(root / "sub-02/dwi/sub-02_dwi.bvec");
  put(root / "sub-02/dwi/sub-02_dwi.bval");
  const auto entries = bids::discover(root.path());
  ASSERT_EQ(entries.size(), 301u);
  for (std::size_t i = 0; i < 300; ++i)
    ASSERT_EQ(entries[i].masks, std::vector<std::string>{root / "sub-01/dwi/sub-01_desc-brain_mask.nii.gz"});
  EXPECT_TRUE(entries[300].masks.empty());
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
  for (auto& d : out) {
    const double x = g(rng), y = g(rng), z = g(rng);
    const double len = std::sqrt(x * x + y * y + z * z);
    d = {x / len, y / len, z / len};
  }
  return out;
}

}  // namespace

// A shell too large for the one pass gives the documented pairs, in order and
// with the same angles, and the energy up to the order of the sum.
TEST(LargeShells, SameAnswersAsTheDocumentedScan) {
  struct Case {
    const char* what;
    std::function<void(std::vector<Vec3>&)> plant;
  };
  const std::vector<Case> cases = {
      {"random", [](std::vector<Vec3>&) {}},
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
  for (const Case& c : cases) {
    std::vector<Vec3> dirs = random_directions(5000, 7);
    c.plant(dirs);
    GradientTable table;
    table.directions = dirs;
    table.bvals.assign(dirs.size(), 1000.0);
    const ShellAngular got = angular::analyze(table, 50, 0.05, 5.0).shells.at(0);
    std::vector<Vec3> unit = table.normalized(50).directions;
    const Reference want = reference_scan(unit, 5.0);

    const std::size_t listed = std::min<std::size_t>(want.pairs.size(), 10000);
    ASSERT_EQ(got.duplicates.size(), listed) << c.what;
    EXPECT_EQ(got.antipodal_pairs + got.near_duplicate_pairs, want.pairs.size()) << c.what;
    for (std::size_t k = 0; k < listed; ++k) {
      ASSERT_EQ(json::dump(got.duplicates[k].to_json()), json::dump(want.pairs[k].to_json())) << c.what << " pair " << k;
    }
    EXPECT_NEAR(got.electrostatic_energy, want.energy, 1e-10 * want.energy) << c.what;
  }
}

// However many pairs a shell has, the report lists a bounded number, and the
// finding counts them all and says the list was cut.
TEST(LargeShells, DuplicateListIsCappedAndTheFindingSaysSo) {
  GradientTable table;
  table.directions.assign(150, Vec3{0, 0, 1});  // 11 175 identical pairs
  table.directions.push_back({0, 0, -1});       // and 150 antipodal ones
  table.bvals.assign(table.directions.size(), 1000.0);
  Report report;
  report.angular = angular::analyze(table, 50, 0.05, 5.0);
  const ShellAngular& shell = report.angular->shells.at(0);
  EXPECT_EQ(shell.duplicates.size(), 10000u);
  EXPECT_EQ(shell.near_duplicate_pairs, 11175u);
  EXPECT_EQ(shell.antipodal_pairs, 150u);
  const Report checked = scheme_qc::apply(report, false);
  const auto has = [&](const std::string& note) {
    return std::find(checked.notes.begin(), checked.notes.end(), note) != checked.notes.end();
  };
  EXPECT_TRUE(has("shell b=1000: 150 antipodal + 11175 near-duplicate direction pair(s) within 5.0\u00b0"));
  EXPECT_TRUE(has("shell b=1000: only the first 10000 of these 11325 pairs are listed in the report"));
}
