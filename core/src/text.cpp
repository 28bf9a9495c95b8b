#include "text.hpp"

#include <algorithm>

namespace tarvix {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is invalid
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
std::size_t valid_sequence_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  if (b1 < lo || b1 > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return len;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the escape \uXXXX at s[i], or -1 when there is none.
long escape_unit(std::string_view s, std::size_t i) {
  if (i + 6 > s.size() || s[i] != '\\' || s[i + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t k = 2; k < 6; ++k) {
    const int digit = hex_digit(s[i + k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

void append_hex_byte(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0xF]);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = valid_sequence_length(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string display_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    const std::size_t n = valid_sequence_length(path, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(path.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string surrogate_escaped_json(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size();) {
    const std::size_t n = valid_sequence_length(json, i);
    if (n == 0) {
      out += "\\udc";
      append_hex_byte(out, static_cast<unsigned char>(json[i++]));
    } else {
      out.append(json.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string nul_escaped_json(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size();) {
    const long unit = escape_unit(json, i);
    if (unit >= 0xD800 && unit <= 0xDBFF && escape_unit(json, i + 6) >= 0xDC00 && escape_unit(json, i + 6) <= 0xDFFF) {
      out.append(json.substr(i, 12));  // a surrogate pair: one character, not a byte
      i += 12;
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out += "\\u0000";
      append_hex_byte(out, static_cast<unsigned char>(unit & 0xFF));
      i += 6;
    } else if (json[i] == '\\') {
      // Copied with the character it escapes, so that in "\\udc80" the
      // second backslash is never taken for the start of an escape.
      const std::size_t n = std::min<std::size_t>(2, json.size() - i);
      out.append(json.substr(i, n));
      i += n;
    } else if (const std::size_t n = valid_sequence_length(json, i); n > 0) {
      out.append(json.substr(i, n));
      i += n;
    } else {
      out += "\\u0000";
      append_hex_byte(out, static_cast<unsigned char>(json[i++]));
    }
  }
  return out;
}

std::string bytes_of_nul_escapes(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\0' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace tarvix
