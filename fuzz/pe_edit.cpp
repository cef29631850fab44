// Bounded edits of a module file's bytes and the larger edits built on them.
#include "fuzz/pe_edit.h"

#include "host/pe_image.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace q7fuzz {

void put(Bytes& b, std::size_t at, const void* data, std::size_t n) {
    if (at > b.size() || n > b.size() - at) throw std::out_of_range("an edit writes past the file's end");
    if (n) std::memcpy(b.data() + at, data, n);  // an empty edit may come with no data at all
}

std::uint32_t get32(const Bytes& b, std::size_t at) {
    if (at > b.size() || b.size() - at < 4) throw std::out_of_range("an edit reads past the file's end");
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::uint16_t get16(const Bytes& b, std::size_t at) {
    if (at > b.size() || b.size() - at < 2) throw std::out_of_range("an edit reads past the file's end");
    std::uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}

std::uint32_t align_up(std::uint64_t v, std::uint32_t to) { return static_cast<std::uint32_t>((v + to - 1) / to * to); }

std::uint32_t export_field(const Bytes& b, const Anatomy& a, unsigned field) {
    return a.offset(get32(b, a.directory(q7host::PeImage::kExports))) + field;
}

std::uint32_t import_field(const Bytes& b, const Anatomy& a, unsigned field) {
    return a.offset(get32(b, a.directory(q7host::PeImage::kImports))) + field;
}

void overwrite_text(Bytes& b, std::string_view old, std::string_view now) {
    const auto at = std::search(b.begin(), b.end(), old.begin(), old.end());
    if (at == b.end() || now.size() > old.size()) throw std::runtime_error("an edit's text is not in the module");
    put(b, static_cast<std::size_t>(at - b.begin()), now.data(), now.size());
}

std::uint32_t append_section(Bytes& b, const Anatomy& a, const char* name, const Bytes& content,
                             std::uint32_t characteristics, std::uint32_t rva) {
    const unsigned count = get16(b, a.pe + pe::kSectionCount);
    const std::uint32_t header = a.section_table + pe::kSectionHeaderSize * count;
    if (header + pe::kSectionHeaderSize > a.sections.front().raw_offset) {
        throw std::runtime_error("no room for another section header");
    }
    std::uint32_t end = 0, last = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint32_t h = a.section_table + pe::kSectionHeaderSize * i;
        const std::uint32_t ends =
            get32(b, h + pe::kVirtualAddress) + std::max(get32(b, h + pe::kVirtualSize), get32(b, h + pe::kRawSize));
        if (ends >= end) last = h;
        end = std::max(end, ends);
    }
    if (!rva) rva = align_up(end, 0x1000);
    // Windows maps sections one after another: a section placed further on
    // is reached by stretching the one before it.
    if (count && rva > align_up(end, 0x1000)) {
        put32(b, last + pe::kVirtualSize, rva - get32(b, last + pe::kVirtualAddress));
    }
    const std::uint32_t raw = align_up(b.size(), 0x200), raw_size = align_up(content.size(), 0x200);
    b.resize(raw + raw_size, 0);
    std::copy(content.begin(), content.end(), b.begin() + raw);
    char field[8] = {};
    std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
    put(b, header, field, 8);
    put32(b, header + pe::kVirtualSize, static_cast<std::uint32_t>(content.size()));
    put32(b, header + pe::kVirtualAddress, rva);
    put32(b, header + pe::kRawSize, raw_size);
    put32(b, header + pe::kRawOffset, raw);
    put32(b, header + pe::kSectionFlags, characteristics);
    put16(b, a.pe + pe::kSectionCount, static_cast<std::uint16_t>(count + 1));
    const std::uint32_t image_size = a.optional + pe::kImageSize;
    put32(b, image_size, std::max(get32(b, image_size), align_up(std::uint64_t{rva} + content.size(), 0x1000)));
    return rva;
}

void rebase(Bytes& b, const Anatomy& a, std::uint32_t base) {
    for (std::uint32_t r : a.relocations) put32(b, a.offset(r), get32(b, a.offset(r)) + (base - a.image_base));
    put32(b, a.optional + pe::kImageBase, base);
}

}  // namespace q7fuzz
