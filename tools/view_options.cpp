#include "tools/view_options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <functional>
#include <map>
#include <set>
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

namespace {

// What one option's value is checked against: an empty result accepts it,
// anything else is the complaint, after the option's name.
using Check = std::function<std::string(const std::string&)>;

Check number_within(std::string (*range)(double)) {
    return [range](const std::string& v) -> std::string {
        const auto n = parse_number(v);
        if (!n) return "'" + v + "' is not a number";
        return range ? range(*n) : std::string();
    };
}

std::string count_check(const std::string& v) {
    const auto n = parse_int(v);
    return n && *n >= 0 && *n <= 100000 ? std::string() : "'" + v + "' is not a count from 0 to 100000";
}

std::string scale_check(const std::string& v) {
    const auto n = parse_int(v);
    return n && *n >= 1 && *n <= 32 ? std::string() : "'" + v + "' is not a whole number from 1 to 32";
}

std::string point_check(const std::string& v) {
    return parse_click(v) ? std::string() : "'" + v + "' is not a point X,Y in whole pixels";
}

// The command line as CLI11 reads it. Every option takes its value as text and
// checks it itself, so that each complaint names the option and the value in
// the viewer's own words; presses are recorded as they are met, in order.
class CommandLine {
public:
    explicit CommandLine(Options& o) : app_("Shows the quorlan7 gauge as a panel host draws it.", "quorlan7-view") {
        app_.set_help_flag();
        app_.footer("Exit status: 0 done, 1 the module misbehaved or no display, 2 bad input.");
        app_.get_formatter()->column_width(24);

        number(option("--lat", "aircraft latitude in degrees, north positive (with --lon)")->type_name("DEG"),
               check_latitude, [&o](double v) { o.latitude = v; });
        number(option("--lon", "aircraft longitude in degrees, east positive (with --lat)")->type_name("DEG"),
               check_longitude, [&o](double v) { o.longitude = v; });
        number(option("--heading", "aircraft heading in degrees (default 330)")->type_name("DEG"), nullptr,
               [&o](double v) { o.heading = v; });
        text(option("--at", "select waypoint IDENT and put the aircraft on it")->type_name("IDENT"),
             "a waypoint identifier", [&o](const std::string& v) { o.at = trim(v); });
        for (const auto kind : {Action::kNext, Action::kPrevious}) {
            const bool next = kind == Action::kNext;
            checked(option(next ? "--next" : "--prev",
                                    next ? "press the right arrow button N times" : "press the left arrow button N times")
                        ->type_name("N"),
                    "a value", count_check, [&o, kind](const std::string& v) {
                        o.actions.push_back({.kind = kind, .count = *parse_int(v)});
                    });
        }
        checked(option("--click", "click at gauge pixel X,Y (repeatable; in order)")->type_name("X,Y"),
                "a point X,Y", point_check, [&o](const std::string& v) { o.actions.push_back(*parse_click(v)); });
        text(option("--module", "another build of quorlan7.gau")->type_name("PATH"), "a file name",
             [&o](const std::string& v) { o.module = v; });
        text(option("--png", "write the gauge picture (default preview.png when neither --json nor --route is given)")
                 ->type_name("FILE"),
             "a file name", [&o](const std::string& v) { o.png = v; });
        checked(option("--scale", "enlarge K times, nearest neighbour (default 4)")->type_name("K"), "a value",
                scale_check, [&o](const std::string& v) { o.scale = *parse_int(v); });
        flag(flag_option("--json", "print one JSON object (JSON lines with --route)"), o.json);
        text(option("--route", "draw one frame per CSV line \"lat,lon,heading\"; lines \"next [N]\", "
                                        "\"prev [N]\" and \"click X,Y\" press buttons between frames")
                 ->type_name("FILE"),
             "a file name", [&o](const std::string& v) { o.route = v; });
        text(option("--out", "folder for the route's frames and contact sheet (default: the route file's "
                                      "name plus -frames)")
                 ->type_name("DIR"),
             "a file name", [&o](const std::string& v) { o.out = v; });
        flag(flag_option("--window", "open a window: click the arrows, Left/Right turn, Up/Down move, +/- change "
                                       "speed, n/p step, q quits"),
             o.window);
        flag(flag_option("-h,--help", "show this text"), o.help);
        // Handled before the options are parsed, when it is the only one.
        flag(flag_option("--version", "print the program's name and version (alone)"), version_);
    }

    // Parses; on bad input returns false with one line in `error`.
    bool parse(const std::vector<std::string>& args, std::string& error) {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
        try {
            app_.parse(reversed);
            if (version_) error = "--version goes alone";
            return !version_;
        } catch (const CLI::ExtrasError&) {
            const auto extra = app_.remaining();
            const std::string first = extra.empty() ? std::string() : extra.front();
            error = first.rfind("-", 0) == 0 ? "unknown option " + first.substr(0, first.find('='))
                                             : "unexpected argument '" + first + "'";
        } catch (const CLI::ParseError& e) {
            error = complaint_.empty() ? e.what() : complaint_;
            if (complaint_.empty()) {
                // CLI11's own complaints: "--NAME: ... missing" for a missing
                // value, "NAME was given a disallowed flag override" for a
                // value on a flag.
                const std::string what = e.what();
                const std::string name = what.substr(0, what.find(':'));
                if (auto it = missing_.find(name); it != missing_.end()) error = name + " needs " + it->second;
                const std::string flag = "--" + what.substr(0, what.find(' '));
                if (flags_.count(flag) && what.find("flag override") != std::string::npos) {
                    error = flag + " takes no value";
                }
            }
        }
        return false;
    }

    std::string help() const { return app_.help(); }

private:
    CLI::Option* option(const std::string& name, const std::string& description) {
        return app_.add_option(name)->description(description);
    }
    CLI::Option* flag_option(const std::string& name, const std::string& description) {
        return app_.add_flag(name)->description(description);
    }

    // An option with one value a time; the last one given counts, each one
    // is checked when it is met.
    void checked(CLI::Option* opt, const std::string& missing, Check check,
                 std::function<void(const std::string&)> store) {
        const std::string name = opt->get_name();
        missing_[name] = missing;
        opt->expected(1)->allow_extra_args(false)->trigger_on_parse()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        opt->each([this, name, check, store](const std::string& v) {
            if (const std::string why = check(v); !why.empty()) {
                complaint_ = name + ": " + why;
                throw CLI::ValidationError(complaint_);
            }
            store(v);
        });
    }
    void number(CLI::Option* opt, std::string (*range)(double), std::function<void(double)> store) {
        checked(opt, "a value", number_within(range), [store](const std::string& v) { store(*parse_number(v)); });
    }
    void text(CLI::Option* opt, const std::string& missing, std::function<void(const std::string&)> store) {
        const std::string name = opt->get_name();
        const bool ident = name == "--at";
        checked(opt, missing,
                [ident, name, missing](const std::string& v) {
                    return (ident ? trim(v) : v).empty() ? "needs " + missing : std::string();
                },
                store);
    }
    void flag(CLI::Option* opt, bool& target) {
        flags_.insert(opt->get_name());
        opt->disable_flag_override()->trigger_on_parse();
        opt->each([&target](const std::string&) { target = true; });
    }

    CLI::App app_;
    std::string complaint_;                     // the first value an option refused
    std::map<std::string, std::string> missing_;  // what each option needs when its value is missing
    std::set<std::string> flags_;
    bool version_ = false;
};

}  // namespace

std::string usage() {
    Options o;
    return CommandLine(o).help();
}

std::optional<Options> parse_arguments(const std::vector<std::string>& args, std::string& error) {
    Options o;
    auto fail = [&](std::string why) -> std::optional<Options> {
        error = std::move(why);
        return std::nullopt;
    };
    if (!CommandLine(o).parse(args, error)) return std::nullopt;

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
    long presses = 0;
    for (const Action& a : o.actions) presses += presses_of(a);
    if (presses > kMaxPresses) {
        return fail(std::to_string(presses) + " button presses in all; at most " + std::to_string(kMaxPresses) +
                    " in one run");
    }
    return o;
}

std::optional<std::vector<RouteStep>> parse_route(std::istream& in, const std::string& name,
                                                  std::string& error) {
    std::vector<RouteStep> steps;
    std::string raw;
    int number = 0;
    bool seen_content = false;
    bool any_position = false;
    int positions = 0;
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
        if (++positions > kMaxRouteFrames) {
            error = where + "more than " + std::to_string(kMaxRouteFrames) + " positions; at most that many frames in one route";
            return std::nullopt;
        }
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
