// Shared pieces of the test programs: the loaded-module fixture and ways to
// reach the gauge's records through the module's own pointers.
#pragma once

#include "host/gauge_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace q7test {

// Path of quorlan7.gau beside the running test program.
std::string module_path();

// The raw bytes of a record as the host sees them.
template <typename T = std::uint32_t>
T read_at(const void* record, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

inline std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Loads a fresh copy of quorlan7.gau for each test (so the selection index
// starts at 0.0) and fails the test on any boundary violation the host saw.
class LoadedGauge : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The gauge's records, found only through Linkage and the records' pointers.
    GaugeHeader* header() const { return host.gauge(); }
    StaticImageElement* face() const;
    ElementHeader* child(int index) const;  // face_children entry
    MovingImageElement* dot() const;
    StringElement* distance_box() const;
    StringElement* ident_box() const;
    StringElement* number_box() const;
    StaticImageElement* buttons() const;
    MouseRect* mouse_rects() const;  // as handed to the host at install

    double selection() const { return read_at<double>(ident_box(), 72); }

    // Text callbacks through the host's checked call, returning the text.
    std::string run_text(StringElement* box, double* result = nullptr, double arg = 0.0);

    q7host::GaugeHost host;
    bool expect_violations = false;
};

// Aircraft positions in host units.
struct Position {
    double latitude;   // metres
    double longitude;  // 2^48 per turn
};
// On a waypoint's stored coordinates, given its raw table values.
Position at_raw(std::int32_t lat, std::int32_t lon);

}  // namespace q7test
