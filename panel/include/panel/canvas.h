// What every painter of the gauge takes from the records before it draws,
// whatever draws the pixels: where an element and a text box lie (numbers far
// off the picture kept where the layout cannot overflow), and how big the
// gauge is.
#pragma once

#include "panel/elements.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace q7host {

// A record's position or size this far off the picture is drawn (as
// nothing) wherever it is; a gauge without a face is at most this big.
inline constexpr int kFarOff = 1 << 16;
inline constexpr int kLargestFacelessSide = 4096;

inline int on_canvas(int v) { return std::clamp(v, -kFarOff, kFarOff); }

// Whatever a record claims, panel text is never larger than this many
// pixels (a character height), and a box is sized for at least one and at
// most this many characters of its `max_chars` (a count: a huge one asks for
// the smallest text).
inline constexpr int kLargestText = 256;
inline constexpr int kMostColumns = 4096;
inline int text_columns(std::uint32_t max_chars) {
    return static_cast<int>(std::clamp<std::uint32_t>(max_chars, 1, kMostColumns));
}

struct BoxPlace {
    int x = 0, y = 0, width = 0, height = 0;
};

template <class Memory>
BoxPlace text_box_place(const BasicStringElementRef<Memory>& e) {
    return {on_canvas(e.x()), on_canvas(e.y()), std::clamp(e.box_width(), 0, kFarOff),
            std::clamp(e.box_height(), 0, kFarOff)};
}

// The gauge's size: its root element's picture; without one, as big as what
// the other elements draw from the top-left corner. `picture_size(id)` gives
// the width and height of a picture the painter loaded, nothing for one it
// could not.
template <class Memory, class PictureSize, class Boxes>
std::pair<int, int> canvas_size(const BasicElementTree<Memory>& tree, PictureSize picture_size, const Boxes& boxes) {
    if (tree.elements.empty()) return {1, 1};
    if (const std::optional<std::pair<int, int>> face = picture_size(tree.elements.front().bitmap_id())) return *face;
    int width = 1, height = 1;
    const auto extend = [&](int x, int y, int w, int h) {
        width = std::max(width, std::clamp(x + w, 0, kLargestFacelessSide));
        height = std::max(height, std::clamp(y + h, 0, kLargestFacelessSide));
    };
    for (const auto& e : tree.elements) {
        if (const auto size = picture_size(e.bitmap_id())) {
            extend(on_canvas(e.x()), on_canvas(e.y()), size->first, size->second);
        }
    }
    for (const BoxPlace& box : boxes) extend(box.x, box.y, box.width, box.height);
    return {width, height};
}

}  // namespace q7host
