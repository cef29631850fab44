// The three text readouts: identifier, waypoint number and distance. Each writes
// into its own box's text_buffer with one wsprintfA call.
#include "display/elements.h"
#include "nav/navigation.h"
#include "nav/waypoints.h"

#include <windows.h>

#include <cmath>

double Q7_STDCALL ident_text_callback(double) {
    const double index = selection_index();
    const int row = selected_row(index);
    if (char* buffer = ident_box.text_buffer) {
        // The identifier is its own format text; the table is checked at compile
        // time to hold no "%".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
        wsprintfA(buffer, waypoint_idents[row]);
#pragma GCC diagnostic pop
    }
    return index;
}

double Q7_STDCALL number_text_callback(double) {
    const double shown = selection_index() + 1.0;
    // For every index the stepping operations produce this is the index plus one,
    // truncated; an index that matches no row shows row 0, so the text never
    // outgrows the box's two characters.
    const int number = selected_row(selection_index()) + 1;
    if (char* buffer = number_box.text_buffer) wsprintfA(buffer, "%2d", number);
    return shown;
}

double Q7_STDCALL distance_text_callback(double) {
    const double index = selection_index();
    const int row = selected_row(index);
    const WaypointOffset w = compute_waypoint_offset(row, distance_box.source_vars[0].value,
                                                     distance_box.source_vars[1].value);
    const float d = static_cast<float>(w.distance);
    if (char* buffer = distance_box.text_buffer) {
        if (!(d < 100000.0f)) {
            // Too far to show in five characters, or not a number at all (a host
            // value far outside the waypoints' region, an aircraft longitude many
            // turns away, a NaN): the avionics sign for an invalid value.
            wsprintfA(buffer, "-----");
        } else {
            const int n = static_cast<int>(d);
            if (d >= 1000.0f) {
                wsprintfA(buffer, "%5d", n);
            } else if (d >= 10.0f) {
                wsprintfA(buffer, "%4d", n);
            } else {
                wsprintfA(buffer, "%3d", n);
            }
        }
    }
    return index;
}
