// quorlan7-view: shows the gauge as a panel host draws it, as PNG pictures,
// JSON readouts, a route's frames and contact sheet, or a live window.
#include "tools/view_options.h"
#include "tools/view_session.h"
#include "tools/view_window.h"
#include "version/program_version.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>

namespace fs = std::filesystem;
using namespace q7view;

namespace {

constexpr int kDone = 0, kFailed = 1, kBadInput = 2;

int fail(int status, const std::string& message) {
    std::cerr << "quorlan7-view: " << message << "\n";
    return status;
}

// The module beside the viewer, as a build or an install lays them out;
// otherwise the one this viewer was built with.
std::string default_module() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path beside = self.parent_path() / "quorlan7.gau";
        if (fs::exists(beside, ec)) return beside.string();
    }
    return Q7_MODULE_FILE;
}

int open_session(Session& s, const Options& o) {
    const std::string module = o.module.empty() ? default_module() : o.module;
    std::string error;
    if (!s.open(module, error)) return fail(s.module_misbehaved() ? kFailed : kBadInput, error);
    return kDone;
}

// Presses buttons; the module's misbehaviour stops the run.
int apply(Session& s, const Action& a) {
    std::string error;
    if (!s.press(a, error)) return fail(kFailed, error);
    if (!s.host().violations().empty()) {
        return fail(kFailed, "the module misbehaved: " + s.host().violations().front().sentence());
    }
    return kDone;
}

int check_module(Session& s) {
    if (!s.host().violations().empty()) {
        return fail(kFailed, "the module misbehaved: " + s.host().violations().front().sentence());
    }
    return kDone;
}

// Opens the module and sets up the scene the options ask for: the aircraft,
// then --at, then the clicks in order.
int start_scene(Session& s, const Options& o) {
    if (int st = open_session(s, o)) return st;
    Aircraft a = default_aircraft();
    if (o.latitude) a = {*o.latitude, *o.longitude, a.heading};
    if (o.heading) a.heading = *o.heading;
    s.place(a);
    std::string error;
    if (o.at && !s.sit_on(*o.at, error)) return fail(kBadInput, error);
    for (const Action& act : o.actions) {
        if (int st = apply(s, act)) return st;
    }
    return kDone;
}

int run_single(const Options& o) {
    Session s;
    if (int st = start_scene(s, o)) return st;
    const Frame f = s.frame();
    if (int st = check_module(s)) return st;

    // Without --json the picture goes to preview.png unless named.
    const std::optional<std::string> png = o.png ? o.png : (o.json ? std::nullopt : std::optional<std::string>("preview.png"));
    if (png) {
        std::string error;
        if (!q7host::write_png(*png, f.image.scaled(o.scale), error)) return fail(kBadInput, error);
    }
    if (o.json) {
        auto j = frame_json(f);
        if (png) j["png"] = *png;
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << frame_summary(f);
        std::cout << "wrote     " << *png << " (" << f.image.width() * o.scale << " x "
                  << f.image.height() * o.scale << ", " << o.scale << "x)\n";
    }
    return kDone;
}

bool is_route_output(const fs::path& p) {
    static const std::regex ours(R"(frame-\d+\.png|sheet\.png)");
    return std::regex_match(p.filename().string(), ours);
}

// A folder may be replaced only when it holds nothing but an earlier route's
// frames and sheet.
std::string check_replaceable(const fs::path& dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) return {};
    if (!fs::is_directory(dir, ec)) return dir.string() + " exists and is not a folder";
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file() || !is_route_output(entry.path())) {
            return dir.string() + " holds other files than route frames; choose another --out";
        }
    }
    if (ec) return "cannot read " + dir.string() + ": " + ec.message();
    return {};
}

class ProgressBar {
public:
    explicit ProgressBar(int total) : total_(total), shown_(isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)) {}
    void update(int done) {
        if (!shown_) return;
        constexpr int kWidth = 30;
        const int filled = total_ ? done * kWidth / total_ : kWidth;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
                  << done << "/" << total_ << std::flush;
        if (done == total_) std::cerr << "\n";
    }

private:
    int total_;
    bool shown_;
};

int run_route(const Options& o) {
    std::ifstream in(*o.route);
    if (!in) return fail(kBadInput, "cannot read route " + *o.route + ": " + std::strerror(errno));
    std::string error;
    const auto steps = parse_route(in, *o.route, error);
    if (!steps) return fail(kBadInput, error);

    const fs::path out = o.out ? fs::path(*o.out) : fs::path(fs::path(*o.route).stem().string() + "-frames");
    if (std::string why = check_replaceable(out); !why.empty()) return fail(kBadInput, why);
    const fs::path sheet_path = o.png ? fs::path(*o.png) : out / "sheet.png";

    Session s;
    if (int st = open_session(s, o)) return st;
    Aircraft a = default_aircraft();
    s.place(a);
    for (const Action& act : o.actions) {
        if (int st = apply(s, act)) return st;
    }

    // Frames are written into a fresh folder beside the destination, which
    // takes the destination's place only when every frame is there.
    fs::path parent = out.parent_path().empty() ? fs::path(".") : out.parent_path();
    std::string temp_name = (parent / (out.filename().string() + ".partial-XXXXXX")).string();
    if (!mkdtemp(temp_name.data())) {
        return fail(kBadInput, "cannot create the folder " + out.string() + ": " + std::strerror(errno));
    }
    const fs::path temp(temp_name);
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ec;
            if (!path.empty()) fs::remove_all(path, ec);
        }
    } cleanup{temp};

    int total = 0;
    for (const auto& st : *steps) total += st.kind == RouteStep::kPosition;
    ProgressBar bar(total);
    std::vector<q7host::Image> frames;
    std::vector<std::string> captions;
    std::vector<nlohmann::json> lines;
    int n = 0;
    for (const RouteStep& step : *steps) {
        if (step.kind == RouteStep::kPress) {
            if (int st = apply(s, step.action)) return st;
            continue;
        }
        s.place(step.aircraft);
        const Frame f = s.frame();
        if (int st = check_module(s)) return st;
        ++n;
        char name[32];
        std::snprintf(name, sizeof name, "frame-%03d.png", n);
        const q7host::Image big = f.image.scaled(o.scale);
        if (!q7host::write_png((temp / name).string(), big, error)) return fail(kBadInput, error);
        frames.push_back(big);
        char caption[96];
        std::snprintf(caption, sizeof caption, "%d  %s  %s nm  hdg %g", n, trimmed(f.ident).c_str(),
                      trimmed(f.distance).c_str(), f.aircraft.heading);
        captions.push_back(caption);
        if (o.json) {
            auto j = frame_json(f);
            j["frame"] = n;
            j["line"] = step.line;
            j["png"] = (out / name).string();
            lines.push_back(std::move(j));
        } else if (!isatty(STDOUT_FILENO)) {
            std::cout << "frame " << n << " (line " << step.line << "): " << trimmed(f.ident) << " "
                      << trimmed(f.number) << ", " << trimmed(f.distance) << " nm, dot "
                      << f.dot.x << " " << f.dot.y << "\n";
        }
        bar.update(n);
    }

    const q7host::Image sheet = contact_sheet(frames, captions, s.renderer().painter());
    const bool sheet_inside = !o.png;
    if (sheet_inside && !q7host::write_png((temp / "sheet.png").string(), sheet, error)) {
        return fail(kBadInput, error);
    }
    if (std::string why = check_replaceable(out); !why.empty()) return fail(kBadInput, why);
    std::error_code ec;
    fs::remove_all(out, ec);
    fs::rename(temp, out, ec);
    if (ec) return fail(kBadInput, "cannot create the folder " + out.string() + ": " + ec.message());
    cleanup.path.clear();
    if (!sheet_inside && !q7host::write_png(sheet_path.string(), sheet, error)) {
        return fail(kBadInput, error);
    }

    for (const auto& j : lines) std::cout << j.dump() << "\n";
    if (!o.json) {
        std::cout << "wrote " << n << " frames to " << out.string() << "/ and the contact sheet "
                  << sheet_path.string() << "\n";
    }
    return kDone;
}

int run_window_mode(const Options& o) {
    Session s;
    if (int st = start_scene(s, o)) return st;
    std::string error;
    if (!run_window(s, o.scale, std::cout, error)) return fail(kFailed, error);
    return kDone;
}

}  // namespace

int main(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-view");
    std::string error;
    const auto options = parse_arguments(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) return fail(kBadInput, error + " (see --help)");
    if (options->help) {
        std::cout << usage();
        return kDone;
    }
    if (options->route) return run_route(*options);
    if (options->window) return run_window_mode(*options);
    return run_single(*options);
}
