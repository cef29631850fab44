// The host's position units and their conversion from degrees: latitude in
// metres north of the equator at 30.8695987654321 m per arc-second, aircraft
// longitude on a scale of 2^48 per turn, waypoint longitude 2^32 per turn.
#pragma once

namespace q7ref {

inline constexpr double kMetresPerArcSecond = 30.8695987654321;
inline constexpr double kMetresPerNm = 60.0 * kMetresPerArcSecond;
inline constexpr double kMetresPerDegreeLat = 3600.0 * kMetresPerArcSecond;
inline constexpr double kTurn48 = 281474976710656.0;  // aircraft longitude, one turn
inline constexpr double kTurn32 = 4294967296.0;       // waypoint longitude, one turn
inline constexpr double kTurn48PerTurn32 = kTurn48 / kTurn32;

inline constexpr double latitude_from_degrees(double degrees) { return degrees * kMetresPerDegreeLat; }
inline constexpr double longitude_from_degrees(double degrees) { return degrees / 360.0 * kTurn48; }

}  // namespace q7ref
