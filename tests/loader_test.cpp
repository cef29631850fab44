// Module files as the Windows loader takes them: each case is the real
// quorlan7.gau with one thing changed, and the host must give Windows's
// verdict. Refused files are refused with one line naming what is wrong;
// files Windows loads load, with the bytes Windows maps and a warning where
// they are odd; the loader's routines run in Windows's order; writes the host
// makes into the module respect its page protection; misbehaving code is
// reported by kind, and the host never crashes, hangs or aborts.
#include "host/gauge_host.h"
#include "support/module_file.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using q7host::Addr;
using q7host::GaugeHost;
using q7host::ProblemKind;
using q7host::WarningKind;

namespace {

using q7fuzz::put32;
using q7test::Bytes;
using q7test::ModuleFile;
namespace pe = q7fuzz::pe;

std::vector<WarningKind> kinds(const std::vector<q7host::Warning>& ws) {
    std::vector<WarningKind> out;
    for (const auto& w : ws) out.push_back(w.kind);
    return out;
}

std::string sentences(const GaugeHost& host) {
    std::string s;
    for (const auto& p : host.problems()) s += "\n  problem: " + p.sentence();
    for (const auto& w : host.warnings()) s += "\n  warning: " + w.sentence();
    return s;
}

}  // namespace

TEST(Loader, RefusesWhatWindowsRefusesInOneLineNamingTheFault) {
    const ModuleFile& r = ModuleFile::get();
    const struct {
        const char* label;
        std::function<void(Bytes&)> patch;
        const char* says;
    } cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, "no MZ header"},
        {"cut inside the section table", [&](Bytes& b) { b.resize(r.anatomy.sections[2].header + 10); }, "truncated"},
        {"cut inside .data", [&](Bytes& b) { b.resize(r.image.sections[1].raw_offset + 100); },
         "section 2 (.data) lies outside the file"},
        {"65535 sections", [&](Bytes& b) { q7fuzz::put16(b, r.anatomy.pe + pe::kSectionCount, 0xFFFF); },
         "claims 65535 sections"},
        {"not i386", [&](Bytes& b) { q7fuzz::put16(b, r.anatomy.pe + pe::kMachine, 0x8664); },
         "not a 32-bit i386 image"},
        {"not a DLL", [&](Bytes& b) { q7fuzz::put16(b, r.anatomy.pe + pe::kCharacteristics, 0x0102); },
         "not a dynamic library"},
        {"image of 4 GiB", [&](Bytes& b) { put32(b, r.anatomy.optional + pe::kImageSize, 0xFFFFF000); }, "image size"},
        {"image base not a multiple of 64 KiB",
         [&](Bytes& b) { put32(b, r.anatomy.optional + pe::kImageBase, 0x5E701000); }, "image base"},
        {"section past the image",
         [&](Bytes& b) { put32(b, r.anatomy.sections[3].header + pe::kVirtualAddress, 0x7FFF0000); },
         "section 4 (.edata)"},
        {"sections overlapping",
         [&](Bytes& b) { put32(b, r.anatomy.sections[1].header + pe::kVirtualAddress, r.anatomy.sections[0].rva); },
         "section 2 (.data) overlaps"},
        {"a gap between two sections (Windows maps them one after another)",
         [&](Bytes& b) { put32(b, r.anatomy.sections[5].header + pe::kVirtualSize, 0x1000); },
         "section 7 (.reloc) does not start where the section before it ends (0x9000, not 0x7000)"},
        {"headers reaching into the first section",
         [&](Bytes& b) { put32(b, r.anatomy.optional + pe::kHeadersSize, 0x1001); },
         "section 1 (.text) overlaps the headers"},
        {"relocation outside the image (the image always moves)",
         [&](Bytes& b) { put32(b, r.anatomy.section(".reloc").raw_offset, 0x00FFF000); }, "base relocation"},
        {"relocation of a type a 32-bit image does not use", [&](Bytes& b) { b = r.mutant("relocations-type-dir64"); },
         "type 10"},
        {"broken relocations of an image without DYNAMIC_BASE that must move",
         [&](Bytes& b) { b = r.mutant("windows-relocations-broken-not-dynamic-base-moved"); }, "base relocation block"},
        {"import of a name its DLL does not export",
         [&](Bytes& b) {
             const auto at = std::search(b.begin(), b.end(), std::begin("sin"), std::end("sin"));
             std::memcpy(&*at, "xin", 3);
         },
         "msvcrt.dll!xin, which that DLL does not export (error 127"},
        {"import of a DLL no Windows has",
         [&](Bytes& b) {
             const auto at = std::search(b.begin(), b.end(), std::begin("USER32.dll"), std::end("USER32.dll"));
             std::memcpy(&*at, "USER33", 6);
         },
         "imports USER33.dll, which no Windows has (error 126"},
        {"TLS index slot outside the module", [&](Bytes& b) { b = r.mutant("windows-tls-index-slot-nowhere"); },
         "TLS index slot at 0xFFFFFFF0"},
        {"export names out of order (the lookup is a binary search)",
         [&](Bytes& b) { b = r.mutant("windows-exports-names-unsorted"); },
         "ImportTable is not in the export name table"},
        {"ImportTable forwarded", [&](Bytes& b) { b = r.mutant("exports-forwarded"); }, "forwarded to another module"},
        {"ImportTable's address wrapping round below the image",
         [&](Bytes& b) {
             const std::uint32_t functions = q7fuzz::get32(b, q7fuzz::export_field(b, r.anatomy, pe::kFunctions));
             put32(b, r.offset(functions), 0xE3002000);  // ordinal 1: base + RVA wraps to below the image
         },
         "runs past the end of the image"},
    };
    for (const auto& c : cases) {
        Bytes file = r.file;
        c.patch(file);
        GaugeHost host;
        EXPECT_FALSE(host.load(file, "bad.gau")) << c.label;
        EXPECT_EQ(host.load_failure(), GaugeHost::LoadFailure::kFile) << c.label;
        EXPECT_NE(host.error().find(c.says), std::string::npos) << c.label << ": " << host.error();
        EXPECT_EQ(host.error().rfind("bad.gau: ", 0), 0u) << c.label << ": " << host.error();
        EXPECT_EQ(host.error().find('\n'), std::string::npos) << c.label;
    }
}

// Files the Windows loader loads and runs: the gauge installs and draws a
// frame with nothing to report, and what is odd about the file is a warning.
TEST(Loader, LoadsWhatWindowsLoadsAndWarnsWhereItIsOdd) {
    const ModuleFile& r = ModuleFile::get();
    const struct {
        const char* mutant;
        std::vector<WarningKind> warnings;
    } cases[] = {
        {"header-entry-zero", {}},        // no entry routine
        {"windows-entry-returns-2", {}},  // any nonzero result attaches
        {"windows-entry-returns-minus-1", {}},
        {"windows-entry-unbalances-stack", {WarningKind::LoaderRoutineStack}},
        {"windows-tls-callback-returns", {}},
        {"windows-tls-callback-unbalances-stack", {WarningKind::LoaderRoutineStack}},
        {"header-headers-size-0", {}},  // the header page holds the section table all the same
        {"header-headers-size-small", {}},
        {"header-directories-17", {WarningKind::DirectoriesIgnored}},
        {"directory-exports-size-huge", {WarningKind::ExportDirectoryPastImage}},
        {"exports-module-name-endless", {}},  // parts of the export table no lookup reads
        {"exports-more-names-than-functions", {}},
        {"section-data-executable", {}},            // writable and executable: the host writes ImportTable
        {"windows-data-raw-offset-unaligned", {}},  // read from the 512-byte sector, the same bytes
        {"windows-data-virtual-size-16", {}},       // the records lie past the virtual size, in its page
        {"windows-relocations-high-and-low-moved", {}},
        {"windows-relocations-broken-not-dynamic-base", {}},  // at its own base they are never read
        {"directory-resources-outside", {}},                  // resources are read only for pictures
    };
    for (const auto& c : cases) {
        GaugeHost host;
        ASSERT_TRUE(host.load(r.mutant(c.mutant), c.mutant)) << host.error();
        host.install();
        host.frame();
        EXPECT_TRUE(host.problems().empty()) << c.mutant << sentences(host);
        EXPECT_EQ(kinds(host.warnings()), c.warnings) << c.mutant << sentences(host);
        host.unload();
        EXPECT_TRUE(host.problems().empty()) << c.mutant << " at unload:" << sentences(host);
    }
}

// The bytes Windows maps from the file: raw data from PointerToRawData
// rounded down to a multiple of 512, as far as the raw size rounded up to
// one reaches in the section's last page (past its virtual size), the header
// page only up to SizeOfHeaders; a 16-bit relocation of the high half when
// the image moves; the TLS index the loader writes.
TEST(Loader, MapsTheBytesWindowsMaps) {
    const ModuleFile& r = ModuleFile::get();
    const auto& data = r.anatomy.section(".data");
    const std::uint32_t d = data.rva;
    const std::size_t dsh = data.header, headers = r.anatomy.optional + pe::kHeadersSize;
    auto original = [&](std::size_t at, std::size_t n) { return Bytes(r.file.begin() + at, r.file.begin() + at + n); };
    // Each case sets one header field and marks one byte of the file with 0xAB.
    const struct {
        const char* label;
        std::size_t field;
        std::uint32_t value;
        std::size_t marked;  // 0: none
        std::uint32_t rva;   // where the mapped bytes are read
        Bytes expected;
    } cases[] = {
        {"PointerToRawData not a multiple of 512", dsh + pe::kRawOffset, data.raw_offset + 0x10, 0, d + 0x20,
         original(data.raw_offset + 0x20, 16)},
        {"SizeOfRawData rounded up to 512", dsh + pe::kRawSize, 0x7A1, data.raw_offset + 0x7F0, d + 0x7F0, Bytes{0xAB}},
        {"raw data past VirtualSize, in its last page", dsh + pe::kVirtualSize, 0x10, data.raw_offset + 0x7F8,
         d + 0x7F8, Bytes{0xAB}},
        {"the header page holds the file up to SizeOfHeaders", headers, 0x300, 0x2F0, 0x2F0, Bytes{0xAB}},
        {"and zeros after it", headers, 0x300, 0x350, 0x350, Bytes{0}},
    };
    for (const auto& c : cases) {
        Bytes file = r.file;
        put32(file, c.field, c.value);
        if (c.marked) file.at(c.marked) = 0xAB;
        GaugeHost host;
        ASSERT_TRUE(host.load(file, c.label)) << host.error();
        EXPECT_EQ(host.machine().read_bytes(host.base() + c.rva, c.expected.size()), c.expected) << c.label;
    }

    // The module linked at 0x60000000, which is the host's: moved, its 16-bit
    // field gains the high half of the move.
    GaugeHost moved;
    ASSERT_TRUE(moved.load(r.mutant("windows-relocations-high-and-low-moved"), "moved.gau")) << moved.error();
    EXPECT_EQ(moved.machine().read<std::uint16_t>(moved.base() + d + 0x7F0), (moved.base() - 0x60000000u) >> 16);

    GaugeHost tls;
    ASSERT_TRUE(tls.load(r.mutant("windows-tls-callback-returns"), "tls.gau")) << tls.error();
    const std::uint32_t slot = tls.image().directories[q7host::PeImage::kTls].rva + 0x20;
    EXPECT_EQ(tls.machine().read(tls.base() + slot), q7host::kTlsIndex) << "the slot held 0xFFFF in the file";

    // The thread's copy of the thread data: the template (here the callback
    // list, 8 bytes) and then the zero fill, where fs:[0x2C][index] leads.
    Bytes file = r.mutant("windows-tls-callback-returns");
    std::string error;
    const auto parsed = q7host::PeImage::parse(file, error);
    ASSERT_TRUE(parsed) << error;
    const auto& section = parsed->sections.back();
    const std::uint32_t va = parsed->image_base + section.virtual_address;
    put32(file, section.raw_offset, va + 0x28);
    put32(file, section.raw_offset + 4, va + 0x30);
    put32(file, section.raw_offset + 16, 8);
    GaugeHost thread_data;
    ASSERT_TRUE(thread_data.load(file, "tls-data.gau")) << thread_data.error();
    const Addr pointers = thread_data.machine().read(q7host::Machine::thread().environment_block + 0x2C);
    const Addr block = thread_data.machine().read(pointers + 4 * q7host::kTlsIndex);
    Bytes expected(16, 0);
    put32(expected, 0, va + 0x40);
    EXPECT_EQ(thread_data.machine().read_bytes(block, 16), expected);
}

// The TLS callbacks and the entry routine log each call (a tag plus the
// reason code) into host memory: Windows runs the callbacks before the entry
// routine on attach and after it on detach, takes any nonzero result as an
// attach, detaches at once after a refusal, and restores the stack after
// each routine.
TEST(Loader, RunsTheLoaderRoutinesAsWindowsDoes) {
    const ModuleFile& r = ModuleFile::get();
    constexpr std::uint8_t kTls = 0x10, kEntry = 0x20;
    const auto& text = r.anatomy.section(".text");
    const auto& data = r.anatomy.section(".data");
    const Addr base = r.image.image_base;
    // Code and the TLS directory go into the slack of .text and .data past
    // their virtual sizes, which Windows maps with their sections.
    const std::uint32_t callback = text.rva + text.virtual_size + 0x10, entry = callback + 0x40;
    const std::uint32_t directory = data.rva + data.virtual_size, slot = directory + 0x20, list = slot + 8;
    enum class Entry { kLogs, kNone, kReturnsZero, kLeavesStack };
    using Log = std::vector<std::uint8_t>;
    const struct {
        const char* label;
        Entry entry;
        bool loads;
        Log log;
        std::vector<WarningKind> warnings = {};
        Bytes callback = {};  // empty: the logger
    } cases[] = {
        {"callbacks before the entry routine, after it at detach", Entry::kLogs, true,
         Log{kTls + 1, kEntry + 1, kEntry + 0, kTls + 0}},
        {"no entry routine", Entry::kNone, true, {kTls + 1, kTls + 0}},
        {"the entry routine refuses: detached at once", Entry::kReturnsZero, false, {kTls + 1, kTls + 0}},
        {"the entry routine leaves the stack unbalanced", Entry::kLeavesStack, true, Log{kTls + 1, kTls + 0},
         std::vector{WarningKind::LoaderRoutineStack}},
        {"a TLS callback crashes: Windows's loader catches it and goes on",
         Entry::kLogs,
         true,
         Log{kEntry + 1, kEntry + 0},
         std::vector{WarningKind::TlsCallbackCrashed},
         {0x31, 0xC0, 0x8B, 0x00}},
    };
    for (const auto& c : cases) {
        GaugeHost host;
        const Addr log = host.machine().allocate(16), count = log + 12;
        auto logger = [&](std::uint8_t tag) {
            std::vector<std::uint8_t> code{0xA1, 0,    0,    0, 0, 0x8A, 0x54, 0x24, 0x08, 0x80, 0xC2,
                                           tag,  0x88, 0x90, 0, 0, 0,    0,    0xFF, 0x05, 0,    0,
                                           0,    0,    0xB8, 1, 0, 0,    0,    0xC2, 0x0C, 0x00};
            std::memcpy(&code[1], &count, 4);
            std::memcpy(&code[14], &log, 4);
            std::memcpy(&code[20], &count, 4);
            return code;
        };
        Bytes file = r.file;
        const auto cb = c.callback.empty() ? logger(kTls) : c.callback;
        q7fuzz::put(file, r.offset(callback), cb.data(), cb.size());
        const std::uint32_t tls[] = {0, 0, base + slot, base + list, 0, 0}, callbacks[] = {base + callback, 0};
        q7fuzz::put(file, r.offset(directory), tls, sizeof tls);
        q7fuzz::put(file, r.offset(list), callbacks, sizeof callbacks);
        put32(file, r.anatomy.directory(q7host::PeImage::kTls), directory);
        put32(file, r.anatomy.directory(q7host::PeImage::kTls) + 4, sizeof tls);
        std::vector<std::uint8_t> e;
        switch (c.entry) {
            case Entry::kLogs: e = logger(kEntry); break;
            case Entry::kReturnsZero: e = {0x31, 0xC0, 0xC2, 0x0C, 0x00}; break;
            case Entry::kLeavesStack: e = {0xB8, 1, 0, 0, 0, 0xC3}; break;
            case Entry::kNone: break;
        }
        q7fuzz::put(file, r.offset(entry), e.data(), e.size());
        put32(file, r.anatomy.optional + pe::kEntryPoint, c.entry == Entry::kNone ? 0 : entry);

        EXPECT_EQ(host.load(file, "tls.gau"), c.loads) << c.label << ": " << host.error();
        if (!c.loads) {
            EXPECT_EQ(host.load_failure(), GaugeHost::LoadFailure::kModule) << c.label;
        }
        host.unload();
        const auto logged = host.machine().read_bytes(log, host.machine().read(count));
        EXPECT_EQ(logged, c.log) << c.label;
        EXPECT_EQ(kinds(host.warnings()), c.warnings) << c.label << sentences(host);
        EXPECT_TRUE(host.problems().empty()) << c.label << sentences(host);
    }
}

// A Windows host writing into a record the module placed in memory that is
// not writable would crash: the write is the module's fault, named by the
// record, and nothing is written. The section's write flag decides.
TEST(Loader, HostWritesRespectTheModulesPageProtection) {
    const ModuleFile& r = ModuleFile::get();
    {
        GaugeHost host;
        EXPECT_FALSE(host.load(r.mutant("section-data-read-only"), "ro.gau"));
        EXPECT_EQ(host.load_failure(), GaugeHost::LoadFailure::kModule);
        ASSERT_FALSE(host.problems().empty());
        EXPECT_EQ(host.problems().back().kind, ProblemKind::RecordNotWritable);
        EXPECT_NE(host.error().find("into ImportTable at 0x"), std::string::npos) << host.error();
    }
    // Records in read-only memory after the load: the host's view of what is
    // writable stands in for the section flags of a page the record shares.
    const struct {
        const char* label;
        std::function<Addr(GaugeHost&)> field;
        bool during_install;
        const char* says;
    } cases[] = {
        {"the root image's host_image, by service 25",
         [](GaugeHost& h) { return h.root() + q7host::static_image::kHostImage; }, true,
         "the host_image field of the root image"},
        {"a text box's text_buffer", [](GaugeHost& h) { return h.instrument().distance.text_buffer_field(); }, true,
         "the text_buffer field of the text box"},
        {"a ModuleVar's value, by service 40 in a frame",
         [](GaugeHost& h) {
             for (const auto& call : h.services().calls()) {
                 if (call.position == q7host::kServiceVarRefresh) return call.args.at(0) + q7host::module_var::kValue;
             }
             return Addr{0};
         },
         false, "the value of the ModuleVar"},
    };
    for (const auto& c : cases) {
        GaugeHost host;
        ASSERT_TRUE(host.load(r.file, "quorlan7.gau")) << host.error();
        if (!c.during_install) host.install();
        GaugeHost probe;  // the field's address, from a copy at the same base that ran a frame
        ASSERT_TRUE(probe.load(r.file, "quorlan7.gau"));
        probe.install();
        probe.frame();
        const Addr field = c.field(probe);
        const auto before = host.machine().read_bytes(field, 4);
        host.services().writable = [field](Addr a, std::size_t n) { return a + n <= field || a >= field + 4; };
        if (c.during_install)
            host.install();
        else
            host.frame();
        ASSERT_FALSE(host.problems().empty()) << c.label;
        EXPECT_EQ(host.problems().front().kind, ProblemKind::RecordNotWritable) << c.label;
        EXPECT_NE(host.problems().front().sentence().find(c.says), std::string::npos) << host.problems().front();
        EXPECT_EQ(host.machine().read_bytes(field, 4), before) << c.label;
    }
}

TEST(Loader, ReportsMisbehavingCodeByKindAndKeepsRunning) {
    const ModuleFile& r = ModuleFile::get();
    const std::size_t entry = r.offset(r.image.entry_rva);
    const struct {
        const char* label;
        std::initializer_list<std::uint8_t> code;
        ProblemKind kind;
        const char* says;
    } cases[] = {
        {"endless loop", {0xEB, 0xFE}, ProblemKind::NoReturn, "did not return within 100000000 instructions"},
        {"far jump through a register", {0xFF, 0xEF}, ProblemKind::Crash, "cannot run"},
        {"hlt", {0xF4}, ProblemKind::Crash, "a privileged instruction (0xC0000096)"},
        {"int3", {0xCC}, ProblemKind::Crash, "a breakpoint (0x80000003)"},
        {"write to the host's code", {0xC7, 0x05, 0x00, 0x10, 0x00, 0x60, 1, 0, 0, 0}, ProblemKind::Crash, "crashed"},
    };
    for (const auto& c : cases) {
        Bytes file = r.file;
        q7fuzz::put(file, entry, std::data(c.code), c.code.size());
        GaugeHost host;
        EXPECT_FALSE(host.load(file, "bad.gau")) << c.label;
        EXPECT_EQ(host.load_failure(), GaugeHost::LoadFailure::kModule) << c.label;
        ASSERT_FALSE(host.problems().empty()) << c.label;
        EXPECT_EQ(host.problems().front().kind, c.kind) << c.label << ": " << host.problems().front();
        EXPECT_NE(host.error().find(c.says), std::string::npos) << c.label << ": " << host.error();
    }
    // An entry point in data runs as Windows runs it, and faults there.
    Bytes file = r.file;
    put32(file, r.anatomy.optional + pe::kEntryPoint, r.anatomy.sections[1].rva);
    GaugeHost host;
    EXPECT_FALSE(host.load(file, "bad.gau"));
    EXPECT_EQ(host.load_failure(), GaugeHost::LoadFailure::kModule) << host.error();
    // The real module still loads in a host of its own afterwards.
    GaugeHost fresh;
    EXPECT_TRUE(fresh.load(Q7_MODULE_FILE)) << fresh.error();
}

// An emulator that stopped for good is closed with its host: a process that
// meets many such modules (a fuzzer, a panel with a bad gauge reloaded) keeps
// its size. Kept open, each would hold about 3 MiB until the process ends.
TEST(Loader, EmulatorsStoppedForGoodAreReleased) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
#endif
    const ModuleFile& r = ModuleFile::get();
    Bytes file = r.file;
    q7fuzz::put16(file, r.offset(r.image.entry_rva), 0xEFFF);  // jmp far through a register
    auto peak_mib = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_maxrss / 1024;
    };
    {
        GaugeHost warm_up;
        warm_up.load(file, "bad.gau");
    }
    const long before = peak_mib();
    for (int i = 0; i < 150; ++i) {
        GaugeHost host;
        ASSERT_FALSE(host.load(file, "bad.gau"));
    }
    EXPECT_LT(peak_mib() - before, 100) << "MiB more after 150 stopped emulators";
    GaugeHost host;
    EXPECT_TRUE(host.load(Q7_MODULE_FILE)) << host.error();
}
