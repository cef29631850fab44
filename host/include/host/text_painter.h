// Text as a Windows panel host letters it: the font a text box asks for, found with fontconfig and
// sized as GDI sizes it, and monochrome FreeType glyphs laid out as DrawText lays them out.
// It knows pictures, nothing of gauges or modules.
#pragma once

#include "host/image.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace q7host {

// DrawText flags the painter honours.
namespace draw_text {
inline constexpr std::uint32_t kCenter = 0x1, kRight = 0x2, kVCenter = 0x4, kBottom = 0x8;
inline constexpr std::uint32_t kSingleLine = 0x20, kNoClip = 0x100, kNoPrefix = 0x800;
}  // namespace draw_text

// A font as a text box record asks for it.
struct FontRequest {
    std::string face_name;
    std::uint32_t weight = 400;
    std::uint32_t char_set = 1;
};

// The installed face taken for a request, and the size it is drawn at.
struct FontChoice {
    std::string file;
    int face_index = 0;
    std::string family;           // of the face actually used
    bool bold = false;            // asked for by the name or the weight
    bool synthetic_bold = false;  // bold asked for, the face is not: strokes are thickened
    bool substituted = false;     // the named family is not installed
    int pixel_size = 0;           // em height in pixels
    int advance = 0;              // widest character's advance, pixels
    int ascent = 0, descent = 0;  // pixels above and below the baseline
    int cell_height() const { return ascent + descent; }
};

// Font choice and monochrome text painting on FreeType and fontconfig.
class TextPainter {
public:
    TextPainter();
    ~TextPainter();
    TextPainter(const TextPainter&) = delete;
    TextPainter& operator=(const TextPainter&) = delete;

    // Finds the face: the named family when it is installed (a trailing
    // "Bold" or "Italic" in the name selects that style, as it does for a
    // Windows full face name); otherwise the metric-compatible face fontconfig
    // maps the name to, provided that face is monospaced; otherwise the
    // system's monospaced face. Then takes the largest size at which
    // `max_chars` of its widest character fit the box across and one line of
    // it fits the box's height.
    std::optional<FontChoice> choose(const FontRequest& request, int box_width, int box_height, int max_chars,
                                     std::string& error);

    // Width in pixels of one line of text as it would be drawn.
    int text_width(const FontChoice& font, const std::string& text);

    // Lays text out in the box with DrawText's flags and paints its glyphs in
    // `color`; unless kNoClip is set nothing lands outside the box.
    void draw(Image& image, const FontChoice& font, int x, int y, int w, int h, const std::string& text,
              std::uint32_t format, Rgb color);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace q7host
