#include "machine_engine.h"

#include <capstone/capstone.h>

#include <csetjmp>
#include <csignal>

#include <cfenv>
#include <cmath>
#include <limits>
#include <cstring>
#include <exception>
#include <utility>

namespace q7host {

using namespace machine_detail;

namespace {

// The emulator ends the process (abort) on a few instructions it cannot
// translate, a far jump or call through a register among them, and prints a
// line first. While module code runs, SIGABRT jumps back into the call
// instead and the emulator's own output goes nowhere; the engine that
// aborted is not used again. Outside a call an abort is passed on to whoever
// handled it before.
thread_local sigjmp_buf* t_abort_target = nullptr;
struct sigaction g_previous_abort;

void on_abort(int sig) {
    if (t_abort_target) siglongjmp(*t_abort_target, 1);
    sigaction(SIGABRT, &g_previous_abort, nullptr);
    std::raise(sig);
}

FILE* quiet_stream() {
    static FILE* const quiet = [] {
        struct sigaction sa {};
        sa.sa_handler = on_abort;
        sa.sa_flags = SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGABRT, &sa, &g_previous_abort);
        return std::fopen("/dev/null", "w");
    }();
    return quiet;
}

// Whether the interrupt the emulator reports was raised by the instruction
// before eip, as "int n", int3 or into raise theirs, rather than by a fault
// of the instruction at eip.
bool raised_by_software(const Machine& m, std::uint32_t vector, Addr eip) {
    auto byte = [&m](Addr a) -> int {
        const auto b = m.try_read<std::uint8_t>(a);
        return b ? *b : -1;
    };
    return (byte(eip - 2) == 0xCD && byte(eip - 1) == static_cast<int>(vector)) ||
           (vector == 3 && byte(eip - 1) == 0xCC) || (vector == 4 && byte(eip - 1) == 0xCE);
}

// The double a routine left in st(0), as the caller's "fstp qword" stores
// it: rounded as the control word says, and the x87's default NaN when the
// stack is empty.
double returned_double(uc_engine* uc) {
    std::uint16_t sw = 0, cw = 0, tags = 0;
    uc_reg_read(uc, UC_X86_REG_FPSW, &sw);
    uc_reg_read(uc, UC_X86_REG_FPCW, &cw);
    uc_reg_read(uc, UC_X86_REG_FPTAG, &tags);
    if (((tags >> (2 * ((sw >> 11) & 7))) & 3) == 3) return -std::numeric_limits<double>::quiet_NaN();
    std::uint8_t st0[10] = {};
    uc_reg_read(uc, UC_X86_REG_ST0, st0);
    long double value = 0;
    std::memcpy(&value, st0, sizeof st0);
    static constexpr int kRounding[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    const int rounding = kRounding[(cw >> 10) & 3];
    if (rounding == FE_TONEAREST) return static_cast<double>(value);
    std::fesetround(rounding);
    const volatile double rounded = static_cast<double>(value);
    std::fesetround(FE_TONEAREST);
    return rounded;
}

}  // namespace

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

void StubCall::access_violation(Addr address, bool write) {
    const Addr stub = machine_.engine_->reg(UC_X86_REG_EIP);
    machine_.fault({stub, std::string("an access violation ") + (write ? "writing " : "reading ") + hex(address),
                    status::kAccessViolation});
}

void Machine::stop_call(Problem p) {
    report(std::move(p));
    call_failed_ = true;
    uc_emu_stop(engine_->uc);
}

void Machine::fault(const Fault& f) {
    stop_call({ProblemKind::Crash, current_, f.detail()});
}

// Module code raised an interrupt or faulted.
void Machine::Engine::on_interrupt(uc_engine*, std::uint32_t vector, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    Engine& e = *m.engine_;
    const Addr eip = e.reg(UC_X86_REG_EIP);
    if (!raised_by_software(m, vector, eip)) {
        m.fault(classify_exception(m, e.uc, vector, eip));
    } else if (vector == 4) {
        m.fault({eip - 1, "an integer overflow", status::kIntegerOverflow});  // into
    } else {
        const Addr site = vector == 3 && m.try_read<std::uint8_t>(eip - 1) == 0xCC ? eip - 1 : eip - 2;
        m.stop_call({ProblemKind::StrayInterrupt, m.current_, std::to_string(vector) + " at " + hex(site)});
    }
}

// An instruction of the host's code is about to run: the first of a stub
// (its handler runs, then the stub returns to the module), or a return trap
// (the routine came back: the call is over). The hook covers the host's
// code only, so the module's code runs without it.
void Machine::Engine::on_host_code(uc_engine*, std::uint64_t address, std::uint32_t, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    Engine& e = *m.engine_;
    const Addr at = static_cast<Addr>(address);
    if (at == kReturnTrap) {
        e.returned = true;
        uc_emu_stop(e.uc);
        return;
    }
    if (at < kFirstStub || (at - kFirstStub) % kStubSize != 0) return;
    const std::uint32_t index = (at - kFirstStub) / kStubSize;
    if (index >= m.stubs_.size() || !m.stubs_[index]) {
        // A stub the host has given back: there is no function there any more.
        m.fault({at, "an access violation running " + hex(at), status::kAccessViolation});
        return;
    }
    // An x87 exception the module left pending faults at the next x87
    // instruction on Windows; the host function is the latest that comes.
    if (const auto pending = pending_x87_exception(e.uc)) {
        m.fault(*pending);
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

// An instruction the emulator cannot decode: one the host completes itself,
// or an illegal instruction as Windows reports it.
bool Machine::Engine::on_invalid_instruction(uc_engine*, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    Engine& e = *m.engine_;
    const Addr eip = e.reg(UC_X86_REG_EIP);
    std::optional<Fault> fault;
    try {
        if (complete_instruction(m, e, eip, fault)) {
            if (fault) {
                m.fault(*fault);
                return false;
            }
            e.resume = true;
            return true;
        }
        m.fault(classify_invalid(m, e.uc, eip));
    } catch (...) {
        e.pending = std::current_exception();
        m.call_failed_ = true;
    }
    return false;
}

// I/O instructions: the emulator runs them at any privilege; Windows never
// lets user code reach a port.
std::uint32_t Machine::Engine::on_port_in(uc_engine*, std::uint32_t, int, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    m.fault({m.engine_->reg(UC_X86_REG_EIP), "a privileged instruction", status::kPrivilegedInstruction});
    return 0;
}

void Machine::Engine::on_port_out(uc_engine*, std::uint32_t, int, std::uint32_t, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    m.fault({m.engine_->reg(UC_X86_REG_EIP), "a privileged instruction", status::kPrivilegedInstruction});
}

int Machine::Engine::on_cpuid(uc_engine* uc, void*) {
    return answer_cpuid(uc) ? 1 : 0;
}

// Every translated block as it starts: its instructions count against the
// call's budget (a block that would go past it does not run, so a call never
// runs more than the budget) and, while counting, towards the counter.
Q7_NOT_TRACED void Machine::Engine::on_block(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    Engine& e = *m.engine_;
    const Addr at = static_cast<Addr>(address);
    std::uint32_t n = 1;
    Area* area = nullptr;
    if (at == e.last_block && size == e.last_block_size) {
        n = e.last_block_instructions;
    } else if (size && (area = m.area_at(at)) && std::uint64_t{at - area->base} + size <= area->size) {
        // The pages the block came from may now hold translated code.
        const std::uint32_t first = (at - area->base) / kPage, last = (at - area->base + size - 1) / kPage;
        area->ran[first] = area->ran[last] = 1;
        const bool writable = (area->protection[first] | area->protection[last]) & prot::kWrite;
        n = e.blocks.count(at, area->bytes + (at - area->base), size, writable);
        e.last_block = writable ? 0 : at;
        e.last_block_size = size;
        e.last_block_instructions = n;
    } else if (size) {
        m.note_code(at, size);
        std::vector<std::uint8_t> bytes(size);
        Addr stop = 0;
        n = m.copy_out(at, bytes.data(), size, stop) ? e.blocks.count(at, bytes.data(), size, true) : size;
    }
    if (e.executed + n > kInstructionBudget) {
        e.over_budget = true;
        uc_emu_stop(uc);
        return;
    }
    e.executed += n;
    if (m.counting_ && at >= m.counted_begin_ && at < m.counted_end_) m.instructions_ += n;
}

bool Machine::Engine::on_invalid_memory(uc_engine*, int type, std::uint64_t address, int, std::int64_t,
                                        void* user) {
    auto& e = *static_cast<Engine*>(user);
    e.invalid_seen = true;
    e.invalid_type = type;
    e.invalid_address = address;
    return false;
}

CallOutcome Machine::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words,
                          Returns returns) {
    Engine& e = *engine_;
    CallOutcome out;
    if (e.broken) {
        out.completed = false;
        return out;
    }
    const Addr esp0 = kStackTop;
    Addr sp = esp0 - 4 * static_cast<Addr>(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) write<std::uint32_t>(sp + 4 * static_cast<Addr>(i), words[i]);
    sp -= 4;
    const bool dbl = returns == Returns::kDouble;
    write<std::uint32_t>(sp, kReturnTrap);
    check(uc_context_restore(e.uc, e.call_state), "restoring the registers of a call");
    e.set_reg(UC_X86_REG_ESP, sp);

    const char* outer = current_;
    current_ = name;
    call_failed_ = false;
    e.invalid_seen = false;
    e.pending = nullptr;
    e.executed = 0;
    e.over_budget = false;
    e.returned = false;
    FILE* const quiet = quiet_stream();
    FILE* const loud = stderr;
    sigjmp_buf* const outer_target = t_abort_target;
    sigjmp_buf jump;
    uc_err err = UC_ERR_OK;
    if (sigsetjmp(jump, 0) == 0) {
        t_abort_target = &jump;
        if (quiet) stderr = quiet;
        // An instruction the host completes stops the emulator; the call
        // runs on from the next one, within the same budget.
        Addr from = routine;
        do {
            e.resume = false;
            err = uc_emu_start(e.uc, from, kStopAddress, 0, 0);
            from = e.reg(UC_X86_REG_EIP);
        } while (e.resume && err == UC_ERR_OK && !call_failed_ && !e.over_budget && !e.returned);
        stderr = loud;
        t_abort_target = outer_target;
    } else {
        stderr = loud;
        t_abort_target = outer_target;
        current_ = outer;
        e.broken = true;
        report({ProblemKind::Crash, name, "an instruction the emulator cannot run (it stopped for good)"});
        out.completed = false;
        return out;
    }
    current_ = outer;
    if (e.pending) std::rethrow_exception(std::exchange(e.pending, nullptr));

    const std::uint32_t eip = e.reg(UC_X86_REG_EIP), esp = e.reg(UC_X86_REG_ESP);
    if (call_failed_) {
        out.completed = false;
        return out;
    }
    if (err == UC_ERR_OK && !e.returned) {
        out.completed = false;
        if (e.over_budget) {
            report({ProblemKind::NoReturn, name, std::to_string(kInstructionBudget)});
        } else {
            // Only a jump to the stop address itself ends a run this way: a
            // page nothing is mapped at, which Windows would not run either.
            report({ProblemKind::Crash, name,
                    Fault{eip, "an access violation running " + hex(eip), status::kAccessViolation}.detail()});
        }
        return out;
    }
    if (err != UC_ERR_OK) {
        out.completed = false;
        report({ProblemKind::Crash, name, memory_fault(err, eip).detail()});
        return out;
    }
    // Returning runs one more x87 instruction on Windows (the caller's store
    // of the result, at the latest): an exception left pending faults there.
    if (const auto pending = pending_x87_exception(e.uc)) {
        out.completed = false;
        report({ProblemKind::Crash, name, pending->detail()});
        return out;
    }
    int regs[1 + std::size(kSavedRegisters)] = {UC_X86_REG_EAX};
    std::uint32_t values[std::size(regs)] = {};
    void* into[std::size(regs)];
    for (std::size_t i = 0; i < std::size(regs); ++i) {
        if (i) regs[i] = kSavedRegisters[i - 1].reg;
        into[i] = &values[i];
    }
    check(uc_reg_read_batch(e.uc, regs, into, static_cast<int>(std::size(regs))), "reading the registers");
    out.eax = values[0];
    out.stack_delta = static_cast<std::int32_t>(esp - esp0);
    for (std::size_t i = 0; i < std::size(kSavedRegisters); ++i) {
        out.registers_preserved = out.registers_preserved && values[i + 1] == kSavedRegisters[i].marker;
    }
    if (dbl) out.st0 = returned_double(e.uc);
    if (out.stack_delta != 0) {
        const int pushed = static_cast<int>(words.size()) * 4;
        report({ProblemKind::StackUnbalanced, name,
                "the host pushed " + std::to_string(pushed) + " bytes of arguments and it removed " +
                    std::to_string(pushed + out.stack_delta)});
    }
    if (!out.registers_preserved) report({ProblemKind::RegistersClobbered, name, ""});
    return out;
}

// The emulator stopped at memory the module may not touch: an access
// violation, reading, writing or running the address.
Fault Machine::memory_fault(int err, Addr eip) const {
    const Engine& e = *engine_;
    const char* access = "reading";
    switch (err) {
        case UC_ERR_WRITE_UNMAPPED: case UC_ERR_WRITE_PROT: access = "writing"; break;
        case UC_ERR_FETCH_UNMAPPED: case UC_ERR_FETCH_PROT: access = "running"; break;
        case UC_ERR_READ_UNMAPPED: case UC_ERR_READ_PROT: break;
        default:
            return {eip, std::string("an emulator error: ") + uc_strerror(static_cast<uc_err>(err)),
                    status::kAccessViolation};
    }
    const Addr target = e.invalid_seen ? static_cast<Addr>(e.invalid_address) : eip;
    return {eip, std::string("an access violation ") + access + " " + hex(target), status::kAccessViolation};
}

void Machine::set_counted_range(Addr begin, Addr end) {
    counted_begin_ = begin;
    counted_end_ = end;
}

void Machine::count_instructions(bool on) {
    counting_ = on;
}

// Drops the emulator's translated code for a range, so that the next call
// translates it afresh. Page by page: with Unicorn 2.0.1 one request over a
// whole image left the old translations in use, one request per page does
// not.
void Machine::forget_translations(Addr begin, std::uint64_t end) {
    for (std::uint64_t page = begin; page < end; page += kPage) {
        check(uc_ctl_remove_cache(engine_->uc, page, page + kPage), "dropping translated code");
        if (Area* area = area_at(static_cast<Addr>(page))) area->ran[(page - area->base) / kPage] = 0;
    }
    // A block may start on the page before and run into these.
    engine_->blocks.forget(begin >= kPage ? begin - kPage : 0, end);
    engine_->last_block = 0;
}

BlockCounter::BlockCounter() {
    csh handle = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle) != CS_ERR_OK) throw EmulatorError("cannot open the x86 decoder");
    handle_ = handle;
    instruction_ = cs_malloc(handle);
}

BlockCounter::~BlockCounter() {
    cs_free(static_cast<cs_insn*>(instruction_), 1);
    csh handle = handle_;
    cs_close(&handle);
}

void BlockCounter::forget(Addr begin, std::uint64_t end) {
    for (Known& k : known_) {
        if (k.at >= begin && k.at < end) k.bytes.clear();
    }
}

std::uint32_t BlockCounter::decode(Known& k, Addr at, const std::uint8_t* bytes, std::uint32_t size) {
    std::uint32_t n = 0;
    const std::uint8_t* code = bytes;
    std::size_t left = size;
    std::uint64_t address = at;
    while (left) {
        if (cs_disasm_iter(handle_, &code, &left, &address, static_cast<cs_insn*>(instruction_))) {
            ++n;
        } else {
            ++n;  // a byte the decoder does not take: one instruction at most
            ++code;
            --left;
            ++address;
        }
    }
    k.at = at;
    k.instructions = n;
    k.bytes.assign(bytes, bytes + size);
    return n;
}

void Machine::checkpoint() {
    engine_->usable();
    auto saved = std::make_unique<Saved>();
    check(uc_context_alloc(engine_->uc, &saved->registers), "keeping the registers");
    check(uc_context_save(engine_->uc, saved->registers), "keeping the registers");
    saved->heap = read_bytes(kHeap, page_up(next_.heap) - kHeap);
    saved->system = read_bytes(kDescriptorTable, kHostEnd - kDescriptorTable);
    saved->stack_top = read_bytes(kStackTopPages, kStackBase + kStackSize - kStackTopPages);
    saved->next = next_;
    saved->problems = problems_;
    saved->instructions = instructions_;
    saved->random_state = engine_->random_state;
    for (const auto& area : areas_) saved->areas.push_back(area->base);
    saved_ = std::move(saved);
}

void Machine::rewind() {
    engine_->usable();
    if (!saved_) throw std::logic_error("host: rewind without a checkpoint");
    // Mappings made since go, but for an image kept aside for the next load.
    for (auto it = areas_.begin(); it != areas_.end();) {
        const bool kept = (*it)->parked || std::count(saved_->areas.begin(), saved_->areas.end(), (*it)->base);
        if (kept) {
            ++it;
        } else {
            remove_area(it);
            it = areas_.begin();
        }
    }
    counting_ = false;
    counted_begin_ = counted_end_ = 0;
    // Straight into the host's memory, none of which holds code the module
    // ran: the rest of the heap and of the stack made zero again (which
    // costs what was touched, not what is mapped), the kept pages copied
    // back.
    Area* host = area_at(kHeap);
    host->zero(kHeap + static_cast<Addr>(saved_->heap.size()), kHeapEnd);
    std::memcpy(host->bytes + (kHeap - host->base), saved_->heap.data(), saved_->heap.size());
    std::memcpy(host->bytes + (kDescriptorTable - host->base), saved_->system.data(), saved_->system.size());
    Area* stack = area_at(kStackBase);
    stack->zero(kStackBase, kStackTopPages);
    std::memcpy(stack->bytes + (kStackTopPages - kStackBase), saved_->stack_top.data(), saved_->stack_top.size());
    check(uc_context_restore(engine_->uc, saved_->registers), "restoring the registers");
    release(saved_->next);
    problems_ = saved_->problems;
    instructions_ = saved_->instructions;
    engine_->random_state = saved_->random_state;
    current_ = "";
    call_failed_ = false;
}

}  // namespace q7host
