// Edits of a module file's bytes: bounded reads and writes of little-endian
// fields, the PE header fields by name, a text replaced in place, a section
// added, the whole image moved to another preferred base. Shared by the
// structured mutants and the tests that change the module one thing at a time.
#pragma once

#include "fuzz/anatomy.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace q7fuzz {

// Offsets of the PE fields the edits touch.
namespace pe {
// From the PE signature (file header).
inline constexpr unsigned kMachine = 4, kSectionCount = 6, kOptionalHeaderSize = 20, kCharacteristics = 22;
// From the optional header.
inline constexpr unsigned kMagic = 0, kEntryPoint = 16, kImageBase = 28, kSectionAlignment = 32, kImageSize = 56;
inline constexpr unsigned kHeadersSize = 60, kDllCharacteristics = 70, kDirectoryCount = 92, kDirectories = 96;
// From a section-table entry, and its flags.
inline constexpr unsigned kSectionHeaderSize = 40, kVirtualSize = 8, kVirtualAddress = 12, kRawSize = 16;
inline constexpr unsigned kRawOffset = 20, kSectionFlags = 36;
inline constexpr std::uint32_t kData = 0xC0000040, kCode = 0xE0000020, kConst = 0x40000040;
// From an export directory.
inline constexpr unsigned kExportName = 12, kOrdinalBase = 16, kFunctionCount = 20, kNameCount = 24;
inline constexpr unsigned kFunctions = 28, kNames = 32, kNameOrdinals = 36;
// From an import descriptor.
inline constexpr unsigned kImportLookup = 0, kImportName = 12, kImportAddresses = 16;
}  // namespace pe

// Every read and write checks its bounds and throws std::out_of_range past
// the file's end: an edit that misses the file is a fault of the edit.
void put(Bytes& b, std::size_t at, const void* data, std::size_t n);
inline void put8(Bytes& b, std::size_t at, std::uint8_t v) { put(b, at, &v, 1); }
inline void put16(Bytes& b, std::size_t at, std::uint16_t v) { put(b, at, &v, 2); }
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) { put(b, at, &v, 4); }
std::uint32_t get32(const Bytes& b, std::size_t at);
std::uint16_t get16(const Bytes& b, std::size_t at);
std::uint32_t align_up(std::uint64_t v, std::uint32_t to);

// File offsets of a field of the export directory and of the first import
// descriptor.
std::uint32_t export_field(const Bytes& b, const Anatomy& a, unsigned field);
std::uint32_t import_field(const Bytes& b, const Anatomy& a, unsigned field);

// Writes `now` over the first bytes of the text `old`, which must be in the file.
void overwrite_text(Bytes& b, std::string_view old, std::string_view now);

// Adds a section after the last one (or at `rva`) holding `content`, the
// image grown to cover it; returns its RVA.
std::uint32_t append_section(Bytes& b, const Anatomy& a, const char* name, const Bytes& content,
                             std::uint32_t characteristics, std::uint32_t rva = 0);

// Moves the module's preferred base, its absolute addresses with it: the same
// module linked for another place.
void rebase(Bytes& b, const Anatomy& a, std::uint32_t base);

}  // namespace q7fuzz
