// Module code does what it does in a 32-bit Windows process: small snippets
// placed at the start of GaugeInstall (called with one argument, stdcall; its
// eax is the result), each with the outcome Windows gives, the returned value
// or the fault and its exception code. Where the emulator cannot give that
// outcome the row says so and checks what it gives instead (the README lists
// these differences), so that an emulator that gets it right shows up here.
#include "host/gauge_host.h"
#include "support/module_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using q7host::Addr;
using q7host::GaugeHost;
using q7host::ProblemKind;

namespace {

using q7test::Bytes;
using q7test::ModuleFile;

// The module file with the flags of the named section changed.
Bytes with_section_flags(const char* name, std::uint32_t set, std::uint32_t clear) {
    Bytes file = ModuleFile::get().file;
    const std::size_t at = ModuleFile::get().anatomy.section(name).header + q7fuzz::pe::kSectionFlags;
    q7fuzz::put32(file, at, (q7fuzz::get32(file, at) | set) & ~clear);
    return file;
}

constexpr std::uint32_t kMemWrite = 0x80000000, kMemRead = 0x40000000;

// What a probe gives: the value it returns, or a fault named by its words
// and Windows exception code.
struct Outcome {
    std::uint32_t eax = 0;
    const char* fault = nullptr;
};

std::string describe(const Outcome& o) {
    return o.fault ? std::string("fault ") + o.fault : "returns " + std::to_string(o.eax);
}

struct Probe {
    const char* label;
    Bytes code;  // "ret 4" follows
    Outcome windows;
    std::uint32_t arg = 0;
    bool writable_code = false;
    const char* differs = nullptr;  // why this emulator differs, and then:
    Outcome here{};                 // what it gives instead
};

// Runs the probe in a host of its own and checks its outcome.
void check(const Probe& p) {
    const ModuleFile& m = ModuleFile::get();
    Bytes code = p.code;
    code.insert(code.end(), {0xC2, 0x04, 0x00});
    Bytes file = p.writable_code ? with_section_flags(".text", kMemWrite, 0) : m.file;
    q7fuzz::put(file, m.offset(m.anatomy.install), code.data(), code.size());
    GaugeHost host;
    ASSERT_TRUE(host.load(file, "probe.gau")) << p.label << ": " << host.error();
    const std::uint32_t eax = host.install(p.arg);
    const Outcome& want = p.differs ? p.here : p.windows;
    const std::string what =
        p.differs ? std::string(" (differs from Windows, which gives ") + describe(p.windows) + ": " + p.differs + ")"
                  : "";
    if (!want.fault) {
        EXPECT_TRUE(host.problems().empty()) << p.label << what << ": " << host.problems().front();
        EXPECT_EQ(eax, want.eax) << p.label << what;
        return;
    }
    ASSERT_EQ(host.problems().size(), 1u) << p.label << what << ": it returned " << eax;
    const q7host::Problem& v = host.problems().front();
    EXPECT_EQ(v.kind, ProblemKind::Crash) << p.label << what << ": " << v;
    EXPECT_EQ(v.routine, "GaugeInstall") << p.label;
    EXPECT_NE(v.detail.find(want.fault), std::string::npos) << p.label << what << ": " << v;
}

const char* const kPrivileged = "a privileged instruction (0xC0000096)";
const char* const kAccessViolation = "an access violation";
const char* const kIllegal = "an illegal instruction (0xC000001D)";
const char* const kNoAlignmentCheck = "the emulator does not check the alignment of 16-byte SSE operands";

Bytes repeat(std::uint8_t b, std::size_t n, Bytes tail) {
    Bytes out(n, b);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

}  // namespace

TEST(Probes, ModuleCodeRunsAsInAWindowsProcess) {
    const q7host::Machine::Thread t = q7host::Machine::thread();
    const Probe probes[] = {
        // User mode: privileged and I/O instructions fault.
        {"cli", {0xFA}, {.fault = kPrivileged}},
        {"sti", {0xFB}, {.fault = kPrivileged}},
        {"in al, dx", {0xEC}, {.fault = kPrivileged}},
        {"out dx, al", {0xEE}, {.fault = kPrivileged}},
        {"mov eax, cr0", {0x0F, 0x20, 0xC0}, {.fault = kPrivileged}},
        {"wbinvd", {0x0F, 0x09}, {.fault = kPrivileged}},
        {"16 bytes of prefixes and cli: too long", repeat(0x64, 15, {0xFA}), {.fault = kIllegal}},
        {"15 bytes of prefixes and cli", repeat(0x64, 14, {0xFA}), {.fault = kPrivileged}},
        {"ljmp 0:0", {0xEA, 0, 0, 0, 0, 0, 0}, {.fault = "an access violation (0xC0000005)"}},
        {"mov gs, 0xBEEF", {0x66, 0xB8, 0xEF, 0xBE, 0x8E, 0xE8}, {.fault = "an access violation (0xC0000005)"}},
        {"ud2", {0x0F, 0x0B}, {.fault = kIllegal}},
        {"div by a zero register", {0x31, 0xC9, 0xF7, 0xF1}, {.fault = "an integer division by zero (0xC0000094)"}},
        {"div by a zero argument", {0xF7, 0x74, 0x24, 0x04}, {.fault = "an integer division by zero (0xC0000094)"}},
        {"idiv 0x80000000 by -1",
         {0xB8, 0, 0, 0, 0x80, 0x99, 0xB9, 0xFF, 0xFF, 0xFF, 0xFF, 0xF7, 0xF9},
         {.fault = "an integer overflow (0xC0000095)"}},
        {"into with overflow", {0xB0, 0x7F, 0x04, 0x01, 0xCE}, {.fault = "an integer overflow (0xC0000095)"}},
        // The thread environment block at FS, and the shared user-data page.
        {"fs:[0x18], the block's own address", {0x64, 0xA1, 0x18, 0, 0, 0}, {.eax = t.environment_block}},
        {"fs:[4], the stack base", {0x64, 0xA1, 0x04, 0, 0, 0}, {.eax = t.stack_base}},
        {"fs:[8], the stack limit", {0x64, 0xA1, 0x08, 0, 0, 0}, {.eax = t.stack_limit}},
        {"fs:[0x30], the process block", {0x64, 0xA1, 0x30, 0, 0, 0}, {.eax = t.process_block}},
        {"fs:[0], the exception list ends", {0x64, 0xA1, 0, 0, 0, 0, 0x8B, 0x00}, {.eax = 0xFFFFFFFF}},
        {"NtMajorVersion at 0x7FFE026C", {0xA1, 0x6C, 0x02, 0xFE, 0x7F}, {.eax = 10}},
        {"a write to the shared page",
         {0xC7, 0x05, 0x00, 0x00, 0xFE, 0x7F, 1, 0, 0, 0},
         {.fault = "an access violation writing 0x7FFE0000 (0xC0000005)"}},
        // The state at the call.
        {"x87 control word", {0x6A, 0x00, 0xD9, 0x3C, 0x24, 0x58}, {.eax = 0x27F}},
        {"x87 tag word: stack empty",
         {0x83, 0xEC, 0x1C, 0xD9, 0x34, 0x24, 0x0F, 0xB7, 0x44, 0x24, 0x08, 0x83, 0xC4, 0x1C},
         {.eax = 0xFFFF}},
        {"MXCSR", {0x6A, 0x00, 0x0F, 0xAE, 0x1C, 0x24, 0x58}, {.eax = 0x1F80}},
        {"cs", {0x8C, 0xC8, 0x0F, 0xB7, 0xC0}, {.eax = 0x23}},
        {"ss", {0x8C, 0xD0, 0x0F, 0xB7, 0xC0}, {.eax = 0x2B}},
        {"ds", {0x8C, 0xD8, 0x0F, 0xB7, 0xC0}, {.eax = 0x2B}},
        {"es", {0x8C, 0xC0, 0x0F, 0xB7, 0xC0}, {.eax = 0x2B}},
        {"fs", {0x8C, 0xE0, 0x0F, 0xB7, 0xC0}, {.eax = 0x53}},
        {"gs", {0x8C, 0xE8, 0x0F, 0xB7, 0xC0}, {.eax = 0x2B}},
        // Floating-point exceptions the module unmasks.
        {"x87 1/0, divide-by-zero unmasked, then fstp",
         {0x68, 0x7B, 0x02, 0, 0, 0xD9, 0x2C, 0x24, 0x58, 0xD9, 0xE8, 0xD9, 0xEE, 0xDE, 0xF9, 0xDD, 0xD8},
         {.fault = "a floating-point division by zero (0xC000008E)"}},
        {"x87 1/0, divide-by-zero unmasked, then fwait",
         {0x68, 0x7B, 0x02, 0, 0, 0xD9, 0x2C, 0x24, 0x58, 0xD9, 0xE8, 0xD9, 0xEE, 0xDE, 0xF9, 0x9B},
         {.fault = "a floating-point division by zero (0xC000008E)"}},
        {"x87 1/0 masked, then fldcw unmasking divide-by-zero, then fwait",
         {0xD9, 0xE8, 0xD9, 0xEE, 0xDE, 0xF9, 0x68, 0x7B, 0x02, 0, 0, 0xD9, 0x2C, 0x24, 0x58, 0x9B},
         {.fault = "a floating-point division by zero (0xC000008E)"}},
        {"x87 pop of an empty stack, invalid unmasked",
         Bytes{0x68, 0x7E, 0x02, 0, 0, 0xD9, 0x2C, 0x24, 0x58, 0xDD, 0xD8, 0x9B},
         Outcome{.fault = "a floating-point stack check (0xC0000092)"}, 0, false,
         "the emulator does not detect x87 stack underflow or overflow", Outcome{.eax = 0x27E}},
        {"SSE 1/0, divide-by-zero unmasked",
         Bytes{0x68, 0x80, 0x1D, 0, 0, 0x0F, 0xAE, 0x14, 0x24, 0x58, 0x0F, 0x57, 0xC9,
               0xB8, 1,    0,    0, 0, 0xF3, 0x0F, 0x2A, 0xC0, 0xF3, 0x0F, 0x5E, 0xC1},
         Outcome{.fault = "(0xC00002B5)"}, 0, false, "the emulator raises no SIMD floating-point exception",
         Outcome{.eax = 1}},
        {"movdqa from an address that is not a multiple of 16",
         Bytes{0x89, 0xE0, 0x83, 0xC8, 0x01, 0x66, 0x0F, 0x6F, 0x00, 0x31, 0xC0}, Outcome{.fault = kAccessViolation}, 0,
         false, kNoAlignmentCheck, Outcome{.eax = 0}},
        {"pxor with a memory operand that is not a multiple of 16",
         Bytes{0x89, 0xE0, 0x83, 0xC8, 0x01, 0x66, 0x0F, 0xEF, 0x00, 0x31, 0xC0}, Outcome{.fault = kAccessViolation}, 0,
         false, kNoAlignmentCheck, Outcome{.eax = 0}},
        // Instructions every current Windows machine has.
        {"popcnt eax, [esp+4]", {0xF3, 0x0F, 0xB8, 0x44, 0x24, 0x04}, {.eax = 16}, 0x0F0F0F0F},
        {"popcnt of 0 sets ZF", {0x31, 0xC9, 0xF3, 0x0F, 0xB8, 0xC1, 0x0F, 0x94, 0xC0, 0x0F, 0xB6, 0xC0}, {.eax = 1}},
        {"movbe eax, [esp+4]", {0x0F, 0x38, 0xF0, 0x44, 0x24, 0x04}, {.eax = 0x44332211}, 0x11223344},
        {"rdrand eax sets CF", {0x0F, 0xC7, 0xF0, 0x0F, 0x92, 0xC0, 0x0F, 0xB6, 0xC0}, {.eax = 1}},
        {"xgetbv 0: x87 and SSE state enabled", {0x31, 0xC9, 0x0F, 0x01, 0xD0, 0x83, 0xE0, 0x03}, {.eax = 3}},
        {"cpuid 1: POPCNT, SSE4.2, MOVBE, RDRAND",
         Bytes{0x53, 0xB8, 1, 0, 0, 0, 0x0F, 0xA2, 0x89, 0xC8, 0x25, 0x00, 0x00, 0xD0, 0x40, 0x5B},
         Outcome{.eax = 0x40D00000}},
        // Code that rewrites itself in a writable code section runs the new bytes.
        {"a patched mov eax, 7 gives 42",
         Bytes{0xE8, 0, 0, 0, 0, 0x58, 0xC7, 0x40, 0x0D, 42, 0, 0, 0, 0x90, 0x90, 0x90, 0x90, 0xB8, 7, 0, 0, 0},
         Outcome{.eax = 42}, 0, true},
    };
    for (const Probe& p : probes) check(p);
}

// Write-only and execute-only sections get readable pages, as x86 gives them:
// the module with such a section runs as the real one does.
TEST(Probes, SectionsThatMayBeWrittenOrRunAreReadable) {
    GaugeHost real;
    ASSERT_TRUE(real.load(Q7_MODULE_FILE));
    real.install();
    const q7host::FrameReadout want = real.frame();
    for (const char* section : {".text", ".data"}) {
        SCOPED_TRACE(std::string(section) + " without the read flag");
        GaugeHost host;
        ASSERT_TRUE(host.load(with_section_flags(section, 0, kMemRead), "probe.gau")) << host.error();
        host.install();
        const q7host::FrameReadout got = host.frame();
        EXPECT_TRUE(host.problems().empty()) << host.problems().front();
        ASSERT_EQ(got.texts.size(), want.texts.size());
        for (std::size_t i = 0; i < got.texts.size(); ++i) EXPECT_EQ(got.texts[i].text, want.texts[i].text);
    }
}

// A module loaded where another was unloaded runs its own code, not what the
// emulator translated from the first.
TEST(Probes, ASecondModuleAtTheSameBaseRunsItsOwnCode) {
    const ModuleFile& m = ModuleFile::get();
    GaugeHost host;
    ASSERT_TRUE(host.load(Q7_MODULE_FILE));
    host.install();
    ASSERT_EQ(host.frame().dots.size(), 1u);
    const Addr base = host.base();
    host.unload();
    ASSERT_TRUE(host.load(m.with_code(m.anatomy.x_callback, {0xCC}), "int3.gau")) << host.error();
    ASSERT_EQ(host.base(), base);
    host.install();
    host.frame();
    ASSERT_FALSE(host.problems().empty());
    EXPECT_EQ(host.problems().front().kind, ProblemKind::Crash) << host.problems().front();
    EXPECT_EQ(host.problems().front().routine, "x_callback");
}

// A host reset after a module misbehaved (it scribbled over the host's heap,
// its stack and its thread block, and faulted) is as good as a new one: the
// same memory, no problems, and the next module runs as in a new host.
TEST(Probes, AResetHostIsAsGoodAsANewOne) {
    const ModuleFile& m = ModuleFile::get();
    GaugeHost fresh, reused;
    const Addr heap = reused.machine().allocate(16);
    const q7host::Machine::Thread thread = q7host::Machine::thread();
    Bytes scribble = {0xBF, 0,    0,    0,    0,                 // mov edi, heap
                      0xB9, 0x00, 0x10, 0x00, 0x00,              // mov ecx, 0x1000
                      0xB8, 0xEF, 0xBE, 0xAD, 0xDE,              // mov eax, 0xDEADBEEF
                      0xF3, 0xAB,                                // rep stosd
                      0x64, 0xA3, 0x00, 0x00, 0x00, 0x00,        // mov fs:[0], eax
                      0x64, 0xA3, 0x18, 0x00, 0x00, 0x00,        // mov fs:[0x18], eax
                      0x89, 0x84, 0x24, 0x00, 0xF0, 0xFF, 0xFF,  // mov [esp-0x1000], eax
                      0x0F, 0x0B};                               // ud2
    std::memcpy(&scribble[1], &heap, 4);
    ASSERT_TRUE(reused.load(m.with_code(m.anatomy.install, scribble), "scribble.gau")) << reused.error();
    reused.install();
    ASSERT_FALSE(reused.problems().empty());
    ASSERT_TRUE(reused.reset());
    EXPECT_TRUE(reused.problems().empty());
    auto memory = [&](GaugeHost& h) {
        Bytes b = h.machine().read_bytes(heap, 0x4000);
        for (const Addr page : {thread.environment_block, thread.stack_base - 0x2000}) {
            const Bytes more = h.machine().read_bytes(page, 0x1000);
            b.insert(b.end(), more.begin(), more.end());
        }
        return b;
    };
    EXPECT_EQ(memory(reused), memory(fresh));

    auto run = [](GaugeHost& h) {
        EXPECT_TRUE(h.load(Q7_MODULE_FILE)) << h.error();
        h.install();
        h.services().set_aircraft(37.5, -122.2, 45.0);
        const q7host::FrameReadout f = h.frame();
        std::vector<std::string> seen;
        for (const auto& t : f.texts) seen.push_back(t.text);
        for (const auto& d : f.dots) seen.push_back(std::to_string(d.x) + " " + std::to_string(d.y));
        for (const unsigned p : h.services().call_positions()) seen.push_back(std::to_string(p));
        for (const auto& v : h.problems()) seen.push_back(v.sentence());
        return seen;
    };
    EXPECT_EQ(run(reused), run(fresh));
}

// Every call starts from the state Windows gives a thread, whatever the call
// before it left: direction flag clear, x87 control word 0x27F and an empty
// stack, MXCSR 0x1F80.
TEST(Probes, EveryCallStartsFromTheWindowsState) {
    q7host::Machine m;
    // std; fldz; push 0; fldcw [esp]; ldmxcsr [esp]; pop eax; ret
    const Addr mess =
        m.place_code({0xFD, 0xD9, 0xEE, 0x6A, 0x00, 0xD9, 0x2C, 0x24, 0x0F, 0xAE, 0x14, 0x24, 0x58, 0xC3});
    ASSERT_TRUE(m.call("mess", mess, {}, q7host::Returns::kInt).completed);
    // Reads eflags.DF, the control word, the tag word and MXCSR into one word:
    // eax = DF | (fcw != 0x27F) << 1 | (ftw != 0xFFFF) << 2 | (mxcsr != 0x1F80) << 3.
    const Addr look = m.place_code({
        0x9C, 0x58, 0xC1, 0xE8, 0x0A, 0x83, 0xE0, 0x01,                    // pushfd; pop eax; shr eax, 10; and eax, 1
        0x83, 0xEC, 0x1C, 0xD9, 0x34, 0x24,                                // sub esp, 28; fnstenv [esp]
        0x66, 0x81, 0x3C, 0x24, 0x7F, 0x02, 0x74, 0x03, 0x83, 0xC8, 0x02,  // cmp word [esp], 0x27F; je +3; or eax, 2
        0x66, 0x83, 0x7C, 0x24, 0x08, 0xFF, 0x74, 0x03, 0x83, 0xC8, 0x04,  // cmp word [esp+8], -1; je +3; or eax, 4
        0x0F, 0xAE, 0x1C, 0x24,                                            // stmxcsr [esp]
        0x81, 0x3C, 0x24, 0x80, 0x1F, 0,    0,    0x74, 0x03, 0x83, 0xC8,
        0x08,                    // cmp dword [esp], 0x1F80; je +3; or eax, 8
        0x83, 0xC4, 0x1C, 0xC3,  // add esp, 28; ret
    });
    const q7host::CallOutcome out = m.call("look", look, {}, q7host::Returns::kInt);
    ASSERT_TRUE(out.completed);
    EXPECT_EQ(out.eax, 0u) << "bit 0 DF set, 1 control word, 2 tag word, 3 MXCSR";
}

// Host memory handed out to its last byte leaves the thread's system pages as
// they were: the thread block still names itself.
TEST(Probes, HostMemoryNeverReachesTheThreadBlock) {
    q7host::Machine m;
    const Addr self = m.place_code({0x64, 0xA1, 0x18, 0, 0, 0, 0xC3});  // mov eax, fs:[0x18]; ret
    EXPECT_THROW(
        {
            for (;;) m.allocate(0x1000, 0xEE);
        },
        std::length_error);
    const q7host::CallOutcome out = m.call("self", self, {}, q7host::Returns::kInt);
    EXPECT_TRUE(out.completed);
    EXPECT_EQ(out.eax, q7host::Machine::thread().environment_block);
}
