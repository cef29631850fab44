// Bitmap resources decoded as GDI decodes them, and colour words resolved as
// GDI resolves them on a true-colour device context. Each row is a crafted
// bitmap and the outcome GDI gives: the picture it paints, or a refusal.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/image.h"

namespace {

using q7host::Rgb;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kJpeg = 4;

// Pictures are written a letter a pixel, top row first.
const std::map<char, Rgb> kLetters =
    {
        {'K', {0, 0, 0}},       {'W', {255, 255, 255}}, {'R', {255, 0, 0}},   {'G', {0, 255, 0}},
        {'B', {0, 0, 255}},     {'Y', {255, 255, 0}},   {'C', {0, 255, 255}}, {'M', {255, 0, 255}},
        {'h', {132, 132, 132}},  // 5-bit fields of 16: 10000 widened to 10000100
        {'g', {132, 130, 132}},  // the same with a 6-bit green of 32: 100000 widened to 10000010
        {'t', {128, 128, 128}},  // 10-bit fields of 0x201 keep their top 8 bits
};
using Picture = std::vector<std::string>;
const Picture kReference = {"RGBWK", "YCMKW", "KRRGB"};
// The colour table the indexed pictures use, in this order.
const std::string kTableOrder = "KRGBWYCM";

void put(Bytes& b, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Info {
    std::uint32_t size = 40;
    std::int32_t width = 5, height = 3;
    std::uint32_t planes = 1, bits = 8, compression = kRgb, size_image = 0, colours_used = 0;
    std::uint32_t masks[3] = {};  // written inside the header when it is long enough to hold them
};
Bytes info(const Info& h) {
    Bytes b;
    put(b, h.size, 4);
    put(b, static_cast<std::uint32_t>(h.width), 4);
    put(b, static_cast<std::uint32_t>(h.height), 4);
    put(b, h.planes, 2);
    put(b, h.bits, 2);
    put(b, h.compression, 4);
    put(b, h.size_image, 4);
    put(b, 2835, 4);
    put(b, 2835, 4);
    put(b, h.colours_used, 4);
    put(b, 0, 4);
    if (h.size >= 52) {
        for (std::uint32_t m : h.masks) put(b, m, 4);
    }
    b.resize(h.size, 0);
    return b;
}
Bytes core(std::uint32_t width, std::uint32_t height, std::uint32_t bits) {
    Bytes b;
    put(b, 12, 4);
    put(b, width, 2);
    put(b, height, 2);
    put(b, 1, 2);
    put(b, bits, 2);
    return b;
}
Bytes masks(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    Bytes out;
    for (std::uint32_t m : {r, g, b}) put(out, m, 4);
    return out;
}
// `entries` colour table entries: the table order's colours, then black.
Bytes table(std::size_t entries, int entry_size = 4) {
    Bytes b;
    for (std::size_t i = 0; i < entries; ++i) {
        const Rgb c = i < kTableOrder.size() ? kLetters.at(kTableOrder[i]) : Rgb{};
        b.push_back(c.b);
        b.push_back(c.g);
        b.push_back(c.r);
        if (entry_size == 4) b.push_back(0);
    }
    return b;
}
std::uint32_t index_of(Rgb c) {
    for (std::size_t i = 0; i < kTableOrder.size(); ++i) {
        if (kLetters.at(kTableOrder[i]) == c) return static_cast<std::uint32_t>(i);
    }
    ADD_FAILURE() << "colour not in the table";
    return 0;
}

// Rows of a picture at `bits` per pixel, each padded to 4 bytes, bottom row
// first unless top-down; `word` gives a pixel's index or colour word.
template <typename Word>
Bytes rows(const Picture& p, unsigned bits, Word word, bool top_down = false) {
    Bytes out;
    for (std::size_t r = 0; r < p.size(); ++r) {
        const std::string& line = p[top_down ? r : p.size() - 1 - r];
        Bytes row((line.size() * bits + 31) / 32 * 4, 0);
        for (std::size_t x = 0; x < line.size(); ++x) {
            const std::uint32_t w = word(kLetters.at(line[x]));
            if (bits < 8) {
                row[x * bits / 8] |= static_cast<std::uint8_t>(w << (8 - bits - x * bits % 8));
            } else {
                for (unsigned i = 0; i < bits / 8; ++i) row[x * bits / 8 + i] = static_cast<std::uint8_t>(w >> (8 * i));
            }
        }
        out = out + row;
    }
    return out;
}
const auto kIndex = [](Rgb c) { return index_of(c); };
const auto kBgr = [](Rgb c) { return std::uint32_t{c.b} | c.g << 8 | c.r << 16; };
const auto k555 = [](Rgb c) { return std::uint32_t(c.r >> 3) << 10 | (c.g >> 3) << 5 | c.b >> 3; };
const auto k565 = [](Rgb c) { return std::uint32_t(c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3; };

// The picture as a BI_RLE8 or BI_RLE4 stream: runs of equal pixels, other
// stretches of three or more as absolute runs padded to a word, an end of
// line after every row and an end of bitmap.
Bytes rle(const Picture& p, bool rle4) {
    Bytes out;
    auto pixels = [&](const std::vector<std::uint32_t>& ix, std::size_t from, std::size_t to) {
        Bytes packed;
        for (std::size_t i = from; i < to; ++i) {
            if (!rle4)
                packed.push_back(static_cast<std::uint8_t>(ix[i]));
            else if ((i - from) % 2 == 0)
                packed.push_back(static_cast<std::uint8_t>(ix[i] << 4));
            else
                packed.back() |= static_cast<std::uint8_t>(ix[i]);
        }
        if (packed.size() % 2) packed.push_back(0);
        return packed;
    };
    for (std::size_t r = p.size(); r-- > 0;) {
        std::vector<std::uint32_t> ix;
        for (char ch : p[r]) ix.push_back(index_of(kLetters.at(ch)));
        std::size_t i = 0;
        while (i < ix.size()) {
            std::size_t j = i;
            while (j < ix.size() && ix[j] == ix[i]) ++j;
            if (j - i >= 2) {
                out.push_back(static_cast<std::uint8_t>(j - i));
                out.push_back(static_cast<std::uint8_t>(rle4 ? ix[i] << 4 | ix[i] : ix[i]));
                i = j;
                continue;
            }
            std::size_t k = i + 1;
            while (k < ix.size() && !(k + 1 < ix.size() && ix[k] == ix[k + 1])) ++k;
            if (k - i >= 3) {
                out.push_back(0);
                out.push_back(static_cast<std::uint8_t>(k - i));
                out = out + pixels(ix, i, k);
            } else {
                for (std::size_t n = i; n < k; ++n) {
                    out.push_back(1);
                    out.push_back(static_cast<std::uint8_t>(rle4 ? ix[n] << 4 : ix[n]));
                }
            }
            i = k;
        }
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(1);
    return out;
}
Info rle_info(std::uint32_t compression, const Bytes& stream, std::int32_t width = 5, std::int32_t height = 3) {
    return {.width = width,
            .height = height,
            .bits = compression == kRle4 ? 4u : 8u,
            .compression = compression,
            .size_image = static_cast<std::uint32_t>(stream.size())};
}

Bytes with_info(Info h, const Bytes& rest) { return info(h) + rest; }
Bytes cut(Bytes b, std::size_t bytes) {
    b.resize(b.size() - bytes);
    return b;
}

struct Case {
    const char* label;
    Bytes dib;
    Picture picture;                // what GDI paints, top row first
    const char* refusal = nullptr;  // or words of the one line that refuses the bitmap
};

std::vector<Case> cases() {
    const Bytes ref8 = rows(kReference, 8, kIndex);
    const Bytes rle8 = rle(kReference, false), rle4 = rle(kReference, true);
    // Hand-made RLE8 (width 4, height 3): two red, a delta of (1, 1), three
    // green of which one fits, end of line, one blue, a delta past the top,
    // two red there, end of bitmap.
    const Bytes skip_and_clip = {2, 1, 0, 2, 1, 1, 3, 2, 0, 0, 1, 3, 0, 2, 0, 9, 2, 1, 0, 1};
    // Hand-made RLE4 (width 8, height 1): an absolute run of five (three
    // bytes, padded to four), then three pixels alternating yellow and cyan.
    const Bytes absolute_and_alternate = {0, 5, 0x12, 0x34, 0x00, 0x00, 3, 0x56, 0, 1};
    return {
        // Formats GDI paints like the reference picture.
        {"8 bpp, biClrUsed 0: a full table, rows bottom-up", with_info({}, table(256) + ref8), kReference},
        {"8 bpp top-down (negative height)", with_info({.height = -3}, table(256) + rows(kReference, 8, kIndex, true)),
         kReference},
        {"4 bpp, rows padded to 4 bytes", with_info({.bits = 4}, table(16) + rows(kReference, 4, kIndex)), kReference},
        {"1 bpp",
         with_info({.bits = 1}, table(2) + rows({"RKKRK", "KRRKR", "RRKKR"}, 1, kIndex)),
         {"RKKRK", "KRRKR", "RRKKR"}},
        {"24 bpp, rows padded to 4 bytes", with_info({.bits = 24}, rows(kReference, 24, kBgr)), kReference},
        {"32 bpp BI_RGB ignores the fourth byte",
         with_info({.bits = 32}, rows(kReference, 32, [](Rgb c) { return kBgr(c) | 0xAB000000u; })), kReference},
        {"16 bpp BI_RGB is 5-5-5", with_info({.bits = 16}, rows(kReference, 16, k555)), kReference},
        {"16 bpp BI_BITFIELDS 5-6-5, masks after a 40-byte header",
         with_info({.bits = 16, .compression = kBitfields}, masks(0xF800, 0x07E0, 0x001F) + rows(kReference, 16, k565)),
         kReference},
        {"32 bpp BI_BITFIELDS with red in the low byte",
         with_info({.bits = 32, .compression = kBitfields},
                   masks(0x0000FF, 0x00FF00, 0xFF0000) +
                       rows(kReference, 32, [](Rgb c) { return std::uint32_t{c.r} | c.g << 8 | c.b << 16; })),
         kReference},
        {"32 bpp BI_BITFIELDS 10-10-10",
         with_info({.bits = 32, .compression = kBitfields},
                   masks(0x3FF00000, 0x000FFC00, 0x000003FF) + rows(kReference, 32,
                                                                    [](Rgb c) {
                                                                        return std::uint32_t(c.r ? 0x3FF : 0) << 20 |
                                                                               (c.g ? 0x3FF : 0) << 10 |
                                                                               (c.b ? 0x3FF : 0);
                                                                    })),
         kReference},
        {"V4 header holding 5-6-5 masks",
         with_info({.size = 108, .bits = 16, .compression = kBitfields, .masks = {0xF800, 0x07E0, 0x001F}},
                   rows(kReference, 16, k565)),
         kReference},
        {"V5 header, 8 bpp: the table follows its 124 bytes", with_info({.size = 124}, table(256) + ref8), kReference},
        {"core header, 4 bpp: 16 three-byte table entries", core(5, 3, 4) + table(16, 3) + rows(kReference, 4, kIndex),
         kReference},
        {"RLE8: runs, padded absolute runs, ends of line", with_info(rle_info(kRle8, rle8), table(256) + rle8),
         kReference},
        {"RLE4: runs, padded absolute runs, ends of line", with_info(rle_info(kRle4, rle4), table(16) + rle4),
         kReference},
        {"8 bpp biClrUsed 300 is capped at 256", with_info({.colours_used = 300}, table(256) + ref8), kReference},
        {"above 8 bpp, a biClrUsed table is skipped before the rows",
         with_info({.bits = 24, .colours_used = 2}, table(2) + rows(kReference, 24, kBgr)), kReference},

        // Rules seen in specific pixels.
        {"4 bpp biClrUsed 3: rows follow 3 entries, indices past them are black",
         with_info({.bits = 4, .colours_used = 3}, table(3) + rows(kReference, 4, kIndex)),
         {"RGKKK", "KKKKK", "KRRGK"}},
        {"a 5-bit field widens by repeating its bits",
         with_info({.width = 1, .height = 1, .bits = 16}, {0x10, 0x42, 0, 0}),
         {"h"}},
        {"a 6-bit field widens by repeating its bits",
         with_info({.width = 1, .height = 1, .bits = 16, .compression = kBitfields},
                   masks(0xF800, 0x07E0, 0x001F) + Bytes{0x10, 0x84, 0, 0}),
         {"g"}},
        {"a 10-bit field keeps its top 8 bits",
         with_info({.width = 1, .height = 1, .bits = 32, .compression = kBitfields},
                   masks(0x3FF00000, 0x000FFC00, 0x000003FF) + Bytes{0x01, 0x06, 0x18, 0x20}),
         {"t"}},
        {"RLE8: skipped pixels stay black, runs past the edge or the top are dropped",
         with_info(rle_info(kRle8, skip_and_clip, 4, 3), table(256) + skip_and_clip),
         {"BKKK", "KKKG", "RRKK"}},
        {"RLE4: an odd absolute run pads to a word, a run alternates its two indices",
         with_info(rle_info(kRle4, absolute_and_alternate, 8, 1), table(16) + absolute_and_alternate),
         {"RGBWKYCY"}},
        {"RLE8 without an end-of-bitmap mark keeps what it painted",
         with_info(rle_info(kRle8, {1, 1}, 2, 1), table(256) + Bytes{1, 1}),
         {"RK"}},

        // What GDI refuses.
        {"zero width", with_info({.width = 0}, table(256) + ref8), {}, "unusable size"},
        {"negative width", with_info({.width = -5}, table(256) + ref8), {}, "unusable size"},
        {"zero height", with_info({.height = 0}, table(256) + ref8), {}, "unusable size"},
        {"a side longer than 4096",
         with_info({.width = 4097, .height = 1, .bits = 1}, table(2) + Bytes(516)),
         {},
         "unusable size"},
        {"no planes", with_info({.planes = 0}, table(256) + ref8), {}, "0 planes"},
        {"2 bits per pixel", with_info({.bits = 2}, table(4) + Bytes(12)), {}, "2 bits per pixel"},
        {"BI_RLE8 at 4 bits per pixel",
         with_info({.bits = 4, .compression = kRle8, .size_image = 2}, table(16) + rle8),
         {},
         "4 bits per pixel cannot be BI_RLE8"},
        {"BI_BITFIELDS at 24 bits per pixel",
         with_info({.bits = 24, .compression = kBitfields}, masks(0xFF0000, 0xFF00, 0xFF) + rows(kReference, 24, kBgr)),
         {},
         "24 bits per pixel cannot be BI_BITFIELDS"},
        {"BI_JPEG", with_info({.bits = 24, .compression = kJpeg}, rows(kReference, 24, kBgr)), {}, "BI_JPEG"},
        {"core header at 16 bits per pixel", core(5, 3, 16) + rows(kReference, 16, k555), {}, "core bitmap"},
        {"header size 20", with_info({.size = 20}, table(256) + ref8), {}, "header size 20"},
        {"top-down BI_RLE8",
         with_info({.height = -3, .compression = kRle8, .size_image = 40}, table(256) + rle8),
         {},
         "top-down"},
        {"BI_RLE8 without biSizeImage", with_info({.compression = kRle8}, table(256) + rle8), {}, "biSizeImage"},
        {"BI_RLE8 stream running past the data",
         with_info({.compression = kRle8, .size_image = 100}, table(256) + Bytes{2, 1, 0}),
         {},
         "runs past the end"},
        {"a zero BI_BITFIELDS mask",
         with_info({.bits = 16, .compression = kBitfields}, masks(0xF800, 0, 0x001F) + rows(kReference, 16, k565)),
         {},
         "mask for green is 0"},
        {"pixel rows one byte short", cut(with_info({}, table(256) + ref8), 1), {}, "shorter than its rows"},
        {"colour table cut short", with_info({}, table(255)), {}, "shorter than its 256-entry colour table"},
        {"V4 header cut short", cut(info({.size = 108}), 8), {}, "shorter than its 108-byte header"},
        {"BI_BITFIELDS masks cut short", with_info({.bits = 16, .compression = kBitfields}, Bytes(8)), {}, "masks"},
    };
}

TEST(Bitmaps, DecodedAsGdiDecodesThem) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.label);
        std::string error;
        const auto image = q7host::decode_dib(c.dib, error);
        if (c.refusal) {
            EXPECT_FALSE(image);
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(image) << error;
        ASSERT_EQ(image->height(), static_cast<int>(c.picture.size()));
        ASSERT_EQ(image->width(), static_cast<int>(c.picture[0].size()));
        for (int y = 0; y < image->height(); ++y) {
            for (int x = 0; x < image->width(); ++x) {
                EXPECT_EQ(image->at(x, y), kLetters.at(c.picture[y][x])) << "pixel " << x << "," << y;
            }
        }
    }
}

// SetPixel's results on a 32-bit DIB with the default palette selected.
TEST(ColourWords, ResolvedAsOnATrueColourDeviceContext) {
    const struct {
        const char* label;
        std::uint32_t word;
        Rgb colour;
    } rows[] = {
        {"a plain colour word", 0x00123456, {0x56, 0x34, 0x12}},
        {"PALETTEINDEX(1)", 0x01000001, {0x80, 0x00, 0x00}},
        {"PALETTEINDEX(9)", 0x01000009, {0xA6, 0xCA, 0xF0}},
        {"PALETTEINDEX(13)", 0x0100000D, {0xFF, 0x00, 0x00}},
        {"PALETTEINDEX past the 20 entries", 0x01000014, {0, 0, 0}},
        {"PALETTEINDEX ignores bits 16 to 23", 0x01FF0001, {0x80, 0x00, 0x00}},
        {"PALETTEINDEX takes 16 bits of index", 0x01FF8001, {0, 0, 0}},
        {"any top byte with bit 24 is a palette index", 0xFF000007, {0xC0, 0xC0, 0xC0}},
        {"other top bytes are ignored", 0xFE000007, {0x07, 0x00, 0x00}},
        {"PALETTERGB is a plain colour", 0x029B4138, {0x38, 0x41, 0x9B}},
        {"DIBINDEX has no table to index", 0x10FF0001, {0, 0, 0}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(q7host::rgb_from_colorref(r.word), r.colour) << r.label;
    }
}

}  // namespace
