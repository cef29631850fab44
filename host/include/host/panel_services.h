// The service tables a module reaches through ImportTable in the emulated machine: one entry point
// per position it may call (from the one list of them) and a trap at every other, each handing the
// call to the panel services' rules (panel/services.h), which keep the call log, the chosen
// results and the simulation variables. It knows nothing of frames, texts or clicks.
#pragma once

#include "host/machine.h"
#include "panel/layout.h"
#include "panel/services.h"

#include <cstdint>

namespace q7host {

class PanelServices : public ServiceRules<Machine> {
public:
    static constexpr unsigned kPositions = kServicePositions;
    static constexpr unsigned kTables = 2;

    explicit PanelServices(Machine& machine);

    Addr table_address(unsigned table) const { return tables_[table]; }

private:
    void serve(unsigned table, unsigned position, unsigned arity, StubCall& call);

    Machine& machine_;
    Addr tables_[kTables] = {};
};

}  // namespace q7host
