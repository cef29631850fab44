// Paints the installed gauge with GDI, as a Windows panel host does: the
// root element's bitmap resource sets the picture, then each child in list
// order; bitmaps loaded from the module with LoadImage (pure black left
// transparent on an element whose draw flags ask for it, with
// TransparentBlt), moving images at their placed pixel, text boxes filled
// with FillRect and lettered with DrawText in the font CreateFont gives for
// the record's face name, weight and character set, at the largest size at
// which max_chars characters fit the box across and one line fits its height.
// Everything is drawn into a 32-bit top-down DIB section, the gauge's own
// pixels; the PNG writer enlarges them.
#pragma once

#include "panel/gauge_runner.h"
#include "win_gauge.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

namespace q7win {

class GdiPainter {
public:
    explicit GdiPainter(WinGauge& gauge) : gauge_(gauge) {}
    ~GdiPainter();
    GdiPainter(const GdiPainter&) = delete;
    GdiPainter& operator=(const GdiPainter&) = delete;

    // Reads the tree the module installed: loads every bitmap an element
    // names (one that cannot be found or loaded becomes a warning, and its
    // element is not drawn), chooses each text box's font and makes the
    // canvas. Call after GaugeInstall.
    bool prepare(std::string& error);

    // The gauge's size: the root element's bitmap; without one, what the
    // other elements draw from the top-left corner (at most 4096 a side).
    int width() const { return width_; }
    int height() const { return height_; }

    // Paints a frame from a readout (dot offsets and texts). Elements the
    // readout does not mention are drawn at rest and empty.
    void draw(const q7host::FrameReadout& frame);
    // The canvas: rows top to bottom, four bytes a pixel (blue, green, red, unused).
    const std::uint8_t* pixels() const { return pixels_; }

    struct Picture {
        HBITMAP bitmap = nullptr;
        int width = 0, height = 0;
    };
    const Picture* bitmap(std::uint32_t id) const;

private:
    struct TextBox {
        int x = 0, y = 0, width = 0, height = 0;
        COLORREF text_color = 0, fill_color = 0;
        UINT format = 0;
        HFONT font = nullptr;
    };
    using Element = q7host::BasicElementRef<ProcessMemory>;
    HFONT choose_font(const q7host::BasicStringElementRef<ProcessMemory>& e, int box_width, int box_height);
    void blit(const Picture& p, int x, int y, bool transparent);
    void draw_element(const Element& e, const q7host::FrameReadout& frame);
    void release();

    WinGauge& gauge_;
    HDC canvas_dc_ = nullptr, source_dc_ = nullptr;
    HBITMAP canvas_ = nullptr;
    HGDIOBJ canvas_old_ = nullptr;
    std::uint8_t* pixels_ = nullptr;
    int width_ = 0, height_ = 0;
    std::map<std::uint32_t, Picture> bitmaps_;
    std::map<q7host::Addr, TextBox> boxes_;
};

}  // namespace q7win
