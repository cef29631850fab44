// The interactive window: the gauge enlarged in an X11 window, redrawn many
// times a second as a panel host redraws it, with the mouse on its buttons
// and the keyboard flying the aircraft.
#pragma once

#include "tools/view_session.h"

#include <ostream>
#include <string>

namespace q7view {

// Runs until the window is closed or q/Escape is pressed. Writes a readout
// log to `log`: one line when the window is ready (with its X window id) and
// one line whenever a readout, the position or the heading changes.
// Returns false with `error` set when no display can be opened.
bool run_window(Session& session, int scale, std::ostream& log, std::string& error);

}  // namespace q7view
