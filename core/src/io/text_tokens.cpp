#include "io/text_tokens.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "error.hpp"

namespace tarvix::io::text {
namespace {


struct Range {
  char32_t lo, hi;
};

constexpr Range kEscapedRanges[] = {
#include "io/escaped_ranges.inc"
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool needs_escape(char32_t cp) {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  const auto* end = std::end(kEscapedRanges);
  const auto* it = std::upper_bound(std::begin(kEscapedRanges), end, cp,
                                    [](char32_t c, const Range& r) { return c < r.lo; });
  return it != std::begin(kEscapedRanges) && cp <= (it - 1)->hi;
}

// Decodes the character at s[i]. A byte that does not start a valid sequence
// decodes as U+FFFD of length 1, so any byte string can be quoted.
char32_t decode(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  std::size_t n;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0xFFFD;
  }
  if (i + n > s.size()) return 0xFFFD;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0xFFFD;
    cp = (cp << 6) | (b & 0x3F);
  }
  len = n;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// from_chars leaves the value untouched when it is out of range; whether that
// means overflow or underflow follows from the decimal exponent of the first
// significant digit, which is at least 308 or at most -324 in those cases.
double out_of_range_value(std::string_view mantissa, std::string_view exponent, bool negative) {
  long long magnitude = 0;
  bool found = false;
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  for (std::size_t k = 0; k < mantissa.size() && !found; ++k) {
    if (mantissa[k] == '.' || mantissa[k] == '0') continue;
    found = true;
    magnitude = k < point ? static_cast<long long>(point - k - 1) : -static_cast<long long>(k - point);
  }
  bool exp_negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    exp_negative = exponent[0] == '-';
    exponent.remove_prefix(1);
  }
  // Saturate: only the sign of the total matters, and the digit count of any
  // real file is far below this bound.
  constexpr long long kCap = 1'000'000'000'000LL;
  long long e = 0;
  for (char c : exponent) e = std::min(e * 10 + (c - '0'), kCap);
  magnitude += exp_negative ? -e : e;
  const double v = found && magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -v : v;
}

}  // namespace

std::string_view trim(std::string_view text) {
  std::size_t i = 0;
  std::size_t w;
  while (i < text.size() && (w = whitespace_length(text, i)) != 0) i += w;
  // Scan forward to find where the last non-whitespace character ends; a
  // backward scan would have to resynchronise on UTF-8 boundaries.
  std::size_t end = i;
  std::size_t j = i;
  while (j < text.size()) {
    w = whitespace_length(text, j);
    if (w != 0) {
      j += w;
    } else {
      ++j;
      end = j;
    }
  }
  return text.substr(i, end - i);
}

std::optional<double> parse_number(std::string_view token) {
  bool negative = false;
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
    negative = token[0] == '-';
    token.remove_prefix(1);
  }
  if (token.empty()) return std::nullopt;
  if (equals_ignoring_case(token, "inf") || equals_ignoring_case(token, "infinity"))
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  if (equals_ignoring_case(token, "nan"))
    return std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);

  // from_chars is more lenient than the file syntax (it stops at the first
  // byte it cannot use, so "1,5" would read as 1), so check the whole token.
  const std::size_t n = token.size();
  std::size_t p = 0;
  std::size_t digits = 0;
  while (p < n && is_digit(token[p])) ++p, ++digits;
  if (p < n && token[p] == '.') {
    ++p;
    while (p < n && is_digit(token[p])) ++p, ++digits;
  }
  if (digits == 0) return std::nullopt;
  const std::size_t mantissa_end = p;
  std::size_t exponent_begin = n;
  if (p < n && (token[p] == 'e' || token[p] == 'E')) {
    ++p;
    exponent_begin = p;
    if (p < n && (token[p] == '+' || token[p] == '-')) ++p;
    const std::size_t exp_digits_begin = p;
    while (p < n && is_digit(token[p])) ++p;
    if (p == exp_digits_begin) return std::nullopt;
  }
  if (p != n) return std::nullopt;

  double value = 0;
  const auto res = std::from_chars(token.data(), token.data() + n, value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range)
    return out_of_range_value(token.substr(0, mantissa_end), token.substr(exponent_begin), negative);
  if (res.ec != std::errc() || res.ptr != token.data() + n) return std::nullopt;
  return negative ? -value : value;
}

std::string quote_token(std::string_view token) {
  std::string out;
  out.reserve(token.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < token.size();) {
    std::size_t len;
    const char32_t cp = decode(token, i, len);
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == 0) {
      out += "\\0";
    } else if (needs_escape(cp)) {
      char hex[16];
      const auto res = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(cp), 16);
      out += "\\u{";
      out.append(hex, res.ptr);
      out += '}';
    } else if (len == 1 && cp >= 0x80) {
      append_utf8(out, cp);  // an invalid byte, shown as U+FFFD
    } else {
      out.append(token.substr(i, len));
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string quote_excerpt(std::string_view text, std::size_t max_chars) {
  std::size_t i = 0;
  for (std::size_t count = 0; i < text.size() && count < max_chars; ++count) {
    std::size_t len;
    decode(text, i, len);
    i += len;
  }
  if (i >= text.size()) return quote_token(text);
  return quote_token(text.substr(0, i)) + "\u2026";
}

void throw_invalid_number(const std::string& path, std::string_view token) {
  throw Error::parse(path, "invalid number: " + quote_token(token));
}

}  // namespace tarvix::io::text
