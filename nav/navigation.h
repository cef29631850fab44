// The conversion of host positions into the waypoint's offset and distance, and
// the two pointer callbacks that place the bearing dot.
#pragma once

#include "module/host_services.h"

struct WaypointOffset {
    float north;      // nautical miles, positive when the waypoint lies north
    float east;       // nautical miles, positive when the waypoint lies east
    double distance;  // nautical miles
};

// `aircraft_latitude` in host metres, `aircraft_longitude` on the host's scale of
// 2^48 per turn, taken with the sign the host gives it.
WaypointOffset compute_waypoint_offset(int row, double aircraft_latitude,
                                       double aircraft_longitude);

// The stand-alone variables that the pointer callbacks ask the host to refresh.
extern ModuleVar lat_var;
extern ModuleVar lon_var;
extern ModuleVar heading_var;

inline constexpr std::uint32_t kVarLatitude = 0x47;
inline constexpr std::uint32_t kVarLongitude = 0x48;
inline constexpr std::uint32_t kVarHeading = 0x56;

// The dot's offsets from its rest position, in pixels; y is positive upwards.
// The host's 32-bit argument is not used.
double Q7_STDCALL bearing_dot_x(std::uint32_t);
double Q7_STDCALL bearing_dot_y(std::uint32_t);
