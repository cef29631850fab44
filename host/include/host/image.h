// RGB pictures as the host paints them: a plain pixel buffer, decoding of the
// device-independent bitmaps a module carries as resources, nearest-neighbour
// enlargement, and PNG files in and out.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace q7host {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

// GDI's default palette (the stock DEFAULT_PALETTE object): the twenty
// static colours every device context starts with.
inline constexpr Rgb kDefaultPalette[20] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00}, {0x00, 0x00, 0x80},
    {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0}, {0xC0, 0xDC, 0xC0}, {0xA6, 0xCA, 0xF0},
    {0xFF, 0xFB, 0xF0}, {0xA0, 0xA0, 0xA4}, {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00},
    {0xFF, 0xFF, 0x00}, {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
};

// A colour word as records carry it, 0x00BBGGRR, resolved as GDI resolves
// one on a true-colour device context with the default palette selected:
// - a DIBINDEX word (0x10FFnnnn) is black: such a context has no colour
//   table to index;
// - with bit 24 set (PALETTEINDEX, and any top byte with that bit) the low
//   16 bits index the default palette; an index past its end gives entry 0,
//   black;
// - otherwise the low three bytes are the colour and the top byte is
//   ignored (PALETTERGB, top byte 2, is a plain colour here).
inline constexpr Rgb rgb_from_colorref(std::uint32_t c) {
    if ((c >> 16) == 0x10FF) return {};
    if (c & 0x01000000) {
        const std::uint32_t index = c & 0xFFFF;
        return index < std::size(kDefaultPalette) ? kDefaultPalette[index] : kDefaultPalette[0];
    }
    return {static_cast<std::uint8_t>(c & 0xFF), static_cast<std::uint8_t>((c >> 8) & 0xFF),
            static_cast<std::uint8_t>((c >> 16) & 0xFF)};
}

class Image {
public:
    Image() = default;
    Image(int width, int height, Rgb fill = {});

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }
    bool contains(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    // Pixel by pixel, inline: the decoder and the painters go through these
    // for every pixel they touch.
    Rgb at(int x, int y) const {
        if (!contains(x, y)) return {};
        const std::size_t i = (static_cast<std::size_t>(y) * width_ + x) * 3;
        return {pixels_[i], pixels_[i + 1], pixels_[i + 2]};
    }
    // Writes outside the picture are dropped, so callers may paint partly
    // off-picture shapes without clipping them first.
    void set(int x, int y, Rgb c) {
        if (!contains(x, y)) return;
        const std::size_t i = (static_cast<std::size_t>(y) * width_ + x) * 3;
        pixels_[i] = c.r;
        pixels_[i + 1] = c.g;
        pixels_[i + 2] = c.b;
    }
    void fill_rect(int x, int y, int w, int h, Rgb c);
    // Copies `src` with its top-left corner at (x, y); with `transparent` set,
    // source pixels of that colour leave the destination as it was.
    void blit(const Image& src, int x, int y, const Rgb* transparent = nullptr);
    // The same with `src` enlarged `factor` times, nearest neighbour.
    void blit_scaled(const Image& src, int factor, int x, int y, const Rgb* transparent = nullptr);
    Image scaled(int factor) const;  // nearest neighbour
    // Rows top to bottom, three bytes per pixel, no padding.
    const std::vector<std::uint8_t>& rgb() const { return pixels_; }
    bool operator==(const Image&) const = default;

private:
    int width_ = 0, height_ = 0;
    std::vector<std::uint8_t> pixels_;
};

// A bitmap resource (a packed device-independent bitmap: header, colour
// table or masks, pixel rows; no file header), decoded as GDI decodes one it
// loads or paints onto a true-colour surface:
// - headers: BITMAPCOREHEADER (12 bytes, 1, 4, 8 or 24 bits per pixel,
//   three-byte colour entries) or BITMAPINFOHEADER and its longer versions
//   (any size from 40 bytes; V4 and V5 among them), the colour table
//   following the header;
// - 1, 4 and 8 bits per pixel through the colour table: biClrUsed 0 means
//   the full table, more than the bit count can index is capped, and an
//   index past the table is black;
// - 16 bits per pixel as 5-5-5, 24 as blue, green, red bytes, 32 as blue,
//   green, red and an unused byte; with BI_BITFIELDS (16 and 32 bits) three
//   masks, after a 40-byte header or inside a longer one; a field narrower
//   than 8 bits is widened by repeating its bits, a wider one keeps its top
//   8; above 8 bits per pixel a table biClrUsed entries long (at most 256)
//   may precede the rows and is skipped;
// - BI_RLE8 and BI_RLE4 streams, biSizeImage bytes long: runs, end of line,
//   end of bitmap, deltas and word-padded absolute runs; pixels the stream
//   skips stay black, as in a newly created bitmap, and pixels past the
//   right edge or the top are dropped;
// - rows bottom-up, or top-down for a negative height (uncompressed only).
// Whatever GDI refuses (a zero or negative width, a zero height, no planes,
// a bit count or compression it does not paint, a compressed bitmap that is
// top-down or has no biSizeImage, a zero mask, data shorter than the header,
// table or rows need) is refused with one line naming what is wrong, as is a
// side longer than 4096 pixels. The cost is bounded by the picture and the
// data: every step of a compressed stream consumes bytes.
std::optional<Image> decode_dib(const std::vector<std::uint8_t>& data, std::string& error);

// Writes the picture enlarged `scale` times (nearest neighbour), a row at a
// time, so the enlarged picture is never held in memory. The file is written
// under a temporary name beside it and renamed into place, so that a failed
// write never leaves a partial PNG behind.
bool write_png(const std::string& path, const Image& image, std::string& error, int scale = 1);
std::optional<Image> read_png(const std::string& path, std::string& error);

}  // namespace q7host
