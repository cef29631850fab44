#include "host/machine.h"

#include <unicorn/unicorn.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

namespace q7host {

namespace {

// The host's part of the address space. Module code may run the stubs and
// placed code but not write them, read the constants, and read and write the
// heap and the stack.
constexpr Addr kHostBase = 0x60000000;
constexpr Addr kStubArea = kHostBase;            // trampolines, then the stubs
constexpr Addr kReturnInt = kStubArea;           // hlt: where a call returns to
constexpr Addr kReturnDouble = kStubArea + 0x10; // fstp qword [kResult]; hlt
constexpr Addr kReturnDoubleEnd = kReturnDouble + 6;
// The stubs start on the next page: each call makes the emulator drop what it
// translated round its stop address, and stubs on the trampolines' page would
// be translated afresh at every call.
constexpr Addr kFirstStub = kStubArea + 0x1000;
constexpr std::uint32_t kStubSize = 16;
constexpr Addr kCodeArea = kHostBase + 0x10000;
constexpr Addr kConstantArea = kHostBase + 0x20000;
constexpr Addr kHeap = kHostBase + 0x30000;
constexpr Addr kResult = kHeap;                  // a double a routine returned
constexpr Addr kStubResult = kHeap + 8;          // a double a stub hands back
constexpr Addr kHostEnd = kHostBase + 0x100000;
constexpr Addr kStackBase = 0x6F000000;
constexpr std::uint32_t kStackSize = 0x00100000;
constexpr Addr kStackTop = kStackBase + kStackSize - 0x1000;
constexpr std::uint8_t kStubVector = 0x2E;

// The registers a routine must preserve, each loaded with a marker before a call.
struct SavedRegister {
    int reg;
    std::uint32_t marker;
};
constexpr SavedRegister kSavedRegisters[] = {{UC_X86_REG_EBX, 0x5EB00001},
                                             {UC_X86_REG_ESI, 0x5EB00002},
                                             {UC_X86_REG_EDI, 0x5EB00003},
                                             {UC_X86_REG_EBP, 0x5EB00004}};

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

void check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) throw EmulatorError(std::string("emulator: ") + what + ": " + uc_strerror(err));
}

std::uint32_t uc_prot(unsigned p) {
    return (p & prot::kRead ? UC_PROT_READ : 0) | (p & prot::kWrite ? UC_PROT_WRITE : 0) |
           (p & prot::kExec ? UC_PROT_EXEC : 0);
}

std::uint32_t page_up(std::uint64_t n) {
    return static_cast<std::uint32_t>((n + Machine::kPage - 1) & ~std::uint64_t{Machine::kPage - 1});
}

}  // namespace

struct Machine::Engine {
    static void on_interrupt(uc_engine*, std::uint32_t vector, void* user);
    static bool on_invalid_memory(uc_engine*, int type, std::uint64_t address, int size, std::int64_t value,
                                  void* user);
    static void on_counted_instruction(uc_engine*, std::uint64_t address, std::uint32_t size, void* user);

    uc_engine* uc = nullptr;
    bool invalid_seen = false;
    std::uint64_t invalid_address = 0;
    uc_hook counter = 0;
    bool counter_attached = false;
    std::exception_ptr pending;  // a host exception raised inside a hook

    std::uint32_t reg(int r) const {
        std::uint32_t v = 0;
        check(uc_reg_read(uc, r, &v), "reading a register");
        return v;
    }
    void set_reg(int r, std::uint32_t v) { check(uc_reg_write(uc, r, &v), "writing a register"); }
};

MemoryFault::MemoryFault(Addr at, const char* access)
    : std::runtime_error(std::string("the host cannot ") + access + " " + hex(at)), address(at) {}

std::uint32_t StubCall::arg(unsigned index) const {
    return machine_.read(esp_ + 4 + 4 * index);
}

double StubCall::arg_double(unsigned first_word) const {
    return machine_.read<double>(esp_ + 4 + 4 * first_word);
}

void StubCall::return_int(std::uint32_t value) {
    machine_.engine_->set_reg(UC_X86_REG_EAX, value);
}

void StubCall::return_double(double value) {
    machine_.write<double>(kStubResult, value);
}

void StubCall::fail(ProblemKind kind, std::string detail) {
    machine_.stop_call({kind, machine_.current_, std::move(detail)});
}

Machine::Machine() : engine_(std::make_unique<Engine>()) {
    check(uc_open(UC_ARCH_X86, UC_MODE_32, &engine_->uc), "opening an i386");
    uc_engine* uc = engine_->uc;
    check(uc_ctl_set_cpu_model(uc, UC_CPU_X86_COREDUO), "choosing the processor model");
    // SSE2 arithmetic needs the OS-support bits a Windows host sets.
    std::uint64_t cr4 = 0, cr0 = 0;
    check(uc_reg_read(uc, UC_X86_REG_CR4, &cr4), "reading cr4");
    cr4 |= 0x600;
    check(uc_reg_write(uc, UC_X86_REG_CR4, &cr4), "writing cr4");
    check(uc_reg_read(uc, UC_X86_REG_CR0, &cr0), "reading cr0");
    cr0 = (cr0 & ~std::uint64_t{4}) | 2;
    check(uc_reg_write(uc, UC_X86_REG_CR0, &cr0), "writing cr0");

    map(kStubArea, kCodeArea - kStubArea, prot::kReadExec);
    map(kCodeArea, kConstantArea - kCodeArea, prot::kReadExec);
    map(kConstantArea, kHeap - kConstantArea, prot::kRead);
    map(kHeap, kHostEnd - kHeap, prot::kReadWrite);
    map(kStackBase, kStackSize, prot::kReadWrite);

    write<std::uint8_t>(kReturnInt, 0xF4);
    const std::uint8_t ret_double[] = {0xDD, 0x1D, 0, 0, 0, 0, 0xF4};
    write_bytes(kReturnDouble, ret_double, sizeof ret_double);
    write<std::uint32_t>(kReturnDouble + 2, kResult);

    uc_hook hook;
    check(uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Engine::on_interrupt), this, 1, 0),
          "adding the interrupt hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Engine::on_invalid_memory),
                      engine_.get(), 1, 0),
          "adding the memory-fault hook");
    next_ = {kHeap + 16, kConstantArea, kCodeArea, 0};
}

Machine::~Machine() {
    uc_close(engine_->uc);
}

void Machine::map(Addr at, std::uint32_t size, unsigned protection) {
    check(uc_mem_map(engine_->uc, at, page_up(size), uc_prot(protection)), "mapping memory");
}

void Machine::protect(Addr at, std::uint32_t size, unsigned protection) {
    check(uc_mem_protect(engine_->uc, at, page_up(size), uc_prot(protection)), "protecting memory");
}

void Machine::unmap(Addr at, std::uint32_t size) {
    check(uc_mem_unmap(engine_->uc, at, page_up(size)), "unmapping memory");
}

bool Machine::in_host_area(Addr at, std::uint64_t size) {
    const std::uint64_t end = std::uint64_t{at} + size;
    return (at < kHostEnd && end > kHostBase) || (at < kStackBase + kStackSize && end > kStackBase);
}

bool Machine::writable_data(Addr a, std::size_t n) const {
    uc_mem_region* regions = nullptr;
    std::uint32_t count = 0;
    if (uc_mem_regions(engine_->uc, &regions, &count) != UC_ERR_OK) return false;
    bool ok = true;
    for (std::size_t i = 0; i < n && ok; ++i) {
        const std::uint64_t at = a + i;
        bool found = false;
        for (std::uint32_t r = 0; r < count; ++r) {
            if (at >= regions[r].begin && at <= regions[r].end) {
                found = (regions[r].perms & UC_PROT_WRITE) && !(regions[r].perms & UC_PROT_EXEC);
                break;
            }
        }
        ok = found;
    }
    uc_free(regions);
    return ok;
}

void Machine::read_bytes(Addr a, void* out, std::size_t n) const {
    if (n && uc_mem_read(engine_->uc, a, out, n) != UC_ERR_OK) throw MemoryFault(a, "read");
}

std::vector<std::uint8_t> Machine::read_bytes(Addr a, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    read_bytes(a, out.data(), n);
    return out;
}

void Machine::write_bytes(Addr a, const void* data, std::size_t n) {
    if (n && uc_mem_write(engine_->uc, a, data, n) != UC_ERR_OK) throw MemoryFault(a, "write");
}

std::string Machine::read_cstring(Addr a, std::size_t max) const {
    std::string s;
    for (std::size_t i = 0; i < max; ++i) {
        const char c = read<char>(a + static_cast<Addr>(i));
        if (!c) break;
        s += c;
    }
    return s;
}

namespace {

Addr take(Addr& next, std::size_t n, Addr end, const char* what) {
    if (n > end - next) throw std::length_error(std::string("host: out of ") + what);
    const Addr a = next;
    next += static_cast<Addr>((n + 15) & ~std::size_t{15});
    return a;
}

}  // namespace

Addr Machine::allocate(std::size_t n, std::uint8_t fill) {
    const Addr a = take(next_.heap, n, kHostEnd, "host memory");
    const std::vector<std::uint8_t> bytes(n, fill);
    write_bytes(a, bytes.data(), n);
    return a;
}

Addr Machine::allocate_constant(std::size_t n) {
    const Addr a = take(next_.constants, n, kHeap, "constant host memory");
    const std::vector<std::uint8_t> zeros(n, 0);
    write_bytes(a, zeros.data(), n);
    return a;
}

Addr Machine::place_code(std::initializer_list<std::uint8_t> code) {
    const Addr a = take(next_.code, code.size(), kConstantArea, "room for placed code");
    write_bytes(a, code.begin(), code.size());
    return a;
}

Machine::Mark Machine::mark() const {
    return next_;
}

void Machine::release(const Mark& m) {
    next_ = m;
    stubs_.resize(m.stubs);
}

Addr Machine::add_stub(StubHandler handler, unsigned pop_bytes, Returns returns) {
    const Addr stub = kFirstStub + next_.stubs * kStubSize;
    if (stub + kStubSize > kCodeArea) throw std::length_error("host: out of stubs");
    // "int 2Eh", for a double "fld qword [kStubResult]", then "ret" or "ret n".
    std::vector<std::uint8_t> code{0xCD, kStubVector};
    if (returns == Returns::kDouble) {
        code.insert(code.end(), {0xDD, 0x05});
        for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(kStubResult >> (8 * k)));
    }
    if (pop_bytes) {
        code.insert(code.end(), {0xC2, static_cast<std::uint8_t>(pop_bytes), static_cast<std::uint8_t>(pop_bytes >> 8)});
    } else {
        code.push_back(0xC3);
    }
    write_bytes(stub, code.data(), code.size());
    stubs_.resize(next_.stubs);
    stubs_.push_back(std::move(handler));
    ++next_.stubs;
    return stub;
}

void Machine::stop_call(Problem p) {
    report(std::move(p));
    call_failed_ = true;
    uc_emu_stop(engine_->uc);
}

// Module code reached a stub (or raised the stub interrupt anywhere else).
void Machine::Engine::on_interrupt(uc_engine*, std::uint32_t vector, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    Engine& e = *m.engine_;
    const Addr stub = e.reg(UC_X86_REG_EIP) - 2;
    const std::uint32_t index = (stub - kFirstStub) / kStubSize;
    const bool is_stub = vector == kStubVector && stub >= kFirstStub && (stub - kFirstStub) % kStubSize == 0 &&
                         index < m.stubs_.size() && m.stubs_[index];
    if (!is_stub) {
        m.stop_call({ProblemKind::StrayInterrupt, m.current_, std::to_string(vector) + " at " + hex(stub)});
        return;
    }
    StubCall call(m, e.reg(UC_X86_REG_ESP));
    // Exceptions must not unwind through the emulator: a host read of memory
    // the module pointed at is the module's problem, anything else is kept
    // and raised again once the emulator has stopped.
    try {
        m.stubs_[index](call);
    } catch (const MemoryFault& f) {
        m.stop_call({ProblemKind::BadPointer, m.current_,
                     std::string("the host an address it cannot use: ") + hex(f.address)});
    } catch (...) {
        e.pending = std::current_exception();
        m.call_failed_ = true;
        uc_emu_stop(e.uc);
    }
}

bool Machine::Engine::on_invalid_memory(uc_engine*, int, std::uint64_t address, int, std::int64_t,
                                        void* user) {
    auto& e = *static_cast<Engine*>(user);
    e.invalid_seen = true;
    e.invalid_address = address;
    return false;
}

void Machine::Engine::on_counted_instruction(uc_engine*, std::uint64_t, std::uint32_t, void* user) {
    ++static_cast<Machine*>(user)->instructions_;
}

CallOutcome Machine::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words,
                          Returns returns) {
    Engine& e = *engine_;
    CallOutcome out;
    const Addr esp0 = kStackTop;
    Addr sp = esp0 - 4 * static_cast<Addr>(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) write<std::uint32_t>(sp + 4 * static_cast<Addr>(i), words[i]);
    sp -= 4;
    const bool dbl = returns == Returns::kDouble;
    write<std::uint32_t>(sp, dbl ? kReturnDouble : kReturnInt);
    e.set_reg(UC_X86_REG_ESP, sp);
    for (const auto& r : kSavedRegisters) e.set_reg(r.reg, r.marker);
    e.set_reg(UC_X86_REG_EAX, 0);
    write<double>(kResult, std::nan(""));

    const char* outer = current_;
    current_ = name;
    call_failed_ = false;
    e.invalid_seen = false;
    e.pending = nullptr;
    const Addr until = dbl ? kReturnDoubleEnd : kReturnInt;
    const uc_err err = uc_emu_start(e.uc, routine, until, 0, kInstructionBudget);
    current_ = outer;
    if (e.pending) std::rethrow_exception(std::exchange(e.pending, nullptr));

    const std::uint32_t eip = e.reg(UC_X86_REG_EIP), esp = e.reg(UC_X86_REG_ESP);
    if (call_failed_) {
        out.completed = false;
        return out;
    }
    if (err == UC_ERR_OK && eip != until) {
        out.completed = false;
        report({ProblemKind::NoReturn, name, std::to_string(kInstructionBudget)});
        return out;
    }
    if (err != UC_ERR_OK) {
        out.completed = false;
        std::string what = hex(eip) + ": " + uc_strerror(err);
        if (e.invalid_seen) what += " (access to " + hex(static_cast<std::uint32_t>(e.invalid_address)) + ")";
        report({ProblemKind::Crash, name, what});
        return out;
    }
    out.eax = e.reg(UC_X86_REG_EAX);
    out.stack_delta = static_cast<std::int32_t>(esp - esp0);
    for (const auto& r : kSavedRegisters) {
        out.registers_preserved = out.registers_preserved && e.reg(r.reg) == r.marker;
    }
    if (dbl) out.st0 = read<double>(kResult);
    if (out.stack_delta != 0) {
        const int pushed = static_cast<int>(words.size()) * 4;
        report({ProblemKind::StackUnbalanced, name,
                "the host pushed " + std::to_string(pushed) + " bytes of arguments and it removed " +
                    std::to_string(pushed + out.stack_delta)});
    }
    if (!out.registers_preserved) report({ProblemKind::RegistersClobbered, name, ""});
    return out;
}

void Machine::set_counted_range(Addr begin, Addr end) {
    const bool was = engine_->counter_attached;
    detach_counter();
    counted_begin_ = begin;
    counted_end_ = end;
    if (was || counting_) attach_counter();
}

void Machine::count_instructions(bool on) {
    counting_ = on;
    if (on) attach_counter();
    else detach_counter();
}

void Machine::attach_counter() {
    Engine& e = *engine_;
    if (e.counter_attached || counted_end_ <= counted_begin_) return;
    check(uc_hook_add(e.uc, &e.counter, UC_HOOK_CODE, reinterpret_cast<void*>(&Engine::on_counted_instruction),
                      this, counted_begin_, std::uint64_t{counted_end_} - 1),
          "adding the instruction-counting hook");
    e.counter_attached = true;
    // Code translated before the hook existed carries no call to it.
    forget_translations(counted_begin_, counted_end_);
}

void Machine::detach_counter() {
    Engine& e = *engine_;
    if (!e.counter_attached) return;
    check(uc_hook_del(e.uc, e.counter), "removing the instruction-counting hook");
    e.counter_attached = false;
    // Translations made while counting still call the hook dispatcher.
    forget_translations(counted_begin_, counted_end_);
}

// Drops the emulator's translated code for a range, so that the next call
// translates it afresh with or without the counting hook. Page by page: with
// Unicorn 2.0.1 one request over a whole image left the old translations in
// use, one request per page does not.
void Machine::forget_translations(Addr begin, Addr end) {
    for (std::uint64_t page = begin; page < end; page += kPage) {
        uc_ctl_remove_cache(engine_->uc, page, page + kPage);
    }
}

}  // namespace q7host
