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

std::string format_wsprintf(std::string_view f, const std::function<std::uint32_t()>& next_arg,
                            const std::function<std::string(std::uint32_t, std::size_t)>& read_string) {
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
        if (i < f.size() && (f[i] == 'l' || f[i] == 'h')) ++i;
        if (i >= f.size()) break;
        char buf[16];
        switch (const char type = f[i]) {
            case 'd': case 'i': {
                const auto v = static_cast<std::int32_t>(next_arg());
                std::snprintf(buf, sizeof buf, "%u", v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v));
                append(out, v < 0 ? "-" : "", buf, s, true, room);
                break;
            }
            case 'u': case 'x': case 'X': {
                const std::uint32_t v = next_arg();
                std::snprintf(buf, sizeof buf, type == 'u' ? "%u" : type == 'x' ? "%x" : "%X", v);
                const char* prefix = s.alternate && v && type != 'u' ? (type == 'x' ? "0x" : "0X") : "";
                append(out, prefix, buf, s, true, room);
                break;
            }
            case 'c': append(out, "", std::string(1, static_cast<char>(next_arg())), s, false, room); break;
            case 's': {
                std::string text = read_string(next_arg(), std::min(s.precision.value_or(kWsprintfLimit), room));
                append(out, "", std::move(text), s, false, room);
                break;
            }
            default: out += '%'; out += type; break;  // not a conversion: shown as written
        }
    }
    if (out.size() > kWsprintfLimit) out.resize(kWsprintfLimit);
    return out;
}

namespace {

void run_wsprintf(StubCall& call) {
    Machine& m = call.machine();
    const Addr dest = call.arg(0);
    const std::string format = m.read_cstring(call.arg(1), kWsprintfLimit);
    unsigned next = 2;
    const std::string text = format_wsprintf(
        format, [&] { return call.arg(next++); },
        [&](std::uint32_t at, std::size_t limit) { return m.read_cstring(at, limit); });
    // The destination is not bounded, just as the real function's is not.
    m.write_bytes(dest, text.c_str(), text.size() + 1);
    call.return_int(static_cast<std::uint32_t>(text.size()));
}

void run_cos(StubCall& call) {
    call.return_double(std::cos(call.arg_double(0)));
}

void run_sin(StubCall& call) {
    call.return_double(std::sin(call.arg_double(0)));
}

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
