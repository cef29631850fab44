// The emulated i386 that module code runs on: address space and page protection, host memory and
// stubs inside it, the checked call with its instruction budget, and the instruction counter.
// It knows nothing of gauges, PE files or panel services.
#pragma once

#include "panel/problem.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// What runs for every block of module code the emulator executes, a few
// lines of plain arithmetic on the host's own tables: a fuzzer steering by
// coverage learns nothing there, and tracing or sanitizing it would make a
// module that loops to its budget cost many times as much.
#if defined(__clang__)
#define Q7_NOT_TRACED __attribute__((no_sanitize("coverage", "address", "undefined")))
#else
#define Q7_NOT_TRACED
#endif

namespace q7host {

namespace prot {
inline constexpr unsigned kNone = 0, kRead = 1, kWrite = 2, kExec = 4;
inline constexpr unsigned kReadWrite = kRead | kWrite, kReadExec = kRead | kExec;
}  // namespace prot

// The emulator itself failed (it could not be opened, refused a mapping or a
// hook): nothing a module did, so it is not a Problem.
struct EmulatorError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How a routine hands back its result: in eax, or on the x87 stack.
enum class Returns { kInt, kDouble };

// Who removes a call's arguments: the routine (stdcall: Windows's own
// functions and the gauge's callbacks), the caller (cdecl: the C library's
// functions and their callbacks), or nobody needs to know: Windows calls an
// exception handler through a frame of its own and puts its stack pointer
// back afterwards, whatever the handler removed.
enum class Convention { kStdcall, kCdecl, kCallerRestores };

// The registers of module code as a Windows CONTEXT holds them: where a fault
// stopped it, or where an exception handler resumes it.
struct Registers {
    std::uint32_t edi = 0, esi = 0, ebx = 0, edx = 0, ecx = 0, eax = 0;
    std::uint32_t ebp = 0, eip = 0, eflags = 0, esp = 0;
    std::uint16_t cs = 0, ss = 0, ds = 0, es = 0, fs = 0, gs = 0;
    std::uint16_t fpu_control = 0, fpu_status = 0, fpu_tags = 0;
    std::uint32_t mxcsr = 0;
};

// An exception in module code: a processor fault, or one the module raised
// through a host function. `what` is the fault in words, for the crash a
// module's unhandled exception is.
struct Exception {
    std::uint32_t code = 0;
    std::uint32_t flags = 0;  // 1: noncontinuable
    Addr address = 0;         // where it happened
    std::vector<std::uint32_t> info;
    std::string what;
    Addr record = 0;  // an exception record of the module's own to chain to (RaiseException), or 0
};

// What an exception dispatcher made of an exception: resume the module with
// the registers it was handed (as the handlers left them), or nobody took it.
enum class Dispatch { kResume, kUnhandled };
// On kUnhandled the dispatcher leaves in the exception the one that ended
// unhandled (a handler may have raised another on the way).
using ExceptionDispatcher = std::function<Dispatch(Exception&, Registers&)>;

// A call into module code with more than the defaults.
struct CallOptions {
    Returns returns = Returns::kInt;
    Convention convention = Convention::kStdcall;
    // Where the call's arguments go below; 0 for the host's stack top (an
    // outermost call) or just below the live call's stack (a nested one).
    Addr stack = 0;
};

// What one call into module code did at the machine level.
struct CallOutcome {
    std::uint32_t eax = 0;
    double st0 = 0.0;
    std::int32_t stack_delta = 0;  // 0 when the routine removed exactly what its convention asks
    bool registers_preserved = true;
    bool completed = true;  // false when the routine trapped, crashed or did not return
    // The module left the call for the frames of an outer one (a longjmp
    // out of a handler): the caller gives up at once.
    bool escaped = false;
};

class Machine;
namespace machine_detail {
struct Fault;
}

// A call from module code into a host stub, as the stub's handler sees it.
class StubCall {
public:
    StubCall(Machine& m, Addr esp) : machine_(m), esp_(esp) {}
    // The i-th 32-bit word after the return address.
    std::uint32_t arg(unsigned index) const;
    double arg_double(unsigned first_word) const;
    void return_int(std::uint32_t value);
    void return_int64(std::uint64_t value);  // in edx:eax
    void return_double(double value);        // only for a stub made with Returns::kDouble
    // Records the problem against the routine being run and ends the call.
    void fail(ProblemKind kind, std::string detail);
    // Ends the call as the access violation a Windows function meets when it
    // reads or writes where the module pointed it and may not go: a crash in
    // the module's call, at the host function.
    void access_violation(Addr address, bool write);
    // Ends the host function by raising `e` in the module's call, as
    // RaiseException does: the registers the handlers see are the caller's
    // just after the function returned, having removed `pop_bytes`.
    void raise(Exception e, unsigned pop_bytes);
    // Calls module code from the host function (a constructor, a
    // comparator, an exception handler) without disturbing the caller's
    // stack or registers. A handler runs inside the emulator's run first,
    // where module code cannot be called: there this throws RunOutside, and
    // the machine runs the handler again between two runs, where it can. So
    // a handler does nothing it cannot do twice before it calls module code.
    CallOutcome call_module(Addr routine, const std::vector<std::uint32_t>& words, CallOptions options);
    // The module goes on with these registers instead of returning from the
    // function (longjmp); the same rule as call_module.
    void resume_with(const Registers& r);
    struct RunOutside {};
    // For a handler that must change state before it calls module code:
    // moves it between two runs before it does anything.
    void need_outside() const {
        if (!outside_) throw RunOutside{};
    }
    Machine& machine() { return machine_; }
    Addr stack_pointer() const { return esp_; }
    // The caller's registers as they are at the host function's first
    // instruction (the return address on top of the stack).
    Registers registers() const;

private:
    friend class Machine;
    Machine& machine_;
    Addr esp_;
    std::optional<std::uint32_t> eax_, edx_;
    std::optional<Registers> resume_;
    bool outside_ = false;  // between two runs of the emulator, where module code may be called
};

using StubHandler = std::function<void(StubCall&)>;

class Machine {
public:
    Machine();  // throws EmulatorError
    ~Machine();
    // True once the emulator has stopped at an instruction it cannot run:
    // every later call fails and every memory access throws EmulatorError.
    bool stopped() const;
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The address space. Mapping and protection work on whole 4 KiB pages and
    // give what x86 pages give: a page that may be written or run may be read,
    // and only a page with no access is unreadable. Unmapping a page, or the
    // host writing one that may run, drops the code translated from it.
    // Every mapping is host memory the emulator maps directly, so the host
    // reads and writes it without going through the emulator.
    static constexpr std::uint32_t kPage = 0x1000;
    // `n` bytes rounded up to whole pages.
    static constexpr std::uint32_t page_up(std::uint64_t n) {
        return static_cast<std::uint32_t>((n + kPage - 1) & ~std::uint64_t{kPage - 1});
    }
    void map(Addr at, std::uint32_t size, unsigned protection);  // throws EmulatorError
    // Maps `bytes` (whole pages) at `at` in one piece, page i with
    // `page_protection[i]`, as a loader maps an image.
    void map_image(Addr at, const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& page_protection);
    // Unmaps an image mapped with map_image. The machine keeps its pages
    // aside, out of everyone's reach, for an image of the same layout loaded
    // at the same address next, which then costs what differs from this one:
    // only the code of the pages whose bytes change is translated afresh.
    void unmap_image(Addr at);
    void protect(Addr at, std::uint32_t size, unsigned protection);
    void unmap(Addr at, std::uint32_t size);
    // Whether [at, at+size) lies in the host's own areas (stubs, code, data,
    // stack, the thread's system pages, the shared user-data page).
    static bool in_host_area(Addr at, std::uint64_t size);
    // Whether every byte of [a, a+n) is mapped writable and not executable.
    bool writable_data(Addr a, std::size_t n) const;
    // Whether module code may access every byte of [a, a+n) as `protection` asks.
    bool accessible(Addr a, std::size_t n, unsigned protection) const;

    // What Windows gives the thread module code runs on: its environment block
    // (at FS:0), its process block and the stack its block describes.
    struct Thread {
        Addr environment_block, process_block, stack_base, stack_limit, shared_user_data;
        Addr last_frame;  // the thread's last exception registration, whose handler ends the process
    };
    static Thread thread();

    // The host's view of memory: it may read and write any mapped page
    // whatever its protection; an unmapped byte throws MemoryFault.
    void read_bytes(Addr a, void* out, std::size_t n) const;
    std::vector<std::uint8_t> read_bytes(Addr a, std::size_t n) const;
    void write_bytes(Addr a, const void* data, std::size_t n);
    template <typename T = std::uint32_t>
    T read(Addr a) const {
        T v{};
        read_bytes(a, &v, sizeof v);
        return v;
    }
    template <typename T>
    void write(Addr a, const T& v) {
        write_bytes(a, &v, sizeof v);
    }
    // The same where the module may have pointed anywhere: nothing when the
    // memory is not mapped, or when the module's code has stopped the emulator.
    template <typename T = std::uint32_t>
    std::optional<T> try_read(Addr a) const {
        try {
            return read<T>(a);
        } catch (const MemoryFault&) {
            return std::nullopt;
        } catch (const EmulatorError&) {
            if (!stopped()) throw;
            return std::nullopt;
        }
    }
    // Up to `max` bytes, or to the first NUL.
    std::string read_cstring(Addr a, std::size_t max = 256) const;
    // Whether the host can read every byte of [a, a+n): all of it mapped.
    bool readable(Addr a, std::size_t n) const { return accessible(a, n, prot::kNone); }

    // Host memory in the emulated address space, handed out in order. Data
    // that module code may read and write; constant data it may only read;
    // code it may only run. A mark taken now and released later gives back
    // everything allocated in between, stubs included.
    Addr allocate(std::size_t n, std::uint8_t fill = 0);
    Addr allocate_constant(std::size_t n);
    Addr place_code(const std::vector<std::uint8_t>& code);
    struct Mark {
        Addr heap, constants, code, stubs;
    };
    Mark mark() const;
    void release(const Mark& m);

    // A host function that module code can call: a few bytes of code that
    // trap into `handler` and then return, removing `pop_bytes` of arguments.
    // The handler runs inside the emulator's run; one that calls module code
    // (StubCall::call_module) or resumes it elsewhere runs again between
    // two runs, which costs a restart only when it does.
    Addr add_stub(StubHandler handler, unsigned pop_bytes, Returns returns);

    // The checked call: pushes the words (first at the lowest address) and a
    // return address, marks the registers the routine must preserve, runs it
    // within the instruction budget and reports what broke.
    // About 6,000 times what one callback of the gauge executes, and a
    // fraction of a second on the emulator even in a loop of service calls.
    static constexpr std::uint64_t kInstructionBudget = 2'000'000;
    // What a module's load-time code may run (its entry routine with the C
    // runtime's start-up and its static constructors, the TLS callbacks,
    // GaugeInstall): Windows runs a loop of millions of iterations there in
    // milliseconds, and a host that calls it a hang is wrong.
    static constexpr std::uint64_t kLoadBudget = 100'000'000;
    // A smaller budget for a caller that only needs the host to survive a
    // module, not its verdict on slow code (the fuzz target); a rewind puts
    // the default back.
    void set_instruction_budget(std::uint64_t n) { budget_ = load_budget_ = n; }
    // The same for load-time code alone (after set_instruction_budget).
    void set_load_budget(std::uint64_t n) { load_budget_ = n; }
    std::uint64_t instruction_budget() const { return budget_; }
    CallOutcome call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, Returns returns);
    // The same with a calling convention and a stack of the caller's choice.
    // Made while a call is live (by a host function or an exception
    // dispatcher), it is a nested call: it runs below the live call's stack,
    // within what is left of its budget, problems named after the live
    // routine, and leaves the live call's registers as they were.
    CallOutcome call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, CallOptions options);
    const char* current_routine() const { return current_; }
    bool in_call() const { return depth_ > 0; }
    // Runs `f` with the load-time budget as the budget of the calls it makes.
    template <typename F>
    auto with_load_budget(F&& f) {
        const std::uint64_t outer = budget_;
        budget_ = load_budget_;
        struct Restore {
            Machine& m;
            std::uint64_t b;
            ~Restore() { m.budget_ = b; }
        } restore{*this, outer};
        return f();
    }

    // Who turns an exception in module code into the handlers the module
    // registered; without one, every exception ends the call as a crash.
    void set_exception_dispatcher(ExceptionDispatcher d) { dispatcher_ = std::move(d); }
    // The live call's registers (between runs: in a dispatcher or a
    // host function that calls module code).
    Registers registers() const;

    // The stack's guard page: the first access to it is a stack overflow
    // (0xC00000FD), after which it is ordinary stack; below it nothing is
    // mapped. A rewind arms it again.
    static constexpr Addr kStackGuardPage = 0x6F001000;

    // The protection of one page, as module code sees it (prot::kNone when
    // nothing is mapped there); and the run of pages around `at` that share
    // it and its mapping, as VirtualQuery reports a region.
    unsigned protection(Addr page) const;
    struct Region {
        Addr base = 0, size = 0, allocation_base = 0;
        unsigned protection = 0;
        bool mapped = false;
    };
    Region region(Addr at) const;

    // Memory the host hands out to module code on the process's behalf (the
    // C runtime's heap): mapped for reading and writing from the start, part
    // of the host's areas, zero again after every rewind.
    static constexpr Addr kProcessMemory = 0x03000000;
    static constexpr std::uint32_t kProcessMemorySize = 16u << 20;

    // Host state kept outside the machine's memory (the Windows process's)
    // that a checkpoint keeps and a rewind puts back along with the machine's.
    struct Checkpointed {
        virtual void keep() = 0;
        virtual void restore() = 0;

    protected:
        ~Checkpointed() = default;
    };
    void keep_with_checkpoint(Checkpointed* c) { checkpointed_.push_back(c); }
    void stop_keeping(Checkpointed* c) { std::erase(checkpointed_, c); }

    // Keeps the machine's state as it is now (registers, host memory, what
    // is allocated, stubs, problems) and puts it back later, so that one
    // machine serves input after input as if each had a machine of its own.
    // Mappings made after the checkpoint must be gone before the rewind.
    void checkpoint();
    void rewind();

    // Problems seen at the boundary, in order.
    void report(Problem p) { problems_.push_back(std::move(p)); }
    const std::vector<Problem>& problems() const { return problems_; }
    void clear_problems() { problems_.clear(); }

    // Counts the instructions executed in [begin, end) while counting is on:
    // the instructions of every translated block that starts there and runs.
    void set_counted_range(Addr begin, Addr end);
    void count_instructions(bool on);
    bool counting_instructions() const { return counting_; }
    std::uint64_t instructions() const { return instructions_; }
    void reset_instructions() { instructions_ = 0; }

    struct Engine;  // the emulator behind this class; only the machine's own sources see it

private:
    friend class StubCall;
    friend struct Engine;
    void stop_call(Problem p);
    void fault(const machine_detail::Fault& f);
    // Runs the dispatcher on an exception of the live call; true when the
    // module resumes (its registers set), false when nobody took it.
    bool dispatch(Exception& e, const Registers& at);
    void set_registers(const Registers& r);
    void run_deferred_stub();
    CallOutcome run_call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, const CallOptions& o,
                         Addr top, void* live_context, bool nested);
    machine_detail::Fault memory_fault(int emulator_error, Addr eip);
    void forget_translations(Addr begin, std::uint64_t end);
    void forget_code_in(Addr a, std::size_t n);
    void enter_user_mode();

    // A mapping: host memory the emulator maps directly, with each page's
    // protection and whether the emulator may hold code translated from it.
    struct Area {
        Addr base = 0;
        std::uint32_t size = 0;
        std::uint8_t* bytes = nullptr;  // page-aligned, freed with the area
        std::vector<std::uint8_t> protection;
        std::vector<std::uint8_t> ran;
        Area(Addr at, std::uint32_t n);
        ~Area();
        Area(const Area&) = delete;
        Area& operator=(const Area&) = delete;
        bool parked = false;  // an unmapped image kept aside: reached by nothing
        bool holds(Addr a) const { return !parked && a - base < size; }
        // Makes the whole pages of [from, to) zero again, giving their memory back.
        void zero(Addr from, Addr to);
    };
    Area* area_at(Addr a) const;
    Area& add_area(Addr at, std::uint32_t size, const std::vector<std::uint8_t>& page_protection);
    void remove_area(std::vector<std::unique_ptr<Area>>::iterator it);
    void drop_parked_areas();
    // Copies between the host and guest memory, area by area; false at the
    // first unmapped byte (its address in `stop`).
    bool copy_out(Addr a, void* out, std::size_t n, Addr& stop) const;
    bool copy_in(Addr a, const void* data, std::size_t n, Addr& stop);
    void note_code(Addr at, std::uint32_t size);

    std::unique_ptr<Engine> engine_;
    std::vector<std::unique_ptr<Area>> areas_;
    mutable Area* last_area_ = nullptr;
    struct Saved;
    std::unique_ptr<Saved> saved_;  // what checkpoint() kept
    std::vector<Problem> problems_;
    std::vector<StubHandler> stubs_;  // index = (address - first stub) / stub size
    Mark next_;
    const char* current_ = "";
    bool call_failed_ = false;
    Addr counted_begin_ = 0, counted_end_ = 0;
    bool counting_ = false;
    std::uint64_t budget_ = kInstructionBudget;
    std::uint64_t load_budget_ = kLoadBudget;
    std::uint64_t instructions_ = 0;
    unsigned depth_ = 0;  // calls live: more than 1 while a nested call runs
    ExceptionDispatcher dispatcher_;
    // An exception the live run met, raised by a hook or a host function,
    // with the registers its handlers see.
    struct Raised {
        Exception exception;
        Registers registers;
    };
    std::optional<Raised> raised_;
    bool guard_armed_ = true;
    std::vector<Checkpointed*> checkpointed_;
};

}  // namespace q7host
