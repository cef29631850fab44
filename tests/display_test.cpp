// The three readouts and the two step buttons, driven through the loaded module
// as a host drives them.
#include "support/test_support.h"

#include <cmath>

using namespace q7test;

namespace {

// A waypoint's latitude in nautical miles as the module rounds it, so that an
// aircraft can be placed a whole number of miles due south of it.
double waypoint_nm(int row) {
    return static_cast<float>(static_cast<float>(latitude_of(row)) / 60.0 / q7ref::kMetresPerArcSecond);
}

class Readouts : public LoadedGauge {
protected:
    // The aircraft `nm` nautical miles due south of GGATE, on the longitude the
    // module uses for it, so the distance is as close to `nm` as floats allow.
    void south_of_ggate(double nm) {
        const double lat = (waypoint_nm(kGgate) - nm) * 60.0 * q7ref::kMetresPerArcSecond;
        place(lat, static_cast<float>(q7ref::kWaypoints[kGgate].longitude) * (q7ref::kTurn48 / q7ref::kTurn32));
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
    struct {
        double nm;
        const char* shown;
    } cases[] = {
        {0.0, "  0"},     {9.99, "  9"},     {10.0, "  10"},    {99.5, "  99"},     {100.0, " 100"},
        {999.99, " 999"}, {1000.0, " 1000"}, {9999.9, " 9999"}, {12345.6, "12345"}, {99999.0, "99999"},
    };
    for (const auto& c : cases) {
        south_of_ggate(c.nm);
        double ret = -1;
        EXPECT_EQ(text(distance_box(), &ret), c.shown) << c.nm << " nm";
        EXPECT_EQ(ret, 0.0);
    }
}

TEST_F(Readouts, DistanceThatCannotBeShownInFiveCharactersShowsDashes) {
    const double lat = latitude_of(kGgate), lon = longitude_of(kGgate);
    const double nan = std::nan("");
    struct {
        double lat, lon;
    } cases[] = {
        {lat - 100000.5 * q7ref::kMetresPerNm, lon},  // 100000 nm and more
        {1e308, lon},
        {-1e308, -1e308},
        {nan, lon},
        {lat, nan},
        {lat, HUGE_VAL},
        {lat, lon + 10 * q7ref::kTurn48},  // ten turns away, never normalised
        {lat, lon - 10 * q7ref::kTurn48},
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
    const auto parts = host.instrument();
    for (const auto& box : {parts.ident, parts.number, parts.distance}) {
        host.swap_text_buffer(box.address(), 0);
        // A write through the null pointer would end the call as a crash.
        const double result = host.call_text("text_callback", box.text_callback(), 0.0);
        EXPECT_EQ(result, box.address() == parts.number.address() ? 1.0 : 0.0);
    }
}

TEST_F(Readouts, AnIndexMatchingNoRowShowsTheFirstWaypoint) {
    place_on(kSfint, 0.0);
    const auto first = host.frame().dot;
    for (double bad : {7.5, -3.0, 20.0, 1e300, -1e300, std::nan(""), HUGE_VAL, 5e-324}) {
        host.select(bad);
        const auto f = host.frame();
        EXPECT_EQ(f.ident.text, "GGATE") << bad;
        EXPECT_EQ(f.number.text, " 1") << bad;
        EXPECT_EQ(f.distance.text, "  12") << bad;
        EXPECT_EQ(f.dot.x, first.x) << bad;
        EXPECT_EQ(f.dot.y, first.y) << bad;
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
        if (c.position == q7host::kServiceMouseClick) seen.push_back(selection());
    };
    mouse_list();
    for (std::uint32_t r : {0u, 1u, 0xFFFFFFFFu}) {
        host.set_service_result(Service::MouseClick, r);
        for (bool next : {true, false, false}) {
            host.clear_calls();
            seen.clear();
            const double before = selection();
            next ? click_next() : click_previous();
            ASSERT_EQ(host.calls().size(), 1u);
            EXPECT_EQ(host.calls()[0].position, q7host::kServiceMouseClick);
            EXPECT_EQ(host.calls()[0].args, (std::vector<std::uint32_t>{0x10000, 0}));
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0], before);  // the step comes after the call
        }
    }
}

TEST_F(Buttons, HandlersReturnZeroWhateverTheHostPasses) {
    const Addr previous = arrow_handler(false), next = arrow_handler(true);
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
    const struct {
        int x, y, step;
    } clicks[] = {
        {3, 62, -1},  {16, 62, -1}, {3, 74, -1},  {16, 74, -1}, {9, 68, -1},  // the left-arrow box, x 3..16, y 62..74
        {17, 68, 0},  {18, 62, 0},  {19, 74, 0},                              // the gap, x 17..19
        {2, 68, 0},   {9, 61, 0},   {9, 75, 0},                               // just outside the left box
        {20, 62, +1}, {33, 62, +1}, {20, 74, +1}, {33, 74, +1},               // the right-arrow box, x 20..33
        {34, 68, 0},  {33, 75, 0},  {45, 68, 0},  {31, 31, 0},                // outside it
    };
    int row = 0;
    for (const auto& c : clicks) {
        host.clear_calls();
        const bool taken = host.click(c.x, c.y);
        EXPECT_EQ(taken, c.step != 0) << c.x << "," << c.y;
        row = (row + c.step + 20) % 20;
        EXPECT_EQ(selection(), double(row)) << c.x << "," << c.y;
        EXPECT_EQ(host.calls().size(), c.step ? 1u : 0u) << c.x << "," << c.y;
    }
}
