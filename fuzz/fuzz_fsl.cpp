// FSL bval/bvec text: parse_floats, parse_rows and to_directions on arbitrary
// bytes. The input is "<bval text>\0<bvec text>"; without a NUL both parts are
// the whole input. Besides crashes, the two tokenisers must agree: the rows
// flattened are the floats, and both refuse the same first bad token.
#include <cstring>
#include <vector>

#include "common.hpp"
#include "gradient.hpp"
#include "io/fsl.hpp"

namespace fsl = tarvix::io::fsl;
using tarvix_fuzz::refusal;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = all.find('\0');
  const std::string_view bval_text = nul == std::string_view::npos ? all : all.substr(0, nul);
  const std::string_view bvec_text = nul == std::string_view::npos ? all : all.substr(nul + 1);
  const std::string bval_path = "in.bval", bvec_path = "in.bvec";

  std::vector<double> bvals;
  const std::string floats_error = refusal([&] { bvals = fsl::parse_floats(bval_text, bval_path); });

  // parse_rows on the same text: identical numbers, or the identical refusal.
  std::vector<std::vector<double>> same_rows;
  const std::string rows_error = refusal([&] { same_rows = fsl::parse_rows(bval_text, bval_path); });
  FUZZ_CHECK(floats_error == rows_error);
  if (floats_error.empty()) {
    std::size_t k = 0;
    for (const auto& row : same_rows) {
      FUZZ_CHECK(!row.empty());
      for (double v : row) {
        FUZZ_CHECK(k < bvals.size());
        FUZZ_CHECK(same_bits(v, bvals[k]));
        ++k;
      }
    }
    FUZZ_CHECK(k == bvals.size());
  }

  std::vector<std::vector<double>> rows;
  if (!refusal([&] { rows = fsl::parse_rows(bvec_text, bvec_path); }).empty()) return 0;
  for (const auto& row : rows) FUZZ_CHECK(!row.empty());

  // Every plausible count, so both layouts and the shape error are reached
  // whatever the bval part held.
  std::vector<std::size_t> counts = {bvals.size(), rows.size(), 3};
  if (!rows.empty()) counts.push_back(rows[0].size());
  for (std::size_t n : counts) {
    std::vector<tarvix::Vec3> dirs;
    if (!refusal([&] { dirs = fsl::to_directions(rows, n, bvec_path); }).empty()) continue;
    FUZZ_CHECK(dirs.size() == n);
    if (n == bvals.size()) {
      const auto table = tarvix::GradientTable::make(std::move(dirs), bvals);
      FUZZ_CHECK(table.size() == n);
    }
  }
  return 0;
}
