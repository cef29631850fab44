// Broken copies of a module file for the robustness runs: labelled structured
// mutants (truncations, header fields, section and directory bounds,
// relocations, imports, resources, patched code bytes, hostile records and
// texts), each aimed at one place the host must cope with, and random byte
// mutants drawn from a seed, the same batch on every machine.
#pragma once

#include "fuzz/anatomy.h"

#include <cstdint>
#include <span>
#include <string>

namespace q7fuzz {

// A structured mutant: a label (also its file name in the corpus), the exit
// status the viewer must give on it (or kAnyStatus), the scale at which its
// picture is written (0: no picture) and the edit that makes it (none for the
// real module itself, the first entry).
inline constexpr int kAnyStatus = -1;
struct Mutant {
    const char* label;
    int expect = kAnyStatus;
    int picture_scale = 0;
    void (*edit)(Bytes& file, const Anatomy& a) = nullptr;
};
std::span<const Mutant> structured_mutants();
const Mutant* find_mutant(const std::string& label);
// The mutant's bytes; throws when its edit does not fit the module.
Bytes make_mutant(const Mutant& m, const Bytes& module, const Anatomy& a);

// Random byte mutant number `index` of the batch drawn from `seed`: a few
// flips, sets, interesting words, insertions, deletions, copies or a
// truncation, a third of them aimed at the headers.
Bytes random_mutant(const Bytes& module, std::uint64_t seed, std::uint64_t index);

}  // namespace q7fuzz
