// DWI name recognition and path ordering on arbitrary byte strings. The input
// is one path, or "<a>\0<b>" for two paths to order.
#include <string>

#include "common.hpp"
#include "io/bids.hpp"
#include "text.hpp"

namespace bids = tarvix::bids;

namespace {

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void check_base(const std::string& path) {
  const auto base = bids::nifti_base(path);
  if (!base) return;
  // The base is the path with ".nii" or ".nii.gz" cut off, ending in "_dwi",
  // in the same directory.
  FUZZ_CHECK(path == *base + ".nii" || path == *base + ".nii.gz");
  FUZZ_CHECK(ends_with(*base, "_dwi"));
  const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  FUZZ_CHECK(tarvix::is_valid_utf8(name));
  FUZZ_CHECK(name.rfind("._", 0) != 0);

  tarvix::DwiEntry entry;
  entry.base = *base;
  const std::string run = entry.name();
  FUZZ_CHECK(ends_with(run, "_dwi"));
  FUZZ_CHECK(run.find('/') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  check_base(all);
  const std::size_t nul = all.find('\0');
  if (nul == std::string::npos) {
    FUZZ_CHECK(!bids::path_less(all, all));
    return 0;
  }
  const std::string a = all.substr(0, nul), b = all.substr(nul + 1);
  check_base(a);
  check_base(b);
  // Path order is a strict weak order: irreflexive and asymmetric.
  FUZZ_CHECK(!bids::path_less(a, a));
  FUZZ_CHECK(!bids::path_less(b, b));
  FUZZ_CHECK(!(bids::path_less(a, b) && bids::path_less(b, a)));
  return 0;
}
