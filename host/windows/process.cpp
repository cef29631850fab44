// The Windows process around a module: the system DLLs it may import from and how an import binds,
// the C runtime's data and heap, and the process state kept across the machine's rewinds.
#include "host/windows.h"

#include "api.h"
#include "panel/hex.h"
#include "process_state.h"
#include "windows_internal.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace q7host {

namespace {

struct KnownDll {
    const char* name;
    const char* const* exports;
    std::size_t count;
};
#include "known_dlls.inc"

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// The DLL a name means, as the loader finds it: ".dll" may be left off.
const KnownDll* known_dll(std::string_view dll) {
    std::string key = lower(dll);
    if (key.find('.') == std::string::npos) key += ".dll";
    for (const KnownDll& d : kKnownDlls) {
        if (key == d.name) return &d;
    }
    return nullptr;
}

bool exports_name(const KnownDll& d, std::string_view name) {
    return std::any_of(d.exports, d.exports + d.count, [&](const char* n) { return name == n; });
}

const win::DllTable* modelled(std::string_view dll_name) {
    for (const win::DllTable* t : {&win::kKernel32, &win::kMsvcrt, &win::kUser32, &win::kAdvapi32}) {
        if (dll_name == t->name) return t;
    }
    return nullptr;
}

}  // namespace

bool WindowsProcess::system_dll(std::string_view dll) { return known_dll(dll) != nullptr; }

WindowsProcess::WindowsProcess(Machine& machine) : machine_(machine), state_(std::make_unique<win::ProcessState>()) {
    win::ProcessState& s = *state_;
    s.owner = this;
    win::set_up_runtime(machine_, s);
    machine_.set_exception_dispatcher(
        [this](Exception& e, Registers& r) { return win::dispatch_exception(machine_, *state_, e, r); });
    machine_.keep_with_checkpoint(this);
    bound_mark_ = machine_.mark();
}

WindowsProcess::~WindowsProcess() {
    machine_.stop_keeping(this);
    machine_.set_exception_dispatcher(nullptr);
}

void WindowsProcess::keep() { kept_ = std::make_unique<win::ProcessState>(*state_); }

void WindowsProcess::restore() {
    if (kept_) *state_ = *kept_;
    stubs_.clear();
    module_ = {};
}

const std::string& WindowsProcess::output() const { return state_->output; }
bool WindowsProcess::output_truncated() const { return state_->output_truncated; }

void WindowsProcess::set_module(Module m) {
    module_ = std::move(m);
    state_->module_base = module_.base;
    state_->module_name = lower(module_.name);
}

void WindowsProcess::forget_module() {
    state_->vectored.clear();
    state_->exit_list.clear();
    state_->module_base = 0;
    state_->module_name.clear();
    state_->libraries.clear();
    state_->dll_handles.clear();
    stubs_.clear();
    module_ = {};
}

void WindowsProcess::run_exit_list() {
    // Last registered, first run; a function may register more as it runs.
    while (!state_->exit_list.empty() && !machine_.stopped()) {
        const Addr f = state_->exit_list.back();
        state_->exit_list.pop_back();
        if (!machine_.call("the C runtime's exit list", f, {}, {.convention = Convention::kCdecl}).completed) break;
    }
}

Addr WindowsProcess::module_export(std::string_view name, std::uint32_t ordinal) const {
    return module_.export_address ? module_.export_address(name, ordinal) : 0;
}

Addr WindowsProcess::stub_for(const std::string& dll, const std::string& function) {
    const std::string key = dll + "!" + function;
    if (const auto it = stubs_.find(key); it != stubs_.end()) return it->second;
    Addr at = 0;
    const win::Export* e = nullptr;
    for (const win::DllTable* t = modelled(dll); t && !e; t = t->more) {
        const win::Export* found =
            std::find_if(t->begin, t->end, [&](const win::Export& x) { return function == x.name; });
        if (found != t->end) e = found;
    }
    if (e && e->data) {
        at = (*state_).*(e->data);
    } else if (e) {
        const win::Binding b = e->binding;
        at = machine_.add_stub([run = b.run, this](StubCall& call) { run(call, *state_); }, b.pop_bytes, b.returns);
    } else {
        // Windows has it, this host does not: calling it is the host's limit.
        std::string shown = dll.substr(0, dll.size() - 4);
        std::transform(shown.begin(), shown.end(), shown.begin(), [](unsigned char c) { return std::toupper(c); });
        if (shown == "MSVCRT") shown = "msvcrt";
        at = machine_.add_stub(
            [what = shown + "!" + function](StubCall& call) { call.fail(ProblemKind::NotModelled, what); }, 0,
            Returns::kInt);
    }
    stubs_.emplace(key, at);
    return at;
}

ImportBinding WindowsProcess::bind(std::string_view dll, std::string_view function, std::uint32_t ordinal) {
    const KnownDll* d = known_dll(dll);
    if (!d) {
        return {0, kErrorModuleNotFound,
                "imports " + std::string(dll) + ", which no Windows has (error 126: the module could not be found)"};
    }
    if (function.empty()) {
        // By ordinal: the numbers are the DLL's own; this host keeps names only.
        return {stub_for(d->name, "#" + std::to_string(ordinal)), 0, {}};
    }
    if (!exports_name(*d, function)) {
        return {0, kErrorProcNotFound,
                "imports " + std::string(dll) + "!" + std::string(function) +
                    ", which that DLL does not export (error 127: the procedure could not be found)"};
    }
    return {stub_for(d->name, std::string(function)), 0, {}};
}

// The module handles of the system DLLs: each a page of the host's constant
// memory that starts as an image does, so that code that looks at the header
// of a handle finds one.
Addr WindowsProcess::dll_handle(std::string_view dll) {
    // No name: the program the process runs, whose handle GetModuleHandle(NULL) gives.
    const KnownDll* d = dll.empty() ? nullptr : known_dll(dll);
    if (!d && !dll.empty()) return 0;
    const std::string name = d ? d->name : "";
    if (const auto it = state_->dll_handles.find(name); it != state_->dll_handles.end()) return it->second;
    const Addr h = machine_.allocate_constant(0x200);
    machine_.write<std::uint16_t>(h, 0x5A4D);                      // MZ
    machine_.write<std::uint32_t>(h + 0x3C, 0x80);                 // e_lfanew
    machine_.write<std::uint32_t>(h + 0x80, 0x4550);               // PE
    machine_.write<std::uint16_t>(h + 0x84, 0x14C);                // i386
    machine_.write<std::uint16_t>(h + 0x96, d ? 0x2102 : 0x0102);  // executable, 32-bit, (a DLL)
    machine_.write<std::uint16_t>(h + 0x98, 0x10B);                // PE32
    state_->dll_handles.emplace(name, h);
    return h;
}

std::string WindowsProcess::dll_of_handle(Addr handle) const {
    for (const auto& [name, h] : state_->dll_handles) {
        if (h == handle) return name;
    }
    return {};
}

}  // namespace q7host
