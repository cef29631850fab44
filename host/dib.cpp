// Device-independent bitmaps decoded as GDI decodes the ones a module carries
// as resources: the header's layout and colour table, uncompressed rows of 1 to
// 32 bits per pixel, bit-field masks, and RLE8 and RLE4 streams.
#include "host/image.h"

#include <algorithm>
#include <bit>

namespace q7host {

namespace {

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3;
constexpr std::int64_t kMaxSide = 4096;

// One colour field of a pixel word: where it starts and how many bits wide.
struct Field {
    unsigned shift = 0, bits = 0;
};

// The field a mask selects: its lowest set bit and the ones that follow it.
Field field_of(std::uint32_t mask) {
    if (mask == 0) return {};
    const auto shift = static_cast<unsigned>(std::countr_zero(mask));
    return {shift, static_cast<unsigned>(std::countr_one(mask >> shift))};
}

// A field's value as an 8-bit intensity: a narrow field is widened by
// repeating its bits (a full 5-bit field is 255, not 248), a wide one keeps
// its top 8 bits.
std::uint8_t expand(std::uint32_t word, Field f) {
    if (f.bits == 0) return 0;
    const std::uint32_t value = static_cast<std::uint32_t>((std::uint64_t{word} >> f.shift) & ((1ull << f.bits) - 1));
    if (f.bits >= 8) return static_cast<std::uint8_t>(value >> (f.bits - 8));
    std::uint32_t out = 0;
    for (int at = 8 - static_cast<int>(f.bits);; at -= static_cast<int>(f.bits)) {
        out |= at >= 0 ? value << at : value >> -at;
        if (at <= 0) break;
    }
    return static_cast<std::uint8_t>(out);
}

// What the header says about the picture and where its parts lie.
struct Layout {
    std::int32_t width = 0, height = 0;
    bool top_down = false;
    unsigned bits = 0;
    std::uint32_t compression = kRgb;
    std::uint32_t size_image = 0;
    std::vector<Rgb> table;
    Field red, green, blue;
    std::size_t pixels = 0;  // offset of the pixel rows or the compressed stream
};

std::string compression_name(std::uint32_t c) {
    switch (c) {
        case kRgb: return "BI_RGB";
        case kRle8: return "BI_RLE8";
        case kRle4: return "BI_RLE4";
        case kBitfields: return "BI_BITFIELDS";
        case 4: return "BI_JPEG";
        case 5: return "BI_PNG";
        case 6: return "BI_ALPHABITFIELDS";
        default: return "compression " + std::to_string(c);
    }
}

std::optional<Layout> read_layout(const std::vector<std::uint8_t>& data, std::string& error) {
    auto u16 = [&](std::size_t o) -> std::uint32_t { return data[o] | data[o + 1] << 8; };
    auto u32 = [&](std::size_t o) -> std::uint32_t { return u16(o) | u16(o + 2) << 16; };
    if (data.size() < 4) {
        error = "bitmap too short for its header";
        return std::nullopt;
    }
    const std::uint32_t header = u32(0);
    const bool core = header == 12;
    if (!core && header < 40) {
        error = "bitmap header size " + std::to_string(header) + " is neither 12 nor at least 40";
        return std::nullopt;
    }
    if (data.size() < header) {
        error = "bitmap data is shorter than its " + std::to_string(header) + "-byte header";
        return std::nullopt;
    }
    Layout l;
    std::int64_t width = 0, height = 0;
    unsigned planes = 0;
    std::uint32_t colours_used = 0;
    if (core) {
        width = u16(4);
        height = u16(6);
        planes = u16(8);
        l.bits = u16(10);
    } else {
        width = static_cast<std::int32_t>(u32(4));
        height = static_cast<std::int32_t>(u32(8));
        planes = u16(12);
        l.bits = u16(14);
        l.compression = u32(16);
        l.size_image = u32(20);
        colours_used = u32(32);
    }
    // In 64 bits: the most negative height has no 32-bit opposite.
    l.top_down = height < 0;
    const std::int64_t rows = l.top_down ? -height : height;
    if (width <= 0 || rows == 0 || width > kMaxSide || rows > kMaxSide) {
        error = "bitmap has an unusable size " + std::to_string(width) + " x " + std::to_string(height);
        return std::nullopt;
    }
    l.width = static_cast<std::int32_t>(width);
    l.height = static_cast<std::int32_t>(rows);
    if (planes == 0) {
        error = "bitmap has 0 planes";
        return std::nullopt;
    }
    const unsigned b = l.bits;
    const bool indexed = b == 1 || b == 4 || b == 8;
    bool valid = false;
    switch (l.compression) {
        case kRgb: valid = indexed || b == 24 || (!core && (b == 16 || b == 32)); break;
        case kRle8: valid = b == 8; break;
        case kRle4: valid = b == 4; break;
        case kBitfields: valid = b == 16 || b == 32; break;
        default: error = "bitmap " + compression_name(l.compression) + " is not one GDI paints"; return std::nullopt;
    }
    if (!valid) {
        error = std::string(core ? "core " : "") + "bitmap with " + std::to_string(b) + " bits per pixel cannot be " +
                compression_name(l.compression);
        return std::nullopt;
    }
    const bool compressed = l.compression == kRle8 || l.compression == kRle4;
    if (compressed && l.top_down) {
        error = "top-down bitmap cannot be " + compression_name(l.compression);
        return std::nullopt;
    }
    if (compressed && l.size_image == 0) {
        error = compression_name(l.compression) + " bitmap has no biSizeImage";
        return std::nullopt;
    }

    std::size_t table = core ? 12 : header;
    if (l.compression == kBitfields) {
        // The masks sit at bytes 40 to 51 whether they follow a 40-byte
        // header or belong to a longer one.
        table = std::max<std::size_t>(header, 52);
        if (data.size() < 52) {
            error = "bitmap data is shorter than its BI_BITFIELDS masks";
            return std::nullopt;
        }
        static const char* const names[] = {"red", "green", "blue"};
        Field* fields[] = {&l.red, &l.green, &l.blue};
        for (int i = 0; i < 3; ++i) {
            const std::uint32_t mask = u32(40 + 4 * static_cast<std::size_t>(i));
            if (mask == 0) {
                error = std::string("bitmap's BI_BITFIELDS mask for ") + names[i] + " is 0";
                return std::nullopt;
            }
            *fields[i] = field_of(mask);
        }
    } else if (b == 16) {
        l.red = field_of(0x7C00);
        l.green = field_of(0x03E0);
        l.blue = field_of(0x001F);
    } else if (b == 32) {
        l.red = field_of(0xFF0000);
        l.green = field_of(0x00FF00);
        l.blue = field_of(0x0000FF);
    }
    // Entries in the colour table: up to what the bit count can index for
    // indexed pixels, an optional table of at most 256 entries otherwise.
    std::uint32_t entries = 0;
    if (core) {
        entries = indexed ? 1u << b : 0;
    } else if (indexed) {
        entries = colours_used == 0 ? 1u << b : std::min(colours_used, 1u << b);
    } else {
        entries = std::min<std::uint32_t>(colours_used, 256);
    }
    const std::size_t entry_size = core ? 3 : 4;
    l.pixels = table + entry_size * entries;
    if (data.size() < l.pixels) {
        error = "bitmap data is shorter than its " + std::to_string(entries) + "-entry colour table";
        return std::nullopt;
    }
    if (indexed) {
        l.table.resize(entries);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t e = table + entry_size * i;
            l.table[i] = {data[e + 2], data[e + 1], data[e]};
        }
    }
    return l;
}

// The colour of a table index; an index past the table is black.
Rgb entry(const Layout& l, unsigned index) { return index < l.table.size() ? l.table[index] : Rgb{}; }

std::optional<Image> decode_rows(const std::vector<std::uint8_t>& data, const Layout& l, std::string& error) {
    const std::size_t stride = ((static_cast<std::size_t>(l.width) * l.bits + 31) / 32) * 4;
    if (data.size() - l.pixels < stride * static_cast<std::size_t>(l.height)) {
        error = "bitmap data is shorter than its rows need";
        return std::nullopt;
    }
    Image out(l.width, l.height);
    for (std::int32_t row = 0; row < l.height; ++row) {
        const std::uint8_t* p = data.data() + l.pixels + stride * static_cast<std::size_t>(row);
        const int y = l.top_down ? row : l.height - 1 - row;
        for (std::int32_t x = 0; x < l.width; ++x) {
            Rgb c;
            if (l.bits <= 8) {
                const std::size_t bit = static_cast<std::size_t>(x) * l.bits;
                const unsigned shift = 8 - l.bits - bit % 8;
                c = entry(l, (p[bit / 8] >> shift) & ((1u << l.bits) - 1));
            } else if (l.bits == 24) {
                const std::uint8_t* q = p + 3 * static_cast<std::size_t>(x);
                c = {q[2], q[1], q[0]};
            } else {
                const std::size_t bytes = l.bits / 8;
                const std::uint8_t* q = p + bytes * static_cast<std::size_t>(x);
                std::uint32_t word = 0;
                for (std::size_t i = bytes; i-- > 0;) word = word << 8 | q[i];
                c = {expand(word, l.red), expand(word, l.green), expand(word, l.blue)};
            }
            out.set(x, y, c);
        }
    }
    return out;
}

// A BI_RLE8 or BI_RLE4 stream, always bottom-up. Each step reads at least
// two bytes, so the stream's length bounds the work; pixels are written
// only where they land on the picture.
std::optional<Image> decode_rle(const std::vector<std::uint8_t>& data, const Layout& l, std::string& error) {
    const bool rle4 = l.compression == kRle4;
    const std::size_t available = data.size() - l.pixels;
    // GDI reads biSizeImage bytes; where the resource holds fewer, what a
    // host would read past it is unknown, so running into that is refused.
    const bool cut_short = l.size_image > available;
    const std::size_t end = l.pixels + std::min<std::size_t>(l.size_image, available);
    Image out(l.width, l.height);
    std::int64_t x = 0, row = 0;
    auto paint = [&](std::int64_t at, unsigned index) {
        if (at < l.width && row < l.height) {
            out.set(static_cast<int>(at), static_cast<int>(l.height - 1 - row), entry(l, index));
        }
    };
    std::size_t p = l.pixels;
    while (true) {
        std::size_t need = 2;
        if (p + 2 <= end && data[p] == 0) {
            const unsigned code = data[p + 1];
            if (code == 2) need = 4;
            if (code >= 3) {
                const std::size_t bytes = rle4 ? (code + 1) / 2 : code;
                need = 2 + bytes + (bytes & 1);
            }
        }
        if (p + need > end) {
            if (cut_short) {
                error = compression_name(l.compression) + " stream runs past the end of the bitmap data";
                return std::nullopt;
            }
            break;  // the stream ends without an end-of-bitmap mark: what it painted stays
        }
        const unsigned count = data[p], value = data[p + 1];
        if (count > 0) {
            // A run: one index, or for RLE4 two alternating ones.
            const std::int64_t visible = std::clamp<std::int64_t>(l.width - x, 0, count);
            for (std::int64_t i = 0; i < visible; ++i) {
                paint(x + i, rle4 ? (i % 2 == 0 ? value >> 4 : value & 0x0F) : value);
            }
            x += count;
        } else if (value == 0) {
            x = 0;
            ++row;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            x += data[p + 2];
            row += data[p + 3];
        } else {
            // An absolute run of `value` indices, padded to a whole word.
            const std::uint8_t* q = data.data() + p + 2;
            for (unsigned i = 0; i < value; ++i) {
                paint(x + i, rle4 ? (i % 2 == 0 ? q[i / 2] >> 4 : q[i / 2] & 0x0F) : q[i]);
            }
            x += value;
        }
        p += need;
    }
    return out;
}

}  // namespace

std::optional<Image> decode_dib(const std::vector<std::uint8_t>& data, std::string& error) {
    const auto layout = read_layout(data, error);
    if (!layout) return std::nullopt;
    if (layout->compression == kRle8 || layout->compression == kRle4) return decode_rle(data, *layout, error);
    return decode_rows(data, *layout, error);
}

}  // namespace q7host
