// The module against an independent re-computation: for every waypoint and
// ordinary aircraft positions and headings, the dot's offsets and the three
// texts that the loaded quorlan7.gau shows through the host's frame agree with
// the formulas evaluated natively.
#include "model/readouts.h"
#include "support/test_support.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace q7test;

namespace {

constexpr double kOffsetTolerance = 1e-6;
const double kHeadings[] = {0.0, 33.3, 90.0, 180.0, 271.7, 359.99, -45.0, 1092.0};

struct Position {
    double lat;  // host units
    double lon;
};

// A grid over the waypoints' region, 36.5..38.6 N and 123.1..120.5 W.
std::vector<Position> region_grid() {
    std::vector<Position> out;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            const double lat = 36.5 + 2.1 * i / 7.0 + 0.0137 * j;
            const double lon = -123.1 + 2.6 * j / 7.0 - 0.0091 * i;
            out.push_back({q7ref::latitude_from_degrees(lat), q7ref::longitude_from_degrees(lon)});
        }
    }
    return out;
}

// Positions on rings round a waypoint, from a few hundred feet out to 25 nm;
// points due south of it on both sides of the 10-mile change of format; and
// the waypoint's own stored coordinates (distance 0, the dot at rest).
std::vector<Position> round_waypoint(int row) {
    std::vector<Position> out;
    const auto& w = q7ref::kWaypoints[row];
    const double lat0 = q7ref::waypoint_lat_degrees(row);
    const double lon0 = q7ref::waypoint_lon_degrees(row);
    const double pi = std::acos(-1.0);
    for (double nm : {0.05, 0.5, 3.0, 25.0}) {
        for (int k = 0; k < 8; ++k) {
            const double bearing = (10.0 + 45.0 * k) * pi / 180.0;
            const double lat = lat0 + nm * std::cos(bearing) / 60.0;
            const double lon = lon0 + nm * std::sin(bearing) / (60.0 * std::cos(lat0 * pi / 180.0));
            out.push_back({q7ref::latitude_from_degrees(lat), q7ref::longitude_from_degrees(lon)});
        }
    }
    // Due south on the longitude the module holds for the waypoint, measured
    // from the latitude it holds, so the distance is the given one to within
    // single-precision rounding.
    const double held_nm = static_cast<float>(static_cast<float>(w.latitude) / 60.0 / q7ref::kMetresPerArcSecond);
    const double held_lon = static_cast<double>(static_cast<float>(w.longitude)) * q7ref::kTurn48PerTurn32;
    for (double nm : {9.99, 9.99995, 10.0, 10.00005, 10.01}) {
        out.push_back({(held_nm - nm) * q7ref::kMetresPerNm, held_lon});
    }
    out.push_back({double(w.latitude), w.longitude * q7ref::kTurn48PerTurn32});
    return out;
}

struct Tally {
    int frames = 0;
    int distance_texts_compared = 0;
    int offset_mismatches = 0;
    int text_mismatches = 0;
    std::vector<std::string> first;

    void note(const std::string& what) {
        if (first.size() < 10) first.push_back(what);
    }
};

class CrossCheck : public LoadedGauge {
protected:
    void SetUp() override {
        LoadedGauge::SetUp();
        host.install();
    }

    // Clicks the middle of the step button on the left (back) or the right (on).
    void step(bool next) {
        const auto areas = host.click_areas();
        ASSERT_EQ(areas.size(), 2u);
        const auto& b = (areas[0].x < areas[1].x) == next ? areas[1] : areas[0];
        ASSERT_TRUE(host.click(b.centre_x(), b.centre_y()));
    }

    // Steps the selection on to `row`.
    void select(int row) {
        for (int k = 0; k < q7ref::kRows && host.selection() != row; ++k) step(true);
        ASSERT_EQ(host.selection(), row);
    }

    // One frame through the host against the re-computation.
    void compare(int row, Position p, double heading, Tally& t) {
        place(p.lat, p.lon, heading);
        const q7host::FrameReadout out = host.frame();
        ++t.frames;
        ASSERT_EQ(out.dots.size(), 1u);
        ASSERT_EQ(out.texts.size(), 3u);
        const q7ref::Dot want = q7ref::dot_offsets(row, p.lat, p.lon, heading);
        const q7ref::Offset o = q7ref::offset_to(row, p.lat, p.lon);
        char where[160];
        std::snprintf(where, sizeof where, "row %d lat %.9g lon %.17g heading %g", row, p.lat, p.lon, heading);

        const auto& d = out.dot;
        if (!(std::fabs(d.x - want.x) <= kOffsetTolerance && std::fabs(d.y - want.y) <= kOffsetTolerance)) {
            ++t.offset_mismatches;
            char buf[128];
            std::snprintf(buf, sizeof buf, ": dot (%.12f, %.12f), formulas (%.12f, %.12f)", d.x, d.y, want.x, want.y);
            t.note(where + std::string(buf));
        }

        const std::string& distance = out.distance.text;
        const std::string want_distance = q7ref::distance_text(row, p.lat, p.lon);
        if (!q7ref::near_format_boundary(o.distance)) {
            ++t.distance_texts_compared;
            if (distance != want_distance) {
                ++t.text_mismatches;
                t.note(where + (": distance \"" + distance + "\", formulas \"" + want_distance + "\""));
            }
        }
        const std::string& ident = out.ident.text;
        const std::string& number = out.number.text;
        if (ident != q7ref::kWaypoints[row].ident || number != q7ref::number_text(row)) {
            ++t.text_mismatches;
            t.note(where + (": shows \"" + ident + "\" \"" + number + "\""));
        }
    }

    // Every position of the region and of the rings round `row`, in both
    // longitude forms, each with a few headings.
    void compare_everywhere(int row, Tally& t) {
        std::vector<Position> positions = region_grid();
        const auto near = round_waypoint(row);
        positions.insert(positions.end(), near.begin(), near.end());
        for (std::size_t i = 0; i < positions.size(); ++i) {
            Position p = positions[i];
            if (i % 3 == 1) p.lon += q7ref::kTurn48;  // the same place as a positive angle
            for (int k = 0; k < 3; ++k) {
                compare(row, p, kHeadings[(i + 3 * k + row) % 8], t);
            }
        }
    }

    static void expect_agreement(const Tally& t) {
        EXPECT_EQ(t.offset_mismatches, 0);
        EXPECT_EQ(t.text_mismatches, 0);
        for (const auto& f : t.first) ADD_FAILURE() << f;
    }
};

}  // namespace

TEST_F(CrossCheck, EveryWaypointAgreesWithTheFormulasAcrossTheRegion) {
    Tally t;
    for (int row = 0; row < q7ref::kRows; ++row) {
        select(row);
        compare_everywhere(row, t);
    }
    expect_agreement(t);
    // 20 rows, 102 positions, 3 headings; only the points due south within a
    // hair of 10 miles may leave their distance text uncompared.
    EXPECT_EQ(t.frames, 20 * 102 * 3);
    EXPECT_GE(t.distance_texts_compared, t.frames - 20 * 3 * 3);
}

TEST_F(CrossCheck, AgreementSurvivesWrapRoundInBothDirections) {
    // Row 19 reached backwards from row 0, then row 0 again forwards from 19.
    Tally t;
    step(false);
    ASSERT_EQ(host.selection(), 19.0);
    compare_everywhere(19, t);
    step(true);
    ASSERT_EQ(host.selection(), 0.0);
    compare_everywhere(0, t);
    expect_agreement(t);
}

TEST_F(CrossCheck, AWaypointMovedByOneMetreIsCaught) {
    // The comparison has teeth: shift GGATE's stored latitude one metre north
    // in the module file and the module no longer agrees with the formulas.
    std::vector<std::uint8_t> file = host.image().file;
    const std::int32_t pair[2] = {q7ref::kWaypoints[0].latitude, q7ref::kWaypoints[0].longitude};
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i + sizeof pair <= file.size(); i += 4) {
        if (std::memcmp(file.data() + i, pair, sizeof pair) == 0) found.push_back(i);
    }
    ASSERT_EQ(found.size(), 1u) << "GGATE's coordinates should appear once in the file";
    const std::int32_t moved = pair[0] + 1;
    std::memcpy(file.data() + found[0], &moved, sizeof moved);
    host.unload();
    ASSERT_TRUE(host.load(file, "quorlan7.gau with GGATE moved")) << host.error();
    host.install();

    Tally t;
    compare_everywhere(0, t);
    EXPECT_GT(t.offset_mismatches, 0);
}
