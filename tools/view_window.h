// --window: the gauge enlarged in an X11 window, redrawn many times a second
// as a panel host redraws it, with the mouse on its buttons and the keyboard
// flying the aircraft.
#pragma once

#include "tools/view_options.h"

namespace q7view {

// Runs until the window is closed or q/Escape is pressed and returns the exit
// status. Writes a readout log to standard output: a line per warning about
// the module, one line when the window is ready (with its X window id) and
// one line whenever a readout, the position or the heading changes.
int run_window(const Options& o);

}  // namespace q7view
