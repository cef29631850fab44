// An independent model of what the gauge shows, written from the navigation
// formulas and the readout rules rather than from the module's sources: the
// waypoint table, the row a selection index picks, the north/east offset and
// distance with every single-precision rounding point, the bearing dot's two
// offsets (the three texts follow from these in model/readouts.h). Built natively on x86-64 with SSE arithmetic it
// rounds exactly as the module's SSE2 code does, and it calls the same C
// library sine and cosine that the reference host hands the module.
//
// Shared by the cross-check test, the hostile-value sweep and the benchmark's
// native floor; it depends on nothing of the host.
#pragma once

#include "model/units.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace q7ref {

struct Waypoint {
    const char* ident;
    std::int32_t latitude;   // metres north of the equator
    std::int32_t longitude;  // binary angle, 2^32 per turn, negative west
};

inline constexpr int kRows = 20;
inline constexpr Waypoint kWaypoints[kRows] = {
    {"GGATE", 4202735, -1461193608}, {"NIMIT", 4194493, -1462802233}, {"SFINT", 4180639, -1459976701},
    {"HMOON", 4168989, -1461495847}, {"MOFFT", 4157913, -1456123161}, {"HAYWD", 4185140, -1456994085},
    {"LIVMR", 4189029, -1453311548}, {"BUCHN", 4221720, -1456174860}, {"ALAME", 4199105, -1459294676},
    {"OAKIN", 4190956, -1458071803}, {"FARAL", 4191752, -1467471021}, {"HAMIL", 4229629, -1461587314},
    {"SONOM", 4280045, -1465263885}, {"SJOSE", 4151912, -1454657702}, {"WATSN", 4105052, -1452985449},
    {"MONTE", 4065711, -1453538227}, {"SACRA", 4280471, -1449458008}, {"STOCK", 4210329, -1446268597},
    {"MODES", 4180843, -1442914148}, {"MERCD", 4142836, -1437710477},
};

inline constexpr double kRadius = 24.5;         // pixels
inline constexpr int kRestX = 29, kRestY = 29;  // the dot's rest position

inline double waypoint_lat_degrees(int row) { return kWaypoints[row].latitude / (3600.0 * kMetresPerArcSecond); }
inline double waypoint_lon_degrees(int row) { return kWaypoints[row].longitude * 360.0 / kTurn32; }

// The three numbers the navigation computation produces.
struct Offset {
    float north;      // nautical miles
    float east;       // nautical miles
    double distance;  // nautical miles
};

// Rounds to single precision: every quantity the formulas mark as 32-bit goes
// through here the moment it is computed.
inline float single(double v) { return static_cast<float>(v); }

inline Offset offset_to(int row, double aircraft_lat, double aircraft_lon) {
    const Waypoint& w = kWaypoints[row];
    const float lat_w = static_cast<float>(w.latitude);   // exact: below 2^24
    const float lon_w = static_cast<float>(w.longitude);  // 24 significant bits

    // Latitudes in nautical miles, longitudes in hundredths of an arc-minute.
    const float nm_w = single(double{lat_w} / 60.0 / 30.8695987654321);
    const float nm_a = single(aircraft_lat / 60.0 / 30.8695987654321);
    float hundredths_w = single(double{lon_w} / 0.6 / 3314.01797712418);
    const float hundredths_a = single(aircraft_lon / 65536.0 / 0.6 / 3314.01797712418);

    const float cos_w = single(std::cos(double{nm_w} / 60.0 * 0.01745329252));
    if (hundredths_w < 0.0f) hundredths_w = single(double{hundredths_w} + 2160000.0);
    const float minutes_w = single(double{hundredths_w} / 100.0);
    const float cos_a = single(std::cos(double{nm_a} / 60.0 * 0.01745329252));
    const float minutes_a = single(double{hundredths_a} / 100.0);

    const float north = single(double{nm_w} - double{nm_a});
    float dlon = single(double{minutes_w} - double{minutes_a});
    const bool flip = minutes_w > 10800.0f && dlon > 10800.0f;
    if (dlon < -10800.0f) dlon = single(21600.0 + double{dlon});
    if (dlon > 10800.0f) dlon = single(21600.0 - double{dlon});
    float east = single((double{cos_w} + double{cos_a}) / 2.0 * double{dlon});
    if (flip) east = -east;

    const double n = north, e = east;
    return {north, east, std::sqrt(n * n + e * e)};
}

// The row a selection index picks. The pointer callbacks compare the index
// rounded to single precision, the readouts the double itself; row 0 matches
// numerically (so -0.0 picks it), rows 1 to 19 by bit pattern. An index that
// matches no row picks row 0.
inline int row_for_dot(double index) {
    const float f = static_cast<float>(index);
    int row = f == 0.0f ? 0 : -1;
    for (int r = 1; r < kRows; ++r) {
        const float fr = static_cast<float>(r);
        if (std::memcmp(&f, &fr, sizeof f) == 0) row = r;
    }
    return row < 0 ? 0 : row;
}

inline int row_for_text(double index) {
    int row = index == 0.0 ? 0 : -1;
    for (int r = 1; r < kRows; ++r) {
        const double dr = r;
        if (std::memcmp(&index, &dr, sizeof index) == 0) row = r;
    }
    return row < 0 ? 0 : row;
}

struct Dot {
    double x;  // pixels right of rest
    double y;  // pixels up from rest
};

// The bearing dot's offsets; 0.0 for any offset that comes out NaN or infinite
// (on the waypoint itself, or from a non-finite host value).
inline Dot dot_offsets(int row, double aircraft_lat, double aircraft_lon, double heading) {
    const Offset o = offset_to(row, aircraft_lat, aircraft_lon);
    const float scale = single(o.distance / kRadius);
    const double h = double{0.01745329238474369049072265625f} * heading;
    const double c = std::cos(h), s = std::sin(h);
    const double n = o.north, e = o.east;
    const double x = (e * c - n * s) / scale;
    const double y = (n * c + e * s) / scale;
    return {std::isfinite(x) ? x : 0.0, std::isfinite(y) ? y : 0.0};
}

}  // namespace q7ref
