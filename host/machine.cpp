#include "machine_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>
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
    map(kStackBase, kStackSize, prot::kReadWrite);
    map(kSharedUserData, kPage, prot::kRead);

    // The return trap and every stub start with a nop: the hook on the
    // host's code acts before it runs (see on_host_code).
    write<std::uint8_t>(kReturnTrap, 0x90);
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

bool Machine::stopped() const {
    return engine_->broken;
}

// Fresh anonymous pages: zero, and costing nothing until they are touched.
Machine::Area::Area(Addr at, std::uint32_t n) : base(at), size(n), protection(n / kPage, prot::kNone), ran(n / kPage, 0) {
    void* p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    bytes = static_cast<std::uint8_t*>(p);
}

Machine::Area::~Area() {
    ::munmap(bytes, size);
}

void Machine::Area::zero(Addr from, Addr to) {
    if (to > from) ::madvise(bytes + (from - base), to - from, MADV_DONTNEED);
}

Q7_NOT_TRACED Machine::Area* Machine::area_at(Addr a) const {
    if (last_area_ && last_area_->holds(a)) return last_area_;
    for (const auto& area : areas_) {
        if (area->holds(a)) return last_area_ = area.get();
    }
    return nullptr;
}

// Maps a new area, each run of pages of one protection with one request.
Machine::Area& Machine::add_area(Addr at, std::uint32_t size, const std::vector<std::uint8_t>& page_protection) {
    engine_->usable();
    drop_parked_areas();
    if (size == 0 || at % kPage || size % kPage || std::uint64_t{at} + size > 0x100000000ull ||
        page_protection.size() != size / kPage) {
        throw EmulatorError("emulator: mapping memory: " + hex(at) + " is no page-aligned range");
    }
    auto area = std::make_unique<Area>(at, size);
    std::size_t mapped = 0;
    try {
        for (std::size_t p = 0, run; p < page_protection.size(); p += run) {
            for (run = 1; p + run < page_protection.size() && page_protection[p + run] == page_protection[p];) ++run;
            const unsigned protection = x86_protection(page_protection[p]);
            check(uc_mem_map_ptr(engine_->uc, at + static_cast<Addr>(p * kPage), run * kPage, uc_prot(protection),
                                 area->bytes + p * kPage),
                  "mapping memory");
            std::fill_n(area->protection.begin() + static_cast<std::ptrdiff_t>(p), run, protection);
            mapped = p + run;
        }
    } catch (const EmulatorError&) {
        if (mapped) uc_mem_unmap(engine_->uc, at, mapped * kPage);
        throw;
    }
    areas_.push_back(std::move(area));
    return *areas_.back();
}

void Machine::map(Addr at, std::uint32_t size, unsigned protection) {
    add_area(at, page_up(size), std::vector<std::uint8_t>(page_up(size) / kPage, static_cast<std::uint8_t>(protection)));
}

void Machine::map_image(Addr at, const std::vector<std::uint8_t>& bytes,
                        const std::vector<std::uint8_t>& page_protection) {
    engine_->usable();
    const std::uint32_t size = static_cast<std::uint32_t>(page_protection.size() * kPage);
    for (const auto& kept : areas_) {
        if (!kept->parked || kept->base != at || kept->size != size) continue;
        std::vector<std::uint8_t> protection(page_protection.size());
        std::transform(page_protection.begin(), page_protection.end(), protection.begin(),
                       [](std::uint8_t p) { return static_cast<std::uint8_t>(x86_protection(p)); });
        if (protection != kept->protection) break;
        // The same layout at the same address: the emulator's mapping stays,
        // and only the code of pages whose bytes change is dropped.
        for (std::uint32_t p = 0; p < size / kPage; ++p) {
            const std::size_t offset = std::size_t{p} * kPage;
            const std::uint8_t* now = offset < bytes.size() ? bytes.data() + offset : nullptr;
            const std::size_t n = now ? std::min<std::size_t>(kPage, bytes.size() - offset) : 0;
            const bool same = n == kPage && std::memcmp(kept->bytes + offset, now, kPage) == 0;
            if (kept->ran[p] && !same) {
                forget_translations(at + static_cast<Addr>(offset), std::uint64_t{at} + offset + kPage);
                kept->ran[p] = 0;
            }
            if (!same) {
                if (n) std::memcpy(kept->bytes + offset, now, n);
                std::memset(kept->bytes + offset + n, 0, kPage - n);
            }
        }
        kept->parked = false;
        last_area_ = nullptr;
        return;
    }
    Area& area = add_area(at, size, page_protection);
    std::memcpy(area.bytes, bytes.data(), std::min<std::size_t>(bytes.size(), area.size));
}

void Machine::unmap_image(Addr at) {
    engine_->usable();
    drop_parked_areas();
    for (const auto& area : areas_) {
        if (area->base == at && !area->parked) {
            area->parked = true;
            if (last_area_ == area.get()) last_area_ = nullptr;
            return;
        }
    }
    throw EmulatorError("emulator: unmapping memory: no image at " + hex(at));
}

void Machine::drop_parked_areas() {
    for (auto it = areas_.begin(); it != areas_.end();) {
        if ((*it)->parked) {
            (*it)->parked = false;
            remove_area(it);
            it = areas_.begin();
        } else {
            ++it;
        }
    }
}

void Machine::protect(Addr at, std::uint32_t size, unsigned protection) {
    engine_->usable();
    const unsigned p = x86_protection(protection);
    check(uc_mem_protect(engine_->uc, at, page_up(size), uc_prot(p)), "protecting memory");
    for (std::uint64_t page = at; page < std::uint64_t{at} + page_up(size); page += kPage) {
        Area* area = area_at(static_cast<Addr>(page));
        if (area) area->protection[(page - area->base) / kPage] = static_cast<std::uint8_t>(p);
    }
}

void Machine::unmap(Addr at, std::uint32_t size) {
    engine_->usable();
    const auto it = std::find_if(areas_.begin(), areas_.end(), [&](const auto& a) { return a->base == at && !a->parked; });
    if (it == areas_.end() || (*it)->size != page_up(size)) {
        throw EmulatorError("emulator: unmapping memory: no mapping of " + std::to_string(size) + " bytes at " + hex(at));
    }
    remove_area(it);
}

void Machine::remove_area(std::vector<std::unique_ptr<Area>>::iterator it) {
    Area& area = **it;
    // The emulator keeps what it translated from a page across an unmap: a
    // module mapped there later would run the old code.
    for (std::uint32_t p = 0; p < area.size / kPage; ++p) {
        if (area.ran[p]) forget_translations(area.base + p * kPage, std::uint64_t{area.base} + (p + 1) * kPage);
    }
    check(uc_mem_unmap(engine_->uc, area.base, area.size), "unmapping memory");
    if (last_area_ == &area) last_area_ = nullptr;
    areas_.erase(it);
}

bool Machine::in_host_area(Addr at, std::uint64_t size) {
    const std::uint64_t end = std::uint64_t{at} + size;
    const auto overlaps = [&](std::uint64_t begin, std::uint64_t stop) { return at < stop && end > begin; };
    return overlaps(kStopAddress, kHostEnd) || overlaps(kStackBase, kStackBase + kStackSize) ||
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
        const Area* area = area_at(static_cast<Addr>(page));
        if (!area || (area->protection[(page - area->base) / kPage] & protection) != protection) return false;
    }
    return true;
}

bool Machine::writable_data(Addr a, std::size_t n) const {
    engine_->usable();
    if (!accessible(a, n, prot::kWrite)) return false;
    const std::uint64_t last = std::uint64_t{a} + (n ? n - 1 : 0);
    for (std::uint64_t page = a & ~std::uint64_t{kPage - 1}; n && page <= last; page += kPage) {
        const Area* area = area_at(static_cast<Addr>(page));
        if (area->protection[(page - area->base) / kPage] & prot::kExec) return false;
    }
    return true;
}

bool Machine::copy_out(Addr a, void* out, std::size_t n, Addr& stop) const {
    auto* to = static_cast<std::uint8_t*>(out);
    while (n) {
        const Area* area = area_at(a);
        if (!area) {
            stop = a;
            return false;
        }
        const std::size_t here = std::min<std::size_t>(n, area->size - (a - area->base));
        std::memcpy(to, area->bytes + (a - area->base), here);
        to += here;
        n -= here;
        a += static_cast<Addr>(here);
    }
    return true;
}

bool Machine::copy_in(Addr a, const void* data, std::size_t n, Addr& stop) {
    const auto* from = static_cast<const std::uint8_t*>(data);
    while (n) {
        Area* area = area_at(a);
        if (!area) {
            stop = a;
            return false;
        }
        const std::size_t here = std::min<std::size_t>(n, area->size - (a - area->base));
        std::memcpy(area->bytes + (a - area->base), from, here);
        forget_code_in(a, here);
        from += here;
        n -= here;
        a += static_cast<Addr>(here);
    }
    return true;
}

void Machine::read_bytes(Addr a, void* out, std::size_t n) const {
    engine_->usable();
    Addr stop = 0;
    if (n && !copy_out(a, out, n, stop)) throw MemoryFault(stop, "read");
}

std::vector<std::uint8_t> Machine::read_bytes(Addr a, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    read_bytes(a, out.data(), n);
    return out;
}

void Machine::write_bytes(Addr a, const void* data, std::size_t n) {
    engine_->usable();
    Addr stop = 0;
    if (n && !copy_in(a, data, n, stop)) throw MemoryFault(stop, "write");
}

// The emulator does not see the host's writes: code it translated from those
// bytes before would run on. Only pages code ran from since their last
// translations were dropped are affected.
void Machine::forget_code_in(Addr a, std::size_t n) {
    if (n == 0) return;
    Area* area = area_at(a);
    if (!area) return;
    const std::uint64_t last = std::min<std::uint64_t>(std::uint64_t{a} + n - 1, std::uint64_t{area->base} + area->size - 1);
    for (std::uint64_t page = a & ~std::uint64_t{kPage - 1}; page <= last; page += kPage) {
        if (area->ran[(page - area->base) / kPage]) forget_translations(static_cast<Addr>(page), page + kPage);
    }
}

// Code ran from [at, at + size): the pages it came from may hold translations.
void Machine::note_code(Addr at, std::uint32_t size) {
    for (const std::uint64_t a : {std::uint64_t{at}, std::uint64_t{at} + (size ? size - 1 : 0)}) {
        if (a > 0xFFFFFFFF) continue;
        if (Area* area = area_at(static_cast<Addr>(a))) area->ran[(a - area->base) / kPage] = 1;
    }
}

std::string Machine::read_cstring(Addr a, std::size_t max) const {
    engine_->usable();
    std::string s;
    while (s.size() < max) {
        const Area* area = area_at(a);
        if (!area) throw MemoryFault(a, "read");
        const char* from = reinterpret_cast<const char*>(area->bytes + (a - area->base));
        const std::size_t here = std::min<std::size_t>(max - s.size(), area->size - (a - area->base));
        const std::size_t n = ::strnlen(from, here);
        s.append(from, n);
        if (n < here) break;
        a += static_cast<Addr>(here);
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
    // "nop" (where the hook on the host's code runs the handler), for a
    // double "fld qword [kStubResult]", then "ret" or "ret n".
    std::vector<std::uint8_t> code{0x90};
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
