// The libFuzzer target: a candidate module file through the reference host
// as the viewer drives it (fuzz_input.h). One host serves every input, reset
// between them to how it was made, so one input cannot leave state behind
// for the next, and an input costs what the host's work on it costs.
// Whatever the bytes, the host must refuse them or report the module's
// misbehaviour; a crash, a hang or a sanitizer report is a finding.
#include "fuzz/fuzz_input.h"

#include <cstddef>
#include <cstdint>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::optional<q7host::GaugeHost> host;
    q7fuzz::run_input(q7fuzz::host_for_next_input(host), data, size);
    return 0;
}
