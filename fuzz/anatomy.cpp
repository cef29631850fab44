// Finds, in the real module, the places the structured mutants break: header
// fields and tables from the file itself, routines and records from one
// install of the gauge in a reference host (through the module's own
// pointers, so a rebuilt module is dissected the same way).
#include "fuzz/anatomy.h"

#include "fuzz/pe_edit.h"
#include "host/gauge_host.h"

#include <algorithm>
#include <stdexcept>

namespace q7fuzz {

namespace {

// The file offset of the data entry of resource type/id (first language).
std::uint32_t resource_entry(const Bytes& b, const Anatomy& a, std::uint32_t type, std::uint32_t id) {
    const std::uint32_t root = get32(b, a.directory(q7host::PeImage::kResources));
    auto find = [&](std::uint32_t table, std::uint32_t key) -> std::uint32_t {
        const std::uint32_t at = a.offset(root + table);
        const unsigned named = get16(b, at + 12), ids = get16(b, at + 14);
        for (unsigned i = named; i < named + ids; ++i) {
            if (get32(b, at + 16 + 8 * i) == key) return get32(b, at + 20 + 8 * i);
        }
        throw std::runtime_error("resource " + std::to_string(type) + "/" + std::to_string(id) + " not found");
    };
    const std::uint32_t names = find(0, type) & 0x7FFFFFFF;
    const std::uint32_t languages = find(names, id) & 0x7FFFFFFF;
    const std::uint32_t at = a.offset(root + languages);
    return a.offset(root + (get32(b, at + 20) & 0x7FFFFFFF));
}

}  // namespace

std::uint32_t Anatomy::directory(unsigned index) const { return optional + pe::kDirectories + 8 * index; }

const Anatomy::Section& Anatomy::section(const std::string& name) const {
    for (const auto& s : sections) {
        if (s.name == name) return s;
    }
    throw std::runtime_error("the module has no section " + name);
}

std::uint32_t Anatomy::offset(std::uint32_t rva) const {
    for (const auto& s : sections) {
        if (rva >= s.rva && rva - s.rva < s.raw_size) return s.raw_offset + (rva - s.rva);
    }
    if (rva < headers_size) return rva;
    throw std::out_of_range("RVA outside every section's data");
}

std::optional<Anatomy> dissect(const Bytes& module, std::string& error) {
    std::string why;
    const auto image = q7host::PeImage::parse(module, why);
    if (!image) {
        error = "the module does not parse: " + why;
        return std::nullopt;
    }
    Anatomy a;
    a.pe = get32(module, 0x3C);
    a.optional = a.pe + 24;
    a.section_table = a.optional + get16(module, a.pe + pe::kOptionalHeaderSize);
    a.headers_size = image->headers_size;
    a.image_base = image->image_base;
    a.image_size = image->image_size;
    for (const q7host::PeRelocation& r : image->relocations) {
        if (r.type == 3) a.relocations.push_back(r.rva);
    }
    for (std::size_t i = 0; i < image->sections.size(); ++i) {
        const auto& s = image->sections[i];
        a.sections.push_back({s.name, static_cast<std::uint32_t>(a.section_table + pe::kSectionHeaderSize * i),
                              s.virtual_address, s.virtual_size, s.raw_offset, s.raw_size});
    }
    a.entry = image->entry_rva;

    q7host::GaugeHost host;
    if (!host.load(module, "module")) {
        error = host.error();
        return std::nullopt;
    }
    host.install();
    const auto parts = host.instrument();
    auto areas = host.click_areas();
    if (!host.problems().empty() || !parts.dot || !parts.ident || !parts.distance || !parts.number ||
        areas.size() < 2) {
        error = "the module does not install as the quorlan7 gauge does";
        return std::nullopt;
    }
    std::sort(areas.begin(), areas.end(), [](const auto& l, const auto& r) { return l.x < r.x; });
    const q7host::Addr base = host.base();
    auto rva = [base](q7host::Addr va) { return va - base; };
    a.linkage = rva(host.linkage());
    a.import_table = rva(host.import_table());
    a.gauge = rva(host.gauge());
    a.root = rva(host.root());
    a.x_callback = rva(parts.dot.x_callback());
    a.y_callback = rva(parts.dot.y_callback());
    a.ident_callback = rva(parts.ident.text_callback());
    a.number_callback = rva(parts.number.text_callback());
    a.distance_callback = rva(parts.distance.text_callback());
    a.left_handler = rva(areas.front().handler);
    a.right_handler = rva(areas.back().handler);
    a.dot = rva(parts.dot.address());
    a.ident_box = rva(parts.ident.address());
    a.distance_box = rva(parts.distance.address());
    a.mouse_list = rva(host.mouse_list());
    try {
        // The header's routines and the face's bitmap id as the file holds
        // them (addresses at the preferred base).
        a.install = get32(module, a.offset(a.gauge + q7host::gauge_header::kInstall)) - a.image_base;
        a.uninstall = get32(module, a.offset(a.gauge + q7host::gauge_header::kUninstall)) - a.image_base;
        const std::uint32_t face = get32(module, a.offset(a.root + q7host::element::kBitmapId));
        a.face_resource_entry = resource_entry(module, a, 2, face);
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
    return a;
}

}  // namespace q7fuzz
