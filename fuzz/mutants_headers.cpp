// The structured mutants that break the file's frame: truncations and
// extensions, header fields, the base it asks for, sections and directories.
#include "mutant_edits.h"

namespace q7fuzz::edits {

namespace {

using pe::kCode, pe::kData;

constexpr Mutant kHeaderMutants[] = {
    {.label = "real-module", .expect = kOk},  // the module itself, unchanged

    // Truncated and extended files.
    {.label = "truncated-empty", .expect = kUnusable, .edit = truncate<0>},
    {.label = "truncated-1-byte", .expect = kUnusable, .edit = truncate<1>},
    {.label = "truncated-mz-only", .expect = kUnusable, .edit = truncate<2>},
    {.label = "truncated-before-pe-offset", .expect = kUnusable, .edit = truncate<0x3E>},
    {.label = "truncated-in-pe-signature", .expect = kUnusable, .edit = truncate_at<&Anatomy::pe, 2>},
    {.label = "truncated-in-file-header", .expect = kUnusable, .edit = truncate_at<&Anatomy::pe, 12>},
    {.label = "truncated-in-optional-header", .expect = kUnusable, .edit = truncate_at<&Anatomy::optional, 70>},
    {.label = "truncated-in-section-table", .expect = kUnusable, .edit = truncate_at<&Anatomy::section_table, 90>},
    {.label = "truncated-in-headers",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.headers_size - 1); }},
    {.label = "truncated-in-code",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.offset(a.entry) + 0x100); }},
    {.label = "truncated-in-data",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.section(".data").raw_offset + 100); }},
    {.label = "truncated-in-resources",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.section(".rsrc").raw_offset + 0x1000); }},
    {.label = "truncated-last-byte", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy&) { b.pop_back(); }},
    {.label = "extended-by-zeros", .expect = kOk, .edit = [](Bytes& b, const Anatomy&) { b.resize(b.size() + 65536); }},
    {.label = "extended-by-itself",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy&) {
             const Bytes copy = b;
             b.insert(b.end(), copy.begin(), copy.end());
         }},

    // Header fields.
    {.label = "header-pe-offset-huge",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { put32(b, 0x3C, 0xFFFFFFFC); }},
    {.label = "header-pe-offset-zero",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { put32(b, 0x3C, 0); }},
    {.label = "header-pe-offset-at-end",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { put32(b, 0x3C, static_cast<std::uint32_t>(b.size() - 2)); }},
    {.label = "header-machine-amd64", .expect = kUnusable, .edit = half<&Anatomy::pe, pe::kMachine, 0x8664>},
    {.label = "header-optional-magic-pe32plus",
     .expect = kUnusable,
     .edit = half<&Anatomy::optional, pe::kMagic, 0x20B>},
    {.label = "header-sections-0", .expect = kUnusable, .edit = half<&Anatomy::pe, pe::kSectionCount, 0>},
    {.label = "header-sections-one-more",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put16(b, a.pe + pe::kSectionCount, static_cast<std::uint16_t>(a.sections.size() + 1));
         }},
    {.label = "header-sections-97", .expect = kUnusable, .edit = half<&Anatomy::pe, pe::kSectionCount, 97>},
    {.label = "header-sections-65535", .expect = kUnusable, .edit = half<&Anatomy::pe, pe::kSectionCount, 0xFFFF>},
    {.label = "header-optional-size-0", .expect = kUnusable, .edit = half<&Anatomy::pe, pe::kOptionalHeaderSize, 0>},
    {.label = "header-optional-size-65535",
     .expect = kUnusable,
     .edit = half<&Anatomy::pe, pe::kOptionalHeaderSize, 0xFFFF>},
    {.label = "header-not-a-dll", .expect = kUnusable, .edit = half<&Anatomy::pe, pe::kCharacteristics, 0x0102>},
    {.label = "header-entry-zero", .expect = kOk, .edit = word<&Anatomy::optional, pe::kEntryPoint, 0>},
    {.label = "header-entry-huge",
     .expect = kMisbehaved,
     .edit = word<&Anatomy::optional, pe::kEntryPoint, 0xFFFFFFFF>},
    {.label = "header-entry-last-code-byte",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const auto& t = a.sections.front();
             put32(b, a.optional + pe::kEntryPoint, t.rva + t.virtual_size - 1);
         }},
    {.label = "header-image-base-unaligned",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kImageBase, 0x5E700100>},
    {.label = "header-image-base-moved-unrelocated",
     .expect = kMisbehaved,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.optional + pe::kImageBase, 0x30000000);
             put32(b, a.directory(PeImage::kRelocations), 0);
             put32(b, a.directory(PeImage::kRelocations) + 4, 0);
         }},
    {.label = "header-image-base-changed",
     .expect = kMisbehaved,
     .edit = word<&Anatomy::optional, pe::kImageBase, 0x60000000>},
    {.label = "header-section-alignment-0",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kSectionAlignment, 0>},
    {.label = "header-section-alignment-odd",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kSectionAlignment, 0x3000>},
    {.label = "header-section-alignment-2g",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kSectionAlignment, 0x80000000>},
    {.label = "header-image-size-0", .expect = kUnusable, .edit = word<&Anatomy::optional, pe::kImageSize, 0>},
    {.label = "header-image-size-4g",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kImageSize, 0xFFFFF000>},
    {.label = "header-image-size-one-page",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kImageSize, 0x1000>},
    {.label = "header-image-size-16m", .expect = kOk, .edit = word<&Anatomy::optional, pe::kImageSize, 0x1000000>},
    {.label = "header-headers-size-0", .expect = kOk, .edit = word<&Anatomy::optional, pe::kHeadersSize, 0>},
    {.label = "header-headers-size-huge",
     .expect = kUnusable,
     .edit = word<&Anatomy::optional, pe::kHeadersSize, 0xFFFFFFFF>},
    {.label = "header-headers-size-small", .expect = kOk, .edit = word<&Anatomy::optional, pe::kHeadersSize, 0x100>},
    {.label = "header-directories-0", .expect = kUnusable, .edit = word<&Anatomy::optional, pe::kDirectoryCount, 0>},
    {.label = "header-directories-6", .expect = kOk, .edit = word<&Anatomy::optional, pe::kDirectoryCount, 6>},
    {.label = "header-directories-17", .expect = kOk, .edit = word<&Anatomy::optional, pe::kDirectoryCount, 17>},
    {.label = "header-directories-4g",
     .expect = kOk,
     .edit = word<&Anatomy::optional, pe::kDirectoryCount, 0xFFFFFFFF>},

    // The module placed elsewhere: a correct module asking for the host's own
    // areas or for no usable base is moved, and runs.
    {.label = "base-on-host-stubs",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0x60000000); }},
    {.label = "base-on-host-stack",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0x6F000000); }},
    {.label = "base-zero", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0); }},
    {.label = "base-top-of-memory",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0xFFFF0000); }},
    {.label = "section-over-host-stubs",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             rebase(b, a, 0x5FFF0000);
             append_section(b, a, ".stubs", Bytes(0x2000, 0xCC), kCode, 0x60001000 - 0x5FFF0000);
         }},
    {.label = "section-over-host-stack",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             rebase(b, a, 0x6EFF0000);
             append_section(b, a, ".stack", Bytes(0x1000, 0), kData, 0x6F0F0000 - 0x6EFF0000);
         }},

    // Sections.
    {.label = "section-text-raw-offset-outside",
     .expect = kUnusable,
     .edit = section_field<0, pe::kRawOffset, 0xFFFFFE00>},
    {.label = "section-text-raw-size-huge", .expect = kUnusable, .edit = section_field<0, pe::kRawSize, 0xFFFFFFFF>},
    {.label = "section-text-raw-size-0", .expect = kMisbehaved, .edit = section_field<0, pe::kRawSize, 0>},
    // Code in a readable page that is not executable runs or faults as the
    // process's data execution prevention decides.
    {.label = "section-text-not-executable", .edit = section_field<0, pe::kSectionFlags, 0x40000020>},
    {.label = "section-text-writable", .expect = kOk, .edit = section_field<0, pe::kSectionFlags, 0xE0000020>},
    {.label = "section-text-no-access", .expect = kMisbehaved, .edit = section_field<0, pe::kSectionFlags, 0>},
    {.label = "section-data-virtual-size-huge",
     .expect = kUnusable,
     .edit = section_field<1, pe::kVirtualSize, 0xFFFFFFFF>},
    {.label = "section-data-unaligned",
     .expect = kUnusable,
     .edit = [](Bytes& b,
                const Anatomy& a) { put32(b, a.sections[1].header + pe::kVirtualAddress, a.sections[1].rva + 0x10); }},
    {.label = "section-data-overlaps-code",
     .expect = kUnusable,
     .edit = [](Bytes& b,
                const Anatomy& a) { put32(b, a.sections[1].header + pe::kVirtualAddress, a.sections[0].rva); }},
    {.label = "section-data-read-only", .expect = kMisbehaved, .edit = section_field<1, pe::kSectionFlags, 0x40000040>},
    {.label = "section-data-executable", .expect = kOk, .edit = section_field<1, pe::kSectionFlags, 0xE0000040>},
    {.label = "section-data-from-code-bytes",
     .edit = [](Bytes& b,
                const Anatomy& a) { put32(b, a.sections[1].header + pe::kRawOffset, a.sections[0].raw_offset); }},
    {.label = "section-names-unterminated",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             for (const auto& s : a.sections) put(b, s.header, "ABCDEFGH", 8);
         }},
    {.label = "section-rsrc-virtual-size-0",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".rsrc").header + pe::kVirtualSize, 0); }},
    {.label = "section-reloc-dropped",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put16(b, a.pe + pe::kSectionCount, static_cast<std::uint16_t>(a.sections.size() - 1));
         }},

    // Directories.
    {.label = "directory-exports-outside", .expect = kUnusable, .edit = directory<PeImage::kExports, 0, 0xFFFFFFF0>},
    {.label = "directory-exports-size-huge", .expect = kOk, .edit = directory<PeImage::kExports, 4, 0xFFFFFFFF>},
    {.label = "directory-exports-none", .expect = kUnusable, .edit = directory<PeImage::kExports, 0, 0>},
    {.label = "directory-exports-in-headers", .expect = kUnusable, .edit = directory<PeImage::kExports, 0, 0x40>},
    {.label = "directory-imports-outside", .expect = kUnusable, .edit = directory<PeImage::kImports, 0, 0xFFFFFFF0>},
    {.label = "directory-imports-at-image-end",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.directory(PeImage::kImports), a.image_size - 8); }},
    {.label = "directory-resources-outside", .expect = kOk, .edit = directory<PeImage::kResources, 0, 0xFFFFFFF0>},
    {.label = "directory-resources-size-huge", .expect = kOk, .edit = directory<PeImage::kResources, 4, 0xFFFFFFFF>},
    // Too small for a directory's own header: no resources, no pictures.
    {.label = "directory-resources-size-8", .expect = kOk, .edit = directory<PeImage::kResources, 4, 8>},
    {.label = "directory-relocations-outside",
     .expect = kUnusable,
     .edit = directory<PeImage::kRelocations, 0, 0xFFFFFFF0>},
    {.label = "directory-relocations-size-huge",
     .expect = kUnusable,
     .edit = directory<PeImage::kRelocations, 4, 0xFFFFFFFF>},
    {.label = "directory-tls-claimed", .expect = kUnusable, .edit = directory<PeImage::kTls, 0, 0x2000>},

};

}  // namespace

std::span<const Mutant> header_mutants() { return kHeaderMutants; }

}  // namespace q7fuzz::edits
