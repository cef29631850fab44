// What the emulator reports while module code runs, and what the machine
// makes of it: interrupts and faults, the host's stubs and return trap,
// instructions it cannot decode, ports and cpuid, memory it may not touch; and
// every translated block counted against the call's budget and the
// instruction counter.
#include "machine_engine.h"

#include <capstone/capstone.h>

#include <exception>

namespace q7host {

using namespace machine_detail;

namespace {

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

}  // namespace

// Module code raised an interrupt or faulted.
void Machine::Engine::on_interrupt(uc_engine*, std::uint32_t vector, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    Engine& e = *m.engine_;
    const Addr eip = e.reg(UC_X86_REG_EIP);
    if (!raised_by_software(m, vector, eip)) {
        m.fault(classify_exception(m, e.uc, vector, eip));
    } else if (vector == 4) {
        m.fault({eip - 1, exception_words(status::kIntegerOverflow), status::kIntegerOverflow});  // into
    } else if (vector == 3) {
        // A breakpoint: the exception and the registers name the int3 itself.
        // (Written into the registers the handlers see, not into eip: a
        // register written inside a hook makes the emulator run on.)
        const Addr site = m.try_read<std::uint8_t>(eip - 1) == 0xCC ? eip - 1 : eip - 2;
        m.fault({site, exception_words(status::kBreakpoint), status::kBreakpoint, {0}});
        m.raised_->registers.eip = site;
    } else {
        const Addr site = vector == 3 && m.try_read<std::uint8_t>(eip - 1) == 0xCC ? eip - 1 : eip - 2;
        m.stop_call({ProblemKind::StrayInterrupt, m.current_, std::to_string(vector) + " at " + hex(site, 8)});
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
    if (at - kReturnTrap < kMaxCallDepth) {
        const unsigned depth = at - kReturnTrap;
        if (depth + 1 < m.depth_) {
            e.escaped = true;
            e.escaped_to = depth;
        }
        e.returned = true;
        uc_emu_stop(e.uc);
        return;
    }
    if (at < kFirstStub || (at - kFirstStub) % kStubSize != 0) return;
    const std::uint32_t index = (at - kFirstStub) / kStubSize;
    if (index >= m.stubs_.size() || !m.stubs_[index]) {
        // A stub the host has given back: there is no function there any more.
        m.fault({at, "an access violation running " + hex(at, 8), status::kAccessViolation});
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
        if (!m.raised_) {
            if (call.eax_) e.set_reg(UC_X86_REG_EAX, *call.eax_);
            if (call.edx_) e.set_reg(UC_X86_REG_EDX, *call.edx_);
        }
    } catch (const StubCall::RunOutside&) {
        // It calls module code: it runs again once the emulator has stopped.
        m.raised_.reset();
        e.deferred = index;
        e.deferred_pending = true;
        uc_emu_stop(e.uc);
    } catch (const MemoryFault& f) {
        m.stop_call({ProblemKind::BadPointer, m.current_,
                     std::string("the host an address it cannot use: ") + hex(f.address, 8)});
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
    m.fault({m.engine_->reg(UC_X86_REG_EIP), exception_words(status::kPrivilegedInstruction),
             status::kPrivilegedInstruction});
    return 0;
}

void Machine::Engine::on_port_out(uc_engine*, std::uint32_t, int, std::uint32_t, void* user) {
    Machine& m = *static_cast<Machine*>(user);
    m.fault({m.engine_->reg(UC_X86_REG_EIP), exception_words(status::kPrivilegedInstruction),
             status::kPrivilegedInstruction});
}

int Machine::Engine::on_cpuid(uc_engine* uc, void*) { return answer_cpuid(uc) ? 1 : 0; }

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
    if (e.executed + n > m.budget_) {
        e.over_budget = true;
        uc_emu_stop(uc);
        return;
    }
    e.executed += n;
    if (m.counting_ && at >= m.counted_begin_ && at < m.counted_end_) m.instructions_ += n;
}

bool Machine::Engine::on_invalid_memory(uc_engine* uc, int type, std::uint64_t address, int, std::int64_t, void* user) {
    auto& e = *static_cast<Engine*>(user);
    e.invalid_seen = true;
    e.invalid_type = type;
    e.invalid_address = address;
    // Where the faulting instruction is: after the run the emulator's eip
    // may name the start of its block instead.
    std::uint32_t eip = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    e.invalid_eip = eip;
    return false;
}

void Machine::set_counted_range(Addr begin, Addr end) {
    counted_begin_ = begin;
    counted_end_ = end;
}

void Machine::count_instructions(bool on) { counting_ = on; }

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

}  // namespace q7host
