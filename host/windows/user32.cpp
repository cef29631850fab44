// USER32: wsprintfA and wvsprintfA, with the formatting the real ones do, and the table.
#include "host/wsprintf.h"

#include "text_codes.h"
#include "windows_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace q7host {

using win::to_ansi;

namespace {

// One conversion: the digits or text, then padded to its width.
struct Conversion {
    bool left = false, zero = false, alternate = false;
    std::size_t width = 0;
    std::optional<std::size_t> precision;
};

std::size_t number(std::string_view f, std::size_t& i) {
    std::size_t n = 0;
    for (; i < f.size() && std::isdigit(static_cast<unsigned char>(f[i])); ++i) {
        n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(f[i] - '0'), 1u << 20);
    }
    return n;
}

// Appends `body` with its sign or prefix, zero-padded to the precision and
// space- or zero-padded to the width, never past `room` characters.
void append(std::string& out, std::string_view prefix, std::string digits, const Conversion& s, bool numeric,
            std::size_t room, bool prefix_outside = false) {
    if (numeric && s.precision) {
        if (*s.precision == 0 && digits == "0") digits.clear();
        if (digits.size() < *s.precision) digits.insert(0, std::min(*s.precision, room) - digits.size(), '0');
    }
    // A sign counts in the width; the 0x that # adds stands outside it.
    const std::size_t body = digits.size() + (prefix_outside ? 0 : prefix.size());
    const std::size_t pad = s.width > body ? std::min(s.width - body, room) : 0;
    std::string field;
    if (s.left) {
        field.append(prefix).append(digits).append(pad, ' ');
    } else if (s.zero && numeric && !s.precision) {
        field.append(prefix).append(pad, '0').append(digits);
    } else {
        field.append(pad, ' ').append(prefix).append(digits);
    }
    out.append(field, 0, std::min(field.size(), room));
}

}  // namespace

std::optional<std::string> format_wsprintf(std::string_view f, const std::function<std::uint32_t()>& next_arg,
                                           const WsprintfReaders& readers) {
    std::string out;
    for (std::size_t i = 0; i < f.size() && out.size() < kWsprintfLimit; ++i) {
        const std::size_t room = kWsprintfLimit - out.size();
        if (f[i] != '%') {
            out += f[i];
            continue;
        }
        if (++i >= f.size()) break;
        if (f[i] == '%') {
            out += '%';
            continue;
        }
        Conversion s;
        for (; i < f.size() && (f[i] == '-' || f[i] == '0' || f[i] == '#'); ++i) {
            (f[i] == '-' ? s.left : f[i] == '0' ? s.zero : s.alternate) = true;
        }
        s.width = number(f, i);
        if (i >= f.size()) {
            // A width at the end of the format still pads.
            out.append(std::min(s.width, room), ' ');
            break;
        }
        if (i < f.size() && f[i] == '.') {
            ++i;
            s.precision = number(f, i);
        }
        // The size: h narrow, l wide (for characters and strings), I64 a
        // 64-bit integer, I32 and I (a pointer's size) 32 bits.
        enum class Size { kDefault, kShort, kLong, kWide64 } size = Size::kDefault;
        if (i < f.size() && f[i] == 'h') {
            size = Size::kShort;
            ++i;
        } else if (i < f.size() && (f[i] == 'l' || f[i] == 'w')) {
            size = Size::kLong;
            ++i;
        } else if (f.substr(i, 3) == "I64") {
            size = Size::kWide64;
            i += 3;
        } else if (f.substr(i, 3) == "I32") {
            i += 3;
        } else if (i < f.size() && f[i] == 'I') {
            ++i;
        }
        if (i >= f.size()) break;
        char buf[32];
        const auto integer = [&]() -> std::uint64_t {
            const std::uint64_t low = next_arg();
            return size == Size::kWide64 ? low | std::uint64_t{next_arg()} << 32 : low;
        };
        switch (const char type = f[i]) {
            case 'd':
            case 'i': {
                const std::uint64_t raw = integer();
                const std::int64_t v = size == Size::kWide64
                                           ? static_cast<std::int64_t>(raw)
                                           : static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
                const std::uint64_t magnitude =
                    v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
                std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(magnitude));
                append(out, v < 0 ? "-" : "", buf, s, true, room);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                const auto v = static_cast<unsigned long long>(integer());
                std::snprintf(buf, sizeof buf, type == 'u' ? "%llu" : type == 'x' ? "%llx" : "%llX", v);
                const char* prefix = s.alternate && v && type != 'u' ? (type == 'x' ? "0x" : "0X") : "";
                append(out, prefix, buf, s, true, room, true);
                break;
            }
            case 'p': {
                // A pointer: eight upper-case digits on 32-bit Windows.
                std::snprintf(buf, sizeof buf, "%08X", next_arg());
                append(out, "", buf, s, false, room);
                break;
            }
            case 'c':
            case 'C': {
                const std::uint32_t v = next_arg();
                const bool wide = size == Size::kLong || (type == 'C' && size != Size::kShort);
                append(out, "", std::string(1, wide ? to_ansi(static_cast<char16_t>(v)) : static_cast<char>(v)), s,
                       false, room);
                break;
            }
            case 's':
            case 'S': {
                const std::uint32_t at = next_arg();
                const bool wide = size == Size::kLong || (type == 'S' && size != Size::kShort);
                const std::size_t limit = std::min(s.precision.value_or(kWsprintfLimit), room);
                std::string text;
                if (at == 0) {
                    text = std::string("(null)").substr(0, limit);
                } else if (wide) {
                    const auto units = readers.read_wide(at, limit);
                    if (!units) return std::nullopt;
                    for (const char16_t c : *units) text += to_ansi(c);
                } else {
                    auto bytes = readers.read_string(at, limit);
                    if (!bytes) return std::nullopt;
                    text = std::move(*bytes);
                }
                append(out, "", std::move(text), s, false, room);
                break;
            }
            default:
                // Not a conversion: the character itself, padded to the
                // width, the % and the flags dropped.
                append(out, "", std::string(1, type), s, false, room);
                break;
        }
    }
    if (out.size() > kWsprintfLimit) out.resize(kWsprintfLimit);
    return out;
}

}  // namespace q7host

namespace q7host::win {

namespace {

// What the formatting reads and writes it reads and writes as the module's
// code would, so that a pointer leading nowhere is a fault in the module's call.
std::uint32_t format_into(Api& c, Str dest, Str format, const std::function<std::uint32_t()>& next) {
    const std::string f = c.string(format, kWsprintfLimit);
    const std::optional<std::string> text =
        format_wsprintf(f, next,
                        {.read_string = [&](std::uint32_t at, std::size_t limit) -> std::optional<std::string> {
                             return c.units<char>(at, limit);
                         },
                         .read_wide = [&](std::uint32_t at, std::size_t limit) -> std::optional<std::u16string> {
                             return c.units<char16_t>(at, limit);
                         }});
    // The destination is not bounded, just as the real function's is not.
    c.put_string(dest, *text);
    return static_cast<std::uint32_t>(text->size());
}

std::uint32_t wsprintfA(Varargs& c, Str dest, Str format) {
    return format_into(c, dest, format, [&] { return c.next(); });
}

std::uint32_t wvsprintfA(Stdcall& c, Str dest, Str format, Ptr<std::uint32_t> args) {
    std::uint32_t i = 0;
    return format_into(c, dest, format, [&] { return c.read(args, i++); });
}

constexpr Export kExports[] = {
    fn<&wsprintfA>("wsprintfA"),
    fn<&wvsprintfA>("wvsprintfA"),
};

}  // namespace

const DllTable kUser32{"user32.dll", std::begin(kExports), std::end(kExports)};

}  // namespace q7host::win
