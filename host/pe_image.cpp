#include "host/pe_image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace q7host {

namespace {

class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& b) : b_(b) {}
    bool has(std::size_t off, std::size_t n) const { return off <= b_.size() && n <= b_.size() - off; }
    template <typename T>
    T at(std::size_t off) const {
        T v{};
        if (has(off, sizeof v)) std::memcpy(&v, b_.data() + off, sizeof v);
        return v;
    }
    std::string cstring(std::size_t off, std::size_t max = 256) const {
        std::string s;
        while (off < b_.size() && b_[off] && s.size() < max) s += static_cast<char>(b_[off++]);
        return s;
    }

private:
    const std::vector<std::uint8_t>& b_;
};

}  // namespace

const PeSection* PeImage::section_at(std::uint32_t rva) const {
    for (const auto& s : sections) {
        const std::uint32_t size = std::max(s.virtual_size, s.raw_size);
        if (rva >= s.virtual_address && rva < s.virtual_address + size) return &s;
    }
    return nullptr;
}

std::vector<std::uint8_t> PeImage::bytes_at(std::uint32_t rva, std::size_t size) const {
    std::vector<std::uint8_t> out(size, 0);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t r = rva + static_cast<std::uint32_t>(i);
        if (r < headers_size) {
            if (r < file.size()) out[i] = file[r];
            continue;
        }
        const PeSection* s = section_at(r);
        if (!s) continue;
        const std::uint32_t in = r - s->virtual_address;
        if (in < s->raw_size && s->raw_offset + in < file.size()) out[i] = file[s->raw_offset + in];
    }
    return out;
}

const PeResource* PeImage::resource(std::uint32_t type, std::uint32_t id) const {
    for (const auto& r : resources) {
        if (r.type == type && r.id == id) return &r;
    }
    return nullptr;
}

std::optional<PeImage> PeImage::read_file(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    return parse(std::move(bytes), error);
}

std::optional<PeImage> PeImage::parse(std::vector<std::uint8_t> bytes, std::string& error) {
    PeImage img;
    img.file = std::move(bytes);
    Reader r(img.file);
    if (r.at<std::uint16_t>(0) != 0x5A4D) {
        error = "not an executable image (no MZ header)";
        return std::nullopt;
    }
    const std::uint32_t pe = r.at<std::uint32_t>(0x3C);
    if (r.at<std::uint32_t>(pe) != 0x00004550) {
        error = "no PE signature";
        return std::nullopt;
    }
    img.machine = r.at<std::uint16_t>(pe + 4);
    const std::uint16_t nsections = r.at<std::uint16_t>(pe + 6);
    const std::uint16_t opt_size = r.at<std::uint16_t>(pe + 20);
    img.characteristics = r.at<std::uint16_t>(pe + 22);
    const std::size_t opt = pe + 24;
    if (r.at<std::uint16_t>(opt) != 0x10B || img.machine != 0x14C) {
        error = "not a 32-bit i386 image";
        return std::nullopt;
    }
    img.entry_rva = r.at<std::uint32_t>(opt + 16);
    img.image_base = r.at<std::uint32_t>(opt + 28);
    img.section_alignment = r.at<std::uint32_t>(opt + 32);
    img.image_size = r.at<std::uint32_t>(opt + 56);
    img.headers_size = r.at<std::uint32_t>(opt + 60);
    const std::uint32_t ndirs = r.at<std::uint32_t>(opt + 92);
    auto dir = [&](unsigned i) -> std::pair<std::uint32_t, std::uint32_t> {
        if (i >= ndirs) return {0, 0};
        return {r.at<std::uint32_t>(opt + 96 + 8 * i), r.at<std::uint32_t>(opt + 100 + 8 * i)};
    };

    std::size_t sh = opt + opt_size;
    for (unsigned i = 0; i < nsections; ++i, sh += 40) {
        PeSection s;
        char name[9] = {};
        for (int k = 0; k < 8; ++k) name[k] = static_cast<char>(r.at<std::uint8_t>(sh + k));
        s.name = name;
        s.virtual_size = r.at<std::uint32_t>(sh + 8);
        s.virtual_address = r.at<std::uint32_t>(sh + 12);
        s.raw_size = r.at<std::uint32_t>(sh + 16);
        s.raw_offset = r.at<std::uint32_t>(sh + 20);
        s.characteristics = r.at<std::uint32_t>(sh + 36);
        img.sections.push_back(s);
    }

    // Everything below reads through RVAs.
    auto u32 = [&](std::uint32_t rva) {
        std::uint32_t v;
        auto b = img.bytes_at(rva, 4);
        std::memcpy(&v, b.data(), 4);
        return v;
    };
    auto u16 = [&](std::uint32_t rva) {
        std::uint16_t v;
        auto b = img.bytes_at(rva, 2);
        std::memcpy(&v, b.data(), 2);
        return v;
    };
    auto str = [&](std::uint32_t rva) {
        std::string s;
        for (std::uint32_t i = 0; i < 512; ++i) {
            const auto c = img.bytes_at(rva + i, 1)[0];
            if (!c) break;
            s += static_cast<char>(c);
        }
        return s;
    };

    if (auto [rva, size] = dir(0); rva) {  // exports
        img.export_dll_name = str(u32(rva + 12));
        img.export_ordinal_base = u32(rva + 16);
        const std::uint32_t nfunc = u32(rva + 20), nnames = u32(rva + 24);
        const std::uint32_t funcs = u32(rva + 28), names = u32(rva + 32), ords = u32(rva + 36);
        for (std::uint32_t i = 0; i < nfunc && i < 4096; ++i) {
            const std::uint32_t f = u32(funcs + 4 * i);
            if (!f) continue;
            PeExport e{"", img.export_ordinal_base + i, f};
            for (std::uint32_t k = 0; k < nnames && k < 4096; ++k) {
                if (u16(ords + 2 * k) == i) e.name = str(u32(names + 4 * k));
            }
            img.exports.push_back(e);
        }
    }
    if (auto [rva, size] = dir(1); rva) {  // imports
        for (std::uint32_t d = rva; u32(d + 12) != 0 && d < rva + 20 * 256; d += 20) {
            const std::string dll = str(u32(d + 12));
            const std::uint32_t lookup = u32(d) ? u32(d) : u32(d + 16);
            const std::uint32_t iat = u32(d + 16);
            for (std::uint32_t k = 0; k < 4096; ++k) {
                const std::uint32_t entry = u32(lookup + 4 * k);
                if (!entry) break;
                PeImport imp{dll, "", 0, iat + 4 * k};
                if (entry & 0x80000000u) imp.ordinal = entry & 0xFFFF;
                else imp.function = str(entry + 2);
                img.imports.push_back(imp);
            }
        }
    }
    if (auto [rva, size] = dir(5); rva) {  // base relocations
        std::uint32_t block = rva;
        while (block < rva + size) {
            const std::uint32_t page = u32(block), bsize = u32(block + 4);
            if (bsize < 8) break;
            for (std::uint32_t k = 8; k + 2 <= bsize; k += 2) {
                const std::uint16_t e = u16(block + k);
                if ((e >> 12) == 3) img.relocations.push_back(page + (e & 0xFFF));
            }
            block += bsize;
        }
    }
    img.has_tls = dir(9).first != 0;
    if (auto [rva, size] = dir(2); rva) {  // resources: type / name / language
        auto entries = [&](std::uint32_t table) {
            std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
            const unsigned named = u16(table + 12), ids = u16(table + 14);
            if (named) img.has_named_resources = true;
            for (unsigned i = named; i < named + ids && i < 1024; ++i) {
                out.push_back({u32(table + 16 + 8 * i), u32(table + 20 + 8 * i)});
            }
            return out;
        };
        for (auto [type, t_off] : entries(rva)) {
            if (!(t_off & 0x80000000u)) continue;
            for (auto [id, n_off] : entries(rva + (t_off & 0x7FFFFFFF))) {
                if (!(n_off & 0x80000000u)) continue;
                for (auto [lang, l_off] : entries(rva + (n_off & 0x7FFFFFFF))) {
                    if (l_off & 0x80000000u) continue;
                    const std::uint32_t data = rva + l_off;
                    PeResource res{type, id, lang, u32(data), u32(data + 8), {}};
                    res.data = img.bytes_at(res.data_rva, u32(data + 4));
                    img.resources.push_back(std::move(res));
                }
            }
        }
    }
    return img;
}

}  // namespace q7host
