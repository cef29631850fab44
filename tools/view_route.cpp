#include "tools/view_route.h"

#include "tools/text_escape.h"
#include "tools/view_output.h"
#include "tools/view_session.h"
#include "tools/view_report.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace q7view {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A position line's fields, each trimmed; a trailing comma makes an empty one.
std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, ',')) out.push_back(trim(part));
    if (!line.empty() && line.back() == ',') out.push_back("");
    return out;
}

// A folder may be replaced only when it holds nothing but an earlier route's
// frames and sheet.
std::string check_replaceable(const fs::path& dir) {
    static const std::regex ours(R"(frame-\d+\.png|sheet(-\d+)?\.png)");
    std::error_code ec;
    if (!fs::exists(dir, ec)) return {};
    if (!fs::is_directory(dir, ec)) return dir.string() + " exists and is not a folder";
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file() || !std::regex_match(entry.path().filename().string(), ours)) {
            return dir.string() + " holds other files than route frames; choose another --out";
        }
    }
    if (ec) return "cannot read " + dir.string() + ": " + ec.message();
    return {};
}

// On a terminal, how many of the route's frames are done.
class ProgressBar {
public:
    explicit ProgressBar(int total) : total_(total), shown_(isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)) {}
    void update(int done) {
        if (!shown_) return;
        constexpr int kWidth = 30;
        const int filled = total_ ? done * kWidth / total_ : kWidth;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << done << "/"
                  << total_ << std::flush;
        if (done == total_) std::cerr << "\n";
    }

private:
    int total_;
    bool shown_;
};

// Reads and checks a route completely before anything is loaded or drawn.
std::optional<std::vector<RouteStep>> read_route(const Options& o, std::string& error) {
    const std::string& name = *o.route;
    std::error_code ec;
    const auto status = fs::status(name, ec);
    if (ec || !fs::is_regular_file(status)) {
        error = "cannot read route " + name + ": " + (ec ? ec.message() : std::string("not a regular file"));
        return std::nullopt;
    }
    if (fs::file_size(name, ec) > kMaxRouteBytes) {
        error = "route " + name + " is longer than " + std::to_string(kMaxRouteBytes) + " bytes";
        return std::nullopt;
    }
    std::ifstream in(name);
    if (!in) {
        error = "cannot read route " + name + ": " + std::strerror(errno);
        return std::nullopt;
    }
    auto steps = parse_route(in, name, error);
    if (!steps) return std::nullopt;
    std::vector<Action> presses = o.actions;
    for (const RouteStep& st : *steps) {
        if (st.kind == RouteStep::kPress) presses.push_back(st.action);
    }
    if (const long n = presses_of(presses); n > kMaxPresses) {
        error = name + ": " + std::to_string(n) + " button presses in all; at most " + std::to_string(kMaxPresses) +
                " in one run";
        return std::nullopt;
    }
    return steps;
}

}  // namespace

std::optional<std::vector<RouteStep>> parse_route(std::istream& in, const std::string& name, std::string& error) {
    std::vector<RouteStep> steps;
    int number = 0, positions = 0;
    std::string where;
    auto fail = [&](const std::string& why) -> std::optional<std::vector<RouteStep>> {
        error = where + why;
        return std::nullopt;
    };
    for (std::string raw; std::getline(in, raw);) {
        ++number;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const bool first = where.empty();
        where = name + ":" + std::to_string(number) + ": ";
        RouteStep step;
        step.kind = RouteStep::kPress;
        step.line = number;
        std::istringstream words(line);
        std::string word, rest;
        words >> word;
        const std::string keyword = lower(word);
        if (keyword == "next" || keyword == "prev") {
            step.action = {keyword == "next" ? Action::kNext : Action::kPrevious};
            if (std::string count, extra; words >> count) {
                const auto n = parse_count(count);
                if (!n || (words >> extra))
                    return fail("'" + line + "': expected " + keyword + " or " + keyword + " N");
                step.action.count = *n;
            }
            steps.push_back(step);
            continue;
        }
        if (keyword == "click") {
            std::getline(words, rest);
            const auto a = parse_click(rest);
            if (!a) return fail("'" + line + "': expected click X,Y in whole pixels");
            step.action = *a;
            steps.push_back(step);
            continue;
        }
        const auto fields = fields_of(line);
        if (first && fields.size() == 3 && (lower(fields[0]) == "lat" || lower(fields[0]) == "latitude")) {
            continue;  // column names
        }
        std::optional<double> lat, lon, heading;
        if (fields.size() == 3) {
            lat = parse_number(fields[0]);
            lon = parse_number(fields[1]);
            heading = parse_number(fields[2]);
        }
        if (!lat || !lon || !heading) {
            return fail("malformed line '" + line +
                        "': expected latitude,longitude,heading, next [N], prev [N] or click X,Y");
        }
        if (std::string why = check_latitude(*lat); !why.empty()) return fail(why);
        if (std::string why = check_longitude(*lon); !why.empty()) return fail(why);
        if (++positions > kMaxRouteFrames) {
            return fail("more than " + std::to_string(kMaxRouteFrames) +
                        " positions; at most that many frames in one route");
        }
        step.kind = RouteStep::kPosition;
        step.aircraft = {*lat, *lon, *heading};
        steps.push_back(step);
    }
    where = name + ": ";
    if (in.bad()) return fail("read error");
    if (positions == 0) return fail("no position lines (latitude,longitude,heading)");
    return steps;
}

int run_route(const Options& o) {
    using q7tools::readable;
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
    if (int st = open_module(s, o)) return st;
    if (int st = check_size(s, o.scale)) return st;
    auto sheet = ContactSheet::plan(s.renderer().width() * o.scale, s.renderer().height() * o.scale, total, sheet_path,
                                    s.renderer().painter(), error);
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
    const std::string interrupted = "interrupted; " + out.string() + " is as it was";
    ProgressBar bar(total);
    std::vector<std::string> lines;
    int n = 0;
    fs::path page_file;
    for (const RouteStep& step : *steps) {
        if (InterruptGuard::interrupted()) return fail(kInterrupted, interrupted);
        if (step.kind == RouteStep::kPress) {
            if (int st = apply(s, step.action)) return st;
            continue;
        }
        s.place(step.aircraft);
        const Frame f = s.frame();
        if (int st = check_module(s)) return st;
        const q7host::FrameReadout& r = f.readout;
        ++n;
        char name[32];
        std::snprintf(name, sizeof name, "frame-%03d.png", n);
        if (!q7host::write_png(output->inside(name).string(), f.image, error, o.scale)) return fail(kBadInput, error);
        char caption[160];
        std::snprintf(caption, sizeof caption, "%d  %s  %s nm  hdg %g", n, readable(trimmed(r.ident.text)).c_str(),
                      readable(trimmed(r.distance.text)).c_str(), f.aircraft.heading);
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
            std::cout << "frame " << n << " (line " << step.line << "): " << readable(trimmed(r.ident.text)) << " "
                      << readable(trimmed(r.number.text)) << ", " << readable(trimmed(r.distance.text)) << " nm, dot "
                      << r.dot.x << " " << r.dot.y << "\n";
        }
        bar.update(n);
    }
    if (InterruptGuard::interrupted()) return fail(kInterrupted, interrupted);
    if (!output->commit(check_replaceable, error)) return fail(kBadInput, error);

    for (const auto& line : lines) std::cout << line << "\n";
    if (!o.json) {
        std::cout << "wrote " << n << " frames to " << readable(out.string()) << "/ and the contact sheet ";
        if (sheet->pages().size() == 1) {
            std::cout << readable(sheet_path.string()) << "\n";
        } else {
            std::cout << "in " << sheet->pages().size() << " pages, " << readable(sheet->pages().front().string())
                      << " to " << readable(sheet->pages().back().string()) << "\n";
        }
        for (const q7host::Warning& w : s.host().warnings()) std::cout << "warning " << readable(w.sentence()) << "\n";
    }
    return kDone;
}

}  // namespace q7view
