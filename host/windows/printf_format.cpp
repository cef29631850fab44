// msvcrt's printf formatting, and its strftime for the "C" locale.
#include "printf_format.h"

#include "text_codes.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace q7host::win {

namespace {

// At most this much text from one call: msvcrt has no such bound, but the
// host must not be made to build gigabytes by a width.
constexpr std::size_t kLimit = 1u << 20;

struct Conversion {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    std::size_t width = 0;
    int precision = -1;
};

void pad(std::string& out, const Conversion& s, std::string_view sign, std::string_view body, bool numeric) {
    const std::size_t len = sign.size() + body.size();
    const std::size_t fill = s.width > len ? std::min(s.width - len, kLimit) : 0;
    if (s.left) {
        out.append(sign).append(body).append(fill, ' ');
    } else if (s.zero && numeric) {
        out.append(sign).append(fill, '0').append(body);
    } else {
        out.append(fill, ' ').append(sign).append(body);
    }
}

// msvcrt's spelling of a value that is no finite number: 1.#INF, 1.#QNAN,
// 1.#SNAN, 1.#IND (the default NaN), then as many digits as the precision
// (and for %e the exponent of 1).
std::string special(double v, int precision, char type) {
    std::string body = std::isinf(v) ? "1.#INF" : std::signbit(v) ? "1.#IND" : "1.#QNAN";
    const int digits = precision < 0 ? 6 : precision;
    if (type == 'g' || type == 'G') return body;
    std::string out = body;
    const int have = static_cast<int>(out.size()) - 2;
    if (digits > have) out.append(static_cast<std::size_t>(digits - have), '0');
    if (digits < have) {
        out.resize(static_cast<std::size_t>(2 + digits));
        // Rounded as msvcrt rounds the text: "1.#INF" at precision 2 is "1.#J".
        if (digits > 0 && out.back() != '#') ++out.back();
    }
    if (digits == 0) out = "1";
    // %e keeps its exponent: "1.#INF00e+000".
    if (type == 'e' || type == 'E') out += "e+000";
    if (type == 'E' || type == 'G' || type == 'F') {
        for (char& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    return out;
}

// msvcrt writes exponents with at least three digits.
std::string three_digit_exponent(std::string s) {
    const auto e = s.find_first_of("eE");
    if (e == std::string::npos || e + 2 >= s.size()) return s;
    const std::string digits = s.substr(e + 2);
    if (digits.size() < 3) s.insert(e + 2, 3 - digits.size(), '0');
    return s;
}

}  // namespace

std::string format_printf(Api& c, std::string_view f, const std::function<std::uint32_t()>& next) {
    std::string out;
    for (std::size_t i = 0; i < f.size() && out.size() < kLimit; ++i) {
        if (f[i] != '%') {
            out += f[i];
            continue;
        }
        if (++i >= f.size()) break;
        Conversion s;
        for (; i < f.size(); ++i) {
            const char ch = f[i];
            if (ch == '-')
                s.left = true;
            else if (ch == '+')
                s.plus = true;
            else if (ch == ' ')
                s.space = true;
            else if (ch == '#')
                s.alternate = true;
            else if (ch == '0')
                s.zero = true;
            else
                break;
        }
        auto number = [&]() -> std::size_t {
            if (i < f.size() && f[i] == '*') {
                ++i;
                return static_cast<std::size_t>(static_cast<std::int32_t>(next()));
            }
            std::size_t n = 0;
            for (; i < f.size() && std::isdigit(static_cast<unsigned char>(f[i])); ++i)
                n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(f[i] - '0'), kLimit);
            return n;
        };
        if (i < f.size() && f[i] == '*') {
            ++i;
            const auto w = static_cast<std::int32_t>(next());
            if (w < 0) s.left = true;
            s.width =
                std::min<std::size_t>(static_cast<std::size_t>(w < 0 ? -static_cast<std::int64_t>(w) : w), kLimit);
        } else {
            s.width = number();
        }
        if (i < f.size() && f[i] == '.') {
            ++i;
            if (i < f.size() && f[i] == '*') {
                ++i;
                const auto p = static_cast<std::int32_t>(next());
                s.precision = p < 0 ? -1 : std::min(p, 1 << 20);
            } else {
                s.precision = static_cast<int>(number());
            }
        }
        enum { kInt, kShort, kLong, kLongLong, kWide } size = kInt;
        if (f.substr(i, 3) == "I64" || f.substr(i, 2) == "ll") {
            size = kLongLong;
            i += f[i] == 'I' ? 3 : 2;
        } else if (f.substr(i, 3) == "I32") {
            i += 3;
        } else if (i < f.size() && f[i] == 'I') {
            ++i;
        } else if (i < f.size() && f[i] == 'h') {
            size = kShort;
            ++i;
        } else if (i < f.size() && (f[i] == 'l' || f[i] == 'w')) {
            size = f[i] == 'w' ? kWide : kLong;
            ++i;
        } else if (i < f.size() && (f[i] == 'L' || f[i] == 'j' || f[i] == 'z' || f[i] == 't')) {
            if (f[i] == 'j') size = kLongLong;
            ++i;
        }
        if (i >= f.size()) break;
        const char type = f[i];
        auto integer = [&]() -> std::uint64_t {
            const std::uint64_t low = next();
            return size == kLongLong ? low | std::uint64_t{next()} << 32 : low;
        };
        char buf[512];
        switch (type) {
            case 'd':
            case 'i': {
                const std::uint64_t raw = integer();
                std::int64_t v = size == kLongLong ? static_cast<std::int64_t>(raw)
                                 : size == kShort  ? static_cast<std::int16_t>(raw)
                                                   : static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
                const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
                std::string digits = std::to_string(mag);
                if (s.precision >= 0) {
                    if (s.precision == 0 && mag == 0) digits.clear();
                    if (digits.size() < static_cast<std::size_t>(s.precision))
                        digits.insert(0, static_cast<std::size_t>(s.precision) - digits.size(), '0');
                    s.zero = false;
                }
                pad(out, s, v < 0 ? "-" : s.plus ? "+" : s.space ? " " : "", digits, true);
                break;
            }
            case 'u':
            case 'o':
            case 'x':
            case 'X': {
                std::uint64_t v = integer();
                if (size == kShort) v &= 0xFFFF;
                std::snprintf(buf, sizeof buf,
                              type == 'u'   ? "%llu"
                              : type == 'o' ? "%llo"
                              : type == 'x' ? "%llx"
                                            : "%llX",
                              static_cast<unsigned long long>(v));
                std::string digits = buf;
                if (s.precision >= 0) {
                    if (s.precision == 0 && v == 0) digits.clear();
                    if (digits.size() < static_cast<std::size_t>(s.precision))
                        digits.insert(0, static_cast<std::size_t>(s.precision) - digits.size(), '0');
                    s.zero = false;
                }
                std::string prefix;
                if (s.alternate && v) prefix = type == 'o' ? "0" : type == 'x' ? "0x" : type == 'X' ? "0X" : "";
                pad(out, s, prefix, digits, true);
                break;
            }
            case 'p': {
                std::snprintf(buf, sizeof buf, "%08X", next());
                pad(out, s, "", buf, false);
                break;
            }
            case 'c':
            case 'C': {
                const std::uint32_t v = next();
                const bool wide = size == kLong || size == kWide || (type == 'C' && size != kShort);
                pad(out, s, "", std::string(1, wide ? to_ansi(static_cast<char16_t>(v)) : static_cast<char>(v)), false);
                break;
            }
            case 's':
            case 'S': {
                const Addr at = next();
                const bool wide = size == kLong || size == kWide || (type == 'S' && size != kShort);
                const std::size_t limit = s.precision >= 0 ? static_cast<std::size_t>(s.precision) : kLimit;
                std::string text;
                if (!at) {
                    text = wide ? "(null)" : "(null)";
                    text = text.substr(0, limit);
                } else if (wide) {
                    for (const char16_t u : c.units<char16_t>(at, limit)) text += to_ansi(u);
                } else {
                    text = c.units<char>(at, limit);
                }
                pad(out, s, "", text, false);
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                const std::uint64_t bits = next() | std::uint64_t{next()} << 32;
                double v;
                std::memcpy(&v, &bits, sizeof v);
                const char* sign = std::signbit(v) && !(std::isnan(v)) ? "-" : s.plus ? "+" : s.space ? " " : "";
                std::string body;
                if (!std::isfinite(v)) {
                    body = special(v, s.precision, type);
                    if (std::isnan(v) && std::signbit(v)) sign = "-";
                } else {
                    const int precision = std::min(s.precision < 0 ? 6 : s.precision, 400);
                    const std::string fmt = std::string("%") + (s.alternate ? "#" : "") + ".*" +
                                            static_cast<char>(type == 'F' ? 'f' : type);
                    std::vector<char> text(static_cast<std::size_t>(precision) + 400);
                    std::snprintf(text.data(), text.size(), fmt.c_str(), precision, std::fabs(v));
                    body = three_digit_exponent(text.data());
                }
                pad(out, s, sign, body, std::isfinite(v));
                break;
            }
            case 'n': break;  // msvcrt.dll refuses %n (it ends the formatting quietly)
            case '%': out += '%'; break;
            default: out += type; break;
        }
    }
    if (out.size() > kLimit) out.resize(kLimit);
    return out;
}

namespace {

// strftime's conversions in the "C" locale, from a struct tm of the module's.
template <typename Out>
std::string strftime_text(Api& c, std::string_view f, Ptr<std::int32_t> tm) {
    static constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    static constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                              "July",    "August",   "September", "October", "November", "December"};
    auto field = [&](unsigned k) { return c.read(tm, k); };
    std::string out;
    char buf[64];
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%' || i + 1 >= f.size()) {
            out += f[i];
            continue;
        }
        char t = f[++i];
        if (t == '#' && i + 1 < f.size()) t = f[++i];
        const int sec = field(0), min = field(1), hour = field(2), mday = field(3), mon = field(4), year = field(5),
                  wday = field(6), yday = field(7);
        auto day = [&](bool full) {
            return wday >= 0 && wday < 7 ? std::string(kDays[wday]).substr(0, full ? 20 : 3) : "?";
        };
        auto month = [&](bool full) {
            return mon >= 0 && mon < 12 ? std::string(kMonths[mon]).substr(0, full ? 20 : 3) : "?";
        };
        switch (t) {
            case 'a': out += day(false); break;
            case 'A': out += day(true); break;
            case 'b': out += month(false); break;
            case 'B': out += month(true); break;
            case 'c':
                std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d", mon + 1, mday, (year + 1900) % 100,
                              hour, min, sec);
                out += buf;
                break;
            case 'd':
                std::snprintf(buf, sizeof buf, "%02d", mday);
                out += buf;
                break;
            case 'H':
                std::snprintf(buf, sizeof buf, "%02d", hour);
                out += buf;
                break;
            case 'I':
                std::snprintf(buf, sizeof buf, "%02d", hour % 12 ? hour % 12 : 12);
                out += buf;
                break;
            case 'j':
                std::snprintf(buf, sizeof buf, "%03d", yday + 1);
                out += buf;
                break;
            case 'm':
                std::snprintf(buf, sizeof buf, "%02d", mon + 1);
                out += buf;
                break;
            case 'M':
                std::snprintf(buf, sizeof buf, "%02d", min);
                out += buf;
                break;
            case 'p': out += hour < 12 ? "AM" : "PM"; break;
            case 'S':
                std::snprintf(buf, sizeof buf, "%02d", sec);
                out += buf;
                break;
            case 'w': out += std::to_string(wday); break;
            case 'x':
                std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", mon + 1, mday, (year + 1900) % 100);
                out += buf;
                break;
            case 'X':
                std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, min, sec);
                out += buf;
                break;
            case 'y':
                std::snprintf(buf, sizeof buf, "%02d", (year + 1900) % 100);
                out += buf;
                break;
            case 'Y': out += std::to_string(year + 1900); break;
            case 'z':
            case 'Z': break;  // the process's time zone has no name
            case '%': out += '%'; break;
            default: break;
        }
    }
    (void)sizeof(Out);
    return out;
}

}  // namespace

std::uint32_t strftime_(Cdecl& c, Str out, std::uint32_t n, Str format, Ptr<std::int32_t> tm) {
    const std::string text = strftime_text<char>(c, c.string(format), tm);
    if (text.size() + 1 > n) return 0;
    c.put_string(out, text);
    return static_cast<std::uint32_t>(text.size());
}

std::uint32_t wcsftime_(Cdecl& c, WStr out, std::uint32_t n, WStr format, Ptr<std::int32_t> tm) {
    std::string narrow;
    for (const char16_t u : c.wide(format)) narrow += to_ansi(u);
    const std::string text = strftime_text<char16_t>(c, narrow, tm);
    if (text.size() + 1 > n) return 0;
    std::u16string wide;
    for (const char b : text) wide += from_ansi(static_cast<unsigned char>(b));
    c.put_bytes(out.addr, wide.c_str(), (wide.size() + 1) * 2);
    return static_cast<std::uint32_t>(text.size());
}

}  // namespace q7host::win
