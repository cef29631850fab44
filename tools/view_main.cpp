// quorlan7-view: shows the gauge as a panel host draws it, as PNG pictures,
// JSON readouts, a route's frames and contact sheet, or a live window.
#include "tools/guarded_main.h"
#include "tools/text_escape.h"
#include "tools/view_options.h"
#include "tools/view_output.h"
#include "tools/view_route.h"
#include "tools/view_session.h"
#include "version/program_version.h"
#include "tools/view_report.h"
#include "view_window.h"

#include <iostream>

using namespace q7view;

namespace {

// One frame of the scene: a picture, a summary or JSON.
int run_single(const Options& o) {
    // Without --json the picture goes to preview.png unless named.
    const auto png = o.png ? o.png : o.json ? std::nullopt : std::optional<std::string>("preview.png");
    if (png) {
        if (std::string why = check_output_file(*png); !why.empty()) return fail(kBadInput, why);
    }
    Session s;
    if (int st = start_scene(s, o)) return st;
    if (int st = check_size(s, o.scale)) return st;
    const Frame f = s.frame();
    if (int st = check_module(s)) return st;

    std::string error;
    if (png && !q7host::write_png(*png, f.image, error, o.scale)) return fail(kBadInput, error);
    if (o.json) {
        auto j = frame_json(f);
        if (png) j["png"] = q7tools::json_text(*png);
        std::cout << json_dump(j, 2) << "\n";
    } else {
        std::cout << frame_summary(f) << "wrote     " << q7tools::readable(*png) << " (" << f.image.width() * o.scale
                  << " x " << f.image.height() * o.scale << ", " << o.scale << "x)\n";
    }
    return kDone;
}

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-view");
    std::string error;
    const auto options = parse_arguments({argv + 1, argv + argc}, error);
    if (!options) return fail(kBadInput, error + " (see --help)");
    if (options->help) {
        std::cout << usage();
        return kDone;
    }
    if (options->route) return run_route(*options);
    if (options->window) return run_window(*options);
    return run_single(*options);
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-view", run, argc, argv); }
