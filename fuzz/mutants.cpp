// The structured mutants: the real module with one thing broken, each labelled
// and, where the outcome is certain, with the viewer's exit status on it (0
// shown, 1 the module misbehaved, 2 the file is unusable).
#include "fuzz/mutants.h"

#include "host/layout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace q7fuzz {

namespace {

using namespace std::string_view_literals;
namespace L = q7host;

constexpr int kOk = 0, kMisbehaved = 1, kUnusable = 2;

// Edits check their bounds: a mutant that misses the file is a fault of the
// table, not a case.
void put(Bytes& b, std::size_t at, const void* data, std::size_t n) {
    if (at > b.size() || n > b.size() - at) throw std::out_of_range("a mutant edits past the file's end");
    std::memcpy(b.data() + at, data, n);
}
void put8(Bytes& b, std::size_t at, std::uint8_t v) { put(b, at, &v, 1); }
void put16(Bytes& b, std::size_t at, std::uint16_t v) { put(b, at, &v, 2); }
void put32(Bytes& b, std::size_t at, std::uint32_t v) { put(b, at, &v, 4); }
std::uint32_t get32(const Bytes& b, std::size_t at) {
    if (at + 4 > b.size()) throw std::out_of_range("a mutant reads past the file's end");
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
std::uint16_t get16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(get32(b, at) & 0xFFFF); }
std::uint32_t align_up(std::uint64_t v, std::uint32_t to) { return static_cast<std::uint32_t>((v + to - 1) / to * to); }

// Writes `now` over the first bytes of the text `old`, which must be in the file.
void overwrite_text(Bytes& b, std::string_view old, std::string_view now) {
    const auto at = std::search(b.begin(), b.end(), old.begin(), old.end());
    if (at == b.end() || now.size() > old.size()) throw std::runtime_error("a mutant's text is not in the module");
    put(b, static_cast<std::size_t>(at - b.begin()), now.data(), now.size());
}

// Adds a section after the last one (or at `rva`) holding `content`; returns its RVA.
std::uint32_t append_section(Bytes& b, const Anatomy& a, const char* name, const Bytes& content,
                             std::uint32_t characteristics, std::uint32_t rva = 0) {
    const unsigned count = get16(b, a.pe + 6);
    const std::uint32_t header = a.section_table + 40 * count;
    if (header + 40 > a.sections.front().raw_offset) throw std::runtime_error("no room for another section header");
    std::uint32_t end = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint32_t h = a.section_table + 40 * i;
        end = std::max(end, get32(b, h + 12) + std::max(get32(b, h + 8), get32(b, h + 16)));
    }
    if (!rva) rva = align_up(end, 0x1000);
    const std::uint32_t raw = align_up(b.size(), 0x200), raw_size = align_up(content.size(), 0x200);
    b.resize(raw + raw_size, 0);
    std::copy(content.begin(), content.end(), b.begin() + raw);
    char field[8] = {};
    std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
    put(b, header, field, 8);
    put32(b, header + 8, static_cast<std::uint32_t>(content.size()));
    put32(b, header + 12, rva);
    put32(b, header + 16, raw_size);
    put32(b, header + 20, raw);
    put32(b, header + 36, characteristics);
    put16(b, a.pe + 6, static_cast<std::uint16_t>(count + 1));
    put32(b, a.optional + 56, std::max(get32(b, a.optional + 56), align_up(std::uint64_t{rva} + content.size(), 0x1000)));
    return rva;
}
constexpr std::uint32_t kData = 0xC0000040, kCode = 0xE0000020, kConst = 0x40000040;

// Moves the module's preferred base, its absolute addresses with it: a
// correct module that asks for another place.
void rebase(Bytes& b, const Anatomy& a, std::uint32_t base) {
    for (std::uint32_t r : a.relocations) put32(b, a.offset(r), get32(b, a.offset(r)) + (base - a.image_base));
    put32(b, a.optional + 28, base);
}

// Field writers for the table: header fields, section-table fields,
// directories and records by their offsets.
template <std::uint32_t Anatomy::*Where, unsigned Offset, std::uint32_t Value>
void word(Bytes& b, const Anatomy& a) { put32(b, a.*Where + Offset, Value); }
template <std::uint32_t Anatomy::*Where, unsigned Offset, std::uint16_t Value>
void half(Bytes& b, const Anatomy& a) { put16(b, a.*Where + Offset, Value); }
template <unsigned Section, unsigned Offset, std::uint32_t Value>
void section_field(Bytes& b, const Anatomy& a) { put32(b, a.sections.at(Section).header + Offset, Value); }
template <unsigned Directory, unsigned Offset, std::uint32_t Value>
void directory(Bytes& b, const Anatomy& a) { put32(b, a.directory(Directory) + Offset, Value); }
// A 32-bit field of a record the gauge hands the host (RVA plus offset).
template <std::uint32_t Anatomy::*Record, unsigned Offset, std::uint32_t Value>
void record(Bytes& b, const Anatomy& a) { put32(b, a.offset(a.*Record + Offset), Value); }
template <std::size_t Size>
void truncate(Bytes& b, const Anatomy&) { b.resize(std::min(b.size(), Size)); }
template <std::uint32_t Anatomy::*Where, unsigned Offset>
void truncate_at(Bytes& b, const Anatomy& a) { b.resize(a.*Where + Offset); }
// Machine code written over the start of a routine.
template <std::uint32_t Anatomy::*Routine, std::uint8_t... Code>
void code(Bytes& b, const Anatomy& a) {
    const std::uint8_t c[] = {Code...};
    put(b, a.offset(a.*Routine), c, sizeof c);
}
// 32 bytes of noise over the start of a routine, the same every time.
template <std::uint32_t Anatomy::*Routine, std::uint64_t Seed>
void noise(Bytes& b, const Anatomy& a) {
    std::uint64_t s = Seed;
    for (unsigned i = 0; i < 32; ++i) {
        s += 0x9E3779B97F4A7C15ull;
        put8(b, a.offset(a.*Routine) + i, static_cast<std::uint8_t>((s ^ (s >> 29)) * 0xBF58476D1CE4E5B9ull >> 56));
    }
}

// A bitmap resource of width x height at 1 bit per pixel, black and white.
Bytes dib(std::int32_t width, std::int32_t height) {
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) + 31) / 32 * 4;
    Bytes d(48 + std::size_t{stride} * static_cast<std::uint32_t>(height < 0 ? -height : height), 0x55);
    const std::uint32_t header[] = {40, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                                    1u | (1u << 16), 0, 0, 0, 0, 2, 0, 0x000000, 0xFFFFFF};
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
    const std::uint32_t rva = align_up(get32(b, a.optional + 56), 0x1000);
    const std::uint32_t descriptors = rva, name = rva + 20 * (modules + 1), hint = name + 16,
                        lookup = hint + 8, iat = lookup + 4 * (functions + 1);
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
    put32(b, a.directory(1), descriptors);
    put32(b, a.directory(1) + 4, 20 * (modules + 1));
}

// Relocation blocks claiming `count` addresses in the first page of code.
void many_relocations(Bytes& b, const Anatomy& a, unsigned count) {
    const std::uint32_t rva = align_up(get32(b, a.optional + 56), 0x1000);
    Bytes s(8 + 2 * std::size_t{count}, 0);
    const std::uint32_t head[] = {a.sections.front().rva, static_cast<std::uint32_t>(s.size())};
    std::memcpy(s.data(), head, 8);
    for (unsigned k = 0; k < count; ++k) {
        const std::uint16_t e = static_cast<std::uint16_t>(0x3000 | (k % 0x800));
        std::memcpy(s.data() + 8 + 2 * k, &e, 2);
    }
    append_section(b, a, ".rel2", s, kConst, rva);
    put32(b, a.directory(5), rva);
    put32(b, a.directory(5) + 4, static_cast<std::uint32_t>(s.size()));
}

// A name of 300 letters and no end in a section of its own; returns its RVA.
std::uint32_t endless_name(Bytes& b, const Anatomy& a) {
    return append_section(b, a, ".name", Bytes(300, 'A'), kConst);
}

// A TLS directory in a section of its own (readable, writable, executable):
// its index slot, a list of one callback and the callback's code. Addresses
// are the preferred base's, where the host maps the module.
void new_tls(Bytes& b, const Anatomy& a, std::initializer_list<std::uint8_t> callback, std::uint32_t index_slot = 0) {
    Bytes s(0x40 + callback.size(), 0);
    const std::uint32_t rva = align_up(get32(b, a.optional + 56), 0x1000), va = a.image_base + rva;
    const std::uint32_t directory[] = {0, 0, index_slot ? index_slot : va + 0x20, va + 0x28, 0, 0};
    std::memcpy(s.data(), directory, sizeof directory);
    const std::uint32_t slot_and_list[] = {0xFFFF, 0, va + 0x40, 0};
    std::memcpy(s.data() + 0x20, slot_and_list, sizeof slot_and_list);
    std::copy(callback.begin(), callback.end(), s.begin() + 0x40);
    append_section(b, a, ".tls2", s, kCode, rva);
    put32(b, a.directory(9), rva);
    put32(b, a.directory(9) + 4, 24);
}

// A relocation block for one 16-bit field of each half (types 1 and 2) in
// the unused end of .data's last page, added to the directory.
void high_and_low_relocations(Bytes& b, const Anatomy& a) {
    const auto& reloc = a.section(".reloc");
    const std::uint32_t size = get32(b, a.directory(5) + 4), at = reloc.raw_offset + size;
    const std::uint32_t page = a.section(".data").rva, block = 12;
    put32(b, at, page);
    put32(b, at + 4, block);
    put16(b, at + 8, 0x1000 | 0x7F0);
    put16(b, at + 10, 0x2000 | 0x7F4);
    put32(b, a.directory(5) + 4, size + block);
    put32(b, reloc.header + 8, std::max(get32(b, reloc.header + 8), size + block));
}

// Every routine the host calls gets the same set of broken starts; the
// status is 1 wherever the viewer runs the routine.
#define Q7_BROKEN_ROUTINE(R, name, status)                                                                    \
    {.label = "code-" name "-endless-loop", .expect = status, .edit = code<&Anatomy::R, 0xEB, 0xFE>},         \
    {.label = "code-" name "-far-jump-through-register", .expect = status, .edit = code<&Anatomy::R, 0xFF, 0xEF>}, \
    {.label = "code-" name "-far-call-through-register", .expect = status, .edit = code<&Anatomy::R, 0xFF, 0xDF>}, \
    {.label = "code-" name "-hlt", .expect = status, .edit = code<&Anatomy::R, 0xF4>},                         \
    {.label = "code-" name "-int3", .expect = status, .edit = code<&Anatomy::R, 0xCC>},                        \
    {.label = "code-" name "-ud2", .expect = status, .edit = code<&Anatomy::R, 0x0F, 0x0B>},                   \
    {.label = "code-" name "-call-null", .expect = status, .edit = code<&Anatomy::R, 0x31, 0xC0, 0xFF, 0xD0>}, \
    {.label = "code-" name "-write-host-code", .expect = status,                                              \
     .edit = code<&Anatomy::R, 0xC7, 0x05, 0x00, 0x10, 0x00, 0x60, 1, 0, 0, 0>},                             \
    {.label = "code-" name "-endless-recursion", .expect = status, .edit = code<&Anatomy::R, 0xE8, 0xFB, 0xFF, 0xFF, 0xFF>}, \
    {.label = "code-" name "-stub-interrupt", .expect = status, .edit = code<&Anatomy::R, 0xCD, 0x2E>},        \
    {.label = "code-" name "-clobber-and-return", .expect = status, .edit = code<&Anatomy::R, 0x31, 0xDB, 0x31, 0xF6, 0xC3>}, \
    {.label = "code-" name "-noise-1", .edit = noise<&Anatomy::R, 1>},                                         \
    {.label = "code-" name "-noise-2", .edit = noise<&Anatomy::R, 2>},                                         \
    {.label = "code-" name "-noise-3", .edit = noise<&Anatomy::R, 3>}

constexpr Mutant kMutants[] = {
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
    {.label = "truncated-in-headers", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.headers_size - 1); }},
    {.label = "truncated-in-code", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.offset(a.entry) + 0x100); }},
    {.label = "truncated-in-data", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.section(".data").raw_offset + 100); }},
    {.label = "truncated-in-resources", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { b.resize(a.section(".rsrc").raw_offset + 0x1000); }},
    {.label = "truncated-last-byte", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy&) { b.pop_back(); }},
    {.label = "extended-by-zeros", .expect = kOk, .edit = [](Bytes& b, const Anatomy&) { b.resize(b.size() + 65536); }},
    {.label = "extended-by-itself", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { const Bytes copy = b; b.insert(b.end(), copy.begin(), copy.end()); }},

    // Header fields.
    {.label = "header-pe-offset-huge", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy&) { put32(b, 0x3C, 0xFFFFFFFC); }},
    {.label = "header-pe-offset-zero", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy&) { put32(b, 0x3C, 0); }},
    {.label = "header-pe-offset-at-end", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { put32(b, 0x3C, static_cast<std::uint32_t>(b.size() - 2)); }},
    {.label = "header-machine-amd64", .expect = kUnusable, .edit = half<&Anatomy::pe, 4, 0x8664>},
    {.label = "header-optional-magic-pe32plus", .expect = kUnusable, .edit = half<&Anatomy::optional, 0, 0x20B>},
    {.label = "header-sections-0", .expect = kUnusable, .edit = half<&Anatomy::pe, 6, 0>},
    {.label = "header-sections-one-more", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put16(b, a.pe + 6, static_cast<std::uint16_t>(a.sections.size() + 1)); }},
    {.label = "header-sections-97", .expect = kUnusable, .edit = half<&Anatomy::pe, 6, 97>},
    {.label = "header-sections-65535", .expect = kUnusable, .edit = half<&Anatomy::pe, 6, 0xFFFF>},
    {.label = "header-optional-size-0", .expect = kUnusable, .edit = half<&Anatomy::pe, 20, 0>},
    {.label = "header-optional-size-65535", .expect = kUnusable, .edit = half<&Anatomy::pe, 20, 0xFFFF>},
    {.label = "header-not-a-dll", .expect = kUnusable, .edit = half<&Anatomy::pe, 22, 0x0102>},
    {.label = "header-entry-zero", .expect = kOk, .edit = word<&Anatomy::optional, 16, 0>},
    {.label = "header-entry-huge", .expect = kMisbehaved, .edit = word<&Anatomy::optional, 16, 0xFFFFFFFF>},
    {.label = "header-entry-last-code-byte", .edit = [](Bytes& b, const Anatomy& a) {
         const auto& t = a.sections.front();
         put32(b, a.optional + 16, t.rva + t.virtual_size - 1);
     }},
    {.label = "header-image-base-unaligned", .expect = kUnusable, .edit = word<&Anatomy::optional, 28, 0x5E700100>},
    {.label = "header-image-base-moved-unrelocated", .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.optional + 28, 0x30000000);
         put32(b, a.directory(5), 0);
         put32(b, a.directory(5) + 4, 0);
     }},
    {.label = "header-image-base-changed", .expect = kMisbehaved, .edit = word<&Anatomy::optional, 28, 0x60000000>},
    {.label = "header-section-alignment-0", .expect = kUnusable, .edit = word<&Anatomy::optional, 32, 0>},
    {.label = "header-section-alignment-odd", .expect = kUnusable, .edit = word<&Anatomy::optional, 32, 0x3000>},
    {.label = "header-section-alignment-2g", .expect = kUnusable, .edit = word<&Anatomy::optional, 32, 0x80000000>},
    {.label = "header-image-size-0", .expect = kUnusable, .edit = word<&Anatomy::optional, 56, 0>},
    {.label = "header-image-size-4g", .expect = kUnusable, .edit = word<&Anatomy::optional, 56, 0xFFFFF000>},
    {.label = "header-image-size-one-page", .expect = kUnusable, .edit = word<&Anatomy::optional, 56, 0x1000>},
    {.label = "header-image-size-16m", .expect = kOk, .edit = word<&Anatomy::optional, 56, 0x1000000>},
    {.label = "header-headers-size-0", .expect = kOk, .edit = word<&Anatomy::optional, 60, 0>},
    {.label = "header-headers-size-huge", .expect = kUnusable, .edit = word<&Anatomy::optional, 60, 0xFFFFFFFF>},
    {.label = "header-headers-size-small", .expect = kOk, .edit = word<&Anatomy::optional, 60, 0x100>},
    {.label = "header-directories-0", .expect = kUnusable, .edit = word<&Anatomy::optional, 92, 0>},
    {.label = "header-directories-6", .expect = kOk, .edit = word<&Anatomy::optional, 92, 6>},
    {.label = "header-directories-17", .expect = kOk, .edit = word<&Anatomy::optional, 92, 17>},
    {.label = "header-directories-4g", .expect = kOk, .edit = word<&Anatomy::optional, 92, 0xFFFFFFFF>},

    // The module placed elsewhere: a correct module asking for the host's own
    // areas or for no usable base is moved, and runs.
    {.label = "base-on-host-stubs", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0x60000000); }},
    {.label = "base-on-host-stack", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0x6F000000); }},
    {.label = "base-zero", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0); }},
    {.label = "base-top-of-memory", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) { rebase(b, a, 0xFFFF0000); }},
    {.label = "section-over-host-stubs", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) {
         rebase(b, a, 0x5FFF0000);
         append_section(b, a, ".stubs", Bytes(0x2000, 0xCC), kCode, 0x60001000 - 0x5FFF0000);
     }},
    {.label = "section-over-host-stack", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) {
         rebase(b, a, 0x6EFF0000);
         append_section(b, a, ".stack", Bytes(0x1000, 0), kData, 0x6F0F0000 - 0x6EFF0000);
     }},

    // Sections.
    {.label = "section-text-raw-offset-outside", .expect = kUnusable, .edit = section_field<0, 20, 0xFFFFFE00>},
    {.label = "section-text-raw-size-huge", .expect = kUnusable, .edit = section_field<0, 16, 0xFFFFFFFF>},
    {.label = "section-text-raw-size-0", .expect = kMisbehaved, .edit = section_field<0, 16, 0>},
    // Code in a readable page that is not executable runs or faults as the
    // process's data execution prevention decides.
    {.label = "section-text-not-executable", .edit = section_field<0, 36, 0x40000020>},
    {.label = "section-text-writable", .expect = kOk, .edit = section_field<0, 36, 0xE0000020>},
    {.label = "section-text-no-access", .expect = kMisbehaved, .edit = section_field<0, 36, 0>},
    {.label = "section-data-virtual-size-huge", .expect = kUnusable, .edit = section_field<1, 8, 0xFFFFFFFF>},
    {.label = "section-data-unaligned", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.sections[1].header + 12, a.sections[1].rva + 0x10); }},
    {.label = "section-data-overlaps-code", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.sections[1].header + 12, a.sections[0].rva); }},
    {.label = "section-data-read-only", .expect = kMisbehaved, .edit = section_field<1, 36, 0x40000040>},
    {.label = "section-data-executable", .expect = kOk, .edit = section_field<1, 36, 0xE0000040>},
    {.label = "section-data-from-code-bytes", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.sections[1].header + 20, a.sections[0].raw_offset);
     }},
    {.label = "section-names-unterminated", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         for (const auto& s : a.sections) put(b, s.header, "ABCDEFGH", 8);
     }},
    {.label = "section-rsrc-virtual-size-0", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".rsrc").header + 8, 0); }},
    {.label = "section-reloc-dropped", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put16(b, a.pe + 6, static_cast<std::uint16_t>(a.sections.size() - 1)); }},

    // Directories.
    {.label = "directory-exports-outside", .expect = kUnusable, .edit = directory<0, 0, 0xFFFFFFF0>},
    {.label = "directory-exports-size-huge", .expect = kOk, .edit = directory<0, 4, 0xFFFFFFFF>},
    {.label = "directory-exports-none", .expect = kUnusable, .edit = directory<0, 0, 0>},
    {.label = "directory-exports-in-headers", .expect = kUnusable, .edit = directory<0, 0, 0x40>},
    {.label = "directory-imports-outside", .expect = kUnusable, .edit = directory<1, 0, 0xFFFFFFF0>},
    {.label = "directory-imports-at-image-end", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.directory(1), a.image_size - 8); }},
    {.label = "directory-resources-outside", .expect = kOk, .edit = directory<2, 0, 0xFFFFFFF0>},
    {.label = "directory-resources-size-huge", .expect = kOk, .edit = directory<2, 4, 0xFFFFFFFF>},
    {.label = "directory-relocations-outside", .expect = kUnusable, .edit = directory<5, 0, 0xFFFFFFF0>},
    {.label = "directory-relocations-size-huge", .expect = kUnusable, .edit = directory<5, 4, 0xFFFFFFFF>},
    {.label = "directory-tls-claimed", .expect = kUnusable, .edit = directory<9, 0, 0x2000>},

    // Exports.
    {.label = "exports-count-huge", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.directory(0))) + 20, 0xFFFFFFFF); }},
    {.label = "exports-more-names-than-functions", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.directory(0))) + 24, 3); }},
    {.label = "exports-ordinal-base-huge", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.directory(0))) + 16, 0xFFFFFFFF); }},
    {.label = "exports-name-outside", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t names = get32(b, a.offset(get32(b, a.directory(0))) + 32);
         put32(b, a.offset(names), 0x7FFFFFF0);
     }},
    {.label = "exports-ordinal-out-of-range", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t ords = get32(b, a.offset(get32(b, a.directory(0))) + 36);
         put16(b, a.offset(ords), 0xFFFF);
     }},
    {.label = "exports-names-swapped", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t ords = a.offset(get32(b, a.offset(get32(b, a.directory(0))) + 36));
         const std::uint32_t both = get32(b, ords);
         put32(b, ords, (both >> 16) | (both << 16));
     }},
    {.label = "exports-forwarded", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t funcs = get32(b, a.offset(get32(b, a.directory(0))) + 28);
         put32(b, a.offset(funcs), get32(b, a.directory(0)) + 4);
     }},
    {.label = "exports-linkage-at-image-end", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t funcs = get32(b, a.offset(get32(b, a.directory(0))) + 28);
         put32(b, a.offset(funcs) + 4, a.image_size - 4);
     }},
    {.label = "exports-linkage-into-code", .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t funcs = get32(b, a.offset(get32(b, a.directory(0))) + 28);
         put32(b, a.offset(funcs) + 4, a.entry);
     }},
    {.label = "exports-import-table-renamed", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "ImportTable\0"sv, "ImportTablf"sv); }},
    {.label = "exports-module-name-endless", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(0))) + 12, endless_name(b, a));
     }},

    // Imports.
    {.label = "imports-300-functions", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { new_imports(b, a, 1, 300); }},
    {.label = "imports-257-modules", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { new_imports(b, a, 257, 0); }},
    {.label = "imports-256-functions", .edit = [](Bytes& b, const Anatomy& a) { new_imports(b, a, 1, 256); }},
    {.label = "imports-function-the-host-lacks", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "wsprintfA"sv, "wsprintfW"sv); }},
    {.label = "imports-module-the-host-lacks", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "USER32.dll"sv, "USER33.dll"sv); }},
    {.label = "imports-by-ordinal", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t lookup = get32(b, a.offset(get32(b, a.directory(1))));
         put32(b, a.offset(lookup), 0x80000001);
     }},
    {.label = "imports-name-endless", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(1))) + 12, endless_name(b, a));
     }},
    {.label = "imports-lookup-unterminated", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(1))), endless_name(b, a));
     }},
    {.label = "imports-address-table-outside", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(1))) + 16, 0x7FFFFF00);
     }},
    {.label = "imports-address-table-over-linkage", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(1))) + 16, a.linkage + L::linkage::kGauges);
     }},
    {.label = "imports-address-table-over-code", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(1))) + 16, a.entry);
     }},

    // Base relocations (the real module's are applied only when it moves, so
    // some of these move it).
    {.label = "relocations-block-size-0", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset + 4, 0); }},
    {.label = "relocations-block-size-odd", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset + 4, 11); }},
    {.label = "relocations-block-size-huge", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset + 4, 0xFFFFFFF8); }},
    {.label = "relocations-type-dir64", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put16(b, a.section(".reloc").raw_offset + 8, 0xA000); }},
    {.label = "relocations-page-outside", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.section(".reloc").raw_offset, 0xFFFFF000); }},
    {.label = "relocations-at-image-end", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.section(".reloc").raw_offset, a.image_size - 0x1000);
         put16(b, a.section(".reloc").raw_offset + 8, 0x3FFE);
     }},
    {.label = "relocations-65537", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { many_relocations(b, a, 65537); }},
    {.label = "relocations-all-on-one-address-and-moved", .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy& a) {
         rebase(b, a, 0x60000000);
         const std::uint32_t r = a.section(".reloc").raw_offset;
         for (unsigned k = 10; k + 2 <= get32(b, r + 4); k += 2) put16(b, r + k, get16(b, r + 8));
     }},
    {.label = "relocations-into-headers-and-moved", .edit = [](Bytes& b, const Anatomy& a) {
         rebase(b, a, 0x60000000);
         put32(b, a.section(".reloc").raw_offset, 0);
     }},

    // Resources and bitmaps.
    {.label = "resources-65535-entries", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put16(b, a.offset(get32(b, a.directory(2))) + 14, 0xFFFF); }},
    {.label = "resources-subdirectory-outside", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.offset(get32(b, a.directory(2))) + 20, 0xFFFFFFF0); }},
    {.label = "resources-subdirectory-is-root", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.directory(2))) + 20, 0x80000000);
     }},
    {.label = "resources-face-data-outside", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.face_resource_entry, 0xFFFFF000); }},
    {.label = "resources-face-size-huge", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.face_resource_entry + 4, 0x7FFFFFFF); }},
    {.label = "resources-face-size-0", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.face_resource_entry + 4, 0); }},
    {.label = "bitmap-face-width-huge", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.face_resource_entry)) + 4, 0x7FFFFFFF);
     }},
    {.label = "bitmap-face-height-most-negative", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.face_resource_entry)) + 8, 0x80000000);
     }},
    {.label = "bitmap-face-header-size-huge", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.face_resource_entry)), 0xFFFFFFF0);
     }},
    {.label = "bitmap-face-colours-huge", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(get32(b, a.face_resource_entry)) + 32, 0xFFFFFFFF);
     }},
    {.label = "bitmap-face-bits-0", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put16(b, a.offset(get32(b, a.face_resource_entry)) + 14, 0);
     }},
    {.label = "bitmap-face-4096-at-scale-32", .picture_scale = 32,
     .edit = [](Bytes& b, const Anatomy& a) { new_face(b, a, 4096, 4096); }},
    {.label = "bitmap-face-4096-top-down", .picture_scale = 1,
     .edit = [](Bytes& b, const Anatomy& a) { new_face(b, a, 4096, -4096); }},
    {.label = "bitmap-face-1x1", .expect = kOk, .picture_scale = 32,
     .edit = [](Bytes& b, const Anatomy& a) { new_face(b, a, 1, 1); }},

    // The records the gauge hands the host.
    {.label = "record-import-table-wrong-id", .expect = kUnusable,
     .edit = record<&Anatomy::import_table, L::import_table::kEntryId, 0x0E>},
    {.label = "record-linkage-no-gauge", .expect = kMisbehaved, .edit = record<&Anatomy::linkage, L::linkage::kGauges, 0>},
    {.label = "record-linkage-wild-gauge", .expect = kMisbehaved,
     .edit = record<&Anatomy::linkage, L::linkage::kGauges, 0xDEADBEEF>},
    {.label = "record-gauge-install-null", .expect = kMisbehaved,
     .edit = record<&Anatomy::gauge, L::gauge_header::kInstall, 0>},
    {.label = "record-gauge-install-into-data", .expect = kMisbehaved, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(a.gauge + L::gauge_header::kInstall), a.image_base + a.linkage);
     }},
    {.label = "record-gauge-element-list-null", .edit = record<&Anatomy::gauge, L::gauge_header::kElementList, 0>},
    {.label = "record-root-kind-garbage", .edit = record<&Anatomy::root, L::element::kKind, 0x41414141>},
    {.label = "record-root-children-are-itself", .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t list = get32(b, a.offset(a.gauge + L::gauge_header::kElementList));
         put32(b, a.offset(a.root + L::element::kChildList), list);
     }},
    {.label = "record-dot-bitmap-missing", .expect = kOk, .edit = record<&Anatomy::dot, L::element::kBitmapId, 0x9999>},
    {.label = "record-dot-callback-wild", .expect = kMisbehaved,
     .edit = record<&Anatomy::dot, L::moving_image::kXCallback, 0xDEADBEEF>},
    {.label = "record-dot-scale-nan", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(a.dot + L::moving_image::kXScale), 0);
         put32(b, a.offset(a.dot + L::moving_image::kXScale + 4), 0x7FF80000);
     }},
    {.label = "record-dot-scale-huge", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(a.dot + L::moving_image::kYScale), 0xFFFFFFFF);
         put32(b, a.offset(a.dot + L::moving_image::kYScale + 4), 0x7FEFFFFF);
     }},
    {.label = "record-dot-position-far-off", .expect = kOk,
     .edit = record<&Anatomy::dot, L::element::kPositionX, 0x80000000>},
    {.label = "record-dot-variable-unknown", .edit = record<&Anatomy::dot, L::moving_image::kXSource, 0xFFFF>},
    {.label = "record-text-max-chars-0", .expect = kMisbehaved,
     .edit = record<&Anatomy::distance_box, L::string_element::kMaxChars, 0>},
    {.label = "record-text-max-chars-huge", .edit = record<&Anatomy::distance_box, L::string_element::kMaxChars, 0xFFFFFFFF>},
    {.label = "record-text-box-huge", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(a.ident_box + L::string_element::kBoxWidth), 0x7FFFFFFF);
         put32(b, a.offset(a.ident_box + L::string_element::kBoxHeight), 0x7FFFFFFF);
     }},
    {.label = "record-text-box-negative", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(a.ident_box + L::string_element::kBoxWidth), 0x80000000);
         put32(b, a.offset(a.ident_box + L::string_element::kBoxHeight), 0xFFFFFFFF);
     }},
    {.label = "record-text-face-name-unterminated", .edit = [](Bytes& b, const Anatomy& a) {
         put(b, a.offset(a.ident_box + L::string_element::kFaceName), "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 32);
     }},
    {.label = "record-text-face-name-not-utf8", .edit = [](Bytes& b, const Anatomy& a) {
         put(b, a.offset(a.ident_box + L::string_element::kFaceName), "\xFF\xFE\xC0\x80 Bold\0", 10);
     }},
    {.label = "record-text-callback-wild", .expect = kMisbehaved,
     .edit = record<&Anatomy::ident_box, L::string_element::kTextCallback, 0x00001234>},
    {.label = "record-mouse-list-kind-garbage", .expect = kMisbehaved,
     .edit = record<&Anatomy::mouse_list, L::mouse_rect::kKind, 7>},
    {.label = "record-mouse-list-unterminated", .edit = [](Bytes& b, const Anatomy& a) {
         // Every closing entry (of the parents and of the list) becomes a box.
         for (unsigned i = 1; i < 8; ++i) {
             const std::uint32_t at = a.offset(a.mouse_list + i * L::mouse_rect::kSize), kind = get32(b, at);
             if (kind == L::mouse_rect::kEnd || kind == L::mouse_rect::kEndParent) put32(b, at, L::mouse_rect::kChild);
         }
     }},
    {.label = "record-mouse-list-wild-handlers", .expect = kMisbehaved, .edit = [](Bytes& b, const Anatomy& a) {
         for (unsigned i = 0; i < 6; ++i) {
             const std::uint32_t at = a.mouse_list + i * L::mouse_rect::kSize;
             if (get32(b, a.offset(at)) == L::mouse_rect::kChild) put32(b, a.offset(at + L::mouse_rect::kHandler), 0xDEADBEEF);
         }
     }},
    {.label = "record-mouse-box-huge", .edit = [](Bytes& b, const Anatomy& a) {
         put32(b, a.offset(a.mouse_list + L::mouse_rect::kBoxWidth), 0x7FFFFFFF);
         put32(b, a.offset(a.mouse_list + L::mouse_rect::kBoxHeight), 0x7FFFFFFF);
     }},

    // Hostile texts.
    {.label = "text-identifier-not-utf8", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\xFF\xFE\xC0GA"sv); }},
    {.label = "text-identifier-control-bytes", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\x1B[2J\x07"sv); }},
    {.label = "text-identifier-quotes", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\"\\\"\\n"sv); }},
    {.label = "text-identifier-empty", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "GGATE"sv, "\0"sv); }},
    {.label = "text-format-huge-width", .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%5d\0%4d\0%3d\0"sv, "%999999999d\0"sv); }},
    {.label = "text-format-huge-width-number", .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0-----\0"sv, "%99999999d"sv); }},
    {.label = "text-format-huge-precision", .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%5d\0%4d\0%3d\0"sv, "%.99999999d"sv); }},
    {.label = "text-format-string-from-number",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0"sv, "%s\0"sv); }},
    {.label = "text-format-many-conversions",
     .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%5d\0%4d\0%3d\0"sv, "%s%s%s%s%s\0"sv); }},
    {.label = "text-format-lone-percent", .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0"sv, "%\0"sv); }},
    {.label = "text-format-star-width", .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%4d\0"sv, "%*d\0"sv); }},
    {.label = "text-format-wide-string", .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "%2d\0"sv, "%S\0"sv); }},
    {.label = "text-dashes-unterminated", .edit = [](Bytes& b, const Anatomy&) { overwrite_text(b, "-----\0"sv, "------"sv); }},

    // What Windows loads although it looks wrong, and what it runs at load.
    {.label = "windows-entry-returns-2", .expect = kOk, .edit = code<&Anatomy::entry, 0xB8, 2, 0, 0, 0, 0xC2, 0x0C, 0x00>},
    {.label = "windows-entry-returns-minus-1", .expect = kOk, .edit = code<&Anatomy::entry, 0x83, 0xC8, 0xFF, 0xC2, 0x0C, 0x00>},
    {.label = "windows-entry-returns-0", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0x31, 0xC0, 0xC2, 0x0C, 0x00>},
    {.label = "windows-entry-unbalances-stack", .expect = kOk, .edit = code<&Anatomy::entry, 0xB8, 1, 0, 0, 0, 0xC3>},
    {.label = "windows-data-raw-offset-unaligned", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { put32(b, a.sections[1].header + 20, a.sections[1].raw_offset + 0x10); }},
    {.label = "windows-data-virtual-size-16", .expect = kOk, .edit = section_field<1, 8, 0x10>},
    {.label = "windows-exports-names-unsorted", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t dir = a.offset(get32(b, a.directory(0)));
         const std::uint32_t names = a.offset(get32(b, dir + 32)), ords = a.offset(get32(b, dir + 36));
         const std::uint32_t first = get32(b, names), second = get32(b, names + 4);
         put32(b, names, second);
         put32(b, names + 4, first);
         const std::uint32_t both = get32(b, ords);
         put32(b, ords, (both >> 16) | (both << 16));
     }},
    {.label = "windows-resources-bitmap-type-claims-more", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         const std::uint32_t root = get32(b, a.directory(2)), at = a.offset(root);
         const unsigned named = get16(b, at + 12), ids = get16(b, at + 14);
         for (unsigned i = named; i < named + ids; ++i) {
             if (get32(b, at + 16 + 8 * i) != 2) continue;
             const std::uint32_t type_dir = a.offset(root + (get32(b, at + 20 + 8 * i) & 0x7FFFFFFF));
             put16(b, type_dir + 14, static_cast<std::uint16_t>(get16(b, type_dir + 14) + 5));
         }
     }},
    {.label = "windows-relocations-high-and-low-moved", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         rebase(b, a, 0x60000000);
         high_and_low_relocations(b, a);
     }},
    {.label = "windows-relocations-broken-not-dynamic-base", .expect = kOk, .edit = [](Bytes& b, const Anatomy& a) {
         put16(b, a.optional + 70, static_cast<std::uint16_t>(get16(b, a.optional + 70) & ~0x40));
         put32(b, a.section(".reloc").raw_offset + 4, 0);
     }},
    {.label = "windows-relocations-broken-not-dynamic-base-moved", .expect = kUnusable, .edit = [](Bytes& b, const Anatomy& a) {
         rebase(b, a, 0x60000000);
         put16(b, a.optional + 70, static_cast<std::uint16_t>(get16(b, a.optional + 70) & ~0x40));
         put32(b, a.section(".reloc").raw_offset + 4, 0);
     }},
    {.label = "windows-tls-callback-returns", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { new_tls(b, a, {0xB8, 1, 0, 0, 0, 0xC2, 0x0C, 0x00}); }},
    {.label = "windows-tls-callback-unbalances-stack", .expect = kOk,
     .edit = [](Bytes& b, const Anatomy& a) { new_tls(b, a, {0xC3}); }},
    {.label = "windows-tls-callback-crashes", .expect = kMisbehaved,
     .edit = [](Bytes& b, const Anatomy& a) { new_tls(b, a, {0x31, 0xC0, 0x8B, 0x00}); }},
    {.label = "windows-tls-index-slot-nowhere", .expect = kUnusable,
     .edit = [](Bytes& b, const Anatomy& a) { new_tls(b, a, {0xC2, 0x0C, 0x00}, 0xFFFFFFF0); }},

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
    {.label = "code-entry-overlong-instruction", .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                  0x66, 0x66, 0x90>},
    {.label = "code-entry-lock-nop", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0xF0, 0x90>},
    {.label = "code-entry-icebp", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0xF1>},
    {.label = "code-entry-jump-into-stubs", .edit = code<&Anatomy::entry, 0xB8, 0x00, 0x10, 0x00, 0x60, 0xFF, 0xE0>},
    {.label = "code-entry-jump-into-host-data", .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0xB8, 0x00, 0x00, 0x03, 0x60, 0xFF, 0xE0>},
    {.label = "code-entry-stack-pointer-zero", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0x31, 0xE4, 0xC3>},
    {.label = "code-entry-push-forever", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0x50, 0xEB, 0xFD>},
    {.label = "code-entry-divide-by-zero", .expect = kMisbehaved, .edit = code<&Anatomy::entry, 0x31, 0xC9, 0xF7, 0xF1>},
    {.label = "code-entry-trap-flag", .edit = code<&Anatomy::entry, 0x9C, 0x81, 0x0C, 0x24, 0x00, 0x01, 0x00, 0x00, 0x9D, 0x90>},
    {.label = "code-entry-overflow-trap", .edit = code<&Anatomy::entry, 0xB0, 0x7F, 0x04, 0x01, 0xCE>},
    {.label = "code-entry-fill-the-stack", .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x89, 0xE7, 0xB9, 0xFF, 0xFF, 0xFF, 0x7F, 0xF3, 0xAA>},
    {.label = "code-entry-copy-from-nowhere", .expect = kMisbehaved,
     .edit = code<&Anatomy::entry, 0x31, 0xF6, 0x89, 0xE7, 0xB9, 0x00, 0x01, 0x00, 0x00, 0xF3, 0xA4>},
    {.label = "code-entry-unaligned-sse", .edit = code<&Anatomy::entry, 0x89, 0xE0, 0x40, 0x0F, 0x28, 0x00>},
    {.label = "code-entry-avx", .edit = code<&Anatomy::entry, 0xC5, 0xFC, 0x77>},
    {.label = "code-dot-x-x87-stack-overflow",
     .edit = code<&Anatomy::x_callback, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8,
                  0xD9, 0xE8, 0xD9, 0xE8, 0xD9, 0xE8, 0xC3>},
    {.label = "code-dot-x-returns-nothing", .edit = code<&Anatomy::x_callback, 0xC3>},
};

#undef Q7_BROKEN_ROUTINE

}  // namespace

std::span<const Mutant> structured_mutants() {
    return kMutants;
}

Bytes make_mutant(const Mutant& m, const Bytes& module, const Anatomy& a) {
    Bytes b = module;
    if (m.edit) m.edit(b, a);
    return b;
}

const Mutant* find_mutant(const std::string& label) {
    for (const Mutant& m : kMutants) {
        if (label == m.label) return &m;
    }
    return nullptr;
}

}  // namespace q7fuzz
