// msvcrt's printf formatting: the conversions, flags, widths, precisions and sizes msvcrt.dll
// takes, its spellings of infinities and NaNs and its three-digit exponents; strings read from the
// module's memory as the real function reads them.
#pragma once

#include "api.h"

#include <functional>
#include <string>
#include <string_view>

namespace q7host::win {

// The text printf writes for `format`, taking the 32-bit argument words in
// order from `next` (two for a double or a 64-bit integer, low word first).
std::string format_printf(Api& c, std::string_view format, const std::function<std::uint32_t()>& next);

}  // namespace q7host::win
