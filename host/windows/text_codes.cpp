// Conversions between code pages, and KERNEL32's functions for them and for system messages.
#include "text_codes.h"

#include "windows_internal.h"

#include <map>

namespace q7host::win {

namespace {

// Code page 1252 is Latin-1 but for 0x80..0x9F, where it has these (0: undefined).
constexpr char16_t k1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

char to_ansi(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (unsigned i = 0; i < 32; ++i) {
        if (k1252High[i] ? k1252High[i] == c : c == 0x80 + i) return static_cast<char>(0x80 + i);
    }
    return '?';
}

char16_t from_ansi(unsigned char c) {
    if (c < 0x80 || c >= 0xA0) return c;
    return k1252High[c - 0x80] ? k1252High[c - 0x80] : c;
}

std::optional<std::u16string> from_utf8(std::string_view s, bool strict) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        unsigned need = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 9;
        std::uint32_t cp = need == 0 ? b : need == 1 ? b & 0x1F : need == 2 ? b & 0x0F : b & 0x07;
        bool ok = need != 9;
        for (unsigned k = 1; ok && k <= need; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                ok = false;
            } else {
                cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            }
        }
        static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kLeast[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            if (strict) return std::nullopt;
            out += char16_t{0xFFFD};
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += need + 1;
    }
    return out;
}

std::string to_utf8(std::u16string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

constexpr std::uint32_t kUtf8 = 65001, kMbErrInvalidChars = 8;

// The code pages this process converts: its ANSI and OEM pages are 1252 (as
// GetACP says), and UTF-8; 0 when the page is none of them.
std::uint32_t page_of(std::uint32_t page) {
    switch (page) {
        case 0:  // CP_ACP
        case 1:  // CP_OEMCP
        case 3:  // CP_THREAD_ACP
        case 1252:
        case 20127:  // US-ASCII, a subset
        case 28591: return 1252;
        case kUtf8: return kUtf8;
        default: return 0;
    }
}

}  // namespace

std::uint32_t GetACP(Stdcall&) { return 1252; }
std::uint32_t GetOEMCP(Stdcall&) { return 1252; }
std::uint32_t IsDBCSLeadByteEx(Stdcall&, std::uint32_t, std::uint32_t) { return 0; }
std::uint32_t IsDBCSLeadByte(Stdcall&, std::uint32_t) { return 0; }

std::uint32_t MultiByteToWideChar(Stdcall& c, std::uint32_t page, std::uint32_t flags, Str in, std::int32_t n, WStr out,
                                  std::int32_t room) {
    const std::uint32_t cp = page_of(page);
    if (!cp || !in || n == 0 || room < 0 || (room && !out)) {
        c.set_last_error(cp ? kErrorInvalidParameter : kErrorInvalidParameter);
        return 0;
    }
    std::string bytes;
    if (n < 0) {
        bytes = c.string(in);
        bytes += '\0';
    } else {
        bytes.assign(reinterpret_cast<const char*>(c.bytes(in.addr, static_cast<std::size_t>(n)).data()),
                     static_cast<std::size_t>(n));
    }
    std::u16string wide;
    if (cp == kUtf8) {
        const auto converted = from_utf8(bytes, flags & kMbErrInvalidChars);
        if (!converted) {
            c.set_last_error(kErrorNoUnicodeTranslation);
            return 0;
        }
        wide = *converted;
    } else {
        for (const char b : bytes) wide += from_ansi(static_cast<unsigned char>(b));
    }
    if (room == 0) return static_cast<std::uint32_t>(wide.size());
    if (wide.size() > static_cast<std::size_t>(room)) {
        c.set_last_error(kErrorInsufficientBuffer);
        return 0;
    }
    c.put_bytes(out.addr, wide.data(), wide.size() * 2);
    return static_cast<std::uint32_t>(wide.size());
}

std::uint32_t WideCharToMultiByte(Stdcall& c, std::uint32_t page, std::uint32_t, WStr in, std::int32_t n, Str out,
                                  std::int32_t room, Str fallback, Ptr<std::uint32_t> used) {
    const std::uint32_t cp = page_of(page);
    if (!cp || !in || n == 0 || room < 0 || (room && !out) || (cp == kUtf8 && (fallback || used))) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    std::u16string wide;
    if (n < 0) {
        wide = c.wide(in);
        wide += u'\0';
    } else {
        const auto raw = c.bytes(in.addr, static_cast<std::size_t>(n) * 2);
        wide.assign(reinterpret_cast<const char16_t*>(raw.data()), static_cast<std::size_t>(n));
    }
    std::string bytes;
    bool defaulted = false;
    if (cp == kUtf8) {
        bytes = to_utf8(wide);
    } else {
        const char instead = fallback ? c.read(fallback) : '?';
        for (const char16_t u : wide) {
            const char b = to_ansi(u);
            const bool missing = b == '?' && u != u'?';
            defaulted = defaulted || missing;
            bytes += missing ? instead : b;
        }
    }
    if (used) c.write(used, defaulted ? 1u : 0u);
    if (room == 0) return static_cast<std::uint32_t>(bytes.size());
    if (bytes.size() > static_cast<std::size_t>(room)) {
        c.set_last_error(kErrorInsufficientBuffer);
        return 0;
    }
    c.put_bytes(out.addr, bytes.data(), bytes.size());
    return static_cast<std::uint32_t>(bytes.size());
}

// The system's messages for the errors this process gives, as English Windows words them.
std::uint32_t FormatMessageA(Stdcall& c, std::uint32_t flags, Addr source, std::uint32_t id, std::uint32_t, Str buffer,
                             std::uint32_t size, Addr) {
    constexpr std::uint32_t kAllocate = 0x100, kFromString = 0x400, kFromSystem = 0x1000, kMaxWidth = 0xFF;
    static const std::map<std::uint32_t, const char*> kMessages = {
        {0, "The operation completed successfully."},
        {2, "The system cannot find the file specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {12, "The access code is invalid."},
        {87, "The parameter is incorrect."},
        {122, "The data area passed to a system call is too small."},
        {126, "The specified module could not be found."},
        {127, "The specified procedure could not be found."},
        {259, "No more data is available."},
        {298, "Too many posts were made to a semaphore."},
        {487, "Attempt to access invalid address."},
        {998, "Invalid access to memory location."},
        {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    };
    std::string text;
    if (flags & kFromString) {
        text = c.string(Str{source});
    } else if (flags & kFromSystem) {
        const auto it = kMessages.find(id);
        if (it == kMessages.end()) {
            c.set_last_error(317);  // ERROR_MR_MID_NOT_FOUND
            return 0;
        }
        text = it->second;
        if ((flags & kMaxWidth) != kMaxWidth) text += "\r\n";
    } else {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    if (flags & kAllocate) {
        const Addr block =
            c.process.heap.allocate(static_cast<std::uint32_t>(std::max<std::size_t>(text.size() + 1, size)));
        if (!block) {
            c.set_last_error(kErrorNotEnoughMemory);
            return 0;
        }
        c.machine.write_bytes(block, text.c_str(), text.size() + 1);
        c.write(buffer.as<std::uint32_t>(), block);
        return static_cast<std::uint32_t>(text.size());
    }
    if (text.size() + 1 > size) {
        c.set_last_error(kErrorInsufficientBuffer);
        return 0;
    }
    c.put_string(buffer, text);
    return static_cast<std::uint32_t>(text.size());
}

}  // namespace q7host::win
