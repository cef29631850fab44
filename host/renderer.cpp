#include "host/renderer.h"

#include "panel/hex.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace q7host {

namespace {

constexpr int kFarOff = 1 << 16;
constexpr int kLargestFacelessSide = 4096;  // a gauge without a face is at most this big

}  // namespace

Renderer::Renderer(GaugeHost& host) : host_(host) {}
Renderer::~Renderer() = default;

bool Renderer::prepare(std::string& error) {
    bitmaps_.clear();
    boxes_.clear();
    canvas_ = Image();
    if (!host_.loaded()) {
        error = "no module is loaded";
        return false;
    }
    const ElementTree& tree = host_.elements();
    if (!tree.root) {
        error = "the gauge has no element tree";
        return false;
    }
    std::set<std::uint32_t> missing;
    // Each picture is loaded as a panel host loads it, from the mapped image
    // when an element names it; one that cannot be found or decoded leaves
    // its element undrawn, and the gauge runs on.
    for (const ElementRef& e : tree.elements) {
        const std::uint32_t id = e.bitmap_id();
        if (id == element::kNoBitmap || bitmaps_.count(id) || missing.count(id)) continue;
        std::string why;
        auto data = host_.find_bitmap(id, why);
        std::optional<Image> picture = data ? decode_dib(*data, why) : std::nullopt;
        if (!picture) {
            host_.warn({data ? WarningKind::PictureUndecodable : WarningKind::PictureMissing, hex(id), why});
            missing.insert(id);
            continue;
        }
        bitmaps_[id] = std::move(*picture);
    }
    for (const StringElementRef& e : tree.texts) {
        TextBox box;
        // A box far off the picture is drawn (as nothing) wherever it is, so
        // its numbers are kept in a range where the layout cannot overflow.
        box.x = std::clamp(e.x(), -kFarOff, kFarOff);
        box.y = std::clamp(e.y(), -kFarOff, kFarOff);
        box.width = std::clamp(e.box_width(), 0, kFarOff);
        box.height = std::clamp(e.box_height(), 0, kFarOff);
        box.text_color = rgb_from_colorref(e.text_color());
        box.fill_color = rgb_from_colorref(e.fill_color());
        box.format = e.format_flags();
        box.max_chars = static_cast<int>(e.max_chars());
        const FontRequest request{.face_name = e.face_name(), .weight = e.weight(), .char_set = e.char_set()};
        auto font = painter_.choose(request, box.width, box.height, box.max_chars, error);
        if (!font) return false;
        box.font = *font;
        boxes_[e.address()] = box;
    }
    // The root's picture gives the gauge its size; without one, the gauge is
    // as big as what is drawn on it from its top-left corner.
    if (const Image* face = bitmap(tree.elements.front().bitmap_id())) {
        canvas_ = Image(face->width(), face->height());
        return true;
    }
    int width = 1, height = 1;
    auto extend = [&](int x, int y, int w, int h) {
        width = std::max(width, std::clamp(x + w, 0, kLargestFacelessSide));
        height = std::max(height, std::clamp(y + h, 0, kLargestFacelessSide));
    };
    for (const ElementRef& e : tree.elements) {
        if (const Image* b = bitmap(e.bitmap_id())) {
            extend(std::clamp(e.x(), -kFarOff, kFarOff), std::clamp(e.y(), -kFarOff, kFarOff), b->width(), b->height());
        }
    }
    for (const auto& [address, box] : boxes_) extend(box.x, box.y, box.width, box.height);
    canvas_ = Image(width, height);
    return true;
}

const Image* Renderer::bitmap(std::uint32_t id) const {
    auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? nullptr : &it->second;
}

const TextBox* Renderer::text_box(Addr element) const {
    auto it = boxes_.find(element);
    return it == boxes_.end() ? nullptr : &it->second;
}

Image Renderer::render(FrameReadout* readout) {
    FrameReadout frame = host_.frame();
    Image out = draw(frame);
    if (readout) *readout = std::move(frame);
    return out;
}

Image Renderer::draw(const FrameReadout& frame) {
    Image out = canvas_;
    if (out.empty()) return out;
    // The root first, then each child in list order, as the tree was walked.
    for (const ElementRef& e : host_.elements().elements) draw_element(out, e, frame);
    return out;
}

void Renderer::draw_element(Image& out, const ElementRef& e, const FrameReadout& frame) {
    const std::uint32_t kind = e.kind();
    const int x = std::clamp(e.x(), -kFarOff, kFarOff), y = std::clamp(e.y(), -kFarOff, kFarOff);
    const Image* picture = bitmap(e.bitmap_id());
    const Rgb black{};
    const Rgb* transparent = (e.draw_flags() & element::kTransparentBlack) ? &black : nullptr;

    if (kind == element::kMovingImage) {
        int px = x, py = y;
        for (const DotReadout& d : frame.dots) {
            if (d.element != e.address()) continue;
            px = placed_pixel(d.screen_x, x);
            py = placed_pixel(d.screen_y, y);
        }
        if (picture) out.blit(*picture, px, py, transparent);
    } else if (kind == element::kString) {
        if (const TextBox* box = text_box(e.address())) {
            out.fill_rect(box->x, box->y, box->width, box->height, box->fill_color);
            if (const TextReadout* t = frame.text_for(e.address())) {
                painter_.draw(out, box->font, box->x, box->y, box->width, box->height, t->text, box->format,
                              box->text_color);
            }
        }
    } else if (picture) {
        out.blit(*picture, x, y, transparent);
    }
}

}  // namespace q7host
