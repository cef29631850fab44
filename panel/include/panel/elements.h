// Typed views of the records a gauge hands its host, the same for every host: the element tree,
// each element's named fields, the mouse list as click areas in gauge pixels, the quorlan7
// instrument's parts by role, and where a moving image lands. Views read module memory live
// through the host's Memory; they know nothing of services or calls.
//
// Memory is the host's view of the module's address space:
//   template <class T> T read(Addr) const;          throws MemoryFault
//   std::string read_cstring(Addr, std::size_t max) const;
//   bool readable(Addr, std::size_t) const;
#pragma once

#include "panel/layout.h"
#include "panel/problem.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace q7host {

// Any element record: the common header.
template <class Memory>
class BasicElementRef {
public:
    BasicElementRef() = default;
    BasicElementRef(const Memory& m, Addr a) : m_(&m), a_(a) {}
    Addr address() const { return a_; }
    explicit operator bool() const { return a_ != 0; }
    std::uint32_t kind() const { return word(element::kKind); }
    std::uint32_t bitmap_id() const { return word(element::kBitmapId); }
    int x() const { return m_->template read<std::int32_t>(a_ + element::kPositionX); }
    int y() const { return m_->template read<std::int32_t>(a_ + element::kPositionY); }
    std::uint32_t draw_flags() const { return word(element::kDrawFlags); }
    Addr child_list() const { return word(element::kChildList); }

protected:
    std::uint32_t word(unsigned offset) const { return m_->template read<std::uint32_t>(a_ + offset); }
    double real(unsigned offset) const { return m_->template read<double>(a_ + offset); }
    const Memory* m_ = nullptr;
    Addr a_ = 0;
};

// A moving image: its two position callbacks and their scales.
template <class Memory>
class BasicMovingImageRef : public BasicElementRef<Memory> {
public:
    using BasicElementRef<Memory>::BasicElementRef;
    Addr x_callback() const { return this->word(moving_image::kXCallback); }
    Addr y_callback() const { return this->word(moving_image::kYCallback); }
    double x_scale() const { return this->real(moving_image::kXScale); }
    double y_scale() const { return this->real(moving_image::kYScale); }
    Addr x_source() const { return this->a_ + moving_image::kXSource; }
    Addr y_source() const { return this->a_ + moving_image::kYSource; }
};

// A text box: its callback and buffer, its box, colours, font and capacity.
template <class Memory>
class BasicStringElementRef : public BasicElementRef<Memory> {
public:
    static constexpr unsigned kSourceSlots = 3;
    using BasicElementRef<Memory>::BasicElementRef;
    Addr text_callback() const { return this->word(string_element::kTextCallback); }
    Addr text_buffer() const { return this->word(string_element::kTextBuffer); }
    Addr text_buffer_field() const { return this->a_ + string_element::kTextBuffer; }
    int box_width() const { return static_cast<std::int32_t>(this->word(string_element::kBoxWidth)); }
    int box_height() const { return static_cast<std::int32_t>(this->word(string_element::kBoxHeight)); }
    std::uint32_t text_color() const { return this->word(string_element::kTextColor); }
    std::uint32_t fill_color() const { return this->word(string_element::kFillColor); }
    std::string face_name() const { return this->m_->read_cstring(this->a_ + string_element::kFaceName, 32); }
    std::uint32_t weight() const { return this->word(string_element::kWeight); }
    std::uint32_t char_set() const { return this->word(string_element::kCharSet); }
    std::uint32_t format_flags() const { return this->word(string_element::kFormatFlags); }
    std::uint32_t max_chars() const { return this->word(string_element::kMaxChars); }
    Addr source_vars() const { return this->a_ + string_element::kSourceVars; }
    // The value field of source slot `slot`.
    Addr source_value(unsigned slot) const { return source_vars() + slot * module_var::kSize + module_var::kValue; }
};

// The tree from its root, root first and children in list order, at most
// kMaxElements of them. An element whose header the host cannot read is not
// part of the tree; a child list ends at its first zero entry or at memory
// the host cannot read.
inline constexpr std::size_t kMaxElements = 64;
template <class Memory>
std::vector<Addr> walk_elements(const Memory& m, Addr root) {
    std::vector<Addr> out;
    std::vector<Addr> pending;
    if (root) pending.push_back(root);
    while (!pending.empty() && out.size() < kMaxElements) {
        const Addr e = pending.back();
        pending.pop_back();
        if (!m.readable(e, element::kHeaderSize)) continue;
        out.push_back(e);
        const Addr list = m.template read<std::uint32_t>(e + element::kChildList);
        std::vector<Addr> children;
        for (std::size_t i = 0; list && i < kMaxElements; ++i) {
            const Addr at = list + 4 * static_cast<Addr>(i);
            if (!m.readable(at, 4)) break;
            const Addr c = m.template read<std::uint32_t>(at);
            if (!c) break;
            children.push_back(c);
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return out;
}

template <class Memory>
struct BasicElementTree {
    Addr root = 0;
    std::vector<BasicElementRef<Memory>> elements;  // walk order
    std::vector<BasicMovingImageRef<Memory>> moving_images;
    std::vector<BasicStringElementRef<Memory>> texts;
};

template <class Memory>
BasicElementTree<Memory> read_element_tree(const Memory& m, Addr root) {
    BasicElementTree<Memory> t;
    t.root = root;
    for (Addr a : walk_elements(m, root)) {
        const BasicElementRef<Memory> e(m, a);
        t.elements.push_back(e);
        if (e.kind() == element::kMovingImage) t.moving_images.emplace_back(m, a);
        if (e.kind() == element::kString) t.texts.emplace_back(m, a);
    }
    return t;
}

// The parts of the quorlan7 instrument by role: its moving image (the bearing
// dot) and its text boxes in tree order, the distance, the identifier and the
// waypoint number. The selection index lives in the identifier box's first
// source slot. Parts the tree lacks are left empty.
template <class Memory>
struct BasicInstrument {
    BasicMovingImageRef<Memory> dot;
    BasicStringElementRef<Memory> distance, ident, number;
    Addr selection_slot() const { return ident ? ident.source_value(0) : 0; }
};

template <class Memory>
BasicInstrument<Memory> find_instrument(const BasicElementTree<Memory>& tree) {
    BasicInstrument<Memory> i;
    if (!tree.moving_images.empty()) i.dot = tree.moving_images.front();
    BasicStringElementRef<Memory>* roles[] = {&i.distance, &i.ident, &i.number};
    for (std::size_t k = 0; k < 3 && k < tree.texts.size(); ++k) *roles[k] = tree.texts[k];
    return i;
}

// Where a moving image's bitmap lands: its screen position rounded to whole
// pixels; a callback value that is not a number leaves it at rest. Far off
// the picture is as good as anywhere off it, and stays an int.
inline int placed_pixel(double screen, int rest) {
    const double at = std::isfinite(screen) ? std::clamp(screen, -1e6, 1e6) : rest;
    return static_cast<int>(std::floor(at + 0.5));
}

// A child box of a mouse list, in gauge pixels (its parents' offsets added).
struct ClickArea {
    int x = 0, y = 0, width = 0, height = 0;
    Addr handler = 0;
    std::uint32_t event_mask = 0;
    bool contains(int px, int py) const {
        return px >= x && std::int64_t{px} < std::int64_t{x} + width && py >= y &&
               std::int64_t{py} < std::int64_t{y} + height;
    }
    int centre_x() const { return x + width / 2; }
    int centre_y() const { return y + height / 2; }
};

// The child boxes of a mouse list, in list order, from at most kMaxMouseRects
// entries. An entry of unknown kind, or one the host cannot read, ends the
// list and sets `malformed`.
inline constexpr std::size_t kMaxMouseRects = 256;
template <class Memory>
std::vector<ClickArea> resolve_mouse_list(const Memory& m, Addr list, bool* malformed = nullptr) {
    if (malformed) *malformed = false;
    std::vector<ClickArea> out;
    if (!list) return out;
    const auto saturated = [](std::int64_t v) {
        return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN / 2, INT32_MAX / 2));
    };
    const auto at = [&m](Addr r, unsigned offset) { return m.template read<std::int32_t>(r + offset); };
    struct Origin {
        int x, y;
    };
    std::vector<Origin> parents{{0, 0}};
    for (std::size_t i = 0; i < kMaxMouseRects; ++i) {
        const Addr r = list + static_cast<Addr>(i) * mouse_rect::kSize;
        if (!m.readable(r, mouse_rect::kSize)) {
            if (malformed) *malformed = true;  // a list that runs into memory the module does not have
            return out;
        }
        const auto kind = static_cast<std::uint32_t>(at(r, mouse_rect::kKind));
        if (kind == mouse_rect::kEnd) break;
        const Origin o = parents.back();
        const int x = saturated(std::int64_t{o.x} + at(r, mouse_rect::kBoxX));
        const int y = saturated(std::int64_t{o.y} + at(r, mouse_rect::kBoxY));
        switch (kind) {
            case mouse_rect::kParent: parents.push_back({x, y}); break;
            case mouse_rect::kEndParent:
                if (parents.size() > 1) parents.pop_back();
                break;
            case mouse_rect::kChild:
                out.push_back({x, y, saturated(at(r, mouse_rect::kBoxWidth)), saturated(at(r, mouse_rect::kBoxHeight)),
                               static_cast<Addr>(at(r, mouse_rect::kHandler)),
                               static_cast<std::uint32_t>(at(r, mouse_rect::kEventMask))});
                break;
            default:
                if (malformed) *malformed = true;
                return out;
        }
    }
    return out;
}

}  // namespace q7host
