// quorlan7-view: shows the gauge as a panel host draws it, as PNG pictures,
// JSON readouts, a route's frames and contact sheet, or a live window.
#include "tools/guarded_main.h"
#include "tools/text_escape.h"
#include "tools/view_options.h"
#include "tools/view_output.h"
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
constexpr int kInterrupted = 128 + SIGINT;

// One line whatever the message carries: paths and the module's own names
// and texts may hold line breaks and bytes no terminal should be sent.
int fail(int status, const std::string& message) {
    std::cerr << "quorlan7-view: " << q7tools::readable(message) << "\n";
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

// Status 1 with the first thing the module did wrong, if it did.
int check_module(Session& s) {
    if (!s.host().violations().empty()) {
        return fail(kFailed, "the module misbehaved: " + s.host().violations().front().sentence());
    }
    return kDone;
}

// Presses buttons; the module's misbehaviour stops the run.
int apply(Session& s, const Action& a) {
    std::string error;
    if (!s.press(a, error)) return fail(kFailed, error);
    return check_module(s);
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
    if (o.at && !s.sit_on(*o.at, error)) {
        if (int st = check_module(s)) return st;
        return fail(kBadInput, error);
    }
    for (const Action& act : o.actions) {
        if (int st = apply(s, act)) return st;
    }
    return kDone;
}

// The gauge enlarged as the options ask fits in a picture.
int check_size(Session& s, const Options& o) {
    const std::string why = check_picture_size(s.renderer().width(), s.renderer().height(), o.scale);
    return why.empty() ? kDone : fail(kBadInput, why);
}

int run_single(const Options& o) {
    // Without --json the picture goes to preview.png unless named.
    const std::optional<std::string> png = o.png ? o.png : (o.json ? std::nullopt : std::optional<std::string>("preview.png"));
    if (png) {
        if (std::string why = check_output_file(*png); !why.empty()) return fail(kBadInput, why);
    }
    Session s;
    if (int st = start_scene(s, o)) return st;
    if (int st = check_size(s, o)) return st;
    const Frame f = s.frame();
    if (int st = check_module(s)) return st;

    if (png) {
        std::string error;
        if (!q7host::write_png(*png, f.image, error, o.scale)) return fail(kBadInput, error);
    }
    if (o.json) {
        auto j = frame_json(f);
        if (png) j["png"] = q7tools::json_text(*png);
        std::cout << json_dump(j, 2) << "\n";
    } else {
        std::cout << frame_summary(f);
        std::cout << "wrote     " << q7tools::readable(*png) << " (" << f.image.width() * o.scale << " x "
                  << f.image.height() * o.scale << ", " << o.scale << "x)\n";
    }
    return kDone;
}

bool is_route_output(const fs::path& p) {
    static const std::regex ours(R"(frame-\d+\.png|sheet(-\d+)?\.png)");
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

// Reads and checks a route completely before anything is loaded or drawn.
std::optional<std::vector<RouteStep>> read_route(const Options& o, std::string& error) {
    std::error_code ec;
    const auto status = fs::status(*o.route, ec);
    if (ec || !fs::is_regular_file(status)) {
        error = "cannot read route " + *o.route + ": " + (ec ? ec.message() : std::string("not a regular file"));
        return std::nullopt;
    }
    if (fs::file_size(*o.route, ec) > kMaxRouteBytes) {
        error = "route " + *o.route + " is longer than " + std::to_string(kMaxRouteBytes) + " bytes";
        return std::nullopt;
    }
    std::ifstream in(*o.route);
    if (!in) {
        error = "cannot read route " + *o.route + ": " + std::strerror(errno);
        return std::nullopt;
    }
    auto steps = parse_route(in, *o.route, error);
    if (!steps) return std::nullopt;
    long presses = 0;
    for (const Action& a : o.actions) presses += presses_of(a);
    for (const RouteStep& st : *steps) {
        if (st.kind == RouteStep::kPress) presses += presses_of(st.action);
    }
    if (presses > kMaxPresses) {
        error = *o.route + ": " + std::to_string(presses) + " button presses in all; at most " +
                std::to_string(kMaxPresses) + " in one run";
        return std::nullopt;
    }
    return steps;
}

int run_route(const Options& o) {
    std::string error;
    const auto steps = read_route(o, error);
    if (!steps) return fail(kBadInput, error);
    int total = 0;
    for (const auto& st : *steps) total += st.kind == RouteStep::kPosition;

    const fs::path out = o.out ? fs::path(*o.out) : fs::path(fs::path(*o.route).stem().string() + "-frames");
    if (std::string why = check_replaceable(out); !why.empty()) return fail(kBadInput, why);
    const fs::path sheet_path = o.png ? fs::path(*o.png) : out / "sheet.png";
    const bool sheet_inside = !o.png;

    Session s;
    if (int st = open_session(s, o)) return st;
    if (int st = check_size(s, o)) return st;
    auto sheet = ContactSheet::plan(s.renderer().width() * o.scale, s.renderer().height() * o.scale, total,
                                    sheet_path, s.renderer().painter(), error);
    if (!sheet) return fail(kBadInput, error);
    if (!sheet_inside) {
        for (const auto& page : sheet->pages()) {
            if (std::string why = check_output_file(page.string()); !why.empty()) return fail(kBadInput, why);
        }
    }
    s.place(default_aircraft());
    for (const Action& act : o.actions) {
        if (int st = apply(s, act)) return st;
    }

    // Everything is written into a fresh folder beside the destination (and
    // pages of a sheet outside it beside theirs), which takes the
    // destination's place only when all of it is there. An interrupt stops
    // between frames and removes what was written so far.
    const InterruptGuard interrupts;
    auto output = RouteOutput::begin(out, error);
    if (!output) return fail(kBadInput, error);
    ProgressBar bar(total);
    std::vector<std::string> lines;
    int n = 0;
    fs::path page_file;
    for (const RouteStep& step : *steps) {
        if (InterruptGuard::interrupted()) return fail(kInterrupted, "interrupted; " + out.string() + " is as it was");
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
        if (!q7host::write_png(output->inside(name).string(), f.image, error, o.scale)) return fail(kBadInput, error);
        char caption[160];
        std::snprintf(caption, sizeof caption, "%d  %s  %s nm  hdg %g", n, q7tools::readable(trimmed(f.ident)).c_str(),
                      q7tools::readable(trimmed(f.distance)).c_str(), f.aircraft.heading);
        if (sheet->starts_page()) {
            const fs::path& page = sheet->pages()[sheet->next_page()];
            page_file = sheet_inside ? output->inside(page.filename().string()) : output->outside(page);
        }
        if (!sheet->add(f.image, o.scale, caption, page_file, error)) return fail(kBadInput, error);
        if (o.json) {
            auto j = frame_json(f);
            j["frame"] = n;
            j["line"] = step.line;
            j["png"] = q7tools::json_text((out / name).string());
            lines.push_back(json_dump(j));
        } else if (!isatty(STDOUT_FILENO)) {
            std::cout << "frame " << n << " (line " << step.line << "): " << q7tools::readable(trimmed(f.ident))
                      << " " << q7tools::readable(trimmed(f.number)) << ", " << q7tools::readable(trimmed(f.distance))
                      << " nm, dot " << f.dot.x << " " << f.dot.y << "\n";
        }
        bar.update(n);
    }
    if (InterruptGuard::interrupted()) return fail(kInterrupted, "interrupted; " + out.string() + " is as it was");
    if (!output->commit(check_replaceable, error)) return fail(kBadInput, error);

    for (const auto& line : lines) std::cout << line << "\n";
    if (!o.json) {
        std::cout << "wrote " << n << " frames to " << q7tools::readable(out.string()) << "/ and the contact sheet ";
        if (sheet->pages().size() == 1) {
            std::cout << q7tools::readable(sheet_path.string()) << "\n";
        } else {
            std::cout << "in " << sheet->pages().size() << " pages, " << q7tools::readable(sheet->pages().front().string())
                      << " to " << q7tools::readable(sheet->pages().back().string()) << "\n";
        }
        for (const q7host::Warning& w : s.host().warnings()) std::cout << "warning " << q7tools::readable(w.sentence()) << "\n";
    }
    return kDone;
}

int run_window_mode(const Options& o) {
    Session s;
    if (int st = start_scene(s, o)) return st;
    if (int st = check_size(s, o)) return st;
    for (const q7host::Warning& w : s.host().warnings()) std::cout << "warning " << q7tools::readable(w.sentence()) << "\n";
    std::string error;
    if (!run_window(s, o.scale, std::cout, error)) return fail(kFailed, error);
    return kDone;
}

int run(int argc, char** argv) {
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

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-view", run, argc, argv); }
