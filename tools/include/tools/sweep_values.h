// The sweep's hostile values: host values for a frame from one deterministic seed, ordinary
// positions round the waypoints and everything a broken or hostile host could hand over (NaNs,
// infinities, huge and denormal numbers, latitudes beyond the poles, longitudes many turns away,
// absurd headings, garbage in the selection slot), and the families of them a frame sent.
#pragma once

#include <array>
#include <cstdint>
#include <random>

namespace q7sweep {

class HostileValues {
public:
    explicit HostileValues(std::uint64_t seed) : rng_(seed) {}
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng_); }
    int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    std::uint64_t bits() { return rng_(); }

    // A value no sane host sends: NaNs of every kind, infinities, the largest
    // and smallest doubles, denormals, signed zeros, random bit patterns.
    double special();
    // Host values for a frame; `hostile` picks the hostile families.
    double latitude(int near_row, bool hostile);
    double longitude(int near_row, bool hostile);
    double heading(bool hostile);
    // What a misbehaving host might leave in the selection slot.
    double selection_garbage();

private:
    std::mt19937_64 rng_;
};

// Families of hostile input the report counts.
enum class Family {
    NaN,
    Infinity,
    Huge,  // finite, magnitude 1e300 or more
    Denormal,
    Zero,
    BeyondPoles,  // a finite latitude beyond 90 degrees either way
    TurnsWest,    // an aircraft longitude two or more turns west
    TurnsEast,    // two or more turns east
    WildHeading,  // a finite heading of magnitude 1e9 or more
    NoRow,        // a selection index that matches no row
};
inline constexpr std::size_t kFamilyCount = 10;
const char* family_name(Family f);
using FamilyCounts = std::array<std::uint64_t, kFamilyCount>;

// Counts each family the values of one frame belong to, from the values
// themselves rather than from what the generator meant to send.
void count_families(double latitude, double longitude, double heading, double selection, FamilyCounts& counts);

}  // namespace q7sweep
