// The libFuzzer target: a candidate module file through the reference host
// as the viewer drives it. Load from the bytes, install the gauge, press both
// buttons through the registered mouse list, run a frame, decode the bitmaps
// the elements name, uninstall and unload, all in a host of its own, so one
// input cannot leave state behind for the next. Whatever the bytes, the host
// must refuse them or report the module's misbehaviour; a crash, a hang or a
// sanitizer report is a finding.
#include "host/gauge.h"
#include "host/image.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

void exercise(q7host::GaugeHost& host) {
    host.install();
    if (!host.violations().empty()) return;
    auto areas = host.click_areas();
    std::sort(areas.begin(), areas.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    if (!areas.empty()) {
        host.click(areas.front().centre_x(), areas.front().centre_y());
        host.click(areas.back().centre_x(), areas.back().centre_y());
    }
    host.click(26, 68);
    host.frame();
    std::set<std::uint32_t> decoded;
    for (const auto& e : host.elements().elements) {
        const auto id = host.machine().try_read(e.address() + q7host::element::kBitmapId);
        if (!id || !decoded.insert(*id).second) continue;
        std::string why;
        if (const auto data = host.find_bitmap(*id, why)) (void)q7host::decode_dib(*data, why);
    }
    host.uninstall();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    q7host::GaugeHost host;
    if (host.load(std::vector<std::uint8_t>(data, data + size), "input.gau")) {
        exercise(host);
    } else if (host.error().empty()) {
        std::fputs("a load failed without saying why\n", stderr);
        std::abort();
    }
    host.unload();
    return 0;
}
