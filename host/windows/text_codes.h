// Code page 1252 (the ANSI code page of the process) and UTF-8, as Windows converts them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace q7host::win {

// A UTF-16 unit in code page 1252, '?' where it has none.
char to_ansi(char16_t c);
// A code page 1252 byte as UTF-16 (the five bytes 1252 leaves undefined map
// to the C1 controls of the same value, as Windows maps them).
char16_t from_ansi(unsigned char c);
// UTF-8 to UTF-16: nothing when `strict` and the bytes are not well formed
// (otherwise each bad byte becomes U+FFFD).
std::optional<std::u16string> from_utf8(std::string_view s, bool strict);
// UTF-16 to UTF-8 (a lone surrogate becomes U+FFFD).
std::string to_utf8(std::u16string_view s);

}  // namespace q7host::win
