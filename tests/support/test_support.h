// Shared pieces of the test programs: colours in failure messages, the
// loaded-module fixture, the instrument's parts by role, the aircraft placed
// by waypoint and the two step buttons pressed through the registered mouse
// list.
#pragma once

#include "host/gauge_host.h"
#include "host/image.h"
#include "model/reference_nav.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

namespace q7host {
// Colours in failure messages as (r,g,b).
void PrintTo(const Rgb& c, std::ostream* os);
}  // namespace q7host

namespace q7test {

using q7host::Addr;
using q7host::Service;

inline std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Rows of the model's waypoint table the tests place the aircraft on.
inline constexpr int kGgate = 0, kSfint = 2, kMercd = 19;
// A waypoint's position in host units.
inline double latitude_of(int row) { return q7ref::kWaypoints[row].latitude; }
inline double longitude_of(int row) { return q7ref::kWaypoints[row].longitude * (q7ref::kTurn48 / q7ref::kTurn32); }

// Loads a fresh copy of quorlan7.gau for each test (so the selection index
// starts at 0.0) and fails the test on any boundary violation the host saw.
class LoadedGauge : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The gauge's records, found through Linkage and the records' pointers.
    Addr header() const { return host.gauge(); }
    Addr face() const { return host.root(); }
    Addr dot() { return host.instrument().dot.address(); }
    Addr distance_box() { return host.instrument().distance.address(); }
    Addr ident_box() { return host.instrument().ident.address(); }
    Addr number_box() { return host.instrument().number.address(); }
    double selection() { return host.selection(); }

    // Aircraft position in host units.
    void place(double latitude, double longitude, double heading = 0.0);
    void place_on(int row, double heading = 0.0) { place(latitude_of(row), longitude_of(row), heading); }
    // Runs a box's text callback as the host does (source slots filled first)
    // and returns the text.
    std::string text(Addr box, double* result = nullptr, double arg = 0.0);
    // The list handed to the host at install (installs the gauge if needed).
    Addr mouse_list();
    // Presses a step button at its centre through the registered mouse list.
    void click_next() { click_arrow(true); }
    void click_previous() { click_arrow(false); }
    // The handler of the right (next) or left (previous) arrow's box.
    Addr arrow_handler(bool next);

    q7host::GaugeHost host;
    bool expect_violations = false;

private:
    q7host::ClickArea arrow(bool next);
    void click_arrow(bool next);
};

}  // namespace q7test
