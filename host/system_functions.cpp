#include "host/system_functions.h"

#include <algorithm>
#include <optional>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace q7host {

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
            std::size_t room) {
    if (numeric && s.precision) {
        if (*s.precision == 0 && digits == "0") digits.clear();
        if (digits.size() < *s.precision) digits.insert(0, std::min(*s.precision, room) - digits.size(), '0');
    }
    const std::size_t body = prefix.size() + digits.size();
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

char to_ansi(char16_t c) {
    // Code page 1252 is Latin-1 but for 0x80..0x9F, where it has these.
    static constexpr char16_t k80[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                         0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (unsigned i = 0; i < 32; ++i) {
        if (k80[i] && k80[i] == c) return static_cast<char>(0x80 + i);
    }
    return '?';
}

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
        } else if (i < f.size() && f[i] == 'l') {
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
                append(out, prefix, buf, s, true, room);
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
                out += '%';
                out += type;
                break;  // not a conversion: shown as written
        }
    }
    if (out.size() > kWsprintfLimit) out.resize(kWsprintfLimit);
    return out;
}

namespace {

// Module memory as module code may read it: to the first NUL or `limit`
// units, or nothing when a unit lies where the module may not read.
template <typename Unit>
std::optional<std::basic_string<Unit>> read_units(const Machine& m, Addr at, std::size_t limit, Addr& unreadable) {
    std::basic_string<Unit> text;
    for (std::size_t i = 0; i < limit; ++i) {
        const Addr a = at + static_cast<Addr>(i * sizeof(Unit));
        if (!m.accessible(a, sizeof(Unit), prot::kRead)) {
            unreadable = m.accessible(a, 1, prot::kRead) ? a + 1 : a;
            return std::nullopt;
        }
        const Unit c = m.read<Unit>(a);
        if (!c) break;
        text += c;
    }
    return text;
}

// wsprintfA: what it reads and writes it reads and writes as the module's
// code would, so that a pointer leading nowhere is a fault in the module's call.
void run_wsprintf(StubCall& call) {
    Machine& m = call.machine();
    const Addr dest = call.arg(0), format_at = call.arg(1);
    Addr unreadable = 0;
    const auto format = read_units<char>(m, format_at, kWsprintfLimit, unreadable);
    if (!format) return call.access_violation(unreadable, false);
    unsigned next = 2;
    const std::optional<std::string> text = format_wsprintf(
        *format, [&] { return call.arg(next++); },
        {.read_string = [&](std::uint32_t at, std::size_t limit) { return read_units<char>(m, at, limit, unreadable); },
         .read_wide = [&](std::uint32_t at,
                          std::size_t limit) { return read_units<char16_t>(m, at, limit, unreadable); }});
    if (!text) return call.access_violation(unreadable, false);
    // The destination is not bounded, just as the real function's is not.
    if (!m.accessible(dest, text->size() + 1, prot::kWrite)) return call.access_violation(dest, true);
    m.write_bytes(dest, text->c_str(), text->size() + 1);
    call.return_int(static_cast<std::uint32_t>(text->size()));
}

void run_cos(StubCall& call) { call.return_double(std::cos(call.arg_double(0))); }

void run_sin(StubCall& call) { call.return_double(std::sin(call.arg_double(0))); }

constexpr SystemFunction kSystemFunctions[] = {
    {.name = "user32.dll!wsprintfA", .returns = Returns::kInt, .run = run_wsprintf},
    {.name = "msvcrt.dll!cos", .returns = Returns::kDouble, .run = run_cos},
    {.name = "msvcrt.dll!sin", .returns = Returns::kDouble, .run = run_sin},
};

}  // namespace

const SystemFunction* find_system_function(std::string_view dll, std::string_view function) {
    std::string key(dll);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    key.append("!").append(function);
    for (const auto& f : kSystemFunctions) {
        if (key == f.name) return &f;
    }
    return nullptr;
}

Addr bind_system_function(Machine& machine, const SystemFunction& function) {
    return machine.add_stub([run = function.run](StubCall& call) { run(call); }, 0, function.returns);
}

}  // namespace q7host
