// The navigation core, linked into the test: offsets and distance from the host
// units, and the selection index with its stepping and row lookup.
#include "nav/navigation.h"
#include "nav/waypoints.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace {

constexpr double kMetresPerNm = 1852.175925925926;

std::uint64_t bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

double aircraft_lon(double binary_angle) {
    return binary_angle * 65536.0;
}

}  // namespace

TEST(WaypointOffset, WorkedExamples) {
    const auto& gg = waypoint_coords[0];
    // One nautical mile due south of GGATE.
    auto w = compute_waypoint_offset(0, gg.latitude - kMetresPerNm, aircraft_lon(gg.longitude));
    EXPECT_NEAR(w.north, 1.0, 0.01);
    EXPECT_NEAR(w.east, 0.0, 0.01);
    EXPECT_NEAR(w.distance, 1.0, 0.01);

    // Ten arc-minutes west of GGATE, west-negative and one turn higher.
    const double west = gg.longitude - 10.0 / 60.0 / 360.0 * 4294967296.0;
    for (double lon : {aircraft_lon(west), aircraft_lon(west) + 281474976710656.0}) {
        w = compute_waypoint_offset(0, gg.latitude, lon);
        EXPECT_NEAR(w.north, 0.0, 0.01);
        EXPECT_NEAR(w.east, 7.90, 0.01);
        EXPECT_NEAR(w.distance, 7.90, 0.01);
    }

    // From SFINT's stored position to GGATE, MERCD and FARAL.
    const auto& sf = waypoint_coords[2];
    w = compute_waypoint_offset(0, sf.latitude, aircraft_lon(sf.longitude));
    EXPECT_NEAR(w.north, 11.93, 0.01);
    EXPECT_NEAR(w.east, -4.84, 0.01);
    EXPECT_NEAR(w.distance, 12.874, 0.001);
    EXPECT_NEAR(compute_waypoint_offset(19, sf.latitude, aircraft_lon(sf.longitude)).distance,
                91.21, 0.01);
    EXPECT_NEAR(compute_waypoint_offset(10, sf.latitude, aircraft_lon(sf.longitude)).distance,
                30.43, 0.01);
}

TEST(WaypointOffset, OnEveryWaypointItselfTheDistanceIsZero) {
    for (int row = 0; row < kWaypointCount; ++row) {
        const auto& c = waypoint_coords[row];
        const auto w = compute_waypoint_offset(row, c.latitude, aircraft_lon(c.longitude));
        EXPECT_EQ(w.distance, 0.0) << waypoint_idents[row];
    }
}

TEST(WaypointOffset, RoundsNamedIntermediatesToSinglePrecision) {
    // N and E are 32-bit quantities: their values are exactly representable as
    // floats, and R is the 64-bit root of their 64-bit squares.
    const auto& sf = waypoint_coords[2];
    const auto w = compute_waypoint_offset(0, sf.latitude + 0.123, aircraft_lon(sf.longitude) + 7.0);
    const double n = w.north, e = w.east;
    EXPECT_EQ(std::sqrt(n * n + e * e), w.distance);
    // With 64-bit intermediates N would carry bits below the float grid of the
    // latitudes (about 0.00024 nm); at 32 bits it is a multiple of 2^-12.
    EXPECT_EQ(std::fmod(double(w.north), 1.0 / 4096.0), 0.0);
}

class Selection : public ::testing::Test {
protected:
    void SetUp() override { selection_index() = 0.0; }
};

TEST_F(Selection, StartsAtZeroAndWrapsBothWays) {
    EXPECT_EQ(selected_row(selection_index()), 0);
    select_previous_waypoint();
    EXPECT_EQ(selection_index(), 19.0);
    select_next_waypoint();
    EXPECT_EQ(bits(selection_index()), bits(0.0));
    for (int i = 0; i < 20; ++i) select_next_waypoint();
    EXPECT_EQ(bits(selection_index()), bits(0.0));
    for (int i = 0; i < 20; ++i) select_previous_waypoint();
    EXPECT_EQ(bits(selection_index()), bits(0.0));

    // Previous from row 1 stores a positive zero.
    select_next_waypoint();
    select_previous_waypoint();
    EXPECT_EQ(bits(selection_index()), bits(0.0));
}

TEST_F(Selection, AnyMixOfStepsStaysOnAWholeRowAndAllLookupsAgree) {
    std::mt19937 rng(7);
    int model = 0;
    for (int i = 0; i < 2000; ++i) {
        if (rng() & 1) {
            select_next_waypoint();
            model = (model + 1) % 20;
        } else {
            select_previous_waypoint();
            model = (model + 19) % 20;
        }
        const double index = selection_index();
        ASSERT_EQ(index, double(model));
        ASSERT_EQ(selected_row(index), model);
        // The pointer callbacks look up the row from the index rounded to a float.
        ASSERT_EQ(selected_row(static_cast<float>(index)), model);
    }
}

TEST(SelectedRow, AnIndexMatchingNoRowSelectsRowZero) {
    for (double bad : {std::nan(""), 0.5, 19.5, 20.0, -1.0, 1e300, -1e300, HUGE_VAL, 5e-324}) {
        EXPECT_EQ(selected_row(bad), 0) << bad;
    }
    EXPECT_EQ(selected_row(-0.0), 0);
    for (int r = 0; r < 20; ++r) EXPECT_EQ(selected_row(double(r)), r);
}

TEST(WaypointTable, IdentifiersAreFiveCapitalLetters) {
    for (const auto& ident : waypoint_idents) {
        EXPECT_EQ(std::strlen(ident), 5u);
        for (int i = 0; i < 5; ++i) EXPECT_TRUE(ident[i] >= 'A' && ident[i] <= 'Z') << ident;
    }
    EXPECT_STREQ(waypoint_idents[0], "GGATE");
    EXPECT_STREQ(waypoint_idents[19], "MERCD");
}
