#include "format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace tarvix {
namespace {

std::string non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

// Shortest round-trip digits of |value| as a digit string and the decimal
// exponent of its first digit (value = 0.d1d2d3... * 10^(exp+1)).
void shortest_digits(double value, std::string& digits, int& exp10) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  std::string s(buf, res.ptr);
  auto e = s.find('e');
  std::string mant = s.substr(0, e);
  exp10 = std::atoi(s.c_str() + e + 1);
  digits.clear();
  for (char c : mant)
    if (c != '.') digits.push_back(c);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

}  // namespace

std::string format_plain(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string format_fixed(double value, int decimals) {
  if (!std::isfinite(value)) return non_finite(value);
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return std::string(buf, res.ptr);
}

std::string format_component(double value) {
  if (value == 0.0) return "0.000000";
  return format_fixed(value, 6);
}

std::string format_json_real(double value) {
  std::string digits;
  int exp10 = 0;
  if (value == 0.0) {
    return std::signbit(value) ? "-0.0" : "0.0";
  }
  shortest_digits(value, digits, exp10);
  std::string out = std::signbit(value) ? "-" : "";
  if (exp10 >= -5 && exp10 <= 15) {
    const int n = static_cast<int>(digits.size());
    if (exp10 >= 0) {
      if (n <= exp10 + 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exp10 + 1 - n), '0');
        out += ".0";
      } else {
        out.append(digits, 0, static_cast<std::size_t>(exp10 + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exp10 + 1));
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp10 - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += exp10 < 0 ? "e-" : "e+";
  out += std::to_string(std::abs(exp10));
  return out;
}

}  // namespace tarvix
