// The command line's checked table loader on arbitrary files. The first byte
// picks the form: even, the rest is one MRtrix grad file; odd, the rest is
// "<bval>\0<bvec>" (without a NUL both files hold the same text).
//
// The checked loader only ever refuses more than the plain one: whatever it
// takes, load_table takes too and reads to the same bits. What it takes is
// finite with no negative b-value, and its refusals name the file, stay valid
// UTF-8 and stay short however long the offending line is.
#include <cmath>
#include <cstring>
#include <optional>

#include "common.hpp"
#include "io/table_loader.hpp"
#include "table_checks.hpp"
#include "text.hpp"

using tarvix_fuzz::refusal;
using tarvix_fuzz::ScratchFile;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_table(const tarvix::LoadedTable& a, const tarvix::LoadedTable& b) {
  if (a.table.bvals.size() != b.table.bvals.size() || a.table.directions.size() != b.table.directions.size() ||
      a.world_frame != b.world_frame || a.inputs.size() != b.inputs.size())
    return false;
  for (std::size_t k = 0; k < a.table.bvals.size(); ++k) {
    if (!same_bits(a.table.bvals[k], b.table.bvals[k])) return false;
    for (int i = 0; i < 3; ++i)
      if (!same_bits(a.table.directions[k][i], b.table.directions[k][i])) return false;
  }
  for (std::size_t k = 0; k < a.inputs.size(); ++k)
    if (a.inputs[k].sha256 != b.inputs[k].sha256 || a.inputs[k].bytes != b.inputs[k].bytes) return false;
  return true;
}

// A refusal quotes at most 80 characters of the file, each escaped to at most
// a dozen bytes, besides the path and a fixed sentence or two.
constexpr std::size_t kLongestRefusal = 1500;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile grad_file(".b");
  static ScratchFile bval_file(".bval");
  static ScratchFile bvec_file(".bvec");
  if (size == 0) return 0;
  const bool grad = (data[0] & 1) == 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::optional<std::string> bvec, bval, grad_path;
  if (grad) {
    grad_path = grad_file.write(rest);
  } else {
    const std::size_t nul = rest.find('\0');
    bval = bval_file.write(nul == std::string_view::npos ? rest : rest.substr(0, nul));
    bvec = bvec_file.write(nul == std::string_view::npos ? rest : rest.substr(nul + 1));
  }

  tarvix::LoadedTable checked, plain;
  const std::string checked_error = refusal([&] { checked = tarvix::load_table_checked(bvec, bval, grad_path); });
  const std::string plain_error = refusal([&] { plain = tarvix::load_table(bvec, bval, grad_path); });

  if (!checked_error.empty()) {
    FUZZ_CHECK(tarvix::is_valid_utf8(checked_error));
    FUZZ_CHECK(checked_error.size() <= kLongestRefusal + (grad ? grad_path->size() : bvec->size()));
    return 0;
  }
  FUZZ_CHECK(plain_error.empty());
  FUZZ_CHECK(same_table(checked, plain));
  FUZZ_CHECK(checked.world_frame == grad);
  const auto& t = checked.table;
  FUZZ_CHECK(t.directions.size() == t.bvals.size());
  for (std::size_t k = 0; k < t.size(); ++k) {
    FUZZ_CHECK(std::isfinite(t.bvals[k]) && t.bvals[k] >= 0);
    for (int i = 0; i < 3; ++i) FUZZ_CHECK(std::isfinite(t.directions[k][i]));
  }
  // What the audit runs next on a table it was handed.
  for (const auto& note : tarvix::implausible_table_notes(t, 50.0)) FUZZ_CHECK(!note.empty());
  return 0;
}
