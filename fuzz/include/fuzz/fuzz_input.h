// What the fuzz target does with one candidate module file, in a host it is
// handed: the work of one fuzz input, shared by the libFuzzer target and the
// benchmark that measures it.
#pragma once

#include "host/gauge_host.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace q7fuzz {

// The longest input the fuzzer makes (libFuzzer's -max_len in scripts/fuzz.sh).
inline constexpr std::size_t kLargestInput = 64 * 1024;

// Loads the bytes as the viewer would, then installs the gauge, presses both
// buttons through the registered mouse list, runs a frame, decodes the
// bitmaps the elements name, uninstalls and unloads. Whatever the bytes, the
// host refuses them (saying why) or reports the module's misbehaviour; a load
// that fails without a reason aborts, as a finding. Returns whether the file
// loaded.
bool run_input(q7host::GaugeHost& host, const std::uint8_t* data, std::size_t size);

// The host for the next input: `host` reset to how it was made, or a new
// one when it cannot be (its emulator stopped for good), so that no input
// leaves state behind for the next.
q7host::GaugeHost& host_for_next_input(std::optional<q7host::GaugeHost>& host);

}  // namespace q7fuzz
