#include "host/panel_services.h"

#include "host/hex.h"
#include "model/units.h"

#include <algorithm>

namespace q7host {

namespace {}  // namespace

using Handler = void (*)(PanelServices&, const std::vector<std::uint32_t>& args);

struct PanelServices::Handlers {
    static void element_install(PanelServices& s, const std::vector<std::uint32_t>& a) {
        const Addr root = a[0];
        if (!root) return;
        if (s.install_sets_host_image_ && s.machine_.read(root + element::kKind) == element::kStaticImage) {
            s.write_record<std::uint32_t>(root + static_image::kHostImage, s.host_image_,
                                          "the host_image field of the root image", root);
        }
        if (s.on_element_install) s.on_element_install(root);
    }
    static void mouse_register(PanelServices& s, const std::vector<std::uint32_t>& a) { s.mouse_list_ = a[0]; }
    static void mouse_remove(PanelServices& s, const std::vector<std::uint32_t>&) { s.mouse_list_ = 0; }
    static void var_refresh(PanelServices& s, const std::vector<std::uint32_t>& a) {
        s.calls_.back().variable = s.machine_.try_read(a[0] + module_var::kId).value_or(0);
        s.fill_vars(a[0], 1);
    }
};

namespace {

// What a service does beyond being logged and returning its chosen result;
// most do nothing more.
template <Service>
inline constexpr Handler kHandler = nullptr;
template <>
inline constexpr Handler kHandler<Service::ElementInstall> = &PanelServices::Handlers::element_install;
template <>
inline constexpr Handler kHandler<Service::MouseInstall> = &PanelServices::Handlers::mouse_register;
template <>
inline constexpr Handler kHandler<Service::MouseActivate> = &PanelServices::Handlers::mouse_register;
template <>
inline constexpr Handler kHandler<Service::MouseRemove> = &PanelServices::Handlers::mouse_remove;
template <>
inline constexpr Handler kHandler<Service::VarRefresh> = &PanelServices::Handlers::var_refresh;

struct ServiceEntry {
    unsigned position;
    const char* name;
    unsigned arity;  // 32-bit arguments, removed by the service (stdcall)
    Handler handler;
};

constexpr ServiceEntry kServices[] = {
#define Q7_SERVICE_ENTRY(p, n, a) {.position = p, .name = #n, .arity = a, .handler = kHandler<Service::n>},
    Q7_HOST_SERVICES(Q7_SERVICE_ENTRY)
#undef Q7_SERVICE_ENTRY
};

const ServiceEntry* entry_for(unsigned position) {
    for (const auto& e : kServices) {
        if (e.position == position) return &e;
    }
    return nullptr;
}

}  // namespace

PanelServices::PanelServices(Machine& machine) : machine_(machine) {
    for (unsigned t = 0; t < kTables; ++t) {
        tables_[t] = machine_.allocate_constant(4 * kPositions);
        for (unsigned p = 0; p < kPositions; ++p) {
            const ServiceEntry* e = entry_for(p);
            const unsigned arity = e ? e->arity : 0;
            const Addr stub = machine_.add_stub([this, t, p, arity](StubCall& call) { serve(t, p, arity, call); },
                                                4 * arity, Returns::kInt);
            machine_.write<std::uint32_t>(tables_[t] + 4 * p, stub);
        }
    }
    host_image_ = machine_.allocate(32);
    writable = [this](Addr a, std::size_t n) { return machine_.writable_data(a, n); };
}

void PanelServices::reset() {
    calls_.clear();
    std::fill(std::begin(results_), std::end(results_), 0u);
    vars_.clear();
    mouse_list_ = 0;
    install_sets_host_image_ = true;
    service_observer = nullptr;
}

void PanelServices::write_record(Addr at, const void* data, std::size_t n, const char* what, Addr record) {
    if (!writable(at, n)) throw RecordNotWritable(std::string(what) + " at " + hex(record, 8));
    machine_.write_bytes(at, data, n);
}

void PanelServices::serve(unsigned table, unsigned position, unsigned arity, StubCall& call) {
    ServiceCall c{table, position, {}};
    for (unsigned i = 0; i < arity; ++i) c.args.push_back(call.arg(i));
    calls_.push_back(c);
    if (service_observer) service_observer(c);
    const ServiceEntry* e = entry_for(position);
    if (!e) {
        call.fail(ProblemKind::ForbiddenService, std::to_string(position));
        return;
    }
    if (e->handler) {
        try {
            e->handler(*this, calls_.back().args);
        } catch (const RecordNotWritable& w) {
            call.fail(ProblemKind::RecordNotWritable, w.detail);
            return;
        }
    }
    call.return_int(results_[position]);
}

std::vector<unsigned> PanelServices::call_positions() const {
    std::vector<unsigned> out;
    for (const auto& c : calls_) out.push_back(c.position);
    return out;
}

double PanelServices::var(std::uint32_t id) const {
    auto it = vars_.find(id);
    return it == vars_.end() ? 0.0 : it->second;
}

void PanelServices::set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees) {
    set_var(kSimLatitude, q7ref::latitude_from_degrees(lat_degrees));
    set_var(kSimLongitude, q7ref::longitude_from_degrees(lon_degrees));
    set_var(kSimHeading, heading_degrees);
}

void PanelServices::fill_vars(Addr slots, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        const Addr slot = slots + i * module_var::kSize;
        const std::uint32_t id = machine_.read(slot + module_var::kId);
        if (id != 0) {
            write_record<double>(slot + module_var::kValue, var(id), "the value of the ModuleVar", slot);
        }
    }
}

}  // namespace q7host
