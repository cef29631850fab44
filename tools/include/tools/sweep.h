// The hostile-value sweep: frame after frame of the gauge driven by the reference host with
// simulation variables from tools/sweep_values.h, garbage left in the selection slot, text
// callbacks run without a buffer, clicks, direct handler calls and reinstalls in between, each
// judged by tools/sweep_checker.h; the run in chunks shared by threads, and its report.
#pragma once

#include "tools/sweep_checker.h"
#include "tools/sweep_values.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace q7sweep {

inline constexpr std::uint64_t kCoverageMinFrames = 10000;

// The frames go in chunks of kChunkFrames, each from its own seed (the
// first chunk's is the run's seed) in a host of its own, so that several
// threads can share a run and it sends the same values however many there are.
inline constexpr std::uint64_t kChunkFrames = 50'000;

struct SweepSettings {
    std::uint64_t frames = 1'000'000;
    std::uint64_t seed = 0x51A7E0D1C0FFEEull;
    unsigned jobs = 0;  // threads; 0: one per processor
    std::string module;
    std::size_t max_reports = 20;
    // Fault injection for proving the checks: run on the loaded module before
    // and after the gauge is installed.
    std::function<void(q7host::GaugeHost&)> before_install;
    std::function<void(q7host::GaugeHost&)> after_install;
};

struct SweepReport {
    std::uint64_t frames = 0;
    std::uint64_t hostile_frames = 0;  // at least one hostile host value
    std::uint64_t garbage_frames = 0;  // run with a garbage selection slot
    std::uint64_t clicks = 0;          // through the host's hit-testing
    std::uint64_t handler_calls = 0;   // handlers called directly with odd arguments
    std::uint64_t reinstalls = 0;
    std::uint64_t null_buffer_calls = 0;  // text callbacks run with text_buffer null
    std::uint64_t module_calls = 0;       // calls into the module, all checked
    // How often each hostile family actually reached the module.
    FamilyCounts coverage{};
    std::array<std::uint64_t, kRuleCount> findings{};
    std::vector<std::string> first_findings;  // the first few, with their inputs
    std::string load_error;
    double seconds = 0.0;

    std::uint64_t finding_count() const;
    std::uint64_t count(Rule r) const { return findings[static_cast<std::size_t>(r)]; }
    // A run long enough to claim it must have sent every family at least once.
    bool coverage_complete() const;
    // A run passes when it checked at least one frame and found nothing.
    bool ok() const { return load_error.empty() && frames > 0 && finding_count() == 0 && coverage_complete(); }
};

SweepReport run_sweep(const SweepSettings& settings);
std::string describe(const SweepReport& r);

}  // namespace q7sweep
