// One loaded and installed copy of the gauge as the viewer drives it: the
// aircraft's position, presses of the gauge's buttons through the host's hit
// testing, rendered frames with everything the gauge showed, and the steps a
// run of the viewer is made of, each ending the run with its exit status.
#pragma once

#include "host/gauge_host.h"
#include "host/renderer.h"
#include "tools/view_options.h"

#include <string>
#include <vector>

namespace q7view {

struct ClickRecord {
    int x = 0, y = 0;
    bool hit = false;  // the point was inside a click box and its handler ran
    std::vector<q7host::ServiceCall> calls;
};

// Everything one frame showed.
struct Frame {
    Aircraft aircraft;
    q7host::FrameReadout readout;            // texts as the module wrote them, the selection, the dot, the calls
    q7host::Image image;                     // gauge pixels, not enlarged
    int dot_centre_x = 0, dot_centre_y = 0;  // the middle of the dot's bitmap where it was placed
    std::vector<ClickRecord> clicks;         // presses since the previous frame
    std::vector<std::string> warnings;       // what is odd about the module but loads, as sentences
    std::string output;                      // what the module printed to its standard output and error
    bool output_truncated = false;           // more than the host keeps
};

class Session {
public:
    // Loads the module, runs GaugeInstall and reads the element tree. Errors
    // name the file.
    bool open(const std::string& module_path, std::string& error);
    // After a failed open: whether the module misbehaved (its entry routine
    // or GaugeInstall went wrong) rather than the file being unusable.
    bool module_misbehaved() const { return misbehaved_; }

    void place(const Aircraft& aircraft);
    const Aircraft& aircraft() const { return aircraft_; }

    // A click at a gauge pixel through the host's hit testing of the
    // registered mouse list; returns whether a button took it.
    bool click(int x, int y);
    // Next/previous press the rightmost/leftmost click box at its centre.
    bool press(const Action& action, std::string& error);
    // The presses made so far are not reported with the next frame.
    void forget_clicks() { pending_clicks_.clear(); }

    Frame frame();

    q7host::GaugeHost& host() { return host_; }
    q7host::Renderer& renderer() { return renderer_; }

private:
    q7host::GaugeHost host_;
    q7host::Renderer renderer_{host_};
    Aircraft aircraft_;
    std::vector<ClickRecord> pending_clicks_;
    bool misbehaved_ = false;
};

// Selects the waypoint `ident` with the right arrow and then puts the
// aircraft exactly on it, found from the dot's direction alone (see
// view_search.cpp). Keeps the aircraft's heading.
bool sit_on(Session& session, const std::string& ident, std::string& error);

// Readout texts without their padding: "  12" -> "12".
std::string trimmed(const std::string& text);

// The viewer's exit statuses.
// kHostLimit: the module called a Windows function this host does not model.
inline constexpr int kDone = 0, kFailed = 1, kBadInput = 2, kHostLimit = 3, kInterrupted = 130;  // 128 + SIGINT

// Steps of a run: each returns kDone to go on, or the status to stop with
// after one line on standard error.
int fail(int status, const std::string& message);
int open_module(Session& s, const Options& o);  // --module, or the module beside the viewer
int check_module(Session& s);                   // status 1 once the module did something wrong
int apply(Session& s, const Action& a);
int check_size(Session& s, int scale);  // the enlarged gauge fits in a picture
// Opens the module and sets up the scene the options ask for: the aircraft,
// then --at, then the presses in order.
int start_scene(Session& s, const Options& o);

}  // namespace q7view
