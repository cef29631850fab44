// The gauge host's life and its module's: the parts a host is made of, kept
// for the next host; loading a module file as a Windows host does (map, bind,
// attach, find ImportTable and Linkage, hand over the service table) and
// unloading it; the records it reaches through Linkage; its bitmaps.
#include "host/gauge_host.h"

#include <algorithm>
#include <mutex>

namespace q7host {

struct GaugeHost::Parts {
    Machine machine;
    PanelServices services{machine};
    WindowsProcess process{machine};
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
    : parts_(take_parts()),
      machine_(parts_->machine),
      services_(parts_->services),
      process_(parts_->process),
      unloaded_(parts_->unloaded) {
    set_click_point(parts_->click_point);
    services_.on_element_install = [this](Addr root) { on_element_install(root); };
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

ImportBinding GaugeHost::resolve_import(const PeImport& imp) {
    return process_.bind(imp.dll, imp.function, imp.ordinal);
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
    if (!(image.characteristics & PeImage::kDll)) {
        error_ = path + ": not a dynamic library";
        return false;
    }
    std::string err;
    module_ = map_module(
        machine_, std::move(image), [this](const PeImport& i) { return resolve_import(i); }, err);
    if (!module_) {
        error_ = path + ": " + err;
        process_.forget_module();
        machine_.release(unloaded_);
        return false;
    }
    take_warnings(module_->warnings);
    const std::string file = path.substr(path.find_last_of("/\\") + 1);
    process_.set_module({.base = module_->base,
                         .name = file,
                         .export_address = [this](std::string_view name, std::uint32_t ordinal) -> Addr {
                             if (!module_) return 0;
                             const ImageReader read = module_->reader(machine_);
                             const PeDirectory& dir = module_->image.directories[PeImage::kExports];
                             const ExportLookup e =
                                 name.empty() ? find_export(read, dir, ordinal) : find_export(read, dir, name);
                             return e.rva ? module_->base + e.rva : 0;
                         }});
    // LoadLibrary runs the TLS callbacks and the entry routine before the
    // host can look anything up; what they do wrong is the module's fault.
    const Notification attach = machine_.with_load_budget([&] { return notify_module(machine_, *module_, 1); });
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
        if (attached_) {
            take_warnings(machine_.with_load_budget([&] { return notify_module(machine_, *module_, 0); }).warnings);
            machine_.with_load_budget([&] { process_.run_exit_list(); });
        }
        unmap_module(machine_, *module_);
    }
    attached_ = false;
    module_.reset();
    process_.forget_module();
    machine_.release(unloaded_);
    forget_gauge();
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
    ResourceLookup r =
        find_resource(module_->reader(machine_), module_->image.directories[PeImage::kResources], kBitmapResource, id);
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

void GaugeHost::use_table(unsigned table) {
    services_.write_record<std::uint32_t>(import_table_ + import_table::kEntryAddress, services_.table_address(table),
                                          "the service table's address into ImportTable", import_table_);
}

}  // namespace q7host
