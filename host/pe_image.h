// A reader for 32-bit Windows PE files: headers, sections, exports, imports,
// base relocations and the resource directory, from the file's bytes alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace q7host {

struct PeSection {
    std::string name;
    std::uint32_t virtual_address = 0;
    std::uint32_t virtual_size = 0;
    std::uint32_t raw_offset = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t characteristics = 0;
    bool readable() const { return characteristics & 0x40000000; }
    bool writable() const { return characteristics & 0x80000000; }
    bool executable() const { return characteristics & 0x20000000; }
    // The bytes the section takes in the image: its virtual size, or its raw
    // size where the virtual size is 0.
    std::uint32_t span() const;
};

struct PeExport {
    std::string name;  // empty for an export by ordinal only
    std::uint32_t ordinal = 0;
    std::uint32_t rva = 0;
};

struct PeImport {
    std::string dll;
    std::string function;       // empty when imported by ordinal
    std::uint32_t ordinal = 0;  // when imported by ordinal
    std::uint32_t iat_rva = 0;  // where the loader writes the address
};

struct PeResource {
    std::uint32_t type = 0;  // numeric ids only; named entries are reported in `named`
    std::uint32_t id = 0;
    std::uint32_t language = 0;
    std::uint32_t data_rva = 0;
    std::uint32_t codepage = 0;
    std::vector<std::uint8_t> data;
};

class PeImage {
public:
    // Parses a file, checking every header field, section, directory,
    // relocation, import, export and resource against the file's and the
    // image's size before it is used; returns nullopt with `error` set to one
    // line naming what is wrong and where.
    static std::optional<PeImage> parse(std::vector<std::uint8_t> bytes, std::string& error);
    // Reads a regular file of at most 64 MiB and parses it.
    static std::optional<PeImage> read_file(const std::string& path, std::string& error);

    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint32_t image_base = 0;
    std::uint32_t image_size = 0;
    std::uint32_t headers_size = 0;
    std::uint32_t entry_rva = 0;
    std::uint32_t section_alignment = 0;
    std::vector<PeSection> sections;
    std::string export_dll_name;
    std::uint32_t export_ordinal_base = 0;
    std::vector<PeExport> exports;
    std::vector<PeImport> imports;
    std::vector<std::uint32_t> relocations;  // RVAs of 32-bit absolute addresses
    std::vector<PeResource> resources;
    bool has_named_resources = false;
    bool has_tls = false;
    std::vector<std::uint8_t> file;

    const PeSection* section_at(std::uint32_t rva) const;
    const PeResource* resource(std::uint32_t type, std::uint32_t id) const;
    // Bytes of the image at an RVA as they lie in the file (zero-filled past the
    // raw data of a section).
    std::vector<std::uint8_t> bytes_at(std::uint32_t rva, std::size_t size) const;
};

}  // namespace q7host
