// One loaded and installed copy of the gauge as quorlan7-view drives it on
// the reference host: the scene (tools/view_scene.h) with rendered frames,
// and the steps of a run that open the module and check the picture's size.
#pragma once

#include "host/gauge_host.h"
#include "host/renderer.h"
#include "tools/view_options.h"
#include "tools/view_scene.h"

#include <string>
#include <vector>

namespace q7view {

// Everything one frame showed, with its picture.
struct Frame : FrameReport {
    q7host::Image image;  // gauge pixels, not enlarged
};

class Session : public Scene<q7host::GaugeHost> {
public:
    Session() : Scene(host_) {}

    // Loads the module, runs GaugeInstall and prepares the painter (Scene::open).
    bool open(const std::string& module_path, std::string& error) { return Scene::open(module_path, renderer_, error); }

    Frame frame();

    q7host::Renderer& renderer() { return renderer_; }

private:
    q7host::GaugeHost host_;
    q7host::Renderer renderer_{host_};
};

int open_module(Session& s, const Options& o);  // --module, or the module beside the viewer
int check_size(Session& s, int scale);          // the enlarged gauge fits in a picture
// Opens the module and sets up the scene the options ask for: the aircraft,
// then --at, then the presses in order.
int start_scene(Session& s, const Options& o);

}  // namespace q7view
