// The module's side of the host boundary: the exported ImportTable through which
// the host hands over its panel-service table, the ModuleVar binding of one host
// simulation variable, and the one way the module calls a host service.
#pragma once

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

// Positions of the HostServices table that the module calls. Every other
// position below 41 is never called.
enum HostService : unsigned {
    kServiceElementUpdate = 24,   // GaugeRoutine1: root element
    kServiceElementInstall = 25,  // GaugeInstall: root element, argument
    kServiceElementStep3 = 26,    // GaugeRoutine3: root element
    kServiceElementStep4 = 27,    // GaugeRoutine4: root element
    kServiceElementStep5 = 28,    // GaugeRoutine5: root element, argument
    kServiceElementStep6 = 29,    // GaugeRoutine6: root element
    kServiceElementKill = 31,     // GaugeUninstall: root element
    kServiceMouseInstall = 32,    // GaugeInstall: mouse list, header, host_image + 4
    kServiceMouseActivate = 33,   // GaugeInstall: mouse list, header
    kServiceMouseRemove = 34,     // GaugeUninstall: mouse list, header
    kServiceMouseClick = 36,      // click handlers: 0x10000, 0
    kServiceVarRefresh = 40,      // pointer callbacks: a stand-alone ModuleVar
};

// Calls one host service. The table address is read from ImportTable at this
// moment, through a volatile access so that no copy of it is ever kept: when the
// host replaces the table between two calls, the second call goes to the new one.
template <typename... Args>
inline std::uint32_t call_host_service(HostService position, Args... args) {
    using Service = std::uint32_t(Q7_STDCALL*)(Args...);
    void* const* table = static_cast<void* const*>(
        *static_cast<void* const volatile*>(&ImportTable.panel_services.address));
    return reinterpret_cast<Service>(table[position])(args...);
}
