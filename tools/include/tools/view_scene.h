// The viewer's scene on either host: the aircraft's position, presses of the
// gauge's buttons through the host's hit testing of the module's mouse list,
// --at (a waypoint found through the buttons and the dot alone), the readout
// of a frame with the presses since the previous one, and the steps a run is
// made of, each ending the run with its exit status and one line on standard
// error. Platform-neutral: quorlan7-view drives the reference host with it,
// quorlan7-view.exe the module LoadLibrary loaded.
//
// Host is a gauge host (q7host::GaugeRunner and the service face around it):
//   set_aircraft(lat, lon, heading); clear_calls(); calls(); click(x, y);
//   click_areas(); frame(); instrument(); call_pointer(name, callback, arg);
//   problems() (q7host::Problem); warnings() (q7host::Warning); output() and
//   output_truncated() (what the module printed, and whether more was cut).
#pragma once

#include "panel/gauge_runner.h"
#include "tools/view_options.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace q7view {

struct ClickRecord {
    int x = 0, y = 0;
    bool hit = false;  // the point was inside a click box and its handler ran
    std::vector<q7host::ServiceCall> calls;
};

// Everything one frame showed but its picture.
struct FrameReport {
    Aircraft aircraft;
    q7host::FrameReadout readout;            // texts as the module wrote them, the selection, the dot, the calls
    int dot_centre_x = 0, dot_centre_y = 0;  // the middle of the dot's bitmap where it was placed
    std::vector<ClickRecord> clicks;         // presses since the previous frame
    std::vector<std::string> warnings;       // what is odd about the module but loads, as sentences
    std::string output;                      // what the module printed to its standard output and error
    bool output_truncated = false;           // more than the host keeps
};

// The viewer's exit statuses.
// kHostLimit: the module called a Windows function this host does not model.
// kBatchStopped: quorlan7-view.exe --batch ended after a line that left the
// process unfit to load another module; the lines after it were not run.
inline constexpr int kDone = 0, kFailed = 1, kBadInput = 2, kHostLimit = 3, kBatchStopped = 4,
                     kInterrupted = 130;  // 128 + SIGINT

// Readout texts without their padding: "  12" -> "12".
std::string trimmed(const std::string& text);

// Prints "quorlan7-view: MESSAGE" as one line on standard error (the module's
// bytes and line breaks made readable) and returns `status`.
int fail(int status, const std::string& message);

// The dot's side of a waypoint along one axis, and the bisection --at flies
// by (view_scene.cpp).
enum class Side { kOn, kPositive, kNegative };
Side side_of(double coordinate, double other);
std::optional<double> bisect(double lo, double hi, Side (*side)(double, void*), void* context);
double wrap_longitude(double degrees);

template <class Host>
class Scene {
public:
    explicit Scene(Host& host) : host_(&host) {}

    Host& host() { return *host_; }

    // Loads the module, runs GaugeInstall and prepares `painter` for the tree
    // it installed. Errors name the file.
    template <class Painter>
    bool open(const std::string& module_path, Painter& painter, std::string& error) {
        misbehaved_ = false;
        if (!host_->load(module_path)) {
            error = host_->error();
            misbehaved_ = host_->load_failure() == Host::LoadFailure::kModule;
            return false;
        }
        host_->install();
        misbehaved_ = true;
        if (!host_->problems().empty()) {
            error = module_path + ": GaugeInstall failed: " + host_->problems().front().sentence();
            return false;
        }
        if (!host_->mouse_list()) {
            error = module_path + ": GaugeInstall registered no mouse list";
            return false;
        }
        misbehaved_ = false;
        std::string why;
        if (!painter.prepare(why)) {
            error = module_path + ": " + why;
            misbehaved_ = !host_->problems().empty();
            return false;
        }
        return true;
    }
    // After a failed open: whether the module misbehaved (its entry routine
    // or GaugeInstall went wrong) rather than the file being unusable.
    bool module_misbehaved() const { return misbehaved_; }

    void place(const Aircraft& aircraft) {
        aircraft_ = aircraft;
        host_->set_aircraft(aircraft.latitude, aircraft.longitude, aircraft.heading);
    }
    const Aircraft& aircraft() const { return aircraft_; }

    // A click at a gauge pixel through the host's hit testing of the
    // registered mouse list; returns whether a button took it.
    bool click(int x, int y) {
        host_->clear_calls();
        const bool hit = host_->click(x, y);
        pending_clicks_.push_back({x, y, hit, host_->calls()});
        return hit;
    }
    // Next/previous press the rightmost/leftmost click box at its centre.
    bool press(const Action& action, std::string& error) {
        if (action.kind == Action::kClick) {
            click(action.x, action.y);
            return true;
        }
        std::vector<q7host::ClickArea> boxes;
        for (const auto& a : host_->click_areas()) {
            if (a.handler) boxes.push_back(a);
        }
        if (boxes.empty()) {
            error = "the gauge has no buttons to press";
            return false;
        }
        const auto left_to_right = [](const q7host::ClickArea& a, const q7host::ClickArea& b) { return a.x < b.x; };
        const auto& box = action.kind == Action::kNext ? *std::max_element(boxes.begin(), boxes.end(), left_to_right)
                                                       : *std::min_element(boxes.begin(), boxes.end(), left_to_right);
        for (int i = 0; i < action.count; ++i) click(box.centre_x(), box.centre_y());
        return true;
    }
    // The presses made so far are not reported with the next frame.
    void forget_clicks() { pending_clicks_.clear(); }

    // A frame's readout, the presses since the previous frame and the
    // warnings; the picture and the dot's centre pixel are the painter's.
    FrameReport report() {
        FrameReport f;
        f.aircraft = aircraft_;
        host_->clear_calls();  // the log would otherwise grow with every frame of a window
        f.readout = host_->frame();
        f.clicks = std::move(pending_clicks_);
        pending_clicks_.clear();
        for (const auto& w : host_->warnings()) f.warnings.push_back(w.sentence());
        f.output = host_->output();
        f.output_truncated = host_->output_truncated();
        return f;
    }

private:
    Host* host_;
    bool misbehaved_ = false;
    Aircraft aircraft_;
    std::vector<ClickRecord> pending_clicks_;
};

// Selects the waypoint `ident` with the right arrow and then puts the
// aircraft exactly on it, found from the dot's direction alone. Keeps the
// aircraft's heading.
//
// The viewer steps the selection with the right arrow until the identifier
// box shows the name, then flies onto the waypoint using nothing but the
// dot, which always points at the selected waypoint. With the heading north
// the dot's y has the sign of the waypoint's north offset, so bisecting the
// latitude between the poles finds the latitude at which that offset is
// exactly zero (the module rounds offsets to 32-bit floats, so such a band
// exists around the stored latitude); the dot's x then does the same for the
// longitude within half a turn east or west of the start. The result sits on
// the stored coordinates as the module rounds them: the distance reads 0.
template <class Host>
bool sit_on(Scene<Host>& scene, const std::string& ident, std::string& error) {
    constexpr int kMaxSelections = 1000;  // more waypoints than any gauge list holds
    Host& host = scene.host();
    if (const auto parts = host.instrument(); !parts.dot || !parts.ident) {
        error = "the gauge has no dot or identifier box to find a waypoint with";
        return false;
    }
    const auto current_ident = [&host] { return trimmed(host.frame().ident.text); };
    std::string wanted = ident;
    for (auto& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string first = current_ident();
    std::vector<std::string> seen{first};
    while (current_ident() != wanted) {
        if (!scene.press({Action::kNext, 1, 0, 0}, error)) return false;
        const std::string now = current_ident();
        if (now == first || static_cast<int>(seen.size()) >= kMaxSelections) {
            std::string list;
            for (const auto& s : seen) list += (list.empty() ? "" : " ") + s;
            error = "--at: no waypoint " + ident + " in this gauge (it has " + list + ")";
            return false;
        }
        seen.push_back(now);
    }
    scene.forget_clicks();

    // Dot callback values with the aircraft at a position, heading north.
    struct Probe {
        Host* host;
        double lat = 0.0, lon0 = 0.0, sign = 1.0;
        std::pair<double, double> at(double latitude, double longitude) {
            const auto dot = host->instrument().dot;
            host->set_aircraft(latitude, longitude, 0.0);
            const double x = host->call_pointer("x_callback", dot.x_callback(), dot.address());
            const double y = host->call_pointer("y_callback", dot.y_callback(), dot.address());
            return {x, y};
        }
    };
    const Aircraft start = scene.aircraft();
    Probe probe{&host, 0.0, wrap_longitude(start.longitude), 1.0};
    const auto lat_side = [](double lat, void* p) {
        auto* pr = static_cast<Probe*>(p);
        const auto [x, y] = pr->at(lat, pr->lon0);
        return side_of(y, x);
    };
    std::optional<double> lat;
    if (lat_side(-90.0, &probe) == Side::kPositive && lat_side(90.0, &probe) == Side::kNegative) {
        lat = bisect(-90.0, 90.0, lat_side, &probe);
    }
    std::optional<double> lon;
    if (lat) {
        probe.lat = *lat;
        const auto [x0, y0] = probe.at(*lat, probe.lon0);
        const Side s0 = side_of(x0, y0);
        if (s0 == Side::kOn) {
            lon = probe.lon0;
        } else {
            // Walking west, "waypoint still west" is the side to keep going.
            probe.sign = s0 == Side::kPositive ? 1.0 : -1.0;
            const auto side = [](double t, void* p) {
                auto* pr = static_cast<Probe*>(p);
                const auto [x, y] = pr->at(pr->lat, wrap_longitude(pr->lon0 + pr->sign * t));
                const Side s = side_of(x, y);
                if (pr->sign < 0 && s != Side::kOn) return s == Side::kPositive ? Side::kNegative : Side::kPositive;
                return s;
            };
            const double far = 179.999;
            if (side(far, &probe) == Side::kNegative) {
                if (auto t = bisect(0.0, far, side, &probe)) lon = wrap_longitude(probe.lon0 + probe.sign * *t);
            }
        }
    }
    scene.place(lat && lon ? Aircraft{*lat, *lon, start.heading} : start);
    if (!lat || !lon || trimmed(host.frame().distance.text) != "0") {
        scene.place(start);
        error = "--at: could not put the aircraft on " + wanted + " by its dot";
        return false;
    }
    return true;
}

// Steps of a run: each returns kDone to go on, or the status to stop with
// after one line on standard error.

// Status 1 once the module did something wrong; 3 once it called what the
// host does not model.
template <class Host>
int check_module(Scene<Host>& scene) {
    const auto& problems = scene.host().problems();
    if (problems.empty()) return kDone;
    const q7host::Problem& p = problems.front();
    if (p.kind == q7host::ProblemKind::NotModelled) return fail(kHostLimit, "this host cannot go on: " + p.sentence());
    return fail(kFailed, "the module misbehaved: " + p.sentence());
}

// Opens the module into a session (a Scene with its painter): status 2 for
// a file no host can use, 1 for a module that misbehaved, 3 where the host's
// limit stopped it.
template <class Session>
int open_step(Session& session, const std::string& module) {
    std::string error;
    if (session.open(module, error)) return kDone;
    const auto& p = session.host().problems();
    if (!p.empty() && p.front().kind == q7host::ProblemKind::NotModelled) return fail(kHostLimit, error);
    return fail(session.module_misbehaved() ? kFailed : kBadInput, error);
}

template <class Host>
int apply(Scene<Host>& scene, const Action& a) {
    std::string error;
    if (!scene.press(a, error)) return fail(kFailed, error);
    return check_module(scene);
}

// Sets up the scene the options ask for once the module is open: the
// aircraft (the default scene's unless given), then --at, then the presses
// in order.
template <class Host>
int set_scene(Scene<Host>& scene, const Options& o) {
    Aircraft a = default_aircraft();
    if (o.latitude) a = {*o.latitude, *o.longitude, a.heading};
    if (o.heading) a.heading = *o.heading;
    scene.place(a);
    std::string error;
    if (o.at && !sit_on(scene, *o.at, error)) {
        if (int st = check_module(scene)) return st;
        return fail(kBadInput, error);
    }
    for (const Action& act : o.actions) {
        if (int st = apply(scene, act)) return st;
    }
    return kDone;
}

}  // namespace q7view
