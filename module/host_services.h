// The module's side of the host boundary: the exported ImportTable through which
// the host hands over its panel-service table, the ModuleVar binding of one host
// simulation variable, and the one way the module calls a host service.
#pragma once

#include "module/host_service_list.h"

#include <cstddef>
#include <cstdint>

#define Q7_STDCALL __attribute__((stdcall))

// Host-facing records are packed on 4-byte boundaries: a double may start at an
// offset that is a multiple of 4 but not of 8.
#pragma pack(push, 4)

// One simulation variable bound to the module. The host fills `value` for a
// non-zero id; a record with id 0 is never written by the host, so the module
// may keep a value of its own there.
struct ModuleVar {
    std::uint32_t id;
    std::uint32_t host_reserved_a;
    std::uint32_t host_reserved_b;
    double value;
    std::uint32_t host_reserved_c[2];
};
static_assert(sizeof(ModuleVar) == 28);
static_assert(offsetof(ModuleVar, id) == 0);
static_assert(offsetof(ModuleVar, host_reserved_a) == 4);
static_assert(offsetof(ModuleVar, host_reserved_b) == 8);
static_assert(offsetof(ModuleVar, value) == 12);
static_assert(offsetof(ModuleVar, host_reserved_c) == 20);

struct ImportEntry {
    std::uint32_t id;
    void* address;
};
static_assert(sizeof(ImportEntry) == 8);
static_assert(offsetof(ImportEntry, address) == 4);

// The exported ImportTable: one entry for the panel-service table, then an
// all-zero terminator. The host writes the table's address; the module never does.
struct ImportTableRecord {
    ImportEntry panel_services;
    ImportEntry terminator;
};
static_assert(sizeof(ImportTableRecord) == 16);
static_assert(offsetof(ImportTableRecord, panel_services) == 0);
static_assert(offsetof(ImportTableRecord, terminator) == 8);

#pragma pack(pop)

inline constexpr std::uint32_t kPanelServicesId = 0x0F;

extern "C" ImportTableRecord ImportTable;

// Positions of the HostServices table that the module calls, from the one
// list of them. Every other position below 41 is never called.
enum HostService : unsigned {
#define Q7_SERVICE_POSITION(position, name, arity) kService##name = position,
    Q7_HOST_SERVICES(Q7_SERVICE_POSITION)
#undef Q7_SERVICE_POSITION
};

constexpr unsigned host_service_arity(HostService service) {
    switch (service) {
#define Q7_SERVICE_ARITY(position, name, arity) \
    case kService##name:                        \
        return arity;
        Q7_HOST_SERVICES(Q7_SERVICE_ARITY)
#undef Q7_SERVICE_ARITY
    }
    return 0;
}

// Calls one host service with exactly the 32-bit arguments the list gives it.
// The table address is read from ImportTable at this moment, through a
// volatile access so that no copy of it is ever kept: when the host replaces
// the table between two calls, the second call goes to the new one.
template <HostService position, typename... Args>
inline std::uint32_t call_host_service(Args... args) {
    static_assert(sizeof...(Args) == host_service_arity(position), "wrong number of service arguments");
    static_assert(((sizeof(Args) == 4) && ...), "every service argument is one 32-bit word");
    using Service = std::uint32_t(Q7_STDCALL*)(Args...);
    void* const* table = static_cast<void* const*>(
        *static_cast<void* const volatile*>(&ImportTable.panel_services.address));
    return reinterpret_cast<Service>(table[position])(args...);
}
