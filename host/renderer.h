// Paints an installed gauge the way a Windows panel host does: the root
// image's bitmap from the module's resources, then every child in list order,
// moving images at their rest position plus the callback offsets, text boxes
// filled and lettered as DrawText would letter them. Pixels come only from the
// module: its bitmap resources, its records and what its callbacks return.
#pragma once

#include "host/gauge.h"
#include "host/image.h"

#include <cstdint>
#include <map>
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
    std::string family;  // of the face actually used
    bool bold = false;   // asked for by the name or the weight
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
    std::optional<FontChoice> choose(const FontRequest& request, int box_width, int box_height,
                                     int max_chars, std::string& error);

    // Width in pixels of one line of text as it would be drawn.
    int text_width(const FontChoice& font, const std::string& text);

    // Lays text out in the box with DrawText's flags and paints its glyphs in
    // `color`; unless kNoClip is set nothing lands outside the box.
    void draw(Image& image, const FontChoice& font, int x, int y, int w, int h,
              const std::string& text, std::uint32_t format, Rgb color);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A text box as its record describes it.
struct TextBox {
    int x = 0, y = 0, width = 0, height = 0;
    Rgb text_color, fill_color;
    std::uint32_t format = 0;
    int max_chars = 0;
    FontChoice font;
};

class Renderer {
public:
    explicit Renderer(GaugeHost& host);
    ~Renderer();

    // Reads the tree the module installed: decodes the bitmap resource of
    // every element that names one and chooses each text box's font. Call
    // after GaugeInstall.
    bool prepare(std::string& error);
    bool prepared() const { return !canvas_.empty(); }

    // Size of the picture: the root element's bitmap.
    int width() const { return canvas_.width(); }
    int height() const { return canvas_.height(); }

    // Paints a frame from a readout of the host's (dot offsets and texts).
    // Elements the readout does not mention are drawn at rest and empty.
    Image draw(const FrameReadout& frame);
    // Asks the module for a frame and paints it.
    Image render(FrameReadout* readout = nullptr);

    // Top-left pixel where a moving image's bitmap lands: its screen position
    // rounded to whole pixels; a callback value that is not a number leaves
    // the image at its rest position.
    static int placed(double screen, double rest);

    const Image* bitmap(std::uint32_t id) const;
    const TextBox* text_box(Addr element) const;
    TextPainter& painter() { return painter_; }

private:
    void draw_element(Image& out, const ElementRef& e, const FrameReadout& frame);

    GaugeHost& host_;
    TextPainter painter_;
    Image canvas_;
    std::map<std::uint32_t, Image> bitmaps_;
    std::map<Addr, TextBox> boxes_;
};

}  // namespace q7host
