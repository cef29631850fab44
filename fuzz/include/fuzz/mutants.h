// Broken copies of a module file for the robustness runs: labelled structured
// mutants (truncations, header fields, section and directory bounds,
// relocations, imports, resources, patched code bytes, hostile records and
// texts), each aimed at one place the host must cope with, and random byte
// mutants drawn from a seed, the same batch on every machine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace q7fuzz {

using Bytes = std::vector<std::uint8_t>;

// Where things are in the real module: offsets in the file and addresses of
// the routines and records the host uses, found by parsing the file and by
// installing the gauge once in a reference host.
struct Anatomy {
    struct Section {
        std::string name;
        std::uint32_t header = 0;  // file offset of its section-table entry
        std::uint32_t rva = 0, virtual_size = 0, raw_offset = 0, raw_size = 0;
    };
    std::uint32_t pe = 0;         // the PE signature
    std::uint32_t optional = 0;   // the optional header
    std::uint32_t section_table = 0;
    std::uint32_t headers_size = 0;
    std::uint32_t image_base = 0, image_size = 0;
    std::vector<Section> sections;
    std::vector<std::uint32_t> relocations;  // RVAs of the 32-bit addresses the loader moves
    std::uint32_t directory(unsigned index) const { return optional + 96 + 8 * index; }
    // RVAs of what the host calls and reads.
    std::uint32_t entry = 0, install = 0, uninstall = 0;
    std::uint32_t x_callback = 0, y_callback = 0;
    std::uint32_t ident_callback = 0, number_callback = 0, distance_callback = 0;
    std::uint32_t right_handler = 0, left_handler = 0;
    std::uint32_t linkage = 0, import_table = 0, gauge = 0, root = 0;
    std::uint32_t dot = 0, ident_box = 0, distance_box = 0, mouse_list = 0;
    std::uint32_t face_resource_entry = 0;  // the data entry of bitmap 0x1000

    const Section& section(const std::string& name) const;
    // The file offset of an RVA inside a section's raw data.
    std::uint32_t offset(std::uint32_t rva) const;
};

// Reads the anatomy of a module file; nothing, with `error` set, when the file
// is not a module the reference host can install.
std::optional<Anatomy> dissect(const Bytes& module, std::string& error);

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
