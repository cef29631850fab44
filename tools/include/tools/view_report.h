// What the viewer tells of a frame: a JSON object (module texts one
// character per byte, the whole ASCII) or a few lines for a person.
#pragma once

#include "tools/view_scene.h"

#include <nlohmann/json.hpp>

#include <string>

namespace q7view {

nlohmann::json frame_json(const FrameReport& frame);
// The JSON as ASCII text: module bytes above 0x7E as \u00NN escapes.
std::string json_dump(const nlohmann::json& j, int indent = -1);
// Waypoint, distance, dot, aircraft, then a line per warning; module texts
// readable (unprintable bytes as \xHH).
std::string frame_summary(const FrameReport& frame);

}  // namespace q7view
