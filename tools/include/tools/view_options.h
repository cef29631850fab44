// The viewer's command line and route files: parsed and checked completely
// before anything is loaded, drawn or written.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace q7view {

// Aircraft position in degrees (north and east positive) and heading in degrees.
struct Aircraft {
    double latitude = 0.0;
    double longitude = 0.0;
    double heading = 0.0;
};

// The scene the viewer shows when it is given no position: the aircraft on
// SFINT's stored coordinates, heading 330, the first waypoint (GGATE) selected.
Aircraft default_aircraft();

// A press of the gauge's buttons: the next or previous one `count` times, or a
// click at a gauge pixel.
struct Action {
    enum Kind { kNext, kPrevious, kClick } kind = kClick;
    int count = 1;
    int x = 0, y = 0;
};

// Limits that keep one run short: button presses in all (the command line's
// and a route's together), a route file's size and its frames.
inline constexpr long kMaxPresses = 100000;
inline constexpr long kMaxRouteBytes = 1 << 20;
inline constexpr int kMaxRouteFrames = 10000;

// How many presses of the buttons an action makes.
inline long presses_of(const Action& a) { return a.kind == Action::kClick ? 1 : a.count; }

struct Options {
    std::optional<double> latitude, longitude, heading;
    std::optional<std::string> at;  // sit on this waypoint
    std::vector<Action> actions;    // in command-line order
    std::string module;             // empty: the module beside the viewer
    std::optional<std::string> png;
    int scale = 4;
    bool json = false;
    std::optional<std::string> route;
    std::optional<std::string> out;  // folder of route frames
    bool window = false;
    bool help = false;
};

// Parses the arguments after the program name. On bad input returns nothing
// and sets `error` to one line naming the problem.
std::optional<Options> parse_arguments(const std::vector<std::string>& args, std::string& error);

std::string usage();

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
std::optional<std::vector<RouteStep>> parse_route(std::istream& in, const std::string& name,
                                                  std::string& error);

// Checks used by both the command line and route files; each returns an
// empty string when the value is acceptable.
std::string check_latitude(double degrees);
std::string check_longitude(double degrees);
std::optional<double> parse_number(const std::string& text);

}  // namespace q7view
