// Pixel maps drawn as text and their encoding as 8-bit Windows bitmaps.
//
// A map file describes one picture, one character per pixel:
//
//     # comment
//     size 5 5
//     palette panel
//     legend G 117 (0,255,0)  dot
//     legend k 0   (0,0,0)    surround
//     pixels
//     kkGkk
//     ...
//
// `size` gives width and height, `palette` names one of the built-in palettes,
// and each `legend` line maps a character to a palette index; the colour in
// brackets must be the colour that the palette holds at that index, so that
// a reader sees the colours and a wrong index is caught. Anything after the
// colour is a free description. `pixels` is followed by exactly `height` rows
// of exactly `width` legend characters, top row first; only blank lines may
// follow them. Lines starting with '#' are comments, but only before `pixels`,
// since '#' is a valid legend character inside the rows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace q7res {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

using Palette = std::array<Rgb, 256>;

// The general panel palette shared by the face and the button strip: a grey
// ramp in 0..31, red, green and blue ramps in 32..67, further ramps up to 115,
// pure red at 116, pure green at 117, and mixed colours from 118 on.
Palette panel_palette();

// Equal to the panel palette in 0..117; every entry from 118 on holds a
// different mixed colour.
Palette panel_alt_palette();

// "panel" or "panel-alt"; nothing for any other name.
std::optional<Palette> palette_named(std::string_view name);

struct PixelMap {
    int width = 0;
    int height = 0;
    Palette palette{};
    std::vector<std::uint8_t> pixels;  // palette indices, top row first

    std::uint8_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// A map file that cannot be turned into a picture. `line` is the 1-based line
// of the text where the fault was found.
class MapError : public std::runtime_error {
public:
    MapError(int line, const std::string& message) : std::runtime_error(message), line_(line) {}
    int line() const { return line_; }

private:
    int line_;
};

// Reads a map in the format above; throws MapError on any fault.
PixelMap parse_pixel_map(std::string_view text);

// The complete .bmp file: 14-byte file header, 40-byte BITMAPINFOHEADER,
// 256-entry palette and bottom-up rows of 8-bit indices, each padded with zero
// bytes to a multiple of 4.
std::vector<std::uint8_t> encode_bmp(const PixelMap& map);

}  // namespace q7res
