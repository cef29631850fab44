#include "fuzz/fuzz_input.h"

#include "host/image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace q7fuzz {

namespace {

// A module whose code loops runs to its budget at every call, and a loop that
// stores into the pages it runs from costs the emulator about a microsecond
// an instruction (many times that under the sanitizers). An input needs the
// host to survive it, not the verdict on slow code: it gets a budget far
// above what the real module's longest routine runs, and stops driving a
// module once a call has not returned.
constexpr std::uint64_t kInputBudget = 20'000;
// Load-time code of an ordinary build runs the C runtime's start-up and its
// static constructors: every build that fits an input starts in well under
// 200,000 instructions (variants_test checks that they are driven under this
// budget). The libstdc++ build, whose first throw has libgcc sort the unwind
// tables of all of libstdc++, is larger than any input. A budget ten times
// what they need keeps a mutant whose start-up loops (at the entry routine,
// GaugeInstall and the detach) to a second under the sanitizers.
constexpr std::uint64_t kInputLoadBudget = 2'000'000;

bool looped(const q7host::GaugeHost& host) {
    return std::any_of(host.problems().begin(), host.problems().end(),
                       [](const q7host::Problem& p) { return p.kind == q7host::ProblemKind::NoReturn; });
}

void exercise(q7host::GaugeHost& host) {
    host.install();
    if (!host.problems().empty()) return;
    // The bitmaps the elements name, read while the module's code has surely
    // not stopped the emulator; decoded once the gauge has been driven.
    std::set<std::uint32_t> bitmaps;
    for (const auto& e : host.elements().elements) bitmaps.insert(e.bitmap_id());
    auto areas = host.click_areas();
    std::sort(areas.begin(), areas.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    if (!areas.empty()) {
        host.click(areas.front().centre_x(), areas.front().centre_y());
        if (!looped(host)) host.click(areas.back().centre_x(), areas.back().centre_y());
    }
    if (!looped(host)) host.click(26, 68);
    if (!looped(host)) host.frame();
    for (const std::uint32_t id : bitmaps) {
        std::string why;
        if (const auto data = host.find_bitmap(id, why)) (void)q7host::decode_dib(*data, why);
    }
    if (!looped(host)) host.uninstall();
}

}  // namespace

bool run_input(q7host::GaugeHost& host, const std::uint8_t* data, std::size_t size) {
    host.set_instruction_budget(kInputBudget);
    host.set_load_budget(kInputLoadBudget);
    const bool loaded = host.load(std::vector<std::uint8_t>(data, data + size), "input.gau");
    if (loaded) {
        exercise(host);
    } else if (host.error().empty()) {
        std::fputs("a load failed without saying why\n", stderr);
        std::abort();
    }
    host.unload();
    return loaded;
}

q7host::GaugeHost& host_for_next_input(std::optional<q7host::GaugeHost>& host) {
    if (!host || !host->reset()) host.emplace();
    return *host;
}

}  // namespace q7fuzz
