// Test-only: compiled into the seh variant of the module (module/variants.cmake),
// never into quorlan7.gau. At start-up (a static object's constructor, run by
// the C runtime before DllMain) the module handles three exceptions of its
// own, as C code built by MinGW does without __try:
//
//   1. a read through a null pointer, taken by a vectored handler, which sets
//      eax and steps over the faulting instruction (ExceptionContinueExecution
//      with a fixed-up CONTEXT);
//   2. RaiseException with one argument, offered to the vectored handler
//      first (which passes it on), then to a frame-based handler on fs:[0],
//      which continues execution, so that RaiseException returns;
//   3. RaiseException under two frame-based handlers: the inner one passes it
//      on, the outer one unwinds (RtlUnwind, which calls the inner one again
//      with the unwinding flag), takes itself off the chain and resumes after
//      the raise, as an __except block would.
//
// Every handler call is recorded in order in q7_seh_log, which the module
// exports for the tests to read, and printed as one line on standard output
// ("seh:" and each entry as EVENT:CODE). The gauge
// itself is untouched.
#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

// The events, in the order Windows produces them.
enum Event : std::uint32_t {
    kVectoredFixedUp = 1,     // vectored handler: the null read, eax set and the instruction skipped
    kVectoredPassedOn = 2,    // vectored handler: a raised exception, ExceptionContinueSearch
    kFrameContinued = 3,      // frame handler: ExceptionContinueExecution
    kRaiseReturned = 4,       // RaiseException returned after case 2
    kInnerPassedOn = 5,       // inner frame handler, search pass: ExceptionContinueSearch
    kOuterUnwinding = 6,      // outer frame handler: calls RtlUnwind
    kInnerUnwound = 7,        // inner frame handler, called again with the unwinding flag
    kResumedAfterUnwind = 8,  // back after the raise of case 3, fs:[0] as before the frames
    kReadValue = 9,           // the value the null read gave after the fix-up (code: 42)
    kNotReached = 0xDEAD,     // code that runs only when an exception was not handled as expected
};

constexpr DWORD kContinuedCode = 0xE0517001;
constexpr DWORD kUnwoundCode = 0xE0517002;
constexpr ULONG_PTR kRaiseArgument = 0x1234;
constexpr DWORD kUnwindFlags = 0x6;  // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND

}  // namespace

// What the tests read: the handler calls in order, each event and the
// exception code (or value) it saw.
struct SehLog {
    std::uint32_t count;
    struct {
        std::uint32_t event;
        std::uint32_t code;
    } entries[16];
};
extern "C" __declspec(dllexport) SehLog q7_seh_log;
SehLog q7_seh_log = {};

namespace {

void record(Event event, std::uint32_t code) {
    if (q7_seh_log.count < 16) q7_seh_log.entries[q7_seh_log.count] = {event, code};
    ++q7_seh_log.count;
}

// A record of the chain at fs:[0], laid out as Windows reads it.
struct Registration {
    Registration* next;
    EXCEPTION_DISPOSITION(__cdecl* handler)(EXCEPTION_RECORD*, void*, CONTEXT*, void*);
};

Registration* chain_head() {
    Registration* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void set_chain_head(Registration* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

LONG CALLBACK vectored_handler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    CONTEXT* ctx = info->ContextRecord;
    const auto* at = reinterpret_cast<const unsigned char*>(ctx->Eip);
    if (rec->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && rec->NumberParameters >= 2 &&
        rec->ExceptionInformation[0] == 0 && rec->ExceptionInformation[1] == 0 && at[0] == 0x8B && at[1] == 0x00) {
        record(kVectoredFixedUp, rec->ExceptionCode);
        ctx->Eax = 42;
        ctx->Eip += 2;  // movl (%eax), %eax
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    record(kVectoredPassedOn, rec->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Reads through a null pointer with an instruction the vectored handler knows.
__attribute__((noinline)) std::uint32_t read_null() {
    std::uint32_t value;
    asm volatile(
        "xorl %%eax, %%eax\n\t"
        "movl (%%eax), %%eax"
        : "=a"(value)
        :
        : "memory");
    return value;
}

EXCEPTION_DISPOSITION __cdecl continuing_handler(EXCEPTION_RECORD* rec, void*, CONTEXT*, void*) {
    if (rec->ExceptionFlags & kUnwindFlags) return ExceptionContinueSearch;
    if (rec->ExceptionCode != kContinuedCode || rec->NumberParameters != 1 ||
        rec->ExceptionInformation[0] != kRaiseArgument) {
        record(kNotReached, rec->ExceptionCode);
        return ExceptionContinueSearch;
    }
    record(kFrameContinued, rec->ExceptionCode);
    return ExceptionContinueExecution;
}

__attribute__((noinline)) void raise_and_continue() {
    Registration frame{chain_head(), continuing_handler};
    set_chain_head(&frame);
    const ULONG_PTR argument = kRaiseArgument;
    RaiseException(kContinuedCode, 0, 1, &argument);
    record(kRaiseReturned, kContinuedCode);
    set_chain_head(frame.next);
}

void* resume_point[5];

EXCEPTION_DISPOSITION __cdecl inner_handler(EXCEPTION_RECORD* rec, void*, CONTEXT*, void*) {
    record(rec->ExceptionFlags & kUnwindFlags ? kInnerUnwound : kInnerPassedOn, rec->ExceptionCode);
    return ExceptionContinueSearch;
}

EXCEPTION_DISPOSITION __cdecl outer_handler(EXCEPTION_RECORD* rec, void* frame, CONTEXT*, void*) {
    if (rec->ExceptionFlags & kUnwindFlags) return ExceptionContinueSearch;
    record(kOuterUnwinding, rec->ExceptionCode);
    RtlUnwind(frame, nullptr, rec, nullptr);
    // Every frame above this one is gone; this one goes as its scope is left.
    set_chain_head(static_cast<Registration*>(frame)->next);
    __builtin_longjmp(resume_point, 1);
}

__attribute__((noinline)) void raise_and_unwind() {
    Registration* const before = chain_head();
    // The inner record lies below the outer one, as the records of nested
    // calls do: RtlUnwind refuses to unwind a record above its target.
    Registration frames[2];
    Registration& inner = frames[0];
    Registration& outer = frames[1];
    outer = {before, outer_handler};
    set_chain_head(&outer);
    inner = {&outer, inner_handler};
    set_chain_head(&inner);
    if (__builtin_setjmp(resume_point) == 0) {
        RaiseException(kUnwoundCode, 0, 0, nullptr);
        record(kNotReached, kUnwoundCode);
        set_chain_head(before);
        return;
    }
    record(kResumedAfterUnwind, chain_head() == before ? kUnwoundCode : 0);
}

class StartUpExceptions {
public:
    StartUpExceptions() {
        void* const vectored = AddVectoredExceptionHandler(1, vectored_handler);
        record(kReadValue, read_null());
        raise_and_continue();
        raise_and_unwind();
        RemoveVectoredExceptionHandler(vectored);

        std::printf("seh:");
        for (std::uint32_t i = 0; i < q7_seh_log.count && i < 16; ++i) {
            std::printf(" %u:%08X", static_cast<unsigned>(q7_seh_log.entries[i].event),
                        static_cast<unsigned>(q7_seh_log.entries[i].code));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
};

StartUpExceptions start_up;

}  // namespace
