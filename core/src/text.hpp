// UTF-8 helpers shared by the readers and by error messages.
#pragma once

#include <string>
#include <string_view>

namespace tarvix {

bool is_valid_utf8(std::string_view bytes);

// Display form of a path: as given, with every byte sequence that is not valid
// UTF-8 replaced by U+FFFD.
std::string display_path(std::string_view path);

// File names travel to and from Python inside JSON text, where a string must
// be UTF-8 but a POSIX name is any bytes. Python decodes such a name with
// surrogateescape: each byte that is not UTF-8 becomes the lone surrogate
// U+DC80..U+DCFF, which its json module writes and reads as \udcXX.

// JSON text with each byte that is not UTF-8 written as that \udcXX escape.
std::string surrogate_escaped_json(std::string_view json);

// JSON text from Python, made parseable: a lone \udc80..\udcff escape, and a
// raw byte that is not UTF-8, become \u0000 followed by the byte's two hex
// digits (a parser rejects lone surrogates; no path holds a NUL).
std::string nul_escaped_json(std::string_view json);

// A string parsed from nul_escaped_json text with its bytes back.
std::string bytes_of_nul_escapes(std::string_view s);

}  // namespace tarvix
