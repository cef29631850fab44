// Where things are in the real module: offsets in the file and the RVAs of the
// routines and records the host uses, found by parsing the file and by
// installing the gauge once in a reference host. What the structured mutants
// and the tests that edit the module aim at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace q7fuzz {

using Bytes = std::vector<std::uint8_t>;

struct Anatomy {
    struct Section {
        std::string name;
        std::uint32_t header = 0;  // file offset of its section-table entry
        std::uint32_t rva = 0, virtual_size = 0, raw_offset = 0, raw_size = 0;
    };
    std::uint32_t pe = 0;        // the PE signature
    std::uint32_t optional = 0;  // the optional header
    std::uint32_t section_table = 0;
    std::uint32_t headers_size = 0;
    std::uint32_t image_base = 0, image_size = 0;
    std::vector<Section> sections;
    std::vector<std::uint32_t> relocations;  // RVAs of the 32-bit addresses the loader moves
    // File offset of data directory `index` (its RVA; its size 4 bytes on).
    std::uint32_t directory(unsigned index) const;
    // RVAs of what the host calls and reads.
    std::uint32_t entry = 0, install = 0, uninstall = 0;
    std::uint32_t x_callback = 0, y_callback = 0;
    std::uint32_t ident_callback = 0, number_callback = 0, distance_callback = 0;
    std::uint32_t right_handler = 0, left_handler = 0;
    std::uint32_t linkage = 0, import_table = 0, gauge = 0, root = 0;
    std::uint32_t dot = 0, ident_box = 0, distance_box = 0, mouse_list = 0;
    std::uint32_t face_resource_entry = 0;  // file offset of the data entry of the face's bitmap

    const Section& section(const std::string& name) const;
    // The file offset of an RVA inside a section's raw data (past its virtual
    // size too) or inside the headers; throws elsewhere.
    std::uint32_t offset(std::uint32_t rva) const;
};

// Reads the anatomy of a module file; nothing, with `error` set, when the file
// is not a module the reference host can install as the quorlan7 gauge.
std::optional<Anatomy> dissect(const Bytes& module, std::string& error);

}  // namespace q7fuzz
