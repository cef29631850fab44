// One loaded and installed copy of the gauge as the viewer drives it: the
// aircraft's position, presses of the gauge's buttons through the host's hit
// testing, and rendered frames with everything the gauge showed.
#pragma once

#include "host/gauge_host.h"
#include "host/renderer.h"
#include "tools/view_options.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace q7view {

// A click box of the mouse list the gauge registered, in gauge pixels.
using ClickBox = q7host::ClickArea;

struct ClickRecord {
    int x = 0, y = 0;
    bool hit = false;  // the point was inside a click box and its handler ran
    std::vector<q7host::ServiceCall> calls;
};

// Everything one frame showed.
struct Frame {
    Aircraft aircraft;
    q7host::FrameReadout readout;
    q7host::Image image;  // gauge pixels, not enlarged
    // The text boxes in list order are the distance, the identifier and the
    // waypoint number; texts as the module wrote them.
    std::string distance, ident, number;
    double selection = 0.0;  // the identifier callback's result: the selection index
    double number_value = 0.0;
    q7host::DotReadout dot;
    int dot_left = 0, dot_top = 0;        // where the dot's bitmap was drawn
    int dot_centre_x = 0, dot_centre_y = 0;
    std::vector<q7host::ServiceCall> calls;  // host services called while drawing
    std::vector<std::uint32_t> refreshed;    // per call: the variable a refresh asked for
    std::vector<ClickRecord> clicks;         // presses since the previous frame
    std::vector<std::string> warnings;       // what is odd about the module but loads, as sentences
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

    // Selects the waypoint `ident` with the right arrow and then puts the
    // aircraft exactly on it, found from the dot's direction alone (see
    // view_session.cpp). Keeps the aircraft's heading.
    bool sit_on(const std::string& ident, std::string& error);

    Frame frame();
    std::string current_ident();

    std::vector<ClickBox> click_boxes() const;
    q7host::GaugeHost& host() { return host_; }
    q7host::Renderer& renderer() { return renderer_; }

private:
    // Dot callback values with the aircraft at a position, heading north.
    std::pair<double, double> probe(double latitude, double longitude);

    q7host::GaugeHost host_;
    q7host::Renderer renderer_{host_};
    Aircraft aircraft_;
    std::vector<ClickRecord> pending_clicks_;
    bool misbehaved_ = false;
};

// Readout texts without their padding: "  12" -> "12".
std::string trimmed(const std::string& text);

// Module texts in it are json_text (one character per byte).
nlohmann::json frame_json(const Frame& frame);
// The JSON as ASCII text: module bytes above 0x7E as \u00NN escapes.
std::string json_dump(const nlohmann::json& j, int indent = -1);
// A few lines for a person: waypoint, distance, dot, aircraft, then a line per
// warning; module texts readable (unprintable bytes as \xHH).
std::string frame_summary(const Frame& frame);

}  // namespace q7view
