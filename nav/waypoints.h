// The twenty built-in waypoints and the selection index that picks one of them.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kWaypointCount = 20;

struct WaypointCoords {
    std::int32_t latitude;   // metres north of the equator, 30.8695987654321 m per arc-second
    std::int32_t longitude;  // binary angle: 2^32 is one turn, negative west
};
static_assert(sizeof(WaypointCoords) == 8);
static_assert(offsetof(WaypointCoords, latitude) == 0);
static_assert(offsetof(WaypointCoords, longitude) == 4);

// Identifiers and coordinates are two constant arrays indexed by the same row.
extern const char waypoint_idents[kWaypointCount][6];
extern const WaypointCoords waypoint_coords[kWaypointCount];

// The selection index: a double holding one of 0.0 .. 19.0. It lives in the
// value field of the identifier box's first source slot.
double& selection_index();

void select_next_waypoint();
void select_previous_waypoint();

// The row whose number equals `index` exactly; an index that matches no row
// (only a misbehaving host could leave one) selects row 0, so no consumer ever
// reads outside the table.
int selected_row(double index);
