// The module's address space as quorlan7-view.exe reaches it: its own
// process's memory, which LoadLibrary mapped the module into. Every access the
// host makes on the module's behalf asks the memory manager first, so that a
// record pointing nowhere is the module's problem (MemoryFault) and never a
// crash of the host. This is the Memory the shared rules (panel/) read and
// write through.
#pragma once

#include "panel/problem.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace q7win {

using q7host::Addr;
using q7host::MemoryFault;

class ProcessMemory {
public:
    // Whether every byte of [a, a + n) is committed memory the process may
    // read (x86 pages that may be written or run may be read), or write.
    bool readable(Addr a, std::size_t n) const { return first_refused(a, n, false) == kAll; }
    bool writable(Addr a, std::size_t n) const { return first_refused(a, n, true) == kAll; }

    void read_bytes(Addr a, void* out, std::size_t n) const {
        if (const std::uint64_t at = first_refused(a, n, false); at != kAll) {
            throw MemoryFault(static_cast<Addr>(at), "read");
        }
        if (n) std::memcpy(out, pointer(a), n);
    }
    void write_bytes(Addr a, const void* data, std::size_t n) {
        if (const std::uint64_t at = first_refused(a, n, true); at != kAll) {
            throw MemoryFault(static_cast<Addr>(at), "write");
        }
        if (n) std::memcpy(pointer(a), data, n);
    }
    template <typename T = std::uint32_t>
    T read(Addr a) const {
        T v{};
        read_bytes(a, &v, sizeof v);
        return v;
    }
    template <typename T = std::uint32_t>
    std::optional<T> try_read(Addr a) const {
        if (!readable(a, sizeof(T))) return std::nullopt;
        return read<T>(a);
    }
    // Up to `max` bytes, or to the first NUL.
    std::string read_cstring(Addr a, std::size_t max = 256) const {
        std::string s;
        while (s.size() < max) {
            if (!readable(a, 1)) throw MemoryFault(a, "read");
            const char c = *static_cast<const char*>(pointer(a));
            if (!c) break;
            s.push_back(c);
            ++a;
        }
        return s;
    }

    static void* pointer(Addr a) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a)); }
    static Addr address(const void* p) { return static_cast<Addr>(reinterpret_cast<std::uintptr_t>(p)); }

private:
    static constexpr std::uint64_t kAll = ~std::uint64_t{0};

    static bool allows(DWORD protect, bool write) {
        if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
        const DWORD p = protect & 0xFF;
        if (write)
            return p == PAGE_READWRITE || p == PAGE_WRITECOPY || p == PAGE_EXECUTE_READWRITE ||
                   p == PAGE_EXECUTE_WRITECOPY;
        return p != 0;
    }

    // The first byte of [a, a + n) the process may not access so, or kAll.
    static std::uint64_t first_refused(Addr a, std::size_t n, bool write) {
        std::uint64_t at = a;
        const std::uint64_t end = std::uint64_t{a} + n;
        if (end > 0x100000000ull) return at;  // past the top of the address space
        while (at < end) {
            MEMORY_BASIC_INFORMATION info{};
            if (VirtualQuery(pointer(static_cast<Addr>(at)), &info, sizeof info) != sizeof info) return at;
            if (info.State != MEM_COMMIT || !allows(info.Protect, write)) return at;
            at = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + std::uint64_t{info.RegionSize};
        }
        return kAll;
    }
};

}  // namespace q7win
