// Gradient-table text formats, the table loader, input digests, the
// gradient table's own edge cases and the number and JSON text written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <functional>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "format.hpp"
#include "gradient.hpp"
#include "io/fsl.hpp"
#include "io/mrtrix.hpp"
#include "io/input_file.hpp"
#include "io/table_loader.hpp"
#include "json.hpp"
#include "phantom_for_tests.hpp"

using namespace tarvix;
namespace fsl = tarvix::io::fsl;
namespace mrtrix = tarvix::io::mrtrix;
namespace text = tarvix::io::text;

namespace {

class TableIo : public ::testing::Test {
 protected:
  std::string put(const std::string& name, const std::string& contents) {
    tarvix::test_support::put(dir_.at(name), contents);
    return dir_.at(name);
  }
  std::string path(const std::string& name) const { return dir_.at(name); }

  tarvix::test_support::ScratchDir dir_;
};

const auto error_of = tarvix::test_support::error_text;
using tarvix::test_support::slurp;

}  // namespace

TEST(NumberSyntax, AcceptsDecimalFormsAndWordsOnly) {
  // Compared bit for bit, so a lost sign of zero shows. Out of range is not an
  // error: the value saturates to inf or zero, keeping its sign.
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, double> ok[] = {
      {"1000", 1000}, {"-0.5", -0.5}, {".5", 0.5}, {"5.", 5}, {"+1e3", 1000}, {"2.5E-2", 0.025}, {"1e+2", 100},
      {"-Infinity", -inf}, {"+INF", inf}, {"1e400", inf}, {"-1e99999999999999999999", -inf}, {"1e-400", 0.0},
      {"-1e-400", -0.0}, {"0.000000000001e320", 1e308}, {"0e999999", 0.0},
      {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()}};
  for (const auto& [tok, v] : ok)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(text::parse_number(tok).value_or(NAN)), std::bit_cast<std::uint64_t>(v))
        << tok;
  for (const char* nan : {"NaN", "-nan"}) EXPECT_TRUE(std::isnan(*text::parse_number(nan))) << nan;

  for (const char* bad : {"1,5", "0x10", "1_000", "e5", ".", "#", "+", "-", "", "1e", "1e+", "--1", "+-1", ".e3",
                          "infin", "nan(1)", "1.2.3", "1 ", "\xEF\xBC\x91"})
    EXPECT_FALSE(text::parse_number(bad).has_value()) << bad;
}

TEST(NumberSyntax, InvalidTokensAreQuotedWithEscapes) {
  // The first bad token is named. Non-ASCII text stays as it is; control and
  // invisible format characters (a byte-order mark) are escaped.
  const std::pair<std::string, std::string> cases[] = {
      {"0 1000 x", "x"}, {"1 1,5 0x10", "1,5"}, {std::string("a\0b\x01\x7f", 5), "a\\0b\\u{1}\\u{7f}"},
      {"q\"\\", "q\\\"\\\\"}, {"1\xC2\xB5s", "1\xC2\xB5s"},
      {"\xEF\xBB\xBF" "0 1000", "\\u{feff}0"}, {"1\xE2\x80\x8B" "2", "1\\u{200b}2"}, {"1\x1c" "2", "1\\u{1c}2"},
  };
  for (const auto& [content, quoted] : cases)
    EXPECT_EQ(error_of([&] { fsl::parse_floats(content, "b.bval"); }),
              "failed to parse b.bval: invalid number: \"" + quoted + "\"");
  EXPECT_EQ(error_of([] { fsl::parse_floats("x", "\xFF" "b.bval"); }),
            "failed to parse \xEF\xBF\xBD" "b.bval: invalid number: \"x\"");
}

TEST(FslText, UnicodeWhitespaceLinesAndBlankLines) {
  // NBSP, ideographic space, line separator, NEL, VT, FF and lone CR all separate tokens.
  const auto v = fsl::parse_floats("1\xC2\xA0" "2\xE3\x80\x80" "3\xE2\x80\xA8" "4\xC2\x85" "5\v6\f7\r8\n", "b");
  EXPECT_EQ(v, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(fsl::parse_floats(" \n\t\xE2\x80\x8A", "b").empty());

  const auto clean = fsl::parse_rows("1 0 0\n0 1 0\n0 0 1\n", "v");
  EXPECT_EQ(fsl::parse_rows("\r\n1 0 0  \r\n \xC2\xA0\r\n0\t1 0\r\n\n0 0 1", "v"), clean);
  // Only '\n' ends a line: a line separator inside a line is plain whitespace.
  EXPECT_EQ(fsl::parse_rows("1 0 0\xE2\x80\xA8" "0 1 0\n", "v"), (std::vector<std::vector<double>>{{1, 0, 0, 0, 1, 0}}));
  EXPECT_EQ(text::trim(" \xE3\x80\x80" "a b\xC2\xA0\r"), "a b");
}

TEST(FslText, BvecLayouts) {
  using Rows = std::vector<std::vector<double>>;
  const Rows block{{1, 0, 0}, {0, 1, 0}, {0, 0.5, 1}};
  // A 3x3 block is read as x, y and z rows.
  EXPECT_EQ(fsl::to_directions(block, 3, "v"), (std::vector<Vec3>{{1, 0, 0}, {0, 1, 0.5}, {0, 0, 1}}));
  const Rows per_line{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {1, 1, 1}};
  EXPECT_EQ(fsl::to_directions(per_line, 4, "v")[3], (Vec3{1, 1, 1}));
  EXPECT_TRUE(fsl::to_directions({}, 0, "v").empty());

  const std::string shape = "failed to parse a.bvec: bvec shape does not match the b-value count";
  // Four rows, a ragged row, too few columns, nothing for one b-value.
  const std::pair<Rows, std::size_t> bad[] = {
      {{{1, 2}, {1, 2}, {1, 2}, {1, 2}}, 2}, {{{1, 2}, {1, 2}, {1}}, 2}, {block, 4}, {{}, 1}};
  for (const auto& [rows, n] : bad) EXPECT_EQ(error_of([&] { fsl::to_directions(rows, n, "a.bvec"); }), shape);
}

TEST(MrtrixText, RowsCommentsAndFaults) {
  const auto t = mrtrix::read("# header\n  # indented comment\n\n0 0 0 0\r\n\t1\t0 0 1000 extra #\n", "g.b");
  EXPECT_EQ(t.directions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}}));
  EXPECT_EQ(t.bvals, (std::vector<double>{0, 1000}));
  EXPECT_EQ(mrtrix::read("#only\n\n  \n", "g.b").size(), 0u);

  EXPECT_EQ(error_of([] { mrtrix::read("1 0 0 1000\n1 0 1000\n", "g.b"); }),
            "failed to parse g.b: expected 4 values per row, found 3");
  EXPECT_EQ(error_of([] { mrtrix::parse_row("1 0 0 #", "g.b"); }), "failed to parse g.b: invalid number: \"#\"");
  EXPECT_EQ(error_of([] { mrtrix::parse_row("1 0 0 5 x#y", "g.b"); }), "<no error>");
}

TEST_F(TableIo, WritersAreByteExactAndRoundTrip) {
  GradientTable t = GradientTable::make({{-0.0, 0.5, 1e-9}, {-1e-9, std::nan(""), -INFINITY}}, {1000, 0.0001});
  fsl::write(path("o.bvec"), path("o.bval"), t);
  EXPECT_EQ(slurp(path("o.bvec")), "0.000000 -0.000000\n0.500000 NaN\n0.000000 -inf\n");
  EXPECT_EQ(slurp(path("o.bval")), "1000 0.0001\n");

  const GradientTable odd = GradientTable::make({{1, -0.0, 0}, {0, 0, 1}, {0, 1, 0}}, {3000, -0.0, 1000.5});
  mrtrix::write(path("o.b"), odd);
  EXPECT_EQ(slurp(path("o.b")),
            "1.000000 0.000000 0.000000 3000\n0.000000 0.000000 1.000000 -0\n0.000000 1.000000 0.000000 1000.5\n");

  fsl::write(path("e.bvec"), path("e.bval"), GradientTable{});
  mrtrix::write(path("e.b"), GradientTable{});
  EXPECT_EQ(slurp(path("e.bvec")), "\n\n\n");
  EXPECT_EQ(slurp(path("e.bval")), "\n");
  EXPECT_EQ(slurp(path("e.b")), "");

  const GradientTable src =
      GradientTable::make({{0.123456789, -0.7071067811865476, 1e-7}, {1, 0, 0}}, {995.123456789, 1e21});
  fsl::write(path("r.bvec"), path("r.bval"), src);
  EXPECT_EQ(fsl::read(path("r.bvec"), path("r.bval")).bvals, src.bvals);  // b-values lose no digit
  mrtrix::write(path("r.b"), src);
  EXPECT_EQ(load_table(std::nullopt, std::nullopt, path("r.b")).table.bvals, src.bvals);

  // A failing bvec write leaves the bval file alone.
  ::mkdir(path("dir.bvec").c_str(), 0755);
  EXPECT_EQ(error_of([&] { fsl::write(path("dir.bvec"), path("never.bval"), src); }),
            "I/O error: Is a directory (os error 21)");
  EXPECT_NE(::access(path("never.bval").c_str(), F_OK), 0);
}

TEST_F(TableIo, LoaderOrderAndInputs) {
  // (A missing file, a missing bval: test_cli.py, test_module.py.)
  ::mkdir(path("d").c_str(), 0755);
  EXPECT_EQ(error_of([&] { load_table(path("no.bvec"), path("d"), std::nullopt); }),
            "I/O error: Is a directory (os error 21)");
  const std::string bad_utf8 = put("bad.bval", "0 \xFF 1000");
  EXPECT_EQ(error_of([&] { load_table(path("no.bvec"), bad_utf8, std::nullopt); }).rfind("I/O error: ", 0), 0u);
  // A bval parse fault is reported before the bvec file is even opened.
  const std::string x_bval = put("x.bval", "0 1000 x");
  EXPECT_EQ(error_of([&] { load_table(path("no.bvec"), x_bval, std::nullopt); }),
            "failed to parse " + x_bval + ": invalid number: \"x\"");

  const std::string bval = put("a.bval", "0 1000 1000");
  const std::string short_bvec = put("s.bvec", "1 0\n0 1\n0 0\n");
  EXPECT_EQ(error_of([&] { load_table(short_bvec, bval, std::nullopt); }),
            "failed to parse " + short_bvec + ": bvec shape does not match the b-value count");
  // (The table read and its frame, for either kind of file: every module audit, and the FSL
  // and MRtrix tables in test_flip_end_to_end.py; the inputs recorded, bvec first, with
  // their sizes: the reports in py/tests/contract.)

  // grad wins: the FSL paths are not even looked at.
  const std::string grad = put("a.b", "1 0 0 1000\n");
  EXPECT_EQ(load_table(path("no.bvec"), std::nullopt, grad).inputs.size(), 1u);
}

TEST(GradientTableEdges, ThresholdsToleranceAndRecovery) {
  EXPECT_EQ(error_of([] { GradientTable::make({{1, 0, 0}}, {0, 1000}); }),
            "gradient table mismatch: 1 directions but 2 b-values");

  const double nan = std::nan("");
  // b == threshold is b0; |len - 1| == tolerance is still unit; a NaN b-value is neither.
  const GradientTable t = GradientTable::make({{9, 9, 9}, {1.5, 0, 0}, {0, 0, 0}, {0, 2, 0}}, {50, 1000, 1000, nan});
  EXPECT_EQ(t.b0_indices(50), (std::vector<std::uint64_t>{0}));
  const NormStats s = t.norm_stats(50, 0.5);
  // Weighted and non-unit counts (only the zero vector is off), then the norms' minimum, maximum and mean.
  EXPECT_EQ(std::tuple(s.non_b0_count, s.non_unit_count, s.norm_min, s.norm_max, s.norm_mean),
            std::tuple(std::uint64_t{2}, std::uint64_t{1}, 0.0, 1.5, 0.75));
  const GradientTable n = t.normalized(50);
  EXPECT_EQ(n.directions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, {0, 1, 0}}));

  const NormStats z = GradientTable::make({{1, 0, 0}, {0, 1, 0}}, {0, 50}).norm_stats(50, 0.05);  // all b0
  EXPECT_EQ(std::tuple(z.non_b0_count, z.norm_min), std::tuple(std::uint64_t{0}, 0.0));

  const GradientTable amp =
      GradientTable::make({{1, 0, 0}, {0, 0.5, 0}, {0, 0, 0.75}, {0, 0, 0}, {0, 0.5, 0}}, {1000, 1000, 1000, 0, nan});
  // 1000 * 0.75^2 = 562.5 rounds away from zero; the NaN b-value is recomputed from its length and
  // its direction normalized. (The nominal b and plain recovery: Recompute in test_repair.cpp.)
  const RecoveredTable r = amp.recover_bvals(50);
  EXPECT_EQ(r.table.bvals, (std::vector<double>{1000, 250, 563, 0, 250}));
  EXPECT_EQ(r.table.directions[4], (Vec3{0, 1, 0}));
}

TEST(JsonReal, NotationBoundaries) {
  // (Plain reals such as 1000.0, 0.0, -1.0 and 0.05: every report in py/tests/contract.)
  const std::pair<double, const char*> cases[] = {
      {0.00001, "0.00001"}, {0.000001, "1e-6"}, {1e15, "1000000000000000.0"}, {1e16, "1e+16"},
      {-0.00000123, "-1.23e-6"}, {1.5e-7, "1.5e-7"}, {2.5e100, "2.5e+100"}, {5e-324, "5e-324"}};
  for (const auto& [v, shown] : cases) EXPECT_EQ(format_json_real(v), shown);
}

// The table writers' cases (signed zeros, NaN, -inf, 1000.5, 0.0001) are checked byte for
// byte above, negative components rounded in RepairFormats; the JSON layouts by
// py/tests/contract and the provenance record.
TEST(PlainNumbers, ShortestWithoutExponent) {
  EXPECT_EQ(format_plain(1e20), "100000000000000000000");
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");  // exact tie goes to even
  EXPECT_EQ(format_fixed(2.5, 0), "2");
}

// The command line's reading: each case is the files given (no bval: a grad
// file), which one is blamed and the message after "failed to parse <file>: ".
TEST_F(TableIo, CheckedLoaderNamesFileAndEntry) {
  std::string commas = "\x1b" + std::string(100, ','), accents;
  for (int i = 0; i < 90; ++i) accents += "\xC3\xA9";
  const struct {
    const char *bval, *table;
    bool blames_bval;
    std::string message;
  } cases[] = {
      {"0 1000 nan", "1 0 0\n0 1 0\n0 0 1", true,
       "the b-value of volume 2 is not a finite number: \"nan\" (line 1, number 3)"},
      // Three axis lines: the number is the volume; one line per volume: the line is.
      {"0 1000 1000", "1 0 0\n0 1 -inf\n0 0 1", false,
       "the y component of volume 2 is not a finite number: \"-inf\" (line 2, number 3)"},
      {"0 1000 1000 1000", "0 0 0\n\n1 0 0\n0 1 0\n0 NaN 1\n", false,
       "the y component of volume 3 is not a finite number: \"NaN\" (line 5, number 2)"},
      {"\xEF\xBB\xBF" "0 1000 1000", "", true,
       "the file begins with a byte-order mark (U+FEFF); save it as UTF-8 without one"},
      {"0 1000 1000", "1 0 0\r0 1 0\r0 0 1\r", false,
       "lines end in a carriage return alone (CR, old Mac OS line ends), so its rows would run together; "
       "convert the line ends to LF"},
      {"0 1000 1000\n0 1000 1000\n", "", true,
       "b-values go on one line, or one per line, but this file has 2 lines (3 numbers on line 1, 3 numbers on line 2)"},
      // Quoted input is cut to 80 characters, not bytes, and escaped.
      {commas.c_str(), "", true,
       "invalid number: \"\\u{1b}" + std::string(79, ',') + "\"\u2026 (line 1, number 1); numbers are separated "
       "by spaces or tabs, not commas or semicolons"},
      {accents.c_str(), "", true, "invalid number: \"" + accents.substr(0, 160) + "\"\u2026 (line 1, number 1)"},
      {nullptr, "# header\n0 0 0 0\n1 0 1000\n", false,
       "line 3 holds 3 values, but a gradient file has exactly four per line (x y z b); an FSL pair is given with "
       "--bvec and --bval"},
      {nullptr, "0 0 0 0\n0 0 1 -5\n", false, "the b-value of volume 1 is negative: \"-5\" (line 2, number 4)"},
  };
  int k = 0;
  for (const auto& c : cases) {
    const std::string tag = std::to_string(k++), table = put(tag + ".b", c.table);
    const std::string bval = c.bval ? put(tag + ".bval", c.bval) : "";
    const std::string got = error_of([&] {
      c.bval ? load_table_checked(table, bval, std::nullopt) : load_table_checked(std::nullopt, std::nullopt, table);
    });
    EXPECT_EQ(got, "failed to parse " + (c.blames_bval ? bval : table) + ": " + c.message) << "case " << tag;
  }
  // CR-LF, a trailing lone CR, -0 and grad comments are fine; the module's
  // own loader still reads a NaN.
  const std::string bval = put("c.bval", "0\r\n-0\r\n1000\r\n"), bvec = put("c.bvec", "1 0 0\r\n0 1 0\r\n0 0 1\r");
  EXPECT_EQ(load_table_checked(bvec, bval, std::nullopt).table.directions[2], (Vec3{0, 0, 1}));
  EXPECT_EQ(load_table_checked(std::nullopt, std::nullopt, put("c.b", " # x\n0 0 0 0\n")).table.size(), 1u);
  EXPECT_TRUE(std::isnan(load_table(bvec, put("n.bval", "0 nan 1"), std::nullopt).table.bvals[1]));
}

// The file an error concerns, as the command line names it (by option) and a
// batch run does (by path): the module's own text never changes, and a text
// that names the file already does not name it twice. (A missing --bval: test_cli.py.)
TEST_F(TableIo, ErrorsNameTheFileTheyConcern) {
  const std::string bvec = put("x.bvec", "1 0 0\n0 1 0\n0 0 1\n");
  const auto caught = [](const std::function<void()>& f) -> Error {
    try {
      f();
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return Error::io(0);
  };
  const Error latin1 = caught([&] { load_table_checked(put("l.bvec", "\xe9\n"), put("l.bval", "0\n"), {}); });
  const Error parse = caught([&] { load_table_checked(bvec, put("bad.bval", "0 x\n"), std::nullopt); });
  Error full = Error::io(ENOSPC);
  full.set_concern(Role::OutBval, "o.bval");
  Error piece = Error::parse("x", "b-values go on one line");  // "b" is not the file "b"
  piece.set_concern(Role::Bval, "b");
  Error mismatch = Error::volume_mismatch(3, 4);
  mismatch.set_concern(Role::Dwi, "d.nii", "t.bvec");
  mismatch.set_concern(Role::Mask, "m.nii");  // the innermost step's file stays
  const struct {
    const Error& error;
    std::string by_option, by_path;
  } cases[] = {
      {latin1, ", while reading --bvec " + path("l.bvec"), ", while reading " + path("l.bvec")},
      {parse, "", ""},  // "failed to parse <bval>: ..."
      {full, ", while writing --out-bval o.bval", ", while writing o.bval"},
      {piece, ", while reading --bval b", ", while reading b"},
      {mismatch, ", between the table t.bvec and --dwi d.nii", ""},  // a batch run is named by its image
  };
  for (const auto& c : cases) {
    EXPECT_EQ(located(c.error, Naming::Option), c.error.display() + c.by_option);
    EXPECT_EQ(located(c.error, Naming::Path), c.error.display() + c.by_path);
  }
}

// Three lines of b-values beside a bvec of three: no hint that the two look swapped (which the
// command line gives for a bvec of one row: test_cli.py).
TEST_F(TableIo, NoSwapHintForTwoBvecs) {
  const std::string bvec = put("x.bvec", "1 0 0\n0 1 0\n0 0 1\n");
  EXPECT_EQ(error_of([&] { load_table_checked(bvec, bvec, std::nullopt); }).find("swapped"), std::string::npos);
}
