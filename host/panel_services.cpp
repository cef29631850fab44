#include "host/panel_services.h"

namespace q7host {

PanelServices::PanelServices(Machine& machine) : ServiceRules<Machine>(machine), machine_(machine) {
    for (unsigned t = 0; t < kTables; ++t) {
        tables_[t] = machine_.allocate_constant(4 * kPositions);
        for (unsigned p = 0; p < kPositions; ++p) {
            const unsigned arity = service_arity(p);
            const Addr stub = machine_.add_stub([this, t, p, arity](StubCall& call) { serve(t, p, arity, call); },
                                                4 * arity, Returns::kInt);
            machine_.write<std::uint32_t>(tables_[t] + 4 * p, stub);
        }
    }
    set_host_image_record(machine_.allocate(32));
    writable = [this](Addr a, std::size_t n) { return machine_.writable_data(a, n); };
}

void PanelServices::serve(unsigned table, unsigned position, unsigned arity, StubCall& call) {
    std::vector<std::uint32_t> args;
    for (unsigned i = 0; i < arity; ++i) args.push_back(call.arg(i));
    std::uint32_t result = 0;
    if (auto refusal = ServiceRules::serve(table, position, std::move(args), result)) {
        call.fail(refusal->kind, std::move(refusal->detail));
        return;
    }
    call.return_int(result);
}

}  // namespace q7host
