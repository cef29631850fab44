#include "nav/navigation.h"

#include "nav/waypoints.h"

// Sine and cosine are the system C library's (msvcrt), imported directly: the
// module links no static copy of a maths library.
extern "C" {
__declspec(dllimport) double __cdecl cos(double);
__declspec(dllimport) double __cdecl sin(double);
}

constinit ModuleVar lat_var = {.id = kVarLatitude};
constinit ModuleVar lon_var = {.id = kVarLongitude};
constinit ModuleVar heading_var = {.id = kVarHeading};

namespace {

// Each constant is used with exactly this value and width.
constexpr double kSecondsPerMinute = 60.0;
constexpr float kMinutesPerDegreeF = 60.0f;
constexpr double kMetresPerArcSecond = 30.8695987654321;
constexpr double kLongitudeDivisor1 = 0.6;
constexpr double kLongitudeDivisor2 = 3314.01797712418;
constexpr double kLongitude48To32 = 65536.0;
constexpr double kDegToRad = 0.01745329252;
constexpr float DEG_TO_RAD_F = 0.01745329238474369049072265625f;
constexpr float kFullTurnHundredths = 2160000.0f;
constexpr float kHundredthsPerMinute = 100.0f;
constexpr float kHalfTurnMinutes = 10800.0f;
constexpr float kFullTurnMinutes = 21600.0f;
constexpr float kCosineMeanDivisor = 2.0f;
constexpr double POINTER_RADIUS = 24.5;

static_assert(static_cast<double>(DEG_TO_RAD_F) == 0.01745329238474369049072265625);

// A quantity rounded to a 32-bit float the moment it is computed; everything
// else stays at 64 bits (the build uses SSE2, so no wider intermediate exists).
inline float r32(double x) {
    return static_cast<float>(x);
}

struct DotOffset {
    double x;
    double y;
};

DotOffset bearing_dot_offset() {
    const float index = r32(selection_index());

    call_host_service<kServiceVarRefresh>(&lat_var);
    call_host_service<kServiceVarRefresh>(&lon_var);
    call_host_service<kServiceVarRefresh>(&heading_var);

    const int row = selected_row(index);
    const WaypointOffset w = compute_waypoint_offset(row, lat_var.value, lon_var.value);

    const float s = r32(w.distance / POINTER_RADIUS);
    const double h = static_cast<double>(DEG_TO_RAD_F) * heading_var.value;
    const double cos_h = cos(h);
    const double sin_h = sin(h);
    const double n = w.north;
    const double e = w.east;
    return {(e * cos_h - n * sin_h) / s, (n * cos_h + e * sin_h) / s};
}

// On the waypoint itself the quotient is 0/0, and a non-finite host value makes
// it NaN or infinite: the dot then stays at its rest position instead of being
// handed to the host as a NaN coordinate.
double finite_or_rest(double offset) {
    return __builtin_isfinite(offset) ? offset : 0.0;
}

}  // namespace

WaypointOffset compute_waypoint_offset(int row, double aircraft_latitude,
                                       double aircraft_longitude) {
    const float wlat = static_cast<float>(waypoint_coords[row].latitude);
    const float wlon = static_cast<float>(waypoint_coords[row].longitude);

    const float nw = r32(wlat / kSecondsPerMinute / kMetresPerArcSecond);
    const float na = r32(aircraft_latitude / kSecondsPerMinute / kMetresPerArcSecond);
    float uw = r32(wlon / kLongitudeDivisor1 / kLongitudeDivisor2);
    const float ua =
        r32(aircraft_longitude / kLongitude48To32 / kLongitudeDivisor1 / kLongitudeDivisor2);
    const float cw = r32(cos(nw / static_cast<double>(kMinutesPerDegreeF) * kDegToRad));
    if (uw < 0.0f) uw = r32(static_cast<double>(uw) + kFullTurnHundredths);
    const float mw = r32(uw / static_cast<double>(kHundredthsPerMinute));
    const float ca = r32(cos(na / static_cast<double>(kMinutesPerDegreeF) * kDegToRad));
    const float ma = r32(ua / static_cast<double>(kHundredthsPerMinute));
    const float n = r32(static_cast<double>(nw) - na);
    float d = r32(static_cast<double>(mw) - ma);
    // Decided before the wrap below changes d.
    const bool flip = mw > kHalfTurnMinutes && d > kHalfTurnMinutes;
    if (d < -kHalfTurnMinutes) d = r32(static_cast<double>(kFullTurnMinutes) + d);
    if (d > kHalfTurnMinutes) d = r32(static_cast<double>(kFullTurnMinutes) - d);
    float e = r32((static_cast<double>(cw) + ca) / kCosineMeanDivisor * d);
    if (flip) e = -e;
    const double nn = static_cast<double>(n) * n;
    const double ee = static_cast<double>(e) * e;
    return {.north = n, .east = e, .distance = __builtin_sqrt(nn + ee)};
}

double Q7_STDCALL bearing_dot_x(std::uint32_t) {
    return finite_or_rest(bearing_dot_offset().x);
}

double Q7_STDCALL bearing_dot_y(std::uint32_t) {
    return finite_or_rest(bearing_dot_offset().y);
}
