// The sweep's driver: one host per chunk of frames, each frame, click, handler call and reinstall
// sent to the module and judged; the chunks shared by threads and their reports merged and told.
#include "tools/sweep.h"

#include "model/readouts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace q7sweep {

std::uint64_t SweepReport::finding_count() const {
    std::uint64_t n = 0;
    for (auto c : findings) n += c;
    return n;
}

bool SweepReport::coverage_complete() const {
    if (frames < kCoverageMinFrames) return true;
    return std::none_of(coverage.begin(), coverage.end(), [](std::uint64_t c) { return c == 0; });
}

namespace {

using namespace q7host;

// Clicks off the buttons land anywhere on the gauge's 63 x 77 pixels or in a
// margin of two round it.
constexpr int kClickSpanX = 67, kClickSpanY = 81, kClickMargin = 2;

class Sweep {
public:
    // Runs `s.frames` frames from `s.seed`, numbering them from `first_frame`.
    Sweep(const SweepSettings& s, SweepReport& r, std::uint64_t first_frame)
        : settings_(s), rep_(r), values_(s.seed), first_frame_(first_frame) {}

    void run() {
        if (!host_.load(settings_.module)) {
            rep_.load_error = host_.error();
            return;
        }
        if (settings_.before_install) settings_.before_install(host_);
        host_.install();
        if (settings_.after_install) settings_.after_install(host_);
        parts_ = host_.instrument();
        record_host_problems("install");

        for (frame_ = 0; frame_ < settings_.frames; ++frame_) {
            steer_selection();
            one_frame();
            if (values_.chance(0.12)) one_click();
            if (values_.chance(0.01)) one_direct_handler_call();
            if (values_.chance(1.0 / 4000)) reinstall();
        }
        rep_.frames = frame_;
    }

private:
    void report(Rule r, const std::string& what, const std::string& context) {
        ++rep_.findings[static_cast<std::size_t>(r)];
        if (rep_.first_findings.size() < settings_.max_reports) {
            rep_.first_findings.push_back("frame " + std::to_string(first_frame_ + frame_) + " [" + rule_name(r) +
                                          "] " + what + context);
        }
    }

    void record_host_problems(const std::string& context) {
        for (const auto& p : host_.problems()) {
            report(rule_broken_by(p), "host: " + p.sentence(), " (" + context + ")");
        }
        host_.clear_problems();
    }

    // Most of the time the selection is what the step operations leave; now
    // and then a misbehaving host leaves garbage in the slot for a while, and
    // later a whole number again.
    void steer_selection() {
        if (garbage_left_ == 0 && values_.chance(0.02)) {
            host_.select(values_.selection_garbage());
            garbage_left_ = 1 + values_.below(16);
        } else if (garbage_left_ > 0 && --garbage_left_ == 0) {
            host_.select(values_.below(q7ref::kRows));
        }
        if (garbage_left_ > 0) ++rep_.garbage_frames;
    }

    void one_frame() {
        FrameState f;
        f.selection = host_.selection();
        const int near = values_.chance(0.5) ? q7ref::row_for_text(f.selection) : values_.below(q7ref::kRows);
        const bool hostile_lat = values_.chance(0.3), hostile_lon = values_.chance(0.3),
                   hostile_heading = values_.chance(0.3);
        f.latitude = values_.latitude(near, hostile_lat);
        f.longitude = values_.longitude(near, hostile_lon);
        f.heading = values_.heading(hostile_heading);
        if (hostile_lat || hostile_lon || hostile_heading) ++rep_.hostile_frames;
        count_families(f.latitude, f.longitude, f.heading, f.selection, rep_.coverage);
        host_.set_variable(kSimLatitude, f.latitude);
        host_.set_variable(kSimLongitude, f.longitude);
        host_.set_variable(kSimHeading, f.heading);
        // Service results and the text callbacks' argument mean nothing to the module.
        host_.set_service_result(Service::VarRefresh, static_cast<std::uint32_t>(values_.bits()));
        host_.set_service_result(Service::MouseClick, static_cast<std::uint32_t>(values_.bits()));
        f.table = static_cast<unsigned>(values_.below(2));
        host_.use_table(f.table);
        const double text_arg = values_.chance(0.7) ? 0.0 : values_.special();

        // Now and then a host calls a text callback before it has set the
        // box's buffer.
        const std::pair<StringElementRef, BoxState*> boxes[3] = {
            {parts_.distance, &f.distance}, {parts_.ident, &f.ident}, {parts_.number, &f.number}};
        Addr nulled = 0, nulled_buffer = 0;
        if (values_.chance(0.01)) {
            const auto [box, state] = boxes[values_.below(3)];
            nulled = box.address();
            state->null_buffer = true;
            state->before = host_.read_text(nulled);
            nulled_buffer = host_.swap_text_buffer(nulled, 0);
            ++rep_.null_buffer_calls;
        }

        host_.clear_calls();
        f.readout = host_.frame(text_arg);
        rep_.module_calls += 5;
        if (nulled) host_.swap_text_buffer(nulled, nulled_buffer);
        for (auto [box, state] : boxes) {
            state->max_chars = box.max_chars();
            state->guards_intact = host_.text_guards_intact(box.address());
        }
        f.host_problems = host_.problems();
        host_.clear_problems();

        const std::vector<Finding> findings = check_frame(f);
        for (auto [box, state] : boxes) {
            // Each frame reports only the overruns it caused itself.
            if (!state->guards_intact) host_.rearm_guards(box.address());
        }
        if (!findings.empty()) {
            const std::string context = " | lat " + show(f.latitude) + ", lon " + show(f.longitude) + ", heading " +
                                        show(f.heading) + ", selection " + show(f.selection) + ", text argument " +
                                        show(text_arg);
            for (const auto& finding : findings) report(finding.rule, finding.what, context);
        }
    }

    // The step buttons from the mouse list the module registered: the one on
    // the left steps back, the one on the right on.
    bool buttons(ClickArea& previous, ClickArea& next) {
        std::vector<ClickArea> areas = host_.click_areas();
        if (areas.size() != 2) {
            report(Rule::Host, "the mouse list holds " + std::to_string(areas.size()) + " buttons, not 2", "");
            return false;
        }
        std::sort(areas.begin(), areas.end(), [](const ClickArea& a, const ClickArea& b) { return a.x < b.x; });
        previous = areas[0];
        next = areas[1];
        return true;
    }

    // A click through the host's hit-testing: mostly on a button, anywhere on
    // or just off the gauge otherwise.
    void one_click() {
        ClickArea previous, next;
        if (!buttons(previous, next)) return;
        int x, y;
        if (values_.chance(0.8)) {
            const ClickArea& b = values_.chance(0.5) ? previous : next;
            x = b.x + values_.below(b.width);
            y = b.y + values_.below(b.height);
        } else {
            x = values_.below(kClickSpanX) - kClickMargin;
            y = values_.below(kClickSpanY) - kClickMargin;
        }
        const bool on_previous = previous.contains(x, y), on_next = next.contains(x, y);

        const double before = host_.selection();
        host_.clear_calls();
        const bool hit = host_.click(x, y);
        ++rep_.clicks;
        if (hit) ++rep_.module_calls;
        const double after = host_.selection();
        const std::string where = "click at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
        const std::string context = " | " + where + ", selection " + show(before);
        record_host_problems(where);
        if (on_previous || on_next) {
            const double want = q7ref::stepped(before, on_next);
            if (!hit) report(Rule::Click, "no handler ran", context);
            if (!same_value(after, want)) {
                report(Rule::Click, "selection became " + show(after) + ", expected " + show(want), context);
            }
            check_click_service(context);
        } else {
            if (hit) report(Rule::Click, "a handler ran outside both buttons", context);
            if (std::memcmp(&after, &before, sizeof after) != 0) {
                report(Rule::Click, "selection changed", context);
            }
            if (!host_.calls().empty()) report(Rule::Services, "services called by a missed click", context);
        }
    }

    // A step calls the click service once, with the arguments the module's
    // handlers pass.
    void check_click_service(const std::string& context) {
        const auto& calls = host_.calls();
        if (calls.size() != 1 || calls[0].position != position_of(Service::MouseClick) ||
            calls[0].args != std::vector<std::uint32_t>{0x10000, 0}) {
            report(Rule::Services, "a click did not call the click service once with 0x10000 and 0", context);
        }
    }

    // A host that calls a handler itself, with arguments of its own choosing.
    void one_direct_handler_call() {
        ClickArea previous, next;
        if (!buttons(previous, next)) return;
        const bool step_next = values_.chance(0.5);
        const Addr handler = step_next ? next.handler : previous.handler;
        const auto a = static_cast<std::uint32_t>(values_.bits()), b = static_cast<std::uint32_t>(values_.bits());
        const double before = host_.selection();
        host_.clear_calls();
        const std::int32_t result =
            host_.call_handler(step_next ? "step_next_handler" : "step_previous_handler", handler, a, b);
        ++rep_.handler_calls;
        ++rep_.module_calls;
        const std::string context =
            " | handler arguments " + std::to_string(a) + ", " + std::to_string(b) + ", selection " + show(before);
        record_host_problems("direct handler call");
        if (result != 0) report(Rule::Click, "handler returned " + std::to_string(result), context);
        const double want = q7ref::stepped(before, step_next);
        if (!same_value(host_.selection(), want)) {
            report(Rule::Click, "selection became " + show(host_.selection()) + ", expected " + show(want), context);
        }
        check_click_service(context);
    }

    void reinstall() {
        host_.clear_calls();
        host_.uninstall();
        const auto removed = host_.call_positions();
        host_.clear_calls();
        host_.install();
        const auto installed = host_.call_positions();
        rep_.module_calls += 2;
        ++rep_.reinstalls;
        record_host_problems("reinstall");
        const std::vector<unsigned> want_removed = {position_of(Service::MouseRemove),
                                                    position_of(Service::ElementKill)};
        const std::vector<unsigned> want_installed = {position_of(Service::ElementInstall),
                                                      position_of(Service::MouseInstall),
                                                      position_of(Service::MouseActivate)};
        if (removed != want_removed || installed != want_installed) {
            report(Rule::Services, "uninstall and install called the wrong services", "");
        }
        if (!host_.mouse_list()) report(Rule::Host, "no mouse list after reinstall", "");
    }

    const SweepSettings& settings_;
    SweepReport& rep_;
    HostileValues values_;
    GaugeHost host_;
    Instrument parts_;
    std::uint64_t frame_ = 0;
    std::uint64_t first_frame_ = 0;
    int garbage_left_ = 0;
};

// The seed of chunk `c`: the run's own for the first, splitmix64 of it and
// the chunk's number for the others.
std::uint64_t chunk_seed(std::uint64_t seed, std::uint64_t c) {
    if (c == 0) return seed;
    std::uint64_t z = seed + c * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Adds a chunk's report to the run's, chunks in order.
void merge(SweepReport& into, const SweepReport& part, std::size_t max_reports) {
    into.frames += part.frames;
    into.hostile_frames += part.hostile_frames;
    into.garbage_frames += part.garbage_frames;
    into.clicks += part.clicks;
    into.handler_calls += part.handler_calls;
    into.reinstalls += part.reinstalls;
    into.null_buffer_calls += part.null_buffer_calls;
    into.module_calls += part.module_calls;
    for (std::size_t i = 0; i < kFamilyCount; ++i) into.coverage[i] += part.coverage[i];
    for (std::size_t i = 0; i < kRuleCount; ++i) into.findings[i] += part.findings[i];
    for (const auto& f : part.first_findings) {
        if (into.first_findings.size() < max_reports) into.first_findings.push_back(f);
    }
    if (into.load_error.empty()) into.load_error = part.load_error;
}

}  // namespace

SweepReport run_sweep(const SweepSettings& settings) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::uint64_t chunks = (settings.frames + kChunkFrames - 1) / kChunkFrames;
    std::vector<SweepReport> parts(chunks);
    std::atomic<std::uint64_t> next{0};
    auto work = [&] {
        for (std::uint64_t c; (c = next++) < chunks;) {
            SweepSettings o = settings;
            o.frames = std::min(kChunkFrames, settings.frames - c * kChunkFrames);
            o.seed = chunk_seed(settings.seed, c);
            Sweep(o, parts[c], c * kChunkFrames).run();
        }
    };
    const unsigned jobs = static_cast<unsigned>(std::min<std::uint64_t>(
        chunks, settings.jobs ? settings.jobs : std::max(1u, std::thread::hardware_concurrency())));
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < jobs; ++j) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
    SweepReport rep;
    for (const SweepReport& part : parts) merge(rep, part, settings.max_reports);
    rep.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return rep;
}

std::string describe(const SweepReport& r) {
    std::string s;
    char line[256];
    if (!r.load_error.empty()) return "cannot load the module: " + r.load_error + "\n";
    std::snprintf(line, sizeof line,
                  "frames %" PRIu64 " (hostile host values in %" PRIu64 ", garbage selection in %" PRIu64
                  ")\nclicks %" PRIu64 ", direct handler calls %" PRIu64 ", reinstalls %" PRIu64
                  ", text callbacks with a null buffer %" PRIu64 "\ncalls into the module %" PRIu64
                  ", all checked\ntime %.2f s (%.0f frames/s)\n",
                  r.frames, r.hostile_frames, r.garbage_frames, r.clicks, r.handler_calls, r.reinstalls,
                  r.null_buffer_calls, r.module_calls, r.seconds, r.seconds > 0 ? r.frames / r.seconds : 0.0);
    s += line;
    s += "hostile values sent:";
    for (std::size_t i = 0; i < kFamilyCount; ++i) {
        std::snprintf(line, sizeof line, "%s %s %" PRIu64, i ? "," : "", family_name(static_cast<Family>(i)),
                      r.coverage[i]);
        s += line;
    }
    s += "\n";
    if (!r.coverage_complete()) s += "coverage incomplete: a family of hostile values was never sent\n";
    if (r.frames == 0) s += "no frames were run: nothing was checked\n";
    std::snprintf(line, sizeof line, "violations %" PRIu64 "\n", r.finding_count());
    s += line;
    for (std::size_t i = 0; i < kRuleCount; ++i) {
        if (!r.findings[i]) continue;
        std::snprintf(line, sizeof line, "  %-10s %" PRIu64 "\n", rule_name(static_cast<Rule>(i)), r.findings[i]);
        s += line;
    }
    for (const auto& f : r.first_findings) s += "  " + f + "\n";
    return s;
}

}  // namespace q7sweep
