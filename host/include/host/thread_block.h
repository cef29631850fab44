// The layout of a 32-bit Windows thread environment block (TEB) and of the
// exception registration records its list holds: the one place the machine,
// the loader and the Windows process take these offsets from.
#pragma once

#include <cstdint>

namespace q7host::teb {

inline constexpr std::uint32_t kExceptionList = 0x00;  // NT_TIB: the first exception registration
inline constexpr std::uint32_t kStackBase = 0x04;      // the stack's top
inline constexpr std::uint32_t kStackLimit = 0x08;     // the stack's lowest committed address
inline constexpr std::uint32_t kVersion = 0x10;
inline constexpr std::uint32_t kSelf = 0x18;  // the block's own address
inline constexpr std::uint32_t kUniqueProcess = 0x20, kUniqueThread = 0x24;
inline constexpr std::uint32_t kThreadLocalStoragePointer = 0x2C;  // the modules' thread data, by TLS index
inline constexpr std::uint32_t kProcessEnvironmentBlock = 0x30;
inline constexpr std::uint32_t kLastError = 0x34;
inline constexpr std::uint32_t kDeallocationStack = 0xE0C;
inline constexpr std::uint32_t kTlsSlots = 0xE10;      // TlsAlloc's first 64 slots
inline constexpr std::uint32_t kTlsExpansion = 0xF94;  // the other 1024, where TlsAlloc made them

// An exception registration record: the next record (0xFFFFFFFF ends the
// chain) and the handler.
inline constexpr std::uint32_t kRegistrationNext = 0, kRegistrationHandler = 4;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;

}  // namespace q7host::teb
