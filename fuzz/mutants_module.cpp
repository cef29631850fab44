// The structured mutants that break what the module does: the records it
// hands the host, its texts, what Windows runs at load, and broken code in
// each routine the host calls.
#include "mutant_edits.h"

#include <cstring>
#include <string_view>

namespace q7fuzz::edits {

namespace {

using namespace std::string_view_literals;
using pe::kCode;

// A TLS directory in a section of its own (readable, writable, executable):
// its index slot, a list of one callback and the callback's code. Addresses
// are the preferred base's, where the host maps the module.
void new_tls(Bytes& b, const Anatomy& a, std::initializer_list<std::uint8_t> callback, std::uint32_t index_slot = 0) {
    Bytes s(0x40 + callback.size(), 0);
    const std::uint32_t rva = align_up(get32(b, a.optional + pe::kImageSize), 0x1000), va = a.image_base + rva;
    const std::uint32_t directory[] = {0, 0, index_slot ? index_slot : va + 0x20, va + 0x28, 0, 0};
    std::memcpy(s.data(), directory, sizeof directory);
    const std::uint32_t slot_and_list[] = {0xFFFF, 0, va + 0x40, 0};
    std::memcpy(s.data() + 0x20, slot_and_list, sizeof slot_and_list);
    std::copy(callback.begin(), callback.end(), s.begin() + 0x40);
    append_section(b, a, ".tls2", s, kCode, rva);
    put32(b, a.directory(PeImage::kTls), rva);
    put32(b, a.directory(PeImage::kTls) + 4, 24);
}

// A relocation block for one 16-bit field of each half (types 1 and 2) in
// the unused end of .data's last page, added to the directory.
void high_and_low_relocations(Bytes& b, const Anatomy& a) {
    const auto& reloc = a.section(".reloc");
    const std::uint32_t size = get32(b, a.directory(PeImage::kRelocations) + 4), at = reloc.raw_offset + size;
    const std::uint32_t page = a.section(".data").rva, block = 12;
    put32(b, at, page);
    put32(b, at + 4, block);
    put16(b, at + 8, 0x1000 | 0x7F0);
    put16(b, at + 10, 0x2000 | 0x7F4);
    put32(b, a.directory(PeImage::kRelocations) + 4, size + block);
    put32(b, reloc.header + pe::kVirtualSize, std::max(get32(b, reloc.header + pe::kVirtualSize), size + block));
}

// Every routine the host calls gets the same set of broken starts; the
// status is 1 wherever the viewer runs the routine.
#define Q7_BROKEN_ROUTINE(R, name, status)                                                                             \
    {.label = "code-" name "-endless-loop", .expect = status, .edit = code<&Anatomy::R, 0xEB, 0xFE>},                  \
        {.label = "code-" name "-far-jump-through-register", .expect = status, .edit = code<&Anatomy::R, 0xFF, 0xEF>}, \
        {.label = "code-" name "-far-call-through-register", .expect = status, .edit = code<&Anatomy::R, 0xFF, 0xDF>}, \
        {.label = "code-" name "-hlt", .expect = status, .edit = code<&Anatomy::R, 0xF4>},                             \
        {.label = "code-" name "-int3", .expect = status, .edit = code<&Anatomy::R, 0xCC>},                            \
        {.label = "code-" name "-ud2", .expect = status, .edit = code<&Anatomy::R, 0x0F, 0x0B>},                       \
        {.label = "code-" name "-call-null", .expect = status, .edit = code<&Anatomy::R, 0x31, 0xC0, 0xFF, 0xD0>},     \
        {.label = "code-" name "-write-host-code",                                                                     \
         .expect = status,                                                                                             \
         .edit = code<&Anatomy::R, 0xC7, 0x05, 0x00, 0x10, 0x00, 0x60, 1, 0, 0, 0>},                                   \
        {.label = "code-" name "-endless-recursion",                                                                   \
         .expect = status,                                                                                             \
         .edit = code<&Anatomy::R, 0xE8, 0xFB, 0xFF, 0xFF, 0xFF>},                                                     \
        {.label = "code-" name "-stub-interrupt", .expect = status, .edit = code<&Anatomy::R, 0xCD, 0x2E>},            \
        {.label = "code-" name "-clobber-and-return",                                                                  \
         .expect = status,                                                                                             \
         .edit = code<&Anatomy::R, 0x31, 0xDB, 0x31, 0xF6, 0xC3>},                                                     \
        {.label = "code-" name "-noise-1", .edit = noise<&Anatomy::R, 1>},                                             \
        {.label = "code-" name "-noise-2", .edit = noise<&Anatomy::R, 2>}, {                                           \
        .label = "code-" name "-noise-3", .edit = noise<&Anatomy::R, 3>                                                \
    }

constexpr Mutant kModuleMutants[] = {
    // The records the gauge hands the host.
    {.label = "record-import-table-wrong-id",
     .expect = kUnusable,
     .edit = record<&Anatomy::import_table, L::import_table::kEntryId, 0x0E>},
    {.label = "record-linkage-no-gauge",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::linkage, L::linkage::kGauges, 0>},
    {.label = "record-linkage-wild-gauge",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::linkage, L::linkage::kGauges, 0xDEADBEEF>},
    {.label = "record-gauge-install-null",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::gauge, L::gauge_header::kInstall, 0>},
    {.label = "record-gauge-install-into-data",
     .expect = kMisbehaved,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.offset(a.gauge + L::gauge_header::kInstall), a.image_base + a.linkage);
         }},
    {.label = "record-gauge-element-list-null", .edit = record<&Anatomy::gauge, L::gauge_header::kElementList, 0>},
    {.label = "record-root-kind-garbage", .edit = record<&Anatomy::root, L::element::kKind, 0x41414141>},
    {.label = "record-root-children-are-itself",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t list = get32(b, a.offset(a.gauge + L::gauge_header::kElementList));
             put32(b, a.offset(a.root + L::element::kChildList), list);
         }},
    {.label = "record-dot-bitmap-missing", .expect = kOk, .edit = record<&Anatomy::dot, L::element::kBitmapId, 0x9999>},
    {.label = "record-dot-callback-wild",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::dot, L::moving_image::kXCallback, 0xDEADBEEF>},
    {.label = "record-dot-scale-nan",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.offset(a.dot + L::moving_image::kXScale), 0);
             put32(b, a.offset(a.dot + L::moving_image::kXScale + 4), 0x7FF80000);
         }},
    {.label = "record-dot-scale-huge",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.offset(a.dot + L::moving_image::kYScale), 0xFFFFFFFF);
             put32(b, a.offset(a.dot + L::moving_image::kYScale + 4), 0x7FEFFFFF);
         }},
    {.label = "record-dot-position-far-off",
     .expect = kOk,
     .edit = record<&Anatomy::dot, L::element::kPositionX, 0x80000000>},
    {.label = "record-dot-variable-unknown", .edit = record<&Anatomy::dot, L::moving_image::kXSource, 0xFFFF>},
    {.label = "record-text-max-chars-0",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::distance_box, L::string_element::kMaxChars, 0>},
    {.label = "record-text-max-chars-huge",
     .edit = record<&Anatomy::distance_box, L::string_element::kMaxChars, 0xFFFFFFFF>},
    {.label = "record-text-box-huge",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.offset(a.ident_box + L::string_element::kBoxWidth), 0x7FFFFFFF);
             put32(b, a.offset(a.ident_box + L::string_element::kBoxHeight), 0x7FFFFFFF);
         }},
    {.label = "record-text-box-negative",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.offset(a.ident_box + L::string_element::kBoxWidth), 0x80000000);
             put32(b, a.offset(a.ident_box + L::string_element::kBoxHeight), 0xFFFFFFFF);
         }},
    {.label = "record-text-face-name-unterminated",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put(b, a.offset(a.ident_box + L::string_element::kFaceName), "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 32);
         }},
    {.label = "record-text-face-name-not-utf8",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put(b, a.offset(a.ident_box + L::string_element::kFaceName), "\xFF\xFE\xC0\x80 Bold\0", 10);
         }},
    {.label = "record-text-callback-wild",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::ident_box, L::string_element::kTextCallback, 0x00001234>},
    {.label = "record-mouse-list-kind-garbage",
     .expect = kMisbehaved,
     .edit = record<&Anatomy::mouse_list, L::mouse_rect::kKind, 7>},
    {.label = "record-mouse-list-unterminated",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             // Every closing entry (of the parents and of the list) becomes a box.
             for (unsigned i = 1; i < 8; ++i) {
                 const std::uint32_t at = a.offset(a.mouse_list + i * L::mouse_rect::kSize), kind = get32(b, at);
                 if (kind == L::mouse_rect::kEnd || kind == L::mouse_rect::kEndParent)
                     put32(b, at, L::mouse_rect::kChild);
             }
         }},
    {.label = "record-mouse-list-wild-handlers",
     .expect = kMisbehaved,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             for (unsigned i = 0; i < 6; ++i) {
                 const std::uint32_t at = a.mouse_list + i * L::mouse_rect::kSize;
                 if (get32(b, a.offset(at)) == L::mouse_rect::kChild)
                     put32(b, a.offset(at + L::mouse_rect::kHandler), 0xDEADBEEF);
             }
         }},
    {.label = "record-mouse-box-huge",
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.offset(a.mouse_list + L::mouse_rect::kBoxWidth), 0x7FFFFFFF);
             put32(b, a.offset(a.mouse_list + L::mouse_rect::kBoxHeight), 0x7FFFFFFF);
         }},

    // Hostile texts.
    {.label = "text-identifier-not-utf8",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\xFF\xFE\xC0GA"sv); }},
    {.label = "text-identifier-control-bytes",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\x1B[2J\x07"sv); }},
    {.label = "text-identifier-quotes",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\"\\\"\\n"sv); }},
    {.label = "text-identifier-empty",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\0"sv); }},
    {.label = "text-format-huge-width",
     .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%5d\0%4d\0%3d\0"sv, "%999999999d\0"sv); }},
    {.label = "text-format-huge-width-number",
     .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0-----\0"sv, "%99999999d"sv); }},
    {.label = "text-format-huge-precision",
     .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%5d\0%4d\0%3d\0"sv, "%.99999999d"sv); }},
    {.label = "text-format-string-from-number",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0"sv, "%s\0"sv); }},
    {.label = "text-format-many-conversions",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%5d\0%4d\0%3d\0"sv, "%s%s%s%s%s\0"sv); }},
    {.label = "text-format-lone-percent",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0"sv, "%\0"sv); }},
    {.label = "text-format-star-width",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%4d\0"sv, "%*d\0"sv); }},
    {.label = "text-format-wide-string",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0"sv, "%S\0"sv); }},
    {.label = "text-dashes-unterminated",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "-----\0"sv, "------"sv); }},

    // What Windows loads although it looks wrong, and what it runs at load.
    {.label = "windows-entry-returns-2",
     .expect = kOk,
     .edit = code<&Anatomy::entry, 0xB8, 2, 0, 0, 0, 0xC2, 0x0C, 0x00>},
    {.label = "windows-entry-returns-minus-1",
     .expect = kOk,
     .edit = code<&Anatomy::entry, 0x83, 0xC8, 0xFF, 0xC2, 0x0C, 0x00>},
    {.label = "windows-entry-returns-0",
     .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x31, 0xC0, 0xC2, 0x0C, 0x00>},
    {.label = "windows-entry-unbalances-stack", .expect = kOk, .edit = code<&Anatomy::entry, 0xB8, 1, 0, 0, 0, 0xC3>},
    {.label = "windows-data-raw-offset-unaligned",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put32(b, a.sections[1].header + pe::kRawOffset, a.sections[1].raw_offset + 0x10);
         }},
    {.label = "windows-data-virtual-size-16", .expect = kOk, .edit = section_field<1, pe::kVirtualSize, 0x10>},
    {.label = "windows-exports-names-unsorted",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t dir = a.offset(get32(b, a.directory(PeImage::kExports)));
             const std::uint32_t names = a.offset(get32(b, dir + pe::kNames)),
                                 ords = a.offset(get32(b, dir + pe::kNameOrdinals));
             const std::uint32_t first = get32(b, names), second = get32(b, names + 4);
             put32(b, names, second);
             put32(b, names + 4, first);
             const std::uint32_t both = get32(b, ords);
             put32(b, ords, (both >> 16) | (both << 16));
         }},
    {.label = "windows-resources-bitmap-type-claims-more",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             const std::uint32_t root = get32(b, a.directory(PeImage::kResources)), at = a.offset(root);
             const unsigned named = get16(b, at + 12), ids = get16(b, at + 14);
             for (unsigned i = named; i < named + ids; ++i) {
                 if (get32(b, at + 16 + 8 * i) != 2) continue;
                 const std::uint32_t type_dir = a.offset(root + (get32(b, at + 20 + 8 * i) & 0x7FFFFFFF));
                 put16(b, type_dir + 14, static_cast<std::uint16_t>(get16(b, type_dir + 14) + 5));
             }
         }},
    {.label = "windows-relocations-high-and-low-moved",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             rebase(b, a, 0x60000000);
             high_and_low_relocations(b, a);
         }},
    {.label = "windows-relocations-broken-not-dynamic-base",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             put16(b, a.optional + pe::kDllCharacteristics,
                   static_cast<std::uint16_t>(get16(b, a.optional + pe::kDllCharacteristics) & ~0x40));
             put32(b, a.section(".reloc").raw_offset + 4, 0);
         }},
    {.label = "windows-relocations-broken-not-dynamic-base-moved",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             rebase(b, a, 0x60000000);
             put16(b, a.optional + pe::kDllCharacteristics,
                   static_cast<std::uint16_t>(get16(b, a.optional + pe::kDllCharacteristics) & ~0x40));
             put32(b, a.section(".reloc").raw_offset + 4, 0);
         }},
    {.label = "windows-tls-callback-returns",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             new_tls(b, a, {0xB8, 1, 0, 0, 0, 0xC2, 0x0C, 0x00});
         }},
    {.label = "windows-tls-callback-unbalances-stack",
     .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { new_tls(b, a, {0xC3}); }},
    {.label = "windows-tls-callback-crashes",
     .expect = kOk,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             new_tls(b, a, {0x31, 0xC0, 0x8B, 0x00});
         }},
    {.label = "windows-tls-index-slot-nowhere",
     .expect = kUnusable,
     .edit =
         [](Bytes& b, const Anatomy& a) {
             new_tls(b, a, {0xC2, 0x0C, 0x00}, 0xFFFFFFF0);
         }},

    // Broken code in each routine the host runs.
    Q7_BROKEN_ROUTINE(entry, "entry", kMisbehaved),
    Q7_BROKEN_ROUTINE(install, "install", kMisbehaved),
    Q7_BROKEN_ROUTINE(uninstall, "uninstall", kAnyStatus),
    Q7_BROKEN_ROUTINE(x_callback, "dot-x", kMisbehaved),
    Q7_BROKEN_ROUTINE(ident_callback, "identifier", kMisbehaved),
    Q7_BROKEN_ROUTINE(distance_callback, "distance", kMisbehaved),
    Q7_BROKEN_ROUTINE(right_handler, "right-arrow", kMisbehaved),
    Q7_BROKEN_ROUTINE(left_handler, "left-arrow", kMisbehaved),
    // Instructions a routine has no business running.
    {.label = "code-entry-int-80", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0xCD, 0x80>},
    {.label = "code-entry-sysenter", .edit = code<&Anatomy::entry, 0x0F, 0x34>},
    {.label = "code-entry-syscall", .edit = code<&Anatomy::entry, 0x0F, 0x05>},
    {.label = "code-entry-far-jump-direct", .edit = code<&Anatomy::entry, 0xEA, 0, 0, 0, 0, 0x08, 0>},
    {.label = "code-entry-far-call-direct", .edit = code<&Anatomy::entry, 0x9A, 0, 0, 0, 0, 0x33, 0>},
    {.label = "code-entry-iret", .edit = code<&Anatomy::entry, 0xCF>},
    {.label = "code-entry-far-return", .edit = code<&Anatomy::entry, 0xCB>},
    {.label = "code-entry-port-input", .edit = code<&Anatomy::entry, 0xEC>},
    {.label = "code-entry-clear-protection-bit", .edit = code<&Anatomy::entry, 0x31, 0xC0, 0x0F, 0x22, 0xC0>},
    {.label = "code-entry-load-descriptor-table", .edit = code<&Anatomy::entry, 0x0F, 0x01, 0x10>},
    {.label = "code-entry-load-segment", .edit = code<&Anatomy::entry, 0x66, 0xB8, 0x33, 0x00, 0x8E, 0xD8>},
    {.label = "code-entry-overlong-instruction",
     .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                  0x66, 0x90>},
    {.label = "code-entry-lock-nop", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0xF0, 0x90>},
    {.label = "code-entry-icebp", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0xF1>},
    {.label = "code-entry-jump-into-stubs", .edit = code<&Anatomy::entry, 0xB8, 0x00, 0x10, 0x00, 0x60, 0xFF, 0xE0>},
    {.label = "code-entry-jump-into-host-data",
     .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0xB8, 0x00, 0x00, 0x03, 0x60, 0xFF, 0xE0>},
    {.label = "code-entry-stack-pointer-zero", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0x31, 0xE4, 0xC3>},
    {.label = "code-entry-push-forever", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0x50, 0xEB, 0xFD>},
    {.label = "code-entry-divide-by-zero",
     .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x31, 0xC9, 0xF7, 0xF1>},
    {.label = "code-entry-trap-flag",
     .edit = code<&Anatomy::entry, 0x9C, 0x81, 0x0C, 0x24, 0x00, 0x01, 0x00, 0x00, 0x9D, 0x90>},
    {.label = "code-entry-overflow-trap", .edit = code<&Anatomy::entry, 0xB0, 0x7F, 0x04, 0x01, 0xCE>},
    {.label = "code-entry-fill-the-stack",
     .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x89, 0xE7, 0xB9, 0xFF, 0xFF, 0xFF, 0x7F, 0xF3, 0xAA>},
    {.label = "code-entry-copy-from-nowhere",
     .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x31, 0xF6, 0x89, 0xE7, 0xB9, 0x00, 0x01, 0x00, 0x00, 0xF3, 0xA4>},
    {.label = "code-entry-unaligned-sse", .edit = code<&Anatomy::entry, 0x89, 0xE0, 0x40, 0x0F, 0x28, 0x00>},
    {.label = "code-entry-avx", .edit = code<&Anatomy::entry, 0xC5, 0xFC, 0x77>},
    {.label = "code-dot-x-x87-stack-overflow",
     .edit = code<&Anatomy::x_callback, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9,
                  0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xC3>},
    {.label = "code-dot-x-returns-nothing", .edit = code<&Anatomy::x_callback, 0xC3>},
};

#undef Q7_BROKEN_ROUTINE

}  // namespace

std::span<const Mutant> module_mutants() { return kModuleMutants; }

}  // namespace q7fuzz::edits
