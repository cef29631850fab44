// Runs the viewer once per case, a few at a time, each under a wall-time and
// resident-memory limit, and judges what it did: its exit status, its
// standard error (at most one line, no sanitizer report) and, when it
// succeeds, that it printed JSON.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace q7fuzz {

struct Case {
    std::string label;
    std::string module;  // the path handed to --module
    int expect = -1;     // the exit status it must give; -1: any of 0, 1, 2
    int picture_scale = 0;
    // Makes the module file just before the run (random mutants are written
    // only when their turn comes); may be empty.
    std::function<void()> prepare;
};

struct Limits {
    std::chrono::milliseconds wall{5000};
    std::uint64_t rss_kib = 512 * 1024;
};

struct Outcome {
    const Case* c = nullptr;
    int status = -1;  // exit status, or -1 when killed by a signal
    int signal = 0;
    bool timed_out = false, over_memory = false;
    double seconds = 0.0;
    std::uint64_t peak_rss_kib = 0;
    std::string stderr_text;
    bool stdout_is_json = false;
    std::vector<std::string> failures;  // empty when the case passed
};

struct ReplayOptions {
    std::string viewer;
    std::string work;  // folder for pictures and the cases' files
    unsigned jobs = 2;
    Limits limits;
};

// The viewer's arguments for one case.
std::vector<std::string> viewer_arguments(const ReplayOptions& o, const Case& c, unsigned slot);

// Runs every case; `done` is told of each outcome as it comes in.
std::vector<Outcome> replay(const std::vector<Case>& cases, const ReplayOptions& o,
                            const std::function<void(const Outcome&)>& done = {});

}  // namespace q7fuzz
