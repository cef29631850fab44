// Numbers as the host's messages write them: "0x" and upper-case hexadecimal digits. Addresses and
// exception codes of the emulated machine are written with all 8 digits, file offsets, sizes and
// resource numbers with as few as the value needs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace q7host {

// `value` in hexadecimal, padded with zeros to at least `digits` digits.
inline std::string hex(std::uint64_t value, int digits = 0) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace q7host
