#include "tools/view_session.h"

#include "tools/text_escape.h"
#include "tools/view_output.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

namespace q7view {

Frame Session::frame() {
    Frame f;
    static_cast<FrameReport&>(f) = report();
    f.image = renderer_.draw(f.readout);
    if (const q7host::DotReadout& dot = f.readout.dot; dot.element) {
        const q7host::Image* bitmap = renderer_.bitmap(host_.instrument().dot.bitmap_id());
        f.dot_centre_x = dot.left + (bitmap ? bitmap->width() / 2 : 0);
        f.dot_centre_y = dot.top + (bitmap ? bitmap->height() / 2 : 0);
    }
    return f;
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
    return open_step(s, module);
}

int check_size(Session& s, int scale) {
    const std::string why = check_picture_size(s.renderer().width(), s.renderer().height(), scale);
    return why.empty() ? kDone : fail(kBadInput, why);
}

int start_scene(Session& s, const Options& o) {
    if (int st = open_module(s, o)) return st;
    return set_scene(s, o);
}

}  // namespace q7view
