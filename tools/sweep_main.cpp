// quorlan7-sweep: runs the hostile-value sweep against a module file and exits
// non-zero on the first sign of trouble.
//
//   quorlan7-sweep [--frames N] [--seed S] [--module FILE] [--reports N]
//
// The default is the full run of 1,000,000 frames on the built quorlan7.gau.
#include "tools/guarded_main.h"
#include "tools/sweep.h"
#include "version/program_version.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-sweep");
    q7sweep::SweepSettings o;
    o.module = Q7_MODULE_FILE;
    CLI::App app{"The hostile-value sweep: frame after frame of the gauge with hostile host values, each checked."};
    app.add_option("--frames", o.frames, "frames to run (a run of 0 frames checks nothing and fails)")
        ->capture_default_str();
    app.add_option("--seed", o.seed, "seed of the value generator")->capture_default_str();
    app.add_option("--module", o.module, "the module file")->capture_default_str();
    app.add_option("--reports", o.max_reports, "how many failures to describe")->capture_default_str();
    app.add_option("--jobs", o.jobs,
                   "threads to share the run (0: one per processor); the values sent do not "
                   "depend on it")
        ->capture_default_str();
    app.add_flag("--version")->description("print the program's name and version");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    std::printf("hostile-value sweep of %s, seed 0x%llx\n", o.module.c_str(), static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    const q7sweep::SweepReport r = q7sweep::run_sweep(o);
    std::fputs(q7sweep::describe(r).c_str(), stdout);
    std::puts(r.ok() ? "PASS" : "FAIL");
    return r.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-sweep", run, argc, argv); }
