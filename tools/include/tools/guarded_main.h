// Every program's main: whatever escapes the program's own handling (a fault
// in the host or the tool itself, memory running out) ends the run with one
// line on standard error and status 1, never with an abort.
#pragma once

namespace q7tools {

int guarded_main(const char* program, int (*run)(int, char**), int argc, char** argv);

}  // namespace q7tools
