// msvcrt's characters, strings and conversions in the "C" locale, each as msvcrt.dll behaves: the
// character classes and their tables, the narrow and wide string and memory functions, text to
// numbers and back with msvcrt's errno, and qsort and bsearch, which call the module's comparator.
// Every unit is read and written through the module's memory as the real function reads it.
#include "windows_internal.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <type_traits>

namespace q7host::win {

// --- character classes ------------------------------------------------------

// msvcrt's _ctype in the "C" locale: the tab is a space but not a blank,
// letters are upper or lower without the alphabetic bit, and no byte above
// 0x7F has a class.
std::uint16_t narrow_class(std::uint32_t c) {
    if (c > 0xFF) return 0;
    if (c < 0x20) return c >= 9 && c <= 13 ? kSpace | kControl : kControl;
    if (c == ' ') return kSpace | kBlank;
    if (c >= '0' && c <= '9') return kDigit | kHex;
    if (c >= 'A' && c <= 'Z') return c <= 'F' ? kUpper | kHex : kUpper;
    if (c >= 'a' && c <= 'z') return c <= 'f' ? kLower | kHex : kLower;
    if (c < 0x7F) return kPunct;
    return c == 0x7F ? kControl : 0;
}

namespace {

// The classes of a wide character beyond Latin-1: the C library's Unicode
// tables (Windows's own give the same classes to letters, spaces,
// punctuation and controls).
std::uint16_t unicode_class(std::uint32_t c) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (!unicode) return 0;
    const auto w = static_cast<wint_t>(c);
    std::uint16_t m = 0;
    if (iswupper_l(w, unicode)) m |= kUpper | 0x100;
    if (iswlower_l(w, unicode)) m |= kLower | 0x100;
    if (iswalpha_l(w, unicode)) m |= 0x100;
    if (iswspace_l(w, unicode)) m |= kSpace;
    if (iswblank_l(w, unicode)) m |= kBlank;
    if (iswpunct_l(w, unicode)) m |= kPunct;
    if (iswcntrl_l(w, unicode)) m |= kControl;
    return m;
}

}  // namespace

// msvcrt's _pwctype: the ASCII characters as in _ctype but letters alphabetic
// and the tab a blank; 0x80..0x9F controls; Latin-1's letters upper or lower,
// its no-break space a blank space, the rest punctuation, the superscript
// digits digits too (as Windows classes them).
std::uint16_t wide_class(std::uint32_t c) {
    if (c < 0x80) {
        std::uint16_t m = narrow_class(c);
        if (m & (kUpper | kLower)) m |= 0x100;
        if (c == '\t') m |= kBlank;
        return m;
    }
    if (c < 0xA0) return kControl;
    if (c == 0xA0) return kSpace | kBlank;
    if (c < 0xC0) return c == 0xB2 || c == 0xB3 || c == 0xB9 ? kPunct | kDigit : kPunct;
    if (c == 0xD7 || c == 0xF7) return kPunct;
    if (c < 0xDF) return kUpper | 0x100;
    if (c <= 0xFF) return kLower | 0x100;
    return unicode_class(c);
}

namespace {

// EOF (-1) and what is no byte have no class.
std::int32_t _isctype(Cdecl&, std::int32_t c, std::int32_t mask) {
    return c >= 0 && c <= 255 ? narrow_class(static_cast<std::uint32_t>(c)) & mask : 0;
}
// The class tests, one a mask: isalpha, isdigit and the rest.
constexpr std::int32_t kAlnum = kAlpha | kDigit, kGraphic = kAlnum | kPunct, kPrintable = kGraphic | kBlank;
template <std::int32_t Mask>
std::int32_t is_class(Cdecl& c, std::int32_t ch) {
    return _isctype(c, ch, Mask);
}
std::int32_t isleadbyte_(Cdecl&, std::int32_t) { return 0; }  // code page 1252 has no lead bytes
std::int32_t isascii_(Cdecl&, std::int32_t ch) { return static_cast<std::uint32_t>(ch) < 0x80; }
std::int32_t toascii_(Cdecl&, std::int32_t ch) { return ch & 0x7F; }
std::int32_t iscsym_(Cdecl& c, std::int32_t ch) { return ch < 127 && (is_class<kAlnum>(c, ch) || ch == '_'); }
std::int32_t iscsymf_(Cdecl& c, std::int32_t ch) { return ch < 127 && (is_class<kAlpha>(c, ch) || ch == '_'); }
// The "C" locale changes the case of ASCII letters only.
std::int32_t toupper_(Cdecl&, std::int32_t ch) { return ch >= 'a' && ch <= 'z' ? ch - 32 : ch; }
std::int32_t tolower_(Cdecl&, std::int32_t ch) { return ch >= 'A' && ch <= 'Z' ? ch + 32 : ch; }
// The unchecked forms, which move any value by the distance between the cases.
std::int32_t toupper_unchecked(Cdecl&, std::int32_t ch) { return ch - 0x20; }
std::int32_t tolower_unchecked(Cdecl&, std::int32_t ch) { return ch + 0x20; }

// Wide characters arrive as a 16-bit wint_t in a 32-bit word.
std::int32_t iswctype_(Cdecl&, std::uint32_t ch, std::uint32_t mask) {
    const auto u = static_cast<std::uint16_t>(ch);
    return u == 0xFFFF ? 0 : static_cast<std::int32_t>(wide_class(u) & mask);
}
template <std::int32_t Mask>
std::int32_t isw_class(Cdecl& c, std::uint32_t ch) {
    return iswctype_(c, ch, Mask);
}
std::int32_t iswascii_(Cdecl&, std::uint32_t ch) { return static_cast<std::uint16_t>(ch) < 0x80; }
std::uint32_t towlower_(Cdecl&, std::uint32_t ch) {
    const auto u = static_cast<std::uint16_t>(ch);
    return u >= 'A' && u <= 'Z' ? u + 32u : u;
}
std::uint32_t towupper_(Cdecl&, std::uint32_t ch) {
    const auto u = static_cast<std::uint16_t>(ch);
    return u >= 'a' && u <= 'z' ? u - 32u : u;
}

Addr __pctype_func(Cdecl& c) { return c.machine.read(c.process.pctype); }
Addr __pwctype_func(Cdecl& c) { return c.machine.read(c.process.pwctype); }
Addr __p__pctype(Cdecl& c) { return c.process.pctype; }
Addr __p__pwctype(Cdecl& c) { return c.process.pwctype; }

// --- strings and memory -----------------------------------------------------

std::int32_t sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }
char lower(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch; }
char upper(char ch) { return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 32) : ch; }

std::uint32_t strlen_(Cdecl& c, Str s) { return static_cast<std::uint32_t>(c.string(s).size()); }
std::uint32_t wcslen_(Cdecl& c, WStr s) { return static_cast<std::uint32_t>(c.wide(s).size()); }
std::int32_t strcmp_(Cdecl& c, Str a, Str b) {
    for (std::uint32_t i = 0;; ++i) {
        const auto x = static_cast<unsigned char>(c.read(a, i)), y = static_cast<unsigned char>(c.read(b, i));
        if (x != y || !x) return sign(x - y);
    }
}
std::int32_t strncmp_(Cdecl& c, Str a, Str b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(c.read(a, i)), y = static_cast<unsigned char>(c.read(b, i));
        if (x != y || !x) return sign(x - y);
    }
    return 0;
}
// _stricmp and _strnicmp compare the lower-case forms, and give their difference.
std::int32_t _strnicmp(Cdecl& c, Str a, Str b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(lower(c.read(a, i)));
        const auto y = static_cast<unsigned char>(lower(c.read(b, i)));
        if (x != y || !x) return x - y;
    }
    return 0;
}
std::int32_t _stricmp(Cdecl& c, Str a, Str b) { return _strnicmp(c, a, b, 0xFFFFFFFF); }
Addr strchr_(Cdecl& c, Str s, std::int32_t ch) {
    for (std::uint32_t i = 0;; ++i) {
        const char x = c.read(s, i);
        if (x == static_cast<char>(ch)) return s.addr + i;
        if (!x) return 0;
    }
}
Addr strrchr_(Cdecl& c, Str s, std::int32_t ch) {
    Addr last = 0;
    for (std::uint32_t i = 0;; ++i) {
        const char x = c.read(s, i);
        if (x == static_cast<char>(ch)) last = s.addr + i;
        if (!x) return last;
    }
}
Addr strstr_(Cdecl& c, Str hay, Str needle) {
    const std::string text = c.string(hay), want = c.string(needle);
    const std::size_t at = text.find(want);
    return at == std::string::npos ? 0 : hay.addr + static_cast<Addr>(at);
}
// The length of the run at the start of `s` of bytes in `set` (or, for
// strcspn, not in it).
std::uint32_t span(Api& c, Str s, Str set, bool in) {
    const std::string bytes = c.string(set);
    std::uint32_t i = 0;
    for (char x; (x = c.read(s, i)) != '\0' && (bytes.find(x) != std::string::npos) == in;) ++i;
    return i;
}
std::uint32_t strspn_(Cdecl& c, Str s, Str set) { return span(c, s, set, true); }
std::uint32_t strcspn_(Cdecl& c, Str s, Str set) { return span(c, s, set, false); }
Addr strpbrk_(Cdecl& c, Str s, Str set) {
    const std::uint32_t n = span(c, s, set, false);
    return c.read(s, n) ? s.addr + n : 0;
}
Addr strcpy_(Cdecl& c, Str to, Str from) {
    c.put_string(to, c.string(from));
    return to.addr;
}
Addr strcat_(Cdecl& c, Str to, Str from) {
    const std::string head = c.string(to);
    c.put_string(to + static_cast<std::uint32_t>(head.size()), c.string(from));
    return to.addr;
}
// At most n bytes of `from`, then always a NUL.
Addr strncat_(Cdecl& c, Str to, Str from, std::uint32_t n) {
    const std::string head = c.string(to);
    c.put_string(to + static_cast<std::uint32_t>(head.size()), c.string(from, n));
    return to.addr;
}
Addr strncpy_(Cdecl& c, Str to, Str from, std::uint32_t n) {
    std::string text = c.string(from, n);
    text.resize(n, '\0');
    c.put_bytes(to.addr, text.data(), n);
    return to.addr;
}
// Changes the text where it lies.
Addr rewrite(Api& c, Str s, char (*f)(char)) {
    std::string text = c.string(s);
    std::transform(text.begin(), text.end(), text.begin(), f);
    c.put_bytes(s.addr, text.data(), text.size());
    return s.addr;
}
Addr _strlwr(Cdecl& c, Str s) { return rewrite(c, s, lower); }
Addr _strupr(Cdecl& c, Str s) { return rewrite(c, s, upper); }
Addr _strrev(Cdecl& c, Str s) {
    std::string text = c.string(s);
    std::reverse(text.begin(), text.end());
    c.put_bytes(s.addr, text.data(), text.size());
    return s.addr;
}
// strtok keeps where it is between calls (one thread: one place).
Addr strtok_(Cdecl& c, Str s, Str delimiters) {
    Str at = s ? s : Str{c.process.strtok_next};
    if (!at) return 0;
    const std::string set = c.string(delimiters);
    auto in_set = [&](char x) { return set.find(x) != std::string::npos; };
    while (c.read(at) && in_set(c.read(at))) at = at + 1;
    if (!c.read(at)) {
        c.process.strtok_next = 0;
        return 0;
    }
    Str end = at;
    while (c.read(end) && !in_set(c.read(end))) end = end + 1;
    if (c.read(end)) {
        c.write(end, '\0');
        c.process.strtok_next = end.addr + 1;
    } else {
        c.process.strtok_next = end.addr;
    }
    return at.addr;
}
Addr _strdup(Cdecl& c, Str s) {
    if (!s) return 0;
    const std::string text = c.string(s);
    const Addr a = crt_malloc(c, static_cast<std::uint32_t>(text.size() + 1));
    if (a) c.machine.write_bytes(a, text.c_str(), text.size() + 1);
    return a;
}

Addr memcpy_(Cdecl& c, Void to, Void from, std::uint32_t n) {
    if (n) c.put_bytes(to.addr, c.bytes(from.addr, n).data(), n);
    return to.addr;
}
Addr memset_(Cdecl& c, Void to, std::int32_t v, std::uint32_t n) {
    const std::vector<std::uint8_t> fill(n, static_cast<std::uint8_t>(v));
    if (n) c.put_bytes(to.addr, fill.data(), n);
    return to.addr;
}
std::int32_t memcmp_(Cdecl& c, Void a, Void b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto x = c.read(a.as<std::uint8_t>(), i), y = c.read(b.as<std::uint8_t>(), i);
        if (x != y) return sign(x - y);
    }
    return 0;
}
Addr memchr_(Cdecl& c, Void s, std::int32_t v, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (c.read(s.as<std::uint8_t>(), i) == static_cast<std::uint8_t>(v)) return s.addr + i;
    }
    return 0;
}

// Wide strings.
void put_wide(Api& c, WStr to, std::u16string_view text) {
    c.put_bytes(to.addr, text.data(), 2 * text.size());
    c.write(to + static_cast<std::uint32_t>(text.size()), u'\0');
}
Addr wcscpy_(Cdecl& c, WStr to, WStr from) {
    put_wide(c, to, c.wide(from));
    return to.addr;
}
Addr wcsncpy_(Cdecl& c, WStr to, WStr from, std::uint32_t n) {
    std::u16string text = c.wide(from, n);
    text.resize(n, u'\0');
    c.put_bytes(to.addr, text.data(), 2 * static_cast<std::size_t>(n));
    return to.addr;
}
Addr wcscat_(Cdecl& c, WStr to, WStr from) {
    const std::u16string head = c.wide(to);
    put_wide(c, to + static_cast<std::uint32_t>(head.size()), c.wide(from));
    return to.addr;
}
Addr wcsncat_(Cdecl& c, WStr to, WStr from, std::uint32_t n) {
    const std::u16string head = c.wide(to);
    put_wide(c, to + static_cast<std::uint32_t>(head.size()), c.wide(from, n));
    return to.addr;
}
std::int32_t wcscmp_(Cdecl& c, WStr a, WStr b) {
    for (std::uint32_t i = 0;; ++i) {
        const char16_t x = c.read(a, i), y = c.read(b, i);
        if (x != y || !x) return sign(x - y);
    }
}
std::int32_t wcsncmp_(Cdecl& c, WStr a, WStr b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const char16_t x = c.read(a, i), y = c.read(b, i);
        if (x != y || !x) return x - y;
    }
    return 0;
}
std::int32_t _wcsicmp(Cdecl& c, WStr a, WStr b) {
    for (std::uint32_t i = 0;; ++i) {
        char16_t x = c.read(a, i), y = c.read(b, i);
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y || !x) return x - y;
    }
}
Addr wcschr_(Cdecl& c, WStr s, std::uint32_t ch) {
    for (std::uint32_t i = 0;; ++i) {
        const char16_t x = c.read(s, i);
        if (x == static_cast<char16_t>(ch)) return s.addr + 2 * i;
        if (!x) return 0;
    }
}
Addr wcsrchr_(Cdecl& c, WStr s, std::uint32_t ch) {
    Addr last = 0;
    for (std::uint32_t i = 0;; ++i) {
        const char16_t x = c.read(s, i);
        if (x == static_cast<char16_t>(ch)) last = s.addr + 2 * i;
        if (!x) return last;
    }
}
Addr wcsstr_(Cdecl& c, WStr hay, WStr needle) {
    const std::u16string text = c.wide(hay), want = c.wide(needle);
    const std::size_t at = text.find(want);
    return at == std::u16string::npos ? 0 : hay.addr + 2 * static_cast<Addr>(at);
}
Addr _wcsdup(Cdecl& c, WStr s) {
    if (!s) return 0;
    const std::u16string text = c.wide(s);
    const Addr a = crt_malloc(c, static_cast<std::uint32_t>(2 * (text.size() + 1)));
    if (a) c.machine.write_bytes(a, text.c_str(), 2 * (text.size() + 1));
    return a;
}

// The "C" locale's collation is the order of the bytes.
std::int32_t strcoll_(Cdecl& c, Str a, Str b) { return strcmp_(c, a, b); }
std::uint32_t strxfrm_(Cdecl& c, Str out, Str in, std::uint32_t n) {
    const std::string text = c.string(in);
    if (text.size() < n) c.put_string(out, text);
    return static_cast<std::uint32_t>(text.size());
}
std::int32_t wcscoll_(Cdecl& c, WStr a, WStr b) {
    const std::u16string x = c.wide(a), y = c.wide(b);
    return x < y ? -1 : x > y ? 1 : 0;
}
std::uint32_t wcsxfrm_(Cdecl& c, WStr out, WStr in, std::uint32_t n) {
    const std::u16string text = c.wide(in);
    if (text.size() < n) put_wide(c, out, text);
    return static_cast<std::uint32_t>(text.size());
}

// --- numbers from text --------------------------------------------------------

// The units of a text the module gave, read one at a time as the real
// function reads them; `space` is isspace or iswspace.
template <typename U>
struct Reader {
    Api& c;
    Ptr<U> at;
    std::uint32_t i = 0;
    std::uint32_t peek(std::uint32_t ahead = 0) const {
        return static_cast<std::make_unsigned_t<U>>(c.read(at, i + ahead));
    }
    bool space() const {
        const std::uint32_t u = peek();
        return sizeof(U) == 1 ? (narrow_class(u) & kSpace) != 0 : (wide_class(u) & kSpace) != 0;
    }
};

// msvcrt's strtol family: spaces, a sign, "0x" for base 16 (and base 0,
// which takes 0 for octal), then the digits. A value past the limit is
// ERANGE and the limit (for the unsigned forms the maximum, then negated
// when the text had a minus, as msvcrt does); no digits is 0, `end` at the
// text's start; a base that is none is EINVAL.
template <typename U>
std::uint64_t to_integer(Api& c, Ptr<U> text, Ptr<Addr> end, std::int32_t base, bool is_signed, std::uint64_t max) {
    if (end) c.write(end, text.addr);
    if (base < 0 || base == 1 || base > 36) {
        set_errno(c, kEinval);
        return 0;
    }
    Reader<U> r{c, text};
    while (r.space()) ++r.i;
    const bool negative = r.peek() == '-';
    if (negative || r.peek() == '+') ++r.i;
    const bool hex_prefix = r.peek() == '0' && (r.peek(1) == 'x' || r.peek(1) == 'X');
    if (base == 0) base = r.peek() != '0' ? 10 : hex_prefix ? 16 : 8;
    if (base == 16 && hex_prefix) r.i += 2;
    // The largest magnitude each sign allows.
    const std::uint64_t limit = !is_signed ? max : negative ? max / 2 + 1 : max / 2;
    std::uint64_t value = 0;
    bool digits = false, overflow = false;
    for (;; ++r.i) {
        const std::uint32_t u = r.peek();
        const std::uint32_t digit = u >= '0' && u <= '9'   ? u - '0'
                                    : u >= 'a' && u <= 'z' ? u - 'a' + 10
                                    : u >= 'A' && u <= 'Z' ? u - 'A' + 10
                                                           : 99;
        if (digit >= static_cast<std::uint32_t>(base)) break;
        digits = true;
        if (value > (max - digit) / static_cast<std::uint32_t>(base)) {
            overflow = true;
        } else {
            value = value * static_cast<std::uint32_t>(base) + digit;
        }
    }
    if (!digits) return 0;
    if (end) c.write(end, text.addr + r.i * static_cast<Addr>(sizeof(U)));
    if (overflow || value > limit) {
        set_errno(c, kErange);
        value = !is_signed ? max : limit;
    }
    return negative ? (0 - value) & max : value;
}

std::int32_t strtol_(Cdecl& c, Str s, Ptr<Addr> end, std::int32_t base) {
    return static_cast<std::int32_t>(to_integer(c, s, end, base, true, 0xFFFFFFFFu));
}
std::uint32_t strtoul_(Cdecl& c, Str s, Ptr<Addr> end, std::int32_t base) {
    return static_cast<std::uint32_t>(to_integer(c, s, end, base, false, 0xFFFFFFFFu));
}
std::int64_t _strtoi64(Cdecl& c, Str s, Ptr<Addr> end, std::int32_t base) {
    return static_cast<std::int64_t>(to_integer(c, s, end, base, true, ~std::uint64_t{0}));
}
std::uint64_t _strtoui64(Cdecl& c, Str s, Ptr<Addr> end, std::int32_t base) {
    return to_integer(c, s, end, base, false, ~std::uint64_t{0});
}
std::int32_t wcstol_(Cdecl& c, WStr s, Ptr<Addr> end, std::int32_t base) {
    return static_cast<std::int32_t>(to_integer(c, s, end, base, true, 0xFFFFFFFFu));
}
std::uint32_t wcstoul_(Cdecl& c, WStr s, Ptr<Addr> end, std::int32_t base) {
    return static_cast<std::uint32_t>(to_integer(c, s, end, base, false, 0xFFFFFFFFu));
}

// msvcrt's atoi and _atoi64: spaces, a sign, decimal digits; a value too
// large wraps (neither saturates nor sets errno).
template <typename U>
std::uint64_t wrapped_decimal(Api& c, Ptr<U> s) {
    Reader<U> r{c, s};
    while (r.space()) ++r.i;
    const bool negative = r.peek() == '-';
    if (negative || r.peek() == '+') ++r.i;
    std::uint64_t v = 0;
    for (; r.peek() >= '0' && r.peek() <= '9'; ++r.i) v = v * 10 + (r.peek() - '0');
    return negative ? 0 - v : v;
}
std::int32_t atoi_(Cdecl& c, Str s) { return static_cast<std::int32_t>(wrapped_decimal(c, s)); }
std::int64_t _atoi64(Cdecl& c, Str s) { return static_cast<std::int64_t>(wrapped_decimal(c, s)); }
std::int32_t _wtoi(Cdecl& c, WStr s) { return static_cast<std::int32_t>(wrapped_decimal(c, s)); }

// msvcrt's strtod: spaces, a sign, digits with a '.', an exponent after e,
// E, d or D (only when digits follow it); no "inf", "nan" or hexadecimal
// form. Out of range is ERANGE: HUGE_VAL with the sign, or 0.
template <typename U>
double to_double(Api& c, Ptr<U> s, Ptr<Addr> end) {
    Reader<U> r{c, s};
    while (r.space()) ++r.i;
    std::string text;
    if (r.peek() == '-' || r.peek() == '+') {
        text += static_cast<char>(r.peek());
        ++r.i;
    }
    bool digits = false, nonzero = false;
    for (bool point = false;; ++r.i) {
        const std::uint32_t u = r.peek();
        if (u >= '0' && u <= '9') {
            digits = true;
            nonzero = nonzero || u != '0';
        } else if (u != '.' || point) {
            break;
        }
        point = point || u == '.';
        text += static_cast<char>(u);
    }
    if (!digits) {
        if (end) c.write(end, s.addr);
        return 0;
    }
    if (const std::uint32_t e = r.peek(); e == 'e' || e == 'E' || e == 'd' || e == 'D') {
        const std::uint32_t sign_at = r.peek(1) == '+' || r.peek(1) == '-' ? 1 : 0;
        if (r.peek(1 + sign_at) >= '0' && r.peek(1 + sign_at) <= '9') {
            text += 'e';
            if (sign_at) text += static_cast<char>(r.peek(1));
            r.i += 1 + sign_at;
            for (; r.peek() >= '0' && r.peek() <= '9'; ++r.i) text += static_cast<char>(r.peek());
        }
    }
    if (end) c.write(end, s.addr + r.i * static_cast<Addr>(sizeof(U)));
    const double v = std::strtod(text.c_str(), nullptr);
    if (std::isinf(v) || (v == 0 && nonzero)) set_errno(c, kErange);
    return v;
}
double strtod_(Cdecl& c, Str s, Ptr<Addr> end) { return to_double(c, s, end); }
double wcstod_(Cdecl& c, WStr s, Ptr<Addr> end) { return to_double(c, s, end); }
double atof_(Cdecl& c, Str s) { return to_double(c, s, Ptr<Addr>{}); }

// --- numbers to text --------------------------------------------------------

// The digits of `v` in `radix` (lower-case letters), with a minus for a
// negative value in base 10; a radix outside 2..36 is EINVAL and an empty text.
Addr to_text(Api& c, std::uint64_t v, bool negative, Str out, std::int32_t radix) {
    if (radix < 2 || radix > 36) {
        set_errno(c, kEinval);
        c.put_string(out, "");
        return out.addr;
    }
    std::string digits;
    do {
        const auto d = static_cast<char>(v % static_cast<std::uint32_t>(radix));
        digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10));
        v /= static_cast<std::uint32_t>(radix);
    } while (v);
    if (negative) digits.insert(digits.begin(), '-');
    c.put_string(out, digits);
    return out.addr;
}
Addr _itoa(Cdecl& c, std::int32_t v, Str out, std::int32_t radix) {
    const bool negative = radix == 10 && v < 0;
    return to_text(c, negative ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v), negative, out,
                   radix);
}
Addr _ultoa(Cdecl& c, std::uint32_t v, Str out, std::int32_t radix) { return to_text(c, v, false, out, radix); }
Addr _i64toa(Cdecl& c, std::int64_t v, Str out, std::int32_t radix) {
    const bool negative = radix == 10 && v < 0;
    return to_text(c, negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v), negative, out,
                   radix);
}
Addr _ui64toa(Cdecl& c, std::uint64_t v, Str out, std::int32_t radix) { return to_text(c, v, false, out, radix); }

// --- sorting and searching ------------------------------------------------

// Calls the module's comparator (cdecl) on two elements; once a call has
// not come back, the sort or search stops.
struct Comparator {
    CdeclCalling& c;
    Addr compare;
    bool failed = false;
    std::int32_t operator()(Addr a, Addr b) {
        if (failed) return 0;
        const CallOutcome out = c.call_module(compare, {a, b}, Convention::kCdecl);
        failed = !out.completed;
        return static_cast<std::int32_t>(out.eax);
    }
};

// Sorts in place, in the module's memory, so that the comparator sees the
// elements where they lie: quicksort on the median of three, small runs by
// insertion.
void qsort_(CdeclCalling& c, Addr base, std::uint32_t n, std::uint32_t width, Addr compare) {
    if (n < 2 || width == 0) return;
    Comparator cmp{c, compare};
    auto at = [&](std::uint32_t i) { return base + i * width; };
    auto swap = [&](std::uint32_t i, std::uint32_t j) {
        if (i == j) return;
        const auto x = c.bytes(at(i), width), y = c.bytes(at(j), width);
        c.put_bytes(at(i), y.data(), width);
        c.put_bytes(at(j), x.data(), width);
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> todo{{0, n - 1}};  // inclusive ranges
    while (!todo.empty() && !cmp.failed) {
        auto [lo, hi] = todo.back();
        todo.pop_back();
        if (hi - lo < 8) {
            for (std::uint32_t i = lo + 1; i <= hi && !cmp.failed; ++i) {
                for (std::uint32_t j = i; j > lo && cmp(at(j - 1), at(j)) > 0; --j) swap(j - 1, j);
            }
            continue;
        }
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (cmp(at(mid), at(lo)) < 0) swap(mid, lo);
        if (cmp(at(hi), at(lo)) < 0) swap(hi, lo);
        if (cmp(at(hi), at(mid)) < 0) swap(hi, mid);
        swap(mid, hi - 1);  // the pivot, out of the way
        const std::uint32_t pivot = hi - 1;
        // Bounded scans: a comparator that contradicts itself stays within the array.
        std::uint32_t i = lo, j = pivot;
        for (;;) {
            do {
                ++i;
            } while (i < pivot && cmp(at(i), at(pivot)) < 0);
            do {
                --j;
            } while (j > lo && cmp(at(pivot), at(j)) < 0);
            if (i >= j || cmp.failed) break;
            swap(i, j);
        }
        swap(i, pivot);
        if (i > lo + 1) todo.emplace_back(lo, i - 1);
        if (i + 1 < hi) todo.emplace_back(i + 1, hi);
    }
}

Addr bsearch_(CdeclCalling& c, Addr key, Addr base, std::uint32_t n, std::uint32_t width, Addr compare) {
    Comparator cmp{c, compare};
    std::uint32_t lo = 0, hi = n;
    while (lo < hi && !cmp.failed) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const std::int32_t r = cmp(key, base + mid * width);
        if (r == 0 && !cmp.failed) return base + mid * width;
        if (r < 0) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return 0;
}

constexpr Export kExports[] = {
    fn<&isascii_>("__isascii"),
    fn<&iscsym_>("__iscsym"),
    fn<&iscsymf_>("__iscsymf"),
    fn<&__p__pctype>("__p__pctype"),
    fn<&__p__pwctype>("__p__pwctype"),
    fn<&__pctype_func>("__pctype_func"),
    fn<&__pwctype_func>("__pwctype_func"),
    fn<&toascii_>("__toascii"),
    fn<&_atoi64>("_atoi64"),
    data("_ctype", &ProcessState::ctype),
    fn<&_i64toa>("_i64toa"),
    fn<&_isctype>("_isctype"),
    fn<&_itoa>("_itoa"),
    fn<&_itoa>("_ltoa"),
    data("_pctype", &ProcessState::pctype),
    data("_pwctype", &ProcessState::pwctype),
    fn<&_strdup>("_strdup"),
    fn<&_stricmp>("_stricmp"),
    fn<&_strlwr>("_strlwr"),
    fn<&_strnicmp>("_strnicmp"),
    fn<&_strrev>("_strrev"),
    fn<&_strtoi64>("_strtoi64"),
    fn<&_strtoui64>("_strtoui64"),
    fn<&_strupr>("_strupr"),
    fn<&tolower_unchecked>("_tolower"),
    fn<&toupper_unchecked>("_toupper"),
    fn<&_ui64toa>("_ui64toa"),
    fn<&_ultoa>("_ultoa"),
    fn<&_wcsdup>("_wcsdup"),
    fn<&_wcsicmp>("_wcsicmp"),
    fn<&_wtoi>("_wtoi"),
    fn<&_wtoi>("_wtol"),
    fn<&atof_>("atof"),
    fn<&atoi_>("atoi"),
    fn<&atoi_>("atol"),
    fn<&bsearch_>("bsearch"),
    fn<&is_class<kAlnum>>("isalnum"),
    fn<&is_class<kAlpha>>("isalpha"),
    fn<&is_class<kControl>>("iscntrl"),
    fn<&is_class<kDigit>>("isdigit"),
    fn<&is_class<kGraphic>>("isgraph"),
    fn<&isleadbyte_>("isleadbyte"),
    fn<&is_class<kLower>>("islower"),
    fn<&is_class<kPrintable>>("isprint"),
    fn<&is_class<kPunct>>("ispunct"),
    fn<&is_class<kSpace>>("isspace"),
    fn<&is_class<kUpper>>("isupper"),
    fn<&isw_class<kAlnum>>("iswalnum"),
    fn<&isw_class<kAlpha>>("iswalpha"),
    fn<&iswascii_>("iswascii"),
    fn<&isw_class<kControl>>("iswcntrl"),
    fn<&iswctype_>("iswctype"),
    fn<&isw_class<kDigit>>("iswdigit"),
    fn<&isw_class<kGraphic>>("iswgraph"),
    fn<&isw_class<kLower>>("iswlower"),
    fn<&isw_class<kPrintable>>("iswprint"),
    fn<&isw_class<kPunct>>("iswpunct"),
    fn<&isw_class<kSpace>>("iswspace"),
    fn<&isw_class<kUpper>>("iswupper"),
    fn<&isw_class<kHex>>("iswxdigit"),
    fn<&is_class<kHex>>("isxdigit"),
    fn<&memchr_>("memchr"),
    fn<&memcmp_>("memcmp"),
    fn<&memcpy_>("memcpy"),
    fn<&memcpy_>("memmove"),
    fn<&memset_>("memset"),
    fn<&qsort_>("qsort"),
    fn<&strcat_>("strcat"),
    fn<&strchr_>("strchr"),
    fn<&strcmp_>("strcmp"),
    fn<&strcoll_>("strcoll"),
    fn<&strcpy_>("strcpy"),
    fn<&strcspn_>("strcspn"),
    fn<&strlen_>("strlen"),
    fn<&strncat_>("strncat"),
    fn<&strncmp_>("strncmp"),
    fn<&strncpy_>("strncpy"),
    fn<&strpbrk_>("strpbrk"),
    fn<&strrchr_>("strrchr"),
    fn<&strspn_>("strspn"),
    fn<&strstr_>("strstr"),
    fn<&strtod_>("strtod"),
    fn<&strtok_>("strtok"),
    fn<&strtol_>("strtol"),
    fn<&strtoul_>("strtoul"),
    fn<&strxfrm_>("strxfrm"),
    fn<&tolower_>("tolower"),
    fn<&toupper_>("toupper"),
    fn<&towlower_>("towlower"),
    fn<&towupper_>("towupper"),
    fn<&wcscat_>("wcscat"),
    fn<&wcschr_>("wcschr"),
    fn<&wcscmp_>("wcscmp"),
    fn<&wcscoll_>("wcscoll"),
    fn<&wcscpy_>("wcscpy"),
    fn<&wcslen_>("wcslen"),
    fn<&wcsncat_>("wcsncat"),
    fn<&wcsncmp_>("wcsncmp"),
    fn<&wcsncpy_>("wcsncpy"),
    fn<&wcsrchr_>("wcsrchr"),
    fn<&wcsstr_>("wcsstr"),
    fn<&wcstod_>("wcstod"),
    fn<&wcstol_>("wcstol"),
    fn<&wcstoul_>("wcstoul"),
    fn<&wcsxfrm_>("wcsxfrm"),
};

}  // namespace

const DllTable kMsvcrtText{"msvcrt.dll", std::begin(kExports), std::end(kExports), &kMsvcrtMath};

}  // namespace q7host::win
