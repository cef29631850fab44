// The module's boundary as a host meets it: the export and import tables, the
// entry routine, the service table and its re-read, the pointer callbacks with
// their refresh calls, and the host's own stack-balance check.
#include "support/test_support.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

using namespace q7test;
using q7host::GaugeHost;

namespace {

const IMAGE_NT_HEADERS32* nt_headers(HMODULE m) {
    auto base = reinterpret_cast<const unsigned char*>(m);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
}

const IMAGE_SECTION_HEADER* section_of(HMODULE m, DWORD rva) {
    const auto* nt = nt_headers(m);
    const auto* s = IMAGE_FIRST_SECTION(nt);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s) {
        if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->Misc.VirtualSize) return s;
    }
    return nullptr;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Raw table values of the waypoints the worked examples use.
constexpr std::int32_t kGgateLat = 4202735, kGgateLon = -1461193608;
constexpr std::int32_t kSfintLat = 4180639, kSfintLon = -1459976701;
constexpr double kMetresPerNm = 1852.175925925926;
constexpr double kTurn48 = 281474976710656.0;

class Boundary : public LoadedGauge {
protected:
    void place(Position p, double heading) {
        host.set_var(q7host::kSimLatitude, p.latitude);
        host.set_var(q7host::kSimLongitude, p.longitude);
        host.set_var(q7host::kSimHeading, heading);
    }
    double dot_x() { return host.call_pointer("bearing_dot_x", dot()->x_callback, 0); }
    double dot_y() { return host.call_pointer("bearing_dot_y", dot()->y_callback, 0); }
};

}  // namespace

TEST_F(Boundary, ExportsExactlyTwoDataRecordsByNameAndOrdinal) {
    HMODULE m = host.module();
    const auto* nt = nt_headers(m);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);

    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto base = reinterpret_cast<const unsigned char*>(m);
    auto exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    EXPECT_STREQ(reinterpret_cast<const char*>(base + exp->Name), "quorlan7.gau");
    EXPECT_EQ(exp->Base, 1u);
    ASSERT_EQ(exp->NumberOfFunctions, 2u);
    ASSERT_EQ(exp->NumberOfNames, 2u);

    auto names = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    auto ordinals = reinterpret_cast<const WORD*>(base + exp->AddressOfNameOrdinals);
    auto functions = reinterpret_cast<const DWORD*>(base + exp->AddressOfFunctions);
    std::map<std::string, unsigned> by_name;
    for (unsigned i = 0; i < exp->NumberOfNames; ++i) {
        by_name[reinterpret_cast<const char*>(base + names[i])] = ordinals[i] + exp->Base;
    }
    EXPECT_EQ(by_name, (std::map<std::string, unsigned>{{"ImportTable", 1}, {"Linkage", 2}}));

    // Both exports are data: they lie in a writable section that holds no code.
    for (unsigned i = 0; i < 2; ++i) {
        const auto* s = section_of(m, functions[i]);
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(s->Characteristics & IMAGE_SCN_MEM_WRITE) << "export " << i + 1;
        EXPECT_FALSE(s->Characteristics & IMAGE_SCN_MEM_EXECUTE) << "export " << i + 1;
    }
    EXPECT_EQ(reinterpret_cast<void*>(host.import_table()), base + functions[0]);
    EXPECT_EQ(reinterpret_cast<void*>(host.linkage()), base + functions[1]);
}

TEST_F(Boundary, ImportsOnlySystemLibraries) {
    HMODULE m = host.module();
    auto base = reinterpret_cast<const unsigned char*>(m);
    const auto& dir = nt_headers(m)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    std::set<std::string> dlls;
    for (auto d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         d->Name; ++d) {
        dlls.insert(lower(reinterpret_cast<const char*>(base + d->Name)));
    }
    const std::set<std::string> allowed{"kernel32.dll", "user32.dll", "msvcrt.dll"};
    for (const auto& dll : dlls) EXPECT_TRUE(allowed.count(dll)) << "imports " << dll;
    EXPECT_TRUE(dlls.count("user32.dll"));  // wsprintfA
}

TEST_F(Boundary, ImportTableHoldsTheServiceTableTheHostWrote) {
    const auto* t = host.import_table();
    EXPECT_EQ(read_at(t, 0), 0x0Fu);
    EXPECT_EQ(read_at(t, 4), reinterpret_cast<std::uintptr_t>(host.table_address(0)));
    EXPECT_EQ(read_at(t, 8), 0u);
    EXPECT_EQ(read_at(t, 12), 0u);
}

TEST_F(Boundary, EntryRoutineReturnsOneForEveryReasonWithoutTouchingTheHost) {
    HMODULE m = host.module();
    auto entry = reinterpret_cast<const unsigned char*>(m) +
                 nt_headers(m)->OptionalHeader.AddressOfEntryPoint;
    const std::uint32_t instance = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m));
    for (std::uint32_t reason : {DLL_PROCESS_ATTACH, DLL_PROCESS_DETACH, DLL_THREAD_ATTACH,
                                 DLL_THREAD_DETACH, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        for (std::uint32_t reserved : {0u, 1u, 0xDEADBEEFu}) {
            const std::uint32_t args[3] = {instance, reason, reserved};
            const auto out = host.call("entry routine", entry, args, 3, false);
            EXPECT_EQ(out.eax, 1u) << "reason " << reason;
            EXPECT_EQ(out.stack_delta, 0) << "reason " << reason;
        }
    }
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(Boundary, WorkedExamplesOneMileSouthOfTheWaypoint) {
    place({kGgateLat - kMetresPerNm, kGgateLon * 65536.0}, 0.0);
    struct { double heading, x, y; } cases[] = {
        {0, 0, 24.5}, {90, -24.5, 0}, {180, 0, -24.5}, {270, 24.5, 0}, {360, 0, 24.5}};
    for (const auto& c : cases) {
        host.set_var(q7host::kSimHeading, c.heading);
        EXPECT_NEAR(dot_x(), c.x, 0.01) << "heading " << c.heading;
        EXPECT_NEAR(dot_y(), c.y, 0.01) << "heading " << c.heading;
    }
}

TEST_F(Boundary, WorkedExamplesTenMinutesWestInBothLongitudeForms) {
    const double west = (kGgateLon - 10.0 / 60.0 / 360.0 * 4294967296.0) * 65536.0;
    for (double lon : {west, west + kTurn48}) {
        place({double(kGgateLat), lon}, 0.0);
        struct { double heading, x, y; } cases[] = {
            {0, 24.5, 0}, {90, 0, 24.5}, {45, 17.32, 17.32}};
        for (const auto& c : cases) {
            host.set_var(q7host::kSimHeading, c.heading);
            EXPECT_NEAR(dot_x(), c.x, 0.01) << "heading " << c.heading << " lon " << lon;
            EXPECT_NEAR(dot_y(), c.y, 0.01) << "heading " << c.heading << " lon " << lon;
        }
    }
}

TEST_F(Boundary, WorkedExamplesFromSfintAndTheCircle) {
    place(at_raw(kSfintLat, kSfintLon), 0.0);
    EXPECT_NEAR(dot_x(), -9.21, 0.01);
    EXPECT_NEAR(dot_y(), 22.70, 0.01);
    host.set_var(q7host::kSimHeading, 330.0);
    EXPECT_NEAR(dot_x(), 3.37, 0.01);
    EXPECT_NEAR(dot_y(), 24.27, 0.01);

    // Anywhere but on the waypoint, the dot stays on the 24.5-pixel circle.
    for (double lat : {36.0, 37.5, 37.81, 38.9, -10.0}) {
        for (double lon : {-123.5, -122.47, -120.0, 100.0}) {
            for (double heading : {0.0, 33.3, 181.0, 359.9, -720.5}) {
                host.set_aircraft(lat, lon, heading);
                const double x = dot_x(), y = dot_y();
                EXPECT_NEAR(x * x + y * y, 600.25, 0.01) << lat << " " << lon << " " << heading;
            }
        }
    }
}

TEST_F(Boundary, DotStaysAtRestOnTheWaypointAndForNonFiniteHostValues) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    const struct { Position p; double heading; } cases[] = {
        {at_raw(kGgateLat, kGgateLon), 0.0},   // 0/0 on the waypoint itself
        {at_raw(kGgateLat, kGgateLon), 123.0},
        {{nan, kGgateLon * 65536.0}, 0.0},
        {{kGgateLat - 5000.0, nan}, 0.0},
        {{kGgateLat - 5000.0, kGgateLon * 65536.0}, nan},
        {{kGgateLat - 5000.0, kGgateLon * 65536.0}, inf},
        {{inf, kGgateLon * 65536.0}, 10.0},
        {{-inf, -inf}, 10.0},
        {{1e308, 1e308}, 10.0},
    };
    for (const auto& c : cases) {
        place(c.p, c.heading);
        const double x = dot_x(), y = dot_y();
        EXPECT_TRUE(std::isfinite(x) && std::isfinite(y))
            << c.p.latitude << " " << c.p.longitude << " " << c.heading << " -> " << x << " " << y;
        if (std::isnan(c.p.latitude) || std::isnan(c.p.longitude) || !std::isfinite(c.heading) ||
            c.p.latitude == double(kGgateLat)) {
            EXPECT_EQ(x, 0.0);
            EXPECT_EQ(y, 0.0);
        }
    }
}

TEST_F(Boundary, EachPointerCallbackRefreshesLatitudeLongitudeHeadingOnceInOrder) {
    place({kGgateLat - kMetresPerNm, kGgateLon * 65536.0}, 90.0);
    for (bool y : {false, true}) {
        host.clear_calls();
        y ? dot_y() : dot_x();
        ASSERT_EQ(host.calls().size(), 3u);
        std::vector<std::uint32_t> ids;
        for (const auto& c : host.calls()) {
            EXPECT_EQ(c.position, 40u);
            ASSERT_EQ(c.args.size(), 1u);
            const auto* var = reinterpret_cast<const unsigned char*>(c.args[0]);
            ids.push_back(read_at(var, 0));
            // The host wrote the value as a double at byte 12, a 4-byte boundary.
            EXPECT_EQ(read_at<double>(var, 12), host.var(read_at(var, 0)));
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(var) % 4, 0u);
        }
        EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x47, 0x48, 0x56}));
    }
}

TEST_F(Boundary, ServiceResultsHaveNoEffectOnThePointer) {
    place(at_raw(kSfintLat, kSfintLon), 330.0);
    const double x0 = dot_x(), y0 = dot_y();
    for (std::uint32_t r : {1u, 0xFFFFFFFFu, 0x80000000u}) {
        host.set_result(40, r);
        EXPECT_EQ(dot_x(), x0);
        EXPECT_EQ(dot_y(), y0);
    }
}

TEST_F(Boundary, ModuleReadsTheTableAddressAfreshAtEveryCall) {
    place(at_raw(kSfintLat, kSfintLon), 0.0);
    dot_x();
    ASSERT_EQ(host.calls().size(), 3u);
    for (const auto& c : host.calls()) EXPECT_EQ(c.table, 0u);

    host.use_table(1);
    host.clear_calls();
    dot_y();
    ASSERT_EQ(host.calls().size(), 3u);
    for (const auto& c : host.calls()) EXPECT_EQ(c.table, 1u);

    host.use_table(0);
    host.clear_calls();
    dot_x();
    for (const auto& c : host.calls()) EXPECT_EQ(c.table, 0u);
}

// Routines of the test's own with known calling conventions, to prove that the
// host's balance check catches a mismatch and names the routine.
namespace {
double Q7_STDCALL right_convention(std::uint32_t) { return 1.5; }
double __cdecl wrong_convention(std::uint32_t) { return 2.5; }
std::uint32_t Q7_STDCALL pops_too_much(std::uint32_t, std::uint32_t) { return 7; }
std::uint32_t Q7_STDCALL calls_forbidden_service(std::uint32_t) {
    using Service = std::uint32_t(Q7_STDCALL*)();
    auto table = static_cast<void* const*>(q7host::active_host()->table_address(0));
    return reinterpret_cast<Service>(table[30])() + 100;
}
}  // namespace

TEST(HostStackCheck, FailsOnARoutineWithTheWrongCallingConvention) {
    GaugeHost host;
    EXPECT_EQ(host.call_pointer("right_convention", right_convention, 0), 1.5);
    EXPECT_TRUE(host.violations().empty());

    const double wrong = host.call_pointer(
        "wrong_convention", reinterpret_cast<PointerCallback>(&wrong_convention), 0);
    EXPECT_EQ(wrong, 2.5);
    ASSERT_EQ(host.violations().size(), 1u);
    EXPECT_NE(host.violations()[0].find("wrong_convention"), std::string::npos);
    EXPECT_NE(host.violations()[0].find("removed 0"), std::string::npos) << host.violations()[0];

    // A routine that removes more than the host pushed is caught as well.
    host.clear_violations();
    host.call_routine("pops_too_much", reinterpret_cast<GaugeRoutineWithArg>(&pops_too_much), 1);
    ASSERT_EQ(host.violations().size(), 1u);
    EXPECT_NE(host.violations()[0].find("removed 8"), std::string::npos) << host.violations()[0];
}

TEST(HostStackCheck, ForbiddenServiceIsTrappedAndReported) {
    GaugeHost host;
    ImportTableRecord table{{0x0F, nullptr}, {0, nullptr}};
    host.attach(&table, nullptr);
    const std::uint32_t arg = 0;
    const auto out = host.call("calls_forbidden_service",
                               reinterpret_cast<const void*>(&calls_forbidden_service), &arg, 1,
                               false);
    EXPECT_TRUE(out.trapped);
    ASSERT_EQ(host.violations().size(), 1u);
    EXPECT_NE(host.violations()[0].find("service 30"), std::string::npos);
    EXPECT_NE(host.violations()[0].find("calls_forbidden_service"), std::string::npos);
}
