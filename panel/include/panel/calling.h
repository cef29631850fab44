// A call into module code as every host makes and checks it: the state a
// Windows thread gives the routine (x87 and SSE control words), the markers
// loaded into the registers it must preserve, and a fault told in Windows's
// terms (its exception code, and the words the hosts report it in).
#pragma once

#include "panel/hex.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace q7host {

namespace calling {
// x87 control word (53-bit precision, every exception masked) and MXCSR
// (every exception masked), as Windows starts a thread.
inline constexpr std::uint16_t kControlWord = 0x27F;
inline constexpr std::uint32_t kMxcsr = 0x1F80;
// ebx, esi, edi and ebp hold these when a routine starts; each must hold its
// own again when it returns.
inline constexpr std::uint32_t kSavedRegisterMarkers[4] = {0x5EB00001, 0x5EB00002, 0x5EB00003, 0x5EB00004};
// What a host keeps of what the module prints to its standard output and
// error; more is cut.
inline constexpr std::size_t kKeptOutput = 64 * 1024;
}  // namespace calling

// Windows exception codes.
namespace status {
inline constexpr std::uint32_t kAccessViolation = 0xC0000005, kIllegalInstruction = 0xC000001D,
                               kPrivilegedInstruction = 0xC0000096, kIntegerDivideByZero = 0xC0000094,
                               kIntegerOverflow = 0xC0000095, kArrayBoundsExceeded = 0xC000008C,
                               kSingleStep = 0x80000004, kBreakpoint = 0x80000003, kFloatDenormalOperand = 0xC000008D,
                               kFloatDivideByZero = 0xC000008E, kFloatInexactResult = 0xC000008F,
                               kFloatInvalidOperation = 0xC0000090, kFloatOverflow = 0xC0000091,
                               kFloatStackCheck = 0xC0000092, kFloatUnderflow = 0xC0000093,
                               kFloatMultipleFaults = 0xC00002B4, kFloatMultipleTraps = 0xC00002B5,
                               kStackOverflow = 0xC00000FD, kInPageError = 0xC0000006;
}  // namespace status

// The words for an exception that carries no particulars ("an integer
// division by zero"); an access violation's words name the access and the
// address as well, so its caller adds them.
inline std::string exception_words(std::uint32_t code) {
    switch (code) {
        case status::kAccessViolation: return "an access violation";
        case status::kIllegalInstruction: return "an illegal instruction";
        case status::kPrivilegedInstruction: return "a privileged instruction";
        case status::kIntegerDivideByZero: return "an integer division by zero";
        case status::kIntegerOverflow: return "an integer overflow";
        case status::kArrayBoundsExceeded: return "an array bound exceeded";
        case status::kSingleStep: return "a single-step trap";
        case status::kBreakpoint: return "a breakpoint";
        case status::kFloatDenormalOperand: return "a floating-point denormal operand";
        case status::kFloatDivideByZero: return "a floating-point division by zero";
        case status::kFloatInexactResult: return "a floating-point inexact result";
        case status::kFloatInvalidOperation: return "a floating-point invalid operation";
        case status::kFloatOverflow: return "a floating-point overflow";
        case status::kFloatStackCheck: return "a floating-point stack check";
        case status::kFloatUnderflow: return "a floating-point underflow";
        case status::kFloatMultipleFaults:
        case status::kFloatMultipleTraps: return "a floating-point exception in an SSE instruction";
        case status::kStackOverflow: return "a stack overflow";
        case status::kInPageError: return "an in-page error";
        default: return "exception " + hex(code, 8);
    }
}

// A fault as the hosts report it: "0x5E701234: an access violation reading
// 0x00000000 (0xC0000005)".
inline std::string fault_detail(std::uint32_t at, const std::string& what, std::uint32_t code) {
    return hex(at, 8) + ": " + what + " (" + hex(code, 8) + ")";
}

}  // namespace q7host
