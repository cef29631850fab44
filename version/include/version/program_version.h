// The --version option every quorlan7 program has.
#pragma once

#include <string_view>

namespace q7 {

// The project's version text, "MAJOR.MINOR.PATCH".
std::string_view version();

// True when the program was started with --version as its only argument.
bool version_requested(int argc, char** argv);

// Prints "PROGRAM VERSION" on standard output and returns the exit status:
// 0, or 1 when standard output cannot be written.
int print_version(std::string_view program);

}  // namespace q7
