// Loading the module with LoadLibrary and serving it: the service table the
// module reaches through ImportTable, its entry points, the checked calls,
// and the gauge's own heap.
#include "win_gauge.h"

#include "panel/calling.h"
#include "panel/hex.h"
#include "win_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

namespace q7win {

namespace {

using q7host::hex;

WinGauge* g_served = nullptr;  // the gauge the service table serves now
std::string g_no_more_loads;   // why this process cannot load another module, once it cannot
const char* const kLoaderTakenBack =
    "Windows's loader was taken back in the middle of its work on that module, and no other module can be loaded "
    "safely now";
DWORD g_main_thread_id = GetCurrentThreadId();

// While host code runs inside a module call, the x87 and SSE control words
// are the host's; the module's come back with its own flags when it goes on.
class HostFloatingPoint {
public:
    HostFloatingPoint() {
        asm volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(cw_), "=m"(mxcsr_));
        const std::uint16_t cw = q7host::calling::kControlWord;
        const std::uint32_t mxcsr = q7host::calling::kMxcsr;
        asm volatile("fldcw %0\n\tldmxcsr %1" : : "m"(cw), "m"(mxcsr));
    }
    ~HostFloatingPoint() { asm volatile("fldcw %0\n\tldmxcsr %1" : : "m"(cw_), "m"(mxcsr_)); }

private:
    std::uint16_t cw_ = 0;
    std::uint32_t mxcsr_ = 0;
};

// One call of module code through the table. A call the services stop ends
// the module's call here, with nothing of the host's left to clean up.
std::uint32_t serve_or_stop(unsigned position, const std::uint32_t* words, unsigned count) {
    // Only the thread the gauge runs on is served, and only inside a call.
    if (GetCurrentThreadId() != g_main_thread_id || !g_served || !in_module_call()) return 0;
    std::uint32_t result = 0;
    bool served;
    {
        HostFloatingPoint host_state;
        served = g_served->serve(position, words, count, result);
    }
    if (!served) stop_module_call();
    return result;
}

// The entry point of position P: stdcall, removing exactly the arguments the
// list gives the position (none at a trap, which stops the call anyway).
template <unsigned P, unsigned Arity>
struct Entry;
template <unsigned P>
struct Entry<P, 0> {
    static std::uint32_t __stdcall call() { return serve_or_stop(P, nullptr, 0); }
};
template <unsigned P>
struct Entry<P, 1> {
    static std::uint32_t __stdcall call(std::uint32_t a) {
        const std::uint32_t w[] = {a};
        return serve_or_stop(P, w, 1);
    }
};
template <unsigned P>
struct Entry<P, 2> {
    static std::uint32_t __stdcall call(std::uint32_t a, std::uint32_t b) {
        const std::uint32_t w[] = {a, b};
        return serve_or_stop(P, w, 2);
    }
};
template <unsigned P>
struct Entry<P, 3> {
    static std::uint32_t __stdcall call(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        const std::uint32_t w[] = {a, b, c};
        return serve_or_stop(P, w, 3);
    }
};

template <class Positions>
struct ServiceTable;
template <std::size_t... P>
struct ServiceTable<std::index_sequence<P...>> {
    static inline const std::array<Addr, sizeof...(P)> entries = {
        ProcessMemory::address(reinterpret_cast<const void*>(&Entry<P, q7host::service_arity(P)>::call))...};
};

// The table the module is handed, in a page of its own that the module may
// read and not write.
Addr service_table() {
    static const Addr table = [] {
        using Table = ServiceTable<std::make_index_sequence<q7host::kServicePositions>>;
        void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!page) throw std::bad_alloc();
        std::memcpy(page, Table::entries.data(), sizeof Table::entries);
        DWORD old = 0;
        VirtualProtect(page, 4096, PAGE_READONLY, &old);
        return ProcessMemory::address(page);
    }();
    return table;
}

struct LoadRequest {
    std::wstring path;
    HMODULE module = nullptr;
    DWORD error = 0;
};

void load_library(void* p) {
    auto* r = static_cast<LoadRequest*>(p);
    r->module = LoadLibraryW(r->path.c_str());
    r->error = r->module ? 0 : GetLastError();
}

void free_library(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

std::string limit_words(DWORD ms) { return std::to_string(ms / 1000) + " seconds"; }

// The routine LoadLibrary and FreeLibrary run in the module, as the
// reference host names it (a TLS callback's fault is named so too: from
// outside the loader the two cannot be told apart).
const char* const kEntry = "entry routine";

bool same_file(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::string file_name(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return narrow(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

// Where images are mapped in the process now.
std::vector<Addr> mapped_images() {
    std::vector<Addr> bases;
    MEMORY_BASIC_INFORMATION info{};
    for (std::uintptr_t at = 0x10000; at < 0x80000000u && VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info);
         at = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize) {
        if (info.Type == MEM_IMAGE && info.BaseAddress == info.AllocationBase) {
            bases.push_back(ProcessMemory::address(info.AllocationBase));
        }
        if (info.RegionSize == 0) break;
    }
    return bases;
}

// An image a refused LoadLibrary left mapped (Wine leaves the file's own
// when one of its imports is missing, where Windows unmaps it) would hold
// the next module off its base; one that belongs to no loaded module goes.
// One the loader still counts as loaded (its load gave up half-way), or one
// that cannot be unmapped, stays, and no module is loaded after it in this
// process.
void release_refused_images(const std::vector<Addr>& before) {
    for (const Addr base : mapped_images()) {
        if (std::find(before.begin(), before.end(), base) != before.end()) continue;
        HMODULE holder = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(ProcessMemory::pointer(base)), &holder)) {
            if (g_no_more_loads.empty()) {
                g_no_more_loads = "Windows's loader refused the file but keeps it loaded at " + hex(base, 8) +
                                  ", where it would hold the next module off its base";
            }
            continue;
        }
        MEMORY_BASIC_INFORMATION info{};
        if (!UnmapViewOfFile(ProcessMemory::pointer(base)) &&
            VirtualQuery(ProcessMemory::pointer(base), &info, sizeof info) && info.State != MEM_FREE &&
            g_no_more_loads.empty()) {
            g_no_more_loads = "Windows's loader left the refused file mapped at " + hex(base, 8) +
                              " and it cannot be released; it would hold the next module off its base";
        }
    }
}

}  // namespace

const std::string& WinGauge::why_no_more_loads() { return g_no_more_loads; }

void WinGauge::abandon_loader() {
    if (g_no_more_loads.empty()) g_no_more_loads = kLoaderTakenBack;
}

WinGauge::WinGauge() {
    services_.writable = [this](Addr a, std::size_t n) { return memory_.writable(a, n); };
    services_.on_element_install = [this](Addr root) { on_element_install(root); };
}

WinGauge::~WinGauge() {
    unload();
    if (g_served == this) g_served = nullptr;
}

void WinGauge::warn(Warning w) {
    for (const Warning& seen : warnings_) {
        if (seen == w) return;
    }
    warnings_.push_back(std::move(w));
}

Addr WinGauge::allocate(std::size_t n, std::uint8_t fill) {
    void* p = heap_ ? HeapAlloc(heap_, 0, n ? n : 1) : nullptr;
    if (!p) throw std::bad_alloc();
    std::memset(p, fill, n);
    return ProcessMemory::address(p);
}

bool WinGauge::fail_load(LoadFailure why, const std::string& error) {
    error_ = error;
    unload();
    failure_ = why;
    return false;
}

bool WinGauge::load(const std::string& path) {
    unload();
    problems_.clear();
    warnings_.clear();
    error_.clear();
    failure_ = LoadFailure::kFile;

    // LoadLibrary searches its folders for a bare name; the viewer loads
    // the file it was given.
    LoadRequest request;
    const std::wstring wide = widen(path);
    request.path.resize(MAX_PATH);
    DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(request.path.size()), request.path.data(), nullptr);
    if (n >= request.path.size()) {
        request.path.resize(n);
        n = GetFullPathNameW(wide.c_str(), n, request.path.data(), nullptr);
    }
    if (n == 0) {
        error_ = path + ": " + windows_error("GetFullPathName", GetLastError());
        return false;
    }
    request.path.resize(n);

    // LoadLibrary runs the TLS callbacks and the entry routine; what they do
    // wrong is the module's fault. What the loader itself cannot do with the
    // file is the file's.
    const std::vector<Addr> images_before = mapped_images();
    output_.clear();
    watch_first_fault();
    const CallResult r = [&] {
        const ModuleOutput::Capture capture(output_);
        return guarded_run(load_library, &request, kLoaderLimitMs);
    }();
    const FirstFault first = first_fault();
    if (r.ending != CallResult::kReturned) abandon_loader();
    if (r.ending == CallResult::kTimedOut) {
        return fail_load(LoadFailure::kModule,
                         path + ": " + Problem{ProblemKind::NoReturn, kEntry, limit_words(kLoaderLimitMs)}.sentence());
    }
    if (r.ending == CallResult::kFaulted || (!request.module && request.error >= 0x80000000 && first.seen)) {
        // Taken back from the loader, or caught by it and given back as
        // LoadLibrary's error (Wine does so): the module's fault when its
        // own code raised it, or code no module holds (where its code went);
        // the loader's when it lies in the loader's own code.
        const CallResult& fault = r.ending == CallResult::kFaulted ? r : first.fault;
        if (!first.seen || first.module.empty() || same_file(first.module, request.path)) {
            return fail_load(LoadFailure::kModule,
                             path + ": " + Problem{ProblemKind::Crash, kEntry, fault_detail(fault)}.sentence());
        }
        release_refused_images(images_before);
        return fail_load(LoadFailure::kFile, path + ": Windows's loader failed on it: " + fault_detail(fault) +
                                                 (first.module.empty() ? "" : " in " + file_name(first.module)));
    }
    if (!request.module) {
        release_refused_images(images_before);
        if (request.error == ERROR_DLL_INIT_FAILED) {
            failure_ = LoadFailure::kModule;
            error_ =
                path + ": the entry routine refused to attach (" + windows_error("LoadLibrary", request.error) + ")";
        } else if (request.error >= 0x80000000) {
            error_ = path + ": Windows refuses to load it (LoadLibrary failed with " + hex(request.error, 8) + ": " +
                     q7host::exception_words(request.error) + ")";
        } else {
            error_ = path + ": Windows refuses to load it (" + windows_error("LoadLibrary", request.error) + ")";
        }
        return false;
    }
    module_ = request.module;
    heap_ = HeapCreate(0, 0, 0);
    if (!heap_) return fail_load(LoadFailure::kFile, path + ": " + windows_error("HeapCreate", GetLastError()));
    services_.set_host_image_record(allocate(32, 0));
    set_click_point(allocate(8, 0));

    const Addr base = ProcessMemory::address(module_);
    std::uint32_t image_size = 0;
    try {
        // A panel host loads gauge modules, which are dynamic libraries; an
        // executable is mapped by LoadLibrary but never started.
        const Addr nt = base + memory_.read<std::uint32_t>(base + offsetof(IMAGE_DOS_HEADER, e_lfanew));
        const auto characteristics =
            memory_.read<std::uint16_t>(nt + offsetof(IMAGE_NT_HEADERS32, FileHeader.Characteristics));
        if (!(characteristics & IMAGE_FILE_DLL)) return fail_load(LoadFailure::kFile, path + ": not a dynamic library");
        image_size = memory_.read<std::uint32_t>(nt + offsetof(IMAGE_NT_HEADERS32, OptionalHeader.SizeOfImage));
    } catch (const q7host::MemoryFault&) {
        return fail_load(LoadFailure::kFile, path + ": its headers are not readable once loaded");
    }

    // ImportTable and Linkage, by name and by ordinal, the same address both ways.
    const auto export_address = [this](const char* name, WORD ordinal, std::string& why) -> Addr {
        FARPROC by_name = nullptr, by_ordinal = nullptr;
        DWORD name_error = 0, ordinal_error = 0;
        const HMODULE module = module_;
        auto look_up = [&] {
            by_name = GetProcAddress(module, name);
            name_error = GetLastError();
            by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
            ordinal_error = GetLastError();
        };
        std::string fault;
        if (!loader_call(look_up, fault)) {
            why = "Windows's loader failed on its exports: " + fault;
            return 0;
        }
        if (by_name && by_name == by_ordinal) return ProcessMemory::address(reinterpret_cast<const void*>(by_name));
        if (!by_name) {
            why = std::string(name) + " is not exported (" + windows_error("GetProcAddress", name_error) + ")";
        } else {
            why = std::string(name) + " is not exported as ordinal " + std::to_string(ordinal);
            if (!by_ordinal) why += " (" + windows_error("GetProcAddress", ordinal_error) + ")";
        }
        return 0;
    };
    std::string why;
    import_table_ = export_address("ImportTable", 1, why);
    if (import_table_) linkage_ = export_address("Linkage", 2, why);
    if (!import_table_ || !linkage_) return fail_load(LoadFailure::kFile, path + ": " + why);
    const auto fits = [&](Addr at, std::uint32_t size) {
        return at >= base && std::uint64_t{at - base} + size <= image_size;
    };
    if (!fits(import_table_, q7host::import_table::kSize) || !fits(linkage_, q7host::linkage::kSize)) {
        return fail_load(LoadFailure::kFile, path + ": ImportTable or Linkage runs past the end of the image");
    }
    const auto id = memory_.try_read<std::uint32_t>(import_table_ + q7host::import_table::kEntryId);
    if (!id) return fail_load(LoadFailure::kFile, path + ": ImportTable lies in memory the host cannot read");
    if (*id != q7host::import_table::kPanelServices) {
        return fail_load(LoadFailure::kFile, path + ": ImportTable does not ask for the panel services");
    }
    try {
        services_.write_record<std::uint32_t>(import_table_ + q7host::import_table::kEntryAddress, service_table(),
                                              "the service table's address into ImportTable", import_table_);
    } catch (const q7host::RecordNotWritable& w) {
        report({ProblemKind::RecordNotWritable, "", w.detail});
        return fail_load(LoadFailure::kModule, path + ": " + problems_.back().sentence());
    }
    g_served = this;
    failure_ = LoadFailure::kNone;
    return true;
}

void WinGauge::unload() {
    if (module_) {
        // Windows ignores what the entry routine returns for a detach; a
        // detach that faults or hangs is the module's problem.
        const CallResult r = [&] {
            const ModuleOutput::Capture capture(output_);
            return guarded_run(free_library, module_, kLoaderLimitMs);
        }();
        if (r.ending != CallResult::kReturned) abandon_loader();
        if (r.ending == CallResult::kFaulted) report({ProblemKind::Crash, kEntry, fault_detail(r)});
        if (r.ending == CallResult::kTimedOut) report({ProblemKind::NoReturn, kEntry, limit_words(kLoaderLimitMs)});
        // A module that took a reference to itself stays loaded, and would
        // hold the next module off its base.
        HMODULE still = nullptr;
        if (r.ending == CallResult::kReturned && g_no_more_loads.empty() &&
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(module_), &still) &&
            still == module_) {
            g_no_more_loads =
                "the module stayed loaded after FreeLibrary (it holds a reference to itself), and would "
                "hold the next module off its base";
        }
    }
    module_ = nullptr;
    if (heap_) HeapDestroy(heap_);
    heap_ = nullptr;
    forget_gauge();
    services_.forget_registrations();
    services_.set_host_image_record(0);
    set_click_point(0);
    import_table_ = linkage_ = 0;
    if (g_served == this) g_served = nullptr;
}

bool WinGauge::serve(unsigned position, const std::uint32_t* words, unsigned count, std::uint32_t& result) {
    try {
        std::vector<std::uint32_t> args(words, words + count);
        if (auto refusal = services_.serve(0, position, std::move(args), result)) {
            report({refusal->kind, current_, std::move(refusal->detail)});
            return false;
        }
        return true;
    } catch (...) {
        pending_ = std::current_exception();
        return false;
    }
}

CallResult WinGauge::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, bool returns_double,
                          DWORD limit_ms) {
    const char* const outer = current_;
    current_ = name;
    const CallResult r = [&] {
        const ModuleOutput::Capture capture(output_);
        return checked_call(routine, words, returns_double, limit_ms);
    }();
    current_ = outer;
    switch (r.ending) {
        case CallResult::kStopped:
            // A host error inside a service goes on from here, as if the
            // host had met it making the call.
            if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
            break;
        case CallResult::kTimedOut: report({ProblemKind::NoReturn, name, limit_words(limit_ms)}); break;
        case CallResult::kFaulted: report({ProblemKind::Crash, name, fault_detail(r)}); break;
        case CallResult::kReturned:
            if (r.stack_delta != 0) {
                const int pushed = static_cast<int>(words.size()) * 4;
                report({ProblemKind::StackUnbalanced, name,
                        "the host pushed " + std::to_string(pushed) + " bytes of arguments and it removed " +
                            std::to_string(pushed + r.stack_delta)});
            }
            if (!r.registers_preserved) report({ProblemKind::RegistersClobbered, name, ""});
            break;
    }
    return r;
}

std::uint32_t WinGauge::call_routine(const char* name, Addr routine) { return call(name, routine, {}, false).eax; }

// GaugeInstall may build what the gauge needs as load-time code does: it has
// the loader's time.
std::uint32_t WinGauge::call_install(Addr routine, std::uint32_t arg) {
    return call("GaugeInstall", routine, {arg}, false, kLoaderLimitMs).eax;
}

double WinGauge::call_pointer(const char* name, Addr callback, std::uint32_t arg) {
    return call(name, callback, {arg}, true).st0;
}

double WinGauge::call_text(const char* name, Addr callback, double arg) {
    std::uint32_t w[2];
    std::memcpy(w, &arg, sizeof w);
    return call(name, callback, {w[0], w[1]}, true).st0;
}

std::int32_t WinGauge::call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(call(name, handler, {a, b}, false).eax);
}

}  // namespace q7win
