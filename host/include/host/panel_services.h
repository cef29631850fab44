// The service tables a module reaches through ImportTable, one entry point per position it may call
// (from the one list of them) and a trap at every other, the call log, chosen results and the
// simulation variables. It knows nothing of frames, texts or clicks.
#pragma once

#include "host/layout.h"
#include "host/machine.h"
#include "module/host_service_list.h"

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace q7host {

// The positions a module may call, by name.
enum class Service : unsigned {
#define Q7_SERVICE_NAME(position, name, arity) name = position,
    Q7_HOST_SERVICES(Q7_SERVICE_NAME)
#undef Q7_SERVICE_NAME
};
inline constexpr unsigned position_of(Service s) { return static_cast<unsigned>(s); }
inline constexpr unsigned kServiceVarRefresh = position_of(Service::VarRefresh);
inline constexpr unsigned kServiceMouseClick = position_of(Service::MouseClick);

struct ServiceCall {
    unsigned table = 0;  // which of the host's two tables the call went through
    unsigned position = 0;
    std::vector<std::uint32_t> args;
    // A refresh: the variable its ModuleVar named (0 where it named none or
    // could not be read).
    std::uint32_t variable = 0;
};

// A write the host must make into a record the module placed in memory a
// Windows process cannot write: there the host would crash, so it is the
// module's fault and nothing is written. `detail` names the record.
struct RecordNotWritable : std::runtime_error {
    explicit RecordNotWritable(const std::string& what) : std::runtime_error(what), detail(what) {}
    std::string detail;
};

class PanelServices {
public:
    static constexpr unsigned kPositions = 64;  // the module needs at least 41
    static constexpr unsigned kTables = 2;

    explicit PanelServices(Machine& machine);

    Addr table_address(unsigned table) const { return tables_[table]; }
    void set_result(unsigned position, std::uint32_t value) { results_[position % kPositions] = value; }

    const std::vector<ServiceCall>& calls() const { return calls_; }
    void clear_calls() { calls_.clear(); }
    std::vector<unsigned> call_positions() const;
    // Called on every service call, after it is logged and before it is served.
    std::function<void(const ServiceCall&)> service_observer;

    // Simulation variables, in host units; an unknown id reads 0.
    void set_var(std::uint32_t id, double value) { vars_[id] = value; }
    double var(std::uint32_t id) const;
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees);
    // Writes the current value into each of `count` ModuleVar records at
    // `slots` that names a variable; a record with id 0 is left alone.
    void fill_vars(Addr slots, unsigned count);

    // What the element and mouse services were handed. Service 25 sets a
    // static root image's host_image to the host's record (unless told not
    // to) and hands the root to `on_element_install`; 32 and 33 register a
    // mouse list, 34 removes it.
    Addr host_image_record() const { return host_image_; }
    void set_install_sets_host_image(bool on) { install_sets_host_image_ = on; }
    Addr registered_mouse_list() const { return mouse_list_; }
    std::function<void(Addr root)> on_element_install;
    // Forgets what a module registered, as its unloading does.
    void forget_registrations() { mouse_list_ = 0; }
    // Back to the state of a new host: no calls logged, no results chosen, no
    // variables set, no observer, service 25 filling host_image.
    void reset();

    // Where a Windows process may write: set by whoever maps the module; by
    // default only the host's own data pages.
    std::function<bool(Addr, std::size_t)> writable;
    // Writes into a record the module handed the host, as a Windows host
    // would: throws RecordNotWritable, naming the field `what` of the record
    // at `record`, where the memory is not writable. A service stops its
    // call with that problem.
    void write_record(Addr at, const void* data, std::size_t n, const char* what, Addr record);
    template <typename T>
    void write_record(Addr at, const T& value, const char* what, Addr record) {
        write_record(at, &value, sizeof value, what, record);
    }

    struct Handlers;  // what each service does beyond logging; panel_services.cpp

private:
    void serve(unsigned table, unsigned position, unsigned arity, StubCall& call);

    Machine& machine_;
    Addr tables_[kTables] = {};
    Addr host_image_ = 0;
    std::uint32_t results_[kPositions] = {};
    bool install_sets_host_image_ = true;
    std::vector<ServiceCall> calls_;
    std::map<std::uint32_t, double> vars_;
    Addr mouse_list_ = 0;
};

}  // namespace q7host
