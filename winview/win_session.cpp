#include "win_session.h"

#include "win_text.h"

#include <windows.h>

namespace q7win {

using q7view::fail;
using q7view::kBadInput;
using q7view::kDone;

q7view::FrameReport WinSession::frame() {
    q7view::FrameReport f = report();
    painter_.draw(f.readout);
    if (const q7host::DotReadout& dot = f.readout.dot; dot.element) {
        const GdiPainter::Picture* bitmap = painter_.bitmap(gauge_.instrument().dot.bitmap_id());
        f.dot_centre_x = dot.left + (bitmap ? bitmap->width / 2 : 0);
        f.dot_centre_y = dot.top + (bitmap ? bitmap->height / 2 : 0);
    }
    return f;
}

std::string default_module() {
    std::wstring exe(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
        if (n < exe.size()) {
            exe.resize(n);
            break;
        }
        exe.resize(exe.size() * 2);
    }
    const auto slash = exe.find_last_of(L"\\/");
    return narrow(exe.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + L"quorlan7.gau");
}

int open_module(WinSession& s, const q7view::Options& o) {
    const std::string module = o.module.empty() ? default_module() : o.module;
    return q7view::open_step(s, module);
}

int check_size(WinSession& s, int scale) {
    const std::string why = q7view::check_picture_size(s.painter().width(), s.painter().height(), scale);
    return why.empty() ? kDone : fail(kBadInput, why);
}

int start_scene(WinSession& s, const q7view::Options& o) {
    if (int st = open_module(s, o)) return st;
    return q7view::set_scene(s, o);
}

}  // namespace q7win
