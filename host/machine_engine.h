// Inside the machine: the host's part of the address space, the emulator
// behind Machine and its hooks. Only machine.cpp and the machine_*.cpp
// sources include this; nothing outside the machine sees Unicorn.
#pragma once

#include "host/machine.h"
#include "panel/calling.h"
#include "panel/hex.h"

#include <unicorn/unicorn.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>
#include <string>
#include <utility>

namespace q7host {

namespace machine_detail {

// The host's part of the address space. Module code may run the stubs and
// placed code but not write them, read the constants, and read and write the
// heap and the stack.
constexpr Addr kHostBase = 0x60000000;
// Where the emulator is told to stop: a page no code is ever mapped at or
// next to. Unicorn drops the translation of the code just before its stop
// address after every run, so a call ends instead at one of the return
// traps below, and this address is never reached unless module code jumps
// to it.
constexpr Addr kStopAddress = kHostBase - 0x1000;
constexpr Addr kStubArea = kHostBase;  // trampolines, then the stubs
// Where every call returns to: one trap for each depth of nested calls, so
// that module code that leaves a nested call for an outer one's frames (a
// handler that longjmps) is seen returning to the outer call.
constexpr Addr kReturnTrap = kStubArea;
constexpr unsigned kMaxCallDepth = 16;
constexpr Addr kFinalHandler = kStubArea + 0x20;   // ud2: the handler of the last exception frame
constexpr Addr kEnterUserMode = kStubArea + 0x30;  // run once at ring 0: iretd into ring 3
constexpr Addr kInUserMode = kStubArea + 0x50;
constexpr Addr kFirstStub = kStubArea + 0x1000;
constexpr std::uint32_t kStubSize = 16;
constexpr Addr kCodeArea = kHostBase + 0x10000;
constexpr Addr kConstantArea = kHostBase + 0x20000;
constexpr Addr kHeap = kHostBase + 0x30000;
constexpr Addr kStubResult = kHeap + 8;  // a double a stub hands back
constexpr Addr kHeapEnd = kHostBase + 0x100000;
// What Windows keeps for a thread and its process: the descriptor table the
// segment registers select from (readable, never writable, by module code),
// the thread environment block FS points at, and the process environment block.
constexpr Addr kDescriptorTable = kHeapEnd;
constexpr Addr kThreadBlock = kDescriptorTable + 0x1000;
constexpr Addr kProcessBlock = kThreadBlock + 0x1000;
constexpr Addr kHostEnd = kProcessBlock + 0x1000;
constexpr Addr kStackBase = 0x6F000000;
constexpr std::uint32_t kStackSize = 0x00100000;
constexpr Addr kStackTop = kStackBase + kStackSize - 0x1000;
// The stack's pages in use before any call: the last exception frame above
// kStackTop and what entering user mode left below it.
constexpr Addr kStackTopPages = kStackTop - 0x1000;
// The last exception registration record of the thread, above every call's frame.
constexpr Addr kFinalFrame = kStackBase + kStackSize - 8;
// The page every Windows process has mapped read-only at this address.
constexpr Addr kSharedUserData = 0x7FFE0000;

// The selectors of a 32-bit thread on 64-bit Windows, and the ring-0 pair
// the machine starts on before it drops to ring 3 for good.
constexpr std::uint16_t kKernelCode = 0x10, kKernelData = 0x18;
constexpr std::uint16_t kUserCode = 0x23, kUserData = 0x2B, kThreadSegment = 0x53;

// The state Windows gives a thread: the control words every call starts from
// (panel/calling.h), eflags (IF only).
constexpr std::uint16_t kControlWord = calling::kControlWord;
constexpr std::uint32_t kMxcsr = calling::kMxcsr;
constexpr std::uint32_t kEflags = 0x202;

// A fault as Windows reports it: where, what in words, its exception code
// and the parameters of its exception record (an access violation's kind of
// access and address; none given: a read at 0xFFFFFFFF, as a general
// protection fault reports it).
struct Fault {
    Addr at = 0;
    std::string what;
    std::uint32_t code = 0;
    std::vector<std::uint32_t> info = {};
    std::string detail() const;
    Exception exception() const;
};

// The registers a routine must preserve, each loaded with a marker before a call.
struct SavedRegister {
    int reg;
    std::uint32_t marker;
};
constexpr SavedRegister kSavedRegisters[] = {{UC_X86_REG_EBX, calling::kSavedRegisterMarkers[0]},
                                             {UC_X86_REG_ESI, calling::kSavedRegisterMarkers[1]},
                                             {UC_X86_REG_EDI, calling::kSavedRegisterMarkers[2]},
                                             {UC_X86_REG_EBP, calling::kSavedRegisterMarkers[3]}};

inline void check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) throw EmulatorError(std::string("emulator: ") + what + ": " + uc_strerror(err));
}

// x86 pages that are present are readable: writing or running a page implies
// reading it, and only a page with no access at all is unreadable.
inline unsigned x86_protection(unsigned p) { return p & (prot::kWrite | prot::kExec) ? p | prot::kRead : p; }

inline std::uint32_t uc_prot(unsigned p) {
    return (p & prot::kRead ? UC_PROT_READ : 0) | (p & prot::kWrite ? UC_PROT_WRITE : 0) |
           (p & prot::kExec ? UC_PROT_EXEC : 0);
}

}  // namespace machine_detail

// How many instructions a translated block holds, decoded once per block and
// kept with the bytes it was decoded from. A block in memory the module may
// write is checked against those bytes each time; any other changes only
// when the host drops the code of its pages, which forgets their counts.
// Bytes that do not decode count one instruction each, so a count is never
// below what the emulator runs.
class BlockCounter {
public:
    BlockCounter();
    ~BlockCounter();
    BlockCounter(const BlockCounter&) = delete;
    BlockCounter& operator=(const BlockCounter&) = delete;
    Q7_NOT_TRACED std::uint32_t count(Addr at, const std::uint8_t* bytes, std::uint32_t size, bool writable) {
        Known& k = known_[(at ^ (at >> 12) ^ size) % kSlots];
        if (k.at == at && k.bytes.size() == size && (!writable || std::memcmp(k.bytes.data(), bytes, size) == 0)) {
            return k.instructions;
        }
        return decode(k, at, bytes, size);
    }
    // Forgets the counts of blocks that start in [begin, end).
    void forget(Addr begin, std::uint64_t end);

private:
    static constexpr std::size_t kSlots = 4096;
    struct Known {
        Addr at = 0;
        std::uint32_t instructions = 0;
        std::vector<std::uint8_t> bytes;  // empty: no block
    };
    std::uint32_t decode(Known& k, Addr at, const std::uint8_t* bytes, std::uint32_t size);
    std::vector<Known> known_ = std::vector<Known>(kSlots);
    std::size_t handle_ = 0;
    void* instruction_ = nullptr;
};

struct Machine::Engine {
    static void on_interrupt(uc_engine*, std::uint32_t vector, void* user);
    static void on_host_code(uc_engine*, std::uint64_t address, std::uint32_t size, void* user);
    static bool on_invalid_memory(uc_engine*, int type, std::uint64_t address, int size, std::int64_t value,
                                  void* user);
    static void on_block(uc_engine*, std::uint64_t address, std::uint32_t size, void* user);
    static bool on_invalid_instruction(uc_engine*, void* user);
    static std::uint32_t on_port_in(uc_engine*, std::uint32_t port, int size, void* user);
    static void on_port_out(uc_engine*, std::uint32_t port, int size, std::uint32_t value, void* user);
    static int on_cpuid(uc_engine*, void* user);

    uc_engine* uc = nullptr;
    bool invalid_seen = false;
    int invalid_type = 0;
    std::uint64_t invalid_address = 0;
    std::uint32_t invalid_eip = 0;
    // The instruction budget of the call being run, counted block by block
    // across the restarts an instruction the host completes itself needs.
    std::uint64_t executed = 0;
    bool over_budget = false;
    bool budget_reported = false;  // a nested call ran out: the live ones end without a second report
    bool resume = false;           // the host completed an instruction: run on from eip
    bool returned = false;         // the routine came back to its return trap
    // Module code returned to the trap of an outer call than the live one:
    // the calls in between are left, as the module's own jump left them.
    bool escaped = false;
    unsigned escaped_to = 0;
    // A host function that calls module code, reached: it runs once the
    // emulator has stopped, from the call's loop.
    std::uint32_t deferred = 0;
    bool deferred_pending = false;
    std::uint64_t random_state = 0x5157524C414E3037;  // what rdrand hands out, in a fixed sequence
    BlockCounter blocks;
    // The last block that started, where the module may not write: a loop
    // runs the same block again and again.
    Addr last_block = 0;
    std::uint32_t last_block_size = 0, last_block_instructions = 0;
    // The registers every call starts from: Windows's state (segments, x87
    // and SSE control, flags), the markers in the registers a routine must
    // keep. Restored whole, it also clears what the processor remembers of
    // the last fault, which would otherwise make the next one a double fault.
    uc_context* call_state = nullptr;
    std::exception_ptr pending;  // a host exception raised inside a hook
    bool broken = false;         // the emulator aborted inside a call: never touched again

    void usable() const {
        if (broken) throw EmulatorError("emulator: stopped at an instruction it cannot run");
    }
    std::uint32_t reg(int r) const {
        std::uint32_t v = 0;
        machine_detail::check(uc_reg_read(uc, r, &v), "reading a register");
        return v;
    }
    void set_reg(int r, std::uint32_t v) { machine_detail::check(uc_reg_write(uc, r, &v), "writing a register"); }
    void set_reg16(int r, std::uint16_t v) { machine_detail::check(uc_reg_write(uc, r, &v), "writing a register"); }
};

// What Machine::checkpoint keeps for Machine::rewind.
struct Machine::Saved {
    uc_context* registers = nullptr;
    // The pages of the host's writable memory that were not zero: what is
    // allocated of the heap, the thread's system pages, the top of the stack.
    std::vector<std::uint8_t> heap, system, stack_top;
    Mark next{};
    std::vector<Problem> problems;
    std::uint64_t instructions = 0;
    std::uint64_t random_state = 0;
    std::vector<Addr> areas;  // where the mappings of the moment start
    ~Saved() {
        if (registers) uc_context_free(registers);
    }
};

namespace machine_detail {

// What Windows makes of a processor exception the emulator raised with eip on
// the instruction (a #GP is a privileged instruction, an illegal one or an
// access violation depending on the instruction; a #DE a division by zero or
// an overflow; a #MF the x87 exception the status word names).
Fault classify_exception(Machine& m, uc_engine* uc, std::uint32_t vector, Addr eip);
// The Windows fault for an instruction the emulator refused to decode.
Fault classify_invalid(Machine& m, uc_engine* uc, Addr eip);
// An x87 exception the module unmasked and raised, still pending: the fault
// Windows raises at the next x87 instruction, or nothing.
std::optional<Fault> pending_x87_exception(uc_engine* uc);
// Runs, in the host, an instruction every current Windows machine has and the
// emulator lacks (popcnt, movbe, rdrand, xgetbv) and moves eip past it; false
// when the instruction at eip is none of them. A fault it meets is returned.
bool complete_instruction(Machine& m, Machine::Engine& e, Addr eip, std::optional<Fault>& fault);
// cpuid as the emulated processor answers it; false for leaves left to the emulator.
bool answer_cpuid(uc_engine* uc);
// The instruction of the block at `block` that faulted on `address`.
Addr faulting_instruction(const Machine& m, uc_engine* uc, Addr block, Addr address);
// The bytes of the descriptor table, thread and process blocks and shared page.
void write_system_pages(Machine& m);

}  // namespace machine_detail

}  // namespace q7host
