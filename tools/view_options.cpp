#include "tools/view_options.h"

#include "model/reference_nav.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <sstream>

namespace q7view {

namespace {

std::optional<int> parse_int(const std::string& text) {
    const std::string t = trim(text);
    int v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    return v;
}

std::string format_number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// What an option's value is, in words, from the name its help gives it.
std::string value_words(const std::string& type) {
    if (type == "IDENT") return "a waypoint identifier";
    if (type == "X,Y") return "a point X,Y";
    if (type == "FILE" || type == "PATH" || type == "DIR") return "a file name";
    return "a value";
}

using Check = std::function<std::string(const std::string&)>;

// An option whose every value is checked when it is met and then stored, so
// that presses keep their order and the last position given counts. CLI11
// puts the option's name before a complaint: "--lat: 'north' is not a number".
CLI::Option* checked(CLI::App& app, const std::string& name, const std::string& type, const std::string& help,
                     Check check, std::function<void(const std::string&)> store) {
    return app.add_option_function<std::string>(name, std::move(store), help)
        ->type_name(type)
        ->check(CLI::Validator([check](std::string& v) { return check(v); }, ""))
        ->trigger_on_parse()
        ->allow_extra_args(false);
}

Check number_within(std::string (*range)(double)) {
    return [range](const std::string& v) -> std::string {
        const auto n = parse_number(v);
        if (!n) return "'" + v + "' is not a number";
        return range ? range(*n) : std::string();
    };
}

Check nonempty(const std::string& type, bool trimmed = false) {
    return [type, trimmed](const std::string& v) {
        return (trimmed ? trim(v) : v).empty() ? "needs " + value_words(type) : std::string();
    };
}

// The command line as CLI11 reads it into `o`; `version` is set by --version.
void describe(CLI::App& app, Options& o, bool& version) {
    app.description("Shows the quorlan7 gauge as a panel host draws it.");
    app.name("quorlan7-view");
    app.set_help_flag();
    app.footer("Exit status: 0 done, 1 the module misbehaved or no display, 2 bad input.");
    app.get_formatter()->column_width(24);

    checked(app, "--lat", "DEG", "aircraft latitude in degrees, north positive (with --lon)",
            number_within(check_latitude), [&o](const std::string& v) { o.latitude = parse_number(v); });
    checked(app, "--lon", "DEG", "aircraft longitude in degrees, east positive (with --lat)",
            number_within(check_longitude), [&o](const std::string& v) { o.longitude = parse_number(v); });
    checked(app, "--heading", "DEG", "aircraft heading in degrees (default 330)", number_within(nullptr),
            [&o](const std::string& v) { o.heading = parse_number(v); });
    checked(app, "--at", "IDENT", "select waypoint IDENT and put the aircraft on it", nonempty("IDENT", true),
            [&o](const std::string& v) { o.at = trim(v); });
    for (const auto kind : {Action::kNext, Action::kPrevious}) {
        const bool next = kind == Action::kNext;
        checked(
            app, next ? "--next" : "--prev", "N",
            next ? "press the right arrow button N times" : "press the left arrow button N times",
            [](const std::string& v) {
                return parse_count(v) ? std::string() : "'" + v + "' is not a count from 0 to 100000";
            },
            [&o, kind](const std::string& v) { o.actions.push_back({.kind = kind, .count = *parse_count(v)}); });
    }
    checked(
        app, "--click", "X,Y", "click at gauge pixel X,Y (repeatable; in order)",
        [](const std::string& v) {
            return parse_click(v) ? std::string() : "'" + v + "' is not a point X,Y in whole pixels";
        },
        [&o](const std::string& v) { o.actions.push_back(*parse_click(v)); });
    checked(app, "--module", "PATH", "another build of quorlan7.gau", nonempty("PATH"),
            [&o](const std::string& v) { o.module = v; });
    checked(app, "--png", "FILE",
            "write the gauge picture (default preview.png when neither --json nor --route is given)", nonempty("FILE"),
            [&o](const std::string& v) { o.png = v; });
    checked(
        app, "--scale", "K", "enlarge K times, nearest neighbour (default 4)",
        [](const std::string& v) {
            const auto n = parse_int(v);
            return n && *n >= 1 && *n <= 32 ? std::string() : "'" + v + "' is not a whole number from 1 to 32";
        },
        [&o](const std::string& v) { o.scale = *parse_int(v); });
    app.add_flag("--json", o.json, "print one JSON object (JSON lines with --route)")->disable_flag_override();
    checked(app, "--route", "FILE",
            "draw one frame per CSV line \"lat,lon,heading\"; lines \"next [N]\", \"prev [N]\" and \"click X,Y\" "
            "press buttons between frames",
            nonempty("FILE"), [&o](const std::string& v) { o.route = v; });
    checked(app, "--out", "DIR",
            "folder for the route's frames and contact sheet (default: the route file's name plus -frames)",
            nonempty("DIR"), [&o](const std::string& v) { o.out = v; });
    app.add_flag("--window", o.window,
                 "open a window: click the arrows, Left/Right turn, Up/Down move, +/- change speed, n/p step, q quits")
        ->disable_flag_override();
    app.add_flag("-h,--help", o.help, "show this text")->disable_flag_override();
    // The program answers it before the options are parsed, when it is alone.
    app.add_flag("--version", version, "print the program's name and version (alone)")->disable_flag_override();
}

}  // namespace

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

Aircraft default_aircraft() {
    constexpr int kSfint = 2;  // the third row of the gauge's waypoint table
    return {q7ref::waypoint_lat_degrees(kSfint), q7ref::waypoint_lon_degrees(kSfint), 330.0};
}

std::string check_picture_size(int width, int height, int scale) {
    const std::int64_t w = std::int64_t{width} * scale, h = std::int64_t{height} * scale;
    if (w <= kMaxPictureSide && h <= kMaxPictureSide && w * h <= kMaxPicturePixels) return {};
    return "the picture would be " + std::to_string(w) + " x " + std::to_string(h) + " pixels at --scale " +
           std::to_string(scale) + ", more than the " + std::to_string(kMaxPictureSide) + " on a side and " +
           std::to_string(kMaxPicturePixels) + " in all that the viewer writes; choose a smaller --scale";
}

long presses_of(const std::vector<Action>& actions) {
    long n = 0;
    for (const Action& a : actions) n += a.kind == Action::kClick ? 1 : a.count;
    return n;
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

std::optional<int> parse_count(const std::string& text) {
    const auto n = parse_int(text);
    return n && *n >= 0 && *n <= 100000 ? n : std::nullopt;
}

std::optional<Action> parse_click(const std::string& text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) return std::nullopt;
    const auto x = parse_int(text.substr(0, comma)), y = parse_int(text.substr(comma + 1));
    if (!x || !y || std::abs(*x) > 100000 || std::abs(*y) > 100000) return std::nullopt;
    return Action{.kind = Action::kClick, .x = *x, .y = *y};
}

std::string check_latitude(double degrees) {
    if (degrees >= -90.0 && degrees <= 90.0) return {};
    return "latitude " + format_number(degrees) + " is outside -90..90";
}

std::string check_longitude(double degrees) {
    if (degrees >= -180.0 && degrees <= 180.0) return {};
    return "longitude " + format_number(degrees) + " is outside -180..180";
}

std::string usage() {
    Options o;
    bool version = false;
    CLI::App app;
    describe(app, o, version);
    return app.help();
}

std::optional<Options> parse_arguments(std::vector<std::string> args, std::string& error) {
    Options o;
    bool version = false;
    CLI::App app;
    describe(app, o, version);
    auto fail = [&](std::string why) -> std::optional<Options> {
        error = std::move(why);
        return std::nullopt;
    };
    try {
        std::reverse(args.begin(), args.end());  // CLI11 takes them last first
        app.parse(args);
    } catch (const CLI::ExtrasError&) {
        const std::string first = app.remaining().empty() ? std::string() : app.remaining().front();
        return fail(first.rfind('-', 0) == 0 ? "unknown option " + first.substr(0, first.find('='))
                                             : "unexpected argument '" + first + "'");
    } catch (const CLI::ArgumentMismatch& e) {
        // CLI11 says "--NAME: 1 required TYPE missing" for a missing value and
        // "NAME was given a disallowed flag override" for a value on a flag.
        const std::string what = e.what();
        if (what.find("flag override") != std::string::npos) {
            return fail("--" + what.substr(0, what.find(' ')) + " takes no value");
        }
        if (const CLI::Option* opt = app.get_option_no_throw(what.substr(0, what.find(':')))) {
            return fail(opt->get_name() + " needs " + value_words(opt->get_type_name()));
        }
        return fail(what);
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }
    if (version) return fail("--version goes alone");
    if (o.latitude.has_value() != o.longitude.has_value()) return fail("--lat and --lon go together");
    if (o.at && o.latitude) return fail("--at and --lat/--lon cannot be combined");
    if (o.route) {
        if (o.latitude || o.at) return fail("--route takes its positions from the file; drop --lat/--lon/--at");
        if (o.heading) return fail("--route takes its headings from the file; drop --heading");
        if (o.window) return fail("--route and --window cannot be combined");
    } else if (o.out) {
        return fail("--out is for the frames of --route");
    }
    if (o.window && (o.json || o.png)) return fail("--window cannot be combined with --json or --png");
    if (const long presses = presses_of(o.actions); presses > kMaxPresses) {
        return fail(std::to_string(presses) + " button presses in all; at most " + std::to_string(kMaxPresses) +
                    " in one run");
    }
    return o;
}

}  // namespace q7view
