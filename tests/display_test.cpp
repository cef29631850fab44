// The three readouts and the two step buttons, driven through the loaded module
// as a host drives them.
#include "support/test_support.h"

#include <cmath>

using namespace q7test;

namespace {

// A waypoint's latitude in nautical miles as the module rounds it, so that an
// aircraft can be placed a whole number of miles due south of it.
double waypoint_nm(std::int32_t lat) {
    return static_cast<float>(static_cast<float>(lat) / 60.0 / 30.8695987654321);
}

class Readouts : public LoadedGauge {
protected:
    // The aircraft `nm` nautical miles due south of GGATE, on the longitude the
    // module uses for it, so the distance is as close to `nm` as floats allow.
    void south_of_ggate(double nm) {
        const double lat = (waypoint_nm(kGgate.lat) - nm) * 60.0 * 30.8695987654321;
        place(lat, static_cast<double>(static_cast<float>(kGgate.lon)) * 65536.0);
    }
};

}  // namespace

TEST_F(Readouts, StartOnTheFirstWaypoint) {
    double ident_ret = -1, number_ret = -1, distance_ret = -1;
    place_on(kSfint);
    EXPECT_EQ(text(ident_box(), &ident_ret), "GGATE");
    EXPECT_EQ(text(number_box(), &number_ret), " 1");
    EXPECT_EQ(text(distance_box(), &distance_ret), "  12");
    EXPECT_EQ(ident_ret, 0.0);
    EXPECT_EQ(number_ret, 1.0);
    EXPECT_EQ(distance_ret, 0.0);  // the selection index, not the distance
}

TEST_F(Readouts, LastWaypointAndTheValuePassedInChangesNothing) {
    click_previous();
    for (double arg : {0.0, -1.0, 1e300, std::nan("")}) {
        double number_ret = 0, ident_ret = 0;
        EXPECT_EQ(text(ident_box(), &ident_ret, arg), "MERCD");
        EXPECT_EQ(text(number_box(), &number_ret, arg), "20");
        EXPECT_EQ(number_ret, 20.0);
        EXPECT_EQ(ident_ret, 19.0);
    }
}

TEST_F(Readouts, DistanceFormatBoundariesOnTheSinglePrecisionValue) {
    struct { double nm; const char* shown; } cases[] = {
        {0.0, "  0"},      {9.99, "  9"},      {10.0, "  10"},    {99.5, "  99"},
        {100.0, " 100"},   {999.99, " 999"},   {1000.0, " 1000"}, {9999.9, " 9999"},
        {12345.6, "12345"}, {99999.0, "99999"},
    };
    for (const auto& c : cases) {
        south_of_ggate(c.nm);
        double ret = -1;
        EXPECT_EQ(text(distance_box(), &ret), c.shown) << c.nm << " nm";
        EXPECT_EQ(ret, 0.0);
    }
}

TEST_F(Readouts, DistanceThatCannotBeShownInFiveCharactersShowsDashes) {
    const double lon = kGgate.lon * 65536.0;
    const double nan = std::nan("");
    struct { double lat, lon; } cases[] = {
        {kGgate.lat - 100000.5 * kMetresPerNm, lon},  // 100000 nm and more
        {1e308, lon},
        {-1e308, -1e308},
        {nan, lon},
        {double(kGgate.lat), nan},
        {double(kGgate.lat), HUGE_VAL},
        {double(kGgate.lat), lon + 10 * kTurn48},   // ten turns away, never normalised
        {double(kGgate.lat), lon - 10 * kTurn48},
    };
    for (const auto& c : cases) {
        place(c.lat, c.lon);
        EXPECT_EQ(text(distance_box()), "-----") << c.lat << " " << c.lon;
    }
    // On the waypoint itself the distance is 0.
    place_on(kGgate);
    EXPECT_EQ(text(distance_box()), "  0");
}

TEST_F(Readouts, NoTextIsWrittenWhileTheBufferIsNull) {
    for (Addr box : {ident_box(), number_box(), distance_box()}) {
        host.machine().write<std::uint32_t>(box + 184, 0);
        const Addr callback = host.machine().read(box + 180);
        // A write through the null pointer would end the call as a crash.
        const auto out = host.machine().call("text_callback", callback, {0, 0}, q7host::Returns::kDouble);
        EXPECT_TRUE(out.completed);
        EXPECT_EQ(out.st0, box == number_box() ? 1.0 : 0.0);
    }
}

TEST_F(Readouts, AnIndexMatchingNoRowShowsTheFirstWaypoint) {
    place_on(kSfint, 0.0);
    const double x0 = dot_x(), y0 = dot_y();
    for (double bad : {7.5, -3.0, 20.0, 1e300, -1e300, std::nan(""), HUGE_VAL, 5e-324}) {
        host.machine().write<double>(ident_box() + 72, bad);
        EXPECT_EQ(text(ident_box()), "GGATE") << bad;
        EXPECT_EQ(text(number_box()), " 1") << bad;
        EXPECT_EQ(text(distance_box()), "  12") << bad;
        EXPECT_EQ(dot_x(), x0) << bad;
        EXPECT_EQ(dot_y(), y0) << bad;
    }
}

class Buttons : public LoadedGauge {
protected:
    std::string ident() { return text(ident_box()); }
};

TEST_F(Buttons, StepWithWrapRoundBothWays) {
    click_previous();
    EXPECT_EQ(ident(), "MERCD");
    EXPECT_EQ(text(number_box()), "20");
    click_next();
    EXPECT_EQ(ident(), "GGATE");
    EXPECT_EQ(bits_of(selection()), bits_of(0.0));
    click_next();
    EXPECT_EQ(ident(), "NIMIT");
    EXPECT_EQ(text(number_box()), " 2");
    click_previous();
    EXPECT_EQ(bits_of(selection()), bits_of(0.0));  // a positive zero

    for (int i = 0; i < 20; ++i) click_next();
    EXPECT_EQ(selection(), 0.0);
    for (int i = 0; i < 20; ++i) click_previous();
    EXPECT_EQ(selection(), 0.0);
    for (int i = 0; i < 19; ++i) click_next();
    EXPECT_EQ(ident(), "MERCD");
    click_next();
    EXPECT_EQ(ident(), "GGATE");
}

TEST_F(Buttons, ServiceCalledOnceBeforeTheStepWhateverItReturns) {
    std::vector<double> seen;
    host.services().service_observer = [&](const q7host::ServiceCall& c) {
        if (c.position == 36) seen.push_back(selection());
    };
    mouse_list();
    for (std::uint32_t r : {0u, 1u, 0xFFFFFFFFu}) {
        host.services().set_result(36, r);
        for (bool next : {true, false, false}) {
            host.services().clear_calls();
            seen.clear();
            const double before = selection();
            next ? click_next() : click_previous();
            ASSERT_EQ(host.services().calls().size(), 1u);
            EXPECT_EQ(host.services().calls()[0].position, 36u);
            EXPECT_EQ(host.services().calls()[0].args, (std::vector<std::uint32_t>{0x10000, 0}));
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], before);  // the step comes after the call
        }
    }
}

TEST_F(Buttons, HandlersReturnZeroWhateverTheHostPasses) {
    const Addr list = mouse_list();
    const Addr previous = host.machine().read(list + 2 * 44 + 36), next = host.machine().read(list + 3 * 44 + 36);
    const std::uint32_t args[][2] = {{0, 0}, {0xFFFFFFFF, 0xFFFFFFFF}, {0x12345678, 0x20000000}};
    double expected = 0.0;
    for (const auto& a : args) {
        EXPECT_EQ(host.call_handler("step_next_handler", next, a[0], a[1]), 0);
        expected = expected == 19.0 ? 0.0 : expected + 1.0;
        EXPECT_EQ(selection(), expected);
    }
    for (const auto& a : args) {
        EXPECT_EQ(host.call_handler("step_previous_handler", previous, a[0], a[1]), 0);
        expected = expected == 0.0 ? 19.0 : expected - 1.0;
        EXPECT_EQ(selection(), expected);
    }
}

TEST_F(Buttons, HitTestingOnTheExactPixelEdges) {
    mouse_list();
    struct { int x, y; int step; } clicks[] = {
        // left-arrow box x 3..16, y 62..74
        {3, 62, -1}, {16, 62, -1}, {3, 74, -1}, {16, 74, -1}, {9, 68, -1},
        // the gap x 17..19 and the pixels just outside
        {17, 68, 0}, {18, 62, 0}, {19, 74, 0}, {2, 68, 0}, {9, 61, 0}, {9, 75, 0},
        // right-arrow box x 20..33
        {20, 62, +1}, {33, 62, +1}, {20, 74, +1}, {33, 74, +1},
        {34, 68, 0}, {33, 75, 0}, {45, 68, 0}, {31, 31, 0},
    };
    int row = 0;
    for (const auto& c : clicks) {
        host.services().clear_calls();
        const bool taken = host.click(c.x, c.y);
        EXPECT_EQ(taken, c.step != 0) << c.x << "," << c.y;
        row = (row + c.step + 20) % 20;
        EXPECT_EQ(selection(), double(row)) << c.x << "," << c.y;
        EXPECT_EQ(host.services().calls().size(), c.step ? 1u : 0u) << c.x << "," << c.y;
    }
}
