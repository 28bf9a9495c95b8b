// BIDS sidecar reading on arbitrary bytes. A sidecar that reads must be one
// JSON object whose three fields, where present, have the types and values
// the record holds; the note built from it must be well formed.
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "common.hpp"
#include "io/bids.hpp"
#include "text.hpp"

using tarvix_fuzz::refusal;
using tarvix_fuzz::ScratchFile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile file(".json");
  tarvix::BidsSidecar sidecar;
  if (!refusal([&] { sidecar = tarvix::bids::read_sidecar(file.write(data, size)); }).empty()) return 0;

  // The whole input is one JSON object (the reader's strict parse succeeded).
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  FUZZ_CHECK(!doc.is_discarded());
  FUZZ_CHECK(doc.is_object());

  const auto field = [&](const char* key) -> const nlohmann::json* {
    const auto it = doc.find(key);
    return it == doc.end() || it->is_null() ? nullptr : &*it;
  };
  const auto* pe = field("PhaseEncodingDirection");
  const auto* trt = field("TotalReadoutTime");
  const auto* mb = field("MultibandAccelerationFactor");
  FUZZ_CHECK(static_cast<bool>(pe) == sidecar.phase_encoding_direction.has_value());
  FUZZ_CHECK(static_cast<bool>(trt) == sidecar.total_readout_time.has_value());
  FUZZ_CHECK(static_cast<bool>(mb) == sidecar.multiband_acceleration_factor.has_value());
  if (pe) FUZZ_CHECK(pe->is_string() && pe->get<std::string>() == *sidecar.phase_encoding_direction);
  if (trt) {
    FUZZ_CHECK(trt->is_number());
    const double a = trt->get<double>(), b = *sidecar.total_readout_time;
    FUZZ_CHECK(a == b || (std::isnan(a) && std::isnan(b)));
  }
  if (mb) {
    // "-0" is a signed zero to the parser, and still a valid factor.
    FUZZ_CHECK(mb->is_number_unsigned() || (mb->is_number_integer() && mb->get<std::int64_t>() == 0));
    FUZZ_CHECK(mb->get<std::uint64_t>() == *sidecar.multiband_acceleration_factor);
  }

  const auto note = tarvix::bids::sidecar_note(sidecar);
  FUZZ_CHECK(note.has_value() == (pe || trt || mb));
  if (note) FUZZ_CHECK(note->rfind("BIDS sidecar: ", 0) == 0);
  return 0;
}
