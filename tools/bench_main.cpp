// quorlan7-bench: what the reference host costs, beside a native floor.
//
//   quorlan7-bench [--module FILE] [--rounds N] [--frames N] [--floor-frames N] [--count-frames N] [--loads N]
//
// A frame is what a simulator does each time it redraws the instrument; on
// the reference host it is GaugeHost::frame: the two pointer callbacks of the
// bearing dot and the three text callbacks, each checked. The benchmark
// prints, each beside the native floor of the same run (and in units of it):
//   - the emulated frame, median over rounds in which batches of frames and
//     of the floor alternate, so that both see the machine in the same state;
//     and the median of the rounds' ratios;
//   - the native floor: the same arithmetic and the three formatted prints
//     done inline in this program;
//   - a fresh host (a GaugeHost made and done with: the emulator's machine
//     comes from hosts made before and is rewound when done), a load of the
//     module into a new host, an install, and a fuzz input (what the
//     libFuzzer target does with one candidate file, here the real module,
//     in a host reset between inputs); and the process's first host and
//     load, made from nothing;
//   - the instructions the module's own code executes per frame and per
//     callback, from the host's instruction counter (a figure that does not
//     depend on the machine);
//   - the module file's size.
#include "fuzz/fuzz_input.h"
#include "host/gauge_host.h"
#include "tools/guarded_main.h"
#include "model/readouts.h"
#include "version/program_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double ns_since(Clock::time_point t0) { return std::chrono::duration<double, std::nano>(Clock::now() - t0).count(); }

template <typename F>
double timed_ns(F&& f) {
    const auto t0 = Clock::now();
    f();
    return ns_since(t0);
}

// Loads the module, or says why it cannot.
bool load(q7host::GaugeHost& host, const std::string& path) {
    if (host.load(path)) return true;
    std::fprintf(stderr, "%s\n", host.error().c_str());
    return false;
}

// Ordinary frames: positions within 1.5 degrees of a waypoint, any heading.
struct Input {
    double lat, lon, heading;
};

std::vector<Input> ordinary_inputs(std::size_t n) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> off(-1.5, 1.5), hdg(0.0, 360.0);
    std::vector<Input> out;
    for (std::size_t i = 0; i < n; ++i) {
        const int row = static_cast<int>(i % q7ref::kRows);
        const double lat = q7ref::latitude_from_degrees(q7ref::waypoint_lat_degrees(row) + off(rng));
        const double lon = q7ref::longitude_from_degrees(q7ref::waypoint_lon_degrees(row) + off(rng));
        out.push_back({lat, lon, hdg(rng)});
    }
    return out;
}

constexpr std::size_t kInputCount = 1024;
constexpr std::size_t kRowEvery = 64;  // frames between changes of the selected row

// ---------------------------------------------------------------------------
// The floor: one frame's work done natively, inline.

struct FloorSink {
    double sum = 0.0;
    char ident[8], number[8], distance[8];
};

__attribute__((noinline)) void native_frame(const Input& in, int row, FloorSink& out) {
    // Each pointer callback computes the offset and the heading rotation
    // afresh; the distance readout computes the offset a third time.
    const q7ref::Dot dx = q7ref::dot_offsets(row, in.lat, in.lon, in.heading);
    const q7ref::Dot dy = q7ref::dot_offsets(row, in.lat, in.lon, in.heading);
    const q7ref::Offset o = q7ref::offset_to(row, in.lat, in.lon);
    std::snprintf(out.ident, sizeof out.ident, "%s", q7ref::kWaypoints[row].ident);
    std::snprintf(out.number, sizeof out.number, "%2d", row + 1);
    q7ref::format_distance(static_cast<float>(o.distance), out.distance, sizeof out.distance);
    out.sum += dx.x + dy.y + out.distance[3] + out.ident[0] + out.number[1];
}

// ---------------------------------------------------------------------------
// The gauge on the reference host, driven as a simulator drives it: the
// aircraft's position in the host's variables, then a frame.

void place(q7host::GaugeHost& host, const Input& in) {
    host.set_variable(q7host::kSimLatitude, in.lat);
    host.set_variable(q7host::kSimLongitude, in.lon);
    host.set_variable(q7host::kSimHeading, in.heading);
}

double emulated_frame(q7host::GaugeHost& host, const Input& in) {
    place(host, in);
    const q7host::FrameReadout f = host.frame();
    host.clear_calls();
    return f.dot.x;
}

// Instructions the module ran in one frame, and in each of its callbacks
// called alone in the order x, y, ident, number, distance; the host's counter
// must be on.
struct FrameCount {
    std::uint64_t frame = 0;
    std::array<std::uint64_t, 5> callbacks{};
};

FrameCount count_frame(q7host::GaugeHost& host, const q7host::Instrument& parts, const Input& in) {
    place(host, in);
    auto counted = [&](auto&& call) {
        const std::uint64_t before = host.instructions();
        call();
        return host.instructions() - before;
    };
    FrameCount c;
    c.frame = counted([&] { host.frame(); });
    c.callbacks = {
        counted([&] { host.call_pointer("x_callback", parts.dot.x_callback(), parts.dot.address()); }),
        counted([&] { host.call_pointer("y_callback", parts.dot.y_callback(), parts.dot.address()); }),
        counted([&] { host.refresh_text(parts.ident.address()); }),
        counted([&] { host.refresh_text(parts.number.address()); }),
        counted([&] { host.refresh_text(parts.distance.address()); }),
    };
    host.clear_calls();
    return c;
}

// Whether a frame shows what the formulas give, so that the figures are
// known to come from callbacks that did their whole work.
bool shows_correctly(q7host::GaugeHost& host, const Input& in, int row) {
    host.select(row);
    place(host, in);
    const q7host::FrameReadout f = host.frame();
    host.clear_calls();
    const q7ref::Dot want = q7ref::dot_offsets(row, in.lat, in.lon, in.heading);
    return host.problems().empty() && f.dots.size() == 1 && std::fabs(f.dot.x - want.x) <= 1e-6 &&
           std::fabs(f.dot.y - want.y) <= 1e-6 && f.ident.text == q7ref::kWaypoints[row].ident &&
           f.number.text == q7ref::number_text(row) && f.distance.text == q7ref::distance_text(row, in.lat, in.lon);
}

// ---------------------------------------------------------------------------

struct Args {
    std::string module = Q7_MODULE_FILE;
    std::size_t rounds = 40;     // rounds of alternating frame and floor batches
    std::size_t frames = 20000;  // emulated frames, over all rounds
    std::size_t floor_frames = 2'000'000;
    std::size_t count_frames = 2000;  // frames under the instruction counter
    std::size_t loads = 40;           // fresh hosts, loads, installs and fuzz inputs timed
};

// Reads the options; returns the exit status to stop with, or -1 to go on.
int parse(int argc, char** argv, Args& a) {
    CLI::App app{
        "What the reference host costs: a frame, a fresh host, a load and a fuzz input, beside a "
        "native floor of the same run."};
    app.add_flag("--version")->description("print the program's name and version");
    app.add_option("--module", a.module, "the module file")->capture_default_str();
    app.add_option("--rounds", a.rounds, "rounds of alternating frame and floor batches")
        ->check(CLI::Range(1ul, 10000ul))
        ->capture_default_str();
    app.add_option("--frames", a.frames, "emulated frames timed")
        ->check(CLI::Range(100ul, 1ul << 40))
        ->capture_default_str();
    app.add_option("--floor-frames", a.floor_frames, "frames of the native floor")
        ->check(CLI::Range(1000ul, 1ul << 40))
        ->capture_default_str();
    app.add_option("--count-frames", a.count_frames, "frames under the instruction counter")
        ->check(CLI::Range(1ul, 1ul << 40))
        ->capture_default_str();
    app.add_option("--loads", a.loads, "fresh hosts, loads, installs and fuzz inputs timed")
        ->check(CLI::Range(1ul, 1ul << 20))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return -1;
}

// ns per frame of `n` frames starting at frame `first`.
template <typename Frame>
double batch_ns(std::size_t first, std::size_t n, Frame&& frame) {
    return timed_ns([&] {
               for (std::size_t i = first; i < first + n; ++i) frame(i);
           }) /
           static_cast<double>(n);
}

// What one figure is worth in frames of the native floor.
std::string in_floors(double ns, double floor_ns) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%8.0f floor frames", ns / floor_ns);
    return buf;
}

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-bench");
    Args a;
    if (const int status = parse(argc, argv, a); status >= 0) return status;
    const auto inputs = ordinary_inputs(kInputCount);
    auto input = [&](std::size_t i) -> const Input& { return inputs[i % kInputCount]; };
    auto row_of = [](std::size_t i) { return static_cast<int>((i / kRowEvery) % q7ref::kRows); };

    std::error_code ec;
    const auto bytes = std::filesystem::file_size(a.module, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", a.module.c_str(), ec.message().c_str());
        return 1;
    }
    std::printf("module        %s\n", a.module.c_str());
    std::printf("file size     %ju bytes = %.2f KiB\n", static_cast<std::uintmax_t>(bytes), bytes / 1024.0);

    // The process's first host and first load: the emulator started and the
    // image mapped from nothing.
    double first_load_ns = 0;
    bool loaded = false;
    std::optional<q7host::GaugeHost> first;
    const double first_host_ns = timed_ns([&] { first.emplace(); });
    first_load_ns = timed_ns([&] { loaded = load(*first, a.module); });
    first.reset();
    if (!loaded) return 1;

    // The emulated frame and the floor, batch by batch in alternation.
    q7host::GaugeHost host;
    if (!load(host, a.module)) return 1;
    host.install();
    const q7host::Instrument parts = host.instrument();
    double sink = 0.0;
    auto frame_of_host = [&](std::size_t i) {
        if (i % kRowEvery == 0) host.select(row_of(i));
        sink += emulated_frame(host, input(i));
    };
    FloorSink floor_sink;
    auto floor_frame = [&](std::size_t i) { native_frame(input(i), row_of(i), floor_sink); };
    batch_ns(0, 200, frame_of_host);  // every block translated once before timing
    const std::size_t frame_batch = std::max<std::size_t>(1, a.frames / a.rounds);
    const std::size_t floor_batch = std::max<std::size_t>(1, a.floor_frames / a.rounds);
    std::vector<double> frame_ns, floor_ns, ratios;
    for (std::size_t r = 0; r < a.rounds; ++r) {
        frame_ns.push_back(batch_ns(r * frame_batch, frame_batch, frame_of_host));
        floor_ns.push_back(batch_ns(r * floor_batch, floor_batch, floor_frame));
        ratios.push_back(frame_ns.back() / floor_ns.back());
    }
    const double frame = median(frame_ns), floor = median(floor_ns);

    // Instructions, counted by the host block by block in the module's image.
    host.count_instructions(true);
    host.reset_instructions();
    std::array<std::vector<double>, 5> per_callback;
    std::vector<double> per_frame;
    for (std::size_t i = 0; i < a.count_frames; ++i) {
        if (i % kRowEvery == 0) host.select(row_of(i));
        const FrameCount c = count_frame(host, parts, input(i));
        std::uint64_t callbacks = 0;
        for (int k = 0; k < 5; ++k) {
            per_callback[k].push_back(static_cast<double>(c.callbacks[k]));
            callbacks += c.callbacks[k];
        }
        if (callbacks != c.frame) {
            std::fprintf(stderr, "instruction counts disagree: %" PRIu64 " in a frame, %" PRIu64 " in its callbacks\n",
                         c.frame, callbacks);
            return 1;
        }
        per_frame.push_back(static_cast<double>(c.frame));
    }
    host.count_instructions(false);
    for (std::size_t i = 0; i < kInputCount; i += 37) {
        if (!shows_correctly(host, input(i), row_of(i * 5))) {
            std::fprintf(stderr, "the module's callbacks did not show what the formulas give (frame input %zu)\n", i);
            for (const auto& v : host.problems()) std::fprintf(stderr, "host saw: %s\n", v.sentence().c_str());
            return 1;
        }
    }

    // A fresh host (made and done with, what a program that makes host after
    // host pays for each), a load and an install, each time in a new host; a
    // fuzz input in one host reset between inputs, as the fuzz target runs
    // them.
    std::vector<double> start_ns, new_ns, load_ns, install_ns, fuzz_ns;
    for (std::size_t i = 0; i < a.loads; ++i) start_ns.push_back(timed_ns([] { q7host::GaugeHost h; }));
    // A host whose emulator is new: made while two hosts alive hold the
    // machines kept for reuse (one machine is closed each round, so the
    // process stays the same size).
    for (std::size_t i = 0; i < a.loads; ++i) {
        q7host::GaugeHost one, two;
        new_ns.push_back(timed_ns([] { q7host::GaugeHost three; }));
    }
    for (std::size_t i = 0; i < a.loads; ++i) {
        q7host::GaugeHost h;
        load_ns.push_back(timed_ns([&] { loaded = load(h, a.module); }));
        if (!loaded) return 1;
        install_ns.push_back(timed_ns([&] { h.install(); }));
        if (!h.problems().empty()) {
            std::fprintf(stderr, "host saw: %s\n", h.problems().front().sentence().c_str());
            return 1;
        }
    }
    const std::vector<std::uint8_t> module_bytes = host.image().file;
    std::optional<q7host::GaugeHost> fuzz_host;
    for (std::size_t i = 0; i < a.loads + 1; ++i) {
        const double ns = timed_ns([&] {
            loaded =
                q7fuzz::run_input(q7fuzz::host_for_next_input(fuzz_host), module_bytes.data(), module_bytes.size());
        });
        if (i) fuzz_ns.push_back(ns);  // the first makes the host
        if (!loaded || !fuzz_host->problems().empty()) {
            std::fprintf(stderr, "the fuzz input did not run the module cleanly: %s\n",
                         fuzz_host->problems().empty() ? fuzz_host->error().c_str()
                                                       : fuzz_host->problems().front().sentence().c_str());
            return 1;
        }
    }

    std::printf("native floor  %10.1f ns   the same arithmetic and three snprintf calls inline (%zu frames)\n", floor,
                a.floor_frames);
    std::printf("frame         %10.0f ns   GaugeHost::frame, ordinary positions (%zu frames, median of %zu rounds)\n",
                frame, a.frames, a.rounds);
    std::printf("              %10.1f x    the frame over the floor, median of the rounds' ratios\n", median(ratios));
    std::printf("fresh host    %10.1f us   %s (made and done with, median of %zu; the process's first: %.1f us)\n",
                median(start_ns) / 1e3, in_floors(median(start_ns), floor).c_str(), a.loads, first_host_ns / 1e3);
    std::printf(
        "new emulator  %10.1f us   %s (a host made and done with while the kept machines are in use, "
        "median of %zu)\n",
        median(new_ns) / 1e3, in_floors(median(new_ns), floor).c_str(), new_ns.size());
    std::printf(
        "load          %10.1f us   %s (read, map, relocate, bind, attach; median of %zu; the process's "
        "first: %.1f us)\n",
        median(load_ns) / 1e3, in_floors(median(load_ns), floor).c_str(), a.loads, first_load_ns / 1e3);
    std::printf("install       %10.1f us   %s (median of %zu)\n", median(install_ns) / 1e3,
                in_floors(median(install_ns), floor).c_str(), a.loads);
    std::printf("fuzz input    %10.1f us   %s (the real module, in a host reset between inputs; median of %zu)\n",
                median(fuzz_ns) / 1e3, in_floors(median(fuzz_ns), floor).c_str(), a.loads);
    std::printf(
        "instructions  %.1f per frame executed in the module's own code (median %.0f, min %.0f, max %.0f; "
        "%zu frames)\n",
        std::accumulate(per_frame.begin(), per_frame.end(), 0.0) / static_cast<double>(per_frame.size()),
        median(per_frame), *std::min_element(per_frame.begin(), per_frame.end()),
        *std::max_element(per_frame.begin(), per_frame.end()), a.count_frames);
    std::printf("              median per callback: x %.0f, y %.0f, ident %.0f, number %.0f, distance %.0f\n",
                median(per_callback[0]), median(per_callback[1]), median(per_callback[2]), median(per_callback[3]),
                median(per_callback[4]));
    std::printf(
        "              (the host's services, sin, cos and wsprintfA run outside the module's code and are "
        "not counted)\n");
    // Keeps the measured work observable.
    if (sink == 1.2345 || floor_sink.sum == 1.2345) std::puts("");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-bench", run, argc, argv); }
