// Typed views of the records a gauge hands its host: the element tree, each element's named fields,
// the mouse list as click areas in gauge pixels, the quorlan7 instrument's parts by role.
// Views read module memory live through the Machine; they know nothing of services or calls.
#pragma once

#include "host/layout.h"
#include "host/machine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace q7host {

// Any element record: the common header.
class ElementRef {
public:
    ElementRef() = default;
    ElementRef(const Machine& m, Addr a) : m_(&m), a_(a) {}
    Addr address() const { return a_; }
    explicit operator bool() const { return a_ != 0; }
    std::uint32_t kind() const { return m_->read(a_ + element::kKind); }
    std::uint32_t bitmap_id() const { return m_->read(a_ + element::kBitmapId); }
    int x() const { return m_->read<std::int32_t>(a_ + element::kPositionX); }
    int y() const { return m_->read<std::int32_t>(a_ + element::kPositionY); }
    std::uint32_t draw_flags() const { return m_->read(a_ + element::kDrawFlags); }
    Addr child_list() const { return m_->read(a_ + element::kChildList); }

protected:
    const Machine* m_ = nullptr;
    Addr a_ = 0;
};

// A moving image: its two position callbacks and their scales.
class MovingImageRef : public ElementRef {
public:
    using ElementRef::ElementRef;
    Addr x_callback() const { return m_->read(a_ + moving_image::kXCallback); }
    Addr y_callback() const { return m_->read(a_ + moving_image::kYCallback); }
    double x_scale() const { return m_->read<double>(a_ + moving_image::kXScale); }
    double y_scale() const { return m_->read<double>(a_ + moving_image::kYScale); }
    Addr x_source() const { return a_ + moving_image::kXSource; }
    Addr y_source() const { return a_ + moving_image::kYSource; }
};

// A text box: its callback and buffer, its box, colours, font and capacity.
class StringElementRef : public ElementRef {
public:
    static constexpr unsigned kSourceSlots = 3;
    using ElementRef::ElementRef;
    Addr text_callback() const { return m_->read(a_ + string_element::kTextCallback); }
    Addr text_buffer() const { return m_->read(a_ + string_element::kTextBuffer); }
    Addr text_buffer_field() const { return a_ + string_element::kTextBuffer; }
    int box_width() const { return m_->read<std::int32_t>(a_ + string_element::kBoxWidth); }
    int box_height() const { return m_->read<std::int32_t>(a_ + string_element::kBoxHeight); }
    std::uint32_t text_color() const { return m_->read(a_ + string_element::kTextColor); }
    std::uint32_t fill_color() const { return m_->read(a_ + string_element::kFillColor); }
    std::string face_name() const { return m_->read_cstring(a_ + string_element::kFaceName, 32); }
    std::uint32_t weight() const { return m_->read(a_ + string_element::kWeight); }
    std::uint32_t char_set() const { return m_->read(a_ + string_element::kCharSet); }
    std::uint32_t format_flags() const { return m_->read(a_ + string_element::kFormatFlags); }
    std::uint32_t max_chars() const { return m_->read(a_ + string_element::kMaxChars); }
    Addr source_vars() const { return a_ + string_element::kSourceVars; }
    // The value field of source slot `slot`.
    Addr source_value(unsigned slot) const { return source_vars() + slot * module_var::kSize + module_var::kValue; }
};

// The tree from its root, root first and children in list order, at most
// kMaxElements of them.
inline constexpr std::size_t kMaxElements = 64;
std::vector<Addr> walk_elements(const Machine& m, Addr root);

struct ElementTree {
    Addr root = 0;
    std::vector<ElementRef> elements;  // walk order
    std::vector<MovingImageRef> moving_images;
    std::vector<StringElementRef> texts;
};
ElementTree read_element_tree(const Machine& m, Addr root);

// The parts of the quorlan7 instrument by role: its moving image (the bearing
// dot) and its text boxes in tree order, the distance, the identifier and the
// waypoint number. The selection index lives in the identifier box's first
// source slot. Parts the tree lacks are left empty.
struct Instrument {
    MovingImageRef dot;
    StringElementRef distance, ident, number;
    Addr selection_slot() const { return ident ? ident.source_value(0) : 0; }
};
Instrument find_instrument(const ElementTree& tree);

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
// entries. An entry of unknown kind ends the list and sets `malformed`.
inline constexpr std::size_t kMaxMouseRects = 256;
std::vector<ClickArea> resolve_mouse_list(const Machine& m, Addr list, bool* malformed = nullptr);

}  // namespace q7host
