// A loaded gauge run as a panel host runs it, the same for every host: install and uninstall
// through the gauge header, the text buffers the host hands the text boxes (with guard bytes after
// them), frames (the moving images' callbacks, then each text box refreshed, in tree order) with
// their readout by role, and clicks through the mouse list the module registered. A record that
// points nowhere or cannot be written is the module's problem, reported against the routine.
//
// GaugeRunner<Host, Memory> is a base of the host (Host derives from it) and asks it for:
//   Memory& memory(); const Memory& memory() const;          the module's address space, as in
//                                                             panel/services.h and panel/elements.h,
//                                                             with read_bytes(Addr, void*, n)
//   ServiceRules<Memory>& services();                         panel/services.h
//   Addr linkage() const;                                     Linkage in the loaded module
//   Addr allocate(std::size_t n, std::uint8_t fill);          host data the module may read and write
// and calls set_click_point() before the first click.
//   void report(Problem);
//   std::uint32_t call_routine(const char* name, Addr routine);
//   std::uint32_t call_install(Addr routine, std::uint32_t arg);  GaugeInstall, on the budget of load-time code
//   double call_pointer(const char* name, Addr callback, std::uint32_t arg);
//   double call_text(const char* name, Addr callback, double arg);
//   std::int32_t call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b);
//   template <class F> auto guarded(const char* what, F&& f) -> decltype(f());
// The calls run the routine and report what it broke; `guarded` runs f and turns a MemoryFault or
// RecordNotWritable that escapes it into a problem of `what`, returning a default value.
#pragma once

#include "panel/elements.h"
#include "panel/layout.h"
#include "panel/problem.h"
#include "panel/services.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace q7host {

struct TextReadout {
    Addr element = 0;
    std::string text;
    double result = 0.0;
};

struct DotReadout {
    Addr element = 0;
    double x = 0.0;  // callback values, before the element's scales
    double y = 0.0;
    double screen_x = 0.0;  // rest position plus value times scale, gauge pixels
    double screen_y = 0.0;
    int left = 0, top = 0;  // the pixel the bitmap's top-left corner is placed on
};

// Everything one frame showed.
struct FrameReadout {
    std::vector<DotReadout> dots;    // every moving image, in tree order
    std::vector<TextReadout> texts;  // every text box, in tree order
    // The quorlan7 instrument's parts by role; a part the tree lacks stays
    // empty (element 0). The identifier's result is the selection index.
    DotReadout dot;
    TextReadout distance, ident, number;
    double selection() const { return ident.result; }
    // The services the module called during the frame, in order.
    std::vector<ServiceCall> calls;
    const TextReadout* text_for(Addr element) const {
        for (const auto& t : texts) {
            if (t.element == element) return &t;
        }
        return nullptr;
    }
};

template <class Host, class Memory>
class GaugeRunner {
public:
    using ElementRef = BasicElementRef<Memory>;
    using MovingImageRef = BasicMovingImageRef<Memory>;
    using StringElementRef = BasicStringElementRef<Memory>;
    using ElementTree = BasicElementTree<Memory>;
    using Instrument = BasicInstrument<Memory>;

    // Text buffers are max_chars + 1 bytes followed by guard bytes; an element
    // keeps the buffer it was given for as long as the module is loaded.
    static constexpr unsigned kGuardBytes = 32;
    static constexpr std::uint8_t kGuardByte = 0xA5;

    // The first GaugeHeader Linkage lists, and the first entry of its
    // element list; 0 where the records point nowhere.
    Addr gauge() const {
        try {
            const Addr l = host().linkage();
            return l ? mem().template read<std::uint32_t>(l + linkage::kGauges) : 0;
        } catch (const std::runtime_error&) {
            return 0;
        }
    }
    Addr root() const {
        try {
            const Addr g = gauge();
            const Addr list = g ? mem().template read<std::uint32_t>(g + gauge_header::kElementList) : 0;
            return list ? mem().template read<std::uint32_t>(list) : 0;
        } catch (const std::runtime_error&) {  // records that point nowhere: no tree
            return 0;
        }
    }

    // The gauge's lifecycle as a simulator runs it.
    std::uint32_t install(std::uint32_t arg = 0) {
        return host().guarded("GaugeInstall", [&] {
            const Addr g = gauge();  // a gauge list that names none: the call crashes at 0
            return host().call_install(g ? mem().template read<std::uint32_t>(g + gauge_header::kInstall) : 0, arg);
        });
    }
    std::uint32_t uninstall() {
        return host().guarded("GaugeUninstall", [&] {
            const Addr g = gauge();
            return host().call_routine("GaugeUninstall",
                                       g ? mem().template read<std::uint32_t>(g + gauge_header::kUninstall) : 0);
        });
    }

    // The tree the gauge installed (read afresh when the root changes).
    const ElementTree& elements() {
        const Addr r = root();
        if (tree_.root != r || tree_.elements.empty()) tree_ = read_element_tree(mem(), r);
        return tree_;
    }
    Instrument instrument() { return find_instrument(elements()); }
    std::vector<Addr> walk(Addr root) const { return walk_elements(mem(), root); }

    // One frame: the moving images' callbacks, then each text box refreshed,
    // in tree order; the readout has the parts by role and the calls made.
    FrameReadout frame(double text_arg = 0.0) {
        auto& services = host().services();
        const std::size_t first_call = services.calls().size();
        FrameReadout readout = host().guarded("the element tree", [&] {
            FrameReadout out;
            const ElementTree tree = elements();  // a copy: a callback may not change what this frame walks
            for (const ElementRef& e : tree.elements) {
                const std::uint32_t kind = e.kind();
                if (kind == element::kMovingImage) {
                    const MovingImageRef image(mem(), e.address());
                    services.fill_vars(image.x_source(), 1);
                    services.fill_vars(image.y_source(), 1);
                    DotReadout d;
                    d.element = e.address();
                    if (const Addr xcb = image.x_callback()) d.x = host().call_pointer("x_callback", xcb, e.address());
                    if (const Addr ycb = image.y_callback()) d.y = host().call_pointer("y_callback", ycb, e.address());
                    d.screen_x = image.x() + d.x * image.x_scale();
                    d.screen_y = image.y() + d.y * image.y_scale();
                    d.left = placed_pixel(d.screen_x, image.x());
                    d.top = placed_pixel(d.screen_y, image.y());
                    out.dots.push_back(d);
                } else if (kind == element::kString) {
                    out.texts.push_back(refresh_text(e.address(), text_arg));
                }
            }
            const Instrument parts = find_instrument(tree);
            if (const TextReadout* t = out.text_for(parts.distance.address())) out.distance = *t;
            if (const TextReadout* t = out.text_for(parts.ident.address())) out.ident = *t;
            if (const TextReadout* t = out.text_for(parts.number.address())) out.number = *t;
            if (!out.dots.empty()) out.dot = out.dots.front();
            return out;
        });
        const auto& calls = services.calls();
        if (first_call <= calls.size()) readout.calls.assign(calls.begin() + first_call, calls.end());
        return readout;
    }

    // Refreshes one text box as a frame does: its buffer, its source slots
    // that name a host variable, its callback, then the guard check.
    TextReadout refresh_text(Addr e, double arg = 0.0) {
        return host().guarded("text_callback", [&] {
            if (!buffers_.count(e)) prepare_text_buffers(e);
            const StringElementRef box(mem(), e);
            host().services().fill_vars(box.source_vars(), StringElementRef::kSourceSlots);
            TextReadout t;
            t.element = e;
            if (const Addr cb = box.text_callback()) {
                t.result = host().call_text("text_callback", cb, arg);
                check_text("text_callback", e);
            }
            t.text = read_text(e);
            return t;
        });
    }

    bool text_guards_intact(Addr element) const {
        auto it = buffers_.find(element);
        if (it == buffers_.end()) return true;
        std::uint8_t guard[kGuardBytes];
        mem().read_bytes(it->second.address + it->second.usable, guard, kGuardBytes);
        return std::all_of(std::begin(guard), std::end(guard), [](std::uint8_t b) { return b == kGuardByte; });
    }
    std::string read_text(Addr element) const {
        auto it = buffers_.find(element);
        if (it == buffers_.end()) return {};
        return mem().read_cstring(it->second.address, it->second.usable + kGuardBytes);
    }
    // Puts back guard bytes a callback overwrote.
    void rearm_guards(Addr element) {
        auto it = buffers_.find(element);
        if (it == buffers_.end()) return;
        const std::vector<std::uint8_t> guard(kGuardBytes, kGuardByte);
        mem().write_bytes(it->second.address + it->second.usable, guard.data(), guard.size());
    }

    // The waypoint the instrument selects: the value in the identifier box's
    // first source slot, which the module reads as its row. `select` writes
    // any value there, as a hostile host would; NaN when there is no such box.
    double selection() {
        const Addr slot = instrument().selection_slot();
        return slot ? mem().template read<double>(slot) : std::numeric_limits<double>::quiet_NaN();
    }
    void select(double row) {
        if (const Addr slot = instrument().selection_slot()) mem().write_bytes(slot, &row, sizeof row);
    }
    // Points a text box at another buffer (0 for none) and returns the one it
    // had, for checking how the module copes; the host's guards stay with the
    // buffer it handed out.
    Addr swap_text_buffer(Addr element, Addr buffer) {
        const StringElementRef box(mem(), element);
        const Addr old = box.text_buffer();
        mem().write_bytes(box.text_buffer_field(), &buffer, sizeof buffer);
        return old;
    }

    // A click at a gauge pixel: hit-tests the mouse list the module registered
    // (or `list`) and calls the handler of the first child box that holds the
    // point and takes a single left click, handing it the point inside its
    // box and the event.
    bool click(int x, int y, Addr list = 0) {
        return host().guarded("the mouse list", [&] {
            bool malformed = false;
            const auto areas = click_areas(list, &malformed);
            if (malformed) host().report({ProblemKind::MouseListMalformed, "", ""});
            for (const ClickArea& a : areas) {
                if (!a.contains(x, y) || !a.handler || !(a.event_mask & mouse_rect::kLeftSingle)) continue;
                const std::int32_t point[2] = {x - a.x, y - a.y};
                mem().write_bytes(click_point_, point, sizeof point);
                host().call_handler("mouse handler", a.handler, click_point_, mouse_rect::kLeftSingle);
                return true;
            }
            return false;
        });
    }
    std::vector<ClickArea> click_areas(Addr list = 0, bool* malformed = nullptr) const {
        return resolve_mouse_list(mem(), list ? list : host().services().registered_mouse_list(), malformed);
    }

protected:
    // Service 25 handed the host the element tree: a text buffer for every
    // text box (the one it had, where it had one).
    void on_element_install(Addr root) {
        tree_ = {};
        prepare_text_buffers(root);
    }
    // The module is gone: its buffers and tree with it.
    void forget_gauge() {
        buffers_.clear();
        tree_ = {};
    }
    // Where a click's point (8 bytes of host data) is handed to a handler.
    void set_click_point(Addr at) { click_point_ = at; }

private:
    struct TextBuffer {
        Addr address = 0;
        unsigned usable = 0;
    };

    Host& host() { return static_cast<Host&>(*this); }
    const Host& host() const { return static_cast<const Host&>(*this); }
    Memory& mem() { return host().memory(); }
    const Memory& mem() const { return host().memory(); }

    void prepare_text_buffers(Addr root) {
        for (Addr e : walk_elements(mem(), root)) {
            const StringElementRef box(mem(), e);
            if (box.kind() != element::kString) continue;
            const char* const field = "the text_buffer field of the text box";
            if (auto it = buffers_.find(e); it != buffers_.end()) {
                host().services().template write_record<std::uint32_t>(box.text_buffer_field(), it->second.address,
                                                                       field, e);
                continue;
            }
            const unsigned usable = std::min(box.max_chars(), 4096u) + 1;
            const Addr buffer = host().allocate(usable + kGuardBytes, kGuardByte);
            const std::vector<std::uint8_t> zeros(usable, 0);
            mem().write_bytes(buffer, zeros.data(), usable);
            buffers_[e] = {buffer, usable};
            host().services().template write_record<std::uint32_t>(box.text_buffer_field(), buffer, field, e);
        }
    }

    void check_text(const char* name, Addr element) {
        const std::uint32_t max_chars = StringElementRef(mem(), element).max_chars();
        if (!text_guards_intact(element)) {
            host().report({ProblemKind::TextOverrun, name, std::to_string(max_chars)});
        }
        const std::string text = read_text(element);
        if (text.size() > max_chars) {
            host().report({ProblemKind::TextTooLong, name,
                           std::to_string(text.size()) + " characters into a box of " + std::to_string(max_chars) +
                               ": \"" + text + "\""});
        }
    }

    std::map<Addr, TextBuffer> buffers_;
    ElementTree tree_;
    Addr click_point_ = 0;
};

}  // namespace q7host
