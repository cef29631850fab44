#include "host/gauge_host.h"

#include "host/system_functions.h"

#include <mutex>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <limits>

namespace q7host {

const TextReadout* FrameReadout::text_for(Addr element) const {
    for (const auto& t : texts) {
        if (t.element == element) return &t;
    }
    return nullptr;
}

struct GaugeHost::Parts {
    Machine machine;
    PanelServices services{machine};
    Addr click_point = machine.allocate(8);
    Machine::Mark unloaded = machine.mark();
    Parts() { machine.checkpoint(); }
};

namespace {

// Parts of hosts that are done, for the next hosts made. Making a machine
// costs a few hundred microseconds (most of it the emulator's own start and
// fresh pages), rewinding one a few; a process that makes host after host
// (the tests, the tools, the fuzzer) pays that once. Two are enough for the
// hosts a program keeps at once; any more are closed.
constexpr std::size_t kKeptParts = 2;
std::mutex g_parts_mutex;

}  // namespace

std::vector<std::unique_ptr<GaugeHost::Parts>>& GaugeHost::kept_parts() {
    static std::vector<std::unique_ptr<Parts>> kept;
    return kept;
}

std::unique_ptr<GaugeHost::Parts> GaugeHost::take_parts() {
    {
        const std::lock_guard<std::mutex> lock(g_parts_mutex);
        if (!kept_parts().empty()) {
            std::unique_ptr<Parts> p = std::move(kept_parts().back());
            kept_parts().pop_back();
            return p;
        }
    }
    return std::make_unique<Parts>();
}

void GaugeHost::give_back(std::unique_ptr<Parts> parts) {
    const std::lock_guard<std::mutex> lock(g_parts_mutex);
    if (kept_parts().size() < kKeptParts) kept_parts().push_back(std::move(parts));
}

GaugeHost::GaugeHost()
    : parts_(take_parts()), machine_(parts_->machine), services_(parts_->services),
      unloaded_(parts_->unloaded), click_point_(parts_->click_point) {
    services_.on_element_install = [this](Addr root) {
        tree_ = {};
        prepare_text_buffers(root);
    };
    services_.writable = [this](Addr a, std::size_t n) { return writable(a, n); };
}

bool GaugeHost::reset() {
    if (machine_.stopped()) return false;
    unload();
    machine_.rewind();
    services_.reset();
    warnings_.clear();
    error_.clear();
    failure_ = LoadFailure::kNone;
    return true;
}

GaugeHost::~GaugeHost() {
    unload();
    services_.on_element_install = nullptr;
    services_.writable = nullptr;
    // Parts whose emulator stopped for good are closed; the others go back
    // as they were made.
    if (machine_.stopped()) return;
    machine_.rewind();
    services_.reset();
    give_back(std::move(parts_));
}

Addr GaugeHost::resolve_import(const PeImport& imp) {
    const SystemFunction* f = find_system_function(imp.dll, imp.function);
    if (!f) return 0;
    // One stub a function, however often the module imports it.
    auto [it, fresh] = bound_.try_emplace(f, 0);
    if (fresh) it->second = bind_system_function(machine_, *f);
    return it->second;
}

bool GaugeHost::load(const std::string& path) {
    unload();
    warnings_.clear();
    error_.clear();
    failure_ = LoadFailure::kFile;
    std::string err;
    auto img = PeImage::read_file(path, err);
    if (!img) {
        error_ = path + ": " + err;
        return false;
    }
    return load_image(std::move(*img), path);
}

bool GaugeHost::load(std::vector<std::uint8_t> bytes, const std::string& name) {
    unload();
    warnings_.clear();
    error_.clear();
    failure_ = LoadFailure::kFile;
    std::string err;
    auto img = PeImage::parse(std::move(bytes), err);
    if (!img) {
        error_ = name + ": " + err;
        return false;
    }
    return load_image(std::move(*img), name);
}

bool GaugeHost::fail_load(LoadFailure why, const std::string& error) {
    error_ = error;
    import_table_ = linkage_ = 0;
    unload();
    failure_ = why;
    return false;
}

void GaugeHost::take_warnings(std::vector<Warning> ws) {
    for (Warning& w : ws) warn(std::move(w));
}

void GaugeHost::warn(Warning w) {
    if (std::find(warnings_.begin(), warnings_.end(), w) == warnings_.end()) warnings_.push_back(std::move(w));
}

bool GaugeHost::load_image(PeImage&& image, const std::string& path) {
    failure_ = LoadFailure::kFile;
    if (machine_.stopped()) {
        error_ = path + ": this host's emulator has stopped; a new host is needed";
        return false;
    }
    if (!(image.characteristics & 0x2000)) {
        error_ = path + ": not a dynamic library";
        return false;
    }
    std::string err;
    module_ = map_module(machine_, std::move(image), [this](const PeImport& i) { return resolve_import(i); }, err);
    if (!module_) {
        error_ = path + ": " + err;
        bound_.clear();
        machine_.release(unloaded_);
        return false;
    }
    take_warnings(module_->warnings);
    // LoadLibrary runs the TLS callbacks and the entry routine before the
    // host can look anything up; what they do wrong is the module's fault.
    const Notification attach = notify_module(machine_, *module_, 1);
    take_warnings(attach.warnings);
    if (!attach.completed) {
        const std::string why =
            machine_.problems().empty() ? "the entry routine did not return" : machine_.problems().back().sentence();
        return fail_load(LoadFailure::kModule, path + ": " + why);
    }
    // A refused attach is followed at once by the detach, as Windows does.
    attached_ = true;
    if (attach.result == 0) {
        return fail_load(LoadFailure::kModule, path + ": the entry routine refused to attach (it returned 0)");
    }

    // Inside the image, wherever the export's RVA would wrap the address.
    const auto fits = [this](Addr at, std::uint32_t size) {
        return at >= module_->base && std::uint64_t{at - module_->base} + size <= module_->image.image_size;
    };
    std::string why;
    import_table_ = module_->export_address(machine_, "ImportTable", 1, why);
    if (import_table_) linkage_ = module_->export_address(machine_, "Linkage", 2, why);
    if (!import_table_ || !linkage_) return fail_load(LoadFailure::kFile, path + ": " + why);
    if (!fits(import_table_, import_table::kSize) || !fits(linkage_, linkage::kSize)) {
        return fail_load(LoadFailure::kFile, path + ": ImportTable or Linkage runs past the end of the image");
    }
    if (machine_.read(import_table_ + import_table::kEntryId) != import_table::kPanelServices) {
        return fail_load(LoadFailure::kFile, path + ": ImportTable does not ask for the panel services");
    }
    try {
        use_table(0);
    } catch (const RecordNotWritable& w) {
        machine_.report({ProblemKind::RecordNotWritable, "", w.detail});
        return fail_load(LoadFailure::kModule, path + ": " + machine_.problems().back().sentence());
    }
    failure_ = LoadFailure::kNone;
    return true;
}

void GaugeHost::unload() {
    if (module_ && !machine_.stopped()) {
        // Windows ignores what the entry routine returns for a detach.
        if (attached_) take_warnings(notify_module(machine_, *module_, 0).warnings);
        unmap_module(machine_, *module_);
    }
    attached_ = false;
    module_.reset();
    bound_.clear();
    machine_.release(unloaded_);
    buffers_.clear();
    tree_ = {};
    services_.forget_registrations();
    import_table_ = 0;
    linkage_ = 0;
}

std::optional<std::vector<std::uint8_t>> GaugeHost::find_bitmap(std::uint32_t id, std::string& why) const {
    if (!module_) {
        why = "no module is loaded";
        return std::nullopt;
    }
    constexpr std::uint32_t kBitmapResource = 2;
    ResourceLookup r = find_resource(module_->reader(machine_), module_->image.directories[PeImage::kResources],
                                     kBitmapResource, id);
    if (!r.found) {
        why = r.why;
        return std::nullopt;
    }
    return std::move(r.data);
}

bool GaugeHost::writable(Addr a, std::size_t n) const {
    if (module_ && a - module_->base < module_->mapped_size) return module_->writable(a - module_->base, n);
    return machine_.writable_data(a, n);
}

Addr GaugeHost::gauge() const {
    try {
        return linkage_ ? machine_.read(linkage_ + linkage::kGauges) : 0;
    } catch (const std::runtime_error&) {
        return 0;
    }
}

Addr GaugeHost::root() const {
    try {
        const Addr g = gauge();
        const Addr list = g ? machine_.read(g + gauge_header::kElementList) : 0;
        return list ? machine_.read(list) : 0;
    } catch (const std::runtime_error&) {  // records that point nowhere: no tree
        return 0;
    }
}

template <typename F>
auto GaugeHost::guarded(const char* what, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const MemoryFault& fault) {
        char at[16];
        std::snprintf(at, sizeof at, "0x%08X", fault.address);
        machine_.report({ProblemKind::BadPointer, what, std::string("the host an address it cannot use: ") + at});
    } catch (const RecordNotWritable& w) {
        machine_.report({ProblemKind::RecordNotWritable, what, w.detail});
    } catch (const EmulatorError&) {
        if (!machine_.stopped()) throw;  // the emulator's own failure, not the module's
    }
    return decltype(f())();
}

void GaugeHost::use_table(unsigned table) {
    services_.write_record<std::uint32_t>(import_table_ + import_table::kEntryAddress, services_.table_address(table),
                                          "the service table's address into ImportTable", import_table_);
}

void GaugeHost::call_hook(const char* name, Addr hook) {
    machine_.call(name, hook, {}, Returns::kInt);
}

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
        return call_routine("GaugeInstall", g ? machine_.read(g + gauge_header::kInstall) : 0, arg);
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
