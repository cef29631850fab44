// The sweep's checks have teeth. First the frame checker on its own, fed frames
// that are right and frames with one thing wrong; then short sweeps against a
// loaded module with one fault planted in it (a callback with the wrong calling
// convention, one that clobbers a register, one that crashes, one that returns
// NaN, a wrong scale, text boxes whose buffers are too small, the invalid-
// distance bound removed, a waypoint moved, the buttons swapped), each of which
// the sweep must report under the right heading while a clean run of the same
// seed reports nothing.
#include "model/reference_nav.h"
#include "tools/sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace q7sweep;
using q7host::Addr;
using q7host::GaugeHost;

namespace {

bool has(const std::vector<Problem>& ps, Check c) {
    for (const auto& p : ps) {
        if (p.check == c) return true;
    }
    return false;
}

std::string list(const std::vector<Problem>& ps) {
    std::string s;
    for (const auto& p : ps) s += std::string("[") + check_name(p.check) + "] " + p.what + "\n";
    return s;
}

// A frame as a correct module and host produce it, from the formulas.
FrameState good_frame(double lat, double lon, double heading, double selection) {
    FrameState f;
    f.latitude = lat;
    f.longitude = lon;
    f.heading = heading;
    f.selection = selection;
    const int row = q7ref::row_for_text(selection);
    const q7ref::Dot d = q7ref::dot_offsets(q7ref::row_for_dot(selection), lat, lon, heading);
    f.dots = 1;
    f.dot_x = d.x;
    f.dot_y = d.y;
    f.screen_x = q7ref::kRestX + d.x;
    f.screen_y = q7ref::kRestY - d.y;
    f.texts = 3;
    auto text = [](std::string t, std::uint32_t max_chars, double result) {
        TextState s;
        s.text = std::move(t);
        s.max_chars = max_chars;
        s.result = result;
        return s;
    };
    f.distance = text(q7ref::distance_text(row, lat, lon), 5, selection);
    f.ident = text(q7ref::kWaypoints[row].ident, 5, selection);
    f.number = text(q7ref::number_text(selection), 2, selection + 1.0);
    for (int k = 0; k < 2; ++k) {
        for (std::uint32_t id : {q7host::kSimLatitude, q7host::kSimLongitude, q7host::kSimHeading}) {
            f.services.emplace_back(q7host::kServiceVarRefresh, id);
        }
    }
    return f;
}

// SFINT's position with GGATE selected: 12.874 nm away.
FrameState sfint_frame(double heading = 30.0) {
    return good_frame(4180639, -1459976701 * 65536.0, heading, 0.0);
}

}  // namespace

TEST(FrameChecker, PassesCorrectFramesOrdinaryAndHostile) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const FrameState frames[] = {
        sfint_frame(),
        good_frame(4180639, -1459976701 * 65536.0, 1e9, 7.0),
        good_frame(nan, 0.0, nan, 19.0),           // dot at rest, "-----"
        good_frame(1e308, -1e308, 0.0, 3.5),       // garbage selection shows row 0
        good_frame(4202735, -1461193608 * 65536.0, 0.0, -0.0),  // on GGATE: "  0", rest
    };
    for (const auto& f : frames) {
        const auto problems = check_frame(f);
        EXPECT_TRUE(problems.empty()) << list(problems);
    }
    EXPECT_EQ(frames[2].distance.text, "-----");
    EXPECT_EQ(frames[3].ident.text, "GGATE");
    EXPECT_EQ(frames[4].distance.text, "  0");
}

TEST(FrameChecker, CatchesTextsThatOverflowTheirBoxOrBuffer) {
    FrameState f = sfint_frame();
    f.distance.text = "123456";
    EXPECT_TRUE(has(check_frame(f), Check::Length));

    f = sfint_frame();
    f.number.text = "100";  // three characters in a box of two
    EXPECT_TRUE(has(check_frame(f), Check::Length));

    f = sfint_frame();
    f.ident.guards_intact = false;
    const auto problems = check_frame(f);
    EXPECT_TRUE(has(problems, Check::Guard));
    EXPECT_FALSE(has(problems, Check::Length));
}

TEST(FrameChecker, CatchesADotThatIsNotFiniteOrLeavesItsCircle) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        FrameState f = sfint_frame();
        f.dot_x = bad;
        f.screen_x = q7ref::kRestX + bad;
        EXPECT_TRUE(has(check_frame(f), Check::Offset)) << bad;
    }
    // 24.6 pixels out is off the circle; the last bit of rounding is not.
    FrameState f = sfint_frame();
    for (double* v : {&f.dot_x, &f.dot_y}) *v *= 24.6 / 24.5;
    f.screen_x = q7ref::kRestX + f.dot_x;
    f.screen_y = q7ref::kRestY - f.dot_y;
    EXPECT_TRUE(has(check_frame(f), Check::Offset));
    f = sfint_frame();
    for (double* v : {&f.dot_x, &f.dot_y}) *v *= 1.0 + 1e-7;
    f.screen_x = q7ref::kRestX + f.dot_x;
    f.screen_y = q7ref::kRestY - f.dot_y;
    EXPECT_FALSE(has(check_frame(f), Check::Offset));
    // A callback value on the circle that the host draws mirrored: the
    // re-computation notices where the dot really is.
    f = sfint_frame();
    f.screen_y = q7ref::kRestY + f.dot_y;
    const auto problems = check_frame(f);
    EXPECT_FALSE(has(problems, Check::Offset));
    EXPECT_TRUE(has(problems, Check::Reference));
}

TEST(FrameChecker, SortsTheHostsComplaintsByRule) {
    using q7host::ProblemKind;
    const struct {
        q7host::Problem problem;
        Check check;
    } cases[] = {
        {{ProblemKind::StackUnbalanced, "bearing_dot_x", "the host pushed 4 bytes of arguments and it removed 0"},
         Check::Stack},
        {{ProblemKind::RegistersClobbered, "text_callback", ""}, Check::Registers},
        {{ProblemKind::Crash, "x_callback", "0x70501234: Invalid memory read (UC_ERR_READ_UNMAPPED)"}, Check::Crash},
        {{ProblemKind::NoReturn, "x_callback", "20000000"}, Check::Crash},
        {{ProblemKind::ForbiddenService, "mouse handler", "7"}, Check::Crash},
        {{ProblemKind::TextOverrun, "text_callback", "5"}, Check::Guard},
        {{ProblemKind::TextTooLong, "text_callback", "8 characters into a box of 5: \"10000000\""}, Check::Length},
    };
    for (const auto& c : cases) {
        FrameState f = sfint_frame();
        f.host_violations = {c.problem};
        EXPECT_TRUE(has(check_frame(f), c.check)) << c.problem;
    }
}

TEST(FrameChecker, CatchesTextsNoReadoutCouldShow) {
    const struct {
        const char* distance;
        const char* ident;
        const char* number;
    } cases[] = {
        {" 12", "GGATE", " 1"},     // 12 written with "%3d"
        {"1.5", "GGATE", " 1"},
        {"-1", "GGATE", " 1"},
        {"  12", "GGAT", " 1"},
        {"  12", "GGATE", " 2"},    // ident and number of different rows
        {"  12", "GGATE", "21"},
        {"  12", "GGATE", "1"},
    };
    for (const auto& c : cases) {
        FrameState f = sfint_frame();
        f.distance.text = c.distance;
        f.ident.text = c.ident;
        f.number.text = c.number;
        EXPECT_TRUE(has(check_frame(f), Check::TextForm)) << c.distance << "|" << c.ident << "|" << c.number;
    }
}

TEST(FrameChecker, HoldsEveryValueToTheRecomputation) {
    FrameState f = sfint_frame();
    f.distance.text = "  13";  // a possible readout, but not this one
    auto problems = check_frame(f);
    EXPECT_TRUE(has(problems, Check::Reference));
    EXPECT_FALSE(has(problems, Check::TextForm));

    f = sfint_frame();
    f.dot_x += 2e-6;
    f.screen_x += 2e-6;
    EXPECT_TRUE(has(check_frame(f), Check::Reference));

    f = sfint_frame();
    f.number.result = 0.0;  // the number callback returns the index plus one
    EXPECT_TRUE(has(check_frame(f), Check::Reference));

    // A NaN left in the selection slot comes back as a NaN, whatever its payload.
    f = good_frame(4180639, -1459976701 * 65536.0, 0.0, std::numeric_limits<double>::signaling_NaN());
    f.ident.result = f.distance.result = f.number.result = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));
}

TEST(FrameChecker, ABoxWithoutBufferMustKeepItsOldText) {
    // Called with text_buffer null, the distance callback writes nothing: the
    // host's buffer still shows the previous distance, which is fine...
    FrameState f = sfint_frame();
    f.distance.null_buffer = true;
    f.distance.before = f.distance.text = "  99";
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));
    // ...and so is a stale identifier beside a fresh number.
    f = sfint_frame();
    f.ident.null_buffer = true;
    f.ident.before = f.ident.text = "MERCD";
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));
    // A buffer that changed although the callback had none is not.
    f = sfint_frame();
    f.distance.null_buffer = true;
    f.distance.before = "  99";
    EXPECT_TRUE(has(check_frame(f), Check::Reference));
    // A box never drawn since install still shows nothing; an empty text the
    // callback did write is no readout.
    f = sfint_frame();
    f.distance.null_buffer = true;
    f.distance.before = f.distance.text = "";
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));
    f.distance.null_buffer = false;
    EXPECT_TRUE(has(check_frame(f), Check::TextForm));
}

TEST(FrameChecker, ExemptsOnlyDistancesAHairFromAChangeOfFormat) {
    // Ten miles due south of GGATE on the longitude the module holds for it.
    const double held_nm = static_cast<float>(4202735.0f / 60.0 / q7ref::kMetresPerArcSecond);
    const double lon = static_cast<double>(static_cast<float>(-1461193608)) * 65536.0;
    FrameState f = good_frame((held_nm - 10.0) * q7ref::kMetresPerNm, lon, 0.0, 0.0);
    ASSERT_LT(std::fabs(q7ref::offset_to(0, f.latitude, f.longitude).distance - 10.0), 1e-4);
    f.distance.text = "  9";
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));

    f = good_frame((held_nm - 10.5) * q7ref::kMetresPerNm, lon, 0.0, 0.0);
    ASSERT_EQ(f.distance.text, "  10");
    f.distance.text = "  9";
    EXPECT_TRUE(has(check_frame(f), Check::Reference));
}

TEST(FrameChecker, WantsSixRefreshesInOrderAndOneDotAndThreeTexts) {
    FrameState f = sfint_frame();
    f.services.pop_back();
    EXPECT_TRUE(has(check_frame(f), Check::Services));
    f = sfint_frame();
    std::swap(f.services[0], f.services[1]);
    EXPECT_TRUE(has(check_frame(f), Check::Services));
    f = sfint_frame();
    f.services.emplace_back(36, 0);
    EXPECT_TRUE(has(check_frame(f), Check::Services));
    f = sfint_frame();
    f.texts = 2;
    EXPECT_TRUE(has(check_frame(f), Check::Structure));
}

namespace {

constexpr std::uint64_t kFaultFrames = 600;

Options short_run() {
    Options o;
    o.frames = kFaultFrames;
    o.module = Q7_MODULE_FILE;
    o.seed = 20261208;
    o.max_reports = 3;
    return o;
}

Addr child(GaugeHost& h, int index) {
    return h.machine().read(h.machine().read(h.root() + q7host::element::kChildList) + 4 * index);
}

// Puts a pointer callback of the host's making in place of bearing_dot_x. The
// bytes are kept by value: the sweep calls this long after the call that gave them.
std::function<void(GaugeHost&)> replace_x_callback(std::vector<std::uint8_t> code) {
    return [code = std::move(code)](GaugeHost& h) {
        const Addr routine = h.machine().place_code(code);
        h.machine().write<std::uint32_t>(child(h, 0) + q7host::moving_image::kXCallback, routine);
    };
}

std::function<void(GaugeHost&)> set_max_chars(int box, std::uint32_t n) {
    return [box, n](GaugeHost& h) { h.machine().write<std::uint32_t>(child(h, box) + q7host::string_element::kMaxChars, n); };
}

// The one place in the loaded image that holds `bytes`.
Addr find_once(GaugeHost& h, const void* bytes, std::size_t n) {
    const auto image = h.machine().read_bytes(h.base(), h.image().image_size);
    Addr at = 0;
    int count = 0;
    for (std::size_t i = 0; i + n <= image.size(); ++i) {
        if (std::memcmp(image.data() + i, bytes, n) == 0) {
            at = h.base() + static_cast<Addr>(i);
            ++count;
        }
    }
    EXPECT_EQ(count, 1) << "pattern expected exactly once in the image";
    return count == 1 ? at : 0;
}

std::string failures_of(const Report& r) {
    return describe(r);
}

}  // namespace

TEST(SweepFaults, TheSameRunOnTheIntactModuleIsClean) {
    const Report r = run(short_run());
    EXPECT_TRUE(r.ok()) << failures_of(r);
    EXPECT_EQ(r.frames, kFaultFrames);
    EXPECT_GT(r.hostile_frames, kFaultFrames / 3);
    EXPECT_GT(r.clicks, 0u);
}

TEST(SweepFaults, ACallbackWithTheCallerCleansConventionFailsTheStackCheck) {
    Options o = short_run();
    o.after_install = replace_x_callback({0xD9, 0xEE, 0xC3});  // fldz; ret
    const Report r = run(o);
    EXPECT_FALSE(r.ok());
    EXPECT_GE(r.count(Check::Stack), kFaultFrames);
}

TEST(SweepFaults, ACallbackThatClobbersEbxFailsTheRegisterCheck) {
    Options o = short_run();
    o.after_install = replace_x_callback({0x31, 0xDB, 0xD9, 0xEE, 0xC2, 0x04, 0x00});  // xor ebx,ebx; fldz; ret 4
    const Report r = run(o);
    EXPECT_GE(r.count(Check::Registers), kFaultFrames);
    EXPECT_EQ(r.count(Check::Stack), 0u);
}

TEST(SweepFaults, ACallbackThatCrashesIsReported) {
    Options o = short_run();
    o.after_install = replace_x_callback({0xA1, 0x00, 0x00, 0x00, 0x00, 0xD9, 0xEE, 0xC2, 0x04, 0x00});  // mov eax,[0]
    const Report r = run(o);
    EXPECT_GE(r.count(Check::Crash), kFaultFrames);
}

TEST(SweepFaults, ACallbackThatReturnsNaNFailsTheFiniteOffsetCheck) {
    // 0.0 / 0.0, as an unguarded quotient on the waypoint would give.
    Options o = short_run();
    o.after_install = replace_x_callback({0xD9, 0xEE, 0xD9, 0xEE, 0xDE, 0xF9, 0xC2, 0x04, 0x00});
    const Report r = run(o);
    EXPECT_GE(r.count(Check::Offset), kFaultFrames);
    EXPECT_EQ(r.count(Check::Stack), 0u);
}

TEST(SweepFaults, ADotScaledBeyondItsCircleFailsTheOffsetCheck) {
    Options o = short_run();
    o.after_install = [](GaugeHost& h) { h.machine().write<double>(child(h, 0) + q7host::moving_image::kXScale, 2.0); };
    const Report r = run(o);
    EXPECT_GT(r.count(Check::Offset), kFaultFrames / 2);
}

TEST(SweepFaults, ABufferTooSmallForTheDistanceFailsTheGuardAndLengthChecks) {
    // The host sizes the buffer from max_chars at install: three characters
    // and a NUL, where the distance needs up to five.
    Options o = short_run();
    o.before_install = set_max_chars(1, 3);
    const Report r = run(o);
    EXPECT_GT(r.count(Check::Guard), 0u);
    EXPECT_GT(r.count(Check::Length), 0u);
}

TEST(SweepFaults, ABoxShrunkAfterInstallFailsTheLengthCheckAlone) {
    // The buffer keeps room for six bytes, so no guard byte is touched, but
    // "GGATE" no longer fits a box of four characters.
    Options o = short_run();
    o.after_install = set_max_chars(2, 4);
    const Report r = run(o);
    EXPECT_GE(r.count(Check::Length), kFaultFrames);
    EXPECT_EQ(r.count(Check::Guard), 0u);
}

TEST(SweepFaults, WithoutTheInvalidDistanceBoundHostileValuesOverrunTheBuffer) {
    // Raise the module's own 100000-mile bound to infinity: huge distances are
    // then printed in full, as the readout did before it was bounded.
    Options o = short_run();
    o.after_install = [](GaugeHost& h) {
        const float bound = 100000.0f, inf = std::numeric_limits<float>::infinity();
        if (const Addr at = find_once(h, &bound, sizeof bound)) h.machine().write<float>(at, inf);
    };
    const Report r = run(o);
    EXPECT_GT(r.count(Check::Guard), 0u);
    EXPECT_GT(r.count(Check::Length), 0u);
}

TEST(SweepFaults, AWaypointMovedAHundredMetresDisagreesWithTheRecomputation) {
    Options o = short_run();
    o.after_install = [](GaugeHost& h) {
        const std::int32_t pair[2] = {q7ref::kWaypoints[0].latitude, q7ref::kWaypoints[0].longitude};
        if (const Addr at = find_once(h, pair, sizeof pair)) h.machine().write<std::int32_t>(at, pair[0] + 100);
    };
    const Report r = run(o);
    EXPECT_GT(r.count(Check::Reference), 0u);
    EXPECT_EQ(r.failure_count(), r.count(Check::Reference)) << failures_of(r);
}

TEST(SweepFaults, SwappedButtonsFailTheClickCheck) {
    Options o = short_run();
    o.after_install = [](GaugeHost& h) {
        const Addr list = h.services().registered_mouse_list();
        const Addr left = list + 2 * q7host::mouse_rect::kSize + q7host::mouse_rect::kHandler;
        const Addr right = list + 3 * q7host::mouse_rect::kSize + q7host::mouse_rect::kHandler;
        const std::uint32_t a = h.machine().read(left), b = h.machine().read(right);
        h.machine().write<std::uint32_t>(left, b);
        h.machine().write<std::uint32_t>(right, a);
    };
    const Report r = run(o);
    EXPECT_GT(r.count(Check::Click), 0u);
}
