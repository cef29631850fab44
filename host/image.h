// RGB pictures as the host paints them: a plain pixel buffer, decoding of the
// device-independent bitmaps a module carries as resources, nearest-neighbour
// enlargement, and PNG files in and out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace q7host {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

// A colour word as records carry it: 0x00BBGGRR.
inline constexpr Rgb rgb_from_colorref(std::uint32_t c) {
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
    Rgb at(int x, int y) const;
    // Writes outside the picture are dropped, so callers may paint partly
    // off-picture shapes without clipping them first.
    void set(int x, int y, Rgb c);
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

// A bitmap resource: BITMAPINFOHEADER, colour table and pixel rows, without a
// file header. Reads 1, 4 and 8 bits per pixel through the colour table and 24
// and 32 bits per pixel directly, bottom-up or top-down, uncompressed only.
std::optional<Image> decode_dib(const std::vector<std::uint8_t>& data, std::string& error);

// Writes the picture enlarged `scale` times (nearest neighbour), a row at a
// time, so the enlarged picture is never held in memory. The file is written
// under a temporary name beside it and renamed into place, so that a failed
// write never leaves a partial PNG behind.
bool write_png(const std::string& path, const Image& image, std::string& error, int scale = 1);
std::optional<Image> read_png(const std::string& path, std::string& error);

}  // namespace q7host
