// Calls into the module's code, made safe for the process around it: the
// checked call (the words pushed below a 16-byte boundary, the registers the
// routine must preserve loaded with markers, the x87 and SSE control words a
// call starts from, the stack pointer and the markers compared afterwards, a
// pending x87 exception raised inside the call), a frame-based exception
// handler round every call that takes back whatever the module's code raised
// and nothing inside handled, and a watchdog that takes back a call running
// past its time. Host code the module calls (the panel services) may end the
// module's call at once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace q7win {

// What one call into module code did.
struct CallResult {
    enum Ending { kReturned, kFaulted, kTimedOut, kStopped } ending = kReturned;
    std::uint32_t eax = 0;
    double st0 = 0.0;
    std::int32_t stack_delta = 0;  // 0 when the routine removed exactly its arguments
    bool registers_preserved = true;
    // A fault: the exception's code, where it was raised and its particulars.
    DWORD code = 0;
    std::uint32_t at = 0;
    std::uint32_t info[2] = {};
    DWORD info_count = 0;
};

// Runs the routine at `routine` with `words` on the stack (the first at the
// lowest address), taking back a fault or a call that runs longer than
// `limit_ms`. `returns_double` stores st(0) as the caller's "fstp qword" does.
CallResult checked_call(std::uint32_t routine, const std::vector<std::uint32_t>& words, bool returns_double,
                        DWORD limit_ms);

// Runs f(context) (host code that runs module code, such as LoadLibrary
// running the entry routine) the same way.
CallResult guarded_run(void (*f)(void* context), void* context, DWORD limit_ms);

// The same for a callable that keeps nothing to destroy (it may be left
// halfway).
template <class F>
CallResult guarded_run(F& f, DWORD limit_ms) {
    return guarded_run([](void* p) { (*static_cast<F*>(p))(); }, &f, limit_ms);
}

// For host code that runs inside a module call: ends that call now, as
// kStopped. Its caller has recorded why.
[[noreturn]] void stop_module_call();
bool in_module_call();

// The words a fault is told in: "0x5E701234: an access violation reading
// 0x00000000 (0xC0000005)".
std::string fault_detail(const CallResult& r);

// The first fault raised on the main thread while a watch is on, whoever
// went on to handle it (a loader may catch what an entry routine raised and
// fail LoadLibrary with its code): its code, address and particulars in a
// CallResult, and the file of the module its address lies in.
struct FirstFault {
    bool seen = false;
    CallResult fault;
    std::wstring module;
};
void watch_first_fault();
FirstFault first_fault();

// Once, before any module is loaded: the watchdog thread, no error boxes,
// and the last-resort handler for a fault outside any call.
void prepare_process();

}  // namespace q7win
