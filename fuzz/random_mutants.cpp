// Random byte mutants: each the real module with one to four random edits,
// drawn from its own splitmix64 stream so that mutant N of a seed is the same
// bytes on every machine and in every order the mutants are made.
#include "fuzz/mutants.h"

#include <algorithm>
#include <cstring>

namespace q7fuzz {

namespace {

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n) for n > 0 (the bias of a 64-bit modulus is negligible here).
    std::uint64_t below(std::uint64_t n) { return next() % n; }

private:
    std::uint64_t state_;
};

// Values that sit on the edges of what a loader compares against.
constexpr std::uint32_t kInteresting[] = {0,          1,          2,          0x7F,       0x80,       0xFF,
                                          0x100,      0x1000,     0x7FFF,     0x8000,     0xFFFF,     0x10000,
                                          0x00FFFFFF, 0x01000000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFF000,
                                          0x5E700000, 0x60000000, 0x6F000000, 0xDEADBEEF};

}  // namespace

Bytes random_mutant(const Bytes& module, std::uint64_t seed, std::uint64_t index) {
    SplitMix64 r(seed ^ (index * 0xD1B54A32D192ED03ull + 0x632BE59BD9B4E019ull));
    Bytes b = module;
    const unsigned edits = 1 + static_cast<unsigned>(r.below(4));
    for (unsigned e = 0; e < edits && !b.empty(); ++e) {
        // A third of the edits land in the first 1 KiB: the headers and tables.
        const std::size_t span = r.below(3) == 0 ? std::min<std::size_t>(b.size(), 1024) : b.size();
        const std::size_t at = r.below(span);
        switch (r.below(8)) {
            case 0: b[at] ^= static_cast<std::uint8_t>(1u << r.below(8)); break;
            case 1: b[at] = static_cast<std::uint8_t>(r.next()); break;
            case 2: {
                const std::uint32_t v = kInteresting[r.below(std::size(kInteresting))];
                const std::size_t width = r.below(2) ? 4 : 2;
                std::memcpy(b.data() + at, &v, std::min(width, b.size() - at));
                break;
            }
            case 3: {
                const std::size_t n = 1 + r.below(16);
                Bytes fresh(n);
                for (auto& c : fresh) c = static_cast<std::uint8_t>(r.next());
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), fresh.begin(), fresh.end());
                break;
            }
            case 4: {
                const std::size_t n = std::min<std::size_t>(1 + r.below(16), b.size() - at);
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
                break;
            }
            case 5: {  // a chunk of the file copied over another place
                const std::size_t from = r.below(b.size());
                const std::size_t n = std::min({std::size_t{1 + r.below(64)}, b.size() - from, b.size() - at});
                std::memmove(b.data() + at, b.data() + from, n);
                break;
            }
            case 6: {  // a run of one byte value
                const std::size_t n = std::min<std::size_t>(1 + r.below(32), b.size() - at);
                std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), n,
                            static_cast<std::uint8_t>(r.below(2) ? 0 : 0xFF));
                break;
            }
            default:
                // A truncation, rarely: most mutants should get past the headers.
                if (r.below(4) == 0)
                    b.resize(at);
                else
                    b[at] = static_cast<std::uint8_t>(b[at] + 1 + r.below(4));
                break;
        }
    }
    return b;
}

}  // namespace q7fuzz
