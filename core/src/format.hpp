// Number forms used in messages, JSON and table files. All digits come from
// std::to_chars, which gives shortest round-trip and correctly rounded output.
#pragma once

#include <string>

namespace tarvix {

// Shortest round-trip digits in plain decimal, never exponent notation; whole
// values without a fractional part (1000, 0.0001, -0, NaN, inf, -inf).
std::string format_plain(double value);

// Fixed notation with `decimals` digits after the point, correctly rounded (ties
// to even), "NaN"/"inf"/"-inf" for non-finite values.
std::string format_fixed(double value, int decimals);

// Six-decimal gradient component: both zeros print as 0.000000.
std::string format_component(double value);

// JSON form of a finite real: shortest digits, plain for decimal exponents in
// [-5, 15] with ".0" kept on whole values, else 1e+16 / 1.5e-7 style.
// Callers handle non-finite values (written as null).
std::string format_json_real(double value);

}  // namespace tarvix
