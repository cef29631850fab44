// The machine's address space: areas of host memory the emulator maps
// directly, each page's protection, images mapped and kept aside for the next
// load, the host's reads and writes, and dropping the code the emulator
// translated from pages that change.
#include "machine_engine.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace q7host {

using namespace machine_detail;

// Fresh anonymous pages: zero, and costing nothing until they are touched.
Machine::Area::Area(Addr at, std::uint32_t n)
    : base(at), size(n), protection(n / kPage, prot::kNone), ran(n / kPage, 0) {
    void* p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    bytes = static_cast<std::uint8_t*>(p);
}

Machine::Area::~Area() { ::munmap(bytes, size); }

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
        throw EmulatorError("emulator: mapping memory: " + hex(at, 8) + " is no page-aligned range");
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
    add_area(at, page_up(size),
             std::vector<std::uint8_t>(page_up(size) / kPage, static_cast<std::uint8_t>(protection)));
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
    throw EmulatorError("emulator: unmapping memory: no image at " + hex(at, 8));
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
    const auto it =
        std::find_if(areas_.begin(), areas_.end(), [&](const auto& a) { return a->base == at && !a->parked; });
    if (it == areas_.end() || (*it)->size != page_up(size)) {
        throw EmulatorError("emulator: unmapping memory: no mapping of " + std::to_string(size) + " bytes at " +
                            hex(at, 8));
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
           overlaps(kProcessMemory, std::uint64_t{kProcessMemory} + kProcessMemorySize) ||
           overlaps(kSharedUserData, kSharedUserData + kPage);
}

Machine::Thread Machine::thread() {
    return {kThreadBlock, kProcessBlock, kStackBase + kStackSize, kStackBase, kSharedUserData, kFinalFrame};
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

unsigned Machine::protection(Addr page) const {
    const Area* area = area_at(page);
    return area ? area->protection[(page - area->base) / kPage] : prot::kNone;
}

Machine::Region Machine::region(Addr at) const {
    const Addr page = at & ~(kPage - 1);
    Region r;
    if (const Area* area = area_at(page)) {
        std::size_t first = (page - area->base) / kPage, last = first;
        const std::uint8_t p = area->protection[first];
        while (first > 0 && area->protection[first - 1] == p) --first;
        while (last + 1 < area->protection.size() && area->protection[last + 1] == p) ++last;
        r.base = area->base + static_cast<Addr>(first * kPage);
        r.size = static_cast<Addr>((last - first + 1) * kPage);
        r.allocation_base = area->base;
        r.protection = p;
        r.mapped = true;
        return r;
    }
    // Free memory: from the end of the mapping below to the start of the one above.
    std::uint64_t below = 0, above = 0x100000000ull;
    for (const auto& a : areas_) {
        if (a->parked) continue;
        const std::uint64_t end = std::uint64_t{a->base} + a->size;
        if (end <= page && end > below) below = end;
        if (a->base > page && a->base < above) above = a->base;
    }
    r.base = static_cast<Addr>(below);
    r.size = static_cast<Addr>(std::min<std::uint64_t>(above - below, 0xFFFFF000u));
    return r;
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
    const std::uint64_t last =
        std::min<std::uint64_t>(std::uint64_t{a} + n - 1, std::uint64_t{area->base} + area->size - 1);
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

}  // namespace q7host
