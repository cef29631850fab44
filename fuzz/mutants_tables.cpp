// The structured mutants that break the tables the file holds: exports,
// imports, base relocations, resources and bitmaps.
#include "mutant_edits.h"

#include <cstring>
#include <string_view>

namespace q7fuzz::edits {

namespace {

using namespace std::string_view_literals;
using pe::kConst, pe::kData;

// A bitmap resource of width x height at 1 bit per pixel, black and white.
Bytes dib(std::int32_t width, std::int32_t height) {
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) + 31) / 32 * 4;
    Bytes d(48 + std::size_t{stride} * static_cast<std::uint32_t>(height < 0 ? -height : height), 0x55);
    const std::uint32_t header[] = {40,
                                    static_cast<std::uint32_t>(width),
                                    static_cast<std::uint32_t>(height),
                                    1u | (1u << 16),
                                    0,
                                    0,
                                    0,
                                    0,
                                    2,
                                    0,
                                    0x000000,
                                    0xFFFFFF};
    std::memcpy(d.data(), header, sizeof header);
    return d;
}
// Points the face's resource entry at a new bitmap.
void new_face(Bytes& b, const Anatomy& a, std::int32_t w, std::int32_t h) {
    const Bytes picture = dib(w, h);
    const std::uint32_t rva = append_section(b, a, ".face", picture, kConst);
    put32(b, a.face_resource_entry, rva);
    put32(b, a.face_resource_entry + 4, static_cast<std::uint32_t>(picture.size()));
}

// An import directory in a section of its own: `modules` descriptors, each
// with `functions` imports of msvcrt.dll!cos.
void new_imports(Bytes& b, const Anatomy& a, unsigned modules, unsigned functions) {
    const std::uint32_t rva = align_up(get32(b, a.optional + pe::kImageSize), 0x1000);
    const std::uint32_t descriptors = rva, name = rva + 20 * (modules + 1), hint = name + 16, lookup = hint + 8,
                        iat = lookup + 4 * (functions + 1);
    Bytes s(iat - rva + 4 * (functions + 1), 0);
    auto w32 = [&](std::uint32_t at, std::uint32_t v) { std::memcpy(s.data() + (at - rva), &v, 4); };
    for (unsigned m = 0; m < modules; ++m) {
        w32(descriptors + 20 * m, lookup);
        w32(descriptors + 20 * m + 12, name);
        w32(descriptors + 20 * m + 16, iat);
    }
    std::memcpy(s.data() + (name - rva), "msvcrt.dll", 10);
    std::memcpy(s.data() + (hint - rva + 2), "cos", 3);
    for (unsigned f = 0; f < functions; ++f) w32(lookup + 4 * f, hint);
    append_section(b, a, ".imp", s, kData, rva);
    put32(b, a.directory(PeImage::kImports), descriptors);
    put32(b, a.directory(PeImage::kImports) + 4, 20 * (modules + 1));
}

// Relocation blocks claiming `count` addresses in the first page of code.
void many_relocations(Bytes& b, const Anatomy& a, unsigned count) {
    const std::uint32_t rva = align_up(get32(b, a.optional + pe::kImageSize), 0x1000);
    Bytes s(8 + 2 * std::size_t{count}, 0);
    const std::uint32_t head[] = {a.sections.front().rva, static_cast<std::uint32_t>(s.size())};
    std::memcpy(s.data(), head, 8);
    for (unsigned k = 0; k < count; ++k) {
        const std::uint16_t e = static_cast<std::uint16_t>(0x3000 | (k % 0x800));
        std::memcpy(s.data() + 8 + 2 * k, &e, 2);
    }
    append_section(b, a, ".rel2", s, kConst, rva);
    put32(b, a.directory(PeImage::kRelocations), rva);
    put32(b, a.directory(PeImage::kRelocations) + 4, static_cast<std::uint32_t>(s.size()));
}

// A name of 300 letters and no end in a section of its own; returns its RVA.
std::uint32_t endless_name(Bytes& b, const Anatomy& a) {
    return append_section(b, a, ".name", Bytes(300, 'A'), kConst);
}

constexpr Mutant kTableMutants[] = {
    // Exports.
    {.label = "exports-count-huge",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, export_field(b, a, pe::kFunctionCount), 0xFFFFFFFF); }},
    {.label = "exports-more-names-than-functions",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, export_field(b, a, pe::kNameCount), 3); }},
    {.label = "exports-ordinal-base-huge",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, export_field(b, a, pe::kOrdinalBase), 0xFFFFFFFF); }},
    {.label = "exports-name-outside",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t names = get32(b, export_field(b, a, pe::kNames));
             put32(b, a.offset(names), 0x7FFFFFF0);
         }},
    {.label = "exports-ordinal-out-of-range",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t ords = get32(b, export_field(b, a, pe::kNameOrdinals));
             put16(b, a.offset(ords), 0xFFFF);
         }},
    {.label = "exports-names-swapped",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t ords = a.offset(get32(b, export_field(b, a, pe::kNameOrdinals)));
             const std::uint32_t both = get32(b, ords);
             put32(b, ords, (both >> 16) | (both << 16));
         }},
    {.label = "exports-forwarded",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t funcs = get32(b, export_field(b, a, pe::kFunctions));
             put32(b, a.offset(funcs), get32(b, a.directory(PeImage::kExports)) + 4);
         }},
    {.label = "exports-linkage-at-image-end",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t funcs = get32(b, export_field(b, a, pe::kFunctions));
             put32(b, a.offset(funcs) + 4, a.image_size - 4);
         }},
    {.label = "exports-linkage-into-code",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t funcs = get32(b, export_field(b, a, pe::kFunctions));
             put32(b, a.offset(funcs) + 4, a.entry);
         }},
    {.label = "exports-import-table-renamed",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "ImportTable\0"sv, "ImportTablf"sv); }},
    {.label = "exports-module-name-endless",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, export_field(b, a, pe::kExportName), endless_name(b, a)); }},

    // Imports.
    {.label = "imports-300-functions",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { new_imports(b, a, 1, 300); }},
    {.label = "imports-257-modules",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { new_imports(b, a, 257, 0); }},
    {.label = "imports-256-functions", .edit = [](Bytes& b, const Anatomy& a) { new_imports(b, a, 1, 256); }},
    // wsprintfW is a USER32 function Windows has: the module loads, and its
    // first frame calls what this host does not model.
    {.label = "imports-function-the-host-does-not-model",
     .expect = kHostLimit,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "wsprintfA"sv, "wsprintfW"sv); }},
    {.label = "imports-function-its-dll-does-not-export",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "wsprintfA"sv, "wsprintfQ"sv); }},
    {.label = "imports-module-the-host-lacks",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "USER32.dll"sv, "USER33.dll"sv); }},
    // By ordinal: Windows binds it; this host keeps no ordinals of system
    // DLLs, so the call is its limit.
    {.label = "imports-by-ordinal",
     .expect = kHostLimit,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t lookup = get32(b, import_field(b, a, pe::kImportLookup));
             put32(b, a.offset(lookup), 0x80000001);
         }},
    {.label = "imports-name-endless",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, import_field(b, a, pe::kImportName), endless_name(b, a)); }},
    {.label = "imports-lookup-unterminated",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, import_field(b, a, pe::kImportLookup), endless_name(b, a)); }},
    {.label = "imports-address-table-outside",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, import_field(b, a, pe::kImportAddresses), 0x7FFFFF00); }},
    {.label = "imports-address-table-over-linkage",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, import_field(b, a, pe::kImportAddresses), a.linkage + L::linkage::kGauges);
         }},
    {.label = "imports-address-table-over-code",
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, import_field(b, a, pe::kImportAddresses), a.entry); }},

    // Base relocations (the real module's are applied only when it moves, so
    // some of these move it).
    {.label = "relocations-block-size-0",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset + 4, 0); }},
    {.label = "relocations-block-size-odd",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset + 4, 11); }},
    {.label = "relocations-block-size-huge",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset + 4, 0xFFFFFFF8); }},
    {.label = "relocations-type-dir64",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put16(b, a.section(".reloc").raw_offset + 8, 0xA000); }},
    {.label = "relocations-page-outside",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset, 0xFFFFF000); }},
    {.label = "relocations-at-image-end",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.section(".reloc").raw_offset, a.image_size - 0x1000);
             put16(b, a.section(".reloc").raw_offset + 8, 0x3FFE);
         }},
    {.label = "relocations-65537",
     .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { many_relocations(b, a, 65537); }},
    {.label = "relocations-all-on-one-address-and-moved",
     .expect = kMisbehaved,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             rebase(b, a, 0x60000000);
             const std::uint32_t r = a.section(".reloc").raw_offset;
             for (unsigned k = 10; k + 2 <= get32(b, r + 4); k += 2) put16(b, r + k, get16(b, r + 8));
         }},
    {.label = "relocations-into-headers-and-moved",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             rebase(b, a, 0x60000000);
             put32(b, a.section(".reloc").raw_offset, 0);
         }},

    // Resources and bitmaps.
    {.label = "resources-65535-entries",
     .expect = kOk,
     .edit = [](Bytes& b,
                const Anatomy& a) { put16(b, a.offset(get32(b, a.directory(PeImage::kResources))) + 14, 0xFFFF); }},
    {.label = "resources-subdirectory-outside",
     .expect = kOk,
     .edit = [](Bytes& b,
                const Anatomy& a) { put32(b, a.offset(get32(b, a.directory(PeImage::kResources))) + 20, 0xFFFFFFF0); }},
    {.label = "resources-subdirectory-is-root",
     .edit = [](Bytes& b,
                const Anatomy& a) { put32(b, a.offset(get32(b, a.directory(PeImage::kResources))) + 20, 0x80000000); }},
    {.label = "resources-face-data-outside",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.face_resource_entry, 0xFFFFF000); }},
    {.label = "resources-face-size-huge",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.face_resource_entry + 4, 0x7FFFFFFF); }},
    {.label = "resources-face-size-0",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.face_resource_entry + 4, 0); }},
    {.label = "bitmap-face-width-huge",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.face_resource_entry)) + 4, 0x7FFFFFFF); }},
    {.label = "bitmap-face-height-most-negative",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.face_resource_entry)) + 8, 0x80000000); }},
    {.label = "bitmap-face-header-size-huge",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.face_resource_entry)), 0xFFFFFFF0); }},
    {.label = "bitmap-face-colours-huge",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.face_resource_entry)) + 32, 0xFFFFFFFF); }},
    {.label = "bitmap-face-bits-0",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put16(b, a.offset(get32(b, a.face_resource_entry)) + 14, 0); }},
    {.label = "bitmap-face-4096-at-scale-32",
     .picture_scale = 32,
     .edit = [](Bytes& b, const Anatomy& a) { new_face(b, a, 4096, 4096); }},
    {.label = "bitmap-face-4096-top-down",
     .picture_scale = 1,
     .edit = [](Bytes& b, const Anatomy& a) { new_face(b, a, 4096, -4096); }},
    {.label = "bitmap-face-1x1",
     .expect = kOk,
     .picture_scale = 32,
     .edit = [](Bytes& b, const Anatomy& a) { new_face(b, a, 1, 1); }},

};

}  // namespace

std::span<const Mutant> table_mutants() { return kTableMutants; }

}  // namespace q7fuzz::edits