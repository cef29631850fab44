// The host's wsprintfA formatter on its own: the conversions and flags the
// module's texts use and a hostile module might, and the 1024-character cap
// that holds whatever width a format asks for.
#include "host/system_functions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string format(const std::string& f, std::vector<std::uint32_t> args = {}, std::string text = "") {
    std::size_t next = 0;
    return q7host::format_wsprintf(
        f, [&] { return next < args.size() ? args[next++] : 0u; },
        [&](std::uint32_t, std::size_t limit) { return text.substr(0, limit); });
}

}  // namespace

TEST(Wsprintf, FormatsWidthsFlagsAndConversions) {
    const struct {
        const char* format;
        std::vector<std::uint32_t> args;
        const char* want;
    } cases[] = {
        {"%5d", {12345}, "12345"},
        {"%4d", {12}, "  12"},
        {"%3d", {0}, "  0"},
        {"%2d", {7}, " 7"},
        {"%d", {0xFFFFFFFF}, "-1"},
        {"%d", {0x80000000}, "-2147483648"},
        {"%05d", {0xFFFFFFF6}, "-0010"},
        {"%-4d|", {3}, "3   |"},
        {"%-05d|", {3}, "3    |"},
        {"%u", {0xFFFFFFFF}, "4294967295"},
        {"%x %X %#x %#X %#x", {255, 255, 255, 255, 0}, "ff FF 0xff 0XFF 0"},
        {"%08lX", {0xBEEF}, "0000BEEF"},
        {"%.3d", {7}, "007"},
        {"%c%c", {'o', 'k'}, "ok"},
        {"100%%", {}, "100%"},
        {"%q", {}, "%q"},
        {"%", {}, ""},
        {"GGATE", {}, "GGATE"},
    };
    for (const auto& c : cases) EXPECT_EQ(format(c.format, c.args), c.want) << c.format;
    EXPECT_EQ(format("[%s]", {1}, "NIMIT"), "[NIMIT]");
    EXPECT_EQ(format("[%-7s]", {1}, "NIMIT"), "[NIMIT  ]");
    EXPECT_EQ(format("[%.2s]", {1}, "NIMIT"), "[NI]");
}

TEST(Wsprintf, WritesAtMost1024CharactersWhateverTheWidth) {
    EXPECT_EQ(format(std::string(2000, 'a')).size(), q7host::kWsprintfLimit);
    EXPECT_EQ(format("%1500d", {5}), std::string(1024, ' '));
    EXPECT_EQ(format("%d%s", {42, 1}, std::string(3000, 'z')), "42" + std::string(1022, 'z'));
    // A width of nearly a billion is cut to the room left (a formatter that
    // padded first would not finish within the test's time limit).
    EXPECT_EQ(format("ab%999999999d", {1}), "ab" + std::string(1022, ' '));
}
