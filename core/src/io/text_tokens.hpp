// The text rules of the table files: lines split at '\n', tokens separated by
// Unicode White_Space, and the decimal number syntax with its quoted form in
// error messages.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvix::io::text {

// Byte length of the White_Space character starting at text[i], or 0 when the
// character there is not whitespace (invalid UTF-8 is never whitespace).
// Inline because the tokenizer asks it once per byte of large files.
inline std::size_t whitespace_length(std::string_view text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return (b == ' ' || (b >= '\t' && b <= '\r')) ? 1 : 0;
  const std::size_t left = text.size() - i;
  if (b == 0xC2) {  // U+0085, U+00A0
    if (left < 2) return 0;
    const auto c = static_cast<unsigned char>(text[i + 1]);
    return (c == 0x85 || c == 0xA0) ? 2 : 0;
  }
  if (b < 0xE1 || b > 0xE3 || left < 3) return 0;
  const auto c1 = static_cast<unsigned char>(text[i + 1]);
  const auto c2 = static_cast<unsigned char>(text[i + 2]);
  if (b == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;  // U+1680
  if (b == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;  // U+3000
  if (c1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
    return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
  if (c1 == 0x81) return c2 == 0x9F ? 3 : 0;  // U+205F
  return 0;
}

// The text without leading and trailing whitespace.
std::string_view trim(std::string_view text);

// Calls f(token) for every whitespace-separated token, in order, until f
// returns false. Tokens are views into `text`.
template <class F>
void for_each_token(std::string_view text, F&& f) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    std::size_t w;
    while (i < n && (w = whitespace_length(text, i)) != 0) i += w;
    if (i >= n) return;
    const std::size_t start = i;
    while (i < n && whitespace_length(text, i) == 0) ++i;
    if (!f(text.substr(start, i - start))) return;
  }
}

// Calls f(line) for every line. A '\r' before the '\n' stays in the line; it is
// whitespace, so trimming and tokenising drop it. The last line needs no '\n'.
template <class F>
void for_each_line(std::string_view text, F&& f) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      f(text.substr(start));
      return;
    }
    f(text.substr(start, nl - start));
    start = nl + 1;
  }
}

// The value of a number token, or nothing when the token is not one. Values
// beyond the range of double become an infinity, values below the smallest
// subnormal a zero, both keeping the token's sign.
std::optional<double> parse_number(std::string_view token);

// The token in double quotes, with '"' and '\' escaped, NUL as \0 and other
// control or non-printable characters as \u{hex}.
std::string quote_token(std::string_view token);

// Parse error "invalid number: <quoted token>" for the file at `path`.
[[noreturn]] void throw_invalid_number(const std::string& path, std::string_view token);

// The quoted form of at most the first `max_chars` characters of `text`, with
// "…" after the closing quote when some were left out: a message can quote a
// line of a hostile file without growing with it.
std::string quote_excerpt(std::string_view text, std::size_t max_chars = 80);

}  // namespace tarvix::io::text
