#include "host/machine_engine.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

namespace q7host {

using namespace machine_detail;

MemoryFault::MemoryFault(Addr at, const char* access)
    : std::runtime_error(std::string("the host cannot ") + access + " " + hex(at)), address(at) {}

std::string Fault::detail() const {
    char code_text[16];
    std::snprintf(code_text, sizeof code_text, "0x%08X", code);
    return hex(at) + ": " + what + " (" + code_text + ")";
}

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

    map(kStubArea, kCodeArea - kStubArea, prot::kReadExec);
    map(kCodeArea, kConstantArea - kCodeArea, prot::kReadExec);
    map(kConstantArea, kHeap - kConstantArea, prot::kRead);
    map(kHeap, kHeapEnd - kHeap, prot::kReadWrite);
    map(kDescriptorTable, kPage, prot::kRead);
    map(kThreadBlock, kHostEnd - kThreadBlock, prot::kReadWrite);
    map(kStackBase, kStackSize, prot::kReadWrite);
    map(kSharedUserData, kPage, prot::kRead);

    write<std::uint8_t>(kReturnInt, 0xF4);
    const std::uint8_t ret_double[] = {0xDD, 0x1D, 0, 0, 0, 0, 0xF4};
    write_bytes(kReturnDouble, ret_double, sizeof ret_double);
    write<std::uint32_t>(kReturnDouble + 2, kResult);
    write<std::uint16_t>(kFinalHandler, 0x0B0F);
    write_system_pages(*this);

    uc_hook hook;
    check(uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Engine::on_interrupt), this, 1, 0),
          "adding the interrupt hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Engine::on_invalid_memory),
                      engine_.get(), 1, 0),
          "adding the memory-fault hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(&Engine::on_invalid_instruction),
                      this, 1, 0),
          "adding the invalid-instruction hook");
    // Hooks on single instructions: they cost nothing where those do not run.
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::on_port_in), this, 1, 0,
                      UC_X86_INS_IN),
          "adding the port hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::on_port_out), this, 1, 0,
                      UC_X86_INS_OUT),
          "adding the port hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::on_cpuid), this, 1, 0,
                      UC_X86_INS_CPUID),
          "adding the cpuid hook");
    // The instruction budget of a call, counted here rather than by the
    // emulator so that it holds across the restarts of one call.
    check(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Engine::on_budget_instruction),
                      engine_.get(), 1, 0),
          "adding the budget hook");
    enter_user_mode();
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
    // host that meets thousands of bad modules cannot afford.
    uc_close(engine_->uc);
}

bool Machine::stopped() const {
    return engine_->broken;
}

void Machine::map(Addr at, std::uint32_t size, unsigned protection) {
    engine_->usable();
    const unsigned p = x86_protection(protection);
    check(uc_mem_map(engine_->uc, at, page_up(size), uc_prot(p)), "mapping memory");
    for (std::uint64_t page = at; page < std::uint64_t{at} + page_up(size); page += kPage) {
        pages_[static_cast<Addr>(page)] = p;
    }
}

void Machine::protect(Addr at, std::uint32_t size, unsigned protection) {
    engine_->usable();
    const unsigned p = x86_protection(protection);
    check(uc_mem_protect(engine_->uc, at, page_up(size), uc_prot(p)), "protecting memory");
    for (std::uint64_t page = at; page < std::uint64_t{at} + page_up(size); page += kPage) {
        pages_[static_cast<Addr>(page)] = p;
    }
}

void Machine::unmap(Addr at, std::uint32_t size) {
    engine_->usable();
    const std::uint64_t end = std::uint64_t{at} + page_up(size);
    // The emulator keeps what it translated from a page across an unmap: a
    // module mapped there later would run the old code.
    forget_translations(at, end);
    check(uc_mem_unmap(engine_->uc, at, page_up(size)), "unmapping memory");
    pages_.erase(pages_.lower_bound(at), end > 0xFFFFFFFF ? pages_.end() : pages_.lower_bound(static_cast<Addr>(end)));
}

bool Machine::in_host_area(Addr at, std::uint64_t size) {
    const std::uint64_t end = std::uint64_t{at} + size;
    const auto overlaps = [&](std::uint64_t begin, std::uint64_t stop) { return at < stop && end > begin; };
    return overlaps(kHostBase, kHostEnd) || overlaps(kStackBase, kStackBase + kStackSize) ||
           overlaps(kSharedUserData, kSharedUserData + kPage);
}

Machine::Thread Machine::thread() {
    return {kThreadBlock, kProcessBlock, kStackBase + kStackSize, kStackBase, kSharedUserData};
}

bool Machine::accessible(Addr a, std::size_t n, unsigned protection) const {
    if (n == 0) return true;
    const std::uint64_t last = std::uint64_t{a} + n - 1;
    if (last > 0xFFFFFFFF) return false;
    for (std::uint64_t page = a & ~std::uint64_t{kPage - 1}; page <= last; page += kPage) {
        const auto it = pages_.find(static_cast<Addr>(page));
        if (it == pages_.end() || (it->second & protection) != protection) return false;
    }
    return true;
}

bool Machine::writable_data(Addr a, std::size_t n) const {
    engine_->usable();
    if (!accessible(a, n, prot::kWrite)) return false;
    const std::uint64_t last = std::uint64_t{a} + (n ? n - 1 : 0);
    for (std::uint64_t page = a & ~std::uint64_t{kPage - 1}; n && page <= last; page += kPage) {
        if (pages_.at(static_cast<Addr>(page)) & prot::kExec) return false;
    }
    return true;
}

void Machine::read_bytes(Addr a, void* out, std::size_t n) const {
    engine_->usable();
    if (n && uc_mem_read(engine_->uc, a, out, n) != UC_ERR_OK) throw MemoryFault(a, "read");
}

std::vector<std::uint8_t> Machine::read_bytes(Addr a, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    read_bytes(a, out.data(), n);
    return out;
}

void Machine::write_bytes(Addr a, const void* data, std::size_t n) {
    engine_->usable();
    if (n && uc_mem_write(engine_->uc, a, data, n) != UC_ERR_OK) throw MemoryFault(a, "write");
    forget_code_in(a, n);
}

// The emulator does not see the host's writes: code it translated from those
// bytes before would run on. Only pages that may run are affected.
void Machine::forget_code_in(Addr a, std::size_t n) {
    if (n == 0) return;
    const std::uint64_t last = std::uint64_t{a} + n - 1;
    for (std::uint64_t page = a & ~std::uint64_t{kPage - 1}; page <= last; page += kPage) {
        const auto it = pages_.find(static_cast<Addr>(page));
        if (it != pages_.end() && (it->second & prot::kExec)) forget_translations(it->first, page + kPage);
    }
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

}  // namespace q7host
