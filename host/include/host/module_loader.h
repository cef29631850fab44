// Maps a PE image into a Machine as a Windows loader does: the header page and sections with their
// protection, relocations when the image moves, imports bound through the caller's resolver, thread-
// local storage, the entry routine and TLS callbacks, exports by name and ordinal. It knows nothing
// of gauges.
#pragma once

#include "host/machine.h"
#include "host/pe_image.h"
#include "host/windows.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace q7host {

struct LoadedModule {
    PeImage image;
    Addr base = 0;
    std::uint32_t mapped_size = 0;     // the image size in whole pages
    const Machine* machine = nullptr;  // where it is mapped: the one record of its pages' protection
    Addr tls_index_slot = 0;           // where the loader wrote the TLS index; 0 without TLS
    std::vector<Addr> tls_callbacks;   // in the order the loader calls them
    std::vector<Warning> warnings;     // what is odd about the image but loads

    bool moved() const { return base != image.image_base; }
    Addr entry() const { return image.entry_rva ? base + image.entry_rva : 0; }
    // Whether a Windows process could read or write every byte of
    // [rva, rva + n) of the mapped image, as its pages are protected now
    // (the loader's protection, or what VirtualProtect made of it).
    bool readable(std::uint64_t rva, std::uint64_t n) const;
    bool writable(std::uint64_t rva, std::uint64_t n) const;
    // The mapped image as the host process can read it.
    ImageReader reader(const Machine& machine) const;
    // The address GetProcAddress gives under both `name` and `ordinal`; 0,
    // with `why` set, when either is missing or they differ.
    Addr export_address(const Machine& machine, std::string_view name, std::uint32_t ordinal, std::string& why) const;
};

// What a module's import slot receives, or the loader's refusal.
using ImportResolver = std::function<ImportBinding(const PeImport&)>;

// The TLS index the loader gives the module: the first a process hands out.
inline constexpr std::uint32_t kTlsIndex = 0;

// Maps `image` at its preferred base, or elsewhere when that clashes with the
// host's own areas, applies its relocations when it moved, binds its imports,
// sets up its thread-local storage (writes its TLS index and reads its
// callbacks), and counts the machine's instructions inside it. Returns
// nothing with `error` set when Windows would refuse the image. Runs none of
// its code.
std::optional<LoadedModule> map_module(Machine& machine, PeImage image, const ImportResolver& resolve,
                                       std::string& error);

// What running the module's loader routines did.
struct Notification {
    bool completed = true;     // every routine returned
    std::uint32_t result = 1;  // the entry routine's eax (1 when there is none)
    std::vector<Warning> warnings;
};

// Runs what the loader runs for a reason code (1 attach, 0 detach): on attach
// the TLS callbacks and then the entry routine, on detach the other way round.
// Each routine is called as Windows calls it: the stack pointer and ebx, esi,
// edi and ebp are restored after it, and what had to be restored becomes a
// warning instead of a problem. Stops at the first routine that does not
// return. An attach succeeds when all returned and the entry routine's result
// is nonzero.
Notification notify_module(Machine& machine, const LoadedModule& module, std::uint32_t reason);

// Unmaps the image; what was bound into it stays with the machine.
void unmap_module(Machine& machine, const LoadedModule& module);

}  // namespace q7host
