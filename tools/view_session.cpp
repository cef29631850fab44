#include "tools/view_session.h"

#include "tools/text_escape.h"
#include "tools/view_output.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

namespace q7view {

bool Session::open(const std::string& module_path, std::string& error) {
    misbehaved_ = false;
    if (!host_.load(module_path)) {
        error = host_.error();
        misbehaved_ = host_.load_failure() == q7host::GaugeHost::LoadFailure::kModule;
        return false;
    }
    host_.install();
    misbehaved_ = true;
    if (!host_.problems().empty()) {
        error = module_path + ": GaugeInstall failed: " + host_.problems().front().sentence();
        return false;
    }
    if (!host_.mouse_list()) {
        error = module_path + ": GaugeInstall registered no mouse list";
        return false;
    }
    misbehaved_ = false;
    std::string why;
    if (!renderer_.prepare(why)) {
        error = module_path + ": " + why;
        misbehaved_ = !host_.problems().empty();
        return false;
    }
    return true;
}

void Session::place(const Aircraft& aircraft) {
    aircraft_ = aircraft;
    host_.set_aircraft(aircraft.latitude, aircraft.longitude, aircraft.heading);
}

bool Session::click(int x, int y) {
    host_.clear_calls();
    const bool hit = host_.click(x, y);
    pending_clicks_.push_back({x, y, hit, host_.calls()});
    return hit;
}

bool Session::press(const Action& action, std::string& error) {
    if (action.kind == Action::kClick) {
        click(action.x, action.y);
        return true;
    }
    std::vector<q7host::ClickArea> boxes;
    for (const auto& a : host_.click_areas()) {
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

Frame Session::frame() {
    Frame f;
    f.aircraft = aircraft_;
    host_.clear_calls();  // the log would otherwise grow with every frame of a window
    f.readout = host_.frame();
    f.image = renderer_.draw(f.readout);
    if (const q7host::DotReadout& dot = f.readout.dot; dot.element) {
        const q7host::Image* bitmap = renderer_.bitmap(host_.instrument().dot.bitmap_id());
        f.dot_centre_x = dot.left + (bitmap ? bitmap->width() / 2 : 0);
        f.dot_centre_y = dot.top + (bitmap ? bitmap->height() / 2 : 0);
    }
    f.clicks = std::move(pending_clicks_);
    pending_clicks_.clear();
    for (const q7host::Warning& w : host_.warnings()) f.warnings.push_back(w.sentence());
    f.output = host_.output();
    f.output_truncated = host_.process().output_truncated();
    return f;
}

std::string trimmed(const std::string& text) {
    const auto b = text.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

int fail(int status, const std::string& message) {
    // One line whatever the message carries: paths and the module's own
    // names and texts may hold line breaks and bytes no terminal should get.
    std::cerr << "quorlan7-view: " << q7tools::readable(message) << "\n";
    return status;
}

int open_module(Session& s, const Options& o) {
    std::string module = o.module;
    if (module.empty()) {
        // Beside the viewer, as a build or an install lays them out;
        // otherwise the one this viewer was built with.
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "quorlan7.gau";
        module = !ec && fs::exists(beside, ec) ? beside.string() : Q7_MODULE_FILE;
    }
    std::string error;
    if (!s.open(module, error)) {
        const auto& p = s.host().problems();
        if (!p.empty() && p.front().kind == q7host::ProblemKind::NotModelled) return fail(kHostLimit, error);
        return fail(s.module_misbehaved() ? kFailed : kBadInput, error);
    }
    return kDone;
}

int check_module(Session& s) {
    if (s.host().problems().empty()) return kDone;
    const q7host::Problem& p = s.host().problems().front();
    if (p.kind == q7host::ProblemKind::NotModelled) return fail(kHostLimit, "this host cannot go on: " + p.sentence());
    return fail(kFailed, "the module misbehaved: " + p.sentence());
}

int apply(Session& s, const Action& a) {
    std::string error;
    if (!s.press(a, error)) return fail(kFailed, error);
    return check_module(s);
}

int check_size(Session& s, int scale) {
    const std::string why = check_picture_size(s.renderer().width(), s.renderer().height(), scale);
    return why.empty() ? kDone : fail(kBadInput, why);
}

int start_scene(Session& s, const Options& o) {
    if (int st = open_module(s, o)) return st;
    Aircraft a = default_aircraft();
    if (o.latitude) a = {*o.latitude, *o.longitude, a.heading};
    if (o.heading) a.heading = *o.heading;
    s.place(a);
    std::string error;
    if (o.at && !sit_on(s, *o.at, error)) {
        if (int st = check_module(s)) return st;
        return fail(kBadInput, error);
    }
    for (const Action& act : o.actions) {
        if (int st = apply(s, act)) return st;
    }
    return kDone;
}

}  // namespace q7view
