// The gauge as a panel host runs it, on the emulated machine: load a module file as Windows loads
// it; install and uninstall the gauge, guarded text buffers, frames, clicks through the registered
// mouse list and the element tree as typed views, as every host does (panel/gauge_runner.h).
// What tools and most tests use; it reaches the machine and the services only through their faces.
#pragma once

#include "host/element_views.h"
#include "host/machine.h"
#include "host/module_loader.h"
#include "host/panel_services.h"
#include "host/windows.h"
#include "panel/gauge_runner.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace q7host {

class GaugeHost : public GaugeRunner<GaugeHost, Machine> {
public:
    GaugeHost();
    ~GaugeHost();
    GaugeHost(const GaugeHost&) = delete;
    GaugeHost& operator=(const GaugeHost&) = delete;

    // Loads a module file as a Windows host does: checks it is a 32-bit DLL,
    // maps it, binds its imports, runs its TLS callbacks and entry routine,
    // finds ImportTable and Linkage by name and by ordinal and writes service
    // table 0 into ImportTable.
    bool load(const std::string& path);
    // The same from the file's bytes; `name` stands for the file in errors.
    bool load(std::vector<std::uint8_t> bytes, const std::string& name);
    void unload();
    // Puts the host back as it was when it was made (no module, no
    // problems, warnings, calls, results or variables), far faster than
    // making a new one. False when it cannot: its emulator stopped for good.
    bool reset();
    bool loaded() const { return module_.has_value(); }
    const std::string& error() const { return error_; }
    // Why the last load failed: the file cannot be used, or the module
    // misbehaved (its entry routine or a TLS callback crashed, looped or
    // refused, or ImportTable lies where the host cannot write).
    enum class LoadFailure { kNone, kFile, kModule };
    LoadFailure load_failure() const { return failure_; }
    const PeImage& image() const { return module_->image; }
    Addr base() const { return module_ ? module_->base : 0; }
    Addr import_table() const { return import_table_; }
    Addr linkage() const { return linkage_; }
    // Writes the address of service table 0 or 1 into ImportTable.
    void use_table(unsigned table);

    // The simulation as the module sees it through the services: the
    // aircraft (degrees), any variable (host units), the result a service
    // position returns, the calls made since the log was last cleared and
    // the mouse list the module registered.
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees) {
        services_.set_aircraft(lat_degrees, lon_degrees, heading_degrees);
    }
    void set_variable(std::uint32_t id, double value) { services_.set_var(id, value); }
    void set_service_result(Service s, std::uint32_t value) { services_.set_result(position_of(s), value); }
    const std::vector<ServiceCall>& calls() const { return services_.calls(); }
    void clear_calls() { services_.clear_calls(); }
    std::vector<unsigned> call_positions() const { return services_.call_positions(); }
    Addr mouse_list() const { return services_.registered_mouse_list(); }

    // Guest instructions run while counting is on (exact, slower).
    void count_instructions(bool on) { machine_.count_instructions(on); }
    std::uint64_t instructions() const { return machine_.instructions(); }
    void reset_instructions() { machine_.reset_instructions(); }
    // How many instructions a call may run before it counts as not returning
    // (Machine::kInstructionBudget until changed; a reset puts it back).
    void set_instruction_budget(std::uint64_t n) { machine_.set_instruction_budget(n); }
    // The budget of load-time code (the loader routines with the C runtime's
    // start-up, GaugeInstall); Machine::kLoadBudget until changed.
    void set_load_budget(std::uint64_t n) { machine_.set_load_budget(n); }

    Machine& machine() { return machine_; }
    const Machine& machine() const { return machine_; }
    // What the gauge runner reaches the module through.
    Machine& memory() { return machine_; }
    const Machine& memory() const { return machine_; }
    void report(Problem p) { machine_.report(std::move(p)); }
    Addr allocate(std::size_t n, std::uint8_t fill) { return machine_.allocate(n, fill); }
    // Runs `f`; memory the module's records point at but does not have
    // becomes a problem of `what`, and so does an emulator that has stopped.
    template <typename F>
    auto guarded(const char* what, F&& f) -> decltype(f()) {
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
    PanelServices& services() { return services_; }
    const PanelServices& services() const { return services_; }
    // The Windows process the module runs in; what the module printed to
    // its standard output and error.
    WindowsProcess& process() { return process_; }
    const std::string& output() const { return process_.output(); }
    bool output_truncated() const { return process_.output_truncated(); }

    // Problems seen at the boundary since they were last cleared.
    const std::vector<Problem>& problems() const { return machine_.problems(); }
    void clear_problems() { machine_.clear_problems(); }
    // What is odd about the module but does not stop it, since the last load
    // began (each once).
    const std::vector<Warning>& warnings() const { return warnings_; }
    void warn(Warning w);

    // A bitmap resource as a panel host loads it (FindResource over the
    // mapped image): its bytes, or nothing with `why` set.
    std::optional<std::vector<std::uint8_t>> find_bitmap(std::uint32_t id, std::string& why) const;
    // Whether a Windows process may write [a, a + n): a writable section of
    // the module, or the host's own data.
    bool writable(Addr a, std::size_t n) const;

    // Checked calls into the module, one per routine shape.
    void call_hook(const char* name, Addr hook);
    std::uint32_t call_routine(const char* name, Addr routine);
    std::uint32_t call_routine(const char* name, Addr routine, std::uint32_t arg);
    std::uint32_t call_install(Addr routine, std::uint32_t arg);
    double call_pointer(const char* name, Addr callback, std::uint32_t arg);
    double call_text(const char* name, Addr callback, double arg);
    std::int32_t call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b);

private:
    ImportBinding resolve_import(const PeImport& import);
    bool load_image(PeImage&& image, const std::string& path);
    bool fail_load(LoadFailure why, const std::string& error);
    void take_warnings(std::vector<Warning> ws);

    // What a host is made of that costs to make: the emulated machine with
    // the service tables and the host's records in it. A host that is done
    // leaves them, rewound to how they were made, to the next one made in
    // the process (see gauge_host.cpp).
    struct Parts;
    static std::vector<std::unique_ptr<Parts>>& kept_parts();
    static std::unique_ptr<Parts> take_parts();
    static void give_back(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
    Machine& machine_;
    PanelServices& services_;
    WindowsProcess& process_;
    Machine::Mark unloaded_;  // host memory as it is with no module loaded
    std::optional<LoadedModule> module_;
    bool attached_ = false;  // the loader routines ran for attach and succeeded
    std::vector<Warning> warnings_;
    Addr import_table_ = 0;
    Addr linkage_ = 0;
    std::string error_;
    LoadFailure failure_ = LoadFailure::kNone;
};

}  // namespace q7host
