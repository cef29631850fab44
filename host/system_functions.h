// The Windows functions a module may import (wsprintfA, cos, sin), each a small host function with
// the real one's limits, in one table by "dll!name". It knows the machine, nothing of gauges.
#pragma once

#include "host/machine.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace q7host {

// wsprintfA's formatting, without its machine: %[-][#][0][width][.precision]
// [l|h](c|d|i|u|x|X|s) and %%. `next_arg` hands out the 32-bit arguments in
// order, `read_string` reads the text a %s argument points at (at most
// `limit` bytes). The result holds at most kWsprintfLimit characters, and the
// work done is bounded by that, whatever widths the format asks for.
inline constexpr std::size_t kWsprintfLimit = 1024;
std::string format_wsprintf(std::string_view format, const std::function<std::uint32_t()>& next_arg,
                            const std::function<std::string(std::uint32_t address, std::size_t limit)>& read_string);

struct SystemFunction {
    const char* name;  // "dll!name", the DLL in lower case
    Returns returns;
    void (*run)(StubCall& call);
};

// The function a module imports as `function` from `dll` (compared without
// regard to case, as Windows compares DLL names), or null.
const SystemFunction* find_system_function(std::string_view dll, std::string_view function);

// A stub for the function in the machine. Every one of them is cdecl: the
// caller removes the arguments.
Addr bind_system_function(Machine& machine, const SystemFunction& function);

}  // namespace q7host
