#include "table_checks.hpp"

#include <cmath>
#include <cstddef>

#include "format.hpp"

namespace tarvix {
namespace {

// Above this a b-value is beyond any scanner in s/mm² (human systems stop near
// 3e4), but is what s/mm² values look like written in s/m².
constexpr double kLargestPlausibleB = 1e5;
// At or below this every b-value of a real acquisition in s/mm² would be b=0;
// in ms/µm² it spans every shell in use (0 to 10).
constexpr double kLargestMsPerUm2 = 10;
constexpr std::size_t kVolumesNamed = 8;

bool is_zero(const Vec3& d) { return d[0] == 0 && d[1] == 0 && d[2] == 0; }

std::string volume_list(const std::vector<std::size_t>& volumes) {
  std::string out = volumes.size() == 1 ? "volume " : "volumes ";
  for (std::size_t k = 0; k < volumes.size() && k < kVolumesNamed; ++k)
    out += (k ? ", " : "") + std::to_string(volumes[k]);
  if (volumes.size() > kVolumesNamed) out += " and " + std::to_string(volumes.size() - kVolumesNamed) + " more";
  return out;
}

}  // namespace

std::vector<std::string> implausible_table_notes(const GradientTable& table, double b0_threshold) {
  std::vector<std::string> notes;
  const std::size_t n = table.size();
  if (n == 0) return notes;

  double b_max = -INFINITY;
  std::size_t with_direction = 0, too_large = 0;
  std::vector<std::size_t> weighted_without_direction;
  for (std::size_t i = 0; i < n; ++i) {
    const double b = table.bvals[i];
    const bool zero = is_zero(table.directions[i]);
    if (std::isfinite(b)) b_max = std::fmax(b_max, b);
    if (!zero) ++with_direction;
    if (std::isfinite(b) && b > kLargestPlausibleB) ++too_large;
    if (b > b0_threshold && zero) weighted_without_direction.push_back(i);
  }

  if (b_max == 0 && with_direction == 0) {
    notes.emplace_back("the table is all zeros: every b-value and every direction is 0, so it describes no "
                       "diffusion weighting");
    return notes;
  }
  if (b_max <= kLargestMsPerUm2 && with_direction > 0) {
    const std::string count = std::to_string(with_direction) + (with_direction == 1 ? " volume has" : " volumes have");
    notes.push_back(b_max > 0 ? "every b-value is at most " + format_plain(b_max) +
                                    ", as if in ms/\u00b5m\u00b2 rather than s/mm\u00b2 (1000 times smaller), "
                                    "though " + count + " a direction; every volume is counted as b=0"
                              : "every b-value is 0, though " + count + " a direction: the b-values look lost");
  }
  if (too_large > 0)
    notes.push_back((too_large == 1 ? "a b-value of " + format_plain(b_max) + " is"
                                    : std::to_string(too_large) + " b-values, up to " + format_plain(b_max) + ", are") +
                    " beyond any scanner in s/mm\u00b2, as if written in s/m\u00b2 (a million times larger)");
  if (!weighted_without_direction.empty())
    notes.push_back(volume_list(weighted_without_direction) + " (numbered from 0) " +
                    (weighted_without_direction.size() == 1 ? "is" : "are") +
                    " diffusion-weighted but " + (weighted_without_direction.size() == 1 ? "has" : "have") +
                    " a zero direction");
  return notes;
}

}  // namespace tarvix
