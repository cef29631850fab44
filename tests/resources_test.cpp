// The pictures and the version block, read back out of quorlan7.gau's resource
// directory the way the host finds them, and the text-map reader that draws the
// pictures at build time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/image.h"
#include "pixmap.hpp"
#include "support/module_file.h"
#include "support/test_support.h"

namespace {

using q7host::Rgb;
using q7test::Bytes;

constexpr std::uint32_t kEnglishUs = 0x0409;
constexpr std::uint32_t kFace = 0x1000, kDot = 0x2000, kButtons = 0x3000;
constexpr std::uint32_t kBitmapType = 2, kVersionType = 16;

// ---------------------------------------------------------------------------
// The module's resources

struct ResourceEntry {
    std::uint32_t type;
    std::uint32_t name;
    std::uint32_t language;
    std::size_t size;
    auto operator<=>(const ResourceEntry&) const = default;
};

void PrintTo(const ResourceEntry& r, std::ostream* os) {
    *os << "{type " << r.type << ", number 0x" << std::hex << r.name << ", language 0x" << r.language << std::dec
        << ", " << r.size << " bytes}";
}

// The module file's resources, listed once; nothing of the module runs.
const q7host::PeResourceList& listed() {
    static const q7host::PeResourceList list = [] {
        std::string error;
        auto l = q7host::list_resources(q7test::ModuleFile::get().image, error);
        if (!l) throw std::runtime_error("cannot list the resources: " + error);
        return std::move(*l);
    }();
    return list;
}

// The resource's bytes in US English, or nothing.
Bytes bytes(std::uint32_t type, std::uint32_t name) {
    for (const q7host::PeResource& r : listed().resources)
        if (r.type == type && r.id == name && r.language == kEnglishUs) return {r.data.begin(), r.data.end()};
    return {};
}

TEST(ModuleResources, TableHoldsExactlyTheThreeBitmapsAndTheVersionBlock) {
    EXPECT_FALSE(listed().has_named) << "a resource type, number or language given by name";
    std::vector<ResourceEntry> entries;
    for (const q7host::PeResource& r : listed().resources) entries.push_back({r.type, r.id, r.language, r.data.size()});
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<ResourceEntry>{
                           {kBitmapType, kFace, kEnglishUs, 5992},
                           {kBitmapType, kDot, kEnglishUs, 1104},
                           {kBitmapType, kButtons, kEnglishUs, 1676},
                           {kVersionType, 1, kEnglishUs, 516},
                       }));
}

// ---------------------------------------------------------------------------
// Bitmaps

// Where a bitmap resource (BITMAPINFOHEADER, a 256-entry colour table, pixel
// rows) keeps its header fields, its colour table and its rows.
namespace dib {
constexpr unsigned kSize = 0, kWidth = 4, kHeight = 8, kPlanes = 12, kBitCount = 14, kCompression = 16;
constexpr unsigned kSizeImage = 20, kXPelsPerMeter = 24, kYPelsPerMeter = 28, kClrUsed = 32, kClrImportant = 36;
constexpr unsigned kColours = 40, kRows = kColours + 256 * 4;
}  // namespace dib

// A picture as the module stores it and as the host decodes it.
struct Picture {
    Bytes stored;
    q7host::Image image;

    std::uint32_t field(unsigned at) const { return q7fuzz::get32(stored, at); }
    int stride() const { return (static_cast<int>(field(dib::kWidth)) + 3) / 4 * 4; }
    Rgb palette(int i) const {
        return {stored.at(dib::kColours + 4 * i + 2), stored.at(dib::kColours + 4 * i + 1),
                stored.at(dib::kColours + 4 * i)};
    }
    // The stored index at x in stored row `row` (row 0 is the bottom row).
    int index(int row, int x) const { return stored.at(dib::kRows + static_cast<std::size_t>(row) * stride() + x); }
    Rgb colour(int x, int y) const { return image.at(x, y); }
};

Picture picture(std::uint32_t id) {
    Picture p{bytes(kBitmapType, id), {}};
    std::string error;
    const auto decoded = q7host::decode_dib(p.stored, error);
    if (!decoded) throw std::runtime_error("bitmap " + std::to_string(id) + ": " + error);
    p.image = *decoded;
    return p;
}

constexpr Rgb grey(std::uint8_t v) { return {v, v, v}; }
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kPureGreen{0, 255, 0};
constexpr Rgb kBackground = grey(24);
constexpr Rgb kFrame = grey(73);
constexpr Rgb kScreen{20, 84, 20};
constexpr Rgb kOutline = grey(8);
constexpr Rgb kButtonFace = grey(48);
constexpr Rgb kArrow = grey(195);

std::string text(const Rgb& c) { return ::testing::PrintToString(c); }

class Bitmaps : public ::testing::Test {
protected:
    const Picture face_ = picture(kFace), dot_ = picture(kDot), buttons_ = picture(kButtons);
};

TEST_F(Bitmaps, HeadersPaletteAndRowPadding) {
    struct Expect {
        const char* what;
        const Picture* p;
        int width, height, image_size;
        std::set<int> used;  // the palette entries the picture uses
    };
    const Expect expected[] = {{"face", &face_, 63, 77, 4928, {3, 9, 47, 117}},
                               {"dot", &dot_, 5, 5, 40, {0, 117}},
                               {"buttons", &buttons_, 35, 17, 612, {1, 3, 4, 5, 6, 8, 9, 10, 11, 24}}};
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.what);
        const Picture& p = *e.p;
        EXPECT_EQ(p.field(dib::kSize), 40u);
        EXPECT_EQ(p.field(dib::kWidth), static_cast<std::uint32_t>(e.width));
        EXPECT_EQ(p.field(dib::kHeight), static_cast<std::uint32_t>(e.height));  // positive: bottom row stored first
        EXPECT_EQ(q7fuzz::get16(p.stored, dib::kPlanes), 1);
        EXPECT_EQ(q7fuzz::get16(p.stored, dib::kBitCount), 8);
        EXPECT_EQ(p.field(dib::kCompression), 0u);  // BI_RGB
        EXPECT_EQ(p.field(dib::kSizeImage), static_cast<std::uint32_t>(e.image_size));
        EXPECT_EQ(p.field(dib::kXPelsPerMeter), 11810u);
        EXPECT_EQ(p.field(dib::kYPelsPerMeter), 11810u);
        EXPECT_EQ(p.field(dib::kClrUsed), 256u);
        EXPECT_EQ(p.field(dib::kClrImportant), 256u);
        EXPECT_EQ(p.stored.size(), dib::kRows + static_cast<std::size_t>(e.image_size));
        EXPECT_EQ(e.image_size, p.stride() * e.height);
        EXPECT_EQ(p.image.width(), e.width);
        EXPECT_EQ(p.image.height(), e.height);
        // Each picture keeps to its few entries, and its row padding is zero.
        std::set<int> used;
        int nonzero_padding = 0;
        for (int row = 0; row < e.height; ++row)
            for (int x = 0; x < p.stride(); ++x) {
                if (x < e.width)
                    used.insert(p.index(row, x));
                else
                    nonzero_padding += p.index(row, x) != 0;
            }
        EXPECT_EQ(used, e.used);
        EXPECT_EQ(nonzero_padding, 0);
    }

    // The general panel palette: grey ramp, colour ramps, pure red and green.
    auto p = [this](int i) { return face_.palette(i); };
    EXPECT_EQ(p(0), kBlack);
    EXPECT_EQ(p(31), grey(255));
    for (int i = 1; i < 32; ++i) {
        EXPECT_EQ(p(i), grey(p(i).r)) << "entry " << i;
        EXPECT_GE(p(i).r - p(i - 1).r, 7) << "entry " << i;
        EXPECT_LE(p(i).r - p(i - 1).r, 12) << "entry " << i;
    }
    auto channels = [](const Rgb& c) { return std::array<int, 3>{c.r, c.g, c.b}; };
    for (int i = 32; i < 68; ++i) {
        const int ramp = (i - 32) / 12;  // red, green, blue
        const auto c = channels(p(i));
        EXPECT_GT(c[ramp], std::max(c[(ramp + 1) % 3], c[(ramp + 2) % 3])) << "entry " << i;
        if ((i - 32) % 12 != 0) {
            EXPECT_GT(c[ramp], channels(p(i - 1))[ramp]) << "entry " << i << " is darker than the one before";
        }
    }
    EXPECT_EQ(p(116), (Rgb{255, 0, 0}));
    EXPECT_EQ(p(117), kPureGreen);
    const std::pair<int, Rgb> listed[] = {
        {0, kBlack},   {1, grey(8)},   {3, grey(24)},  {4, grey(32)},   {5, grey(40)}, {6, grey(48)},    {8, grey(65)},
        {9, grey(73)}, {10, grey(81)}, {11, grey(89)}, {24, grey(195)}, {47, kScreen}, {117, kPureGreen}};
    for (const auto& [index, colour] : listed) EXPECT_EQ(p(index), colour) << "entry " << index;

    // Face and buttons share one palette; the dot's agrees up to 117 only.
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(buttons_.palette(i), p(i)) << "entry " << i;
        if (i <= 117) {
            EXPECT_EQ(dot_.palette(i), p(i)) << "entry " << i;
        } else {
            EXPECT_NE(dot_.palette(i), p(i)) << "entry " << i;
        }
    }
    // Pure black is used only round the dot.
    for (const Expect* e : {&expected[0], &expected[2]})
        for (int i : e->used) EXPECT_NE(e->p->palette(i), kBlack) << e->what << " entry " << i;
}

TEST_F(Bitmaps, FaceShowsFrameScreenAndTopMark) {
    // Stored order: the first stored row is the bottom row 76, all background;
    // the top mark (y 4 and 5) lands in stored rows 72 and 71.
    for (int x = 0; x < 63; ++x) EXPECT_EQ(face_.index(0, x), 3) << "stored row 0, x " << x;
    for (int stored : {71, 72})
        for (int x = 0; x < 63; ++x)
            EXPECT_EQ(face_.index(stored, x) == 117, x >= 30 && x <= 32) << "stored row " << stored << ", x " << x;

    int wrong = 0;
    for (int y = 0; y < 77; ++y) {
        for (int x = 0; x < 63; ++x) {
            const bool in_square = x >= 3 && x <= 59 && y >= 3 && y <= 59;
            const bool on_outline = in_square && (x == 3 || x == 59 || y == 3 || y == 59);
            const bool mark = x >= 30 && x <= 32 && y >= 4 && y <= 5;
            const Rgb want = mark ? kPureGreen : on_outline ? kFrame : in_square ? kScreen : kBackground;
            if (face_.colour(x, y) != want && ++wrong <= 10)
                ADD_FAILURE() << "(" << x << "," << y << ") is " << text(face_.colour(x, y)) << ", want " << text(want);
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(face_.colour(31, 31), kScreen);  // centre of the screen
    EXPECT_EQ(face_.colour(31, 6), kScreen);   // just below the mark
}

TEST_F(Bitmaps, DotIsAGreenDiamondOnBlack) {
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x) {
            const bool inside = std::abs(x - 2) + std::abs(y - 2) <= 2;
            EXPECT_EQ(dot_.index(4 - y, x), inside ? 117 : 0) << "(" << x << "," << y << ")";
            EXPECT_EQ(dot_.colour(x, y), inside ? kPureGreen : kBlack) << "(" << x << "," << y << ")";
        }
    }
}

TEST_F(Bitmaps, ButtonStripShowsTwoRaisedButtonsWithArrows) {
    const Picture& b = buttons_;
    struct Button {
        const char* what;
        int left;     // x of the outline's left column
        int point_x;  // the arrow's point, at y 8
        bool points_left;
    };
    const Button both[] = {{"previous", 3, 7, true}, {"next", 20, 28, false}};

    auto on_arrow = [](const Button& k, int x, int y) {
        if (y < 5 || y > 11) return false;
        const int d = std::abs(y - 8);
        const int first = k.points_left ? k.point_x + d : k.point_x - d - 1;
        return x == first || x == first + 1;
    };

    // Outside the buttons, the gap x 17..19 included: background only.
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 35; ++x) {
            const bool in_button = y >= 2 && y <= 14 && ((x >= 3 && x <= 16) || (x >= 20 && x <= 33));
            if (!in_button) {
                EXPECT_EQ(b.colour(x, y), kBackground) << "(" << x << "," << y << ")";
            }
        }

    for (const Button& k : both) {
        SCOPED_TRACE(k.what);
        const int l = k.left, r = k.left + 13, top = 2, bottom = 14;
        for (int y = top; y <= bottom; ++y)
            for (int x = l; x <= r; ++x) {
                const bool outline = x == l || x == r || y == top || y == bottom;
                if (outline) {
                    EXPECT_EQ(b.colour(x, y), kOutline) << "(" << x << "," << y << ")";
                }
                // Face: inside the one-pixel bevel ring, arrow aside.
                const bool face = x > l + 1 && x < r - 1 && y > top + 1 && y < bottom - 1;
                if (face) {
                    EXPECT_EQ(b.colour(x, y), on_arrow(k, x, y) ? kArrow : kButtonFace) << "(" << x << "," << y << ")";
                }
                if (!face && on_arrow(k, x, y)) ADD_FAILURE() << "arrow off the face at (" << x << "," << y << ")";
            }
        EXPECT_EQ(b.colour(k.point_x, 8), kArrow);
        EXPECT_NE(b.colour(k.points_left ? k.point_x - 1 : k.point_x + 1, 8), kArrow) << "point is not the tip";

        // Raised bevel lit from the top right. Lit edges: top inner row and
        // right inner column (down to the row above the bottom inner row).
        const std::set<int> lit = {65, 73, 81, 89};
        const int it = top + 1, ib = bottom - 1, il = l + 1, ir = r - 1;
        int brightest = 0, lit_pixels = 0;
        for (int x = il; x <= ir; ++x) {
            EXPECT_TRUE(lit.contains(b.colour(x, it).r)) << "top inner row, x " << x;
            brightest += b.colour(x, it) == grey(89);
            ++lit_pixels;
        }
        for (int y = it + 1; y < ib; ++y) {
            EXPECT_TRUE(lit.contains(b.colour(ir, y).r)) << "right inner column, y " << y;
            brightest += b.colour(ir, y) == grey(89);
            ++lit_pixels;
        }
        EXPECT_GT(2 * brightest, lit_pixels) << "the lit edges are mostly (89,89,89)";
        EXPECT_EQ(b.colour(ir, it), grey(89)) << "top right corner is fully lit";
        EXPECT_LT(b.colour(il, it).r, 89) << "the top row shades off toward the left";
        EXPECT_LT(b.colour(ir, ib - 1).r, 89) << "the right column shades off toward the bottom";
        // Shaded bottom inner row, lighter at its two ends.
        for (int x = il + 1; x < ir; ++x) EXPECT_EQ(b.colour(x, ib), grey(24)) << "bottom inner row, x " << x;
        for (int x : {il, ir}) EXPECT_TRUE(b.colour(x, ib) == grey(40) || b.colour(x, ib) == grey(32)) << "x " << x;
        EXPECT_NE(b.colour(il, ib), b.colour(ir, ib)) << "one (40,40,40) and one (32,32,32) end";
        // Left inner column: face colour, lighter at the top, darker at the bottom.
        EXPECT_GT(b.colour(il, it).r, 48);
        for (int y = it + 1; y < ib - 1; ++y) EXPECT_EQ(b.colour(il, y), kButtonFace) << "left inner column, y " << y;
        EXPECT_LT(b.colour(il, ib - 1).r, 48);
    }

    // The two buttons differ only in their arrows.
    for (int y = 2; y <= 14; ++y)
        for (int x = 0; x <= 13; ++x)
            if (!on_arrow(both[0], 3 + x, y) && !on_arrow(both[1], 20 + x, y)) {
                EXPECT_EQ(b.colour(3 + x, y), b.colour(20 + x, y)) << "offset (" << x << "," << y << ")";
            }
}

// ---------------------------------------------------------------------------
// Version block

// VS_FIXEDFILEINFO, the value of the version block's root.
struct FixedFileInfo {
    std::uint32_t dwSignature, dwStrucVersion;
    std::uint32_t dwFileVersionMS, dwFileVersionLS, dwProductVersionMS, dwProductVersionLS;
    std::uint32_t dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype;
    std::uint32_t dwFileDateMS, dwFileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52);

// One node of a version block: wLength, wValueLength, wType, key, value and
// children, each part starting on a 4-byte boundary.
struct VersionNode {
    std::u16string key;
    std::uint16_t type = 0;
    std::uint16_t value_length = 0;
    std::span<const std::uint8_t> value;
    std::vector<VersionNode> children;
    std::size_t length = 0;
};

std::string narrow(const std::u16string& s) { return {s.begin(), s.end()}; }

VersionNode parse_version_node(std::span<const std::uint8_t> block, std::size_t at) {
    auto word = [&](std::size_t o) -> std::uint16_t {
        if (o + 2 > block.size()) throw std::runtime_error("version block cut short");
        return static_cast<std::uint16_t>(block[o] | block[o + 1] << 8);
    };
    auto align = [](std::size_t o) { return (o + 3) & ~std::size_t{3}; };
    VersionNode n;
    n.length = word(at);
    n.value_length = word(at + 2);
    n.type = word(at + 4);
    const std::size_t end = at + n.length;
    if (n.length < 6 || end > block.size()) throw std::runtime_error("node length out of range");
    std::size_t o = at + 6;
    for (std::uint16_t c; (c = word(o)) != 0; o += 2) n.key.push_back(static_cast<char16_t>(c));
    o = align(o + 2);
    const std::size_t value_bytes = n.type == 1 ? 2u * n.value_length : n.value_length;
    if (o + value_bytes > end) throw std::runtime_error("value beyond its node: " + narrow(n.key));
    n.value = block.subspan(o, value_bytes);
    for (o = align(o + value_bytes); o < end; o = align(o + n.children.back().length))
        n.children.push_back(parse_version_node(block, o));
    return n;
}

std::string string_value(const VersionNode& n) {
    std::string s;
    for (std::size_t i = 0; i + 1 < n.value.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(n.value[i] | n.value[i + 1] << 8);
        if (c == 0) break;
        s.push_back(static_cast<char>(c));
    }
    return s;
}

TEST(ModuleResources, VersionBlockIdentifiesTheModule) {
    const auto block = bytes(kVersionType, 1);
    ASSERT_EQ(block.size(), 516u);
    const VersionNode root = parse_version_node(block, 0);
    EXPECT_EQ(root.length, 516u);
    EXPECT_EQ(narrow(root.key), "VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), sizeof(FixedFileInfo));
    FixedFileInfo fixed;
    std::memcpy(&fixed, root.value.data(), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwStrucVersion, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0u);
    EXPECT_EQ(fixed.dwFileOS, 0x00010004u);
    EXPECT_EQ(fixed.dwFileType, 2u);
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS, 0u);
    EXPECT_EQ(fixed.dwFileDateLS, 0u);

    // StringFileInfo with one table holding exactly five strings in order,
    // then VarFileInfo with the translation.
    ASSERT_EQ(root.children.size(), 2u);
    const VersionNode& string_info = root.children[0];
    EXPECT_EQ(narrow(string_info.key), "StringFileInfo");
    ASSERT_EQ(string_info.children.size(), 1u);
    const VersionNode& table = string_info.children[0];
    EXPECT_EQ(narrow(table.key), "040904b0");
    std::vector<std::string> keys;
    std::vector<std::string> values;
    for (const VersionNode& s : table.children) {
        keys.push_back(narrow(s.key));
        values.push_back(string_value(s));
        EXPECT_EQ(s.type, 1) << "text value";
        EXPECT_TRUE(s.children.empty());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"CompanyName", "FileDescription", "FileVersion", "ProductName",
                                              "ProductVersion"}));
    ASSERT_EQ(values.size(), 5u);
    EXPECT_FALSE(values[0].empty());
    EXPECT_FALSE(values[1].empty());
    EXPECT_EQ(values[2], "1.0.0");
    EXPECT_EQ(values[3], "quorlan7");
    EXPECT_EQ(values[4], "1.0.0");

    const VersionNode& var_info = root.children[1];
    EXPECT_EQ(narrow(var_info.key), "VarFileInfo");
    ASSERT_EQ(var_info.children.size(), 1u);
    EXPECT_EQ(narrow(var_info.children[0].key), "Translation");
    EXPECT_EQ(std::vector<std::uint8_t>(var_info.children[0].value.begin(), var_info.children[0].value.end()),
              (std::vector<std::uint8_t>{0x09, 0x04, 0xB0, 0x04}));
}

// The numbers of the fixed part and both version texts are the version of the
// top-level CMake project.
TEST(ModuleResources, VersionBlockCarriesTheProjectVersion) {
    const std::string version = Q7_PROJECT_VERSION;
    unsigned part[4] = {0, 0, 0, 0};
    char rest = 0;
    const int parts = std::sscanf(version.c_str(), "%u.%u.%u.%u%c", &part[0], &part[1], &part[2], &part[3], &rest);
    ASSERT_TRUE(parts == 3 || parts == 4) << "project version " << version;

    const auto block = bytes(kVersionType, 1);
    ASSERT_FALSE(block.empty());
    const VersionNode root = parse_version_node(block, 0);
    ASSERT_EQ(root.value.size(), sizeof(FixedFileInfo));
    FixedFileInfo fixed;
    std::memcpy(&fixed, root.value.data(), sizeof fixed);
    const std::uint32_t ms = part[0] << 16 | part[1], ls = part[2] << 16 | part[3];
    EXPECT_EQ(fixed.dwFileVersionMS, ms);
    EXPECT_EQ(fixed.dwFileVersionLS, ls);
    EXPECT_EQ(fixed.dwProductVersionMS, ms);
    EXPECT_EQ(fixed.dwProductVersionLS, ls);

    ASSERT_FALSE(root.children.empty());
    ASSERT_FALSE(root.children[0].children.empty());
    std::vector<std::pair<std::string, std::string>> versions;
    for (const VersionNode& s : root.children[0].children[0].children)
        if (narrow(s.key).ends_with("Version")) versions.emplace_back(narrow(s.key), string_value(s));
    EXPECT_EQ(versions, (std::vector<std::pair<std::string, std::string>>{{"FileVersion", version},
                                                                          {"ProductVersion", version}}));
}

// ---------------------------------------------------------------------------
// The text-map reader behind the pictures

constexpr const char* kGoodMap =
    "# two greys\n"
    "size 3 2\n"
    "palette panel\n"
    "legend . 3 (24,24,24) background\n"
    "legend o 1 (8,8,8)\n"
    "pixels\n"
    "..o\n"
    "o..\n"
    "\n";

// kGoodMap with the first occurrence of `from` replaced by `to`.
std::string good_map_with(const std::string& from, const std::string& to) {
    std::string s = kGoodMap;
    const auto at = s.find(from);
    if (at == std::string::npos) throw std::logic_error("no '" + from + "' in the map");
    return s.replace(at, from.size(), to);
}

TEST(PixelMapText, ReadsAMapAndStoresItBottomRowFirst) {
    std::string crlf;
    for (char c : std::string(kGoodMap)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& text : {std::string(kGoodMap), crlf}) {
        const q7res::PixelMap m = q7res::parse_pixel_map(text);
        ASSERT_EQ(m.width, 3);
        ASSERT_EQ(m.height, 2);
        EXPECT_EQ(m.pixels, (std::vector<std::uint8_t>{3, 3, 1, 1, 3, 3}));
        const auto bmp = q7res::encode_bmp(m);
        ASSERT_EQ(bmp.size(), 14u + 40 + 1024 + 2 * 4);
        EXPECT_EQ(bmp[0], 'B');
        EXPECT_EQ(bmp[1], 'M');
        const std::vector<std::uint8_t> rows(bmp.end() - 8, bmp.end());
        EXPECT_EQ(rows, (std::vector<std::uint8_t>{1, 3, 3, 0, 3, 3, 1, 0}));
    }
}

TEST(PixelMapText, RejectsMalformedMapsNamingTheLine) {
    struct Case {
        std::string text;
        int line;
        const char* says;
    };
    const Case cases[] = {
        {good_map_with("o..\n", "o.\n"), 8, "2 characters wide, expected 3"},
        {good_map_with("o..\n", "o...\n"), 8, "4 characters wide, expected 3"},
        {good_map_with("o..\n\n", ""), 7, "only 1 pixel rows"},
        {good_map_with("o..\n", "o..\n...\n"), 9, "more than 2 pixel rows"},
        {good_map_with("..o\n", "..x\n"), 7, "'x' at x 2 is not in the legend"},
        {good_map_with("(8,8,8)", "(9,9,9)"), 5, "palette index 1 is (8,8,8), not (9,9,9)"},
        {good_map_with("legend o 1", "legend o 256"), 5, "0..255"},
        {good_map_with("legend o", "legend ."), 5, "'.' given twice"},
        {good_map_with("..o\no..", "...\n..."), 6, "'o' is never used"},
        {good_map_with("panel", "panels"), 3, "unknown palette 'panels'"},
        {good_map_with("size 3 2\n", ""), 5, "pixels before size"},
        {good_map_with("size 3 2", "size 3 0"), 2, "size must be"},
        {good_map_with("size", "sise"), 2, "unknown keyword 'sise'"},
        {good_map_with("pixels\n..o\no..\n", ""), 6, "no 'pixels' section"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            q7res::parse_pixel_map(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const q7res::MapError& e) {
            EXPECT_EQ(e.line(), c.line) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

}  // namespace
