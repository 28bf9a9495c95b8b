#include "options.hpp"

#include <cmath>

#include "error.hpp"
#include "format.hpp"

namespace tarvix {

bool step_valid(const std::optional<double>& step) { return !step || (std::isfinite(*step) && *step > 0.0); }

void check_step(const std::optional<double>& step) {
  if (!step_valid(step)) throw Failure("step must be finite and greater than 0: " + format_plain(*step));
}

void check_margin_threshold(double threshold) {
  if (!(std::isfinite(threshold) && threshold > 0.0 && threshold <= 1.0)) throw Error::margin_threshold(threshold);
}

}  // namespace tarvix
