// wsprintfA's formatting, without its machine: what USER32's wsprintfA and wvsprintfA write.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace q7host {

// wsprintfA's formatting, without its machine: %[-][#][0][width][.precision]
// [h|l|I|I32|I64](c|C|d|i|u|x|X|p|s|S) and %%, as 32-bit Windows has them (%I
// and %p are 32 bits wide; %C, %S, %lc and %ls take UTF-16 and convert it to
// the ANSI code page, 1252, a character it lacks becoming '?'; a null string
// pointer prints "(null)"). `next_arg` hands out the 32-bit argument words in
// order (a 64-bit argument takes two, low word first); `read_string` and
// `read_wide` read the text a string argument points at, to its NUL or
// `limit` units, or nothing when it points nowhere, which ends the
// formatting. The result holds at most kWsprintfLimit characters, and the
// work done is bounded by that, whatever widths the format asks for.
inline constexpr std::size_t kWsprintfLimit = 1024;
struct WsprintfReaders {
    std::function<std::optional<std::string>(std::uint32_t address, std::size_t limit)> read_string;
    std::function<std::optional<std::u16string>(std::uint32_t address, std::size_t limit)> read_wide;
};
// The text, or nothing when a string argument pointed nowhere.
std::optional<std::string> format_wsprintf(std::string_view format, const std::function<std::uint32_t()>& next_arg,
                                           const WsprintfReaders& readers);

}  // namespace q7host
