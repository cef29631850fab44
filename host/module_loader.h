// Maps a PE image into a Machine as a Windows loader does: sections with their protection,
// relocations, imports bound through the caller's resolver, the entry routine, exports by name and
// ordinal. It knows nothing of gauges.
#pragma once

#include "host/machine.h"
#include "host/pe_image.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace q7host {

struct LoadedModule {
    PeImage image;
    Addr base = 0;
    std::uint32_t mapped_size = 0;  // the image size in whole pages

    Addr entry() const { return base + image.entry_rva; }
    // The address exported under both `name` and `ordinal`; 0 when the two are
    // missing or name different addresses.
    Addr export_address(std::string_view name, std::uint32_t ordinal) const;
};

// The address a module's import slot receives; 0 refuses the import.
using ImportResolver = std::function<Addr(const PeImport&)>;

// Maps `image` at its preferred base, or elsewhere when that clashes with the
// host's own areas, and counts the machine's instructions inside it. Returns
// nothing with `error` set when the image cannot be placed or an import is
// refused. Does not run the entry routine.
std::optional<LoadedModule> map_module(Machine& machine, PeImage image, const ImportResolver& resolve,
                                       std::string& error);

// Runs the entry routine with a reason code: 1 attach, 0 detach. It succeeds
// when it completes and returns 1.
CallOutcome notify_module(Machine& machine, const LoadedModule& module, std::uint32_t reason);

// Unmaps the image; what was bound into it stays with the machine.
void unmap_module(Machine& machine, const LoadedModule& module);

}  // namespace q7host
