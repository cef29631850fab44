#include "tools/view_session.h"

#include "tools/text_escape.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace q7view {

using q7host::Addr;

namespace {

constexpr int kMaxSelections = 1000;  // more waypoints than any gauge list holds
constexpr int kMaxBisections = 200;

double wrap_longitude(double degrees) {
    double d = std::fmod(degrees + 180.0, 360.0);
    if (d < 0) d += 360.0;
    return d - 180.0;
}

// Which side of the waypoint the aircraft is on along one axis, read from
// one dot coordinate with the heading north: the dot points at the
// waypoint, so its x has the sign of the east offset and its y the sign of
// the north offset. An offset of exactly zero leaves that coordinate exactly
// zero; on the waypoint itself the dot is off its circle (or not a number).
enum class Side { kOn, kPositive, kNegative };

Side side_of(double coordinate, double other) {
    if (!std::isfinite(coordinate) || !std::isfinite(other)) return Side::kOn;
    if (std::hypot(coordinate, other) < 1.0) return Side::kOn;
    if (coordinate == 0.0) return Side::kOn;
    return coordinate > 0 ? Side::kPositive : Side::kNegative;
}

// Finds a value in [lo, hi] where `side` gives kOn, knowing that it gives
// kPositive at `lo` and kNegative at `hi` and changes once between them.
template <typename F>
std::optional<double> bisect(double lo, double hi, F side) {
    for (int i = 0; i < kMaxBisections; ++i) {
        const double mid = lo + (hi - lo) / 2;
        if (mid == lo || mid == hi) break;
        switch (side(mid)) {
            case Side::kOn: return mid;
            case Side::kPositive: lo = mid; break;
            case Side::kNegative: hi = mid; break;
        }
    }
    return std::nullopt;
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

}  // namespace

std::string trimmed(const std::string& text) {
    const auto b = text.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

bool Session::open(const std::string& module_path, std::string& error) {
    misbehaved_ = false;
    if (!host_.load(module_path)) {
        error = host_.error();
        misbehaved_ = host_.load_failure() == q7host::GaugeHost::LoadFailure::kModule;
        return false;
    }
    host_.install();
    misbehaved_ = true;
    if (!host_.violations().empty()) {
        error = module_path + ": GaugeInstall failed: " + host_.violations().front().sentence();
        return false;
    }
    if (!host_.services().registered_mouse_list()) {
        error = module_path + ": GaugeInstall registered no mouse list";
        return false;
    }
    misbehaved_ = false;
    std::string why;
    if (!renderer_.prepare(why)) {
        error = module_path + ": " + why;
        misbehaved_ = !host_.violations().empty();
        return false;
    }
    return true;
}

void Session::place(const Aircraft& aircraft) {
    aircraft_ = aircraft;
    host_.services().set_aircraft(aircraft.latitude, aircraft.longitude, aircraft.heading);
}

bool Session::click(int x, int y) {
    host_.services().clear_calls();
    ClickRecord record;
    record.x = x;
    record.y = y;
    record.hit = host_.click(x, y);
    record.calls = host_.services().calls();
    pending_clicks_.push_back(std::move(record));
    return pending_clicks_.back().hit;
}

bool Session::press(const Action& action, std::string& error) {
    if (action.kind == Action::kClick) {
        click(action.x, action.y);
        return true;
    }
    auto boxes = click_boxes();
    if (boxes.empty()) {
        error = "the gauge has no buttons to press";
        return false;
    }
    std::sort(boxes.begin(), boxes.end(), [](const ClickBox& a, const ClickBox& b) { return a.x < b.x; });
    const ClickBox& box = action.kind == Action::kNext ? boxes.back() : boxes.front();
    for (int i = 0; i < action.count; ++i) click(box.centre_x(), box.centre_y());
    return true;
}

std::vector<ClickBox> Session::click_boxes() const {
    std::vector<ClickBox> out;
    for (const auto& a : host_.click_areas()) {
        if (a.handler) out.push_back(a);
    }
    return out;
}

std::string Session::current_ident() {
    const auto ident = host_.instrument().ident;
    if (!ident) return {};
    const auto readout = host_.frame();
    const auto* t = readout.text_for(ident.address());
    return t ? trimmed(t->text) : std::string();
}

std::pair<double, double> Session::probe(double latitude, double longitude) {
    const auto dot = host_.instrument().dot;
    host_.services().set_aircraft(latitude, longitude, 0.0);
    const double x = host_.call_pointer("x_callback", dot.x_callback(), dot.address());
    const double y = host_.call_pointer("y_callback", dot.y_callback(), dot.address());
    return {x, y};
}

// The waypoint table is the module's own and is not exported, so the viewer
// finds a waypoint the way a pilot would: it steps the selection with the
// right arrow until the identifier box shows the name, then flies onto it
// using nothing but the dot, which always points at the selected waypoint.
// With the heading north the dot's y has the sign of the waypoint's north
// offset, so bisecting the latitude between the poles finds the latitude at
// which that offset is exactly zero (the module rounds offsets to 32-bit
// floats, so such a band exists around the stored latitude); the dot's x
// then does the same for the longitude within half a turn east or west of
// the start. The result sits on the stored coordinates as the module rounds
// them: the distance reads 0.
bool Session::sit_on(const std::string& ident, std::string& error) {
    if (const auto parts = host_.instrument(); !parts.dot || !parts.ident) {
        error = "the gauge has no dot or identifier box to find a waypoint with";
        return false;
    }
    std::string wanted = ident;
    for (auto& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string first = current_ident();
    std::vector<std::string> seen{first};
    while (current_ident() != wanted) {
        const Action next{Action::kNext, 1, 0, 0};
        if (!press(next, error)) return false;
        const std::string now = current_ident();
        if (now == first || static_cast<int>(seen.size()) >= kMaxSelections) {
            std::string list;
            for (const auto& s : seen) list += (list.empty() ? "" : " ") + s;
            error = "--at: no waypoint " + ident + " in this gauge (it has " + list + ")";
            return false;
        }
        seen.push_back(now);
    }
    pending_clicks_.clear();

    const Aircraft start = aircraft_;
    const double lon0 = wrap_longitude(start.longitude);
    auto lat_side = [&](double lat) {
        const auto [x, y] = probe(lat, lon0);
        return side_of(y, x);
    };
    std::optional<double> lat;
    if (lat_side(-90.0) == Side::kPositive && lat_side(90.0) == Side::kNegative) {
        lat = bisect(-90.0, 90.0, lat_side);
    }
    std::optional<double> lon;
    if (lat) {
        auto lon_side = [&](double sign, double t) {
            const auto [x, y] = probe(*lat, wrap_longitude(lon0 + sign * t));
            const Side s = side_of(x, y);
            // Walking west, "waypoint still west" is the side to keep going.
            if (sign < 0 && s != Side::kOn) return s == Side::kPositive ? Side::kNegative : Side::kPositive;
            return s;
        };
        const auto [x0, y0] = probe(*lat, lon0);
        const Side s0 = side_of(x0, y0);
        if (s0 == Side::kOn) {
            lon = lon0;
        } else {
            const double sign = s0 == Side::kPositive ? 1.0 : -1.0;
            const double far = 179.999;
            auto side = [&](double t) { return lon_side(sign, t); };
            if (side(far) == Side::kNegative) {
                if (auto t = bisect(0.0, far, side)) lon = wrap_longitude(lon0 + sign * *t);
            }
        }
    }
    place(lat && lon ? Aircraft{*lat, *lon, start.heading} : start);
    if (!lat || !lon || trimmed(frame().distance) != "0") {
        place(start);
        error = "--at: could not put the aircraft on " + wanted + " by its dot";
        return false;
    }
    return true;
}

Frame Session::frame() {
    Frame f;
    f.aircraft = aircraft_;
    host_.services().clear_calls();
    f.readout = host_.frame();
    f.calls = host_.services().calls();
    for (const auto& c : f.calls) {
        const bool refresh = c.position == q7host::kServiceVarRefresh && !c.args.empty();
        f.refreshed.push_back(refresh ? host_.machine().try_read(c.args[0] + q7host::module_var::kId).value_or(0) : 0);
    }
    f.image = renderer_.draw(f.readout);
    const q7host::Instrument parts = host_.instrument();
    if (const auto* t = f.readout.text_for(parts.distance.address())) f.distance = t->text;
    if (const auto* t = f.readout.text_for(parts.ident.address())) {
        f.ident = t->text;
        f.selection = t->result;
    }
    if (const auto* t = f.readout.text_for(parts.number.address())) {
        f.number = t->text;
        f.number_value = t->result;
    }
    if (!f.readout.dots.empty()) {
        f.dot = f.readout.dots.front();
        const q7host::ElementRef e(host_.machine(), f.dot.element);
        f.dot_left = q7host::placed_pixel(f.dot.screen_x, e.x());
        f.dot_top = q7host::placed_pixel(f.dot.screen_y, e.y());
        const q7host::Image* bmp = renderer_.bitmap(e.bitmap_id());
        f.dot_centre_x = f.dot_left + (bmp ? bmp->width() / 2 : 0);
        f.dot_centre_y = f.dot_top + (bmp ? bmp->height() / 2 : 0);
    }
    f.clicks = std::move(pending_clicks_);
    pending_clicks_.clear();
    for (const q7host::Warning& w : host_.warnings()) f.warnings.push_back(w.sentence());
    return f;
}

namespace {

nlohmann::json calls_json(const std::vector<q7host::ServiceCall>& calls,
                          const std::vector<std::uint32_t>& refreshed = {}) {
    auto out = nlohmann::json::array();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto& c = calls[i];
        nlohmann::json j{{"service", c.position}};
        auto args = nlohmann::json::array();
        for (auto a : c.args) args.push_back(hex(a));
        j["args"] = args;
        if (i < refreshed.size() && c.position == q7host::kServiceVarRefresh) {
            j["variable"] = hex(refreshed[i]);
        }
        out.push_back(j);
    }
    return out;
}

// Rounded for reading; the callbacks' values carry more digits than matter.
double round_to(double v, double step) {
    return std::isfinite(v) ? std::round(v / step) / (1.0 / step) : v;
}

}  // namespace

nlohmann::json frame_json(const Frame& f) {
    nlohmann::json j;
    j["aircraft"] = {{"latitude", f.aircraft.latitude},
                     {"longitude", f.aircraft.longitude},
                     {"heading", f.aircraft.heading}};
    using q7tools::json_text;
    j["readouts"] = {{"ident", json_text(f.ident)}, {"number", json_text(f.number)},
                     {"distance", json_text(f.distance)}};
    j["selection"] = {{"index", f.selection},
                      {"ident", json_text(trimmed(f.ident))},
                      {"number", f.number_value}};
    j["dot"] = {{"x", round_to(f.dot.x, 1e-6)},
                {"y", round_to(f.dot.y, 1e-6)},
                {"screen_x", round_to(f.dot.screen_x, 1e-6)},
                {"screen_y", round_to(f.dot.screen_y, 1e-6)},
                {"drawn_at", {{"x", f.dot_left}, {"y", f.dot_top}}},
                {"centre_pixel", {{"x", f.dot_centre_x}, {"y", f.dot_centre_y}}}};
    auto clicks = nlohmann::json::array();
    for (const auto& c : f.clicks) {
        clicks.push_back({{"x", c.x}, {"y", c.y}, {"hit", c.hit}, {"calls", calls_json(c.calls)}});
    }
    j["clicks"] = clicks;
    j["calls"] = calls_json(f.calls, f.refreshed);
    auto warnings = nlohmann::json::array();
    for (const auto& w : f.warnings) warnings.push_back(json_text(w));
    j["warnings"] = warnings;
    return j;
}

std::string json_dump(const nlohmann::json& j, int indent) {
    // Everything outside ASCII escaped, so the output is ASCII whatever the
    // module wrote.
    return j.dump(indent, ' ', true);
}

std::string frame_summary(const Frame& f) {
    using q7tools::readable;
    char buf[512];
    const double lat = f.aircraft.latitude, lon = f.aircraft.longitude;
    std::snprintf(buf, sizeof buf,
                  "waypoint  %s (number %s)\n"
                  "distance  %s nm\n"
                  "dot       x %+.2f  y %+.2f from its rest; drawn at (%d, %d), centre pixel (%d, %d)\n"
                  "aircraft  %.6f %c  %.6f %c  heading %g\n",
                  readable(trimmed(f.ident)).c_str(), readable(trimmed(f.number)).c_str(),
                  readable(trimmed(f.distance)).c_str(), f.dot.x, f.dot.y, f.dot_left, f.dot_top, f.dot_centre_x, f.dot_centre_y,
                  std::fabs(lat), lat < 0 ? 'S' : 'N', std::fabs(lon), lon < 0 ? 'W' : 'E',
                  f.aircraft.heading);
    std::string out = buf;
    for (const auto& w : f.warnings) out += "warning   " + readable(w) + "\n";
    return out;
}

}  // namespace q7view
