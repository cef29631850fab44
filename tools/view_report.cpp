#include "tools/view_report.h"

#include "panel/calling.h"
#include "panel/hex.h"
#include "tools/text_escape.h"

#include <cmath>
#include <cstdio>

namespace q7view {

namespace {

using q7host::hex;

// The frame's calls name the variable each refresh asked for.
nlohmann::json calls_json(const std::vector<q7host::ServiceCall>& calls, bool with_variables) {
    auto out = nlohmann::json::array();
    for (const auto& c : calls) {
        nlohmann::json j{{"service", c.position}, {"args", nlohmann::json::array()}};
        for (auto a : c.args) j["args"].push_back(hex(a));
        if (with_variables && c.position == q7host::kServiceVarRefresh) j["variable"] = hex(c.variable);
        out.push_back(j);
    }
    return out;
}

// Rounded for reading; the callbacks' values carry more digits than matter.
double round_to(double v, double step) { return std::isfinite(v) ? std::round(v / step) / (1.0 / step) : v; }

}  // namespace

nlohmann::json frame_json(const FrameReport& f) {
    using q7tools::json_text;
    const q7host::FrameReadout& r = f.readout;
    nlohmann::json j;
    j["aircraft"] = {
        {"latitude", f.aircraft.latitude}, {"longitude", f.aircraft.longitude}, {"heading", f.aircraft.heading}};
    j["readouts"] = {{"ident", json_text(r.ident.text)},
                     {"number", json_text(r.number.text)},
                     {"distance", json_text(r.distance.text)}};
    j["selection"] = {
        {"index", r.selection()}, {"ident", json_text(trimmed(r.ident.text))}, {"number", r.number.result}};
    j["dot"] = {{"x", round_to(r.dot.x, 1e-6)},
                {"y", round_to(r.dot.y, 1e-6)},
                {"screen_x", round_to(r.dot.screen_x, 1e-6)},
                {"screen_y", round_to(r.dot.screen_y, 1e-6)},
                {"drawn_at", {{"x", r.dot.left}, {"y", r.dot.top}}},
                {"centre_pixel", {{"x", f.dot_centre_x}, {"y", f.dot_centre_y}}}};
    j["clicks"] = nlohmann::json::array();
    for (const auto& c : f.clicks) {
        j["clicks"].push_back({{"x", c.x}, {"y", c.y}, {"hit", c.hit}, {"calls", calls_json(c.calls, false)}});
    }
    j["calls"] = calls_json(r.calls, true);
    j["warnings"] = nlohmann::json::array();
    for (const auto& w : f.warnings) j["warnings"].push_back(json_text(w));
    // What the module printed, only when it printed anything.
    if (!f.output.empty()) {
        j["output"] = json_text(f.output);
        if (f.output_truncated) j["output_truncated"] = true;
    }
    return j;
}

std::string json_dump(const nlohmann::json& j, int indent) {
    // Everything outside ASCII escaped, so the output is ASCII whatever the
    // module wrote.
    return j.dump(indent, ' ', true);
}

std::string frame_summary(const FrameReport& f) {
    using q7tools::readable;
    const q7host::FrameReadout& r = f.readout;
    char buf[512];
    const double lat = f.aircraft.latitude, lon = f.aircraft.longitude;
    std::snprintf(buf, sizeof buf,
                  "waypoint  %s (number %s)\n"
                  "distance  %s nm\n"
                  "dot       x %+.2f  y %+.2f from its rest; drawn at (%d, %d), centre pixel (%d, %d)\n"
                  "aircraft  %.6f %c  %.6f %c  heading %g\n",
                  readable(trimmed(r.ident.text)).c_str(), readable(trimmed(r.number.text)).c_str(),
                  readable(trimmed(r.distance.text)).c_str(), r.dot.x, r.dot.y, r.dot.left, r.dot.top, f.dot_centre_x,
                  f.dot_centre_y, std::fabs(lat), lat < 0 ? 'S' : 'N', std::fabs(lon), lon < 0 ? 'W' : 'E',
                  f.aircraft.heading);
    std::string out = buf;
    for (const auto& w : f.warnings) out += "warning   " + readable(w) + "\n";
    // The module's own lines, each as it printed it.
    std::size_t from = 0;
    while (from < f.output.size()) {
        const std::size_t nl = f.output.find('\n', from);
        const std::size_t end = nl == std::string::npos ? f.output.size() : nl;
        out += "output    " + readable(f.output.substr(from, end - from)) + "\n";
        from = end + 1;
    }
    if (f.output_truncated) out += "output    (cut at " + std::to_string(q7host::calling::kKeptOutput) + " bytes)\n";
    return out;
}

}  // namespace q7view
