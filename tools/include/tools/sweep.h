// The hostile-value sweep: frame after frame of the gauge driven by the
// reference host with simulation variables drawn from ordinary positions
// around the waypoints and from everything a broken or hostile host could hand
// over (NaNs, infinities, huge and denormal numbers, latitudes beyond the poles,
// longitudes many turns away, absurd headings), arbitrary doubles left in the
// selection slot, clicks and reinstalls in between. Every frame is checked:
// nothing the host saw at the boundary, guard bytes intact, every text within
// its box, the dot finite and on or inside its circle, and everything shown
// equal to an independent re-computation.
#pragma once

#include "host/gauge_host.h"

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace q7sweep {

using q7host::Addr;

// What a frame or a click can get wrong. Host-level problems are split by
// their kind, so that a report says which machine-level rule broke.
enum class Check {
    Stack,      // a call left the stack unbalanced
    Registers,  // a call did not preserve ebx, esi, edi, ebp
    Crash,      // a call faulted, trapped or never returned
    Host,       // any other boundary problem the host reported
    Guard,      // a guard byte after a text buffer was overwritten
    Length,     // a text longer than its box's max_chars
    Offset,     // the dot not finite, or farther than its radius from rest
    TextForm,   // a text that is not a possible readout
    Reference,  // a value that differs from the independent re-computation
    Services,   // host services called other than the callbacks should
    Click,      // a click that stepped the selection wrongly
    Structure,  // the frame did not show one dot and three texts
};
inline constexpr std::size_t kCheckCount = 12;
const char* check_name(Check c);

struct Problem {
    Check check;
    std::string what;
};

// One text box after its callback ran.
struct TextState {
    std::string text;
    std::uint32_t max_chars = 0;  // from the element record
    bool guards_intact = true;
    double result = 0.0;
    // The host called the callback with text_buffer null: nothing may be
    // written, so the host's buffer must still hold `before`.
    bool null_buffer = false;
    std::string before;
};

// What the checker needs to judge one frame: its inputs and everything the
// host saw while it ran the two pointer callbacks and the three text callbacks.
struct FrameState {
    double latitude = 0.0, longitude = 0.0, heading = 0.0;  // host units
    double selection = 0.0;  // the selection slot before the frame
    int dots = 0;
    double dot_x = 0.0, dot_y = 0.0;         // callback values
    double screen_x = 0.0, screen_y = 0.0;   // where the host drew the dot
    int texts = 0;
    TextState distance, ident, number;
    std::vector<q7host::Problem> host_violations;
    // Service calls during the frame: position and, for the variable refresh,
    // the variable id of the record it was handed.
    std::vector<std::pair<unsigned, std::uint32_t>> services;
};

// Judges one frame; empty when everything holds.
std::vector<Problem> check_frame(const FrameState& f);

// The host's problems sorted into checks.
Check classify_host_problem(const q7host::Problem& problem);

// Sources of host values, from one deterministic seed.
class HostileValues {
public:
    explicit HostileValues(std::uint64_t seed) : rng_(seed) {}
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng_); }
    int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    std::uint64_t bits() { return rng_(); }

    // A value no sane host sends: NaNs of every kind, infinities, the largest
    // and smallest doubles, denormals, signed zeros, random bit patterns.
    double special();
    // Host values for a frame; `hostile` picks the hostile families.
    double latitude(int near_row, bool hostile);
    double longitude(int near_row, bool hostile);
    double heading(bool hostile);
    // What a misbehaving host might leave in the selection slot.
    double selection_garbage();

private:
    std::mt19937_64 rng_;
};

// Families of hostile input the report counts.
enum class Family {
    NaN,
    Infinity,
    Huge,          // finite, magnitude 1e300 or more
    Denormal,
    Zero,
    BeyondPoles,   // a finite latitude beyond 90 degrees either way
    TurnsWest,     // an aircraft longitude two or more turns west
    TurnsEast,     // two or more turns east
    WildHeading,   // a finite heading of magnitude 1e9 or more
    NoRow,         // a selection index that matches no row
};
inline constexpr std::size_t kCoverageCount = 10;
const char* family_name(Family f);
inline constexpr std::uint64_t kCoverageMinFrames = 10000;

// The frames go in chunks of kChunkFrames, each from its own seed (the
// first chunk's is the run's seed) in a host of its own, so that several
// threads can share a run and it sends the same values however many there are.
inline constexpr std::uint64_t kChunkFrames = 50'000;

struct Options {
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

struct Report {
    std::uint64_t frames = 0;
    std::uint64_t hostile_frames = 0;    // at least one hostile host value
    std::uint64_t garbage_frames = 0;    // run with a garbage selection slot
    std::uint64_t clicks = 0;            // through the host's hit-testing
    std::uint64_t handler_calls = 0;     // handlers called directly with odd arguments
    std::uint64_t reinstalls = 0;
    std::uint64_t null_buffer_calls = 0;  // text callbacks run with text_buffer null
    std::uint64_t module_calls = 0;      // calls into the module, all checked
    // How often each hostile family actually reached the module, counted from
    // the values sent rather than from what the generator meant to send.
    std::array<std::uint64_t, kCoverageCount> coverage{};
    std::array<std::uint64_t, kCheckCount> failures{};
    std::vector<std::string> first_failures;  // the first few, with their inputs
    std::string load_error;
    double seconds = 0.0;

    std::uint64_t failure_count() const;
    std::uint64_t count(Check c) const { return failures[static_cast<std::size_t>(c)]; }
    // A run long enough to claim it must have sent every family at least once.
    bool coverage_complete() const;
    // A run passes when it checked at least one frame and found nothing.
    bool ok() const { return load_error.empty() && frames > 0 && failure_count() == 0 && coverage_complete(); }
};

Report run(const Options& options);
std::string describe(const Report& r);

}  // namespace q7sweep
