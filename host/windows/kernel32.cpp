// KERNEL32: the functions a module built the ordinary way calls, each as the real one behaves for a
// single-threaded process (its results, its effect on memory, its last error), and the table that
// names them.
#include "exceptions.h"
#include "host/windows.h"
#include "host/thread_block.h"
#include "text_codes.h"
#include "windows_internal.h"

#include <algorithm>

namespace q7host::win {

namespace {

constexpr std::uint32_t kCurrentProcess = 0xFFFFFFFF, kCurrentThread = 0xFFFFFFFE;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF, kWaitTimeout = 0x102, kWaitFailed = 0xFFFFFFFF;
constexpr std::uint32_t kTebTlsSlots = teb::kTlsSlots, kTebTlsExpansion = teb::kTlsExpansion;

Addr teb() { return Machine::thread().environment_block; }

// --- errors ---------------------------------------------------------------

std::uint32_t GetLastError(Stdcall& c) { return c.process.last_error; }
void SetLastError(Stdcall& c, std::uint32_t e) { c.process.last_error = e; }

// --- critical sections (one thread: entering never waits) ---------------

// RTL_CRITICAL_SECTION: DebugInfo, LockCount, RecursionCount, OwningThread, LockSemaphore, SpinCount.
void InitializeCriticalSection(Stdcall& c, Ptr<std::uint32_t> cs) {
    const std::uint32_t fresh[6] = {0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 0};
    c.put_bytes(cs.addr, fresh, sizeof fresh);
}
std::uint32_t InitializeCriticalSectionAndSpinCount(Stdcall& c, Ptr<std::uint32_t> cs, std::uint32_t spin) {
    InitializeCriticalSection(c, cs);
    c.write(cs, spin & 0x00FFFFFF, 5);
    return 1;
}
void EnterCriticalSection(Stdcall& c, Ptr<std::uint32_t> cs) {
    c.write(cs, c.read(cs, 1) + 1, 1);
    c.write(cs, c.read(cs, 2) + 1, 2);
    c.write(cs, kThreadId, 3);
}
std::uint32_t TryEnterCriticalSection(Stdcall& c, Ptr<std::uint32_t> cs) {
    EnterCriticalSection(c, cs);
    return 1;
}
void LeaveCriticalSection(Stdcall& c, Ptr<std::uint32_t> cs) {
    const std::uint32_t depth = c.read(cs, 2);
    if (depth == 0) return;  // not entered: Windows leaves it alone too
    c.write(cs, c.read(cs, 1) - 1, 1);
    c.write(cs, depth - 1, 2);
    if (depth == 1) c.write(cs, 0u, 3);
}
void DeleteCriticalSection(Stdcall& c, Ptr<std::uint32_t> cs) {
    const std::uint32_t gone[6] = {};
    c.put_bytes(cs.addr, gone, sizeof gone);
}

// --- thread-local storage -------------------------------------------------

Ptr<std::uint32_t> tls_slot(Api& c, std::uint32_t index) {
    if (index < 64) return {teb() + kTebTlsSlots + 4 * index};
    Addr& expansion = c.process.tls_expansion;
    if (!expansion) {
        expansion = c.process.heap.allocate(4 * 1024);
        if (!expansion) return {};
        std::vector<std::uint8_t> zero(4 * 1024, 0);
        c.machine.write_bytes(expansion, zero.data(), zero.size());
        c.machine.write<std::uint32_t>(teb() + kTebTlsExpansion, expansion);
    }
    return {expansion + 4 * (index - 64)};
}

std::uint32_t TlsAlloc(Stdcall& c) {
    auto& slots = c.process.tls_slots;
    const auto it = std::find(slots.begin(), slots.end(), false);
    if (it == slots.end()) {
        c.set_last_error(kErrorNoMoreItems);
        return 0xFFFFFFFF;  // TLS_OUT_OF_INDEXES
    }
    const auto index = static_cast<std::uint32_t>(it - slots.begin());
    const Ptr<std::uint32_t> slot = tls_slot(c, index);
    if (!slot) {
        c.set_last_error(kErrorNotEnoughMemory);
        return 0xFFFFFFFF;
    }
    *it = true;
    c.machine.write<std::uint32_t>(slot.addr, 0);
    return index;
}
std::uint32_t TlsGetValue(Stdcall& c, std::uint32_t index) {
    if (index >= c.process.tls_slots.size()) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    c.set_last_error(0);
    const Ptr<std::uint32_t> slot = tls_slot(c, index);
    return slot ? c.machine.read(slot.addr) : 0;
}
std::uint32_t TlsSetValue(Stdcall& c, std::uint32_t index, std::uint32_t value) {
    if (index >= c.process.tls_slots.size()) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    const Ptr<std::uint32_t> slot = tls_slot(c, index);
    if (!slot) {
        c.set_last_error(kErrorNotEnoughMemory);
        return 0;
    }
    c.machine.write<std::uint32_t>(slot.addr, value);
    return 1;
}
std::uint32_t TlsFree(Stdcall& c, std::uint32_t index) {
    if (index >= c.process.tls_slots.size() || !c.process.tls_slots[index]) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    c.process.tls_slots[index] = false;
    c.machine.write<std::uint32_t>(tls_slot(c, index).addr, 0);
    return 1;
}

// --- modules --------------------------------------------------------------

// What a module name means: the module itself, a DLL Windows has, or nothing.
Addr module_named(Api& c, std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
    if (const auto slash = name.find_last_of("\\/"); slash != std::string::npos) name.erase(0, slash + 1);
    // A name without an extension means a .dll; a trailing dot means none.
    if (name.find('.') == std::string::npos) name += ".dll";
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (c.process.module_base && name == c.process.module_name) return c.process.module_base;
    return c.process.owner->dll_handle(name);
}

Addr GetModuleHandleA(Stdcall& c, Str name) {
    if (!name) return c.process.owner->dll_handle("");  // the program the process runs
    const Addr h = module_named(c, c.string(name, 260));
    if (!h) c.set_last_error(kErrorModNotFound);
    return h;
}
Addr GetModuleHandleW(Stdcall& c, WStr name) {
    if (!name) return c.process.module_base;
    std::string narrow;
    for (const char16_t ch : c.wide(name, 260)) narrow += ch < 0x80 ? static_cast<char>(ch) : '?';
    const Addr h = module_named(c, narrow);
    if (!h) c.set_last_error(kErrorModNotFound);
    return h;
}
Addr LoadLibraryA(Stdcall& c, Str name) {
    if (!name) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    const Addr h = module_named(c, c.string(name, 260));
    if (!h) c.set_last_error(kErrorModNotFound);
    return h;
}
Addr LoadLibraryW(Stdcall& c, WStr name) {
    if (!name) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    return GetModuleHandleW(c, name);
}
std::uint32_t FreeLibrary(Stdcall& c, Addr handle) {
    if (handle && (handle == c.process.module_base || !c.process.owner->dll_of_handle(handle).empty())) return 1;
    c.set_last_error(kErrorModNotFound);
    return 0;
}
Addr GetProcAddress(Stdcall& c, Addr handle, Str name) {
    const bool by_ordinal = name.addr < 0x10000;
    const std::string text = by_ordinal ? std::string() : c.string(name, 1024);
    Addr found = 0;
    if (handle && handle == c.process.module_base) {
        found = c.process.owner->module_export(text, by_ordinal ? name.addr : 0);
    } else if (const std::string dll = c.process.owner->dll_of_handle(handle); !dll.empty()) {
        if (!by_ordinal) found = c.process.owner->bind(dll, text).address;
    } else {
        c.set_last_error(kErrorModNotFound);
        return 0;
    }
    if (!found) c.set_last_error(kErrorProcNotFound);
    return found;
}

// --- memory ---------------------------------------------------------------

constexpr std::uint32_t kMemCommit = 0x1000, kMemFree = 0x10000, kMemImage = 0x1000000, kMemPrivate = 0x20000;

std::uint32_t page_protect(unsigned p, bool image) {
    const bool r = p & prot::kRead, w = p & prot::kWrite, x = p & prot::kExec;
    if (!r && !w && !x) return 0x01;
    if (x) return w ? (image ? 0x80 : 0x40) : (r ? 0x20 : 0x10);
    return w ? (image ? 0x08 : 0x04) : 0x02;
}

std::optional<unsigned> from_page_protect(std::uint32_t p) {
    switch (p & 0xFF) {
        case 0x01: return prot::kNone;
        case 0x02: return prot::kRead;
        case 0x04:
        case 0x08: return prot::kReadWrite;
        case 0x10: return prot::kExec;
        case 0x20: return prot::kReadExec;
        case 0x40:
        case 0x80: return prot::kReadWrite | prot::kExec;
        default: return std::nullopt;
    }
}

bool in_image(Api& c, Addr a) {
    const Addr base = c.process.module_base;
    return base && a >= base && c.machine.region(base).mapped && c.machine.region(a).allocation_base == base;
}

// MEMORY_BASIC_INFORMATION, 28 bytes.
std::uint32_t VirtualQuery(Stdcall& c, Addr at, Ptr<std::uint32_t> info, std::uint32_t length) {
    if (length < 28) {
        c.set_last_error(24);  // ERROR_BAD_LENGTH
        return 0;
    }
    if (at >= 0x7FFF0000) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    // The buffer is the kernel's to write: one the module could not write is
    // an error, not a fault.
    if (!c.machine.accessible(info.addr, 28, prot::kWrite)) {
        c.set_last_error(kErrorNoAccess);
        return 0;
    }
    // The region runs from the page asked about to the last page after it
    // that is alike, as Windows scans it.
    const Machine::Region r = c.machine.region(at);
    const Addr page = at & ~(Machine::kPage - 1);
    const bool image = in_image(c, at);
    std::uint32_t mbi[7] = {page, 0, 0, r.base + r.size - page, kMemFree, 0x01, 0};
    if (r.mapped) {
        mbi[1] = r.allocation_base;
        mbi[2] = image ? 0x80 : page_protect(c.machine.protection(r.allocation_base) | prot::kRead, false);
        mbi[4] = kMemCommit;
        mbi[5] = page_protect(r.protection, image);
        mbi[6] = image ? kMemImage : kMemPrivate;
    }
    c.put_bytes(info.addr, mbi, sizeof mbi);
    return 28;
}

std::uint32_t VirtualProtect(Stdcall& c, Addr at, std::uint32_t size, std::uint32_t protect, Ptr<std::uint32_t> old) {
    const std::optional<unsigned> wanted = from_page_protect(protect);
    if (!wanted || (protect & ~0xFFu & ~0x100u) || size == 0) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    if (!c.machine.accessible(old.addr, 4, prot::kWrite)) {
        c.set_last_error(kErrorNoAccess);  // the kernel could not write the old protection
        return 0;
    }
    const Addr first = at & ~(Machine::kPage - 1);
    const std::uint64_t end = (std::uint64_t{at} + size + Machine::kPage - 1) & ~std::uint64_t{Machine::kPage - 1};
    const Machine::Region r = c.machine.region(first);
    // One allocation, all of it mapped, and not the host's own code and
    // tables (this host keeps those out of the module's reach).
    const bool ours = Machine::in_host_area(first, end - first) &&
                      !(first >= Machine::kProcessMemory &&
                        end <= std::uint64_t{Machine::kProcessMemory} + Machine::kProcessMemorySize);
    if (!r.mapped || end > 0x100000000ull || ours ||
        c.machine.region(static_cast<Addr>(end - 1)).allocation_base != r.allocation_base ||
        !c.machine.region(static_cast<Addr>(end - 1)).mapped) {
        c.set_last_error(kErrorInvalidAddress);
        return 0;
    }
    const std::uint32_t before = page_protect(c.machine.protection(first), in_image(c, first));
    c.machine.protect(first, static_cast<std::uint32_t>(end - first), *wanted);
    c.write(old, before);
    return 1;
}

Addr LocalAlloc(Stdcall& c, std::uint32_t flags, std::uint32_t size) {
    const Addr a = c.process.heap.allocate(size);
    if (!a) {
        c.set_last_error(kErrorNotEnoughMemory);
        return 0;
    }
    if (flags & 0x40) {
        std::vector<std::uint8_t> zero(size, 0);
        c.machine.write_bytes(a, zero.data(), zero.size());
    }
    return a;
}
Addr LocalFree(Stdcall& c, Addr block) {
    if (!block || c.process.heap.release(block)) return 0;
    c.set_last_error(kErrorInvalidHandle);
    return block;
}

// --- time -----------------------------------------------------------------

// The clock moves only when the module sleeps or waits (see ProcessState::clock).
constexpr std::uint64_t kBoot = kProcessStart - 36000000000ull;  // up an hour at the start

void Sleep(Stdcall& c, std::uint32_t ms) {
    if (ms != kInfinite) c.process.clock += std::uint64_t{ms} * 10000;
}
std::uint32_t SleepEx(Stdcall& c, std::uint32_t ms, std::uint32_t) {
    Sleep(c, ms);
    return 0;
}
std::uint32_t GetTickCount(Stdcall& c) { return static_cast<std::uint32_t>((c.process.clock - kBoot) / 10000); }
std::uint64_t GetTickCount64(Stdcall& c) { return (c.process.clock - kBoot) / 10000; }
std::uint32_t QueryPerformanceCounter(Stdcall& c, Ptr<std::uint64_t> out) {
    c.write(out, c.process.clock - kBoot);
    return 1;
}
std::uint32_t QueryPerformanceFrequency(Stdcall& c, Ptr<std::uint64_t> out) {
    c.write(out, std::uint64_t{10000000});
    return 1;
}
void GetSystemTimeAsFileTime(Stdcall& c, Ptr<std::uint64_t> out) { c.write(out, c.process.clock); }
void GetSystemTimePreciseAsFileTime(Stdcall& c, Ptr<std::uint64_t> out) { c.write(out, c.process.clock); }

// SYSTEMTIME from 100-ns units since 1601 (the process's time zone is UTC).
void system_time(Api& c, Ptr<std::uint16_t> out) {
    const std::uint64_t t = c.process.clock;
    std::int64_t days = static_cast<std::int64_t>(t / 864000000000ull);
    const std::uint64_t in_day = t % 864000000000ull;
    const auto weekday = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    // Days since 1601-01-01 to a civil date (the proleptic Gregorian calendar).
    days += 584388;  // to days since 0000-03-01
    const std::int64_t era = days / 146097, doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<std::uint16_t>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<std::uint16_t>(mp < 10 ? mp + 3 : mp - 9);
    const auto year = static_cast<std::uint16_t>(yoe + era * 400 + (month <= 2));
    const std::uint16_t st[8] = {year,
                                 month,
                                 weekday,
                                 day,
                                 static_cast<std::uint16_t>(in_day / 36000000000ull),
                                 static_cast<std::uint16_t>(in_day / 600000000 % 60),
                                 static_cast<std::uint16_t>(in_day / 10000000 % 60),
                                 static_cast<std::uint16_t>(in_day / 10000 % 1000)};
    c.put_bytes(out.addr, st, sizeof st);
}
void GetSystemTime(Stdcall& c, Ptr<std::uint16_t> out) { system_time(c, out); }
void GetLocalTime(Stdcall& c, Ptr<std::uint16_t> out) { system_time(c, out); }

// --- process and thread ---------------------------------------------------

std::uint32_t GetCurrentProcess(Stdcall&) { return kCurrentProcess; }
std::uint32_t GetCurrentThread(Stdcall&) { return kCurrentThread; }
std::uint32_t GetCurrentProcessId(Stdcall&) { return kProcessId; }
std::uint32_t GetCurrentThreadId(Stdcall&) { return kThreadId; }
std::uint32_t IsDebuggerPresent(Stdcall&) { return 0; }

// The features of the processor the machine emulates (see its cpuid).
std::uint32_t IsProcessorFeaturePresent(Stdcall&, std::uint32_t feature) {
    switch (feature) {
        case 2:   // PF_COMPARE_EXCHANGE_DOUBLE
        case 3:   // PF_MMX_INSTRUCTIONS_AVAILABLE
        case 6:   // PF_XMMI_INSTRUCTIONS_AVAILABLE
        case 8:   // PF_RDTSC_INSTRUCTION_AVAILABLE
        case 9:   // PF_PAE_ENABLED
        case 10:  // PF_XMMI64_INSTRUCTIONS_AVAILABLE
        case 12:  // PF_NX_ENABLED
        case 13:  // PF_SSE3_INSTRUCTIONS_AVAILABLE
        case 23:  // PF_FASTFAIL_AVAILABLE
        case 28:  // PF_RDRAND_INSTRUCTION_AVAILABLE
        case 36:  // PF_SSSE3_INSTRUCTIONS_AVAILABLE
        case 37:  // PF_SSE4_1_INSTRUCTIONS_AVAILABLE
        case 38:  // PF_SSE4_2_INSTRUCTIONS_AVAILABLE
            return 1;
        default: return 0;
    }
}

std::uint32_t GetThreadPriority(Stdcall& c, std::uint32_t thread) {
    if (thread == kCurrentThread || c.process.handles.count(thread)) return 0;  // THREAD_PRIORITY_NORMAL
    c.set_last_error(kErrorInvalidHandle);
    return 0x7FFFFFFF;  // THREAD_PRIORITY_ERROR_RETURN
}
std::uint32_t SetThreadPriority(Stdcall& c, std::uint32_t thread, std::int32_t) {
    if (thread == kCurrentThread || c.process.handles.count(thread)) return 1;
    c.set_last_error(kErrorInvalidHandle);
    return 0;
}
std::uint32_t GetProcessAffinityMask(Stdcall& c, std::uint32_t process, Ptr<std::uint32_t> mine,
                                     Ptr<std::uint32_t> system) {
    if (process != kCurrentProcess && !c.process.handles.count(process)) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    c.write(mine, 3u);  // the two processors the process block names
    c.write(system, 3u);
    return 1;
}
std::uint32_t SetProcessAffinityMask(Stdcall& c, std::uint32_t process, std::uint32_t mask) {
    if ((process != kCurrentProcess && !c.process.handles.count(process)) || !mask || (mask & ~3u)) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    return 1;
}

// --- kernel objects -------------------------------------------------------

std::uint32_t new_handle(Api& c, KernelObject o) {
    const std::uint32_t h = c.process.next_handle;
    c.process.next_handle += 4;
    c.process.handles.emplace(h, o);
    return h;
}
KernelObject* object(Api& c, std::uint32_t h) {
    const auto it = c.process.handles.find(h);
    return it == c.process.handles.end() ? nullptr : &it->second;
}

std::uint32_t CreateEventA(Stdcall& c, Addr, std::uint32_t manual, std::uint32_t initial, Str name) {
    if (name) c.string(name, 260);
    c.set_last_error(0);
    return new_handle(c, {.kind = KernelObject::Kind::kEvent, .manual_reset = manual != 0, .signaled = initial != 0});
}
std::uint32_t CreateEventW(Stdcall& c, Addr, std::uint32_t manual, std::uint32_t initial, WStr name) {
    if (name) c.wide(name, 260);
    c.set_last_error(0);
    return new_handle(c, {.kind = KernelObject::Kind::kEvent, .manual_reset = manual != 0, .signaled = initial != 0});
}
std::uint32_t set_event(Api& c, std::uint32_t h, bool on) {
    KernelObject* o = object(c, h);
    if (!o || o->kind != KernelObject::Kind::kEvent) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    o->signaled = on;
    return 1;
}
std::uint32_t SetEvent(Stdcall& c, std::uint32_t h) { return set_event(c, h, true); }
std::uint32_t ResetEvent(Stdcall& c, std::uint32_t h) { return set_event(c, h, false); }
std::uint32_t CreateSemaphoreA(Stdcall& c, Addr, std::int32_t initial, std::int32_t maximum, Str name) {
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    if (name) c.string(name, 260);
    c.set_last_error(0);
    return new_handle(c, {.kind = KernelObject::Kind::kSemaphore, .count = initial, .maximum = maximum});
}
std::uint32_t CreateSemaphoreW(Stdcall& c, Addr sa, std::int32_t initial, std::int32_t maximum, WStr name) {
    if (name) c.wide(name, 260);
    return CreateSemaphoreA(c, sa, initial, maximum, {});
}
std::uint32_t ReleaseSemaphore(Stdcall& c, std::uint32_t h, std::int32_t n, Ptr<std::int32_t> previous) {
    KernelObject* o = object(c, h);
    if (!o || o->kind != KernelObject::Kind::kSemaphore) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    if (n <= 0 || std::int64_t{o->count} + n > o->maximum) {
        c.set_last_error(n <= 0 ? kErrorInvalidParameter : kErrorTooManyPosts);
        return 0;
    }
    if (previous) c.write(previous, o->count);
    o->count += n;
    return 1;
}
std::uint32_t CloseHandle(Stdcall& c, std::uint32_t h) {
    if (h == kCurrentProcess || h == kCurrentThread) return 1;
    KernelObject* o = object(c, h);
    if (!o) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    c.process.handles.erase(h);
    return 1;
}
std::uint32_t DuplicateHandle(Stdcall& c, std::uint32_t from_process, std::uint32_t h, std::uint32_t to_process,
                              Ptr<std::uint32_t> out, std::uint32_t, std::uint32_t, std::uint32_t options) {
    if (from_process != kCurrentProcess || to_process != kCurrentProcess) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    KernelObject copy;
    if (h == kCurrentThread) {
        copy.kind = KernelObject::Kind::kThread;
    } else if (h == kCurrentProcess) {
        copy.kind = KernelObject::Kind::kProcess;
    } else if (KernelObject* o = object(c, h)) {
        copy = *o;
    } else {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    const std::uint32_t dup = new_handle(c, copy);
    if (out) c.write(out, dup);
    if (options & 1) c.process.handles.erase(h);  // DUPLICATE_CLOSE_SOURCE
    return 1;
}
std::uint32_t GetHandleInformation(Stdcall& c, std::uint32_t h, Ptr<std::uint32_t> flags) {
    if (h != kCurrentProcess && h != kCurrentThread && !object(c, h)) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    c.write(flags, 0u);
    return 1;
}
std::uint32_t OpenProcess(Stdcall& c, std::uint32_t, std::uint32_t, std::uint32_t id) {
    if (id != kProcessId) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    return new_handle(c, {.kind = KernelObject::Kind::kProcess});
}

// Whether waiting on `o` returns at once; a wait that returns takes what it
// waited for (an auto-reset event's signal, one of a semaphore's count).
bool signaled(const KernelObject& o) {
    return o.kind == KernelObject::Kind::kEvent ? o.signaled : o.kind == KernelObject::Kind::kSemaphore && o.count > 0;
}
void take(KernelObject& o) {
    if (o.kind == KernelObject::Kind::kEvent && !o.manual_reset) o.signaled = false;
    if (o.kind == KernelObject::Kind::kSemaphore) --o.count;
}

// One thread: a wait that nothing signaled now either times out (the clock
// moves on) or never ends, which is the module's hang.
std::uint32_t wait_out(Api& c, std::uint32_t ms, const char* what) {
    if (ms == kInfinite) {
        c.fail(ProblemKind::Deadlock, what);
        return kWaitFailed;
    }
    c.process.clock += std::uint64_t{ms} * 10000;
    return kWaitTimeout;
}

std::uint32_t WaitForSingleObject(Stdcall& c, std::uint32_t h, std::uint32_t ms) {
    KernelObject pseudo{.kind = KernelObject::Kind::kThread};
    KernelObject* o = h == kCurrentThread || h == kCurrentProcess ? &pseudo : object(c, h);
    if (!o) {
        c.set_last_error(kErrorInvalidHandle);
        return kWaitFailed;
    }
    if (signaled(*o)) {
        take(*o);
        return 0;
    }
    return wait_out(c, ms, "an object");
}
std::uint32_t WaitForMultipleObjects(Stdcall& c, std::uint32_t n, Ptr<std::uint32_t> handles, std::uint32_t all,
                                     std::uint32_t ms) {
    if (n == 0 || n > 64) {
        c.set_last_error(kErrorInvalidParameter);
        return kWaitFailed;
    }
    std::vector<KernelObject*> objects;
    for (std::uint32_t i = 0; i < n; ++i) {
        KernelObject* o = object(c, c.read(handles, i));
        if (!o) {
            c.set_last_error(kErrorInvalidHandle);
            return kWaitFailed;
        }
        objects.push_back(o);
    }
    if (all) {
        if (std::all_of(objects.begin(), objects.end(), [](const KernelObject* o) { return signaled(*o); })) {
            for (KernelObject* o : objects) take(*o);
            return 0;
        }
    } else {
        for (std::uint32_t i = 0; i < n; ++i) {
            if (signaled(*objects[i])) {
                take(*objects[i]);
                return i;
            }
        }
    }
    return wait_out(c, ms, "objects");
}

// --- text -----------------------------------------------------------------

void OutputDebugStringA(Stdcall& c, Str text) {
    if (text) c.string(text);  // read as the real one reads it; no debugger is listening
}
void OutputDebugStringW(Stdcall& c, WStr text) {
    if (text) c.wide(text);
}

}  // namespace

// Functions of this DLL written in other sources of the process.
std::uint32_t MultiByteToWideChar(Stdcall& c, std::uint32_t page, std::uint32_t flags, Str in, std::int32_t n, WStr out,
                                  std::int32_t room);
std::uint32_t WideCharToMultiByte(Stdcall& c, std::uint32_t page, std::uint32_t flags, WStr in, std::int32_t n, Str out,
                                  std::int32_t room, Str fallback, Ptr<std::uint32_t> used);
std::uint32_t IsDBCSLeadByteEx(Stdcall& c, std::uint32_t page, std::uint32_t byte);
std::uint32_t IsDBCSLeadByte(Stdcall& c, std::uint32_t byte);
std::uint32_t FormatMessageA(Stdcall& c, std::uint32_t flags, Addr source, std::uint32_t id, std::uint32_t language,
                             Str buffer, std::uint32_t size, Addr args);
std::uint32_t GetACP(Stdcall& c);
std::uint32_t GetOEMCP(Stdcall& c);

namespace {

constexpr Export kExports[] = {
    fn<&AddVectoredExceptionHandler>("AddVectoredExceptionHandler"),
    fn<&CloseHandle>("CloseHandle"),
    fn<&CreateEventA>("CreateEventA"),
    fn<&CreateEventW>("CreateEventW"),
    fn<&CreateSemaphoreA>("CreateSemaphoreA"),
    fn<&CreateSemaphoreW>("CreateSemaphoreW"),
    fn<&DeleteCriticalSection>("DeleteCriticalSection"),
    fn<&DuplicateHandle>("DuplicateHandle"),
    fn<&EnterCriticalSection>("EnterCriticalSection"),
    fn<&FormatMessageA>("FormatMessageA"),
    fn<&FreeLibrary>("FreeLibrary"),
    fn<&GetACP>("GetACP"),
    fn<&GetCurrentProcess>("GetCurrentProcess"),
    fn<&GetCurrentProcessId>("GetCurrentProcessId"),
    fn<&GetCurrentThread>("GetCurrentThread"),
    fn<&GetCurrentThreadId>("GetCurrentThreadId"),
    fn<&GetHandleInformation>("GetHandleInformation"),
    fn<&GetLastError>("GetLastError"),
    fn<&GetLocalTime>("GetLocalTime"),
    fn<&GetModuleHandleA>("GetModuleHandleA"),
    fn<&GetModuleHandleW>("GetModuleHandleW"),
    fn<&GetOEMCP>("GetOEMCP"),
    fn<&GetProcAddress>("GetProcAddress"),
    fn<&GetProcessAffinityMask>("GetProcessAffinityMask"),
    fn<&GetSystemTime>("GetSystemTime"),
    fn<&GetSystemTimeAsFileTime>("GetSystemTimeAsFileTime"),
    fn<&GetSystemTimePreciseAsFileTime>("GetSystemTimePreciseAsFileTime"),
    fn<&GetThreadPriority>("GetThreadPriority"),
    fn<&GetTickCount>("GetTickCount"),
    fn<&GetTickCount64>("GetTickCount64"),
    fn<&InitializeCriticalSection>("InitializeCriticalSection"),
    fn<&InitializeCriticalSectionAndSpinCount>("InitializeCriticalSectionAndSpinCount"),
    fn<&IsDBCSLeadByte>("IsDBCSLeadByte"),
    fn<&IsDBCSLeadByteEx>("IsDBCSLeadByteEx"),
    fn<&IsDebuggerPresent>("IsDebuggerPresent"),
    fn<&IsProcessorFeaturePresent>("IsProcessorFeaturePresent"),
    fn<&LeaveCriticalSection>("LeaveCriticalSection"),
    fn<&LoadLibraryA>("LoadLibraryA"),
    fn<&LoadLibraryW>("LoadLibraryW"),
    fn<&LocalAlloc>("LocalAlloc"),
    fn<&LocalFree>("LocalFree"),
    fn<&MultiByteToWideChar>("MultiByteToWideChar"),
    fn<&OpenProcess>("OpenProcess"),
    fn<&OutputDebugStringA>("OutputDebugStringA"),
    fn<&OutputDebugStringW>("OutputDebugStringW"),
    fn<&QueryPerformanceCounter>("QueryPerformanceCounter"),
    fn<&QueryPerformanceFrequency>("QueryPerformanceFrequency"),
    fn<&RaiseException>("RaiseException"),
    fn<&ReleaseSemaphore>("ReleaseSemaphore"),
    fn<&RemoveVectoredExceptionHandler>("RemoveVectoredExceptionHandler"),
    fn<&ResetEvent>("ResetEvent"),
    fn<&RtlUnwind>("RtlUnwind"),
    fn<&SetEvent>("SetEvent"),
    fn<&SetLastError>("SetLastError"),
    fn<&SetProcessAffinityMask>("SetProcessAffinityMask"),
    fn<&SetThreadPriority>("SetThreadPriority"),
    fn<&Sleep>("Sleep"),
    fn<&SleepEx>("SleepEx"),
    fn<&TlsAlloc>("TlsAlloc"),
    fn<&TlsFree>("TlsFree"),
    fn<&TlsGetValue>("TlsGetValue"),
    fn<&TlsSetValue>("TlsSetValue"),
    fn<&TryEnterCriticalSection>("TryEnterCriticalSection"),
    fn<&VirtualProtect>("VirtualProtect"),
    fn<&VirtualQuery>("VirtualQuery"),
    fn<&WaitForMultipleObjects>("WaitForMultipleObjects"),
    fn<&WaitForSingleObject>("WaitForSingleObject"),
    fn<&WideCharToMultiByte>("WideCharToMultiByte"),
};

}  // namespace

const DllTable kKernel32{"kernel32.dll", std::begin(kExports), std::end(kExports)};

}  // namespace q7host::win
