// Module files and module code a panel builder may hand the host by mistake or
// on purpose: each case is the real quorlan7.gau with one thing broken, and
// the host must refuse it with one line naming what is wrong, or report the
// misbehaviour by kind, and never crash, hang or abort.
#include "host/gauge.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using q7host::GaugeHost;
using q7host::ProblemKind;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Real {
    Bytes file;
    q7host::PeImage image;
    std::uint32_t pe = 0;
    static const Real& get() {
        static const Real r = [] {
            Real r;
            std::string error;
            auto img = q7host::PeImage::read_file(Q7_MODULE_FILE, error);
            EXPECT_TRUE(img) << error;
            r.image = std::move(*img);
            r.file = r.image.file;
            std::memcpy(&r.pe, r.file.data() + 0x3C, 4);
            return r;
        }();
        return r;
    }
    // File offset of an RVA inside a section.
    std::size_t offset(std::uint32_t rva) const {
        const auto* s = image.section_at(rva);
        return s->raw_offset + (rva - s->virtual_address);
    }
};

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}
void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    std::memcpy(b.data() + at, &v, 2);
}
void put_code(Bytes& b, std::size_t at, std::initializer_list<std::uint8_t> code) {
    std::copy(code.begin(), code.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

std::size_t section_header(const Real& r, int index) {
    std::uint16_t opt_size;
    std::memcpy(&opt_size, r.file.data() + r.pe + 20, 2);
    return r.pe + 24 + opt_size + 40 * index;
}

}  // namespace

TEST(Loader, RefusesUnusableFilesWithOneLineNamingTheFault) {
    const Real& r = Real::get();
    const struct {
        const char* label;
        std::function<void(Bytes&)> patch;
        const char* says;
    } cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, "no MZ header"},
        {"cut inside the section table", [&](Bytes& b) { b.resize(section_header(r, 2) + 10); }, "truncated"},
        {"cut inside .data", [&](Bytes& b) { b.resize(r.image.sections[1].raw_offset + 100); },
         "section 2 (.data) lies outside the file"},
        {"65535 sections", [&](Bytes& b) { put16(b, r.pe + 6, 0xFFFF); }, "claims 65535 sections"},
        {"not i386", [&](Bytes& b) { put16(b, r.pe + 4, 0x8664); }, "not a 32-bit i386 image"},
        {"not a DLL", [&](Bytes& b) { put16(b, r.pe + 22, 0x0102); }, "not a dynamic library"},
        {"image of 4 GiB", [&](Bytes& b) { put32(b, r.pe + 24 + 56, 0xFFFFF000); }, "image size"},
        {"section past the image", [&](Bytes& b) { put32(b, section_header(r, 3) + 12, 0x7FFF0000); },
         "section 4 (.edata)"},
        {"entry point in data", [&](Bytes& b) { put32(b, r.pe + 24 + 16, r.image.sections[1].virtual_address); },
         "entry point"},
        {"relocation outside the image",
         [&](Bytes& b) {
             const auto& reloc = r.image.sections.back();
             put32(b, reloc.raw_offset, 0x00FFF000);
         },
         "base relocation"},
        {"import the host lacks",
         [&](Bytes& b) {
             for (const auto& imp : r.image.imports) {
                 if (imp.function != "sin") continue;
                 const auto at = std::search(b.begin(), b.end(), std::begin("sin"), std::end("sin"));
                 std::memcpy(&*at, "tan", 3);
             }
         },
         "msvcrt.dll!tan, which this host does not provide"},
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

TEST(Loader, ReportsMisbehavingCodeByKindAndKeepsRunning) {
    const Real& r = Real::get();
    const std::size_t entry = r.offset(r.image.entry_rva);
    const struct {
        const char* label;
        std::initializer_list<std::uint8_t> code;
        ProblemKind kind;
        const char* says;
    } cases[] = {
        {"endless loop", {0xEB, 0xFE}, ProblemKind::NoReturn, "did not return within 2000000 instructions"},
        {"far jump through a register", {0xFF, 0xEF}, ProblemKind::Crash, "cannot run"},
        {"hlt", {0xF4}, ProblemKind::Crash, "a privileged instruction (0xC0000096)"},
        {"int3", {0xCC}, ProblemKind::StrayInterrupt, "raised interrupt 3"},
        {"write to the host's code", {0xC7, 0x05, 0x00, 0x10, 0x00, 0x60, 1, 0, 0, 0}, ProblemKind::Crash, "crashed"},
    };
    for (const auto& c : cases) {
        Bytes file = r.file;
        put_code(file, entry, c.code);
        GaugeHost host;
        EXPECT_FALSE(host.load(file, "bad.gau")) << c.label;
        EXPECT_EQ(host.load_failure(), GaugeHost::LoadFailure::kModule) << c.label;
        ASSERT_FALSE(host.violations().empty()) << c.label;
        EXPECT_EQ(host.violations().front().kind, c.kind) << c.label << ": " << host.violations().front();
        EXPECT_NE(host.error().find(c.says), std::string::npos) << c.label << ": " << host.error();
    }
    // The real module still loads in a host of its own afterwards.
    GaugeHost host;
    EXPECT_TRUE(host.load(Q7_MODULE_FILE)) << host.error();
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
    const Real& r = Real::get();
    Bytes file = r.file;
    put_code(file, r.offset(r.image.entry_rva), {0xFF, 0xEF});
    auto peak_mib = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_maxrss / 1024;
    };
    { GaugeHost warm_up; warm_up.load(file, "bad.gau"); }
    const long before = peak_mib();
    for (int i = 0; i < 150; ++i) {
        GaugeHost host;
        ASSERT_FALSE(host.load(file, "bad.gau"));
    }
    EXPECT_LT(peak_mib() - before, 100) << "MiB more after 150 stopped emulators";
    GaugeHost host;
    EXPECT_TRUE(host.load(Q7_MODULE_FILE)) << host.error();
}
