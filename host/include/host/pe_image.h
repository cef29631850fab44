// A reader for 32-bit Windows PE files as the Windows loader reads them: the headers, the section
// layout it maps, imports and base relocations at load; exports, resources and the TLS directory
// by the lookups Windows makes, over any view of the mapped image.
#pragma once

#include "panel/problem.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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
    // Where its raw data comes from and how much of it is mapped: Windows
    // reads from PointerToRawData rounded down to a multiple of 512 (whatever
    // FileAlignment says), the raw size rounded up to one, and maps it as far
    // as the section's last page, past the virtual size.
    std::uint32_t file_start() const { return raw_offset & ~0x1FFu; }
    std::uint32_t mapped_file_bytes() const;
};

struct PeDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct PeImport {
    std::string dll;
    std::string function;       // empty when imported by ordinal
    std::uint32_t ordinal = 0;  // when imported by ordinal
    std::uint32_t iat_rva = 0;  // where the loader writes the address
};

// A base relocation: the RVA of the field and its type (1 high half, 2 low
// half, 3 a whole 32-bit address).
struct PeRelocation {
    std::uint32_t rva = 0;
    unsigned type = 3;
};

class PeImage {
public:
    // Parses a file as the Windows loader does before it maps it, checking
    // every field it uses against the file's and the image's size; returns
    // nullopt with `error` set to one line naming what is wrong and where.
    static std::optional<PeImage> parse(std::vector<std::uint8_t> bytes, std::string& error);
    // Reads a regular file of at most 64 MiB and parses it.
    static std::optional<PeImage> read_file(const std::string& path, std::string& error);

    static constexpr unsigned kDirectories = 16;  // what Windows reads of NumberOfRvaAndSizes
    enum Directory : unsigned { kExports = 0, kImports = 1, kResources = 2, kRelocations = 5, kTls = 9 };
    static constexpr std::uint16_t kDll = 0x2000;        // Characteristics: the file is a dynamic library
    static constexpr std::uint16_t kDynamicBase = 0x40;  // DllCharacteristics: Windows moves the image

    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t dll_characteristics = 0;
    std::uint32_t image_base = 0;
    std::uint32_t image_size = 0;
    std::uint32_t headers_size = 0;  // SizeOfHeaders as the file says
    // What the header page holds of the file: SizeOfHeaders, and at least
    // the section table.
    std::uint32_t headers_mapped = 0;
    std::uint32_t entry_rva = 0;  // 0: no entry routine
    std::uint32_t section_alignment = 0;
    std::vector<PeSection> sections;
    PeDirectory directories[kDirectories];
    std::vector<PeImport> imports;
    // Read when the image is DYNAMIC_BASE (Windows moves it), or by
    // read_relocations when a host must move it.
    std::vector<PeRelocation> relocations;
    bool relocations_read = false;
    // What is odd about the file but loads.
    std::vector<Warning> warnings;
    std::vector<std::uint8_t> file;

    bool dynamic_base() const { return dll_characteristics & kDynamicBase; }
    bool has_tls() const { return directories[kTls].rva != 0; }
    const PeSection* section_at(std::uint32_t rva) const;
    // The image's bytes at an RVA as Windows maps them from the file: the
    // header page, each section's raw data as described above, zeros
    // elsewhere.
    std::vector<std::uint8_t> bytes_at(std::uint32_t rva, std::size_t size) const;
    // Reads the base relocation directory; false with `error` set when it
    // is not one Windows would apply.
    bool read_relocations(std::string& error);
};

// Reads `n` bytes of the mapped image at an RVA into `out`; false where the
// image has no readable bytes there. The lookups below see the image only
// through one, so they run as well over a module mapped into a machine as
// over the file's layout.
using ImageReader = std::function<bool(std::uint32_t rva, void* out, std::size_t n)>;
ImageReader file_layout_reader(const PeImage& image);

// What GetProcAddress finds: the RVA of an export, or why there is none.
struct ExportLookup {
    std::uint32_t rva = 0;  // 0 when not found
    std::string why;
};
// By name: a binary search of the name table (Windows keeps it sorted); by
// ordinal: the address table at ordinal minus the base. Reads nothing else,
// so a damaged part of the export table no lookup touches does not matter.
ExportLookup find_export(const ImageReader& read, const PeDirectory& exports, std::string_view name);
ExportLookup find_export(const ImageReader& read, const PeDirectory& exports, std::uint32_t ordinal);

// What FindResource and LoadResource find for a numeric type and id: the
// data and its language, or why there is none.
struct ResourceLookup {
    bool found = false;
    std::vector<std::uint8_t> data;
    std::uint32_t language = 0;
    std::string why;
};
// Each level is a binary search over the directory's id entries, which
// follow its named entries and are sorted by id; the language is the neutral
// one, else US English (the host's), else the first listed.
ResourceLookup find_resource(const ImageReader& read, const PeDirectory& resources, std::uint32_t type,
                             std::uint32_t id);

// The whole export table and the whole resource tree, read strictly: for
// tools and tests that list what a module holds. The loader never reads them.
struct PeExport {
    std::string name;  // empty for an export by ordinal only
    std::uint32_t ordinal = 0;
    std::uint32_t rva = 0;
};
struct PeExportTable {
    std::string dll_name;
    std::uint32_t ordinal_base = 0;
    std::vector<PeExport> exports;
};
std::optional<PeExportTable> list_exports(const PeImage& image, std::string& error);
struct PeResource {
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t language = 0;
    std::vector<std::uint8_t> data;
};
struct PeResourceList {
    std::vector<PeResource> resources;  // numeric types, ids and languages
    bool has_named = false;             // an entry given by name anywhere
};
std::optional<PeResourceList> list_resources(const PeImage& image, std::string& error);

}  // namespace q7host
