// The parts of the viewer's scene that are no template: texts, the error
// line, and the search --at flies by (tools/view_scene.h).
#include "tools/view_scene.h"

#include "tools/text_escape.h"

#include <cmath>
#include <iostream>

namespace q7view {

namespace {

constexpr int kMaxBisections = 200;

}  // namespace

std::string trimmed(const std::string& text) {
    const auto b = text.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

int fail(int status, const std::string& message) {
    // One line whatever the message carries: paths and the module's own
    // names and texts may hold line breaks and bytes no terminal should get.
    std::cerr << "quorlan7-view: " << q7tools::readable(message) << "\n";
    return status;
}

double wrap_longitude(double degrees) {
    double d = std::fmod(degrees + 180.0, 360.0);
    if (d < 0) d += 360.0;
    return d - 180.0;
}

// Which side of the waypoint the aircraft is on along one axis, read from
// one dot coordinate with the heading north: the dot points at the
// waypoint, so its x has the sign of the east offset and its y the sign of
// the north offset. An offset of exactly zero leaves that coordinate exactly
// zero; on the waypoint itself the dot is off its circle (or not a number).
Side side_of(double coordinate, double other) {
    if (!std::isfinite(coordinate) || !std::isfinite(other)) return Side::kOn;
    if (std::hypot(coordinate, other) < 1.0) return Side::kOn;
    if (coordinate == 0.0) return Side::kOn;
    return coordinate > 0 ? Side::kPositive : Side::kNegative;
}

// Finds a value in [lo, hi] where `side` gives kOn, knowing that it gives
// kPositive at `lo` and kNegative at `hi` and changes once between them.
std::optional<double> bisect(double lo, double hi, Side (*side)(double, void*), void* context) {
    for (int i = 0; i < kMaxBisections; ++i) {
        const double mid = lo + (hi - lo) / 2;
        if (mid == lo || mid == hi) break;
        switch (side(mid, context)) {
            case Side::kOn: return mid;
            case Side::kPositive: lo = mid; break;
            case Side::kNegative: hi = mid; break;
        }
    }
    return std::nullopt;
}

}  // namespace q7view
