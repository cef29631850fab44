// The sweep's hostile values and the families they fall in.
#include "tools/sweep_values.h"

#include "model/reference_nav.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace q7sweep {

namespace {

double from_bits(std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

}  // namespace

const char* family_name(Family f) {
    static const char* const names[kFamilyCount] = {
        "NaN",        "infinity",   "magnitude >= 1e300", "denormal",         "zero", "beyond the poles",
        "turns west", "turns east", "heading >= 1e9",     "selection no row",
    };
    return names[static_cast<std::size_t>(f)];
}

double HostileValues::special() {
    const double sign = chance(0.5) ? -1.0 : 1.0;
    const std::uint64_t sign_bit = sign < 0 ? 0x8000000000000000ull : 0;
    switch (below(16)) {
        case 0: return sign * std::numeric_limits<double>::quiet_NaN();
        case 1:  // signalling NaN with a payload
            return from_bits(sign_bit | 0x7FF0000000000000ull | ((bits() & 0x0007FFFFFFFFFFFFull) | 1));
        case 2:  // any NaN
            return from_bits(sign_bit | 0x7FF0000000000000ull | ((bits() & 0x000FFFFFFFFFFFFFull) | 1));
        case 3: return sign * std::numeric_limits<double>::infinity();
        case 4: return sign * 1e308;
        case 5: return sign * std::numeric_limits<double>::max();
        case 6: return sign * std::numeric_limits<double>::min();
        case 7: return sign * std::numeric_limits<double>::denorm_min();
        case 8: return from_bits(sign_bit | ((bits() & 0x000FFFFFFFFFFFFFull) | 1));  // denormal
        case 9: return sign * 0.0;
        case 10: return from_bits(bits());
        case 11: return sign * std::pow(10.0, uniform(20, 308));
        case 12: return sign * std::pow(10.0, uniform(-323, -20));
        case 13: return sign * std::ldexp(uniform(1, 2), 120 + below(20));  // around float overflow
        case 14: return sign * std::ldexp(1.0, below(1024));
        default: return static_cast<double>(static_cast<std::int64_t>(bits()));
    }
}

double HostileValues::latitude(int row, bool hostile) {
    const double metres_per_degree = q7ref::kMetresPerDegreeLat;
    if (!hostile) {
        const std::int32_t raw = q7ref::kWaypoints[row].latitude;
        if (chance(0.05)) return raw;  // on the waypoint's own latitude
        if (chance(0.05)) return raw + uniform(-50, 50);
        return (q7ref::waypoint_lat_degrees(row) + uniform(-1.5, 1.5)) * metres_per_degree;
    }
    const double sign = chance(0.5) ? -1.0 : 1.0;
    const int pick = below(5);
    if (pick < 2) return special();
    // Beyond the poles, a hair to a million degrees; or a notable latitude.
    if (pick < 4) return sign * (90.0 + std::pow(10.0, uniform(-9, 6))) * metres_per_degree;
    const double notable[] = {90, 180, 270, 360, 142, 1e4};
    return sign * notable[below(6)] * metres_per_degree;
}

double HostileValues::longitude(int row, bool hostile) {
    const double per_degree = q7ref::kTurn48 / 360.0;
    const double ordinary = (q7ref::waypoint_lon_degrees(row) + uniform(-1.5, 1.5)) * per_degree;
    if (!hostile) {
        // On the waypoint's own longitude, within some fifty metres of it or
        // near it; now and then the same place as a positive angle.
        const double raw = q7ref::kWaypoints[row].longitude * q7ref::kTurn48PerTurn32;
        double lon = chance(0.05) ? raw : chance(0.05) ? raw + uniform(-4e8, 4e8) : ordinary;
        if (chance(0.3)) lon += q7ref::kTurn48;
        return lon;
    }
    const double sign = chance(0.5) ? -1.0 : 1.0;
    const int pick = below(10);
    if (pick < 4) return special();
    // Many turns away, either way round.
    if (pick < 9) return ordinary + sign * std::floor(std::pow(10.0, uniform(0, 7))) * q7ref::kTurn48;
    return sign * std::pow(10.0, uniform(16, 30));
}

double HostileValues::heading(bool hostile) {
    if (!hostile) return chance(0.8) ? uniform(0, 360) : uniform(-720, 720);
    const double sign = chance(0.5) ? -1.0 : 1.0;
    const int pick = below(5);
    if (pick < 2) return special();
    if (pick == 2) return sign * 1e9;
    return pick == 3 ? sign * std::pow(10.0, uniform(3, 15)) : sign * uniform(360, 1e6);
}

double HostileValues::selection_garbage() {
    const int r = below(q7ref::kRows);
    const double sign = chance(0.5) ? -1.0 : 1.0;
    const int pick = below(10);
    if (pick < 3) return special();
    switch (pick) {
        case 3:  // a hair off a row: its single-precision form may still match it
            return r + sign * std::ldexp(1.0, -20 - below(33));
        case 4: return r + sign * 0.5;
        case 5: {
            const double outside[] = {20.0, -1.0, 21.0, -2.0, 1e6, -1e6, 40.0, 2147483648.0};
            return outside[below(8)];
        }
        case 6: return chance(0.5) ? -0.0 : -static_cast<double>(r);
        case 7: return from_bits(bits());
        case 8:
            return static_cast<double>(
                std::nextafter(static_cast<float>(r), sign * std::numeric_limits<float>::infinity()));
        default: return r * 65536.0 + 0.25;
    }
}

void count_families(double latitude, double longitude, double heading, double selection, FamilyCounts& counts) {
    auto seen = [&](Family f) { ++counts[static_cast<std::size_t>(f)]; };
    for (double v : {latitude, longitude, heading}) {
        if (std::isnan(v)) seen(Family::NaN);
        if (std::isinf(v)) seen(Family::Infinity);
        if (std::isfinite(v) && std::fabs(v) >= 1e300) seen(Family::Huge);
        if (std::fpclassify(v) == FP_SUBNORMAL) seen(Family::Denormal);
        if (v == 0.0) seen(Family::Zero);
    }
    if (std::isfinite(latitude) && std::fabs(latitude) > q7ref::latitude_from_degrees(90.0)) seen(Family::BeyondPoles);
    if (longitude <= -2.0 * q7ref::kTurn48) seen(Family::TurnsWest);
    if (longitude >= 2.0 * q7ref::kTurn48) seen(Family::TurnsEast);
    if (std::isfinite(heading) && std::fabs(heading) >= 1e9) seen(Family::WildHeading);
    if (q7ref::row_for_text(selection) == 0 && selection != 0.0) seen(Family::NoRow);
}

}  // namespace q7sweep
