// The instrument's three texts and its step buttons as rules: the distance readout in its three
// widths and its invalid form, the waypoint number, the identifier of the selected row, the index
// the step buttons leave; and the other way round, whether a text is a readout at all and what
// it names.
#pragma once

#include "model/reference_nav.h"

#include <cstdio>
#include <string>

namespace q7ref {

// The distance readout for a single-precision distance, into `buf` of `size`
// bytes (six hold any readout): the whole miles in three, four or five
// columns by the distance, "-----" from 100000 miles on and for a NaN.
inline void format_distance(float d, char* buf, std::size_t size) {
    if (!(d < 100000.0f)) {
        std::snprintf(buf, size, "-----");
        return;
    }
    std::snprintf(buf, size, d >= 1000.0f ? "%5d" : d >= 10.0f ? "%4d" : "%3d", static_cast<int>(d));
}

inline std::string distance_text_for(float d) {
    char buf[16];
    format_distance(d, buf, sizeof buf);
    return buf;
}

inline std::string distance_text(int row, double aircraft_lat, double aircraft_lon) {
    return distance_text_for(single(offset_to(row, aircraft_lat, aircraft_lon).distance));
}

// The waypoint number, 1 to 20, in two columns.
inline std::string number_text(double index) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%2d", row_for_text(index) + 1);
    return buf;
}

// Whether a distance lies so close to a change of format that a last-bit
// difference in it may legitimately pick the neighbouring format.
inline bool near_format_boundary(double distance) {
    for (double b : {10.0, 1000.0, 100000.0}) {
        if (std::fabs(distance - b) < 1e-4) return true;
    }
    return false;
}

// Whether `text` is what some distance shows: "-----", or a whole number of
// miles in the width that number is shown in.
inline bool is_distance_readout(const std::string& text) {
    if (text == "-----") return true;
    const std::size_t digits = text.find_first_not_of(' ');
    if (digits == std::string::npos || text.size() > 5) return false;
    long miles = 0;
    for (std::size_t k = digits; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        miles = miles * 10 + (text[k] - '0');
    }
    return distance_text_for(static_cast<float>(miles)) == text;
}

// The row whose identifier `text` is, or -1.
inline int row_of_ident(const std::string& text) {
    for (int r = 0; r < kRows; ++r) {
        if (text == kWaypoints[r].ident) return r;
    }
    return -1;
}

// The waypoint number `text` shows, or -1 where it shows none.
inline int number_shown(const std::string& text) {
    for (int r = 0; r < kRows; ++r) {
        if (text == number_text(r)) return r + 1;
    }
    return -1;
}

// The index the step buttons leave: one on or back, wrapping round at the
// ends of the table; any other value moves by one and stays off the table.
inline double stepped(double index, bool next) {
    const double v = next ? index + 1.0 : index - 1.0;
    if (next && v == kRows) return 0.0;
    if (!next && v == -1.0) return kRows - 1;
    return v;
}

}  // namespace q7ref
