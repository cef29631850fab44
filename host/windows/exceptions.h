// The layout of Windows's exception records and contexts on 32-bit x86, and KERNEL32's exception
// functions (their table is in kernel32.cpp).
#pragma once

#include "windows_internal.h"

namespace q7host::win {

inline constexpr std::uint32_t kContextSize = 0x2CC, kRecordSize = 0x50, kMaxParameters = 15;
namespace context {
inline constexpr std::uint32_t kFlags = 0x00, kFloatControl = 0x1C, kFloatStatus = 0x20, kFloatTags = 0x24,
                               kSegGs = 0x8C, kEdi = 0x9C, kEip = 0xB8, kEsp = 0xC4, kExtended = 0xCC;
// CONTEXT_i386 with control, integer, segment, floating-point, debug and extended registers.
inline constexpr std::uint32_t kAll = 0x1003F;
}  // namespace context

void write_context(Machine& m, Addr at, const Registers& r);
Registers read_context(const Machine& m, Addr at, Registers r);

void RaiseException(StdcallCalling& c, std::uint32_t code, std::uint32_t flags, std::uint32_t count,
                    Ptr<std::uint32_t> args);
void RtlUnwind(StdcallCalling& c, Addr target, Addr target_ip, Ptr<std::uint32_t> record, std::uint32_t value);
Addr AddVectoredExceptionHandler(Stdcall& c, std::uint32_t first, Addr handler);
std::uint32_t RemoveVectoredExceptionHandler(Stdcall& c, Addr handle);

}  // namespace q7host::win
