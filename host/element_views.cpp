#include "host/element_views.h"

#include <algorithm>
#include <climits>

namespace q7host {

namespace {

bool readable(const Machine& m, Addr a, std::uint32_t n) {
    try {
        m.read_bytes(a, n);
        return true;
    } catch (const MemoryFault&) {
        return false;
    }
}

int saturated(std::int64_t v) { return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN / 2, INT32_MAX / 2)); }

}  // namespace

std::vector<Addr> walk_elements(const Machine& m, Addr root) {
    std::vector<Addr> out;
    std::vector<Addr> pending;
    if (root) pending.push_back(root);
    while (!pending.empty() && out.size() < kMaxElements) {
        const Addr e = pending.back();
        pending.pop_back();
        // An element whose header the host cannot read is not part of the tree.
        if (!readable(m, e, element::kHeaderSize)) continue;
        out.push_back(e);
        const Addr list = m.read(e + element::kChildList);
        std::vector<Addr> children;
        for (std::size_t i = 0; list && i < kMaxElements; ++i) {
            const Addr at = list + 4 * static_cast<Addr>(i);
            if (!readable(m, at, 4)) break;
            const Addr c = m.read(at);
            if (!c) break;
            children.push_back(c);
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return out;
}

ElementTree read_element_tree(const Machine& m, Addr root) {
    ElementTree t;
    t.root = root;
    for (Addr a : walk_elements(m, root)) {
        const ElementRef e(m, a);
        t.elements.push_back(e);
        if (e.kind() == element::kMovingImage) t.moving_images.emplace_back(m, a);
        if (e.kind() == element::kString) t.texts.emplace_back(m, a);
    }
    return t;
}

Instrument find_instrument(const ElementTree& tree) {
    Instrument i;
    if (!tree.moving_images.empty()) i.dot = tree.moving_images.front();
    StringElementRef* roles[] = {&i.distance, &i.ident, &i.number};
    for (std::size_t k = 0; k < 3 && k < tree.texts.size(); ++k) *roles[k] = tree.texts[k];
    return i;
}

std::vector<ClickArea> resolve_mouse_list(const Machine& m, Addr list, bool* malformed) {
    if (malformed) *malformed = false;
    std::vector<ClickArea> out;
    if (!list) return out;
    struct Origin {
        int x, y;
    };
    std::vector<Origin> parents{{0, 0}};
    for (std::size_t i = 0; i < kMaxMouseRects; ++i) {
        const Addr r = list + static_cast<Addr>(i) * mouse_rect::kSize;
        if (!readable(m, r, mouse_rect::kSize)) {
            if (malformed) *malformed = true;  // a list that runs into memory the module does not have
            return out;
        }
        const std::uint32_t kind = m.read(r + mouse_rect::kKind);
        if (kind == mouse_rect::kEnd) break;
        const Origin o = parents.back();
        const int x = saturated(std::int64_t{o.x} + m.read<std::int32_t>(r + mouse_rect::kBoxX));
        const int y = saturated(std::int64_t{o.y} + m.read<std::int32_t>(r + mouse_rect::kBoxY));
        switch (kind) {
            case mouse_rect::kParent: parents.push_back({x, y}); break;
            case mouse_rect::kEndParent:
                if (parents.size() > 1) parents.pop_back();
                break;
            case mouse_rect::kChild:
                out.push_back({x, y, saturated(m.read<std::int32_t>(r + mouse_rect::kBoxWidth)),
                               saturated(m.read<std::int32_t>(r + mouse_rect::kBoxHeight)),
                               m.read(r + mouse_rect::kHandler), m.read(r + mouse_rect::kEventMask)});
                break;
            default:
                if (malformed) *malformed = true;
                return out;
        }
    }
    return out;
}

}  // namespace q7host
