// The gauge as quorlan7-view.exe hosts it: the module file loaded with
// LoadLibrary into the program's own process, ImportTable and Linkage found
// with GetProcAddress, the panel-service table (its entry points hand every
// call to the panel services' rules, panel/services.h), and the gauge run
// as every host runs it (panel/gauge_runner.h), each call into the module
// guarded (win_call.h). Text buffers and the host's records live in a heap of
// the gauge's own, made at load and destroyed at unload.
#pragma once

#include "panel/gauge_runner.h"
#include "panel/problem.h"
#include "panel/services.h"
#include "win_call.h"
#include "win_memory.h"
#include "win_output.h"

#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace q7win {

using q7host::Problem;
using q7host::ProblemKind;
using q7host::Warning;

class WinGauge : public q7host::GaugeRunner<WinGauge, ProcessMemory> {
public:
    // How long one call into the module may run, and how long LoadLibrary
    // and FreeLibrary may take with the entry routine in them.
    static constexpr DWORD kCallLimitMs = 2000;
    static constexpr DWORD kLoaderLimitMs = 5000;

    // Why this process cannot safely load another module, or nothing: a
    // module's entry routine was taken back from inside LoadLibrary or
    // FreeLibrary (it crashed past the loader, or did not return), which
    // left the loader in the middle of its work; or a module stayed loaded
    // after FreeLibrary.
    static const std::string& why_no_more_loads();
    // Runs f (a call of the loader's, such as GetProcAddress or LoadImage,
    // over the module's data) guarded: false, with the fault in `why`, when
    // the loader faulted, which leaves it abandoned.
    template <class F>
    static bool loader_call(F f, std::string& why) {
        const CallResult r = guarded_run(f, kLoaderLimitMs);
        if (r.ending == CallResult::kReturned) return true;
        abandon_loader();
        why = r.ending == CallResult::kFaulted ? fault_detail(r) : "it did not return within 5 seconds";
        return false;
    }
    static void abandon_loader();

    WinGauge();
    ~WinGauge();
    WinGauge(const WinGauge&) = delete;
    WinGauge& operator=(const WinGauge&) = delete;

    // Loads the module file with LoadLibrary (its entry routine runs there),
    // checks it is a dynamic library, finds ImportTable and Linkage by name
    // and by ordinal and writes the service table into ImportTable.
    bool load(const std::string& path);
    void unload();
    bool loaded() const { return module_ != nullptr; }
    const std::string& error() const { return error_; }
    // Why the last load failed: Windows refused the file or it is no gauge
    // module, or the module misbehaved (its entry routine failed, crashed or
    // did not return, or ImportTable lies where the host cannot write).
    enum class LoadFailure { kNone, kFile, kModule };
    LoadFailure load_failure() const { return failure_; }
    HMODULE module() const { return module_; }
    Addr linkage() const { return linkage_; }

    // The simulation as the module sees it through the services.
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees) {
        services_.set_aircraft(lat_degrees, lon_degrees, heading_degrees);
    }
    const std::vector<q7host::ServiceCall>& calls() const { return services_.calls(); }
    void clear_calls() { services_.clear_calls(); }
    Addr mouse_list() const { return services_.registered_mouse_list(); }

    const std::vector<Problem>& problems() const { return problems_; }
    const std::vector<Warning>& warnings() const { return warnings_; }
    void warn(Warning w);
    // What the module printed since it was loaded.
    const std::string& output() const { return output_.text(); }
    bool output_truncated() const { return output_.truncated(); }

    // What the gauge runner reaches the module through.
    ProcessMemory& memory() { return memory_; }
    const ProcessMemory& memory() const { return memory_; }
    q7host::ServiceRules<ProcessMemory>& services() { return services_; }
    const q7host::ServiceRules<ProcessMemory>& services() const { return services_; }
    void report(Problem p) { problems_.push_back(std::move(p)); }
    Addr allocate(std::size_t n, std::uint8_t fill);
    template <typename F>
    auto guarded(const char* what, F&& f) -> decltype(f()) {
        try {
            return f();
        } catch (const q7host::MemoryFault& fault) {
            report({ProblemKind::BadPointer, what,
                    std::string("the host an address it cannot use: ") + q7host::hex(fault.address, 8)});
        } catch (const q7host::RecordNotWritable& w) {
            report({ProblemKind::RecordNotWritable, what, w.detail});
        }
        return decltype(f())();
    }

    // Checked calls into the module, one per routine shape.
    std::uint32_t call_routine(const char* name, Addr routine);
    std::uint32_t call_install(Addr routine, std::uint32_t arg);
    double call_pointer(const char* name, Addr callback, std::uint32_t arg);
    double call_text(const char* name, Addr callback, double arg);
    std::int32_t call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b);

    // A call of module code through the service table (win_gauge.cpp's entry
    // points): true with the result, or false when the call must stop.
    bool serve(unsigned position, const std::uint32_t* words, unsigned count, std::uint32_t& result);

private:
    CallResult call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, bool returns_double,
                    DWORD limit_ms = kCallLimitMs);
    bool fail_load(LoadFailure why, const std::string& error);

    ProcessMemory memory_;
    q7host::ServiceRules<ProcessMemory> services_{memory_};
    HANDLE heap_ = nullptr;
    HMODULE module_ = nullptr;
    Addr import_table_ = 0;
    Addr linkage_ = 0;
    std::string error_;
    LoadFailure failure_ = LoadFailure::kNone;
    std::vector<Problem> problems_;
    std::vector<Warning> warnings_;
    const char* current_ = "";    // the routine running now
    std::exception_ptr pending_;  // a host error inside a service, raised again at the call's site
    ModuleOutput output_;
};

}  // namespace q7win
