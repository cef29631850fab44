// Shared pieces of the test programs: the loaded-module fixture and ways to
// reach the gauge's records through the module's own pointers.
#pragma once

#include "host/gauge_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace q7test {

using q7host::Addr;

inline std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Raw table values of some waypoints, for placing the aircraft on them.
struct RawWaypoint {
    std::int32_t lat;
    std::int32_t lon;
};
inline constexpr RawWaypoint kGgate{4202735, -1461193608};
inline constexpr RawWaypoint kSfint{4180639, -1459976701};
inline constexpr RawWaypoint kMercd{4142836, -1437710477};
inline constexpr double kMetresPerNm = 1852.175925925926;
inline constexpr double kTurn48 = 281474976710656.0;

// Loads a fresh copy of quorlan7.gau for each test (so the selection index
// starts at 0.0) and fails the test on any boundary violation the host saw.
class LoadedGauge : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The gauge's records, found only through Linkage and the records' pointers.
    Addr header() const { return host.gauge(); }
    Addr face() const { return host.root(); }
    Addr child(int index) const;  // entry of the face's child list
    Addr dot() const { return child(0); }
    Addr distance_box() const { return child(1); }
    Addr ident_box() const { return child(2); }
    Addr number_box() const { return child(3); }
    Addr buttons() const { return child(4); }

    double selection() { return host.machine().read<double>(ident_box() + 72); }

    // Aircraft position in host units.
    void place(double latitude, double longitude, double heading = 0.0);
    void place_on(RawWaypoint w, double heading = 0.0) {
        place(w.lat, w.lon * 65536.0, heading);
    }
    double dot_x();
    double dot_y();
    // Runs a box's text callback as the host does (source slots filled first)
    // and returns the text.
    std::string text(Addr box, double* result = nullptr, double arg = 0.0);
    // The list handed to the host at install (installs the gauge if needed).
    Addr mouse_list();
    void click_next();
    void click_previous();

    q7host::GaugeHost host;
    bool expect_violations = false;
};

}  // namespace q7test
