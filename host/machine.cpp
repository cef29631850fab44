#include "host/machine_engine.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

namespace q7host {

using namespace machine_detail;

MemoryFault::MemoryFault(Addr at, const char* access)
    : std::runtime_error(std::string("the host cannot ") + access + " " + hex(at)), address(at) {}

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
    check(uc_mem_map(engine_->uc, at, page_up(size), uc_prot(protection)), "mapping memory");
}

void Machine::protect(Addr at, std::uint32_t size, unsigned protection) {
    engine_->usable();
    check(uc_mem_protect(engine_->uc, at, page_up(size), uc_prot(protection)), "protecting memory");
}

void Machine::unmap(Addr at, std::uint32_t size) {
    engine_->usable();
    check(uc_mem_unmap(engine_->uc, at, page_up(size)), "unmapping memory");
}

bool Machine::in_host_area(Addr at, std::uint64_t size) {
    const std::uint64_t end = std::uint64_t{at} + size;
    return (at < kHostEnd && end > kHostBase) || (at < kStackBase + kStackSize && end > kStackBase);
}

bool Machine::writable_data(Addr a, std::size_t n) const {
    engine_->usable();
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
