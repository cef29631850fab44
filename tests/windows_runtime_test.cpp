// The Windows process the host gives a module, driven as the module's own code drives it: x86 code
// pushes the arguments and calls the bound import, so that each function's calling convention (the
// machine checks the stack's balance), its results, its effect on memory and its errors are what
// the module sees. Each table's rows are Windows's documented outcomes; a row that rests on Wine's
// conformance tests (which pass on Windows) says which.
#include "panel/hex.h"
#include "host/machine.h"
#include "host/windows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace {

using q7host::Addr;
using q7host::Machine;
using q7host::ProblemKind;

// What a row sets the last error (or errno) to first, as Wine's tests do, so
// that a function that leaves it alone is told from one that clears it.
constexpr std::uint32_t kUntouched = 0xDEADBEEF;
constexpr std::int32_t kErrnoUntouched = static_cast<std::int32_t>(kUntouched);

// x86 code, little-endian.
struct Code {
    std::vector<std::uint8_t> bytes;
    Code& op(std::initializer_list<std::uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Code& imm(std::uint32_t v) {
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        return *this;
    }
    Code& push(std::uint32_t v) { return op({0x68}).imm(v); }
    Code& call(Addr f) { return op({0xB8}).imm(f).op({0xFF, 0xD0}); }  // mov eax, f; call eax
    std::size_t size() const { return bytes.size(); }
};

std::vector<std::uint32_t> words_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return {static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(b >> 32)};
}

// A process on a machine of its own, and the calls the module's code makes into it.
class Process {
public:
    struct Result {
        bool completed = false;
        std::uint32_t eax = 0, edx = 0;
        double st0 = 0;
        std::uint64_t edx_eax() const { return std::uint64_t{edx} << 32 | eax; }
    };

    Process() {
        // The caller: pushes `count` words from `args`, the last first; calls
        // through `target`; removes `cleanup` bytes (what a cdecl function
        // leaves); keeps edx:eax and, in the second form, st(0).
        for (const bool returns_double : {false, true}) {
            Code c;
            c.op({0x8B, 0x0D}).imm(count_);                           // mov ecx, [count]
            c.op({0xE3, 0x09});                                       // jecxz past the loop
            c.op({0xFF, 0x34, 0x8D}).imm(args_ - 4);                  // push [args + ecx*4 - 4]
            c.op({0xE2, 0xF7});                                       // loop
            c.op({0xFF, 0x15}).imm(target_);                          // call [target]
            c.op({0x03, 0x25}).imm(cleanup_);                         // add esp, [cleanup]
            c.op({0xA3}).imm(result_);                                // mov [result], eax
            c.op({0x89, 0x15}).imm(result_ + 4);                      // mov [result+4], edx
            if (returns_double) c.op({0xDD, 0x1D}).imm(result_ + 8);  // fstp qword [result+8]
            c.op({0xC3});
            (returns_double ? double_caller_ : caller_) = m.place_code(c.bytes);
        }
    }

    Addr import(std::string_view dll, std::string_view name) {
        const q7host::ImportBinding b = windows.bind(dll, name);
        EXPECT_NE(b.address, 0u) << dll << "!" << name << ": " << b.why;
        return b.address;
    }

    // Calls DLL!name as module code does: msvcrt's functions (and a
    // variadic one) are cdecl, the caller removing the arguments; the
    // others stdcall.
    Result call(std::string_view dll, std::string_view name, const std::vector<std::uint32_t>& words,
                bool returns_double = false) {
        const bool cdecl = dll == "msvcrt.dll" || name == "wsprintfA";
        m.write<std::uint32_t>(target_, import(dll, name));
        m.write<std::uint32_t>(count_, static_cast<std::uint32_t>(words.size()));
        m.write<std::uint32_t>(cleanup_, cdecl ? static_cast<std::uint32_t>(4 * words.size()) : 0);
        for (std::size_t i = 0; i < words.size(); ++i)
            m.write<std::uint32_t>(args_ + 4 * static_cast<Addr>(i), words[i]);
        Result r;
        r.completed =
            m.call("module code", returns_double ? double_caller_ : caller_, {}, q7host::Returns::kInt).completed;
        r.eax = m.read(result_);
        r.edx = m.read(result_ + 4);
        r.st0 = m.read<double>(result_ + 8);
        return r;
    }
    Result k32(std::string_view name, const std::vector<std::uint32_t>& words = {}) {
        return call("kernel32.dll", name, words);
    }
    Result crt(std::string_view name, const std::vector<std::uint32_t>& words = {}, bool returns_double = false) {
        return call("msvcrt.dll", name, words, returns_double);
    }

    std::uint32_t last_error() { return k32("GetLastError").eax; }
    void set_last_error(std::uint32_t e) { k32("SetLastError", {e}); }
    Addr errno_slot() { return crt("_errno").eax; }
    std::int32_t errno_value() { return m.read<std::int32_t>(errno_slot()); }
    void set_errno(std::uint32_t e) { m.write<std::uint32_t>(errno_slot(), e); }

    // Memory of the module's: a text, wide text, a buffer of `n` bytes of `fill`.
    Addr text(std::string_view s) {
        const Addr a = m.allocate(s.size() + 1);
        m.write_bytes(a, s.data(), s.size());
        return a;
    }
    Addr wide(std::u16string_view s) {
        const Addr a = m.allocate(2 * (s.size() + 1));
        m.write_bytes(a, s.data(), 2 * s.size());
        return a;
    }
    Addr buffer(std::size_t n, std::uint8_t fill = 0xCC) { return m.allocate(n, fill); }
    std::u16string read_wide(Addr a, std::size_t n) {
        std::u16string s(n, u'\0');
        m.read_bytes(a, s.data(), 2 * n);
        return s;
    }

    std::string problems() const {
        std::string all;
        for (const auto& p : m.problems()) all += p.sentence() + "\n";
        return all;
    }
    bool has_problem(ProblemKind kind) const {
        return std::any_of(m.problems().begin(), m.problems().end(), [&](const auto& p) { return p.kind == kind; });
    }

    Machine m;
    q7host::WindowsProcess windows{m};

private:
    Addr count_ = m.allocate(4), target_ = m.allocate(4), cleanup_ = m.allocate(4), result_ = m.allocate(16),
         args_ = m.allocate(4 * 32);
    Addr caller_ = 0, double_caller_ = 0;
};

// --- the heap ------------------------------------------------------------

TEST(WindowsRuntime, HeapBlocksAndRefusals) {
    constexpr std::int32_t kEnomem = 12;
    const struct {
        const char* label;
        const char* function;
        std::vector<std::uint32_t> args;
        bool refused;
    } cases[] = {
        {"malloc(0) is a block of its own", "malloc", {0}, false},
        {"malloc(1)", "malloc", {1}, false},
        {"malloc(13)", "malloc", {13}, false},
        {"malloc(4096)", "malloc", {4096}, false},
        {"malloc of more than the heap holds", "malloc", {64u << 20}, true},
        {"malloc(0xFFFFFFFF)", "malloc", {0xFFFFFFFF}, true},
        {"calloc(8, 16)", "calloc", {8, 16}, false},
        {"calloc whose product overflows 32 bits", "calloc", {0x10000, 0x10001}, true},
        {"calloc whose product wraps to exactly 0", "calloc", {0x40000000, 4}, true},
        {"realloc(NULL, 24) is malloc(24)", "realloc", {0, 24}, false},
    };
    Process p;
    std::vector<Addr> blocks;
    for (const auto& c : cases) {
        p.set_errno(kUntouched);
        const auto r = p.crt(c.function, c.args);
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        if (c.refused) {
            EXPECT_EQ(r.eax, 0u) << c.label;
            EXPECT_EQ(p.errno_value(), kEnomem) << c.label;
            continue;
        }
        ASSERT_NE(r.eax, 0u) << c.label;
        EXPECT_EQ(r.eax % 8, 0u) << c.label << ": " << q7host::hex(r.eax, 8);
        EXPECT_EQ(std::count(blocks.begin(), blocks.end(), r.eax), 0) << c.label << ": handed out twice";
        blocks.push_back(r.eax);
    }
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
}

// What realloc and calloc do with the memory they hand out.
TEST(WindowsRuntime, HeapContents) {
    Process p;
    // calloc zeroes memory a freed block left dirty.
    const Addr dirty = p.crt("malloc", {64}).eax;
    const std::vector<std::uint8_t> junk(64, 0xAB);
    p.m.write_bytes(dirty, junk.data(), junk.size());
    p.crt("free", {dirty});
    const Addr zeroed = p.crt("calloc", {16, 4}).eax;
    ASSERT_NE(zeroed, 0u);
    EXPECT_EQ(p.m.read_bytes(zeroed, 64), std::vector<std::uint8_t>(64, 0));
    // realloc keeps the contents when the block grows where it cannot stay;
    // a refused realloc leaves the block as it was.
    const Addr a = p.crt("malloc", {16}).eax;
    p.m.write_bytes(a, "0123456789abcdef", 16);
    p.crt("malloc", {16});  // in the way of growing in place
    const Addr grown = p.crt("realloc", {a, 4000}).eax;
    ASSERT_NE(grown, 0u);
    EXPECT_EQ(p.m.read_cstring(grown, 16), "0123456789abcdef");
    EXPECT_EQ(p.crt("realloc", {grown, 0xFFFFFFF0}).eax, 0u);
    EXPECT_EQ(p.m.read_cstring(grown, 16), "0123456789abcdef");
    EXPECT_EQ(p.crt("_msize", {grown}).eax, 4000u);
    // realloc to 0 frees the block (msvcrt returns NULL): freeing it again is the double free.
    EXPECT_EQ(p.crt("realloc", {grown, 0}).eax, 0u);
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
    EXPECT_FALSE(p.crt("free", {grown}).completed);
    EXPECT_TRUE(p.has_problem(ProblemKind::BadPointer)) << p.problems();
}

// A pointer the heap did not hand out ends the module's call as its fault, never the host's.
TEST(WindowsRuntime, HeapMisuseIsTheModulesFault) {
    enum class Pointer { kFreed, kInsideBlock, kNeverHanded, kHostData };
    const struct {
        const char* label;
        const char* function;
        Pointer pointer;
    } cases[] = {
        {"free twice", "free", Pointer::kFreed},
        {"free inside a block", "free", Pointer::kInsideBlock},
        {"free of heap memory never handed out", "free", Pointer::kNeverHanded},
        {"free of memory that is not the heap's", "free", Pointer::kHostData},
        {"realloc of a freed block", "realloc", Pointer::kFreed},
        {"_msize-free: realloc inside a block", "realloc", Pointer::kInsideBlock},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr block = p.crt("malloc", {32}).eax;
        Addr bad = 0;
        switch (c.pointer) {
            case Pointer::kFreed:
                p.crt("free", {block});
                bad = block;
                break;
            case Pointer::kInsideBlock: bad = block + 8; break;
            case Pointer::kNeverHanded: bad = block + 0x1000; break;
            case Pointer::kHostData: bad = p.buffer(32); break;
        }
        ASSERT_TRUE(p.m.problems().empty()) << c.label << ": " << p.problems();
        EXPECT_FALSE(p.crt(c.function, {bad, 8}).completed) << c.label;
        ASSERT_EQ(p.m.problems().size(), 1u) << c.label << ": " << p.problems();
        EXPECT_EQ(p.m.problems()[0].kind, ProblemKind::BadPointer) << c.label << ": " << p.problems();
    }
}

// --- last error and thread-local storage -----------------------------------

TEST(WindowsRuntime, LastErrorAndThreadLocalStorage) {
    constexpr std::uint32_t kSlot = 0x510710;  // stands for the slot TlsAlloc gave
    constexpr std::uint32_t kSlots = 64 + 1024;
    const struct {
        const char* label;
        const char* function;
        std::vector<std::uint32_t> args;
        std::uint32_t result;  // kSlot: any index below kSlots, kept as the slot
        std::uint32_t error;   // the last error after the call
    } cases[] = {
        {"SetLastError then GetLastError", "GetLastError", {}, kUntouched, kUntouched},
        {"TlsAlloc", "TlsAlloc", {}, kSlot, kUntouched},
        {"a new slot holds 0; TlsGetValue clears the last error", "TlsGetValue", {kSlot}, 0, 0},
        {"TlsSetValue", "TlsSetValue", {kSlot, 0xFEED}, 1, kUntouched},
        {"TlsGetValue gives it back", "TlsGetValue", {kSlot}, 0xFEED, 0},
        {"TlsFree", "TlsFree", {kSlot}, 1, kUntouched},
        {"TlsFree of a slot not allocated", "TlsFree", {kSlot}, 0, 87},
        {"TlsAlloc gives the freed slot again", "TlsAlloc", {}, kSlot, kUntouched},
        {"... and TlsFree cleared it", "TlsGetValue", {kSlot}, 0, 0},
        {"TlsGetValue past the last slot", "TlsGetValue", {kSlots}, 0, 87},
        {"TlsSetValue past the last slot", "TlsSetValue", {kSlots, 1}, 0, 87},
        {"TlsFree(TLS_OUT_OF_INDEXES)", "TlsFree", {0xFFFFFFFF}, 0, 87},
    };
    Process p;
    std::uint32_t slot = 0;
    for (const auto& c : cases) {
        p.set_last_error(kUntouched);
        std::vector<std::uint32_t> args = c.args;
        for (auto& a : args) a = a == kSlot ? slot : a;
        const auto r = p.k32(c.function, args);
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        if (c.result == kSlot) {
            EXPECT_LT(r.eax, kSlots) << c.label;
            if (slot) {
                EXPECT_EQ(r.eax, slot) << c.label;
            }
            slot = r.eax;
        } else {
            EXPECT_EQ(r.eax, c.result) << c.label;
        }
        EXPECT_EQ(p.last_error(), c.error) << c.label;
    }
    // Every slot, the expansion slots past the first 64 included, holds its
    // own value; past the last TlsAlloc fails with ERROR_NO_MORE_ITEMS.
    std::vector<std::uint32_t> all;
    for (std::uint32_t i = 0;; ++i) {
        const std::uint32_t s = p.k32("TlsAlloc").eax;
        if (s == 0xFFFFFFFF) {
            EXPECT_EQ(p.last_error(), 259u);
            break;
        }
        ASSERT_LT(i, kSlots) << "TlsAlloc never ran out";
        EXPECT_EQ(p.k32("TlsSetValue", {s, 0x1000 + s}).eax, 1u) << s;
        all.push_back(s);
    }
    EXPECT_EQ(all.size() + 1, kSlots);  // the one allocated above
    for (const std::uint32_t s : all) ASSERT_EQ(p.k32("TlsGetValue", {s}).eax, 0x1000 + s) << s;
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
}

// --- critical sections ------------------------------------------------------

TEST(WindowsRuntime, CriticalSections) {
    // RTL_CRITICAL_SECTION: DebugInfo, LockCount, RecursionCount, OwningThread, ...
    const struct {
        const char* label;
        const char* function;
        std::uint32_t recursion;
        bool owned;
    } cases[] = {
        {"InitializeCriticalSection", "InitializeCriticalSection", 0, false},
        {"EnterCriticalSection", "EnterCriticalSection", 1, true},
        {"TryEnterCriticalSection by its owner", "TryEnterCriticalSection", 2, true},
        {"EnterCriticalSection again", "EnterCriticalSection", 3, true},
        {"LeaveCriticalSection", "LeaveCriticalSection", 2, true},
        {"LeaveCriticalSection", "LeaveCriticalSection", 1, true},
        {"the last LeaveCriticalSection", "LeaveCriticalSection", 0, false},
    };
    Process p;
    const std::uint32_t thread = p.k32("GetCurrentThreadId").eax;
    const Addr cs = p.buffer(24);
    for (const auto& c : cases) {
        ASSERT_TRUE(p.k32(c.function, {cs}).completed) << c.label << ": " << p.problems();
        EXPECT_EQ(p.m.read(cs + 8), c.recursion) << c.label;
        EXPECT_EQ(p.m.read(cs + 12), c.owned ? thread : 0u) << c.label;
    }
    // A critical section where the module may not write faults in its call.
    EXPECT_FALSE(p.k32("EnterCriticalSection", {p.m.allocate_constant(24)}).completed);
    EXPECT_TRUE(p.has_problem(ProblemKind::Crash)) << p.problems();
}

// --- events, semaphores and waits ------------------------------------------

TEST(WindowsRuntime, EventsSemaphoresAndWaits) {
    constexpr std::uint32_t kWaitTimeout = 0x102, kWaitFailed = 0xFFFFFFFF;
    Process p;
    // Handles the rows name: an auto-reset and a manual-reset event, both
    // signaled; an event nobody signals; a semaphore holding 1 of 2.
    const std::uint32_t automatic = p.k32("CreateEventA", {0, 0, 1, 0}).eax;
    const std::uint32_t manual = p.k32("CreateEventA", {0, 1, 1, 0}).eax;
    const std::uint32_t never = p.k32("CreateEventA", {0, 1, 0, 0}).eax;
    const std::uint32_t semaphore = p.k32("CreateSemaphoreA", {0, 1, 2, 0}).eax;
    ASSERT_TRUE(automatic && manual && never && semaphore) << p.problems();
    const Addr pair = p.buffer(8), previous = p.buffer(4);
    const struct {
        const char* label;
        const char* function;
        std::vector<std::uint32_t> args;
        std::uint32_t result;
        std::uint32_t error;
    } cases[] = {
        {"an auto-reset event: the first wait takes the signal", "WaitForSingleObject", {automatic, 0}, 0, kUntouched},
        {"... the second times out", "WaitForSingleObject", {automatic, 0}, kWaitTimeout, kUntouched},
        {"a manual-reset event stays signaled", "WaitForSingleObject", {manual, 0}, 0, kUntouched},
        {"... and again", "WaitForSingleObject", {manual, 0}, 0, kUntouched},
        {"ResetEvent", "ResetEvent", {manual}, 1, kUntouched},
        {"... then the wait times out", "WaitForSingleObject", {manual, 10}, kWaitTimeout, kUntouched},
        {"SetEvent", "SetEvent", {automatic}, 1, kUntouched},
        {"WaitForMultipleObjects (any): the index of the signaled one",
         "WaitForMultipleObjects",
         {2, pair, 0, 0},
         1,
         kUntouched},
        {"... which took its signal", "WaitForSingleObject", {automatic, 0}, kWaitTimeout, kUntouched},
        {"a semaphore's count: one wait", "WaitForSingleObject", {semaphore, 0}, 0, kUntouched},
        {"... then none", "WaitForSingleObject", {semaphore, 0}, kWaitTimeout, kUntouched},
        {"ReleaseSemaphore past its maximum", "ReleaseSemaphore", {semaphore, 3, previous}, 0, 298},
        {"ReleaseSemaphore(2) up to its maximum", "ReleaseSemaphore", {semaphore, 2, previous}, 1, kUntouched},
        {"ReleaseSemaphore(1) past its maximum", "ReleaseSemaphore", {semaphore, 1, previous}, 0, 298},
        {"ReleaseSemaphore(0)", "ReleaseSemaphore", {semaphore, 0, previous}, 0, 87},
        {"CreateSemaphoreA with more than its maximum", "CreateSemaphoreA", {0, 3, 2, 0}, 0, 87},
        {"SetEvent on a semaphore", "SetEvent", {semaphore}, 0, 6},
        {"a wait on a handle that names nothing", "WaitForSingleObject", {0x4321, 0}, kWaitFailed, 6},
        {"CloseHandle", "CloseHandle", {never}, 1, kUntouched},
        {"CloseHandle twice", "CloseHandle", {never}, 0, 6},
    };
    p.m.write<std::uint32_t>(pair, p.k32("CreateEventA", {0, 0, 0, 0}).eax);
    p.m.write<std::uint32_t>(pair + 4, automatic);
    for (const auto& c : cases) {
        p.set_last_error(kUntouched);
        const auto r = p.k32(c.function, c.args);
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        EXPECT_EQ(r.eax, c.result) << c.label;
        EXPECT_EQ(p.last_error(), c.error) << c.label;
    }
    EXPECT_EQ(p.m.read(previous), 0u) << "the count before ReleaseSemaphore(2)";
    // A wait that times out lets its time pass.
    const std::uint32_t before = p.k32("GetTickCount").eax;
    EXPECT_EQ(p.k32("WaitForSingleObject", {automatic, 250}).eax, kWaitTimeout);
    EXPECT_GE(p.k32("GetTickCount").eax - before, 250u);
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
    // An infinite wait on what no thread of the process can signal is the module's hang.
    EXPECT_FALSE(p.k32("WaitForSingleObject", {automatic, 0xFFFFFFFF}).completed);
    ASSERT_EQ(p.m.problems().size(), 1u) << p.problems();
    EXPECT_EQ(p.m.problems()[0].kind, ProblemKind::Deadlock);
}

// --- code pages -------------------------------------------------------------

TEST(WindowsRuntime, MultiByteToWideChar) {
    constexpr std::uint32_t kUtf8 = 65001, kErrInvalidChars = 8;
    const struct {
        const char* label;
        std::uint32_t page, flags;
        std::string in;
        std::int32_t length;  // -1: to the NUL, which is converted too
        std::int32_t room;
        std::uint32_t result;
        std::u16string out;
        std::uint32_t error;
    } cases[] = {
        {"1252: the size asked for, the NUL included", 1252, 0, "\x80 ab", -1, 0, 5, u"", kUntouched},
        {"1252: 0x80 is the euro sign", 1252, 0, "\x80\x9F\xE9", 3, 8, 3, u"\u20AC\u0178\u00E9", kUntouched},
        {"CP_ACP is 1252", 0, 0, "\x99", 1, 8, 1, u"\u2122", kUntouched},
        {"1252: room for the text but not its NUL", 1252, 0, "abc", -1, 3, 0, u"", 122},
        {"UTF-8: two bytes make one unit", kUtf8, 0, "\xC3\xA9", 2, 8, 1, u"\u00E9", kUntouched},
        {"UTF-8: four bytes make a surrogate pair", kUtf8, 0, "\xF0\x9F\x8D\xB7", 4, 8, 2, u"\xD83C\xDF77", kUntouched},
        {"UTF-8: a broken sequence becomes U+FFFD", kUtf8, 0, "\xC3 a", 3, 8, 3, u"\uFFFD a", kUntouched},
        {"UTF-8 with MB_ERR_INVALID_CHARS refuses it", kUtf8, kErrInvalidChars, "\xC3 a", 3, 8, 0, u"", 1113},
        {"UTF-8: an overlong form is invalid", kUtf8, kErrInvalidChars, "\xC0\xAF", 2, 8, 0, u"", 1113},
        {"a code page Windows does not have", 12345, 0, "a", 1, 8, 0, u"", 87},
        {"a length of 0", 1252, 0, "a", 0, 8, 0, u"", 87},
        {"a negative room", 1252, 0, "a", 1, -1, 0, u"", 87},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr in = p.text(c.in), out = p.buffer(32);
        p.set_last_error(kUntouched);
        const auto r = p.k32("MultiByteToWideChar", {c.page, c.flags, in, static_cast<std::uint32_t>(c.length),
                                                     c.room ? out : 0, static_cast<std::uint32_t>(c.room)});
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        EXPECT_EQ(r.eax, c.result) << c.label;
        EXPECT_EQ(p.last_error(), c.error) << c.label;
        if (!c.out.empty()) {
            EXPECT_EQ(p.read_wide(out, c.out.size()), c.out) << c.label;
        }
    }
}

TEST(WindowsRuntime, WideCharToMultiByte) {
    constexpr std::uint32_t kUtf8 = 65001;
    const struct {
        const char* label;
        std::uint32_t page;
        std::u16string in;
        std::int32_t length;
        std::int32_t room;
        bool ask_used;  // pass a BOOL for "a default character was used"
        std::uint32_t result;
        std::string out;
        std::uint32_t used;
        std::uint32_t error;
    } cases[] = {
        {"1252: the size asked for, the NUL included", 1252, u"\u20ACab", -1, 0, false, 4, "", 0, kUntouched},
        {"1252: the euro sign is 0x80", 1252, u"\u20AC\u00E9", 2, 8, true, 2, "\x80\xE9", 0, kUntouched},
        {"1252: what it lacks is '?', and said so", 1252, u"a\u2606", 2, 8, true, 2, "a?", 1, kUntouched},
        {"1252: too little room", 1252, u"abc", 3, 2, false, 0, "", 0, 122},
        {"UTF-8: U+00E9 is two bytes", kUtf8, u"\u00E9", 1, 8, false, 2, "\xC3\xA9", 0, kUntouched},
        {"UTF-8: a surrogate pair is four", kUtf8, u"\xD83C\xDF77", 2, 8, false, 4, "\xF0\x9F\x8D\xB7", 0, kUntouched},
        // CP_UTF8 takes no default character and no flag for it.
        {"UTF-8 with lpUsedDefaultChar", kUtf8, u"a", 1, 8, true, 0, "", 0, 87},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr in = p.wide(c.in), out = p.buffer(32), used = p.buffer(4);
        p.set_last_error(kUntouched);
        const auto r =
            p.k32("WideCharToMultiByte", {c.page, 0, in, static_cast<std::uint32_t>(c.length), c.room ? out : 0,
                                          static_cast<std::uint32_t>(c.room), 0, c.ask_used ? used : 0});
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        EXPECT_EQ(r.eax, c.result) << c.label;
        EXPECT_EQ(p.last_error(), c.error) << c.label;
        if (!c.out.empty()) {
            EXPECT_EQ(p.m.read_cstring(out, c.out.size()), c.out) << c.label;
        }
        if (c.ask_used && c.result) {
            EXPECT_EQ(p.m.read(used), c.used) << c.label;
        }
    }
}

// --- modules --------------------------------------------------------------

TEST(WindowsRuntime, ModuleHandlesAndProcedures) {
    constexpr Addr kBase = 0x5E700000, kLinkage = 0x5E703000;
    Process p;
    p.windows.set_module({.base = kBase,
                          .name = "quorlan7.gau",
                          .export_address = [](std::string_view name, std::uint32_t ordinal) -> Addr {
                              return name == "Linkage" || (name.empty() && ordinal == 2) ? kLinkage : 0;
                          }});
    const Addr kernel32 = p.k32("GetModuleHandleA", {p.text("KERNEL32.DLL")}).eax;
    ASSERT_NE(kernel32, 0u);
    enum class Gives { kNull, kSome, kKernel32, kBase, kLinkage };
    const struct {
        const char* label;
        const char* function;
        std::optional<std::string> name;  // the text argument, or NULL
        Addr module;                      // GetProcAddress's module
        Gives want;
        std::uint32_t error;
    } cases[] = {
        {"GetModuleHandleA(\"kernel32\"): the extension may be left off", "GetModuleHandleA", "kernel32", 0,
         Gives::kKernel32, kUntouched},
        {"GetModuleHandleA with a path", "GetModuleHandleA", "C:\\Windows\\System32\\kernel32.dll", 0, Gives::kKernel32,
         kUntouched},
        {"GetModuleHandleA of the module itself", "GetModuleHandleA", "QUORLAN7.GAU", 0, Gives::kBase, kUntouched},
        {"GetModuleHandleA(NULL): the program", "GetModuleHandleA", std::nullopt, 0, Gives::kSome, kUntouched},
        {"GetModuleHandleA of a DLL no Windows has", "GetModuleHandleA", "libgcc_s_dw2-1.dll", 0, Gives::kNull, 126},
        {"LoadLibraryA of a system DLL", "LoadLibraryA", "user32.dll", 0, Gives::kSome, kUntouched},
        {"LoadLibraryA of a DLL no Windows has", "LoadLibraryA", "libgcc_s_dw2-1.dll", 0, Gives::kNull, 126},
        {"GetProcAddress of a function the host models", "GetProcAddress", "GetLastError", kernel32, Gives::kSome,
         kUntouched},
        {"GetProcAddress of a name the DLL does not export", "GetProcAddress", "GetLastErrorX", kernel32, Gives::kNull,
         127},
        {"GetProcAddress in the module", "GetProcAddress", "Linkage", kBase, Gives::kLinkage, kUntouched},
        {"GetProcAddress in the module by ordinal", "GetProcAddress", std::nullopt, kBase, Gives::kLinkage, kUntouched},
        {"GetProcAddress of a name the module does not export", "GetProcAddress", "ImportTableX", kBase, Gives::kNull,
         127},
    };
    for (const auto& c : cases) {
        p.set_last_error(kUntouched);
        const std::uint32_t name = c.name ? p.text(*c.name) : (c.module ? 2u : 0u);
        const auto r = c.module ? p.k32(c.function, {c.module, name}) : p.k32(c.function, {name});
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        switch (c.want) {
            case Gives::kNull: EXPECT_EQ(r.eax, 0u) << c.label; break;
            case Gives::kSome: EXPECT_NE(r.eax, 0u) << c.label; break;
            case Gives::kKernel32: EXPECT_EQ(r.eax, kernel32) << c.label; break;
            case Gives::kBase: EXPECT_EQ(r.eax, kBase) << c.label; break;
            case Gives::kLinkage: EXPECT_EQ(r.eax, kLinkage) << c.label; break;
        }
        EXPECT_EQ(p.last_error(), c.error) << c.label;
    }
    // What GetProcAddress gives is the function: called, it runs; one
    // Windows has and this host does not model says so when called.
    p.set_last_error(1234);
    const Addr get_last_error = p.k32("GetProcAddress", {kernel32, p.text("GetLastError")}).eax;
    const Addr create_file = p.k32("GetProcAddress", {kernel32, p.text("CreateFileA")}).eax;
    ASSERT_NE(create_file, 0u);
    EXPECT_EQ(p.m.call("module code", get_last_error, {}, q7host::Returns::kInt).eax, 1234u);
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
    EXPECT_FALSE(p.m.call("module code", create_file, {0, 0, 0, 0, 0, 0, 0}, q7host::Returns::kInt).completed);
    ASSERT_EQ(p.m.problems().size(), 1u) << p.problems();
    EXPECT_EQ(p.m.problems()[0].kind, ProblemKind::NotModelled);
    EXPECT_NE(p.m.problems()[0].detail.find("KERNEL32!CreateFileA"), std::string::npos) << p.problems();
}

// --- virtual memory ---------------------------------------------------------

TEST(WindowsRuntime, VirtualQueryAndVirtualProtect) {
    constexpr Addr kRegion = 0x50000000, kFree = 0x58000000;
    constexpr std::uint32_t kNoAccess = 1, kReadOnly = 2, kReadWrite = 4, kExecuteWriteCopy = 0x80;
    constexpr std::uint32_t kCommit = 0x1000, kFreeState = 0x10000, kPrivate = 0x20000;
    constexpr std::uint32_t kAny = 0xFFFFFFFF;  // a free region's size: up to whatever is mapped next
    const struct {
        const char* label;
        const char* function;
        Addr at;
        std::uint32_t size_or_length;  // VirtualProtect's size, VirtualQuery's length
        std::uint32_t protect;         // VirtualProtect's new protection
        bool info_nowhere;             // the result buffer is NULL
        std::uint32_t result, error;
        // VirtualQuery's record: base, allocation base, region size, state, protection, type;
        // VirtualProtect's old protection.
        std::vector<std::uint32_t> want;
    } cases[] = {
        {"VirtualQuery of a read-write page",
         "VirtualQuery",
         kRegion + 0x10,
         28,
         0,
         false,
         28,
         kUntouched,
         {kRegion, kRegion, 0x2000, kCommit, kReadWrite, kPrivate}},
        {"VirtualQuery of a region's second page: from that page on",
         "VirtualQuery",
         kRegion + 0x1010,
         28,
         0,
         false,
         28,
         kUntouched,
         {kRegion + 0x1000, kRegion, 0x1000, kCommit, kReadWrite, kPrivate}},
        {"VirtualQuery of free memory",
         "VirtualQuery",
         kFree,
         28,
         0,
         false,
         28,
         kUntouched,
         {kFree, 0, kAny, kFreeState, kNoAccess, 0}},
        {"VirtualQuery with too short a length", "VirtualQuery", kRegion, 27, 0, false, 0, 24, {}},
        {"VirtualQuery into NULL", "VirtualQuery", kRegion, 28, 0, true, 0, 998, {}},
        {"VirtualProtect to read-only",
         "VirtualProtect",
         kRegion + 0x1000,
         1,
         kReadOnly,
         false,
         1,
         kUntouched,
         {kReadWrite}},
        {"... and VirtualQuery sees it",
         "VirtualQuery",
         kRegion + 0x1000,
         28,
         0,
         false,
         28,
         kUntouched,
         {kRegion + 0x1000, kRegion, 0x1000, kCommit, kReadOnly, kPrivate}},
        // Wine's kernel32 virtual.c, test_VirtualAlloc:
        {"VirtualProtect with no protection", "VirtualProtect", kRegion, 0x1000, 0, false, 0, 87, {}},
        {"VirtualProtect with two protections",
         "VirtualProtect",
         kRegion,
         0x1000,
         kReadWrite | kExecuteWriteCopy,
         false,
         0,
         87,
         {}},
        {"VirtualProtect of free memory", "VirtualProtect", kFree, 0x1000, kReadOnly, false, 0, 487, {}},
        {"VirtualProtect past the end of the allocation",
         "VirtualProtect",
         kRegion + 0x1000,
         0x2000,
         kReadOnly,
         false,
         0,
         487,
         {}},
        // "If this parameter is NULL or does not point to a valid variable, the function fails."
        {"VirtualProtect with no place for the old protection",
         "VirtualProtect",
         kRegion,
         0x1000,
         kReadOnly,
         true,
         0,
         998,
         {}},
    };
    Process p;
    p.m.map(kRegion, 0x2000, q7host::prot::kReadWrite);
    for (const auto& c : cases) {
        const Addr out = c.info_nowhere ? 0 : p.buffer(28);
        p.set_last_error(kUntouched);
        const auto r = std::string(c.function) == "VirtualQuery"
                           ? p.k32(c.function, {c.at, out, c.size_or_length})
                           : p.k32(c.function, {c.at, c.size_or_length, c.protect, out});
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        EXPECT_EQ(r.eax, c.result) << c.label;
        EXPECT_EQ(p.last_error(), c.error) << c.label;
        if (c.want.size() == 1) {
            EXPECT_EQ(p.m.read(out), c.want[0]) << c.label;
        }
        if (c.want.size() == 6) {
            // MEMORY_BASIC_INFORMATION: BaseAddress, AllocationBase, AllocationProtect, RegionSize, State, Protect, Type
            std::vector<std::uint32_t> got = {p.m.read(out),      p.m.read(out + 4),  p.m.read(out + 12),
                                              p.m.read(out + 16), p.m.read(out + 20), p.m.read(out + 24)};
            if (c.want[2] == kAny) got[2] = kAny;
            EXPECT_EQ(got, c.want) << c.label;
        }
    }
    // The page VirtualProtect made read-only: module code writing it faults.
    Code write;
    write.op({0xA3}).imm(kRegion + 0x1000).op({0xC3});  // mov [page], eax; ret
    EXPECT_FALSE(p.m.call("module code", p.m.place_code(write.bytes), {}, q7host::Returns::kInt).completed);
    EXPECT_TRUE(p.has_problem(ProblemKind::Crash)) << p.problems();
}

// --- msvcrt's printf ------------------------------------------------------

TEST(WindowsRuntime, PrintfFormatsAsMsvcrtDoes) {
    const double inf = std::numeric_limits<double>::infinity();
    // msvcrt's default NaN (the x87's "indefinite") has its sign bit set.
    const double indefinite = -std::numeric_limits<double>::quiet_NaN();
    const double qnan = std::numeric_limits<double>::quiet_NaN();
    auto cat = [](std::vector<std::uint32_t> a, const std::vector<std::uint32_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char* format;
        std::vector<std::uint32_t> args;  // 0x7E57 stands for the text "abcdef"
        const char* want;
    } cases[] = {
        {"%d|%i|%u", {static_cast<std::uint32_t>(-5), 7, 0xFFFFFFFF}, "-5|7|4294967295"},
        {"%5d|%-5d|%05d|%+d|% d", {42, 42, 42, 42, 42}, "   42|42   |00042|+42| 42"},
        {"%.3d|%.0d", {7, 0}, "007|"},
        {"%5.2f", words_of(3.14159), " 3.14"},
        {"%f", words_of(-0.5), "-0.500000"},
        // msvcrt writes an exponent with three digits.
        {"%e", words_of(1.0), "1.000000e+000"},
        {"%E", words_of(-12345.678), "-1.234568E+004"},
        {"%.2e", words_of(1e-10), "1.00e-010"},
        {"%g|%g|%g|%g", cat(cat(words_of(0.0001), words_of(1e-5)), cat(words_of(100000.0), words_of(1e6))),
         "0.0001|1e-005|100000|1e+006"},
        {"%G", words_of(1.5e-20), "1.5E-020"},
        {"%x|%X|%#x|%#X|%#x|%o|%#o", {255, 255, 255, 255, 0, 8, 8}, "ff|FF|0xff|0XFF|0|10|010"},
        {"%p", {0x1234}, "00001234"},
        {"%hd|%hu", {0x12345, 0xFFFFFFFF}, "9029|65535"},
        {"[%s]|[%.3s]|[%5.2s]|[%-5s]", {0x7E57, 0x7E57, 0x7E57, 0x7E57}, "[abcdef]|[abc]|[   ab]|[abcdef]"},
        {"%s", {0}, "(null)"},
        {"%c%c|%5c", {'o', 'k', 'x'}, "ok|    x"},
        {"%I64d|%I64u", {0, 0, 0xFFFFFFFF, 0xFFFFFFFF}, "0|18446744073709551615"},
        {"%I64d", {0xFFFFFFFE, 0xFFFFFFFF}, "-2"},
        {"%I64x", {0x89ABCDEF, 0x01234567}, "123456789abcdef"},
        {"%*d|%-*d|", {4, 5, 3, 6}, "   5|6  |"},
        {"100%%", {}, "100%"},
        // msvcrt's spellings of what is not a finite number.
        {"%f", words_of(inf), "1.#INF00"},
        {"%f", words_of(-inf), "-1.#INF00"},
        {"%f", words_of(indefinite), "-1.#IND00"},
        {"%f", words_of(qnan), "1.#QNAN0"},
        {"%e", words_of(inf), "1.#INF00e+000"},
        {"%e", words_of(-inf), "-1.#INF00e+000"},
        {"%g", words_of(inf), "1.#INF"},
        {"%10.3f|", words_of(inf), "     1.#IO|"},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr out = p.buffer(256), format = p.text(c.format), text = p.text("abcdef");
        std::vector<std::uint32_t> args = {out, format};
        for (const std::uint32_t a : c.args) args.push_back(a == 0x7E57 ? text : a);
        const auto r = p.crt("sprintf", args);
        ASSERT_TRUE(r.completed) << c.format << ": " << p.problems();
        EXPECT_EQ(p.m.read_cstring(out), c.want) << c.format;
        EXPECT_EQ(r.eax, std::strlen(c.want)) << c.format;
    }
}

// --- msvcrt's strings -------------------------------------------------------

// A row's argument: a number, or a text (narrow or wide) in a 64-byte buffer of its own.
using Arg = std::variant<std::uint32_t, std::string, std::u16string>;
// The bytes of a wide text, NUL not included.
std::string bytes_of(std::u16string_view s) { return {reinterpret_cast<const char*>(s.data()), 2 * s.size()}; }
// What a function returns: a number (compared by sign when `sign_only`), or
// a pointer `offset` bytes into the text of argument `arg` (NULL for -1).
struct Into {
    int arg;
    int offset;
};
using Want = std::variant<std::int64_t, Into>;

struct StringCase {
    const char* label;
    const char* function;
    std::vector<Arg> args;
    Want want;
    std::optional<std::string> text_after = std::nullopt;  // the bytes of argument `text_arg` after the call
    bool sign_only = false;
    std::int32_t error = kErrnoUntouched;  // errno after the call
    int text_arg = 0;
};

void run_string_cases(const std::vector<StringCase>& cases) {
    for (const auto& c : cases) {
        Process p;
        std::vector<std::uint32_t> words;
        std::vector<Addr> texts;
        for (const Arg& a : c.args) {
            if (const auto* n = std::get_if<std::uint32_t>(&a)) {
                words.push_back(*n);
                texts.push_back(0);
            } else {
                const std::string s = std::holds_alternative<std::string>(a)
                                          ? std::get<std::string>(a) + '\0'
                                          : bytes_of(std::get<std::u16string>(a)) + std::string(2, '\0');
                const Addr at = p.buffer(64, 0x7A);
                p.m.write_bytes(at, s.data(), s.size());
                words.push_back(at);
                texts.push_back(at);
            }
        }
        p.set_errno(kUntouched);
        const auto r = p.crt(c.function, words);
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        if (const auto* n = std::get_if<std::int64_t>(&c.want)) {
            const auto got = static_cast<std::int32_t>(r.eax);
            if (c.sign_only) {
                EXPECT_EQ((got > 0) - (got < 0), (*n > 0) - (*n < 0)) << c.label << ": " << got;
            } else {
                EXPECT_EQ(r.eax, static_cast<std::uint32_t>(*n)) << c.label;
            }
        } else {
            const Into& into = std::get<Into>(c.want);
            EXPECT_EQ(r.eax, into.offset < 0 ? 0u : texts[into.arg] + into.offset) << c.label;
        }
        if (c.text_after) {
            EXPECT_EQ(p.m.read_bytes(texts[c.text_arg], c.text_after->size()),
                      std::vector<std::uint8_t>(c.text_after->begin(), c.text_after->end()))
                << c.label;
        }
        EXPECT_EQ(p.errno_value(), c.error) << c.label;
    }
}

TEST(WindowsRuntime, StringFunctions) {
    using S = std::string;
    run_string_cases({
        {"strlen", "strlen", {S("hello")}, 5},
        {"strcmp: bytes compare unsigned", "strcmp", {S("\xFF"), S("a")}, 1, {}, true},
        {"strcmp: a prefix is less", "strcmp", {S("abc"), S("abcd")}, -1, {}, true},
        {"strncmp stops at n", "strncmp", {S("abcX"), S("abcY"), 3u}, 0},
        {"strchr finds the terminator", "strchr", {S("abc"), 0u}, Into{0, 3}},
        {"strchr: none", "strchr", {S("abc"), static_cast<std::uint32_t>('z')}, Into{0, -1}},
        {"strrchr: the last", "strrchr", {S("a.b.c"), static_cast<std::uint32_t>('.')}, Into{0, 3}},
        {"strcpy", "strcpy", {S("xxxxxx"), S("ab")}, Into{0, 0}, S("ab\0xxx", 6)},
        {"strcat", "strcat", {S("ab"), S("cd")}, Into{0, 0}, S("abcd\0", 5)},
        {"strncpy pads with NULs", "strncpy", {S("xxxxxx"), S("ab"), 4u}, Into{0, 0}, S("ab\0\0xx", 6)},
        {"strncpy does not terminate a long text",
         "strncpy",
         {S("xxxxxx"), S("abcdef"), 3u},
         Into{0, 0},
         S("abcxxx", 6)},
        {"memcmp compares unsigned", "memcmp", {S("a\x80"), S("a\x01"), 2u}, 1, {}, true},
        {"memchr", "memchr", {S("abcdef"), static_cast<std::uint32_t>('d'), 6u}, Into{0, 3}},
        {"memchr within n only", "memchr", {S("abcdef"), static_cast<std::uint32_t>('d'), 3u}, Into{0, -1}},
        {"memset", "memset", {S("xxxxxx"), static_cast<std::uint32_t>('-'), 3u}, Into{0, 0}, S("---xxx", 6)},
        {"atoi: spaces, sign, then digits", "atoi", {S("  -12abc")}, -12},
        {"atoi: no digits", "atoi", {S("x1")}, 0},
        {"_ultoa in base 16",
         "_ultoa",
         {0xBEEFu, S("xxxxxxxx"), 16u},
         Into{1, 0},
         S("beef\0", 5),
         false,
         kErrnoUntouched,
         1},
        {"_itoa: base 10 has a sign",
         "_itoa",
         {static_cast<std::uint32_t>(-5), S("xxxxxxxxxx"), 10u},
         Into{1, 0},
         S("-5\0", 3),
         false,
         kErrnoUntouched,
         1},
        {"_itoa: other bases show the bits",
         "_itoa",
         {static_cast<std::uint32_t>(-5), S("xxxxxxxxxx"), 16u},
         Into{1, 0},
         S("fffffffb\0", 9),
         false,
         kErrnoUntouched,
         1},
        {"_itoa with a radix that is none", "_itoa", {5u, S("xx"), 37u}, Into{1, 0}, S("\0", 1), false, 22, 1},
        {"_i64toa",
         "_i64toa",
         {0x2A05F200u, 1u, S("xxxxxxxxxxxx"), 10u},
         Into{2, 0},
         S("5000000000\0", 11),
         false,
         kErrnoUntouched,
         2},
        {"strstr", "strstr", {S("haystack"), S("st")}, Into{0, 3}},
        {"strstr of an empty text is the text", "strstr", {S("abc"), S("")}, Into{0, 0}},
        {"strstr: none", "strstr", {S("abc"), S("abd")}, Into{0, -1}},
        {"strncat stops at n and terminates", "strncat", {S("ab"), S("cdef"), 2u}, Into{0, 0}, S("abcd\0", 5)},
        {"strspn", "strspn", {S("aabxa"), S("ab")}, 3},
        {"strcspn", "strcspn", {S("xyz,w"), S(",;")}, 3},
        {"strpbrk", "strpbrk", {S("xyz;w,"), S(",;")}, Into{0, 3}},
        {"strpbrk: none", "strpbrk", {S("xyz"), S(",;")}, Into{0, -1}},
        // _stricmp compares lower-case forms: '_' (0x5F) comes before 'a'.
        {"_stricmp lowers the case", "_stricmp", {S("_"), S("A")}, -1, {}, true},
        {"_stricmp of equal texts", "_stricmp", {S("MiXeD"), S("mIxEd")}, 0},
        {"_strnicmp stops at n", "_strnicmp", {S("ABCx"), S("abcY"), 3u}, 0},
        {"_strlwr", "_strlwr", {S("MiXeD 1\xC9")}, Into{0, 0}, S("mixed 1\xC9", 8)},
        {"_strupr", "_strupr", {S("MiXeD 1\xE9")}, Into{0, 0}, S("MIXED 1\xE9", 8)},
        {"wcslen", "wcslen", {u"\u20ACab"}, 3},
        {"wcscmp compares units unsigned", "wcscmp", {u"\u20AC", u"a"}, 1, {}, true},
        {"wcsncmp stops at n", "wcsncmp", {u"abX", u"abY", 2u}, 0},
        {"_wcsicmp", "_wcsicmp", {u"ABC", u"abd"}, -1, {}, true},
        {"wcschr", "wcschr", {u"a\u20ACb", 0x20ACu}, Into{0, 2}},
        {"wcsrchr", "wcsrchr", {u"a.b.c", static_cast<std::uint32_t>('.')}, Into{0, 6}},
        {"wcsstr", "wcsstr", {u"haystack", u"st"}, Into{0, 6}},
        {"wcscpy", "wcscpy", {u"xxxx", u"ab"}, Into{0, 0}, bytes_of(u"ab\0x")},
        {"wcscat", "wcscat", {u"ab", u"c"}, Into{0, 0}, bytes_of(std::u16string(u"abc\0", 4))},
        {"wcsncpy pads", "wcsncpy", {u"xxxx", u"a", 3u}, Into{0, 0}, bytes_of(std::u16string(u"a\0\0x", 4))},
    });
    // strtok goes on where it stopped, over runs of delimiters.
    Process p;
    const Addr text = p.text(",,a,b;;c"), delimiters = p.text(",;");
    EXPECT_EQ(p.crt("strtok", {text, delimiters}).eax, text + 2);
    EXPECT_EQ(p.crt("strtok", {0, delimiters}).eax, text + 4);
    EXPECT_EQ(p.crt("strtok", {0, delimiters}).eax, text + 7);
    EXPECT_EQ(p.crt("strtok", {0, delimiters}).eax, 0u);
    EXPECT_EQ(p.m.read_cstring(text + 2), "a");
}

// --- msvcrt's characters and conversions ----------------------------------

TEST(WindowsRuntime, CharacterClasses) {
    const char* const functions[] = {"isalpha", "isupper", "islower", "isdigit", "isxdigit", "isspace",
                                     "ispunct", "isalnum", "isprint", "isgraph", "iscntrl"};
    // Each row names the classes the character has in the "C" locale (Wine's
    // msvcrt ctype table): the tab is a space but not printable, no byte
    // above 0x7F has a class.
    const struct {
        std::int32_t ch;
        std::vector<std::string> classes;
    } cases[] = {
        {'A', {"isalpha", "isupper", "isxdigit", "isalnum", "isprint", "isgraph"}},
        {'g', {"isalpha", "islower", "isalnum", "isprint", "isgraph"}},
        {'7', {"isdigit", "isxdigit", "isalnum", "isprint", "isgraph"}},
        {' ', {"isspace", "isprint"}},
        {'\t', {"isspace", "iscntrl"}},
        {'_', {"ispunct", "isprint", "isgraph"}},
        {0x7F, {"iscntrl"}},
        {0xE9, {}},
        {-1, {}},
        {0x141, {}},
    };
    Process p;
    for (const auto& c : cases) {
        for (const char* f : functions) {
            const bool want = std::find(c.classes.begin(), c.classes.end(), f) != c.classes.end();
            EXPECT_EQ(p.crt(f, {static_cast<std::uint32_t>(c.ch)}).eax != 0, want) << f << "(" << c.ch << ")";
        }
    }
    // The table the ctype macros read: _pctype[c] & mask.
    const Addr table = p.m.read(p.import("msvcrt.dll", "_pctype"));
    EXPECT_EQ(p.m.read<std::uint16_t>(table + 2 * 'A'), 0x81);   // _UPPER | _HEX
    EXPECT_EQ(p.m.read<std::uint16_t>(table + 2 * '\t'), 0x28);  // _SPACE | _CONTROL
    // The case of ASCII letters only; wide characters by their Unicode classes.
    const struct {
        const char* function;
        std::uint32_t ch, want;
    } values[] = {
        {"toupper", 'a', 'A'}, {"toupper", 0xE9, 0xE9}, {"tolower", 'Z', 'z'},   {"towupper", 0xE9, 0xE9},
        {"iswalpha", 0xE9, 1}, {"iswlower", 0xE9, 1},   {"iswupper", 0xC9, 1},   {"iswspace", 0xA0, 1},
        {"iswalpha", 0xD7, 0}, {"iswupper", 0x416, 1},  {"iswpunct", 0x2014, 1}, {"iswspace", 0x3000, 1},
        {"iswdigit", '5', 1},  {"iswalpha", '5', 0},    {"iswcntrl", 0x85, 1},
    };
    for (const auto& v : values) {
        const std::uint32_t got = p.crt(v.function, {v.ch}).eax;
        EXPECT_EQ(v.want < 2 ? static_cast<std::uint32_t>(got != 0) : got, v.want) << v.function << "(" << v.ch << ")";
    }
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
}

TEST(WindowsRuntime, NumbersFromText) {
    constexpr std::int32_t kErange = 34, kEinval = 22;
    const struct {
        const char* function;
        std::u16string text;  // narrow functions get its units as bytes
        std::int32_t base;
        std::int64_t want;
        std::uint32_t end;  // units read
        std::int32_t error;
    } cases[] = {
        {"strtol", u"  -42xyz", 10, -42, 5, kErrnoUntouched},
        {"strtol", u"0x1A", 0, 26, 4, kErrnoUntouched},
        {"strtol", u"0x1Ag", 16, 26, 4, kErrnoUntouched},
        {"strtol", u"012", 0, 10, 3, kErrnoUntouched},
        {"strtol", u"z", 36, 35, 1, kErrnoUntouched},
        // msvcrt: the "0x" of a number with no digit after it is not read either.
        {"strtol", u"0x", 16, 0, 0, kErrnoUntouched},
        {"strtol", u"  +", 10, 0, 0, kErrnoUntouched},
        {"strtol", u"2147483648", 10, 2147483647, 10, kErange},
        {"strtol", u"-2147483649", 10, -2147483648LL, 11, kErange},
        {"strtol", u"-2147483648", 10, -2147483648LL, 11, kErrnoUntouched},
        {"strtol", u"12", 1, 0, 0, kEinval},
        {"strtoul", u"-1", 10, 0xFFFFFFFF, 2, kErrnoUntouched},
        {"strtoul", u"4294967296", 10, 0xFFFFFFFF, 10, kErange},
        {"_strtoi64", u"9223372036854775808", 10, INT64_MAX, 19, kErange},
        {"_strtoi64", u"-9223372036854775808", 10, INT64_MIN, 20, kErrnoUntouched},
        {"_strtoui64", u"18446744073709551615", 10, -1, 20, kErrnoUntouched},
        {"wcstol", u" +77", 8, 63, 4, kErrnoUntouched},
        {"wcstoul", u"\u00A0ff", 16, 255, 3, kErrnoUntouched},  // iswspace takes the no-break space
    };
    for (const auto& c : cases) {
        Process p;
        const bool wide = c.function[0] == 'w';
        std::string narrow;
        for (const char16_t u : c.text) narrow += static_cast<char>(u);
        const Addr text = wide ? p.wide(c.text) : p.text(narrow), end = p.buffer(4);
        p.set_errno(kUntouched);
        const auto r = p.crt(c.function, {text, end, static_cast<std::uint32_t>(c.base)});
        ASSERT_TRUE(r.completed) << c.function << "(\"" << narrow << "\"): " << p.problems();
        const bool wide_result = std::string(c.function).find("64") != std::string::npos;
        EXPECT_EQ(wide_result ? static_cast<std::int64_t>(r.edx_eax())
                  : std::string(c.function) == "strtoul" || std::string(c.function) == "wcstoul"
                      ? static_cast<std::int64_t>(r.eax)
                      : static_cast<std::int32_t>(r.eax),
                  c.want)
            << c.function << "(\"" << narrow << "\", " << c.base << ")";
        EXPECT_EQ(p.m.read(end), text + (wide ? 2 : 1) * c.end) << c.function << "(\"" << narrow << "\")";
        EXPECT_EQ(p.errno_value(), c.error) << c.function << "(\"" << narrow << "\")";
    }
    // strtod as msvcrt reads it: a 'd' exponent, no "inf" (Wine's msvcrt reads
    // one only in the runtimes after msvcrt.dll), ERANGE out of range.
    const double huge = std::numeric_limits<double>::infinity();
    const struct {
        const char* text;
        double want;
        std::uint32_t end;
        std::int32_t error;
    } doubles[] = {
        {"  3.25e2xyz", 325, 8, kErrnoUntouched},
        {"1.5d1", 15, 5, kErrnoUntouched},
        {"1e", 1, 1, kErrnoUntouched},
        {"-.5", -0.5, 3, kErrnoUntouched},
        {".", 0, 0, kErrnoUntouched},
        {"inf", 0, 0, kErrnoUntouched},
        {"0x10", 0, 1, kErrnoUntouched},
        {"1e400", huge, 5, kErange},
        {"-1e400", -huge, 6, kErange},
        {"1e-400", 0, 6, kErange},
    };
    for (const auto& c : doubles) {
        Process p;
        const Addr text = p.text(c.text), end = p.buffer(4);
        p.set_errno(kUntouched);
        const auto r = p.crt("strtod", {text, end}, true);
        EXPECT_EQ(r.st0, c.want) << c.text;
        EXPECT_EQ(p.m.read(end), text + c.end) << c.text;
        EXPECT_EQ(p.errno_value(), c.error) << c.text;
    }
    // atoi and _atoi64 wrap rather than saturate.
    Process p;
    EXPECT_EQ(p.crt("_atoi64", {p.text(" -9000000000x")}).edx_eax(), static_cast<std::uint64_t>(-9000000000LL));
    EXPECT_EQ(p.crt("atol", {p.text("4294967297")}).eax, 1u);
    EXPECT_EQ(p.crt("atof", {p.text("12.5abc")}, true).st0, 12.5);
}

// --- sorting and searching --------------------------------------------------

TEST(WindowsRuntime, QsortAndBsearchCallTheModulesComparator) {
    // int compare(const int* a, const int* b) { return *a - *b; }, cdecl; and
    // the same that removes its arguments (stdcall), and one that crashes.
    const std::vector<std::uint8_t> cdecl_compare = {0x8B, 0x44, 0x24, 0x04, 0x8B, 0x00, 0x8B,
                                                     0x4C, 0x24, 0x08, 0x2B, 0x01, 0xC3};
    std::vector<std::uint8_t> stdcall_compare = cdecl_compare;
    stdcall_compare.back() = 0xC2;
    stdcall_compare.insert(stdcall_compare.end(), {0x08, 0x00});
    const std::vector<std::uint8_t> crashing_compare = {0x31, 0xC0, 0x8B, 0x00, 0xC3};
    std::vector<std::int32_t> many;
    for (std::uint32_t x = 7, i = 0; i < 200; ++i)
        many.push_back(static_cast<std::int32_t>((x = x * 1103515245 + 12345) >> 20) % 1000 - 500);
    const struct {
        const char* label;
        std::vector<std::int32_t> values;
        const std::vector<std::uint8_t>& compare;
        std::optional<ProblemKind> problem;
    } cases[] = {
        {"nothing", {}, cdecl_compare, std::nullopt},
        {"one", {5}, cdecl_compare, std::nullopt},
        {"sorted", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, cdecl_compare, std::nullopt},
        {"reversed", {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, -1}, cdecl_compare, std::nullopt},
        {"all equal", std::vector<std::int32_t>(30, 4), cdecl_compare, std::nullopt},
        {"200 with repeats", many, cdecl_compare, std::nullopt},
        {"a comparator that removes its arguments", {3, 1, 2}, stdcall_compare, ProblemKind::StackUnbalanced},
        {"a comparator that crashes", {3, 1, 2}, crashing_compare, ProblemKind::Crash},
    };
    for (const auto& c : cases) {
        Process p;
        const auto n = static_cast<std::uint32_t>(c.values.size());
        const Addr array = p.buffer(4 * n + 4), compare = p.m.place_code(c.compare);
        if (n) p.m.write_bytes(array, c.values.data(), 4 * n);
        const auto r = p.crt("qsort", {array, n, 4, compare});
        if (c.problem) {
            EXPECT_TRUE(p.has_problem(*c.problem)) << c.label << ": " << p.problems();
            continue;
        }
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        std::vector<std::int32_t> got(n), want = c.values;
        if (n) p.m.read_bytes(array, got.data(), 4 * n);
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << c.label;
        // bsearch finds every value there, and nothing else.
        const Addr key = p.buffer(4);
        for (std::uint32_t i = 0; i < n; ++i) {
            p.m.write<std::int32_t>(key, want[i]);
            const Addr found = p.crt("bsearch", {key, array, n, 4, compare}).eax;
            ASSERT_NE(found, 0u) << c.label << ": " << want[i];
            EXPECT_EQ(p.m.read<std::int32_t>(found), want[i]) << c.label;
        }
        p.m.write<std::int32_t>(key, 10000);
        EXPECT_EQ(p.crt("bsearch", {key, array, n, 4, compare}).eax, 0u) << c.label;
        EXPECT_TRUE(p.m.problems().empty()) << c.label << ": " << p.problems();
    }
}

// --- msvcrt's mathematics -------------------------------------------------

TEST(WindowsRuntime, MathResultsAndErrors) {
    constexpr std::int32_t kEdom = 33, kErange = 34;
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const double pi = 3.141592653589793;
    // Wine's msvcrt math.c says which arguments are math errors: EDOM for a
    // domain error, ERANGE for a singularity or overflow, none for an underflow.
    const struct {
        const char* function;
        std::vector<double> args;
        double want;  // NaN: any NaN
        std::int32_t error;
    } cases[] = {
        {"sqrt", {4}, 2, kErrnoUntouched},
        {"sqrt", {-1}, nan, kEdom},
        {"log", {0}, -inf, kErange},
        {"log", {-1}, nan, kEdom},
        {"log10", {1000}, 3, kErrnoUntouched},
        {"log10", {0}, -inf, kErange},
        {"pow", {2, 10}, 1024, kErrnoUntouched},
        {"pow", {0, -1}, inf, kErange},
        {"pow", {-8, 1.0 / 3}, nan, kEdom},
        {"pow", {10, 400}, inf, kErange},
        {"pow", {-2, 3}, -8, kErrnoUntouched},
        {"exp", {0}, 1, kErrnoUntouched},
        {"exp", {1000}, inf, kErange},
        {"exp", {-1000}, 0, kErrnoUntouched},
        {"acos", {2}, nan, kEdom},
        {"acos", {-1}, pi, kErrnoUntouched},
        {"asin", {1}, pi / 2, kErrnoUntouched},
        {"atan", {1}, pi / 4, kErrnoUntouched},
        {"atan2", {1, -1}, 3 * pi / 4, kErrnoUntouched},
        {"fmod", {7, 3}, 1, kErrnoUntouched},
        {"fmod", {-7, 3}, -1, kErrnoUntouched},
        {"fmod", {inf, 1}, nan, kEdom},
        {"floor", {-1.5}, -2, kErrnoUntouched},
        {"ceil", {-1.5}, -1, kErrnoUntouched},
        {"fabs", {-3}, 3, kErrnoUntouched},
        {"_hypot", {3, 4}, 5, kErrnoUntouched},
        {"tan", {inf}, nan, kEdom},
        {"cos", {inf}, nan, kEdom},
        {"sin", {0}, 0, kErrnoUntouched},
        {"sinh", {0}, 0, kErrnoUntouched},
        {"cosh", {0}, 1, kErrnoUntouched},
        {"tanh", {nan}, nan, kEdom},
    };
    for (const auto& c : cases) {
        Process p;
        std::vector<std::uint32_t> words;
        for (const double a : c.args) {
            const auto w = words_of(a);
            words.insert(words.end(), w.begin(), w.end());
        }
        p.set_errno(kUntouched);
        const auto r = p.crt(c.function, words, true);
        ASSERT_TRUE(r.completed) << c.function << ": " << p.problems();
        if (std::isnan(c.want)) {
            EXPECT_TRUE(std::isnan(r.st0)) << c.function << "(" << c.args[0] << ") = " << r.st0;
        } else {
            EXPECT_DOUBLE_EQ(r.st0, c.want) << c.function << "(" << c.args[0] << ")";
        }
        EXPECT_EQ(p.errno_value(), c.error) << c.function << "(" << c.args[0] << ")";
    }
    // The functions with an integer, or a result through a pointer.
    Process p;
    EXPECT_EQ(p.crt("ldexp", {0, 0x3FF00000, 10}, true).st0, 1024);
    p.set_errno(kUntouched);
    EXPECT_EQ(p.crt("ldexp", {0, 0x3FF00000, 5000}, true).st0, inf);
    EXPECT_EQ(p.errno_value(), kErange);
    const Addr out = p.buffer(8);
    auto eight = words_of(8), three_and_a_bit = words_of(3.75);
    EXPECT_EQ(p.crt("frexp", {eight[0], eight[1], out}, true).st0, 0.5);
    EXPECT_EQ(p.m.read<std::int32_t>(out), 4);
    EXPECT_EQ(p.crt("modf", {three_and_a_bit[0], three_and_a_bit[1], out}, true).st0, 0.75);
    EXPECT_EQ(p.m.read<double>(out), 3);
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
}

// A math error goes to the module's _matherr first, with a struct _exception
// on the stack; when it returns nonzero its retval is the result and errno
// stays as it was.
TEST(WindowsRuntime, MathErrorsGoToTheModulesMatherr) {
    const struct {
        const char* label;
        bool handles;
        const char* function;
        double arg;
        double want;
        std::int32_t type, error;
    } cases[] = {
        {"a _matherr that handles a domain error", true, "sqrt", -1, 42, 1, kErrnoUntouched},
        {"a _matherr that handles a singularity", true, "log", 0, 42, 2, kErrnoUntouched},
        {"a _matherr that handles an underflow", true, "exp", -1000, 42, 4, kErrnoUntouched},
        {"a _matherr that leaves it to msvcrt", false, "log", 0, -std::numeric_limits<double>::infinity(), 2, 34},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr seen = p.buffer(16, 0);
        Code handler;
        handler.op({0x8B, 0x44, 0x24, 0x04});                      // mov eax, [esp+4]: the struct _exception
        handler.op({0x8B, 0x08, 0x89, 0x0D}).imm(seen);            // its type
        handler.op({0x8B, 0x48, 0x04, 0x89, 0x0D}).imm(seen + 4);  // its name
        handler.op({0xC7, 0x40, 0x18}).imm(0).op({0xC7, 0x40, 0x1C}).imm(0x40450000);  // retval = 42.0
        handler.op({0xB8}).imm(c.handles ? 1 : 0).op({0xC3});
        p.crt("__setusermatherr", {p.m.place_code(handler.bytes)});
        p.set_errno(kUntouched);
        const auto w = words_of(c.arg);
        const auto r = p.crt(c.function, w, true);
        ASSERT_TRUE(r.completed) << c.label << ": " << p.problems();
        EXPECT_EQ(r.st0, c.want) << c.label;
        EXPECT_EQ(p.m.read<std::int32_t>(seen), c.type) << c.label;
        EXPECT_EQ(p.m.read_cstring(p.m.read(seen + 4)), c.function) << c.label;
        EXPECT_EQ(p.errno_value(), c.error) << c.label;
    }
}

// _controlfp and friends change the x87 and SSE control words the module's
// code then computes with.
TEST(WindowsRuntime, FloatingPointControl) {
    constexpr std::uint32_t kRcChop = 0x300, kMcwRc = 0x300, kPc24 = 0x20000, kMcwPc = 0x30000, kEmZeroDivide = 0x8;
    constexpr std::uint32_t kMcwEm = 0x8001F;
    const struct {
        const char* label;
        const char* function;
        std::vector<std::uint32_t> args;
        std::uint32_t result;  // 0xFFFFFFFF: not checked
        std::uint16_t x87;
        std::uint32_t mxcsr;
    } cases[] = {
        // Windows starts a thread with 0x27F and 0x1F80: msvcrt's 0x9001F.
        {"_controlfp(0, 0) reads", "_controlfp", {0, 0}, 0x9001F, 0x27F, 0x1F80},
        {"_control87(0, 0) reads", "_control87", {0, 0}, 0x9001F, 0x27F, 0x1F80},
        {"rounding toward zero", "_controlfp", {kRcChop, kMcwRc}, 0x9031F, 0xE7F, 0x7F80},
        {"24-bit precision: the x87 only", "_controlfp", {kPc24, kMcwPc}, 0xA001F, 0x07F, 0x1F80},
        {"unmasking division by zero", "_controlfp", {0, kEmZeroDivide}, 0x90017, 0x27B, 0x1D80},
        {"_controlfp leaves the denormal mask", "_controlfp", {0, kMcwEm}, 0x90000, 0x242, 0x0100},
        {"_control87 changes it", "_control87", {0, kMcwEm}, 0x10000, 0x240, 0x0000},
        {"_fpreset", "_fpreset", {}, 0xFFFFFFFF, 0x27F, 0x1F80},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr words = p.buffer(16, 0);
        const Addr stub = p.import("msvcrt.dll", c.function);
        Code code;
        // Something for _fpreset to undo first.
        code.op({0xC7, 0x05}).imm(words + 12).imm(0x0C7F).op({0xD9, 0x2D}).imm(words + 12);  // fldcw 0xC7F
        for (auto it = c.args.rbegin(); it != c.args.rend(); ++it) code.push(*it);
        code.call(stub).op({0x83, 0xC4, static_cast<std::uint8_t>(4 * c.args.size())});
        code.op({0xA3}).imm(words);                                                         // mov [words], eax
        code.op({0xD9, 0x3D}).imm(words + 4);                                               // fnstcw [words+4]
        code.op({0x0F, 0xAE, 0x1D}).imm(words + 8);                                         // stmxcsr [words+8]
        code.op({0xC7, 0x05}).imm(words + 12).imm(0x27F).op({0xD9, 0x2D}).imm(words + 12);  // put 0x27F back
        code.op({0xC3});
        if (std::string(c.function) != "_fpreset") code.bytes.erase(code.bytes.begin(), code.bytes.begin() + 16);
        const auto out = p.m.call("module code", p.m.place_code(code.bytes), {}, q7host::Returns::kInt);
        ASSERT_TRUE(out.completed) << c.label << ": " << p.problems();
        if (c.result != 0xFFFFFFFF) {
            EXPECT_EQ(p.m.read(words), c.result) << c.label;
        }
        EXPECT_EQ(p.m.read<std::uint16_t>(words + 4), c.x87) << c.label;
        EXPECT_EQ(p.m.read(words + 8), c.mxcsr) << c.label;
    }
}

// --- msvcrt's process: time, random numbers, signals, arguments -------------

TEST(WindowsRuntime, TimeFromTheProcessClock) {
    constexpr std::uint32_t kStart = 1767225600;  // 2026-01-01 00:00:00 UTC, the process's start
    Process p;
    const Addr t = p.buffer(8, 0);
    EXPECT_EQ(p.crt("time", {t}).eax, kStart);
    EXPECT_EQ(p.m.read(t), kStart);
    EXPECT_EQ(p.crt("_time64", {0}).edx_eax(), kStart);
    EXPECT_EQ(p.crt("clock").eax, 0u);
    p.k32("Sleep", {1500});
    EXPECT_EQ(p.crt("clock").eax, 1500u);
    EXPECT_EQ(p.crt("time", {0}).eax, kStart + 1);
    // struct tm: sec, min, hour, mday, mon, year, wday, yday, isdst.
    using Tm = std::vector<std::int32_t>;
    auto tm_at = [&](Addr a) {
        Tm v(9);
        p.m.read_bytes(a, v.data(), 36);
        return v;
    };
    const struct {
        const char* label;
        const char* function;
        std::int64_t time;
        std::optional<Tm> want;  // nothing: NULL
    } broken[] = {
        {"gmtime of the start", "gmtime", kStart, Tm{0, 0, 0, 1, 0, 126, 4, 0, 0}},
        {"localtime: the process's zone is UTC", "localtime", kStart + 86399, Tm{59, 59, 23, 1, 0, 126, 4, 0, 0}},
        {"gmtime of a leap day", "gmtime", 951782400, Tm{0, 0, 0, 29, 1, 100, 2, 59, 0}},
        {"gmtime before 1970", "gmtime", -1, std::nullopt},
        {"_gmtime64 past 2038", "_gmtime64", 4102444800, Tm{0, 0, 0, 1, 0, 200, 5, 0, 0}},
        {"_gmtime64 past 3000", "_gmtime64", 32535216000, std::nullopt},
    };
    for (const auto& c : broken) {
        const Addr at = p.buffer(8);
        p.m.write<std::int64_t>(at, c.time);
        const Addr tm = p.crt(c.function, {at}).eax;
        if (!c.want) {
            EXPECT_EQ(tm, 0u) << c.label;
            continue;
        }
        ASSERT_NE(tm, 0u) << c.label;
        EXPECT_EQ(tm_at(tm), *c.want) << c.label;
    }
    // mktime normalizes the fields in place.
    const struct {
        const char* label;
        Tm in;
        std::int32_t want;
        Tm after;
    } made[] = {
        {"the start", {0, 0, 0, 1, 0, 126, 0, 0, 0}, static_cast<std::int32_t>(kStart), {0, 0, 0, 1, 0, 126, 4, 0, 0}},
        {"January 32nd is February 1st",
         {0, 0, 0, 32, 0, 126, 0, 0, 0},
         static_cast<std::int32_t>(kStart + 31 * 86400),
         {0, 0, 0, 1, 1, 126, 0, 31, 0}},
        {"second -1 and month 12",
         {-1, 0, 0, 1, 12, 125, 0, 0, 0},
         static_cast<std::int32_t>(kStart - 1),
         {59, 59, 23, 31, 11, 125, 3, 364, 0}},
        {"1969", {0, 0, 0, 31, 11, 69, 0, 0, 0}, -1, {0, 0, 0, 31, 11, 69, 0, 0, 0}},
    };
    for (const auto& c : made) {
        const Addr tm = p.buffer(36);
        p.m.write_bytes(tm, c.in.data(), 36);
        EXPECT_EQ(static_cast<std::int32_t>(p.crt("mktime", {tm}).eax), c.want) << c.label;
        EXPECT_EQ(tm_at(tm), c.after) << c.label;
    }
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
}

TEST(WindowsRuntime, RandomNumbersEnvironmentSignalsAndArguments) {
    Process p;
    // msvcrt's generator from seed 1 (the seed before any srand).
    EXPECT_EQ(p.crt("rand").eax, 41u);
    EXPECT_EQ(p.crt("rand").eax, 18467u);
    p.crt("srand", {1});
    EXPECT_EQ(p.crt("rand").eax, 41u);
    p.crt("srand", {12345});
    EXPECT_EQ(p.crt("rand").eax, 7584u);
    EXPECT_EQ(p.crt("getenv", {p.text("PATH")}).eax, 0u);
    EXPECT_EQ(p.crt("_getpid").eax, p.k32("GetCurrentProcessId").eax);
    // __getmainargs: no arguments, no environment.
    const Addr argc = p.buffer(4), argv = p.buffer(4), env = p.buffer(4), info = p.buffer(4);
    EXPECT_EQ(p.crt("__getmainargs", {argc, argv, env, 0, info}).eax, 0u);
    EXPECT_EQ(p.m.read(argc), 0u);
    EXPECT_EQ(p.m.read(p.m.read(argv)), 0u);
    EXPECT_EQ(p.m.read(p.m.read(env)), 0u);
    // signal() gives the handler before; raise() runs the module's handler
    // once (it is put back to SIG_DFL), then SIG_DFL ends the process.
    const Addr caught = p.buffer(4, 0);
    Code handler;
    handler.op({0x8B, 0x44, 0x24, 0x04, 0xA3}).imm(caught).op({0xC3});  // caught = signal number
    const Addr f = p.m.place_code(handler.bytes);
    constexpr std::uint32_t kSigint = 2, kSigErr = 0xFFFFFFFF;
    EXPECT_EQ(p.crt("signal", {kSigint, f}).eax, 0u);
    EXPECT_EQ(p.crt("signal", {kSigint, 1}).eax, f);
    EXPECT_EQ(p.crt("signal", {kSigint, f}).eax, 1u);
    p.set_errno(kUntouched);
    EXPECT_EQ(p.crt("signal", {99, f}).eax, kSigErr);
    EXPECT_EQ(p.errno_value(), 22);
    EXPECT_EQ(p.crt("raise", {kSigint}).eax, 0u);
    EXPECT_EQ(p.m.read(caught), kSigint);
    EXPECT_TRUE(p.m.problems().empty()) << p.problems();
    EXPECT_FALSE(p.crt("raise", {kSigint}).completed);
    ASSERT_EQ(p.m.problems().size(), 1u) << p.problems();
    EXPECT_EQ(p.m.problems()[0].kind, ProblemKind::Exited);
}

// --- exceptions -------------------------------------------------------------

// A handler a row registers: vectored (AddVectoredExceptionHandler) or a
// frame on fs:[0]. Each counts its calls and keeps what it saw of the last
// exception in its log: calls, code, flags, parameter count, first
// parameter, address.
struct Handler {
    bool vectored = false;
    bool first = false;  // vectored: AddVectoredExceptionHandler(1, ...)
    bool continues = false;
    std::uint32_t only = 0;  // continues this code only (others: searches on); 0 for any
    std::uint8_t skip = 0;   // how far the CONTEXT's Eip moves on
    std::optional<std::uint32_t> set_eax = std::nullopt;
    bool add_one_to_eax = false;
};

enum class Trigger { kReadNull, kDivide, kBreakpoint, kRaise, kRaiseNoncontinuable, kUnwindToOuter, kForeignFrame };

Addr place_handler(Process& p, const Handler& h, Addr log) {
    Code c;
    c.op({0xFF, 0x05}).imm(log);     // inc dword [log]
    c.op({0x8B, 0x44, 0x24, 0x04});  // mov eax, [esp+4]
    if (h.vectored) {
        c.op({0x8B, 0x50, 0x04});  // mov edx, [eax+4]: the CONTEXT
        c.op({0x8B, 0x00});        // mov eax, [eax]: the record
    } else {
        c.op({0x8B, 0x54, 0x24, 0x0C});  // mov edx, [esp+12]: the CONTEXT
    }
    // The record's code, flags, parameter count, first parameter and address, each to its slot.
    const std::uint8_t fields[] = {0, 4, 16, 20, 12};
    for (Addr i = 0; i < 5; ++i) {
        c.op({0x8B, 0x48, fields[i]});            // mov ecx, [eax+field]
        c.op({0x89, 0x0D}).imm(log + 4 + 4 * i);  // mov [log+slot], ecx
    }
    std::size_t jump = 0;
    if (h.only) {
        c.op({0x81, 0x38}).imm(h.only);  // cmp dword [eax], code
        c.op({0x75, 0x00});              // jne search
        jump = c.size();
    }
    if (h.continues) {
        if (h.skip) c.op({0x83, 0x82, 0xB8, 0, 0, 0, h.skip});             // add dword [edx+Eip], skip
        if (h.set_eax) c.op({0xC7, 0x82, 0xB0, 0, 0, 0}).imm(*h.set_eax);  // mov dword [edx+Eax], value
    }
    if (h.add_one_to_eax) c.op({0x83, 0x82, 0xB0, 0, 0, 0, 1});  // add dword [edx+Eax], 1
    if (h.continues) {
        if (h.vectored) {
            c.op({0x83, 0xC8, 0xFF, 0xC2, 0x04, 0x00});  // or eax, -1 (EXCEPTION_CONTINUE_EXECUTION); ret 4
        } else {
            c.op({0x31, 0xC0, 0xC3});  // xor eax, eax (ExceptionContinueExecution); ret
        }
    }
    if (jump) c.bytes[jump - 1] = static_cast<std::uint8_t>(c.size() - jump);
    if (h.vectored) {
        c.op({0x31, 0xC0, 0xC2, 0x04, 0x00});  // xor eax, eax (EXCEPTION_CONTINUE_SEARCH); ret 4
    } else {
        c.op({0xB8, 1, 0, 0, 0, 0xC3});  // mov eax, 1 (ExceptionContinueSearch); ret
    }
    return p.m.place_code(c.bytes);
}

TEST(WindowsRuntime, ExceptionDispatch) {
    constexpr std::uint32_t kAccessViolation = 0xC0000005, kDivide = 0xC0000094, kBreakpoint = 0x80000003,
                            kNoncontinuable = 0xC0000025, kUnwind = 0xC0000027, kRaised = 0xE0000001;
    constexpr std::uint32_t kDone = 0x600D;  // what the routine returns when it goes on after a raise
    struct Saw {
        std::uint32_t calls, code, flags;
    };
    const Handler vectored_search{.vectored = true};
    const Handler frame_search{};
    const struct {
        const char* label;
        std::vector<Handler> handlers;  // vectored ones in the order added; frames outermost first
        Trigger trigger;
        std::optional<std::uint32_t> eax;  // the routine's result; nothing when it crashes
        std::vector<Saw> saw;              // each handler's calls and the last exception it saw
        std::uint32_t crash = 0;           // the code of the crash
    } cases[] = {
        {"a vectored handler continues execution with the CONTEXT it left",
         {{.vectored = true, .continues = true, .skip = 2, .set_eax = 0x1234}},
         Trigger::kReadNull,
         0x1234,
         {{1, kAccessViolation, 0}}},
        {"a vectored handler that searches on leaves it to the frames",
         {vectored_search, {.continues = true, .skip = 2, .set_eax = 0x5678}},
         Trigger::kReadNull,
         0x5678,
         {{1, kAccessViolation, 0}, {1, kAccessViolation, 0}}},
        {"the vectored handler added first=1 runs before the one added before it",
         {vectored_search, {.vectored = true, .first = true, .continues = true, .skip = 2, .set_eax = 9}},
         Trigger::kReadNull,
         9,
         {{0, 0, 0}, {1, kAccessViolation, 0}}},
        {"a frame that searches on leaves it to the frame outside it",
         {{.continues = true, .skip = 2, .set_eax = 0x9ABC}, frame_search},
         Trigger::kReadNull,
         0x9ABC,
         {{1, kAccessViolation, 0}, {1, kAccessViolation, 0}}},
        {"a division by zero", {{.continues = true, .skip = 2, .set_eax = 7}}, Trigger::kDivide, 7, {{1, kDivide, 0}}},
        // Wine's ntdll exception.c, test_exceptions (int3): the CONTEXT's Eip is the int3's address.
        {"a breakpoint: skipping the int3 goes on",
         {{.continues = true, .skip = 1, .set_eax = 8}},
         Trigger::kBreakpoint,
         8,
         {{1, kBreakpoint, 0}}},
        {"RaiseException: code and parameters reach the handler; continuing returns from it",
         {{.continues = true}},
         Trigger::kRaise,
         kDone,
         {{1, kRaised, 0}}},
        // A handler continuing a noncontinuable exception raises STATUS_NONCONTINUABLE_EXCEPTION.
        {"a noncontinuable exception continued is raised again as 0xC0000025",
         {frame_search, {.continues = true, .only = kRaised}},
         Trigger::kRaiseNoncontinuable,
         std::nullopt,
         {{1, kNoncontinuable, 1}, {2, kNoncontinuable, 1}},
         kNoncontinuable},
        {"a handler that continues everything, 0xC0000025 too, ends as a crash",
         {{.continues = true}},
         Trigger::kRaiseNoncontinuable,
         std::nullopt,
         {},
         0},
        {"an exception no handler takes is the crash", {}, Trigger::kRaise, std::nullopt, {}, kRaised},
        {"a vectored handler that searches on, and no frame: the crash",
         {vectored_search},
         Trigger::kReadNull,
         std::nullopt,
         {{1, kAccessViolation, 0}},
         kAccessViolation},
        // ntdll calls no frame record that is not on the thread's stack.
        {"a frame record off the stack is not called",
         {frame_search},
         Trigger::kForeignFrame,
         std::nullopt,
         {{0, 0, 0}},
         kAccessViolation},
        // Wine's ntdll exception.c, test_unwind: the frames above the target
        // get STATUS_UNWIND with EXCEPTION_UNWINDING, the CONTEXT's Eax is the
        // return value, and what the handlers make of it RtlUnwind returns.
        {"RtlUnwind calls the frames above the target and returns what they left in Eax",
         {frame_search, {.add_one_to_eax = true}, {.add_one_to_eax = true}},
         Trigger::kUnwindToOuter,
         0x79,
         {{0, 0, 0}, {1, kUnwind, 2}, {1, kUnwind, 2}}},
    };
    for (const auto& c : cases) {
        Process p;
        const Addr logs = p.buffer(32 * c.handlers.size() + 32, 0);
        const Addr add_vectored = p.import("kernel32.dll", "AddVectoredExceptionHandler");
        const Addr raise = p.import("kernel32.dll", "RaiseException");
        const Addr unwind = p.import("kernel32.dll", "RtlUnwind");
        const Addr outer_frame = p.buffer(4, 0), fs0_after = p.buffer(4, 0), params = p.buffer(8, 0);
        p.m.write<std::uint32_t>(params, 7);
        p.m.write<std::uint32_t>(params + 4, 9);
        Code main;
        std::size_t frames = 0;
        for (std::size_t i = 0; i < c.handlers.size(); ++i) {
            const Handler& h = c.handlers[i];
            const Addr code = place_handler(p, h, logs + 32 * static_cast<Addr>(i));
            if (h.vectored) {
                main.push(code).push(h.first ? 1 : 0).call(add_vectored);
                continue;
            }
            if (c.trigger == Trigger::kForeignFrame) {
                // A record in the heap, not on the stack, put at the head of the chain.
                const Addr record = p.buffer(8, 0);
                p.m.write<std::uint32_t>(record + 4, code);
                main.op({0x64, 0xA1, 0, 0, 0, 0});  // mov eax, fs:[0]
                main.op({0xA3}).imm(record);        // mov [record], eax
                main.op({0xB8}).imm(record);        // mov eax, record
                main.op({0x64, 0xA3, 0, 0, 0, 0});  // mov fs:[0], eax
                continue;
            }
            main.push(code);
            main.op({0x64, 0xFF, 0x35, 0, 0, 0, 0});                    // push dword fs:[0]
            main.op({0x64, 0x89, 0x25, 0, 0, 0, 0});                    // mov fs:[0], esp
            if (frames++ == 0) main.op({0x89, 0x25}).imm(outer_frame);  // mov [outer], esp
        }
        std::size_t after_unwind = 0;
        switch (c.trigger) {
            case Trigger::kReadNull:
            case Trigger::kForeignFrame: main.op({0x31, 0xC0, 0x8B, 0x00}); break;  // xor eax, eax; mov eax, [eax]
            case Trigger::kDivide: main.op({0x31, 0xD2, 0x31, 0xC9, 0xF7, 0xF1}); break;  // edx = ecx = 0; div ecx
            case Trigger::kBreakpoint: main.op({0xCC}); break;
            case Trigger::kRaise:
            case Trigger::kRaiseNoncontinuable:
                main.push(params).push(2).push(c.trigger == Trigger::kRaise ? 0 : 1).push(kRaised).call(raise);
                main.op({0xB8}).imm(kDone);
                break;
            case Trigger::kUnwindToOuter:
                main.push(0x77).push(0).push(0).op({0xFF, 0x35}).imm(outer_frame).call(unwind);  // push [outer]
                after_unwind = main.size();
                main.op({0x64, 0x8B, 0x0D, 0, 0, 0, 0}).op({0x89, 0x0D}).imm(fs0_after);  // keep fs:[0]
                break;
        }
        if (c.trigger == Trigger::kUnwindToOuter) {
            // The inner frames are off the chain now; their records leave the stack with the outer one's.
            main.op({0x83, 0xC4, static_cast<std::uint8_t>(8 * (frames - 1))});
        }
        for (std::size_t i = 0; i < (c.trigger == Trigger::kUnwindToOuter ? 1 : frames); ++i) {
            main.op({0x64, 0x8F, 0x05, 0, 0, 0, 0});  // pop dword fs:[0]
            main.op({0x83, 0xC4, 0x04});              // add esp, 4
        }
        main.op({0xC3});
        const Addr routine = p.m.place_code(main.bytes);
        const auto out = p.m.call("module code", routine, {}, q7host::Returns::kInt);
        if (c.eax) {
            EXPECT_TRUE(out.completed) << c.label << ": " << p.problems();
            EXPECT_EQ(out.eax, *c.eax) << c.label;
            EXPECT_TRUE(p.m.problems().empty()) << c.label << ": " << p.problems();
        } else {
            EXPECT_FALSE(out.completed) << c.label;
            ASSERT_FALSE(p.m.problems().empty()) << c.label;
            EXPECT_EQ(p.m.problems().back().kind, ProblemKind::Crash) << c.label << ": " << p.problems();
            if (c.crash) {
                const std::string code = q7host::hex(c.crash, 8);
                EXPECT_NE(p.problems().find(code + ")"), std::string::npos) << c.label << ": " << p.problems();
            }
        }
        for (std::size_t i = 0; i < c.saw.size(); ++i) {
            const Addr log = logs + 32 * static_cast<Addr>(i);
            EXPECT_EQ(p.m.read(log), c.saw[i].calls) << c.label << ": handler " << i;
            if (!c.saw[i].calls) continue;
            EXPECT_EQ(p.m.read(log + 4), c.saw[i].code) << c.label << ": handler " << i;
            EXPECT_EQ(p.m.read(log + 8), c.saw[i].flags) << c.label << ": handler " << i;
            if (c.trigger == Trigger::kRaise) {
                EXPECT_EQ(p.m.read(log + 12), 2u) << c.label << ": the parameter count";
                EXPECT_EQ(p.m.read(log + 16), 7u) << c.label << ": the first parameter";
            }
            if (c.trigger == Trigger::kUnwindToOuter) {
                EXPECT_EQ(p.m.read(log + 20), routine + after_unwind)
                    << c.label << ": the address RtlUnwind returns to";
            }
        }
        if (c.trigger == Trigger::kUnwindToOuter) {
            EXPECT_EQ(p.m.read(fs0_after), p.m.read(outer_frame)) << c.label;
        }
    }
}

}  // namespace
