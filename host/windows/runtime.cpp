// The C runtime's heap and the data msvcrt keeps for a process, made in the machine's memory.
#include "windows_internal.h"

#include <algorithm>
#include <iterator>

namespace q7host::win {

void Heap::reset(Addr base, std::uint32_t size) {
    used_.clear();
    free_.clear();
    free_.emplace(base, size);
    in_use_ = 0;
}

Addr Heap::allocate(std::uint32_t n) {
    const std::uint64_t want = (std::uint64_t{n ? n : 1} + kAlignment - 1) & ~std::uint64_t{kAlignment - 1};
    for (auto it = free_.begin(); it != free_.end(); ++it) {
        if (it->second < want) continue;
        const Addr a = it->first;
        const std::uint32_t left = it->second - static_cast<std::uint32_t>(want);
        free_.erase(it);
        if (left) free_.emplace(a + static_cast<Addr>(want), left);
        used_.emplace(a, n);
        in_use_ += static_cast<std::uint32_t>(want);
        return a;
    }
    return 0;
}

namespace {
std::uint32_t rounded(std::uint32_t n) { return ((n ? n : 1) + Heap::kAlignment - 1) & ~(Heap::kAlignment - 1); }
}  // namespace

std::uint32_t Heap::size_of(Addr a) const {
    const auto it = used_.find(a);
    return it == used_.end() ? 0 : std::max<std::uint32_t>(it->second, 0);
}

bool Heap::release(Addr a) {
    const auto it = used_.find(a);
    if (it == used_.end()) return false;
    std::uint32_t size = rounded(it->second);
    in_use_ -= size;
    used_.erase(it);
    Addr start = a;
    // Joined with the free blocks on either side.
    auto next = free_.lower_bound(a);
    if (next != free_.end() && next->first == a + size) {
        size += next->second;
        next = free_.erase(next);
    }
    if (next != free_.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == a) {
            start = prev->first;
            size += prev->second;
            free_.erase(prev);
        }
    }
    free_.emplace(start, size);
    return true;
}

bool Heap::resize(Addr a, std::uint32_t n) {
    const auto it = used_.find(a);
    if (it == used_.end()) return false;
    const std::uint32_t have = rounded(it->second), want = rounded(n);
    if (want <= have) {
        if (want < have) {
            it->second = n;
            in_use_ -= have - want;
            // The tail goes back to the free blocks (joined with one after it).
            Addr tail = a + want;
            std::uint32_t size = have - want;
            const auto next = free_.find(a + have);
            if (next != free_.end()) {
                size += next->second;
                free_.erase(next);
            }
            free_.emplace(tail, size);
        } else {
            it->second = n;
        }
        return true;
    }
    const auto next = free_.find(a + have);
    if (next == free_.end() || next->second < want - have) return false;
    const std::uint32_t left = next->second - (want - have);
    free_.erase(next);
    if (left) free_.emplace(a + want, left);
    it->second = n;
    in_use_ += want - have;
    return true;
}

void set_up_runtime(Machine& m, ProcessState& s) {
    s.heap.reset(Machine::kProcessMemory, Machine::kProcessMemorySize);
    // msvcrt's _iob: 20 FILE records of 32 bytes; the first three are the
    // standard streams, their _file fields 0, 1 and 2, _flag as msvcrt
    // sets them (read for stdin, write for the others).
    constexpr unsigned kStreams = 20, kFileSize = 32;
    s.iob = m.allocate(kStreams * kFileSize);
    for (unsigned i = 0; i < 3; ++i) {
        m.write<std::uint32_t>(s.iob + i * kFileSize + 12, i == 0 ? 0x0001 : 0x0002);
        m.write<std::uint32_t>(s.iob + i * kFileSize + 16, i);
    }
    s.errno_slot = m.allocate(4);
    s.mb_cur_max = m.allocate(4);
    m.write<std::uint32_t>(s.mb_cur_max, 1);
    s.c_locale = m.allocate(4);
    m.write_bytes(s.c_locale, "C", 2);
    // The "C" locale's lconv: "." as the decimal point, every other text
    // empty and every number CHAR_MAX, as msvcrt gives it.
    const Addr dot = m.allocate(2), empty = m.allocate(1);
    m.write_bytes(dot, ".", 2);
    s.lconv = m.allocate(48);
    for (unsigned i = 0; i < 10; ++i) m.write<std::uint32_t>(s.lconv + 4 * i, i == 0 ? dot : empty);
    const std::uint8_t numbers[8] = {127, 127, 127, 127, 127, 127, 127, 127};
    m.write_bytes(s.lconv + 40, numbers, sizeof numbers);
    s.strerror_buffer = m.allocate(128);
    s.commode = m.allocate(4);
    s.fmode = m.allocate(4);
    s.lc_handles = m.allocate(6 * 4);
    // The character classes' tables (writable, as msvcrt's data is).
    s.ctype = m.allocate(257 * 2);
    s.wctype = m.allocate(257 * 2);
    for (std::uint32_t c = 0; c < 256; ++c) {
        m.write<std::uint16_t>(s.ctype + 2 + 2 * c, narrow_class(c));
        m.write<std::uint16_t>(s.wctype + 2 + 2 * c, wide_class(c));
    }
    s.pctype = m.allocate(4);
    m.write<std::uint32_t>(s.pctype, s.ctype + 2);
    s.pwctype = m.allocate(4);
    m.write<std::uint32_t>(s.pwctype, s.wctype + 2);
    s.tm = m.allocate(9 * 4);
    // A DLL's process has a program with a command line; this host shows
    // the module no arguments and no environment: empty lists.
    const Addr none = m.allocate(4);
    s.argc = m.allocate(4);
    s.argv = m.allocate(4);
    s.environ = m.allocate(4);
    s.wargv = m.allocate(4);
    s.wenviron = m.allocate(4);
    for (const Addr list : {s.argv, s.environ, s.wargv, s.wenviron}) m.write<std::uint32_t>(list, none);
    s.clock = kProcessStart;
}

void set_errno(Api& api, std::int32_t value) { api.machine.write<std::int32_t>(api.process.errno_slot, value); }

void print(ProcessState& s, std::string_view text) {
    constexpr std::size_t kLimit = 64 * 1024;
    const std::size_t room = kLimit - std::min(kLimit, s.output.size());
    if (text.size() > room) s.output_truncated = true;
    s.output.append(text.substr(0, room));
}

}  // namespace q7host::win
