// The viewer's command line: parsed and checked completely before anything is
// loaded, drawn or written; and the values it shares with route files.
#pragma once

#include <cstdint>
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

// Any picture the viewer makes, enlarged, is at most this big: PNG readers
// open it, and it stays under 200 MiB in memory.
inline constexpr int kMaxPictureSide = 16384;
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 26;

// Empty when a `width` x `height` picture enlarged `scale` times fits those
// limits; otherwise one line saying why not.
std::string check_picture_size(int width, int height, int scale);

// How many presses of the buttons some actions make.
long presses_of(const std::vector<Action>& actions);

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
std::optional<Options> parse_arguments(std::vector<std::string> args, std::string& error);

std::string usage();

// Values the command line and route files both read; the checks return an
// empty string when the value is acceptable.
std::string trim(const std::string& s);
std::optional<double> parse_number(const std::string& text);
std::optional<int> parse_count(const std::string& text);     // 0..100000
std::optional<Action> parse_click(const std::string& text);  // "X,Y" in whole pixels
std::string check_latitude(double degrees);
std::string check_longitude(double degrees);

}  // namespace q7view
