// What the tables of structured mutants are written with: the viewer's exit
// statuses and the edits each entry names, as templates over the anatomy's
// fields so that an entry is one line.
#pragma once

#include "fuzz/mutants.h"
#include "fuzz/pe_edit.h"
#include "panel/layout.h"
#include "host/pe_image.h"

#include <algorithm>

namespace q7fuzz::edits {

namespace L = q7host;
using q7host::PeImage;

inline constexpr int kOk = 0, kMisbehaved = 1, kUnusable = 2, kHostLimit = 3;

// Field writers for the table: header fields, section-table fields,
// directories and records by their offsets.
template <std::uint32_t Anatomy::*Where, unsigned Offset, std::uint32_t Value>
inline void word(Bytes& b, const Anatomy& a) {
    put32(b, a.*Where + Offset, Value);
}
template <std::uint32_t Anatomy::*Where, unsigned Offset, std::uint16_t Value>
void half(Bytes& b, const Anatomy& a) {
    put16(b, a.*Where + Offset, Value);
}
template <unsigned Section, unsigned Offset, std::uint32_t Value>
void section_field(Bytes& b, const Anatomy& a) {
    put32(b, a.sections.at(Section).header + Offset, Value);
}
template <unsigned Directory, unsigned Offset, std::uint32_t Value>
void directory(Bytes& b, const Anatomy& a) {
    put32(b, a.directory(Directory) + Offset, Value);
}
// A 32-bit field of a record the gauge hands the host (RVA plus offset).
template <std::uint32_t Anatomy::*Record, unsigned Offset, std::uint32_t Value>
void record(Bytes& b, const Anatomy& a) {
    put32(b, a.offset(a.*Record + Offset), Value);
}
template <std::size_t Size>
void truncate(Bytes& b, const Anatomy&) {
    b.resize(std::min(b.size(), Size));
}
template <std::uint32_t Anatomy::*Where, unsigned Offset>
void truncate_at(Bytes& b, const Anatomy& a) {
    b.resize(a.*Where + Offset);
}
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

// The parts of the table, in order: the file's frame (truncations, headers,
// base, sections, directories), the tables it holds (exports, imports,
// relocations, resources), then what the module does (its records, texts,
// loader routines and code).
std::span<const Mutant> header_mutants();
std::span<const Mutant> table_mutants();
std::span<const Mutant> module_mutants();

}  // namespace q7fuzz::edits
