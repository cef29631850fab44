// Paints an installed gauge as a Windows panel host does: the root's bitmap, then each child in list
// order, moving images at rest plus their offsets, text boxes filled and lettered as DrawText does.
// Pixels come only from the module; it knows the gauge layer, not the machine or the services.
#pragma once

#include "host/gauge_host.h"
#include "host/image.h"
#include "host/text_painter.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace q7host {

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

    // Reads the tree the module installed: loads and decodes the bitmap
    // resource of every element that names one (one that cannot be found or
    // decoded becomes a warning of the host's, and its element is not drawn)
    // and chooses each text box's font. Call after GaugeInstall.
    bool prepare(std::string& error);
    bool prepared() const { return !canvas_.empty(); }

    // Size of the picture: the root element's bitmap; without one, what the
    // other elements draw from the top-left corner (at most 4096 a side).
    int width() const { return canvas_.width(); }
    int height() const { return canvas_.height(); }

    // Paints a frame from a readout of the host's (dot offsets and texts).
    // Elements the readout does not mention are drawn at rest and empty.
    Image draw(const FrameReadout& frame);
    // Asks the module for a frame and paints it.
    Image render(FrameReadout* readout = nullptr);

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
