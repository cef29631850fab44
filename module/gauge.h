// The exported Linkage record, the gauge header it lists and the seven
// lifecycle routines, each of which forwards one step to a host service.
#pragma once

#include "module/host_services.h"

#include <cstddef>
#include <cstdint>

struct ElementHeader;

using GaugeRoutine = std::uint32_t(Q7_STDCALL*)();
using GaugeRoutineWithArg = std::uint32_t(Q7_STDCALL*)(std::uint32_t);
using ModuleHook = void(Q7_STDCALL*)();

#pragma pack(push, 4)

struct GaugeHeader {
    std::uint32_t fixed_610;
    const char* gauge_name;
    ElementHeader** element_list;
    GaugeRoutine routine_1;
    GaugeRoutineWithArg install;
    GaugeRoutine routine_3;
    GaugeRoutine routine_4;
    GaugeRoutineWithArg routine_5;
    GaugeRoutine routine_6;
    GaugeRoutine uninstall;
    std::uint32_t reserved;
    std::uint32_t fixed_100;
    std::uint32_t reserved_words[10];
};
static_assert(sizeof(GaugeHeader) == 88);
static_assert(offsetof(GaugeHeader, fixed_610) == 0);
static_assert(offsetof(GaugeHeader, gauge_name) == 4);
static_assert(offsetof(GaugeHeader, element_list) == 8);
static_assert(offsetof(GaugeHeader, routine_1) == 12);
static_assert(offsetof(GaugeHeader, install) == 16);
static_assert(offsetof(GaugeHeader, routine_3) == 20);
static_assert(offsetof(GaugeHeader, routine_4) == 24);
static_assert(offsetof(GaugeHeader, routine_5) == 28);
static_assert(offsetof(GaugeHeader, routine_6) == 32);
static_assert(offsetof(GaugeHeader, uninstall) == 36);
static_assert(offsetof(GaugeHeader, reserved) == 40);
static_assert(offsetof(GaugeHeader, fixed_100) == 44);
static_assert(offsetof(GaugeHeader, reserved_words) == 48);

struct LinkageRecord {
    std::uint32_t module_id;
    ModuleHook hook_1;
    ModuleHook hook_2;
    std::uint32_t reserved[3];
    GaugeHeader* gauges[2];  // one gauge, then the zero terminator
};
static_assert(sizeof(LinkageRecord) == 32);
static_assert(offsetof(LinkageRecord, module_id) == 0);
static_assert(offsetof(LinkageRecord, hook_1) == 4);
static_assert(offsetof(LinkageRecord, hook_2) == 8);
static_assert(offsetof(LinkageRecord, reserved) == 12);
static_assert(offsetof(LinkageRecord, gauges) == 24);

#pragma pack(pop)

extern "C" LinkageRecord Linkage;
extern GaugeHeader gauge_header;

void Q7_STDCALL LinkageHook1();
void Q7_STDCALL LinkageHook2();

std::uint32_t Q7_STDCALL GaugeRoutine1();
std::uint32_t Q7_STDCALL GaugeInstall(std::uint32_t value);
std::uint32_t Q7_STDCALL GaugeRoutine3();
std::uint32_t Q7_STDCALL GaugeRoutine4();
std::uint32_t Q7_STDCALL GaugeRoutine5(std::uint32_t value);
std::uint32_t Q7_STDCALL GaugeRoutine6();
std::uint32_t Q7_STDCALL GaugeUninstall();
