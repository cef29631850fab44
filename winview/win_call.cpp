// Calls into the module's code in quorlan7-view.exe's own process: the call
// thunk, the exception frame round every call, the watchdog, and the
// last-resort handler. Module code runs on the program's main thread, so
// whatever it breaks must be taken back there before the program goes on.
//
// A call is guarded the way the compilers' __try guards code on 32-bit
// Windows: an exception registration record on the thread's stack, linked at
// the head of the thread's chain (fs:0) for the length of the call. The
// exception dispatcher offers it each exception that nothing inside handled;
// its handler notes the exception and jumps back to where the call began,
// where the chain is cut back to what it was. The frames the module's code
// left are abandoned, not unwound: the module has misbehaved, and what its
// own handlers would run on the way out (its destructors, its __finally
// blocks) could only misbehave again. The watchdog thread looks at the call
// running now every few milliseconds; one that runs past its time is
// suspended and sent to the same way back.
//
// Module code runs on the thread's own stack, within the limits its
// environment block gives: Windows dispatches an exception only through
// registration records inside them, and a module's own __try (or an MSVC
// module's C++ try) registers its records where its code runs.
#include "win_call.h"

#include "panel/calling.h"
#include "panel/hex.h"
#include "win_memory.h"

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace q7win {

// The block the call thunk works from; the offsets are the thunk's.
struct CallBlock {
    std::uint32_t routine;         // 0
    std::uint32_t count;           // 4: words to push
    const std::uint32_t* words;    // 8
    std::uint32_t returns_double;  // 12
    std::uint32_t host_esp;        // 16: the thunk's own stack
    std::uint32_t esp0;            // 20: where the routine must leave esp
    std::uint32_t module_cw;       // 24: x87 control word the routine starts with
    std::uint32_t module_mxcsr;    // 28
    std::uint32_t host_cw;         // 32: the host's, put back after the call
    std::uint32_t host_mxcsr;      // 36
    std::uint32_t eax;             // 40: what the routine left
    std::uint32_t esp_after;       // 44
    std::uint32_t saved[4];        // 48: ebx, esi, edi, ebp
    double st0;                    // 64
};
static_assert(offsetof(CallBlock, host_esp) == 16 && offsetof(CallBlock, module_cw) == 24 &&
              offsetof(CallBlock, host_cw) == 32 && offsetof(CallBlock, eax) == 40 &&
              offsetof(CallBlock, saved) == 48 && offsetof(CallBlock, st0) == 64);
// The thunk loads these markers itself.
static_assert(q7host::calling::kSavedRegisterMarkers[0] == 0x5EB00001 &&
              q7host::calling::kSavedRegisterMarkers[1] == 0x5EB00002 &&
              q7host::calling::kSavedRegisterMarkers[2] == 0x5EB00003 &&
              q7host::calling::kSavedRegisterMarkers[3] == 0x5EB00004);

}  // namespace q7win

extern "C" {
q7win::CallBlock* volatile q7_call_block = nullptr;  // the block of the call running now
std::uint32_t q7_call_scratch[2];                    // eax and esp as the routine left them
void q7_checked_call(q7win::CallBlock* block);
}

// q7_checked_call(block): saves the host's callee-saved registers, pushes the
// words below a 16-byte boundary (as the reference host's stack is), starts
// the routine from the state a Windows thread starts in with the markers in
// ebx, esi, edi and ebp, and calls it. Afterwards it notes eax, esp and the
// four registers, goes back below its own frame, runs fwait (an x87
// exception the routine left pending is raised here, still inside its call,
// as the caller's next x87 instruction would raise it), stores st(0) for a
// routine that returns a double, and puts the host's control words back.
asm(R"(
    .text
    .p2align 4
    .globl _q7_checked_call
    .def _q7_checked_call; .scl 2; .type 32; .endef
_q7_checked_call:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%esp), %eax
    movl %eax, _q7_call_block
    movl %esp, 16(%eax)
    andl $-16, %esp
    movl %esp, 20(%eax)
    movl 4(%eax), %ecx
    movl 8(%eax), %edx
1:
    testl %ecx, %ecx
    jz 2f
    pushl -4(%edx,%ecx,4)
    decl %ecx
    jmp 1b
2:
    fninit
    fldcw 24(%eax)
    ldmxcsr 28(%eax)
    cld
    movl (%eax), %eax
    movl $0x5EB00001, %ebx
    movl $0x5EB00002, %esi
    movl $0x5EB00003, %edi
    movl $0x5EB00004, %ebp
    call *%eax
    movl %eax, _q7_call_scratch
    movl %esp, _q7_call_scratch+4
    movl _q7_call_block, %eax
    movl %ebx, 48(%eax)
    movl %esi, 52(%eax)
    movl %edi, 56(%eax)
    movl %ebp, 60(%eax)
    movl _q7_call_scratch, %ecx
    movl %ecx, 40(%eax)
    movl _q7_call_scratch+4, %ecx
    movl %ecx, 44(%eax)
    movl 20(%eax), %esp
    cld
    fwait
    cmpl $0, 12(%eax)
    je 3f
    fstpl 64(%eax)
3:
    fninit
    fldcw 32(%eax)
    ldmxcsr 36(%eax)
    movl 16(%eax), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace q7win {

namespace {

// An exception registration record as the dispatcher reads it.
struct Registration {
    Registration* next;
    void* handler;
};

// A guarded call's frame: its registration (first, so that the handler finds
// the rest from the address the dispatcher hands it), where to go back to,
// and what the call came to.
struct Guard {
    Registration record;
    void* jump[5];  // __builtin_setjmp's buffer
    CallResult* result;
};

// ExceptionFlags while frames are unwound rather than offered the exception.
constexpr DWORD kUnwinding = 0x2 | 0x4 | 0x20;
constexpr DWORD kPollMs = 10;

Guard* volatile g_guard = nullptr;  // the innermost guarded call
HANDLE g_main_thread = nullptr;
std::uint32_t g_host_cw = 0x37F, g_host_mxcsr = 0x1F80;

// The call the watchdog looks after: whether one is running, which, since
// when and for how long it may run.
volatile LONG g_watch_active = 0;
volatile LONG g_watch_generation = 0;
volatile DWORD g_watch_started = 0;
volatile DWORD g_watch_limit = 0;
// Where the stack was when the call began: everything below is the call's,
// and the way back may use it.
volatile DWORD g_watch_esp = 0;

Registration* seh_head() {
    Registration* r;
    asm volatile("movl %%fs:0, %0" : "=r"(r));
    return r;
}

void set_seh_head(Registration* r) { asm volatile("movl %0, %%fs:0" : : "r"(r) : "memory"); }

void restore_host_state() {
    const std::uint16_t cw = static_cast<std::uint16_t>(g_host_cw);
    asm volatile("fninit\n\tfldcw %0\n\tldmxcsr %1\n\tcld" : : "m"(cw), "m"(g_host_mxcsr) : "memory");
}

[[noreturn]] void resume(Guard* g) { __builtin_longjmp(g->jump, 1); }

void note_fault(CallResult& r, const EXCEPTION_RECORD& e) {
    r.ending = CallResult::kFaulted;
    r.code = e.ExceptionCode;
    r.at = ProcessMemory::address(e.ExceptionAddress);
    r.info_count = std::min<DWORD>(e.NumberParameters, 2);
    for (DWORD i = 0; i < r.info_count; ++i) r.info[i] = static_cast<std::uint32_t>(e.ExceptionInformation[i]);
}

void watch(DWORD limit_ms, DWORD esp) {
    g_watch_started = GetTickCount();
    g_watch_limit = limit_ms;
    g_watch_esp = esp;
    InterlockedIncrement(&g_watch_generation);
    InterlockedExchange(&g_watch_active, 1);
}

void unwatch() { InterlockedExchange(&g_watch_active, 0); }

}  // namespace

}  // namespace q7win

extern "C" {

// The handler of every guarded call's registration record.
EXCEPTION_DISPOSITION __cdecl q7_guard_handler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    using namespace q7win;
    if (record->ExceptionFlags & kUnwinding) return ExceptionContinueSearch;
    Guard* g = static_cast<Guard*>(frame);
    note_fault(*g->result, *record);
    resume(g);
}

// Where the watchdog sends a call that ran past its time.
__attribute__((noreturn, used)) void q7_on_timeout() {
    using namespace q7win;
    Guard* g = g_guard;
    g->result->ending = CallResult::kTimedOut;
    resume(g);
}
}

namespace q7win {

namespace {

// The watchdog: a call that runs past its time is suspended and sent, on
// the stack below where the call began, to q7_on_timeout.
DWORD WINAPI watchdog(void*) {
    for (;;) {
        Sleep(kPollMs);
        if (!g_watch_active) continue;
        const LONG generation = g_watch_generation;
        if (GetTickCount() - g_watch_started < g_watch_limit) continue;
        if (SuspendThread(g_main_thread) == static_cast<DWORD>(-1)) continue;
        if (g_watch_active && g_watch_generation == generation && g_guard) {
            CONTEXT c{};
            c.ContextFlags = CONTEXT_CONTROL;
            if (GetThreadContext(g_main_thread, &c)) {
                c.Esp = (g_watch_esp - 256) & ~DWORD{15};
                c.Eip = ProcessMemory::address(reinterpret_cast<void*>(&q7_on_timeout));
                if (SetThreadContext(g_main_thread, &c)) InterlockedExchange(&g_watch_active, 0);
            }
        }
        ResumeThread(g_main_thread);
    }
}

// A fault outside every guarded call, or one whose way to the call's frame
// the module broke (it wrote over the thread's exception chain): inside a
// call it is the call's fault, as a frame handler would have taken it;
// outside one it is the program's own, reported as such.
LONG WINAPI last_resort(EXCEPTION_POINTERS* e) {
    if (Guard* g = g_guard) {
        note_fault(*g->result, *e->ExceptionRecord);
        resume(g);
    }
    std::fprintf(stderr, "quorlan7-view: internal error: exception 0x%08lX at 0x%08lX\n",
                 static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode),
                 static_cast<unsigned long>(ProcessMemory::address(e->ExceptionRecord->ExceptionAddress)));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

void run_block(void* block) { q7_checked_call(static_cast<CallBlock*>(block)); }

// The first fault while a watch is on. The handler runs inside the
// dispatcher, for every exception of the process, so it only notes.
volatile bool g_first_fault_watch = false;
FirstFault g_first_fault;
DWORD g_main_thread_id = 0;
wchar_t g_fault_module[MAX_PATH * 2];

bool is_fault(DWORD code) { return (code & 0xC0000000) == 0xC0000000 || (code >= 0x80000001 && code <= 0x80000004); }

LONG WINAPI first_fault_handler(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD& record = *e->ExceptionRecord;
    if (!g_first_fault_watch || g_first_fault.seen || GetCurrentThreadId() != g_main_thread_id ||
        !is_fault(record.ExceptionCode)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    g_first_fault.seen = true;
    note_fault(g_first_fault.fault, record);
    g_fault_module[0] = L'\0';
    // Asking the loader which module holds the address needs stack, which an
    // overflow has not got; and it takes address 0 for the program's own.
    HMODULE holder = nullptr;
    if (record.ExceptionCode != q7host::status::kStackOverflow && record.ExceptionAddress &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(record.ExceptionAddress), &holder)) {
        if (!GetModuleFileNameW(holder, g_fault_module, MAX_PATH * 2)) g_fault_module[0] = L'\0';
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

CallResult guarded_run(void (*f)(void* context), void* context, DWORD limit_ms) {
    CallResult result;
    Guard guard{};
    guard.record.handler = reinterpret_cast<void*>(&q7_guard_handler);
    guard.record.next = seh_head();
    guard.result = &result;
    Guard* const outer = g_guard;
    if (__builtin_setjmp(guard.jump) == 0) {
        g_guard = &guard;
        set_seh_head(&guard.record);
        DWORD esp;
        asm volatile("movl %%esp, %0" : "=r"(esp));
        watch(limit_ms, esp);
        f(context);
        unwatch();
        set_seh_head(guard.record.next);
    } else {
        unwatch();
        set_seh_head(guard.record.next);
        restore_host_state();
        // The guard page an overflow used up goes back, for the next one.
        if (result.ending == CallResult::kFaulted && result.code == q7host::status::kStackOverflow) _resetstkoflw();
    }
    g_guard = outer;
    return result;
}

CallResult checked_call(std::uint32_t routine, const std::vector<std::uint32_t>& words, bool returns_double,
                        DWORD limit_ms) {
    CallBlock block{};
    block.routine = routine;
    block.count = static_cast<std::uint32_t>(words.size());
    block.words = words.data();
    block.returns_double = returns_double;
    block.module_cw = q7host::calling::kControlWord;
    block.module_mxcsr = q7host::calling::kMxcsr;
    block.host_cw = g_host_cw;
    block.host_mxcsr = g_host_mxcsr;
    CallResult r = guarded_run(run_block, &block, limit_ms);
    if (r.ending != CallResult::kReturned) return r;
    r.eax = block.eax;
    r.st0 = block.st0;
    r.stack_delta = static_cast<std::int32_t>(block.esp_after - block.esp0);
    r.registers_preserved =
        std::equal(std::begin(block.saved), std::end(block.saved), std::begin(q7host::calling::kSavedRegisterMarkers));
    return r;
}

void stop_module_call() {
    Guard* g = g_guard;
    if (!g) {
        std::fprintf(stderr, "quorlan7-view: internal error: a module call stopped outside any call\n");
        TerminateProcess(GetCurrentProcess(), 1);
    }
    g->result->ending = CallResult::kStopped;
    resume(g);
}

bool in_module_call() { return g_guard != nullptr; }

void watch_first_fault() {
    g_first_fault = {};
    g_first_fault_watch = true;
}

FirstFault first_fault() {
    g_first_fault_watch = false;
    FirstFault f = g_first_fault;
    if (f.seen) f.module = g_fault_module;
    return f;
}

std::string fault_detail(const CallResult& r) {
    std::string what = q7host::exception_words(r.code);
    if (r.code == q7host::status::kAccessViolation && r.info_count >= 2) {
        // Running an address nothing is mapped at faults at that address.
        const bool running = r.info[0] == 8 || (r.info[0] == 0 && r.info[1] == r.at);
        what += running ? " running " : r.info[0] == 1 ? " writing " : " reading ";
        what += q7host::hex(r.info[1], 8);
    }
    return q7host::fault_detail(r.at, what, r.code);
}

void prepare_process() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Room on the stack for the dispatcher and the handler when a module's
    // code runs off the end of it.
    using Guarantee = BOOL(WINAPI*)(PULONG);
    if (auto set_guarantee = reinterpret_cast<Guarantee>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadStackGuarantee")))) {
        ULONG size = 32 * 1024;
        set_guarantee(&size);
    }
    std::uint16_t cw = 0;
    asm volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(cw), "=m"(g_host_mxcsr));
    g_host_cw = cw;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread, THREAD_ALL_ACCESS,
                    FALSE, 0);
    // Made before any module is loaded: a module gets no thread notifications.
    CreateThread(nullptr, 64 * 1024, watchdog, nullptr, 0, nullptr);
    SetUnhandledExceptionFilter(last_resort);
    g_main_thread_id = GetCurrentThreadId();
    AddVectoredExceptionHandler(1, first_fault_handler);
}

}  // namespace q7win
