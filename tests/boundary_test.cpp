// The module's boundary as a host meets it: the export and import tables, the
// entry routine, the service table and its re-read, the pointer callbacks with
// their refresh calls, and the host's own stack-balance check.
#include "fuzz/fuzz_input.h"
#include "support/module_file.h"
#include "support/test_support.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

using namespace q7test;
using q7host::GaugeHost;
using q7host::Problem;
using q7host::ProblemKind;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

class Boundary : public LoadedGauge {};

std::pair<double, double> xy(const q7host::DotReadout& d) { return {d.x, d.y}; }

}  // namespace

TEST_F(Boundary, ExportsExactlyTwoDataRecordsByNameAndOrdinal) {
    const auto& img = host.image();
    EXPECT_EQ(img.machine, 0x14C);
    EXPECT_TRUE(img.characteristics & 0x2000);  // a DLL
    std::string error;
    const auto table = q7host::list_exports(img, error);
    ASSERT_TRUE(table) << error;
    EXPECT_EQ(table->dll_name, "quorlan7.gau");
    EXPECT_EQ(table->ordinal_base, 1u);
    std::map<std::string, std::uint32_t> by_name;
    for (const auto& e : table->exports) by_name[e.name] = e.ordinal;
    EXPECT_EQ(by_name, (std::map<std::string, std::uint32_t>{{"ImportTable", 1}, {"Linkage", 2}}));

    // Both exports are data: they lie in a writable section that holds no code.
    for (const auto& e : table->exports) {
        const auto* s = img.section_at(e.rva);
        ASSERT_NE(s, nullptr) << e.name;
        EXPECT_TRUE(s->writable()) << e.name;
        EXPECT_FALSE(s->executable()) << e.name;
    }
    EXPECT_TRUE(host.writable(host.import_table(), q7host::import_table::kSize));
    EXPECT_TRUE(host.writable(host.linkage(), q7host::linkage::kSize));
}

TEST_F(Boundary, ImportsOnlySystemLibrariesAndRunsNoStartUpCode) {
    const auto& img = host.image();
    std::set<std::string> dlls;
    for (const auto& i : img.imports) dlls.insert(lower(i.dll));
    const std::set<std::string> allowed{"kernel32.dll", "user32.dll", "msvcrt.dll"};
    for (const auto& dll : dlls) EXPECT_TRUE(allowed.count(dll)) << "imports " << dll;
    EXPECT_TRUE(dlls.count("user32.dll"));  // wsprintfA
    // Nothing runs before or beside the entry routine: no thread-local storage
    // callbacks, no constructor or destructor tables of a C runtime.
    EXPECT_FALSE(img.has_tls());
    for (const auto& s : img.sections) {
        for (const char* runtime : {".ctors", ".dtors", ".CRT", ".tls", ".init_array"}) {
            EXPECT_NE(s.name, runtime);
        }
    }
}

TEST_F(Boundary, ImportTableHoldsTheServiceTableTheHostWrote) {
    const Addr t = host.import_table();
    using namespace q7host::import_table;
    EXPECT_EQ(host.machine().read(t + kEntryId), kPanelServices);
    EXPECT_EQ(host.machine().read(t + kEntryAddress), host.services().table_address(0));
    EXPECT_EQ(host.machine().read_bytes(t + 8, kSize - 8), std::vector<std::uint8_t>(kSize - 8, 0));
}

TEST_F(Boundary, EntryRoutineReturnsOneForEveryReasonWithoutTouchingTheHost) {
    const Addr entry = host.base() + host.image().entry_rva;
    for (std::uint32_t reason : {0u, 1u, 2u, 3u, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        for (std::uint32_t reserved : {0u, 1u, 0xDEADBEEFu}) {
            const auto out =
                host.machine().call("entry routine", entry, {host.base(), reason, reserved}, q7host::Returns::kInt);
            EXPECT_TRUE(out.completed);
            EXPECT_EQ(out.eax, 1u) << "reason " << reason;
            EXPECT_EQ(out.stack_delta, 0) << "reason " << reason;
        }
    }
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(Boundary, WorkedExamplesOneMileSouthOfTheWaypoint) {
    place(latitude_of(kGgate) - q7ref::kMetresPerNm, longitude_of(kGgate));
    struct {
        double heading, x, y;
    } cases[] = {{0, 0, 24.5}, {90, -24.5, 0}, {180, 0, -24.5}, {270, 24.5, 0}, {360, 0, 24.5}};
    for (const auto& c : cases) {
        host.set_variable(q7host::kSimHeading, c.heading);
        const auto dot = host.frame().dot;
        EXPECT_NEAR(dot.x, c.x, 0.01) << "heading " << c.heading;
        EXPECT_NEAR(dot.y, c.y, 0.01) << "heading " << c.heading;
    }
}

TEST_F(Boundary, WorkedExamplesTenMinutesWestInBothLongitudeForms) {
    const double west = longitude_of(kGgate) - q7ref::longitude_from_degrees(10.0 / 60.0);
    for (double lon : {west, west + q7ref::kTurn48}) {
        struct {
            double heading, x, y;
        } cases[] = {{0, 24.5, 0}, {90, 0, 24.5}, {45, 17.32, 17.32}};
        for (const auto& c : cases) {
            place(latitude_of(kGgate), lon, c.heading);
            const auto dot = host.frame().dot;
            EXPECT_NEAR(dot.x, c.x, 0.01) << "heading " << c.heading << " lon " << lon;
            EXPECT_NEAR(dot.y, c.y, 0.01) << "heading " << c.heading << " lon " << lon;
        }
        // N = 0, E = +7.90: the distance readout shows 7.
        EXPECT_EQ(text(distance_box()), "  7");
    }
}

TEST_F(Boundary, WorkedExamplesFromSfintAndTheCircle) {
    place_on(kSfint, 0.0);
    EXPECT_NEAR(host.frame().dot.x, -9.21, 0.01);
    EXPECT_NEAR(host.frame().dot.y, 22.70, 0.01);
    host.set_variable(q7host::kSimHeading, 330.0);
    const auto f = host.frame();
    EXPECT_NEAR(f.dot.x, 3.37, 0.01);
    EXPECT_NEAR(f.dot.y, 24.27, 0.01);
    EXPECT_EQ(f.distance.text, "  12");

    // Anywhere but on the waypoint, the dot stays on the 24.5-pixel circle.
    for (double lat : {36.0, 37.5, 37.81, 38.9, -10.0}) {
        for (double lon : {-123.5, -122.47, -120.0, 100.0}) {
            for (double heading : {0.0, 33.3, 181.0, 359.9, -720.5}) {
                host.set_aircraft(lat, lon, heading);
                const auto [x, y] = xy(host.frame().dot);
                EXPECT_NEAR(x * x + y * y, 600.25, 0.01) << lat << " " << lon << " " << heading;
            }
        }
    }
}

TEST_F(Boundary, DotStaysAtRestOnTheWaypointAndForNonFiniteHostValues) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    const double lat = latitude_of(kGgate), lon = longitude_of(kGgate);
    struct {
        double lat, lon, heading;
        bool at_rest;
    } cases[] = {
        {lat, lon, 0.0, true},  // 0/0 on the waypoint itself
        {lat, lon, 123.0, true},        {nan, lon, 0.0, true},          {lat - 5000.0, nan, 0.0, true},
        {lat - 5000.0, lon, nan, true}, {lat - 5000.0, lon, inf, true}, {inf, lon, 10.0, true},
        {-inf, -inf, 10.0, true},       {1e308, 1e308, 10.0, false},    {-1e308, 5e-324, -1e9, false},
    };
    for (const auto& c : cases) {
        place(c.lat, c.lon, c.heading);
        const auto [x, y] = xy(host.frame().dot);
        EXPECT_TRUE(std::isfinite(x) && std::isfinite(y))
            << c.lat << " " << c.lon << " " << c.heading << " -> " << x << " " << y;
        if (c.at_rest) {
            EXPECT_EQ(x, 0.0) << c.lat << " " << c.lon << " " << c.heading;
            EXPECT_EQ(y, 0.0) << c.lat << " " << c.lon << " " << c.heading;
        }
    }
}

// A frame: the dot's x callback, then its y callback, each refreshing the
// latitude, longitude and heading through service table 0 as it reads them
// afresh from ImportTable; the text callbacks call nothing.
TEST_F(Boundary, EachPointerCallbackRefreshesLatitudeLongitudeHeadingOnceInOrder) {
    const double lat = latitude_of(kGgate) - q7ref::kMetresPerNm, lon = longitude_of(kGgate);
    place(lat, lon, 90.0);
    const std::map<std::uint32_t, double> placed{
        {q7host::kSimLatitude, lat}, {q7host::kSimLongitude, lon}, {q7host::kSimHeading, 90.0}};
    const auto f = host.frame();
    std::vector<std::uint32_t> ids;
    for (const auto& c : f.calls) {
        EXPECT_EQ(c.position, q7host::position_of(Service::VarRefresh));
        EXPECT_EQ(c.table, 0u);
        ASSERT_EQ(c.args.size(), 1u);
        const Addr var = c.args[0];
        ids.push_back(c.variable);
        // The host wrote the value as a double into the record, which lies on
        // a 4-byte boundary in writable data.
        EXPECT_EQ(host.machine().read<double>(var + q7host::module_var::kValue), placed.at(c.variable));
        EXPECT_EQ(var % 4, 0u);
        EXPECT_TRUE(host.writable(var, q7host::module_var::kSize));
    }
    const std::uint32_t order[] = {q7host::kSimLatitude, q7host::kSimLongitude, q7host::kSimHeading};
    std::vector<std::uint32_t> twice(std::begin(order), std::end(order));
    twice.insert(twice.end(), std::begin(order), std::end(order));
    EXPECT_EQ(ids, twice);
}

TEST_F(Boundary, ServiceResultsHaveNoEffectOnThePointer) {
    place_on(kSfint, 330.0);
    const auto dot = xy(host.frame().dot);
    for (std::uint32_t r : {1u, 0xFFFFFFFFu, 0x80000000u}) {
        host.set_service_result(Service::VarRefresh, r);
        EXPECT_EQ(xy(host.frame().dot), dot);
    }
}

TEST_F(Boundary, ModuleReadsTheTableAddressAfreshAtEveryCall) {
    place_on(kSfint);
    for (unsigned table : {1u, 0u}) {
        host.use_table(table);
        const auto f = host.frame();
        ASSERT_EQ(f.calls.size(), 6u);
        for (const auto& c : f.calls) EXPECT_EQ(c.table, table);
    }
}

// Routines with known calling conventions, placed in host memory, prove that
// the host's balance check catches a mismatch and names the routine.
TEST(HostStackCheck, FailsOnARoutineWithTheWrongCallingConvention) {
    GaugeHost host;
    const Addr stdcall_one = host.machine().place_code({0xB8, 1, 0, 0, 0, 0xC2, 4, 0});  // mov eax,1; ret 4
    const Addr cdecl_one = host.machine().place_code({0xB8, 2, 0, 0, 0, 0xC3});          // mov eax,2; ret
    const Addr pops_eight = host.machine().place_code({0xB8, 3, 0, 0, 0, 0xC2, 8, 0});   // ret 8
    const Addr clobbers = host.machine().place_code({0x31, 0xDB, 0xC2, 4, 0});           // xor ebx,ebx; ret 4

    EXPECT_EQ(host.call_routine("stdcall_one", stdcall_one, 7), 1u);
    EXPECT_TRUE(host.problems().empty());

    EXPECT_EQ(host.call_routine("cdecl_one", cdecl_one, 7), 2u);
    ASSERT_EQ(host.problems().size(), 1u);
    EXPECT_EQ(host.problems()[0], (Problem{ProblemKind::StackUnbalanced, "cdecl_one",
                                           "the host pushed 4 bytes of arguments and it removed 0"}));
    EXPECT_EQ(host.problems()[0].sentence(),
              "cdecl_one left the stack unbalanced: the host pushed 4 bytes of arguments and it removed 0");

    host.clear_problems();
    host.call_routine("pops_eight", pops_eight, 7);
    ASSERT_EQ(host.problems().size(), 1u);
    EXPECT_EQ(host.problems()[0], (Problem{ProblemKind::StackUnbalanced, "pops_eight",
                                           "the host pushed 4 bytes of arguments and it removed 8"}));

    host.clear_problems();
    host.call_routine("clobbers", clobbers, 7);
    ASSERT_EQ(host.problems().size(), 1u);
    EXPECT_EQ(host.problems()[0].kind, ProblemKind::RegistersClobbered);
    EXPECT_EQ(host.problems()[0].routine, "clobbers");
}

TEST(HostStackCheck, ForbiddenServiceAndCrashesAreTrappedAndReported) {
    GaugeHost host;
    const Addr slot = host.services().table_address(0) + 30 * 4;
    // call dword [table + 30*4]; ret 4
    const Addr forbidden = host.machine().place_code({0xFF, 0x15, std::uint8_t(slot), std::uint8_t(slot >> 8),
                                                      std::uint8_t(slot >> 16), std::uint8_t(slot >> 24), 0xC2, 4, 0});
    const auto out = host.machine().call("calls_service_30", forbidden, {0}, q7host::Returns::kInt);
    EXPECT_FALSE(out.completed);
    ASSERT_EQ(host.problems().size(), 1u);
    EXPECT_EQ(host.problems()[0], (Problem{ProblemKind::ForbiddenService, "calls_service_30", "30"}));

    // A read of unmapped memory ends the call and names the routine.
    host.clear_problems();
    const Addr crash = host.machine().place_code({0xA1, 0x10, 0, 0, 0, 0xC3});  // mov eax,[0x10]; ret
    EXPECT_FALSE(host.machine().call("reads_null", crash, {}, q7host::Returns::kInt).completed);
    ASSERT_EQ(host.problems().size(), 1u);
    EXPECT_EQ(host.problems()[0].kind, ProblemKind::Crash);
    EXPECT_EQ(host.problems()[0].routine, "reads_null");
}

// The host's instruction counter sees the module's own code and nothing else,
// and costs nothing while it is off.
TEST_F(Boundary, InstructionCounterCountsOnlyTheModulesOwnCode) {
    place_on(kSfint, 330.0);
    const Addr callback = host.instrument().dot.x_callback();
    auto dot_x = [&] { return host.call_pointer("bearing_dot_x", callback, dot()); };
    auto dot_y = [&] { return host.call_pointer("bearing_dot_y", host.instrument().dot.y_callback(), dot()); };
    const double x0 = dot_x();  // translated and run once before counting starts
    EXPECT_FALSE(host.machine().counting_instructions());
    dot_y();
    EXPECT_EQ(host.machine().instructions(), 0u);

    host.machine().count_instructions(true);
    EXPECT_TRUE(host.machine().counting_instructions());
    EXPECT_EQ(dot_x(), x0);
    const std::uint64_t once = host.machine().instructions();
    EXPECT_GT(once, 20u);
    host.machine().reset_instructions();
    EXPECT_EQ(host.machine().instructions(), 0u);
    EXPECT_EQ(dot_x(), x0);
    EXPECT_EQ(host.machine().instructions(), once);

    // Host code outside the image: a routine that runs a few instructions of
    // its own and calls the same pointer callback adds only the callback's.
    auto byte = [](Addr v, int k) { return static_cast<std::uint8_t>(v >> (8 * k)); };
    const Addr d = dot();
    // push dot; mov eax, callback; nop x4; call eax; ret 4
    const Addr wrapper = host.machine().place_code({0x68, byte(d, 0), byte(d, 1), byte(d, 2), byte(d, 3), 0xB8,
                                                    byte(callback, 0), byte(callback, 1), byte(callback, 2),
                                                    byte(callback, 3), 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD0, 0xC2, 4, 0});
    const std::uint64_t image_end = host.base() + std::uint64_t{host.image().image_size};
    ASSERT_TRUE(wrapper < host.base() || wrapper >= image_end);
    host.machine().reset_instructions();
    EXPECT_EQ(host.call_pointer("wrapper", wrapper, 0), x0);
    EXPECT_EQ(host.machine().instructions(), once);

    // Host code alone counts nothing.
    const Addr host_only =
        host.machine().place_code({0x90, 0x90, 0xB8, 5, 0, 0, 0, 0xC2, 4, 0});  // nop; nop; mov eax,5; ret 4
    host.machine().reset_instructions();
    EXPECT_EQ(host.call_routine("host_only", host_only, 0), 5u);
    EXPECT_EQ(host.machine().instructions(), 0u);

    // Off again: the count stays where it was.
    host.machine().count_instructions(false);
    EXPECT_FALSE(host.machine().counting_instructions());
    EXPECT_EQ(dot_x(), x0);
    dot_y();
    EXPECT_EQ(host.machine().instructions(), 0u);
}

// The module asks for a fixed base of its own, 64 KiB aligned, that the host
// leaves free, so it runs where it was linked. Moved elsewhere, as a loader
// moves it when that range is taken, it works the same: every absolute address
// in the file is in its relocation list.
TEST_F(Boundary, RunsAtItsOwnBaseAndTheSameWhenMoved) {
    const std::uint32_t preferred = host.image().image_base;
    EXPECT_EQ(preferred % 0x10000, 0u);
    EXPECT_NE(preferred, 0x10000000u);
    EXPECT_EQ(host.base(), preferred) << "the host had to move the module";

    // What the module shows and computes, and where its pointers lead.
    struct Seen {
        std::string ident, number, distance;
        double x, y;
        std::uint32_t root_rva, selection_after_click;
    };
    auto observe = [this] {
        place_on(kSfint, 330.0);
        const auto f = host.frame();
        Seen s{f.ident.text, f.number.text, f.distance.text, f.dot.x, f.dot.y, face() - host.base(), 0};
        click_next();
        s.ident += '/';
        s.ident += text(ident_box());
        s.selection_after_click = static_cast<std::uint32_t>(selection());
        return s;
    };
    const Seen at_home = observe();

    // The same file linked 0x60000000 - preferred higher: header and every
    // relocated address moved by that much. 0x60000000 is taken by the host,
    // which must then relocate the image again.
    const std::uint32_t linked = 0x60000000;
    for (const auto& r : host.image().relocations) ASSERT_EQ(r.type, 3u);
    Bytes file = ModuleFile::get().file;
    q7fuzz::rebase(file, ModuleFile::get().anatomy, linked);
    host.unload();
    ASSERT_TRUE(host.load(file, "quorlan7-linked-at-0x60000000.gau")) << host.error();
    ASSERT_EQ(host.image().image_base, linked);
    ASSERT_NE(host.base(), linked);
    const Seen moved_away = observe();
    EXPECT_EQ(moved_away.ident, at_home.ident);
    EXPECT_EQ(moved_away.number, at_home.number);
    EXPECT_EQ(moved_away.distance, at_home.distance);
    EXPECT_EQ(moved_away.x, at_home.x);
    EXPECT_EQ(moved_away.y, at_home.y);
    EXPECT_EQ(moved_away.root_rva, at_home.root_rva);
    EXPECT_EQ(moved_away.selection_after_click, at_home.selection_after_click);
}

// The fuzz target's small budget stays with its input: a looping callback is
// stopped at that budget, and the next host the process makes (from the same
// kept machine, rewound) judges the same module with the full one.
TEST(FuzzInput, ItsSmallBudgetEndsWithTheInput) {
    const Bytes looping = ModuleFile::get().mutant("code-dot-x-endless-loop");
    {
        std::optional<GaugeHost> host;
        GaugeHost& h = q7fuzz::host_for_next_input(host);
        EXPECT_TRUE(q7fuzz::run_input(h, looping.data(), looping.size()));
        ASSERT_FALSE(h.problems().empty());
        EXPECT_EQ(h.problems()[0].kind, ProblemKind::NoReturn) << h.problems()[0];
        EXPECT_EQ(h.problems()[0].detail, "20000 instructions");
    }
    GaugeHost next;
    ASSERT_TRUE(next.load(looping, "looping.gau")) << next.error();
    next.install();
    next.frame();
    ASSERT_FALSE(next.problems().empty());
    EXPECT_EQ(next.problems()[0].detail, std::to_string(q7host::Machine::kInstructionBudget) + " instructions")
        << next.problems()[0];
}
