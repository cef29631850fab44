// The host's wsprintfA formatter on its own: the conversions, sizes and flags
// of 32-bit Windows's wsprintfA, wide text in the ANSI code page, and the
// 1024-character cap that holds whatever width a format asks for.
#include "host/windows.h"
#include "host/wsprintf.h"
#include "panel/hex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include <map>
#include <string>
#include <vector>

namespace {

// Strings the arguments point at, by address; any other address points nowhere.
const std::map<std::uint32_t, std::string> kNarrow = {
    {0x1000, "NIMIT"}, {0x1100, "G\xFFTE"}, {0x1200, std::string(3000, 'z')}};
const std::map<std::uint32_t, std::u16string> kWide = {
    {0x2000, u"SFINT"}, {0x2100, u"\u20AC\u00E9\u2606"}, {0x2200, u"\xD83C\xDF77"}};

template <typename Text>
std::optional<Text> lookup(const std::map<std::uint32_t, Text>& texts, std::uint32_t at, std::size_t limit) {
    const auto it = texts.find(at);
    if (it == texts.end()) return std::nullopt;
    return it->second.substr(0, limit);
}

std::optional<std::string> format(const std::string& f, std::vector<std::uint32_t> args = {}) {
    std::size_t next = 0;
    return q7host::format_wsprintf(
        f, [&] { return next < args.size() ? args[next++] : 0u; },
        {.read_string = [](std::uint32_t at, std::size_t limit) { return lookup(kNarrow, at, limit); },
         .read_wide = [](std::uint32_t at, std::size_t limit) { return lookup(kWide, at, limit); }});
}

std::vector<std::uint32_t> words64(std::uint64_t v) {
    return {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
}

}  // namespace

TEST(Wsprintf, FormatsAsWindowsDoes) {
    const struct {
        const char* format;
        std::vector<std::uint32_t> args;
        const char* want;
    } cases[] = {
        {"%5d", {12345}, "12345"},
        {"%4d", {12}, "  12"},
        {"%3d", {0}, "  0"},
        {"%d", {0xFFFFFFFF}, "-1"},
        {"%d", {0x80000000}, "-2147483648"},
        {"%05d", {0xFFFFFFF6}, "-0010"},
        {"%-4d|", {3}, "3   |"},
        {"%-05d|", {3}, "3    |"},
        {"%u", {0xFFFFFFFF}, "4294967295"},
        {"%x %X %#x %#X %#x", {255, 255, 255, 255, 0}, "ff FF 0xff 0XFF 0"},
        {"%08lX", {0xBEEF}, "0000BEEF"},
        {"%.3d", {7}, "007"},
        {"100%%", {}, "100%"},
        // Not a conversion: the character as it stands, padded to the width,
        // the % and the flags dropped; the 0x of # outside the width; a
        // width at the end still pads.
        {"%q", {}, "q"},
        {"%2e|%#o|GG%EE|%+d|%lld", {}, " e|o|GGEE|+d|ld"},
        {"%#010x|%-#5x|", {1, 1}, "0x0000000001|0x1    |"},
        {"%", {}, ""},
        {"%2", {}, "  "},
        {"%wc", {0x20AC}, "\x80"},
        // 32-bit Windows's sizes: I64 takes two words, I32 and I one.
        {"%I64X", words64(0x000123450067890Aull), "123450067890A"},
        {"%I32X", words64(0x000123450067890Aull), "67890A"},
        {"%I32X|%X", words64(0x000123450067890Aull), "67890A|12345"},
        {"%I64d", words64(543210000000ull), "543210000000"},
        {"%I64X", words64(static_cast<std::uint64_t>(-0x12345ll)), "FFFFFFFFFFFEDCBB"},
        {"%I32x", words64(static_cast<std::uint64_t>(-0x12345ll)), "fffedcbb"},
        {"%I64u", words64(static_cast<std::uint64_t>(-123ll)), "18446744073709551493"},
        {"%I64d", words64(static_cast<std::uint64_t>(-123ll)), "-123"},
        {"%Id", {static_cast<std::uint32_t>(-12345)}, "-12345"},
        {"%Ix", {static_cast<std::uint32_t>(-0x12345)}, "fffedcbb"},
        {"%p", {static_cast<std::uint32_t>(-0x12345)}, "FFFEDCBB"},
        {"%p", {0x1234}, "00001234"},
        {"%010ld", {0xFFFFFFFF}, "-000000001"},
        // Characters: %c and %hC narrow, %C and %lc wide in the ANSI code page.
        {"%c%c", {'o', 'k'}, "ok"},
        {"%C%lc%hC", {0x20AC, 0xE9, 'x'}, "\x80\xE9x"},
        {"%C", {0x2606}, "?"},
        // Strings: %s and %hs narrow, %S and %ls wide; a null one is "(null)".
        {"[%s|%hs]", {0x1000, 0x1100}, "[NIMIT|G\xFFTE]"},
        {"[%-7s]", {0x1000}, "[NIMIT  ]"},
        {"[%.2s]", {0x1000}, "[NI]"},
        {"[%S|%ls|%hS]", {0x2000, 0x2100, 0x1000}, "[SFINT|\x80\xE9?|NIMIT]"},
        {"[%.2S]", {0x2200}, "[??]"},
        {"[%s|%S]", {0, 0}, "[(null)|(null)]"},
    };
    for (const auto& c : cases) {
        const auto got = format(c.format, c.args);
        ASSERT_TRUE(got) << c.format;
        EXPECT_EQ(*got, c.want) << c.format;
    }
    // A string argument that points nowhere ends the formatting.
    EXPECT_FALSE(format("%s", {0x3000}));
    EXPECT_FALSE(format("%S", {0x1000 + 1}));
}

TEST(Wsprintf, WritesAtMost1024CharactersWhateverTheWidth) {
    EXPECT_EQ(format(std::string(2000, 'a'))->size(), q7host::kWsprintfLimit);
    EXPECT_EQ(format("%1500d", {5}), std::string(1024, ' '));
    EXPECT_EQ(format("%1500I64d", words64(5)), std::string(1024, ' '));
    EXPECT_EQ(format("%d%s", {42, 0x1200}), "42" + std::string(1022, 'z'));
    // A width of nearly a billion is cut to the room left (a formatter that
    // padded first would not finish within the test's time limit).
    EXPECT_EQ(format("ab%999999999d", {1}), "ab" + std::string(1022, ' '));
}

// wsprintfA in the machine reads and writes as the module's own code would: a
// pointer leading where the module may not read or write is an access
// violation in the module's call, named at the function.
TEST(Wsprintf, APointerLeadingNowhereIsTheCallersCrash) {
    using q7host::Addr;

    const struct {
        const char* label;
        bool dest_writable;
        const char* format;
        std::uint32_t arg;  // 0 stands for the readable text below
        const char* says;   // empty: it writes "<x>" and returns 3
    } cases[] = {
        {"a text", true, "<%s>", 0, ""},
        {"%s into nowhere", true, "<%s>", 0x00000010, "an access violation reading 0x00000010 (0xC0000005)"},
        {"%S into nowhere", true, "<%S>", 0x7FFD0000, "an access violation reading 0x7FFD0000 (0xC0000005)"},
        {"into a page with no access", true, "<%s>", 0x50000000, "an access violation reading 0x50000000 (0xC0000005)"},
        {"to read-only memory", false, "<%s>", 0, "an access violation writing"},
    };
    for (const auto& c : cases) {
        q7host::Machine m;
        q7host::WindowsProcess process(m);
        m.map(0x50000000, q7host::Machine::kPage, q7host::prot::kNone);
        const Addr stub = process.bind("USER32.dll", "wsprintfA").address;
        const Addr dest = c.dest_writable ? m.allocate(64) : m.allocate_constant(64);
        const Addr format = m.allocate(32);
        m.write_bytes(format, c.format, std::strlen(c.format) + 1);
        const Addr text = m.allocate(8);
        m.write_bytes(text, "x", 2);
        const std::uint32_t arg = c.arg ? c.arg : text;
        // push arg; push format; push dest; call stub; add esp, 12; ret
        std::vector<std::uint8_t> code{0x68};
        for (const std::uint32_t w : {arg, format, dest}) {
            for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(w >> (8 * k)));
            code.push_back(0x68);
        }
        code.back() = 0xB8;  // mov eax, stub; call eax
        for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(stub >> (8 * k)));
        code.insert(code.end(), {0xFF, 0xD0, 0x83, 0xC4, 0x0C, 0xC3});
        const auto out = m.call("caller", m.place_code(code), {}, q7host::Returns::kInt);
        if (!*c.says) {
            EXPECT_TRUE(out.completed) << c.label;
            EXPECT_EQ(out.eax, 3u) << c.label;
            EXPECT_EQ(m.read_cstring(dest), "<x>") << c.label;
            EXPECT_TRUE(m.problems().empty()) << c.label;
            continue;
        }
        EXPECT_FALSE(out.completed) << c.label;
        ASSERT_EQ(m.problems().size(), 1u) << c.label;
        EXPECT_EQ(m.problems()[0].kind, q7host::ProblemKind::Crash) << c.label;
        EXPECT_NE(m.problems()[0].sentence().find(c.says), std::string::npos) << c.label << ": " << m.problems()[0];
        EXPECT_EQ(m.problems()[0].detail.rfind(q7host::hex(stub, 8) + ":", 0), 0u)
            << c.label << ": " << m.problems()[0];
    }
}
