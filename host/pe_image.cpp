#include "host/pe_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace q7host {

namespace {

// What no module file this host runs needs more of; a real loader has limits
// of the same kind, and these keep a hostile file from costing more than a
// few milliseconds and megabytes.
constexpr std::size_t kMaxFileSize = 64u << 20;
constexpr std::uint32_t kMaxImageSize = 16u << 20;
constexpr unsigned kMaxSections = 96;
constexpr std::uint32_t kMaxExports = 4096;
constexpr std::size_t kMaxImports = 256;
constexpr std::size_t kMaxRelocations = 65536;
constexpr unsigned kMaxResourcesPerLevel = 256;
constexpr std::size_t kMaxResources = 1024;
constexpr std::size_t kMaxName = 256;

struct Bad {
    std::string what;
};

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// The file's bytes, read only where they exist.
class File {
public:
    explicit File(const std::vector<std::uint8_t>& b) : b_(b) {}
    std::size_t size() const { return b_.size(); }
    bool has(std::uint64_t off, std::uint64_t n) const { return off <= b_.size() && n <= b_.size() - off; }
    // A field of the headers; a file that ends before it is truncated.
    template <typename T>
    T at(std::uint64_t off, const char* field) const {
        if (!has(off, sizeof(T))) {
            throw Bad{"the file is truncated: it ends at byte " + std::to_string(b_.size()) + ", inside " + field};
        }
        T v;
        std::memcpy(&v, b_.data() + off, sizeof v);
        return v;
    }

private:
    const std::vector<std::uint8_t>& b_;
};

std::string section_label(std::size_t index, const PeSection& s) {
    return "section " + std::to_string(index + 1) + (s.name.empty() ? "" : " (" + s.name + ")");
}

// The image as the loader will lay it out, read through RVAs: every read
// must lie inside the image and is taken from the file where a section (or
// the headers) has raw data there, zeros elsewhere, as a loader maps it.
class Image {
public:
    explicit Image(const PeImage& img) : img_(img) {}
    void check(std::uint32_t rva, std::uint64_t n, const std::string& what) const {
        if (std::uint64_t{rva} + n > img_.image_size) {
            throw Bad{what + " lies outside the image (" + hex(rva) + ", " + std::to_string(n) + " bytes, image " +
                      hex(img_.image_size) + ")"};
        }
    }
    std::uint32_t u32(std::uint32_t rva, const std::string& what) const { return read<std::uint32_t>(rva, what); }
    std::uint16_t u16(std::uint32_t rva, const std::string& what) const { return read<std::uint16_t>(rva, what); }
    std::string name(std::uint32_t rva, const std::string& what) const {
        std::string s;
        for (std::size_t i = 0;; ++i) {
            if (i == kMaxName) throw Bad{what + " is longer than " + std::to_string(kMaxName) + " characters"};
            const char c = static_cast<char>(read<std::uint8_t>(rva + static_cast<std::uint32_t>(i), what));
            if (!c) return s;
            s += c;
        }
    }

private:
    template <typename T>
    T read(std::uint32_t rva, const std::string& what) const {
        check(rva, sizeof(T), what);
        const auto b = img_.bytes_at(rva, sizeof(T));
        T v;
        std::memcpy(&v, b.data(), sizeof v);
        return v;
    }
    const PeImage& img_;
};

void read_sections(PeImage& img, const File& f, std::uint64_t table, unsigned count) {
    if (!f.has(table, std::uint64_t{count} * 40)) {
        throw Bad{"the file is truncated: the section table of " + std::to_string(count) +
                  " entries runs past its end at byte " + std::to_string(f.size())};
    }
    if (table + std::uint64_t{count} * 40 > img.headers_size) {
        throw Bad{"the section table runs past the headers (SizeOfHeaders " + hex(img.headers_size) + ")"};
    }
    std::uint64_t next_free = img.headers_size;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint64_t sh = table + 40 * i;
        PeSection s;
        char name[9] = {};
        for (int k = 0; k < 8; ++k) name[k] = static_cast<char>(f.at<std::uint8_t>(sh + k, "the section table"));
        s.name = name;
        s.virtual_size = f.at<std::uint32_t>(sh + 8, "the section table");
        s.virtual_address = f.at<std::uint32_t>(sh + 12, "the section table");
        s.raw_size = f.at<std::uint32_t>(sh + 16, "the section table");
        s.raw_offset = f.at<std::uint32_t>(sh + 20, "the section table");
        s.characteristics = f.at<std::uint32_t>(sh + 36, "the section table");
        const std::string label = section_label(i, s);
        if (s.raw_size && !f.has(s.raw_offset, s.raw_size)) {
            throw Bad{label + " lies outside the file: its data ends at byte " +
                      std::to_string(std::uint64_t{s.raw_offset} + s.raw_size) + ", the file at byte " +
                      std::to_string(f.size()) + " (truncated?)"};
        }
        if (s.virtual_address % img.section_alignment != 0) {
            throw Bad{label + " does not start on a section boundary (" + hex(s.virtual_address) + ")"};
        }
        if (std::uint64_t{s.virtual_address} + s.span() > img.image_size) {
            throw Bad{label + " lies outside the image: it ends at " +
                      hex(std::uint64_t{s.virtual_address} + s.span()) + ", the image at " + hex(img.image_size)};
        }
        if (s.virtual_address < next_free) {
            throw Bad{label + " overlaps the headers or the section before it (" + hex(s.virtual_address) + ")"};
        }
        next_free = std::uint64_t{s.virtual_address} + s.span();
        img.sections.push_back(s);
    }
}

void read_exports(PeImage& img, const Image& m, std::uint32_t rva, std::uint32_t size) {
    m.check(rva, std::max<std::uint32_t>(size, 40), "the export directory");
    img.export_dll_name = m.name(m.u32(rva + 12, "the export directory"), "the export table's module name");
    img.export_ordinal_base = m.u32(rva + 16, "the export directory");
    const std::uint32_t nfunc = m.u32(rva + 20, "the export directory"), nnames = m.u32(rva + 24, "the export directory");
    if (nfunc > kMaxExports || nnames > nfunc) {
        throw Bad{"the export table lists " + std::to_string(nfunc) + " functions and " + std::to_string(nnames) +
                  " names (at most " + std::to_string(kMaxExports) + ", no more names than functions)"};
    }
    const std::uint32_t funcs = m.u32(rva + 28, "the export directory"), names = m.u32(rva + 32, "the export directory"),
                        ords = m.u32(rva + 36, "the export directory");
    m.check(funcs, 4ull * nfunc, "the export address table");
    m.check(names, 4ull * nnames, "the export name table");
    m.check(ords, 2ull * nnames, "the export ordinal table");
    std::vector<std::string> name_of(nfunc);
    for (std::uint32_t k = 0; k < nnames; ++k) {
        const std::uint16_t i = m.u16(ords + 2 * k, "the export ordinal table");
        if (i >= nfunc) throw Bad{"export name " + std::to_string(k + 1) + " names function " + std::to_string(i) + " of " + std::to_string(nfunc)};
        name_of[i] = m.name(m.u32(names + 4 * k, "the export name table"), "export name " + std::to_string(k + 1));
    }
    for (std::uint32_t i = 0; i < nfunc; ++i) {
        const std::uint32_t f = m.u32(funcs + 4 * i, "the export address table");
        if (!f) continue;
        const std::string what = "export " + (name_of[i].empty() ? "ordinal " + std::to_string(img.export_ordinal_base + i) : name_of[i]);
        if (f >= rva && f < std::uint64_t{rva} + size) throw Bad{what + " is forwarded to another module"};
        m.check(f, 1, what);
        img.exports.push_back({name_of[i], img.export_ordinal_base + i, f});
    }
}

void read_imports(PeImage& img, const Image& m, std::uint32_t rva) {
    for (std::uint32_t d = rva;; d += 20) {
        const std::string where = "the import directory";
        if (d - rva >= 20 * kMaxImports) throw Bad{"the import directory lists more than " + std::to_string(kMaxImports) + " modules"};
        if (m.u32(d + 12, where) == 0) break;
        const std::string dll = m.name(m.u32(d + 12, where), "an imported module's name");
        const std::uint32_t iat = m.u32(d + 16, where);
        const std::uint32_t lookup = m.u32(d, where) ? m.u32(d, where) : iat;
        for (std::uint32_t k = 0;; ++k) {
            const std::uint32_t entry = m.u32(lookup + 4 * k, "the import lookup table of " + dll);
            if (!entry) break;
            if (img.imports.size() == kMaxImports) {
                throw Bad{"the module imports more than " + std::to_string(kMaxImports) + " functions"};
            }
            PeImport imp{dll, "", 0, iat + 4 * k};
            m.check(imp.iat_rva, 4, "the import address table of " + dll);
            if (entry & 0x80000000u) imp.ordinal = entry & 0xFFFF;
            else imp.function = m.name(entry + 2, "a function name imported from " + dll);
            img.imports.push_back(imp);
        }
    }
}

void read_relocations(PeImage& img, const Image& m, std::uint32_t rva, std::uint32_t size) {
    m.check(rva, size, "the base relocation directory");
    for (std::uint32_t block = rva; block + 8 <= std::uint64_t{rva} + size;) {
        const std::uint32_t page = m.u32(block, "a base relocation block"), bsize = m.u32(block + 4, "a base relocation block");
        if (bsize < 8 || bsize % 2 || std::uint64_t{block} + bsize > std::uint64_t{rva} + size) {
            throw Bad{"the base relocation block at " + hex(block) + " has a size of " + std::to_string(bsize) +
                      " that does not fit its directory"};
        }
        for (std::uint32_t k = 8; k + 2 <= bsize; k += 2) {
            const std::uint16_t e = m.u16(block + k, "a base relocation block");
            const unsigned type = e >> 12;
            if (type == 0) continue;  // padding
            const std::uint64_t at = std::uint64_t{page} + (e & 0xFFF);
            if (type != 3) throw Bad{"base relocation of type " + std::to_string(type) + " at " + hex(at) + ", which a 32-bit image does not use"};
            if (at + 4 > img.image_size) throw Bad{"a base relocation at " + hex(at) + " lies outside the image"};
            if (img.relocations.size() == kMaxRelocations) throw Bad{"the module has more than " + std::to_string(kMaxRelocations) + " base relocations"};
            img.relocations.push_back(static_cast<std::uint32_t>(at));
        }
        block += bsize;
    }
}

// Type, name and language: three fixed levels, so a directory that points
// back at itself cannot loop.
void read_resources(PeImage& img, const Image& m, std::uint32_t rva, std::uint32_t size) {
    m.check(rva, std::max<std::uint32_t>(size, 16), "the resource directory");
    auto entries = [&](std::uint32_t off) {
        const std::string where = "the resource directory at " + hex(off);
        if (off >= size) throw Bad{where + " lies outside the resource section"};
        const std::uint32_t table = rva + off;
        const unsigned named = m.u16(table + 12, where), ids = m.u16(table + 14, where);
        if (named + ids > kMaxResourcesPerLevel) throw Bad{where + " lists " + std::to_string(named + ids) + " entries"};
        if (named) img.has_named_resources = true;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        for (unsigned i = named; i < named + ids; ++i) {
            out.push_back({m.u32(table + 16 + 8 * i, where), m.u32(table + 20 + 8 * i, where)});
        }
        return out;
    };
    std::uint64_t total = 0;
    for (auto [type, t_off] : entries(0)) {
        if (!(t_off & 0x80000000u)) continue;
        for (auto [id, n_off] : entries(t_off & 0x7FFFFFFF)) {
            if (!(n_off & 0x80000000u)) continue;
            for (auto [lang, l_off] : entries(n_off & 0x7FFFFFFF)) {
                if (l_off & 0x80000000u) continue;
                if (img.resources.size() == kMaxResources) throw Bad{"the module has more than " + std::to_string(kMaxResources) + " resources"};
                const std::string what = "resource " + std::to_string(type) + "/" + std::to_string(id);
                if (l_off + 16ull > size) throw Bad{what + " lies outside the resource section"};
                const std::uint32_t data = rva + l_off;
                PeResource res{type, id, lang, m.u32(data, what), m.u32(data + 8, what), {}};
                const std::uint32_t bytes = m.u32(data + 4, what);
                m.check(res.data_rva, bytes, what + "'s data");
                total += bytes;
                if (total > kMaxImageSize) throw Bad{"the module's resources hold more than " + hex(kMaxImageSize) + " bytes"};
                res.data = img.bytes_at(res.data_rva, bytes);
                img.resources.push_back(std::move(res));
            }
        }
    }
}

void parse_into(PeImage& img) {
    const File f(img.file);
    if (f.size() < 2 || f.at<std::uint16_t>(0, "the MZ header") != 0x5A4D) throw Bad{"not an executable image (no MZ header)"};
    const std::uint32_t pe = f.at<std::uint32_t>(0x3C, "the MZ header");
    if (f.at<std::uint32_t>(pe, "the PE signature") != 0x00004550) throw Bad{"no PE signature at byte " + std::to_string(pe)};
    img.machine = f.at<std::uint16_t>(pe + 4, "the file header");
    const std::uint16_t nsections = f.at<std::uint16_t>(pe + 6, "the file header");
    const std::uint16_t opt_size = f.at<std::uint16_t>(pe + 20, "the file header");
    img.characteristics = f.at<std::uint16_t>(pe + 22, "the file header");
    const std::uint64_t opt = std::uint64_t{pe} + 24;
    if (img.machine != 0x14C || f.at<std::uint16_t>(opt, "the optional header") != 0x10B) throw Bad{"not a 32-bit i386 image"};
    if (opt_size < 96 || !f.has(opt, opt_size)) throw Bad{"the optional header of " + std::to_string(opt_size) + " bytes does not fit the file"};
    img.entry_rva = f.at<std::uint32_t>(opt + 16, "the optional header");
    img.image_base = f.at<std::uint32_t>(opt + 28, "the optional header");
    img.section_alignment = f.at<std::uint32_t>(opt + 32, "the optional header");
    img.image_size = f.at<std::uint32_t>(opt + 56, "the optional header");
    img.headers_size = f.at<std::uint32_t>(opt + 60, "the optional header");
    const std::uint32_t ndirs = f.at<std::uint32_t>(opt + 92, "the optional header");
    if (img.image_base % 0x10000) throw Bad{"the image base " + hex(img.image_base) + " is not a multiple of 64 KiB"};
    if (img.section_alignment < 0x1000 || (img.section_alignment & (img.section_alignment - 1))) {
        throw Bad{"the section alignment " + hex(img.section_alignment) + " is not a power of two of at least 4 KiB"};
    }
    if (img.image_size == 0 || img.image_size > kMaxImageSize) {
        throw Bad{"the image size " + hex(img.image_size) + " is not between 1 byte and " + hex(kMaxImageSize)};
    }
    if (img.headers_size == 0 || img.headers_size > img.image_size) {
        throw Bad{"the headers' size " + hex(img.headers_size) + " does not fit the image"};
    }
    if (!f.has(0, img.headers_size)) {
        throw Bad{"the file is truncated: it ends at byte " + std::to_string(f.size()) + ", inside the headers (" +
                  std::to_string(img.headers_size) + " bytes)"};
    }
    if (nsections == 0 || nsections > kMaxSections) {
        throw Bad{"the file claims " + std::to_string(nsections) + " sections (1 to " + std::to_string(kMaxSections) + ")"};
    }
    if (ndirs > 16 || 96 + 8ull * ndirs > opt_size) throw Bad{"the optional header claims " + std::to_string(ndirs) + " data directories"};
    read_sections(img, f, opt + opt_size, nsections);

    const PeSection* code = img.section_at(img.entry_rva);
    if (!code || !code->executable()) throw Bad{"the entry point " + hex(img.entry_rva) + " lies outside the code"};
    const Image m(img);
    auto dir = [&](unsigned i) -> std::pair<std::uint32_t, std::uint32_t> {
        if (i >= ndirs) return {0, 0};
        return {f.at<std::uint32_t>(opt + 96 + 8 * i, "the data directories"), f.at<std::uint32_t>(opt + 100 + 8 * i, "the data directories")};
    };
    if (auto [rva, size] = dir(0); rva) read_exports(img, m, rva, size);
    if (auto [rva, size] = dir(1); rva) read_imports(img, m, rva);
    if (auto [rva, size] = dir(5); rva) read_relocations(img, m, rva, size);
    img.has_tls = dir(9).first != 0;
    if (auto [rva, size] = dir(2); rva) read_resources(img, m, rva, size);
}

}  // namespace

std::uint32_t PeSection::span() const {
    return virtual_size ? virtual_size : raw_size;
}

const PeSection* PeImage::section_at(std::uint32_t rva) const {
    for (const auto& s : sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.span()) return &s;
    }
    return nullptr;
}

std::vector<std::uint8_t> PeImage::bytes_at(std::uint32_t rva, std::size_t size) const {
    std::vector<std::uint8_t> out(size, 0);
    const std::uint64_t begin = rva, end = begin + size;
    // Copies the file's bytes [from, from + n) that land in [begin, end).
    auto copy = [&](std::uint64_t at, std::uint64_t n, std::uint64_t from) {
        const std::uint64_t lo = std::max(begin, at), hi = std::min(end, at + n);
        if (lo >= hi || from + (lo - at) >= file.size()) return;
        const std::uint64_t count = std::min<std::uint64_t>(hi - lo, file.size() - (from + (lo - at)));
        std::memcpy(out.data() + (lo - begin), file.data() + from + (lo - at), count);
    };
    copy(0, headers_size, 0);
    for (const auto& s : sections) copy(s.virtual_address, std::min(s.raw_size, s.span()), s.raw_offset);
    return out;
}

const PeResource* PeImage::resource(std::uint32_t type, std::uint32_t id) const {
    for (const auto& r : resources) {
        if (r.type == type && r.id == id) return &r;
    }
    return nullptr;
}

std::optional<PeImage> PeImage::read_file(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::string("cannot open the file: ") + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::vector<std::uint8_t> bytes;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok || !S_ISREG(st.st_mode)) {
        error = ok ? "not a regular file" : std::string("cannot read the file: ") + std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    // Read until the end, whatever size the file claimed, but never past the
    // largest module this host takes.
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("cannot read the file: ") + std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > kMaxFileSize) {
            error = "the file is larger than " + std::to_string(kMaxFileSize >> 20) + " MiB";
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return parse(std::move(bytes), error);
}

std::optional<PeImage> PeImage::parse(std::vector<std::uint8_t> bytes, std::string& error) {
    if (bytes.size() > kMaxFileSize) {
        error = "the file is larger than " + std::to_string(kMaxFileSize >> 20) + " MiB";
        return std::nullopt;
    }
    PeImage img;
    img.file = std::move(bytes);
    try {
        parse_into(img);
    } catch (const Bad& b) {
        error = b.what;
        return std::nullopt;
    }
    return img;
}

}  // namespace q7host
