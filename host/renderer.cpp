#include "host/renderer.h"

#include "panel/canvas.h"
#include "panel/hex.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace q7host {

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
        const BoxPlace place = text_box_place(e);
        box.x = place.x;
        box.y = place.y;
        box.width = place.width;
        box.height = place.height;
        box.text_color = rgb_from_colorref(e.text_color());
        box.fill_color = rgb_from_colorref(e.fill_color());
        box.format = e.format_flags();
        box.max_chars = text_columns(e.max_chars());
        const FontRequest request{.face_name = e.face_name(), .weight = e.weight(), .char_set = e.char_set()};
        auto font = painter_.choose(request, box.width, box.height, box.max_chars, error);
        if (!font) return false;
        box.font = *font;
        boxes_[e.address()] = box;
    }
    std::vector<BoxPlace> places;
    for (const auto& [address, box] : boxes_) places.push_back({box.x, box.y, box.width, box.height});
    const auto picture_size = [this](std::uint32_t id) -> std::optional<std::pair<int, int>> {
        if (const Image* b = bitmap(id)) return std::pair{b->width(), b->height()};
        return std::nullopt;
    };
    const auto [width, height] = canvas_size(tree, picture_size, places);
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
    const int x = on_canvas(e.x()), y = on_canvas(e.y());
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
