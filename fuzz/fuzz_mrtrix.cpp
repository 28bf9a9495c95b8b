// MRtrix gradient text: the whole-file reader and the row parser on arbitrary
// bytes. A table that reads must have one direction per b-value, and each row
// must parse alone to the same four numbers as in the table.
#include <cstring>
#include <vector>

#include "common.hpp"
#include "io/fsl.hpp"
#include "io/mrtrix.hpp"

namespace fsl = tarvix::io::fsl;
namespace mrtrix = tarvix::io::mrtrix;
using tarvix_fuzz::refusal;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string path = "in.b";

  // The row parser alone, untrimmed and with comments, as a caller might hand it.
  (void)refusal([&] { (void)mrtrix::parse_row(text, path); });

  tarvix::GradientTable table;
  if (!refusal([&] { table = mrtrix::read(text, path); }).empty()) return 0;
  FUZZ_CHECK(table.directions.size() == table.bvals.size());

  std::size_t k = 0;
  tarvix::io::text::for_each_line(text, [&](std::string_view line) {
    line = tarvix::io::text::trim(line);
    if (line.empty() || line.front() == '#') return;
    FUZZ_CHECK(k < table.size());
    const auto row = mrtrix::parse_row(line, path);  // read accepted it, so must this
    for (int i = 0; i < 3; ++i) FUZZ_CHECK(same_bits(row[i], table.directions[k][i]));
    FUZZ_CHECK(same_bits(row[3], table.bvals[k]));
    ++k;
  });
  FUZZ_CHECK(k == table.size());
  return 0;
}
