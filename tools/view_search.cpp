// --at: finds a waypoint the way a pilot would, through the buttons and the
// dot alone, since the module's waypoint table is its own and not exported.
#include "tools/view_session.h"

#include <cctype>
#include <cmath>

namespace q7view {

namespace {

constexpr int kMaxSelections = 1000;  // more waypoints than any gauge list holds
constexpr int kMaxBisections = 200;

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
enum class Side { kOn, kPositive, kNegative };

Side side_of(double coordinate, double other) {
    if (!std::isfinite(coordinate) || !std::isfinite(other)) return Side::kOn;
    if (std::hypot(coordinate, other) < 1.0) return Side::kOn;
    if (coordinate == 0.0) return Side::kOn;
    return coordinate > 0 ? Side::kPositive : Side::kNegative;
}

// Finds a value in [lo, hi] where `side` gives kOn, knowing that it gives
// kPositive at `lo` and kNegative at `hi` and changes once between them.
template <typename F>
std::optional<double> bisect(double lo, double hi, F side) {
    for (int i = 0; i < kMaxBisections; ++i) {
        const double mid = lo + (hi - lo) / 2;
        if (mid == lo || mid == hi) break;
        switch (side(mid)) {
            case Side::kOn: return mid;
            case Side::kPositive: lo = mid; break;
            case Side::kNegative: hi = mid; break;
        }
    }
    return std::nullopt;
}

std::string current_ident(q7host::GaugeHost& host) { return trimmed(host.frame().ident.text); }

// Dot callback values with the aircraft at a position, heading north.
std::pair<double, double> probe(q7host::GaugeHost& host, double latitude, double longitude) {
    const auto dot = host.instrument().dot;
    host.set_aircraft(latitude, longitude, 0.0);
    const double x = host.call_pointer("x_callback", dot.x_callback(), dot.address());
    const double y = host.call_pointer("y_callback", dot.y_callback(), dot.address());
    return {x, y};
}

}  // namespace

// The viewer steps the selection with the right arrow until the identifier
// box shows the name, then flies onto the waypoint using nothing but the
// dot, which always points at the selected waypoint. With the heading north
// the dot's y has the sign of the waypoint's north offset, so bisecting the
// latitude between the poles finds the latitude at which that offset is
// exactly zero (the module rounds offsets to 32-bit floats, so such a band
// exists around the stored latitude); the dot's x then does the same for the
// longitude within half a turn east or west of the start. The result sits on
// the stored coordinates as the module rounds them: the distance reads 0.
bool sit_on(Session& session, const std::string& ident, std::string& error) {
    q7host::GaugeHost& host = session.host();
    if (const auto parts = host.instrument(); !parts.dot || !parts.ident) {
        error = "the gauge has no dot or identifier box to find a waypoint with";
        return false;
    }
    std::string wanted = ident;
    for (auto& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string first = current_ident(host);
    std::vector<std::string> seen{first};
    while (current_ident(host) != wanted) {
        if (!session.press({Action::kNext, 1, 0, 0}, error)) return false;
        const std::string now = current_ident(host);
        if (now == first || static_cast<int>(seen.size()) >= kMaxSelections) {
            std::string list;
            for (const auto& s : seen) list += (list.empty() ? "" : " ") + s;
            error = "--at: no waypoint " + ident + " in this gauge (it has " + list + ")";
            return false;
        }
        seen.push_back(now);
    }
    session.forget_clicks();

    const Aircraft start = session.aircraft();
    const double lon0 = wrap_longitude(start.longitude);
    auto lat_side = [&](double lat) {
        const auto [x, y] = probe(host, lat, lon0);
        return side_of(y, x);
    };
    std::optional<double> lat;
    if (lat_side(-90.0) == Side::kPositive && lat_side(90.0) == Side::kNegative) lat = bisect(-90.0, 90.0, lat_side);
    std::optional<double> lon;
    if (lat) {
        const auto [x0, y0] = probe(host, *lat, lon0);
        const Side s0 = side_of(x0, y0);
        if (s0 == Side::kOn) {
            lon = lon0;
        } else {
            // Walking west, "waypoint still west" is the side to keep going.
            const double sign = s0 == Side::kPositive ? 1.0 : -1.0;
            auto side = [&](double t) {
                const auto [x, y] = probe(host, *lat, wrap_longitude(lon0 + sign * t));
                const Side s = side_of(x, y);
                if (sign < 0 && s != Side::kOn) return s == Side::kPositive ? Side::kNegative : Side::kPositive;
                return s;
            };
            const double far = 179.999;
            if (side(far) == Side::kNegative) {
                if (auto t = bisect(0.0, far, side)) lon = wrap_longitude(lon0 + sign * *t);
            }
        }
    }
    session.place(lat && lon ? Aircraft{*lat, *lon, start.heading} : start);
    if (!lat || !lon || trimmed(session.frame().readout.distance.text) != "0") {
        session.place(start);
        error = "--at: could not put the aircraft on " + wanted + " by its dot";
        return false;
    }
    return true;
}

}  // namespace q7view
