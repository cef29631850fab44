#include "version/program_version.h"

#include <cstdio>

#include "quorlan7/version.h"

namespace q7 {

std::string_view version() { return Q7_VERSION_STRING; }

bool version_requested(int argc, char** argv) { return argc == 2 && std::string_view(argv[1]) == "--version"; }

int print_version(std::string_view program) {
    std::printf("%.*s %s\n", static_cast<int>(program.size()), program.data(), Q7_VERSION_STRING);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace q7
