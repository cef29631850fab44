#include "pixmap.hpp"

#include <charconv>
#include <map>
#include <set>

namespace q7res {
namespace {

constexpr std::uint8_t clamp8(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Entries 0..117, common to both palettes.
Palette base_palette() {
    Palette p{};
    // Grey ramp, black to white in steps of 65/8; the last step is stretched so
    // that the ramp ends on pure white.
    for (int i = 0; i < 31; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 65 / 8);
        p[i] = {v, v, v};
    }
    p[31] = {255, 255, 255};
    // Twelve-step dark-to-bright ramps: the main components climb by 21, the
    // others by 5, so each ramp stays saturated without reaching black.
    auto ramp = [&p](int first, int r, int g, int b) {
        for (int k = 0; k < 12; ++k) {
            const int s = k + 1;
            p[first + k] = {clamp8(r * s), clamp8(g * s), clamp8(b * s)};
        }
    };
    ramp(32, 21, 5, 5);    // red
    ramp(44, 5, 21, 5);    // green; 47 is the dark screen green (20,84,20)
    ramp(56, 5, 5, 21);    // blue
    ramp(68, 21, 21, 5);   // yellow
    ramp(80, 5, 21, 21);   // cyan
    ramp(92, 21, 5, 21);   // magenta
    ramp(104, 21, 13, 5);  // amber
    p[116] = {255, 0, 0};
    p[117] = {0, 255, 0};
    return p;
}

// Entries 118..255: a 5x5x5 colour cube over `levels` followed by a 13-step
// tinted grey ramp.
void fill_mixed(Palette& p, const std::array<int, 5>& levels, int tint_r, int tint_b) {
    int i = 118;
    for (int r : levels)
        for (int g : levels)
            for (int b : levels) p[i++] = {clamp8(r), clamp8(g), clamp8(b)};
    for (int k = 0; k < 13; ++k) {
        const int v = 20 * k + 12;
        p[i++] = {clamp8(v + tint_r), clamp8(v), clamp8(v + tint_b)};
    }
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

// Splits off the next whitespace-separated word of `rest`.
std::string_view next_word(std::string_view& rest) {
    rest = trim(rest);
    const auto end = rest.find_first_of(" \t");
    const auto word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    return word;
}

std::optional<int> to_int(std::string_view s) {
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// "(r,g,b)" with each component 0..255.
std::optional<Rgb> to_rgb(std::string_view s) {
    if (s.size() < 7 || s.front() != '(' || s.back() != ')') return std::nullopt;
    s = s.substr(1, s.size() - 2);
    int c[3];
    for (int n = 0; n < 3; ++n) {
        const auto comma = s.find(',');
        if ((n < 2) != (comma != std::string_view::npos)) return std::nullopt;
        const auto v = to_int(s.substr(0, comma));
        if (!v || *v < 0 || *v > 255) return std::nullopt;
        c[n] = *v;
        s = comma == std::string_view::npos ? std::string_view{} : s.substr(comma + 1);
    }
    return Rgb{clamp8(c[0]), clamp8(c[1]), clamp8(c[2])};
}

std::string rgb_text(const Rgb& c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

std::string char_text(char c) { return "'" + std::string(1, c) + "'"; }

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

}  // namespace

Palette panel_palette() {
    Palette p = base_palette();
    fill_mixed(p, {51, 102, 153, 204, 255}, +3, -4);  // warm greys at the end
    return p;
}

Palette panel_alt_palette() {
    Palette p = base_palette();
    fill_mixed(p, {40, 90, 140, 190, 240}, -4, +3);  // cool greys at the end
    return p;
}

std::optional<Palette> palette_named(std::string_view name) {
    if (name == "panel") return panel_palette();
    if (name == "panel-alt") return panel_alt_palette();
    return std::nullopt;
}

PixelMap parse_pixel_map(std::string_view text) {
    constexpr int max_side = 4096;
    PixelMap map;
    bool have_size = false;
    std::optional<Palette> palette;
    std::map<char, std::uint8_t> legend;
    std::set<char> used;
    bool in_pixels = false;
    int rows = 0;
    int line_no = 0;
    int pixels_line = 0;

    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (in_pixels) {
            if (rows == map.height) {
                if (!trim(line).empty())
                    throw MapError(line_no, "more than " + std::to_string(map.height) + " pixel rows");
                continue;
            }
            if (static_cast<int>(line.size()) != map.width)
                throw MapError(line_no, "pixel row " + std::to_string(rows) + " is " + std::to_string(line.size()) +
                                            " characters wide, expected " + std::to_string(map.width));
            for (int x = 0; x < map.width; ++x) {
                const auto it = legend.find(line[x]);
                if (it == legend.end())
                    throw MapError(line_no, "character " + char_text(line[x]) + " at x " + std::to_string(x) +
                                                " is not in the legend");
                map.pixels.push_back(it->second);
                used.insert(line[x]);
            }
            ++rows;
            continue;
        }

        std::string_view rest = line;
        const auto keyword = next_word(rest);
        if (keyword.empty() || keyword.front() == '#') continue;

        if (keyword == "size") {
            if (have_size) throw MapError(line_no, "size given twice");
            const auto w = to_int(next_word(rest));
            const auto h = to_int(next_word(rest));
            if (!w || !h || !trim(rest).empty()) throw MapError(line_no, "expected 'size WIDTH HEIGHT'");
            if (*w < 1 || *h < 1 || *w > max_side || *h > max_side)
                throw MapError(line_no, "size must be 1.." + std::to_string(max_side) + " in each direction");
            map.width = *w;
            map.height = *h;
            have_size = true;
        } else if (keyword == "palette") {
            if (palette) throw MapError(line_no, "palette given twice");
            const auto name = next_word(rest);
            if (name.empty() || !trim(rest).empty()) throw MapError(line_no, "expected 'palette NAME'");
            palette = palette_named(name);
            if (!palette) throw MapError(line_no, "unknown palette '" + std::string(name) + "'");
        } else if (keyword == "legend") {
            if (!palette) throw MapError(line_no, "legend before palette");
            const auto key = next_word(rest);
            const auto index = to_int(next_word(rest));
            const auto colour = to_rgb(next_word(rest));
            if (key.size() != 1 || !index || !colour)
                throw MapError(line_no, "expected 'legend CHAR INDEX (R,G,B) [description]'");
            if (key[0] < '!' || key[0] > '~') throw MapError(line_no, "legend character must be printable, not blank");
            if (*index < 0 || *index > 255) throw MapError(line_no, "palette index must be 0..255");
            if (legend.contains(key[0]))
                throw MapError(line_no, "legend character " + char_text(key[0]) + " given twice");
            const Rgb actual = (*palette)[static_cast<std::size_t>(*index)];
            if (actual != *colour)
                throw MapError(line_no, "palette index " + std::to_string(*index) + " is " + rgb_text(actual) +
                                            ", not " + rgb_text(*colour));
            legend.emplace(key[0], static_cast<std::uint8_t>(*index));
        } else if (keyword == "pixels") {
            if (!have_size || !palette || legend.empty())
                throw MapError(line_no, "pixels before size, palette and legend");
            if (!trim(rest).empty()) throw MapError(line_no, "nothing may follow 'pixels' on its line");
            in_pixels = true;
            pixels_line = line_no;
        } else {
            throw MapError(line_no, "unknown keyword '" + std::string(keyword) + "'");
        }
    }

    if (!in_pixels) throw MapError(line_no, "no 'pixels' section");
    if (rows != map.height)
        throw MapError(line_no, "only " + std::to_string(rows) + " pixel rows after line " +
                                    std::to_string(pixels_line) + ", expected " + std::to_string(map.height));
    for (const auto& [key, index] : legend)
        if (!used.contains(key)) throw MapError(pixels_line, "legend character " + char_text(key) + " is never used");
    map.palette = *palette;
    return map;
}

std::vector<std::uint8_t> encode_bmp(const PixelMap& map) {
    constexpr std::uint32_t file_header_size = 14;
    constexpr std::uint32_t info_header_size = 40;
    constexpr std::uint32_t palette_size = 256 * 4;
    constexpr std::uint32_t pixels_per_metre = 11810;  // 300 dots per inch
    const auto stride = static_cast<std::uint32_t>((map.width + 3) / 4 * 4);
    const auto image_size = stride * static_cast<std::uint32_t>(map.height);
    const auto pixel_offset = file_header_size + info_header_size + palette_size;

    std::vector<std::uint8_t> out;
    out.reserve(pixel_offset + image_size);
    // BITMAPFILEHEADER
    out.push_back('B');
    out.push_back('M');
    put32(out, pixel_offset + image_size);
    put16(out, 0);
    put16(out, 0);
    put32(out, pixel_offset);
    // BITMAPINFOHEADER
    put32(out, info_header_size);
    put32(out, static_cast<std::uint32_t>(map.width));
    put32(out, static_cast<std::uint32_t>(map.height));  // positive: bottom row first
    put16(out, 1);                                       // planes
    put16(out, 8);                                       // bits per pixel
    put32(out, 0);                                       // BI_RGB
    put32(out, image_size);
    put32(out, pixels_per_metre);
    put32(out, pixels_per_metre);
    put32(out, 256);  // colours used
    put32(out, 256);  // colours important
    for (const Rgb& c : map.palette) {
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
    for (int y = map.height - 1; y >= 0; --y) {
        for (int x = 0; x < map.width; ++x) out.push_back(map.at(x, y));
        out.insert(out.end(), stride - static_cast<std::uint32_t>(map.width), 0);
    }
    return out;
}

}  // namespace q7res
