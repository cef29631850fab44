// What the process's parts share inside host/windows/: setting up the C runtime's data, the
// exception dispatcher, and helpers the DLL tables have in common.
#pragma once

#include "api.h"
#include "host/machine.h"
#include "process_state.h"

namespace q7host::win {

// Windows error codes and exception codes the functions give.
inline constexpr std::uint32_t kErrorInvalidHandle = 6, kErrorNotEnoughMemory = 8, kErrorInvalidParameter = 87,
                               kErrorInsufficientBuffer = 122, kErrorModNotFound = 126, kErrorProcNotFound = 127,
                               kErrorNoUnicodeTranslation = 1113, kErrorInvalidAddress = 487, kErrorNoMoreItems = 259,
                               kErrorTooManyPosts = 298, kErrorNoAccess = 998;
inline constexpr std::uint32_t kStatusNoncontinuable = 0xC0000025, kStatusInvalidDisposition = 0xC0000026,
                               kStatusUnwind = 0xC0000027, kStatusInvalidUnwindTarget = 0xC0000029;

// errno values of msvcrt.
inline constexpr std::int32_t kEinval = 22, kEnomem = 12, kEdom = 33, kErange = 34, kEbadf = 9;

// The process's and its thread's ids, as the thread block names them.
inline constexpr std::uint32_t kProcessId = 0x1F04, kThreadId = 0x1F08;

// When the process started: 2026-01-01 00:00:00 UTC, in 100-nanosecond units since 1601.
inline constexpr std::uint64_t kProcessStart = 134116992000000000ull;

// msvcrt's character classes (its _ctype bits) of a byte in the "C" locale,
// and of a wide character.
inline constexpr std::uint16_t kUpper = 0x1, kLower = 0x2, kDigit = 0x4, kSpace = 0x8, kPunct = 0x10, kControl = 0x20,
                               kBlank = 0x40, kHex = 0x80, kAlpha = 0x100 | kUpper | kLower;
std::uint16_t narrow_class(std::uint32_t byte);
std::uint16_t wide_class(std::uint32_t unit);

// msvcrt's malloc: a heap block, or 0 with errno ENOMEM.
Addr crt_malloc(Api& api, std::uint32_t n);

// Makes the C runtime's data in the machine's memory and empties the heap.
void set_up_runtime(Machine& machine, ProcessState& s);

// Hands an exception to the module's vectored handlers, then along its frame
// chain, as ntdll's dispatcher does; `r` holds the registers at the
// exception and, when the result is kResume, those to resume with.
// On kUnhandled, `e` is left as the exception that ended unhandled.
Dispatch dispatch_exception(Machine& machine, ProcessState& s, Exception& e, Registers& r);

// Sets msvcrt's errno.
void set_errno(Api& api, std::int32_t value);
// Appends to what the module printed, up to the bound.
void print(ProcessState& s, std::string_view text);

}  // namespace q7host::win
