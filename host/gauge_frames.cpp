// Running a loaded gauge: the checked calls into it, install and uninstall,
// the guarded text buffers, frames with their readout by role, and clicks
// through the mouse list. A record that points nowhere or cannot be written
// is the module's problem, reported against the routine, never the host's.
#include "host/gauge_host.h"

#include "host/hex.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace q7host {

const TextReadout* FrameReadout::text_for(Addr element) const {
    for (const auto& t : texts) {
        if (t.element == element) return &t;
    }
    return nullptr;
}

template <typename F>
auto GaugeHost::guarded(const char* what, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const MemoryFault& fault) {
        machine_.report({ProblemKind::BadPointer, what,
                         std::string("the host an address it cannot use: ") + hex(fault.address, 8)});
    } catch (const RecordNotWritable& w) {
        machine_.report({ProblemKind::RecordNotWritable, what, w.detail});
    } catch (const EmulatorError&) {
        if (!machine_.stopped()) throw;  // the emulator's own failure, not the module's
    }
    return decltype(f())();
}

void GaugeHost::call_hook(const char* name, Addr hook) { machine_.call(name, hook, {}, Returns::kInt); }

std::uint32_t GaugeHost::call_routine(const char* name, Addr routine) {
    return machine_.call(name, routine, {}, Returns::kInt).eax;
}

std::uint32_t GaugeHost::call_routine(const char* name, Addr routine, std::uint32_t arg) {
    return machine_.call(name, routine, {arg}, Returns::kInt).eax;
}

double GaugeHost::call_pointer(const char* name, Addr callback, std::uint32_t arg) {
    return machine_.call(name, callback, {arg}, Returns::kDouble).st0;
}

double GaugeHost::call_text(const char* name, Addr callback, double arg) {
    std::uint32_t w[2];
    std::memcpy(w, &arg, sizeof w);
    return machine_.call(name, callback, {w[0], w[1]}, Returns::kDouble).st0;
}

std::int32_t GaugeHost::call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(machine_.call(name, handler, {a, b}, Returns::kInt).eax);
}

std::uint32_t GaugeHost::install(std::uint32_t arg) {
    return guarded("GaugeInstall", [&] {
        const Addr g = gauge();  // a gauge list that names none: the call crashes at 0
        const Addr routine = g ? machine_.read(g + gauge_header::kInstall) : 0;
        return machine_.with_load_budget([&] { return call_routine("GaugeInstall", routine, arg); });
    });
}

std::uint32_t GaugeHost::uninstall() {
    return guarded("GaugeUninstall", [&] {
        const Addr g = gauge();
        return call_routine("GaugeUninstall", g ? machine_.read(g + gauge_header::kUninstall) : 0);
    });
}

const ElementTree& GaugeHost::elements() {
    const Addr r = root();
    if (tree_.root != r || tree_.elements.empty()) tree_ = read_element_tree(machine_, r);
    return tree_;
}

void GaugeHost::prepare_text_buffers(Addr root) {
    for (Addr e : walk_elements(machine_, root)) {
        const StringElementRef box(machine_, e);
        if (box.kind() != element::kString) continue;
        const char* const field = "the text_buffer field of the text box";
        if (auto it = buffers_.find(e); it != buffers_.end()) {
            services_.write_record<std::uint32_t>(box.text_buffer_field(), it->second.address, field, e);
            continue;
        }
        const unsigned usable = std::min(box.max_chars(), 4096u) + 1;
        const Addr buffer = machine_.allocate(usable + kGuardBytes, kGuardByte);
        const std::vector<std::uint8_t> zeros(usable, 0);
        machine_.write_bytes(buffer, zeros.data(), usable);
        buffers_[e] = {buffer, usable};
        services_.write_record<std::uint32_t>(box.text_buffer_field(), buffer, field, e);
    }
}

bool GaugeHost::text_guards_intact(Addr element) const {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return true;
    const auto guard = machine_.read_bytes(it->second.address + it->second.usable, kGuardBytes);
    return std::all_of(guard.begin(), guard.end(), [](std::uint8_t b) { return b == kGuardByte; });
}

void GaugeHost::rearm_guards(Addr element) {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return;
    const std::vector<std::uint8_t> guard(kGuardBytes, kGuardByte);
    machine_.write_bytes(it->second.address + it->second.usable, guard.data(), guard.size());
}

std::string GaugeHost::read_text(Addr element) const {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return {};
    return machine_.read_cstring(it->second.address, it->second.usable + kGuardBytes);
}

void GaugeHost::check_text(const char* name, Addr element) {
    const std::uint32_t max_chars = StringElementRef(machine_, element).max_chars();
    if (!text_guards_intact(element)) {
        machine_.report({ProblemKind::TextOverrun, name, std::to_string(max_chars)});
    }
    const std::string text = read_text(element);
    if (text.size() > max_chars) {
        machine_.report({ProblemKind::TextTooLong, name,
                         std::to_string(text.size()) + " characters into a box of " + std::to_string(max_chars) +
                             ": \"" + text + "\""});
    }
}

TextReadout GaugeHost::refresh_text(Addr e, double arg) {
    return guarded("text_callback", [&] {
        if (!buffers_.count(e)) prepare_text_buffers(e);
        const StringElementRef box(machine_, e);
        services_.fill_vars(box.source_vars(), StringElementRef::kSourceSlots);
        TextReadout t;
        t.element = e;
        if (const Addr cb = box.text_callback()) {
            t.result = call_text("text_callback", cb, arg);
            check_text("text_callback", e);
        }
        t.text = read_text(e);
        return t;
    });
}

int placed_pixel(double screen, int rest) {
    // Far off the picture is as good as anywhere off it, and stays an int.
    const double at = std::isfinite(screen) ? std::clamp(screen, -1e6, 1e6) : rest;
    return static_cast<int>(std::floor(at + 0.5));
}

double GaugeHost::selection() {
    const Addr slot = instrument().selection_slot();
    return slot ? machine_.read<double>(slot) : std::numeric_limits<double>::quiet_NaN();
}

void GaugeHost::select(double row) {
    if (const Addr slot = instrument().selection_slot()) machine_.write<double>(slot, row);
}

Addr GaugeHost::swap_text_buffer(Addr element, Addr buffer) {
    const StringElementRef box(machine_, element);
    const Addr old = box.text_buffer();
    machine_.write<std::uint32_t>(box.text_buffer_field(), buffer);
    return old;
}

FrameReadout GaugeHost::frame(double text_arg) {
    const std::size_t first_call = services_.calls().size();
    FrameReadout readout = guarded("the element tree", [&] {
        FrameReadout out;
        const ElementTree tree = elements();  // a copy: a callback may not change what this frame walks
        for (const ElementRef& e : tree.elements) {
            const std::uint32_t kind = e.kind();
            if (kind == element::kMovingImage) {
                const MovingImageRef image(machine_, e.address());
                services_.fill_vars(image.x_source(), 1);
                services_.fill_vars(image.y_source(), 1);
                DotReadout d;
                d.element = e.address();
                if (const Addr xcb = image.x_callback()) d.x = call_pointer("x_callback", xcb, e.address());
                if (const Addr ycb = image.y_callback()) d.y = call_pointer("y_callback", ycb, e.address());
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
    const auto& calls = services_.calls();
    if (first_call <= calls.size()) readout.calls.assign(calls.begin() + first_call, calls.end());
    return readout;
}

std::vector<ClickArea> GaugeHost::click_areas(Addr list, bool* malformed) const {
    return resolve_mouse_list(machine_, list ? list : services_.registered_mouse_list(), malformed);
}

bool GaugeHost::click(int x, int y, Addr list) {
    return guarded("the mouse list", [&] {
        bool malformed = false;
        const auto areas = click_areas(list, &malformed);
        if (malformed) machine_.report({ProblemKind::MouseListMalformed, "", ""});
        for (const ClickArea& a : areas) {
            if (!a.contains(x, y) || !a.handler || !(a.event_mask & mouse_rect::kLeftSingle)) continue;
            // The handler gets the point inside its box and the event.
            machine_.write<std::int32_t>(click_point_, x - a.x);
            machine_.write<std::int32_t>(click_point_ + 4, y - a.y);
            call_handler("mouse handler", a.handler, click_point_, mouse_rect::kLeftSingle);
            return true;
        }
        return false;
    });
}

}  // namespace q7host
