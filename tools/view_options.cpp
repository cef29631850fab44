#include "tools/view_options.h"

#include <charconv>
#include <cmath>
#include <sstream>

namespace q7view {

namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) out.push_back(trim(part));
    if (!s.empty() && s.back() == sep) out.push_back("");
    return out;
}

std::optional<int> parse_int(const std::string& text) {
    const std::string t = trim(text);
    int v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    return v;
}

// "X,Y" in gauge pixels.
std::optional<Action> parse_click(const std::string& text) {
    const auto parts = split(text, ',');
    if (parts.size() != 2) return std::nullopt;
    const auto x = parse_int(parts[0]), y = parse_int(parts[1]);
    if (!x || !y || std::abs(*x) > 100000 || std::abs(*y) > 100000) return std::nullopt;
    Action a;
    a.kind = Action::kClick;
    a.x = *x;
    a.y = *y;
    return a;
}

std::string format_number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

}  // namespace

Aircraft default_aircraft() {
    // SFINT's stored coordinates: latitude 4180639 metres north (111130.5... m
    // per degree), longitude -1459976701 where 2^32 is a full turn.
    return {4180639.0 / 111130.55555555556, -1459976701.0 * 360.0 / 4294967296.0, 330.0};
}

std::optional<double> parse_number(const std::string& text) {
    const std::string t = trim(text);
    double v = 0.0;
    const char* begin = t.data();
    if (!t.empty() && t[0] == '+') ++begin;
    const auto [end, ec] = std::from_chars(begin, t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

std::string check_latitude(double degrees) {
    if (degrees < -90.0 || degrees > 90.0) {
        return "latitude " + format_number(degrees) + " is outside -90..90";
    }
    return {};
}

std::string check_longitude(double degrees) {
    if (degrees < -180.0 || degrees > 180.0) {
        return "longitude " + format_number(degrees) + " is outside -180..180";
    }
    return {};
}

std::string usage() {
    return R"(usage: quorlan7-view [options]
Shows the quorlan7 gauge as a panel host draws it.

Scene (default: the aircraft on SFINT, heading 330, GGATE selected):
  --lat DEG --lon DEG   aircraft position in degrees (north, east positive)
  --heading DEG         aircraft heading in degrees
  --at IDENT            select waypoint IDENT and put the aircraft on it
  --next N, --prev N    press the right or left arrow button N times
  --click X,Y           click at gauge pixel X,Y (repeatable; in order)
  --module PATH         another build of quorlan7.gau
Output:
  --png FILE            write the gauge picture (default preview.png when
                        neither --json nor --route is given)
  --scale K             enlarge K times, nearest neighbour (default 4)
  --json                print one JSON object (JSON lines with --route)
  --route FILE          draw one frame per CSV line "lat,lon,heading"; lines
                        "next [N]", "prev [N]" and "click X,Y" press buttons
                        between frames
  --out DIR             folder for the route's frames and contact sheet
                        (default: the route file's name plus -frames)
  --window              open a window: click the arrows, Left/Right turn,
                        Up/Down move, +/- change speed, n/p step, q quits
  --help                show this text
  --version             print the version
Exit status: 0 done, 1 the module misbehaved or no display, 2 bad input.
)";
}

std::optional<Options> parse_arguments(const std::vector<std::string>& args, std::string& error) {
    Options o;
    auto fail = [&](std::string why) -> std::optional<Options> {
        error = std::move(why);
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool has_value = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        auto take = [&]() -> std::optional<std::string> {
            if (has_value) return value;
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        auto take_number = [&](double& out) -> std::string {
            const auto v = take();
            if (!v) return name + " needs a value";
            const auto n = parse_number(*v);
            if (!n) return name + ": '" + *v + "' is not a number";
            out = *n;
            return {};
        };
        auto take_count = [&](int& out) -> std::string {
            const auto v = take();
            if (!v) return name + " needs a value";
            const auto n = parse_int(*v);
            if (!n || *n < 0 || *n > 100000) return name + ": '" + *v + "' is not a count from 0 to 100000";
            out = *n;
            return {};
        };
        std::string why;
        const bool flag = name == "--json" || name == "--window" || name == "--help" || name == "-h";
        if (flag && has_value) return fail(name + " takes no value");

        if (name == "--lat" || name == "--lon" || name == "--heading") {
            double v = 0;
            if (!(why = take_number(v)).empty()) return fail(why);
            if (name == "--lat") {
                if (!(why = check_latitude(v)).empty()) return fail("--lat: " + why);
                o.latitude = v;
            } else if (name == "--lon") {
                if (!(why = check_longitude(v)).empty()) return fail("--lon: " + why);
                o.longitude = v;
            } else {
                o.heading = v;
            }
        } else if (name == "--at") {
            const auto v = take();
            if (!v || trim(*v).empty()) return fail("--at needs a waypoint identifier");
            o.at = trim(*v);
        } else if (name == "--next" || name == "--prev") {
            Action a;
            a.kind = name == "--next" ? Action::kNext : Action::kPrevious;
            if (!(why = take_count(a.count)).empty()) return fail(why);
            o.actions.push_back(a);
        } else if (name == "--click") {
            const auto v = take();
            if (!v) return fail("--click needs a point X,Y");
            const auto a = parse_click(*v);
            if (!a) return fail("--click: '" + *v + "' is not a point X,Y in whole pixels");
            o.actions.push_back(*a);
        } else if (name == "--module" || name == "--png" || name == "--route" || name == "--out") {
            const auto v = take();
            if (!v || v->empty()) return fail(name + " needs a file name");
            if (name == "--module") o.module = *v;
            else if (name == "--png") o.png = *v;
            else if (name == "--route") o.route = *v;
            else o.out = *v;
        } else if (name == "--scale") {
            const auto v = take();
            if (!v) return fail("--scale needs a value");
            const auto n = parse_int(*v);
            if (!n || *n < 1 || *n > 32) return fail("--scale: '" + *v + "' is not a whole number from 1 to 32");
            o.scale = *n;
        } else if (name == "--json") {
            o.json = true;
        } else if (name == "--window") {
            o.window = true;
        } else if (name == "--help" || name == "-h") {
            o.help = true;
        } else {
            return fail(name.rfind("-", 0) == 0 ? "unknown option " + name
                                                : "unexpected argument '" + name + "'");
        }
    }

    if (o.latitude.has_value() != o.longitude.has_value()) {
        return fail("--lat and --lon go together");
    }
    if (o.at && o.latitude) return fail("--at and --lat/--lon cannot be combined");
    if (o.route) {
        if (o.latitude || o.at) return fail("--route takes its positions from the file; drop --lat/--lon/--at");
        if (o.heading) return fail("--route takes its headings from the file; drop --heading");
        if (o.window) return fail("--route and --window cannot be combined");
    } else if (o.out) {
        return fail("--out is for the frames of --route");
    }
    if (o.window && (o.json || o.png)) return fail("--window cannot be combined with --json or --png");
    return o;
}

std::optional<std::vector<RouteStep>> parse_route(std::istream& in, const std::string& name,
                                                  std::string& error) {
    std::vector<RouteStep> steps;
    std::string raw;
    int number = 0;
    bool seen_content = false;
    bool any_position = false;
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const std::string where = name + ":" + std::to_string(number) + ": ";
        const bool first = !seen_content;
        seen_content = true;

        RouteStep step;
        step.line = number;
        std::istringstream words(line);
        std::string word;
        words >> word;
        const std::string keyword = lower(word);
        if (keyword == "next" || keyword == "prev") {
            step.kind = RouteStep::kPress;
            step.action.kind = keyword == "next" ? Action::kNext : Action::kPrevious;
            std::string count, extra;
            if (words >> count) {
                const auto n = parse_int(count);
                if (!n || *n < 0 || *n > 100000 || (words >> extra)) {
                    error = where + "'" + line + "': expected " + keyword + " or " + keyword + " N";
                    return std::nullopt;
                }
                step.action.count = *n;
            }
            steps.push_back(step);
            continue;
        }
        if (keyword == "click") {
            std::string rest;
            std::getline(words, rest);
            const auto a = parse_click(rest);
            if (!a) {
                error = where + "'" + line + "': expected click X,Y in whole pixels";
                return std::nullopt;
            }
            step.kind = RouteStep::kPress;
            step.action = *a;
            steps.push_back(step);
            continue;
        }
        const auto fields = split(line, ',');
        if (first && fields.size() == 3 && !parse_number(fields[0]) &&
            (lower(fields[0]) == "lat" || lower(fields[0]) == "latitude")) {
            continue;  // column names
        }
        std::optional<double> lat, lon, heading;
        if (fields.size() == 3) {
            lat = parse_number(fields[0]);
            lon = parse_number(fields[1]);
            heading = parse_number(fields[2]);
        }
        if (!lat || !lon || !heading) {
            error = where + "malformed line '" + line +
                    "': expected latitude,longitude,heading, next [N], prev [N] or click X,Y";
            return std::nullopt;
        }
        if (const std::string why = check_latitude(*lat); !why.empty()) {
            error = where + why;
            return std::nullopt;
        }
        if (const std::string why = check_longitude(*lon); !why.empty()) {
            error = where + why;
            return std::nullopt;
        }
        step.aircraft = {*lat, *lon, *heading};
        any_position = true;
        steps.push_back(step);
    }
    if (in.bad()) {
        error = name + ": read error";
        return std::nullopt;
    }
    if (!any_position) {
        error = name + ": no position lines (latitude,longitude,heading)";
        return std::nullopt;
    }
    return steps;
}

}  // namespace q7view
