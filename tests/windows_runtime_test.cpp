// The Windows process the host gives a module, driven as the module's own code drives it: x86 code
// pushes the arguments and calls the bound import, so that each function's calling convention (the
// machine checks the stack's balance), its results, its effect on memory and its errors are what
// the module sees. Each table's rows are Windows's documented outcomes; a row that rests on Wine's
// conformance tests (which pass on Windows) says which.
#include "host/hex.h"
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

// A row's argument: a number, or a text in a 64-byte buffer of its own.
using Arg = std::variant<std::uint32_t, std::string>;
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
                const std::string& s = std::get<std::string>(a);
                const Addr at = p.buffer(64, 0x7A);
                p.m.write_bytes(at, s.c_str(), s.size() + 1);
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
    });
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
         // (The process ends with 0xC0000025; the machine's crash names the exception first raised.)
         kRaised},
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
