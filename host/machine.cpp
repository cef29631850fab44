// The machine as a whole: the emulated processor set up as a Windows thread
// finds it (control registers, user mode, the host's area, the hooks), host
// memory and stubs handed out inside it, and the checkpoint it rewinds to.
#include "machine_engine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace q7host {

using namespace machine_detail;

std::string Fault::detail() const { return fault_detail(at, what, code); }

Machine::Machine() : engine_(std::make_unique<Engine>()) {
    check(uc_open(UC_ARCH_X86, UC_MODE_32, &engine_->uc), "opening an i386");
    uc_engine* uc = engine_->uc;
    check(uc_ctl_set_cpu_model(uc, UC_CPU_X86_HASWELL), "choosing the processor model");
    // The control-register bits Windows sets: OSFXSR and OSXMMEXCPT for SSE,
    // NE so that an unmasked x87 exception faults (#MF) rather than raising
    // an external interrupt, MP with it; no emulation, no task switch.
    std::uint64_t cr4 = 0, cr0 = 0;
    check(uc_reg_read(uc, UC_X86_REG_CR4, &cr4), "reading cr4");
    cr4 |= 0x600;
    check(uc_reg_write(uc, UC_X86_REG_CR4, &cr4), "writing cr4");
    check(uc_reg_read(uc, UC_X86_REG_CR0, &cr0), "reading cr0");
    cr0 = (cr0 & ~std::uint64_t{0xC}) | 0x22;
    check(uc_reg_write(uc, UC_X86_REG_CR0, &cr0), "writing cr0");

    // The host's area in one piece of host memory, each part with its final
    // protection from the start: the host writes its code and tables
    // straight into that memory, never through the emulator.
    std::vector<std::uint8_t> host_pages((kHostEnd - kHostBase) / kPage, prot::kReadWrite);
    auto part = [&](Addr from, Addr to, unsigned p) {
        std::fill(host_pages.begin() + (from - kHostBase) / kPage, host_pages.begin() + (to - kHostBase) / kPage, p);
    };
    part(kStubArea, kConstantArea, prot::kReadExec);
    part(kConstantArea, kHeap, prot::kRead);
    part(kDescriptorTable, kThreadBlock, prot::kRead);
    add_area(kHostBase, kHostEnd - kHostBase, host_pages);
    // The stack: its lowest page never mapped for use, the guard page above
    // it, then what the thread may use.
    std::vector<std::uint8_t> stack_pages(kStackSize / kPage, prot::kReadWrite);
    stack_pages[0] = stack_pages[1] = prot::kNone;
    add_area(kStackBase, kStackSize, stack_pages);
    map(kProcessMemory, kProcessMemorySize, prot::kReadWrite);
    map(kSharedUserData, kPage, prot::kRead);

    // The return trap and every stub start with a nop: the hook on the
    // host's code acts before it runs (see on_host_code).
    for (unsigned d = 0; d < kMaxCallDepth; ++d) write<std::uint8_t>(kReturnTrap + d, 0x90);
    write<std::uint16_t>(kFinalHandler, 0x0B0F);
    write_system_pages(*this);

    uc_hook hook;
    check(uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Engine::on_interrupt), this, 1, 0),
          "adding the interrupt hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Engine::on_host_code), this, kStubArea,
                      kCodeArea - 1),
          "adding the hook on the host's code");
    check(uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Engine::on_invalid_memory),
                      engine_.get(), 1, 0),
          "adding the memory-fault hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(&Engine::on_invalid_instruction), this,
                      1, 0),
          "adding the invalid-instruction hook");
    // Hooks on single instructions: they cost nothing where those do not run.
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::on_port_in), this, 1, 0, UC_X86_INS_IN),
          "adding the port hook");
    check(
        uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::on_port_out), this, 1, 0, UC_X86_INS_OUT),
        "adding the port hook");
    check(
        uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::on_cpuid), this, 1, 0, UC_X86_INS_CPUID),
        "adding the cpuid hook");
    // The instruction budget of a call and the instruction counter, block by
    // block: a hook on every instruction would cost more than the module's
    // own work.
    check(uc_hook_add(uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Engine::on_block), this, 1, 0),
          "adding the block hook");
    enter_user_mode();
    // What a Windows thread has at every call: direction flag clear, the x87
    // stack empty with its default control word, SSE with every exception
    // masked; and the markers of the registers a routine must preserve.
    Engine& e = *engine_;
    e.set_reg(UC_X86_REG_EFLAGS, kEflags);
    e.set_reg16(UC_X86_REG_FPCW, kControlWord);
    e.set_reg16(UC_X86_REG_FPSW, 0);
    e.set_reg16(UC_X86_REG_FPTAG, 0xFFFF);
    e.set_reg(UC_X86_REG_MXCSR, kMxcsr);
    e.set_reg(UC_X86_REG_EAX, 0);
    for (const auto& r : kSavedRegisters) e.set_reg(r.reg, r.marker);
    check(uc_context_alloc(uc, &e.call_state), "keeping the registers of a call");
    check(uc_context_save(uc, e.call_state), "keeping the registers of a call");
    next_ = {kHeap + 16, kConstantArea, kCodeArea, 0};
}

// The emulator starts at ring 0 with no descriptors. The machine loads a flat
// ring-0 pair, then leaves ring 0 the way an operating system does, through
// an iretd to the user code and stack selectors; the data selectors and FS
// follow. From then on privileged and I/O instructions fault as in any
// Windows process.
void Machine::enter_user_mode() {
    Engine& e = *engine_;
    uc_x86_mmr gdtr{};
    gdtr.base = kDescriptorTable;
    gdtr.limit = 16 * 8 - 1;
    check(uc_reg_write(e.uc, UC_X86_REG_GDTR, &gdtr), "loading the descriptor table");
    e.set_reg(UC_X86_REG_SS, kKernelData);
    e.set_reg(UC_X86_REG_CS, kKernelCode);
    // push ss; push esp; push eflags; push cs; push eip; iretd
    std::vector<std::uint8_t> code{0x6A, static_cast<std::uint8_t>(kUserData), 0x68};
    for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(kStackTop >> (8 * k)));
    code.insert(code.end(), {0x68, 0x02, 0x02, 0x00, 0x00, 0x6A, static_cast<std::uint8_t>(kUserCode), 0x68});
    for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(kInUserMode >> (8 * k)));
    code.push_back(0xCF);
    write_bytes(kEnterUserMode, code.data(), code.size());
    e.set_reg(UC_X86_REG_ESP, kStackTop);
    // No count: a count given once makes every later start without one flush all translations.
    const uc_err err = uc_emu_start(e.uc, kEnterUserMode, kInUserMode, 0, 0);
    if (err != UC_ERR_OK || e.reg(UC_X86_REG_EIP) != kInUserMode) {
        throw EmulatorError(std::string("emulator: cannot enter user mode: ") + uc_strerror(err));
    }
    for (const int r : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_GS}) e.set_reg(r, kUserData);
    e.set_reg(UC_X86_REG_FS, kThreadSegment);
}

Machine::~Machine() {
    // An engine that aborted is never run again, but it is closed like any
    // other: the abort leaves it halfway through translating one block, which
    // nothing of it that closing frees depends on. Keeping such engines
    // instead costs about 3 MiB each for the rest of the process, which a
    // host that meets thousands of bad modules cannot afford. The memory it
    // mapped goes after it.
    if (engine_->call_state) uc_context_free(engine_->call_state);
    uc_close(engine_->uc);
}

bool Machine::stopped() const { return engine_->broken; }

namespace {

Addr take(Addr& next, std::size_t n, Addr end, const char* what) {
    if (n > end - next) throw std::length_error(std::string("host: out of ") + what);
    const Addr a = next;
    next += static_cast<Addr>((n + 15) & ~std::size_t{15});
    return a;
}

}  // namespace

Addr Machine::allocate(std::size_t n, std::uint8_t fill) {
    const Addr a = take(next_.heap, n, kHeapEnd, "host memory");
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

Addr Machine::place_code(const std::vector<std::uint8_t>& code) {
    const Addr a = take(next_.code, code.size(), kConstantArea, "room for placed code");
    write_bytes(a, code.data(), code.size());
    return a;
}

Machine::Mark Machine::mark() const { return next_; }

void Machine::release(const Mark& m) {
    next_ = m;
    stubs_.resize(m.stubs);
}

Addr Machine::add_stub(StubHandler handler, unsigned pop_bytes, Returns returns) {
    const Addr stub = kFirstStub + next_.stubs * kStubSize;
    if (stub + kStubSize > kCodeArea) throw std::length_error("host: out of stubs");
    // "nop" (where the hook on the host's code runs the handler), for a
    // double "fld qword [kStubResult]", then "ret" or "ret n".
    std::vector<std::uint8_t> code{0x90};
    if (returns == Returns::kDouble) {
        code.insert(code.end(), {0xDD, 0x05});
        for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(kStubResult >> (8 * k)));
    }
    if (pop_bytes) {
        code.insert(code.end(),
                    {0xC2, static_cast<std::uint8_t>(pop_bytes), static_cast<std::uint8_t>(pop_bytes >> 8)});
    } else {
        code.push_back(0xC3);
    }
    write_bytes(stub, code.data(), code.size());
    stubs_.resize(next_.stubs);
    stubs_.push_back(std::move(handler));
    ++next_.stubs;
    return stub;
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
    for (Checkpointed* c : checkpointed_) c->keep();
}

void Machine::rewind() {
    engine_->usable();
    if (!saved_) throw std::logic_error("host: rewind without a checkpoint");
    budget_ = kInstructionBudget;
    load_budget_ = kLoadBudget;
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
    if (!guard_armed_) {
        protect(kStackGuardPage, kPage, prot::kNone);
        guard_armed_ = true;
    }
    raised_.reset();
    depth_ = 0;
    std::memcpy(stack->bytes + (kStackTopPages - kStackBase), saved_->stack_top.data(), saved_->stack_top.size());
    check(uc_context_restore(engine_->uc, saved_->registers), "restoring the registers");
    release(saved_->next);
    problems_ = saved_->problems;
    instructions_ = saved_->instructions;
    engine_->random_state = saved_->random_state;
    current_ = "";
    call_failed_ = false;
    area_at(kProcessMemory)->zero(kProcessMemory, kProcessMemory + kProcessMemorySize);
    for (Checkpointed* c : checkpointed_) c->restore();
}

}  // namespace q7host
