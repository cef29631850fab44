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
inline constexpr std::int32_t kEinval = 22, kEnomem = 12, kErange = 34, kEbadf = 9;

// Makes the C runtime's data in the machine's memory and empties the heap.
void set_up_runtime(Machine& machine, ProcessState& s);

// Hands an exception to the module's vectored handlers, then along its frame
// chain, as ntdll's dispatcher does; `r` holds the registers at the
// exception and, when the result is kResume, those to resume with.
Dispatch dispatch_exception(Machine& machine, ProcessState& s, const Exception& e, Registers& r);

// Sets msvcrt's errno.
void set_errno(Api& api, std::int32_t value);
// Appends to what the module printed, up to the bound.
void print(ProcessState& s, std::string_view text);

}  // namespace q7host::win
