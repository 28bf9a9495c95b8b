// How a batch names a run from its path, and the run entry a remote worker is
// handed. The input is "<image path>\0<anything>": the path goes through the
// subject and session labels, both naming schemes and the entry's JSON round
// trip; the second part is parsed as a run entry someone else wrote.
#include <string>

#include "bids_batch.hpp"
#include "common.hpp"
#include "io/bids.hpp"
#include "json.hpp"
#include "text.hpp"

namespace bids = tarvix::bids;
namespace batch = tarvix::bids_batch;
using tarvix_fuzz::refusal;

namespace {

// Whether `part` is one whole '/'-separated component of `path`.
bool has_component(const std::string& path, const std::string& part) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (path.compare(start, end - start, part) == 0 && end - start == part.size()) return true;
    start = end + 1;
  }
  return false;
}

void check_names(const std::string& path) {
  if (const auto subject = batch::subject_label(path)) {
    FUZZ_CHECK(!subject->empty());
    FUZZ_CHECK(subject->find('/') == std::string::npos && subject->find('_') == std::string::npos);
    FUZZ_CHECK(has_component(path, "sub-" + *subject));
  }

  const auto base = bids::nifti_base(path);
  if (!base) return;
  tarvix::DwiEntry entry;
  entry.dwi = path;
  entry.base = *base;
  entry.bvec = *base + ".bvec";
  entry.bval = *base + ".bval";
  entry.masks = {*base + "_mask.nii.gz"};

  const std::string file = batch::run_name(entry, batch::Naming::File);
  FUZZ_CHECK(file == entry.name());
  FUZZ_CHECK(file.find('/') == std::string::npos);
  const std::string session = batch::run_name(entry, batch::Naming::Session);
  FUZZ_CHECK(session.find('/') == std::string::npos);
  FUZZ_CHECK(session.size() >= 4 && session.compare(session.size() - 4, 4, "_dwi") == 0);
  // The session name is the file name, or the file name with one
  // "ses-<label>" entity put in: taking it out again gives the file name.
  if (session != file) {
    bool undone = false;
    for (std::size_t at = session.find("ses-"); at != std::string::npos && !undone; at = session.find("ses-", at + 1)) {
      const std::size_t end = session.find('_', at);
      undone = end != std::string::npos && session.substr(0, at) + session.substr(end + 1) == file;
    }
    FUZZ_CHECK(undone);
  }

  // A worker gets the entry as JSON text and must rebuild it exactly. Paths of
  // valid UTF-8 only: a JSON string cannot carry other bytes.
  if (!tarvix::is_valid_utf8(path)) return;
  const std::string text = tarvix::json::dump(batch::entry_json(entry, file + "_2"));
  tarvix::DwiEntry back;
  std::string stem;
  const std::string error = refusal([&] { back = batch::entry_from_json(text, stem); });
  FUZZ_CHECK(error.empty());
  FUZZ_CHECK(stem == file + "_2");
  FUZZ_CHECK(back.dwi == entry.dwi && back.base == entry.base && back.bvec == entry.bvec &&
             back.bval == entry.bval && back.masks == entry.masks && back.sidecar == entry.sidecar);
  FUZZ_CHECK(back.name() == file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = all.find('\0');
  check_names(all.substr(0, nul));
  if (nul == std::string::npos) return 0;
  // A hostile or damaged run entry is refused with the core's Failure, never
  // anything else.
  std::string stem;
  (void)refusal([&] { (void)batch::entry_from_json(all.substr(nul + 1), stem); });
  return 0;
}
