// The panel services as every host of the gauge serves them, whatever runs the
// module's code: the positions from the one list the module is built from,
// the call log, the result each position returns, the simulation variables,
// and what each position does beyond being logged (service 25 hands the root
// image the host's record and the tree to the host, 32 and 33 register the
// mouse list, 34 removes it, 40 fills a ModuleVar); every other position is a
// trap. The reference host serves them to emulated code, the Windows viewer to
// code LoadLibrary mapped into its own process; each gives them the memory it
// reaches the module's records through.
//
// Memory is the host's view of the module's address space:
//   template <class T> T read(Addr) const;                 throws MemoryFault
//   template <class T> std::optional<T> try_read(Addr) const;
//   void write_bytes(Addr, const void*, std::size_t);       throws MemoryFault
#pragma once

#include "model/units.h"
#include "module/host_service_list.h"
#include "panel/layout.h"
#include "panel/problem.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
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

// A service table has this many positions; the module needs at least 41.
inline constexpr unsigned kServicePositions = 64;

struct ServiceEntry {
    unsigned position;
    const char* name;
    unsigned arity;  // 32-bit arguments, removed by the service (stdcall)
};

inline constexpr ServiceEntry kServiceEntries[] = {
#define Q7_SERVICE_ENTRY(p, n, a) {p, #n, a},
    Q7_HOST_SERVICES(Q7_SERVICE_ENTRY)
#undef Q7_SERVICE_ENTRY
};

// The entry of a position the module may call; nothing for a trap.
constexpr const ServiceEntry* service_entry(unsigned position) {
    for (const auto& e : kServiceEntries) {
        if (e.position == position) return &e;
    }
    return nullptr;
}

// How many 32-bit arguments a position's service takes (0 for a trap).
constexpr unsigned service_arity(unsigned position) {
    const ServiceEntry* e = service_entry(position);
    return e ? e->arity : 0;
}

struct ServiceCall {
    unsigned table = 0;  // which of the host's service tables the call went through
    unsigned position = 0;
    std::vector<std::uint32_t> args;
    // A refresh: the variable its ModuleVar named (0 where it named none or
    // could not be read).
    std::uint32_t variable = 0;
};

// Why a service stopped the module's call: the problem's kind and particulars.
struct ServiceRefusal {
    ProblemKind kind;
    std::string detail;
};

template <class Memory>
class ServiceRules {
public:
    explicit ServiceRules(Memory& memory) : memory_(memory) {}
    ServiceRules(const ServiceRules&) = delete;
    ServiceRules& operator=(const ServiceRules&) = delete;

    void set_result(unsigned position, std::uint32_t value) { results_[position % kServicePositions] = value; }

    const std::vector<ServiceCall>& calls() const { return calls_; }
    void clear_calls() { calls_.clear(); }
    std::vector<unsigned> call_positions() const {
        std::vector<unsigned> out;
        for (const auto& c : calls_) out.push_back(c.position);
        return out;
    }
    // Called on every service call, after it is logged and before it is served.
    std::function<void(const ServiceCall&)> service_observer;

    // Simulation variables, in host units; an unknown id reads 0.
    void set_var(std::uint32_t id, double value) { vars_[id] = value; }
    double var(std::uint32_t id) const {
        auto it = vars_.find(id);
        return it == vars_.end() ? 0.0 : it->second;
    }
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees) {
        set_var(kSimLatitude, q7ref::latitude_from_degrees(lat_degrees));
        set_var(kSimLongitude, q7ref::longitude_from_degrees(lon_degrees));
        set_var(kSimHeading, heading_degrees);
    }
    // Writes the current value into each of `count` ModuleVar records at
    // `slots` that names a variable; a record with id 0 is left alone.
    void fill_vars(Addr slots, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            const Addr slot = slots + i * module_var::kSize;
            const std::uint32_t id = memory_.template read<std::uint32_t>(slot + module_var::kId);
            if (id != 0) {
                write_record<double>(slot + module_var::kValue, var(id), "the value of the ModuleVar", slot);
            }
        }
    }

    // What the element and mouse services were handed. Service 25 sets a
    // static root image's host_image to the host's record (unless told not
    // to) and hands the root to `on_element_install`; 32 and 33 register a
    // mouse list, 34 removes it.
    Addr host_image_record() const { return host_image_; }
    // The host's own record that service 25 hands a static root image: 32
    // bytes of host data, set by the host when it is made.
    void set_host_image_record(Addr record) { host_image_ = record; }
    void set_install_sets_host_image(bool on) { install_sets_host_image_ = on; }
    Addr registered_mouse_list() const { return mouse_list_; }
    std::function<void(Addr root)> on_element_install;
    // Forgets what a module registered, as its unloading does.
    void forget_registrations() { mouse_list_ = 0; }
    // Back to the state of a new host: no calls logged, no results chosen, no
    // variables set, no observer, service 25 filling host_image.
    void reset() {
        calls_.clear();
        std::fill(std::begin(results_), std::end(results_), 0u);
        vars_.clear();
        mouse_list_ = 0;
        install_sets_host_image_ = true;
        service_observer = nullptr;
    }

    // Where a Windows process may write; set by whoever maps the module.
    std::function<bool(Addr, std::size_t)> writable;
    // Writes into a record the module handed the host, as a Windows host
    // would: throws RecordNotWritable, naming the field `what` of the record
    // at `record`, where the memory is not writable. A service stops its
    // call with that problem.
    void write_record(Addr at, const void* data, std::size_t n, const char* what, Addr record) {
        if (!writable || !writable(at, n)) throw RecordNotWritable(std::string(what) + " at " + hex(record, 8));
        memory_.write_bytes(at, data, n);
    }
    template <typename T>
    void write_record(Addr at, const T& value, const char* what, Addr record) {
        write_record(at, &value, sizeof value, what, record);
    }

    // One call of module code through service table `table` at `position`,
    // with the words the caller pushed (as many as the position's arity):
    // logs it, tells the observer, then does what the position does. Returns
    // the result the call hands back in eax, or why the call must stop (a
    // trap, or a record the host cannot write). Memory the module pointed at
    // but does not have throws MemoryFault, for the host to report against
    // whatever it was running.
    std::optional<ServiceRefusal> serve(unsigned table, unsigned position, std::vector<std::uint32_t> args,
                                        std::uint32_t& result) {
        calls_.push_back({table, position, std::move(args), 0});
        if (service_observer) service_observer(calls_.back());
        if (!service_entry(position)) return ServiceRefusal{ProblemKind::ForbiddenService, std::to_string(position)};
        try {
            const std::vector<std::uint32_t> a = calls_.back().args;
            switch (static_cast<Service>(position)) {
                case Service::ElementInstall: element_install(a[0]); break;
                case Service::MouseInstall:
                case Service::MouseActivate: mouse_list_ = a[0]; break;
                case Service::MouseRemove: mouse_list_ = 0; break;
                case Service::VarRefresh:
                    calls_.back().variable =
                        memory_.template try_read<std::uint32_t>(a[0] + module_var::kId).value_or(0);
                    fill_vars(a[0], 1);
                    break;
                default: break;
            }
        } catch (const RecordNotWritable& w) {
            return ServiceRefusal{ProblemKind::RecordNotWritable, w.detail};
        }
        result = results_[position];
        return std::nullopt;
    }

private:
    void element_install(Addr root) {
        if (!root) return;
        if (install_sets_host_image_ &&
            memory_.template read<std::uint32_t>(root + element::kKind) == element::kStaticImage) {
            write_record<std::uint32_t>(root + static_image::kHostImage, host_image_,
                                        "the host_image field of the root image", root);
        }
        if (on_element_install) on_element_install(root);
    }

    Memory& memory_;
    Addr host_image_ = 0;
    std::uint32_t results_[kServicePositions] = {};
    bool install_sets_host_image_ = true;
    std::vector<ServiceCall> calls_;
    std::map<std::uint32_t, double> vars_;
    Addr mouse_list_ = 0;
};

}  // namespace q7host
