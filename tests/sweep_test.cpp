// The sweep's checks have teeth. First the frame checker on its own, fed frames
// that are right and frames with one thing wrong; then short sweeps against a
// loaded module with one fault planted in it, each of which the sweep must
// report under the right rule while a clean run of the same seed reports
// nothing.
#include "model/readouts.h"
#include "tools/sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace q7sweep;
using q7host::Addr;
using q7host::GaugeHost;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool has(const std::vector<Finding>& fs, Rule r) {
    for (const auto& f : fs) {
        if (f.rule == r) return true;
    }
    return false;
}

std::string list(const std::vector<Finding>& fs) {
    std::string s;
    for (const auto& f : fs) s += std::string("[") + rule_name(f.rule) + "] " + f.what + "\n";
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
    q7host::FrameReadout& r = f.readout;
    r.dot = {0, d.x, d.y, q7ref::kRestX + d.x, q7ref::kRestY - d.y};
    r.distance = {0, q7ref::distance_text(row, lat, lon), selection};
    r.ident = {0, q7ref::kWaypoints[row].ident, selection};
    r.number = {0, q7ref::number_text(selection), selection + 1.0};
    r.dots = {r.dot};
    r.texts = {r.distance, r.ident, r.number};
    f.distance.max_chars = f.ident.max_chars = 5;
    f.number.max_chars = 2;
    for (int k = 0; k < 6; ++k) {
        const std::uint32_t ids[] = {q7host::kSimLatitude, q7host::kSimLongitude, q7host::kSimHeading};
        r.calls.push_back({0, q7host::kServiceVarRefresh, {}, ids[k % 3]});
    }
    return f;
}

// On the waypoint of `row`.
FrameState frame_on(int row, double heading, double selection) {
    const auto& w = q7ref::kWaypoints[row];
    return good_frame(w.latitude, w.longitude * q7ref::kTurn48PerTurn32, heading, selection);
}

// SFINT's position with GGATE selected: 12.874 nm away.
FrameState sfint_frame() { return frame_on(2, 30.0, 0.0); }

void move_dot(FrameState& f, double factor) {
    q7host::DotReadout& d = f.readout.dot;
    d.x *= factor;
    d.y *= factor;
    d.screen_x = q7ref::kRestX + d.x;
    d.screen_y = q7ref::kRestY - d.y;
}

}  // namespace

TEST(FrameChecker, PassesCorrectFramesOrdinaryAndHostile) {
    const struct {
        const char* label;
        FrameState frame;
        const char* distance;
    } cases[] = {
        {"12.9 nm from SFINT", sfint_frame(), "  12"},
        {"a wild heading", frame_on(2, 1e9, 7.0), nullptr},
        {"NaNs: the dot at rest", good_frame(kNaN, 0.0, kNaN, 19.0), "-----"},
        {"huge values, garbage selection", good_frame(1e308, -1e308, 0.0, 3.5), nullptr},
        {"on GGATE with -0.0 selected", frame_on(0, 0.0, -0.0), "  0"},
    };
    for (const auto& c : cases) {
        const auto findings = check_frame(c.frame);
        EXPECT_TRUE(findings.empty()) << c.label << "\n" << list(findings);
        if (c.distance) {
            EXPECT_EQ(c.frame.readout.distance.text, c.distance) << c.label;
        }
    }
    EXPECT_EQ(cases[3].frame.readout.ident.text, "GGATE");
}

TEST(FrameChecker, CatchesEachFaultUnderItsRule) {
    using q7host::ProblemKind;
    const double sig_nan = std::numeric_limits<double>::signaling_NaN();
    const struct {
        const char* label;
        void (*fault)(FrameState&);
        Rule found;
        std::vector<Rule> not_found = {};
    } cases[] = {
        {"distance longer than its box", [](FrameState& f) { f.readout.distance.text = "123456"; }, Rule::Length},
        {"number of three characters in a box of two", [](FrameState& f) { f.readout.number.text = "100"; },
         Rule::Length},
        {"guard bytes overwritten", [](FrameState& f) { f.ident.guards_intact = false; }, Rule::Guard, {Rule::Length}},
        {"dot x NaN", [](FrameState& f) { f.readout.dot.x = f.readout.dot.screen_x = kNaN; }, Rule::Offset},
        {"dot x infinite",
         [](FrameState& f) { f.readout.dot.x = f.readout.dot.screen_x = std::numeric_limits<double>::infinity(); },
         Rule::Offset},
        {"dot 24.6 px out", [](FrameState& f) { move_dot(f, 24.6 / 24.5); }, Rule::Offset},
        {"dot out by the last bit of rounding",
         [](FrameState& f) { move_dot(f, 1.0 + 1e-7); },
         Rule::Reference,
         {Rule::Offset}},
        {"dot drawn mirrored",
         [](FrameState& f) { f.readout.dot.screen_y = q7ref::kRestY + f.readout.dot.y; },
         Rule::Reference,
         {Rule::Offset}},
        {"host: stack unbalanced",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::StackUnbalanced, "bearing_dot_x", "4 and 0"}};
         },
         Rule::Stack},
        {"host: registers clobbered",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::RegistersClobbered, "text_callback", ""}};
         },
         Rule::Registers},
        {"host: crash",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::Crash, "x_callback", "0x70501234"}};
         },
         Rule::Crash},
        {"host: no return",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::NoReturn, "x_callback", "2e7"}};
         },
         Rule::Crash},
        {"host: forbidden service",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::ForbiddenService, "mouse handler", "7"}};
         },
         Rule::Crash},
        {"host: text overrun",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::TextOverrun, "text_callback", "5"}};
         },
         Rule::Guard},
        {"host: text too long",
         [](FrameState& f) {
             f.host_problems = {{ProblemKind::TextTooLong, "text_callback", "8 into 5"}};
         },
         Rule::Length},
        {"12 written with %3d", [](FrameState& f) { f.readout.distance.text = " 12"; }, Rule::TextForm},
        {"distance with a point", [](FrameState& f) { f.readout.distance.text = "1.5"; }, Rule::TextForm},
        {"negative distance", [](FrameState& f) { f.readout.distance.text = "-1"; }, Rule::TextForm},
        {"ident of no waypoint", [](FrameState& f) { f.readout.ident.text = "GGAT"; }, Rule::TextForm},
        {"ident and number of different rows", [](FrameState& f) { f.readout.number.text = " 2"; }, Rule::TextForm},
        {"number 21", [](FrameState& f) { f.readout.number.text = "21"; }, Rule::TextForm},
        {"number in one column", [](FrameState& f) { f.readout.number.text = "1"; }, Rule::TextForm},
        {"a possible distance, but not this one",
         [](FrameState& f) { f.readout.distance.text = "  13"; },
         Rule::Reference,
         {Rule::TextForm}},
        {"dot 2e-6 px off",
         [](FrameState& f) { f.readout.dot.x += 2e-6, f.readout.dot.screen_x += 2e-6; },
         Rule::Reference,
         {Rule::Offset}},
        {"number callback returns the index", [](FrameState& f) { f.readout.number.result = 0.0; }, Rule::Reference},
        {"text changed without a buffer",
         [](FrameState& f) { f.distance.null_buffer = true, f.distance.before = "  99"; }, Rule::Reference},
        {"an empty text the callback wrote", [](FrameState& f) { f.readout.distance.text.clear(); }, Rule::TextForm},
        {"five refreshes", [](FrameState& f) { f.readout.calls.pop_back(); }, Rule::Services},
        {"refreshes out of order", [](FrameState& f) { std::swap(f.readout.calls[0], f.readout.calls[1]); },
         Rule::Services},
        {"a click service call",
         [](FrameState& f) {
             f.readout.calls.push_back({0, q7host::kServiceMouseClick, {}, 0});
         },
         Rule::Services},
        {"a call through the other table", [](FrameState& f) { f.readout.calls[3].table = 1; }, Rule::Services},
        {"two texts", [](FrameState& f) { f.readout.texts.pop_back(); }, Rule::Structure, {Rule::Reference}},
    };
    for (const auto& c : cases) {
        FrameState f = sfint_frame();
        c.fault(f);
        const auto findings = check_frame(f);
        EXPECT_TRUE(has(findings, c.found)) << c.label << "\n" << list(findings);
        for (Rule r : c.not_found) EXPECT_FALSE(has(findings, r)) << c.label << "\n" << list(findings);
    }
    // A NaN left in the selection slot comes back as a NaN, whatever its payload.
    FrameState f = frame_on(2, 0.0, sig_nan);
    f.readout.ident.result = f.readout.distance.result = f.readout.number.result = kNaN;
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));
}

TEST(FrameChecker, PassesWhatAHostMayLegitimatelyShow) {
    const struct {
        const char* label;
        void (*change)(FrameState&);
    } cases[] = {
        {"a box without buffer keeps its old distance",
         [](FrameState& f) { f.distance.null_buffer = true, f.distance.before = f.readout.distance.text = "  99"; }},
        {"a stale identifier beside a fresh number",
         [](FrameState& f) { f.ident.null_buffer = true, f.ident.before = f.readout.ident.text = "MERCD"; }},
        {"a box never drawn since install",
         [](FrameState& f) {
             f.distance.null_buffer = true;
             f.distance.before = f.readout.distance.text = "";
         }},
    };
    for (const auto& c : cases) {
        FrameState f = sfint_frame();
        c.change(f);
        EXPECT_TRUE(check_frame(f).empty()) << c.label << "\n" << list(check_frame(f));
    }
}

TEST(FrameChecker, ExemptsOnlyDistancesAHairFromAChangeOfFormat) {
    // Ten miles due south of GGATE on the longitude the module holds for it.
    const auto& ggate = q7ref::kWaypoints[0];
    const double held_nm = static_cast<float>(static_cast<float>(ggate.latitude) / 60.0 / q7ref::kMetresPerArcSecond);
    const double lon = static_cast<double>(static_cast<float>(ggate.longitude)) * q7ref::kTurn48PerTurn32;
    FrameState f = good_frame((held_nm - 10.0) * q7ref::kMetresPerNm, lon, 0.0, 0.0);
    ASSERT_LT(std::fabs(q7ref::offset_to(0, f.latitude, f.longitude).distance - 10.0), 1e-4);
    f.readout.distance.text = "  9";
    EXPECT_TRUE(check_frame(f).empty()) << list(check_frame(f));

    f = good_frame((held_nm - 10.5) * q7ref::kMetresPerNm, lon, 0.0, 0.0);
    ASSERT_EQ(f.readout.distance.text, "  10");
    f.readout.distance.text = "  9";
    EXPECT_TRUE(has(check_frame(f), Rule::Reference));
}

namespace {

constexpr std::uint64_t kFaultFrames = 600;

SweepSettings short_run() {
    SweepSettings s;
    s.frames = kFaultFrames;
    s.module = Q7_MODULE_FILE;
    s.seed = 20261208;
    s.max_reports = 3;
    return s;
}

using Plant = std::function<void(GaugeHost&)>;

// Puts a pointer callback of the host's making in place of the dot's x
// callback. The bytes are kept by value: the sweep plants it in each chunk.
Plant x_callback(std::vector<std::uint8_t> code) {
    return [code = std::move(code)](GaugeHost& h) {
        const Addr routine = h.machine().place_code(code);
        h.machine().write<std::uint32_t>(h.instrument().dot.address() + q7host::moving_image::kXCallback, routine);
    };
}

Plant max_chars(q7host::StringElementRef q7host::Instrument::*box, std::uint32_t n) {
    return [box, n](GaugeHost& h) {
        h.machine().write<std::uint32_t>((h.instrument().*box).address() + q7host::string_element::kMaxChars, n);
    };
}

// Overwrites the one place in the loaded image that holds `bytes` with
// `value` at its start.
template <typename Bytes, typename Value>
Plant overwrite_once(Bytes bytes, Value value) {
    return [bytes, value](GaugeHost& h) {
        const auto image = h.machine().read_bytes(h.base(), h.image().image_size);
        std::vector<Addr> found;
        for (std::size_t i = 0; i + sizeof bytes <= image.size(); ++i) {
            if (std::memcmp(image.data() + i, &bytes, sizeof bytes) == 0) found.push_back(h.base() + Addr(i));
        }
        ASSERT_EQ(found.size(), 1u) << "pattern expected exactly once in the image";
        h.machine().write<Value>(found[0], value);
    };
}

void swap_buttons(GaugeHost& h) {
    using namespace q7host::mouse_rect;
    const Addr left = h.mouse_list() + 2 * kSize + kHandler, right = h.mouse_list() + 3 * kSize + kHandler;
    const std::uint32_t a = h.machine().read(left), b = h.machine().read(right);
    h.machine().write<std::uint32_t>(left, b);
    h.machine().write<std::uint32_t>(right, a);
}

}  // namespace

TEST(SweepFaults, TheSameRunOnTheIntactModuleIsClean) {
    const SweepReport r = run_sweep(short_run());
    EXPECT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.frames, kFaultFrames);
    EXPECT_GT(r.hostile_frames, kFaultFrames / 3);
    EXPECT_GT(r.clicks, 0u);
}

TEST(SweepFaults, EachPlantedFaultIsReportedUnderItsRule) {
    const float bound = 100000.0f, inf = std::numeric_limits<float>::infinity();
    const auto& ggate = q7ref::kWaypoints[0];
    const std::array<std::int32_t, 2> ggate_pair = {ggate.latitude, ggate.longitude};
    using I = q7host::Instrument;
    const struct {
        const char* label;
        Plant before_install, after_install;
        std::vector<Rule> found;  // each at least `at_least` times
        std::uint64_t at_least;
        std::vector<Rule> not_found;  // empty: nothing but `found`
    } cases[] = {
        {"a callback with the caller-cleans convention (fldz; ret)",
         {},
         x_callback({0xD9, 0xEE, 0xC3}),
         {Rule::Stack},
         kFaultFrames,
         {Rule::Registers}},
        {"a callback that clobbers ebx",
         {},
         x_callback({0x31, 0xDB, 0xD9, 0xEE, 0xC2, 0x04, 0x00}),
         {Rule::Registers},
         kFaultFrames,
         {Rule::Stack}},
        {"a callback that reads address 0",
         {},
         x_callback({0xA1, 0x00, 0x00, 0x00, 0x00, 0xD9, 0xEE, 0xC2, 0x04, 0x00}),
         {Rule::Crash},
         kFaultFrames,
         {Rule::Stack}},
        {"a callback that returns 0.0 / 0.0",
         {},
         x_callback({0xD9, 0xEE, 0xD9, 0xEE, 0xDE, 0xF9, 0xC2, 0x04, 0x00}),
         {Rule::Offset},
         kFaultFrames,
         {Rule::Stack}},
        {"a dot scaled twice beyond its circle",
         {},
         [](GaugeHost& h) {
             h.machine().write<double>(h.instrument().dot.address() + q7host::moving_image::kXScale, 2.0);
         },
         {Rule::Offset},
         kFaultFrames / 2,
         {Rule::Stack}},
        // The host sizes the buffer from max_chars at install: three
        // characters and a NUL, where the distance needs up to five.
        {"a buffer too small for the distance",
         max_chars(&I::distance, 3),
         {},
         {Rule::Guard, Rule::Length},
         1,
         {Rule::Crash}},
        // The buffer keeps room for six bytes, but "GGATE" no longer fits.
        {"an ident box shrunk after install", {}, max_chars(&I::ident, 4), {Rule::Length}, kFaultFrames, {Rule::Guard}},
        // Huge distances are then printed in full, as the readout did before
        // it was bounded.
        {"the 100000-mile bound raised to infinity",
         {},
         overwrite_once(bound, inf),
         {Rule::Guard, Rule::Length},
         1,
         {Rule::Crash}},
        {"GGATE moved 100 m north", {}, overwrite_once(ggate_pair, ggate.latitude + 100), {Rule::Reference}, 1, {}},
        {"the buttons' handlers swapped", {}, swap_buttons, {Rule::Click}, 1, {Rule::Crash}},
    };
    for (const auto& c : cases) {
        SweepSettings s = short_run();
        s.before_install = c.before_install;
        s.after_install = c.after_install;
        const SweepReport r = run_sweep(s);
        std::uint64_t expected = 0;
        for (Rule rule : c.found) {
            EXPECT_GE(r.count(rule), c.at_least) << c.label << ": " << rule_name(rule) << "\n" << describe(r);
            expected += r.count(rule);
        }
        for (Rule rule : c.not_found) EXPECT_EQ(r.count(rule), 0u) << c.label << ": " << rule_name(rule);
        if (c.not_found.empty()) {
            EXPECT_EQ(r.finding_count(), expected) << c.label << "\n" << describe(r);
        }
    }
}
