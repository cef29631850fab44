// ADVAPI32: the cryptographic provider a stack-protected build asks for its random canary, and
// the table that names it.
#include "windows_internal.h"

#include <iterator>

namespace q7host::win {

namespace {

constexpr std::uint32_t kProvider = 0x00C0FFE0;  // the one provider handle this process hands out

std::uint32_t CryptAcquireContextA(Stdcall& c, Ptr<std::uint32_t> out, Str container, Str provider, std::uint32_t,
                                   std::uint32_t) {
    if (container) c.string(container, 260);
    if (provider) c.string(provider, 260);
    if (!out) {
        c.set_last_error(kErrorInvalidParameter);
        return 0;
    }
    c.write(out, kProvider);
    return 1;
}
std::uint32_t CryptAcquireContextW(Stdcall& c, Ptr<std::uint32_t> out, WStr container, WStr provider,
                                   std::uint32_t type, std::uint32_t flags) {
    if (container) c.wide(container, 260);
    if (provider) c.wide(provider, 260);
    return CryptAcquireContextA(c, out, {}, {}, type, flags);
}
// Random bytes from the process's own generator: runs repeat exactly.
std::uint32_t CryptGenRandom(Stdcall& c, std::uint32_t provider, std::uint32_t n, Ptr<std::uint8_t> out) {
    if (provider != kProvider) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) {
        std::uint32_t& x = c.process.random_state;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    if (n) c.put_bytes(out.addr, bytes.data(), n);
    return 1;
}
std::uint32_t CryptReleaseContext(Stdcall& c, std::uint32_t provider, std::uint32_t) {
    if (provider != kProvider) {
        c.set_last_error(kErrorInvalidHandle);
        return 0;
    }
    return 1;
}

constexpr Export kExports[] = {
    fn<&CryptAcquireContextA>("CryptAcquireContextA"),
    fn<&CryptAcquireContextW>("CryptAcquireContextW"),
    fn<&CryptGenRandom>("CryptGenRandom"),
    fn<&CryptReleaseContext>("CryptReleaseContext"),
};

}  // namespace

const DllTable kAdvapi32{"advapi32.dll", std::begin(kExports), std::end(kExports)};

}  // namespace q7host::win
