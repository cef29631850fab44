// quorlan7_sweep: runs the hostile-value sweep against a module file and exits
// non-zero on the first sign of trouble.
//
//   quorlan7_sweep [--frames N] [--seed S] [--module FILE] [--reports N]
//
// The default is the full run of 1,000,000 frames on the built quorlan7.gau.
#include "sweep.h"
#include "version/program_version.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr, "usage: quorlan7_sweep [--frames N] [--seed S] [--module FILE] [--reports N] | --version\n");
    return 2;
}

bool number(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    out = std::strtoull(text, &end, 0);
    return end && *end == '\0' && end != text;
}

}  // namespace

int main(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7_sweep");
    q7sweep::Options o;
    o.module = Q7_MODULE_FILE;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        std::uint64_t n = 0;
        if (arg == "--frames" && number(value, n)) {
            o.frames = n;
        } else if (arg == "--seed" && number(value, n)) {
            o.seed = n;
        } else if (arg == "--reports" && number(value, n)) {
            o.max_reports = n;
        } else if (arg == "--module") {
            o.module = value;
        } else {
            return usage();
        }
    }
    std::printf("hostile-value sweep of %s, seed 0x%llx\n", o.module.c_str(),
                static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    const q7sweep::Report r = q7sweep::run(o);
    std::fputs(q7sweep::describe(r).c_str(), stdout);
    std::puts(r.ok() ? "PASS" : "FAIL");
    return r.ok() ? 0 : 1;
}
