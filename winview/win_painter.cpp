#include "win_painter.h"

#include "panel/canvas.h"
#include "panel/hex.h"
#include "win_text.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

namespace q7win {

namespace {

using q7host::Addr;
namespace element = q7host::element;

constexpr int kLargestBitmapSide = 4096;

}  // namespace

GdiPainter::~GdiPainter() { release(); }

void GdiPainter::release() {
    for (auto& [id, p] : bitmaps_) DeleteObject(p.bitmap);
    bitmaps_.clear();
    for (auto& [at, box] : boxes_) DeleteObject(box.font);
    boxes_.clear();
    if (canvas_dc_) {
        SelectObject(canvas_dc_, canvas_old_);
        DeleteDC(canvas_dc_);
    }
    if (canvas_) DeleteObject(canvas_);
    if (source_dc_) DeleteDC(source_dc_);
    canvas_dc_ = source_dc_ = nullptr;
    canvas_ = nullptr;
    pixels_ = nullptr;
    width_ = height_ = 0;
}

const GdiPainter::Picture* GdiPainter::bitmap(std::uint32_t id) const {
    auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? nullptr : &it->second;
}

// The largest size, stepped as character heights (every whole ppem GDI can
// draw a face at), at which `max_chars` of the widest printable character fit
// the box across and one line (the font's tmHeight, the height DrawText lays
// a single line out by) fits its height; the smallest when none does.
HFONT GdiPainter::choose_font(const q7host::BasicStringElementRef<ProcessMemory>& e, int box_width, int box_height) {
    LOGFONTA lf{};
    lf.lfWeight = static_cast<LONG>(e.weight());
    lf.lfCharSet = static_cast<BYTE>(e.char_set());
    lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
    lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    lf.lfQuality = NONANTIALIASED_QUALITY;
    // Where the named face is missing, GDI's mapper takes a monospaced one.
    lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    const std::string face = e.face_name();
    std::strncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    const std::int64_t chars = q7host::text_columns(e.max_chars());
    const int height = std::clamp(box_height, 1, q7host::kLargestText);
    for (int size = std::min(q7host::kLargestText, 2 * (height + 1)); size >= 1; --size) {
        lf.lfHeight = -size;
        HFONT font = CreateFontIndirectA(&lf);
        if (!font) continue;
        const HGDIOBJ old = SelectObject(canvas_dc_, font);
        TEXTMETRICA tm{};
        GetTextMetricsA(canvas_dc_, &tm);
        INT widths[0x7F - 0x20] = {};
        int advance = 0;
        if (GetCharWidth32A(canvas_dc_, 0x20, 0x7E, widths))
            advance = *std::max_element(std::begin(widths), std::end(widths));
        SelectObject(canvas_dc_, old);
        if ((advance * chars <= box_width && tm.tmHeight <= box_height) || size == 1) return font;
        DeleteObject(font);
    }
    return nullptr;
}

bool GdiPainter::prepare(std::string& error) {
    release();
    if (!gauge_.loaded()) {
        error = "no module is loaded";
        return false;
    }
    const auto& tree = gauge_.elements();
    if (!tree.root) {
        error = "the gauge has no element tree";
        return false;
    }
    canvas_dc_ = CreateCompatibleDC(nullptr);
    source_dc_ = CreateCompatibleDC(nullptr);
    if (!canvas_dc_ || !source_dc_) {
        error = windows_error("CreateCompatibleDC", GetLastError());
        return false;
    }
    // Each picture is loaded as a panel host loads it, from the module when
    // an element names it; one that cannot be found or loaded leaves its
    // element undrawn, and the gauge runs on.
    std::set<std::uint32_t> missing;
    for (const auto& e : tree.elements) {
        const std::uint32_t id = e.bitmap_id();
        if (id == element::kNoBitmap || bitmaps_.count(id) || missing.count(id)) continue;
        const auto give_up = [&](q7host::WarningKind kind, const std::string& why) {
            gauge_.warn({kind, q7host::hex(id), why});
            missing.insert(id);
        };
        if (id > 0xFFFF) {
            give_up(q7host::WarningKind::PictureMissing, "a resource number is at most 0xFFFF");
            continue;
        }
        // Both walk the module's resource data, which may point anywhere.
        const HMODULE module = gauge_.module();
        const wchar_t* const name = MAKEINTRESOURCEW(id);
        HRSRC found = nullptr;
        HANDLE loaded = nullptr;
        DWORD error = 0;
        std::string fault;
        auto find = [&] {
            found = FindResourceW(module, name, MAKEINTRESOURCEW(2));
            error = GetLastError();
        };
        if (!WinGauge::loader_call(find, fault) || !found) {
            give_up(q7host::WarningKind::PictureMissing,
                    fault.empty() ? windows_error("FindResource", error) : "FindResource faulted: " + fault);
            continue;
        }
        auto load = [&] {
            loaded = LoadImageW(module, name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
            error = GetLastError();
        };
        if (!WinGauge::loader_call(load, fault) || !loaded) {
            give_up(q7host::WarningKind::PictureUndecodable,
                    fault.empty() ? windows_error("LoadImage", error) : "LoadImage faulted: " + fault);
            continue;
        }
        BITMAP info{};
        GetObjectW(loaded, sizeof info, &info);
        const int w = std::abs(static_cast<int>(info.bmWidth)), h = std::abs(static_cast<int>(info.bmHeight));
        if (w == 0 || h == 0 || w > kLargestBitmapSide || h > kLargestBitmapSide) {
            DeleteObject(loaded);
            give_up(q7host::WarningKind::PictureUndecodable,
                    std::to_string(w) + " x " + std::to_string(h) + " pixels, more than 4096 on a side or none");
            continue;
        }
        bitmaps_[id] = {static_cast<HBITMAP>(loaded), w, h};
    }
    for (const auto& e : tree.texts) {
        TextBox box;
        const q7host::BoxPlace place = q7host::text_box_place(e);
        box.x = place.x;
        box.y = place.y;
        box.width = place.width;
        box.height = place.height;
        box.text_color = e.text_color();
        box.fill_color = e.fill_color();
        box.format = e.format_flags();
        box.font = choose_font(e, box.width, box.height);
        if (!box.font) {
            error = "no font for \"" + e.face_name() + "\"";
            return false;
        }
        boxes_[e.address()] = box;
    }
    std::vector<q7host::BoxPlace> places;
    for (const auto& [address, box] : boxes_) places.push_back({box.x, box.y, box.width, box.height});
    const auto picture_size = [this](std::uint32_t id) -> std::optional<std::pair<int, int>> {
        if (const Picture* p = bitmap(id)) return std::pair{p->width, p->height};
        return std::nullopt;
    };
    std::tie(width_, height_) = q7host::canvas_size(tree, picture_size, places);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width_;
    bi.bmiHeader.biHeight = -height_;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    canvas_ = CreateDIBSection(canvas_dc_, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!canvas_) {
        error = windows_error("CreateDIBSection", GetLastError());
        return false;
    }
    pixels_ = static_cast<std::uint8_t*>(bits);
    canvas_old_ = SelectObject(canvas_dc_, canvas_);
    return true;
}

void GdiPainter::blit(const Picture& p, int x, int y, bool transparent) {
    const HGDIOBJ old = SelectObject(source_dc_, p.bitmap);
    if (transparent) {
        TransparentBlt(canvas_dc_, x, y, p.width, p.height, source_dc_, 0, 0, p.width, p.height, RGB(0, 0, 0));
    } else {
        BitBlt(canvas_dc_, x, y, p.width, p.height, source_dc_, 0, 0, SRCCOPY);
    }
    SelectObject(source_dc_, old);
}

void GdiPainter::draw(const q7host::FrameReadout& frame) {
    if (!canvas_) return;
    GdiFlush();
    std::memset(pixels_, 0, static_cast<std::size_t>(width_) * height_ * 4);
    // The root first, then each child in list order, as the tree was walked.
    for (const auto& e : gauge_.elements().elements) draw_element(e, frame);
    GdiFlush();
}

void GdiPainter::draw_element(const Element& e, const q7host::FrameReadout& frame) {
    const std::uint32_t kind = e.kind();
    const int x = q7host::on_canvas(e.x()), y = q7host::on_canvas(e.y());
    const Picture* picture = bitmap(e.bitmap_id());
    const bool transparent = e.draw_flags() & element::kTransparentBlack;

    if (kind == element::kMovingImage) {
        int px = x, py = y;
        for (const auto& d : frame.dots) {
            if (d.element != e.address()) continue;
            px = q7host::placed_pixel(d.screen_x, x);
            py = q7host::placed_pixel(d.screen_y, y);
        }
        if (picture) blit(*picture, px, py, transparent);
    } else if (kind == element::kString) {
        auto it = boxes_.find(e.address());
        if (it == boxes_.end()) return;
        const TextBox& box = it->second;
        RECT r{box.x, box.y, box.x + box.width, box.y + box.height};
        const HBRUSH fill = CreateSolidBrush(box.fill_color);
        FillRect(canvas_dc_, &r, fill);
        DeleteObject(fill);
        if (const q7host::TextReadout* t = frame.text_for(e.address())) {
            const HGDIOBJ old = SelectObject(canvas_dc_, box.font);
            SetTextColor(canvas_dc_, box.text_color);
            SetBkMode(canvas_dc_, TRANSPARENT);
            // A copy DrawText may write into (DT_MODIFYSTRING), with the
            // room for the four characters it may add.
            std::string text = t->text;
            const int length = static_cast<int>(text.size());
            text.append(4, '\0');
            DrawTextA(canvas_dc_, text.data(), length, &r, box.format);
            SelectObject(canvas_dc_, old);
        }
    } else if (picture) {
        blit(*picture, x, y, transparent);
    }
}

}  // namespace q7win
