// The checked calls into a loaded gauge, one per routine shape; the rest of
// running it (install and uninstall, text buffers, frames, clicks) is the
// gauge runner's, the same for every host (panel/gauge_runner.h).
#include "host/gauge_host.h"

#include <cstring>

namespace q7host {

void GaugeHost::call_hook(const char* name, Addr hook) { machine_.call(name, hook, {}, Returns::kInt); }

std::uint32_t GaugeHost::call_routine(const char* name, Addr routine) {
    return machine_.call(name, routine, {}, Returns::kInt).eax;
}

std::uint32_t GaugeHost::call_routine(const char* name, Addr routine, std::uint32_t arg) {
    return machine_.call(name, routine, {arg}, Returns::kInt).eax;
}

// GaugeInstall runs on the budget of load-time code: a module may build there
// what its C runtime would build at start-up.
std::uint32_t GaugeHost::call_install(Addr routine, std::uint32_t arg) {
    return machine_.with_load_budget([&] { return machine_.call("GaugeInstall", routine, {arg}, Returns::kInt).eax; });
}

double GaugeHost::call_pointer(const char* name, Addr callback, std::uint32_t arg) {
    return machine_.call(name, callback, {arg}, Returns::kDouble).st0;
}

double GaugeHost::call_text(const char* name, Addr callback, double arg) {
    std::uint32_t w[2];
    std::memcpy(w, &arg, sizeof w);
    return machine_.call(name, callback, {w[0], w[1]}, Returns::kDouble).st0;
}

std::int32_t GaugeHost::call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(machine_.call(name, handler, {a, b}, Returns::kInt).eax);
}

}  // namespace q7host
