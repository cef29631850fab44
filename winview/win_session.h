// One loaded and installed copy of the gauge as quorlan7-view.exe drives it:
// the viewer's scene (tools/view_scene.h, the same as quorlan7-view's) over
// the module LoadLibrary loaded, with frames painted by GDI, and the steps of
// a run that open the module and check the picture's size.
#pragma once

#include "tools/view_options.h"
#include "tools/view_scene.h"
#include "win_gauge.h"
#include "win_painter.h"

#include <string>

namespace q7win {

class WinSession : public q7view::Scene<WinGauge> {
public:
    WinSession() : Scene(gauge_) {}

    // Loads the module, runs GaugeInstall and prepares the painter (Scene::open).
    bool open(const std::string& module_path, std::string& error) { return Scene::open(module_path, painter_, error); }

    // A frame's readout, painted into the painter's canvas.
    q7view::FrameReport frame();

    GdiPainter& painter() { return painter_; }

private:
    WinGauge gauge_;
    GdiPainter painter_{gauge_};
};

// The module beside the program, as a release's folder and a build lay them out.
std::string default_module();
int open_module(WinSession& s, const q7view::Options& o);
int check_size(WinSession& s, int scale);
// Opens the module and sets up the scene the options ask for: the aircraft,
// then --at, then the presses in order.
int start_scene(WinSession& s, const q7view::Options& o);

}  // namespace q7win
