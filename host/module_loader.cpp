#include "host/module_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace q7host {

namespace {

constexpr Addr kFallbackBase = 0x10000000;  // where an image that clashes with the host goes

std::uint32_t page_up(std::uint64_t n) {
    return static_cast<std::uint32_t>((n + Machine::kPage - 1) & ~std::uint64_t{Machine::kPage - 1});
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

unsigned protection_of(const PeSection& s) {
    return (s.readable() ? prot::kRead : 0) | (s.writable() ? prot::kWrite : 0) |
           (s.executable() ? prot::kExec : 0);
}

}  // namespace

Addr LoadedModule::export_address(std::string_view name, std::uint32_t ordinal) const {
    Addr by_name = 0, by_ordinal = 0;
    for (const auto& e : image.exports) {
        if (e.name == name) by_name = base + e.rva;
        if (e.ordinal == ordinal) by_ordinal = base + e.rva;
    }
    return by_name && by_name == by_ordinal ? by_name : 0;
}

std::optional<LoadedModule> map_module(Machine& machine, PeImage image, const ImportResolver& resolve,
                                       std::string& error) {
    LoadedModule m;
    m.mapped_size = page_up(image.image_size);
    m.base = image.image_base;
    const bool fits = m.base >= 0x10000 && std::uint64_t{m.base} + m.mapped_size <= 0x100000000ull;
    if (!fits || Machine::in_host_area(m.base, m.mapped_size)) m.base = kFallbackBase;
    const PeImage& img = image;

    // The image laid out and relocated on the host's side first, then written
    // into the machine at once.
    std::vector<std::uint8_t> bytes = img.bytes_at(0, m.mapped_size);
    const std::uint32_t delta = m.base - img.image_base;
    for (std::uint32_t rva : img.relocations) {
        std::uint32_t v;
        std::memcpy(&v, bytes.data() + rva, 4);
        v += delta;
        std::memcpy(bytes.data() + rva, &v, 4);
    }
    for (const auto& imp : img.imports) {
        const Addr target = resolve(imp);
        if (!target) {
            error = "imports " + imp.dll + "!" +
                    (imp.function.empty() ? "ordinal " + std::to_string(imp.ordinal) : imp.function) +
                    ", which this host does not provide";
            return std::nullopt;
        }
        std::memcpy(bytes.data() + imp.iat_rva, &target, 4);
    }
    try {
        machine.map(m.base, m.mapped_size, prot::kNone);
    } catch (const EmulatorError&) {
        error = "cannot map the image at " + hex(m.base);
        return std::nullopt;
    }
    machine.write_bytes(m.base, bytes.data(), bytes.size());
    // Pages no section covers stay inaccessible; each section gets what its
    // flags say, so data the module does not mark as code never runs.
    machine.protect(m.base, img.headers_size, prot::kRead);
    for (const auto& s : img.sections) {
        if (s.span()) machine.protect(m.base + s.virtual_address, s.span(), protection_of(s));
    }
    machine.set_counted_range(m.base, m.base + m.mapped_size);
    m.image = std::move(image);
    return m;
}

CallOutcome notify_module(Machine& machine, const LoadedModule& module, std::uint32_t reason) {
    return machine.call("entry routine", module.entry(), {module.base, reason, 0}, Returns::kInt);
}

void unmap_module(Machine& machine, const LoadedModule& module) {
    machine.set_counted_range(0, 0);
    machine.unmap(module.base, module.mapped_size);
}

}  // namespace q7host
