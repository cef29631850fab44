#include "host/module_loader.h"

#include "host/thread_block.h"
#include "panel/hex.h"

#include <algorithm>
#include <stdexcept>
#include <cstring>

namespace q7host {

namespace {

constexpr Addr kFallbackBase = 0x10000000;  // where an image that clashes with the host goes
constexpr unsigned kMaxTlsCallbacks = 64;
constexpr std::uint64_t kMaxTlsData = 16u << 20;

// The page protection Windows gives a section: write implies read
// (PAGE_WRITECOPY), execute alone is PAGE_EXECUTE, no flag at all is
// PAGE_NOACCESS.
unsigned protection_of(const PeSection& s) {
    return (s.readable() || s.writable() ? prot::kRead : 0) | (s.writable() ? prot::kWrite : 0) |
           (s.executable() ? prot::kExec : 0);
}

template <typename T>
T get(const std::vector<std::uint8_t>& b, std::uint32_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
template <typename T>
void put(std::vector<std::uint8_t>& b, std::uint32_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}

void relocate(std::vector<std::uint8_t>& bytes, const std::vector<PeRelocation>& relocations, std::uint32_t delta) {
    for (const PeRelocation& r : relocations) {
        switch (r.type) {
            case 1:
            case 2: {
                const std::uint32_t half = r.type == 1 ? delta >> 16 : delta & 0xFFFF;
                put<std::uint16_t>(bytes, r.rva, static_cast<std::uint16_t>(get<std::uint16_t>(bytes, r.rva) + half));
                break;
            }
            default: put<std::uint32_t>(bytes, r.rva, get<std::uint32_t>(bytes, r.rva) + delta); break;
        }
    }
}

// Reads the TLS directory from the mapped image, after relocation, as the
// loader does before it runs anything of the module: the index slot must be
// writable memory of the module, the data template and the callback list
// readable. Writes the TLS index.
bool set_up_tls(Machine& machine, LoadedModule& m, std::string& error) {
    const PeDirectory dir = m.image.directories[PeImage::kTls];
    if (!dir.rva) return true;
    const ImageReader read = m.reader(machine);
    std::uint32_t d[5];
    if (!read(dir.rva, d, sizeof d)) {
        error = "the TLS directory at " + hex(dir.rva, 8) + " lies outside the module's readable memory";
        return false;
    }
    const Addr start = d[0], end = d[1], index = d[2], callbacks = d[3];
    const std::uint32_t zero_fill = d[4];
    // An address below the image wraps far past its end.
    auto rva_of = [&m](Addr va) { return std::uint64_t{va} - m.base; };
    if (!m.writable(rva_of(index), 4)) {
        error = "the TLS index slot at " + hex(index, 8) + " is not writable memory of the module";
        return false;
    }
    if (end != start && (end < start || !m.readable(rva_of(start), end - start))) {
        error = "the TLS data template from " + hex(start, 8) + " to " + hex(end, 8) +
                " is not readable memory of the module";
        return false;
    }
    if (std::uint64_t{end - start} + zero_fill > kMaxTlsData) {
        error = "the TLS directory asks for " + std::to_string(std::uint64_t{end - start} + zero_fill) +
                " bytes of thread data, more than the largest image";
        return false;
    }
    for (unsigned k = 0; callbacks; ++k) {
        const std::uint64_t at = rva_of(callbacks) + 4ull * k;
        std::uint32_t cb = 0;
        if (at > 0xFFFFFFFFu || !read(static_cast<std::uint32_t>(at), &cb, 4)) {
            error = "the TLS callback list at " + hex(callbacks, 8) + " is not readable memory of the module";
            return false;
        }
        if (!cb) break;
        if (k == kMaxTlsCallbacks) {
            error = "the TLS callback list names more than " + std::to_string(kMaxTlsCallbacks) + " callbacks";
            return false;
        }
        m.tls_callbacks.push_back(cb);
    }
    // The thread's copy of the module's thread data, as the loader gives
    // every thread: the template followed by the zero fill, reached through
    // the thread block's ThreadLocalStoragePointer at the module's index.
    const std::uint64_t data_size = std::uint64_t{end - start} + zero_fill;
    Addr data = 0, pointers = 0;
    try {
        data = machine.allocate(static_cast<std::size_t>(data_size));
        pointers = machine.allocate(4 * (kTlsIndex + 1));
    } catch (const std::length_error&) {
        error = "the TLS directory asks for " + std::to_string(data_size) +
                " bytes of thread data, more than this host can give a thread";
        return false;
    }
    if (end != start) {
        std::vector<std::uint8_t> bytes(end - start);
        read(static_cast<std::uint32_t>(rva_of(start)), bytes.data(), bytes.size());
        machine.write_bytes(data, bytes.data(), bytes.size());
    }
    machine.write<std::uint32_t>(pointers + 4 * kTlsIndex, data);
    machine.write<std::uint32_t>(Machine::thread().environment_block + teb::kThreadLocalStoragePointer, pointers);
    machine.write<std::uint32_t>(index, kTlsIndex);
    m.tls_index_slot = index;
    return true;
}

// One loader call: its stack and registers restored afterwards, what had to
// be restored a warning.
CallOutcome loader_call(Machine& machine, const std::string& name, Addr routine, Addr base, std::uint32_t reason,
                        std::vector<Warning>& warnings) {
    const std::size_t before = machine.problems().size();
    const CallOutcome out = machine.call(name.c_str(), routine, {base, reason, 0}, Returns::kInt);
    std::vector<Problem> kept(machine.problems().begin(), machine.problems().end());
    bool restored = false;
    for (std::size_t i = kept.size(); i-- > before;) {
        const Problem& p = kept[i];
        if (p.kind == ProblemKind::StackUnbalanced) {
            warnings.push_back({WarningKind::LoaderRoutineStack, name, p.detail});
        } else if (p.kind == ProblemKind::RegistersClobbered) {
            warnings.push_back({WarningKind::LoaderRoutineRegisters, name, ""});
        } else {
            continue;
        }
        kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
        restored = true;
    }
    if (restored) {
        machine.clear_problems();
        for (Problem& p : kept) machine.report(std::move(p));
    }
    return out;
}

}  // namespace

bool LoadedModule::readable(std::uint64_t rva, std::uint64_t n) const {
    return rva + n <= mapped_size && machine && machine->accessible(base + static_cast<Addr>(rva), n, prot::kRead);
}

bool LoadedModule::writable(std::uint64_t rva, std::uint64_t n) const {
    return rva + n <= mapped_size && machine && machine->accessible(base + static_cast<Addr>(rva), n, prot::kWrite);
}

ImageReader LoadedModule::reader(const Machine& machine) const {
    return [this, &machine](std::uint32_t rva, void* out, std::size_t n) {
        if (!readable(rva, n)) return false;
        try {
            machine.read_bytes(base + rva, out, n);
            return true;
        } catch (const MemoryFault&) {
            return false;
        } catch (const EmulatorError&) {
            if (!machine.stopped()) throw;
            return false;
        }
    };
}

Addr LoadedModule::export_address(const Machine& machine, std::string_view name, std::uint32_t ordinal,
                                  std::string& why) const {
    const ImageReader read = reader(machine);
    const PeDirectory& dir = image.directories[PeImage::kExports];
    const ExportLookup by_name = find_export(read, dir, name), by_ordinal = find_export(read, dir, ordinal);
    if (by_name.rva && by_name.rva == by_ordinal.rva) return base + by_name.rva;
    why = by_name.rva ? std::string(name) + " is not exported as ordinal " + std::to_string(ordinal) : by_name.why;
    if (by_name.rva && !by_ordinal.rva) why += " (" + by_ordinal.why + ")";
    return 0;
}

std::optional<LoadedModule> map_module(Machine& machine, PeImage image, const ImportResolver& resolve,
                                       std::string& error) {
    LoadedModule m;
    m.mapped_size = Machine::page_up(image.image_size);
    m.base = image.image_base;
    const bool fits = m.base >= 0x10000 && std::uint64_t{m.base} + m.mapped_size <= 0x100000000ull;
    if (!fits || Machine::in_host_area(m.base, m.mapped_size)) m.base = kFallbackBase;
    // A DYNAMIC_BASE image had its relocations read with the file: Windows
    // moves it wherever it goes. Any other is read only when it must move.
    const bool moved = m.base != image.image_base;
    if (moved && !image.relocations_read && !image.read_relocations(error)) return std::nullopt;
    const PeImage& img = image;

    // The image laid out and relocated on the host's side first, then written
    // into the machine at once.
    std::vector<std::uint8_t> bytes = img.bytes_at(0, m.mapped_size);
    if (moved) relocate(bytes, img.relocations, m.base - img.image_base);
    for (const auto& imp : img.imports) {
        const ImportBinding b = resolve(imp);
        if (!b.address) {
            error = b.why;
            return std::nullopt;
        }
        put<std::uint32_t>(bytes, imp.iat_rva, b.address);
    }
    // Pages no section covers stay inaccessible; each section gets what its
    // flags say, so data the module does not mark as code never runs. The
    // image goes into the machine in one piece, every page with its
    // protection.
    std::vector<std::uint8_t> page_protection(m.mapped_size / Machine::kPage, prot::kNone);
    auto set = [&page_protection](std::uint64_t from, std::uint64_t size, unsigned protection) {
        for (std::uint64_t p = from / Machine::kPage; p < Machine::page_up(from + size) / Machine::kPage; ++p) {
            page_protection[p] = static_cast<std::uint8_t>(protection);
        }
    };
    set(0, img.headers_mapped, prot::kRead);
    for (const auto& s : img.sections) set(s.virtual_address, s.span(), protection_of(s));
    try {
        machine.map_image(m.base, bytes, page_protection);
        m.machine = &machine;
    } catch (const EmulatorError&) {
        error = "cannot map the image at " + hex(m.base, 8);
        return std::nullopt;
    }
    m.image = std::move(image);
    if (!set_up_tls(machine, m, error)) {
        machine.unmap_image(m.base);
        return std::nullopt;
    }
    machine.set_counted_range(m.base, m.base + m.mapped_size);

    m.warnings = m.image.warnings;
    const PeDirectory exports = m.image.directories[PeImage::kExports];
    if (exports.rva && std::uint64_t{exports.rva} + exports.size > m.image.image_size) {
        m.warnings.push_back({WarningKind::ExportDirectoryPastImage, "",
                              "at " + hex(exports.rva, 8) + " claims " + std::to_string(exports.size) +
                                  " bytes, past the image's end at " + hex(m.image.image_size, 8)});
    }
    return m;
}

Notification notify_module(Machine& machine, const LoadedModule& module, std::uint32_t reason) {
    Notification n;
    auto callbacks = [&] {
        for (std::size_t i = 0; i < module.tls_callbacks.size() && n.completed; ++i) {
            const std::string name = "TLS callback " + std::to_string(i + 1);
            const Addr callback = module.tls_callbacks[i];
            const std::size_t before = machine.problems().size();
            n.completed = loader_call(machine, name, callback, module.base, reason, n.warnings).completed;
            // Windows's loader calls the callbacks inside a handler of its
            // own: an exception the module's handlers leave is caught there,
            // and loading goes on.
            const auto& p = machine.problems();
            if (!n.completed && p.size() == before + 1 && p.back().kind == ProblemKind::Crash) {
                n.warnings.push_back({WarningKind::TlsCallbackCrashed, name, p.back().detail});
                std::vector<Problem> kept(p.begin(), p.end() - 1);
                machine.clear_problems();
                for (Problem& q : kept) machine.report(std::move(q));
                n.completed = true;
            }
        }
    };
    auto entry = [&] {
        if (!module.entry() || !n.completed) return;
        const CallOutcome out = loader_call(machine, "entry routine", module.entry(), module.base, reason, n.warnings);
        n.completed = out.completed;
        n.result = out.eax;
    };
    if (reason == 0) {
        entry();
        callbacks();
    } else {
        callbacks();
        entry();
    }
    return n;
}

void unmap_module(Machine& machine, const LoadedModule& module) {
    machine.set_counted_range(0, 0);
    if (module.tls_index_slot)
        machine.write<std::uint32_t>(Machine::thread().environment_block + teb::kThreadLocalStoragePointer, 0);
    machine.unmap_image(module.base);
}

}  // namespace q7host
