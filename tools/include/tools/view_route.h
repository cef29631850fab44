// --route: a file of positions and button presses, read and checked
// completely before anything is loaded or drawn, then drawn frame by frame
// into a folder with a contact sheet.
#pragma once

#include "tools/view_options.h"

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace q7view {

// One line of a route file: a position to draw, or a button press made
// before the next position is drawn.
struct RouteStep {
    enum Kind { kPosition, kPress } kind = kPosition;
    Aircraft aircraft;
    Action action;
    int line = 0;
};

// Lines: "latitude,longitude,heading" in degrees; "next [N]", "prev [N]" or
// "click X,Y" for presses; blank lines and lines starting with '#' are
// skipped, and so is a first line of column names. `name` prefixes errors.
std::optional<std::vector<RouteStep>> parse_route(std::istream& in, const std::string& name, std::string& error);

// The whole run of --route; returns the exit status.
int run_route(const Options& o);

}  // namespace q7view
