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
    void check(std::uint64_t rva, std::uint64_t n, const std::string& what) const {
        if (rva + n > img_.image_size) {
            throw Bad{what + " lies outside the image (" + hex(rva) + ", " + std::to_string(n) + " bytes, image " +
                      hex(img_.image_size) + ")"};
        }
    }
    std::uint32_t u32(std::uint64_t rva, const std::string& what) const { return read<std::uint32_t>(rva, what); }
    std::uint16_t u16(std::uint64_t rva, const std::string& what) const { return read<std::uint16_t>(rva, what); }
    std::string name(std::uint64_t rva, const std::string& what) const {
        std::string s;
        for (std::size_t i = 0;; ++i) {
            if (i == kMaxName) throw Bad{what + " is longer than " + std::to_string(kMaxName) + " characters"};
            const char c = static_cast<char>(read<std::uint8_t>(rva + i, what));
            if (!c) return s;
            s += c;
        }
    }

private:
    template <typename T>
    T read(std::uint64_t rva, const std::string& what) const {
        check(rva, sizeof(T), what);
        const auto b = img_.bytes_at(static_cast<std::uint32_t>(rva), sizeof(T));
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
    // The header page holds the file up to SizeOfHeaders, and at least the
    // section table the loader reads.
    img.headers_mapped = static_cast<std::uint32_t>(std::max<std::uint64_t>(img.headers_size, table + 40ull * count));
    std::uint64_t next_free = img.headers_mapped;
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

void read_imports(PeImage& img, const Image& m, std::uint32_t rva) {
    for (std::uint64_t d = rva;; d += 20) {
        const std::string where = "the import directory";
        if (d - rva >= 20 * kMaxImports) throw Bad{"the import directory lists more than " + std::to_string(kMaxImports) + " modules"};
        if (m.u32(d + 12, where) == 0) break;
        const std::string dll = m.name(m.u32(d + 12, where), "an imported module's name");
        const std::uint32_t iat = m.u32(d + 16, where);
        const std::uint32_t lookup = m.u32(d, where) ? m.u32(d, where) : iat;
        for (std::uint32_t k = 0;; ++k) {
            const std::uint32_t entry = m.u32(lookup + 4ull * k, "the import lookup table of " + dll);
            if (!entry) break;
            if (img.imports.size() == kMaxImports) {
                throw Bad{"the module imports more than " + std::to_string(kMaxImports) + " functions"};
            }
            PeImport imp{dll, "", 0, static_cast<std::uint32_t>(iat + 4ull * k)};
            m.check(imp.iat_rva, 4, "the import address table of " + dll);
            if (entry & 0x80000000u) imp.ordinal = entry & 0xFFFF;
            else imp.function = m.name(entry + 2ull, "a function name imported from " + dll);
            img.imports.push_back(imp);
        }
    }
}

// The types a Windows loader applies to a 32-bit image: 0 pads a block, 1
// and 2 add the high or low half of the move to a 16-bit field, 3 adds the
// move to a 32-bit address.
void parse_relocations(PeImage& img, const Image& m, std::uint32_t rva, std::uint32_t size) {
    m.check(rva, size, "the base relocation directory");
    for (std::uint64_t block = rva; block + 8 <= std::uint64_t{rva} + size;) {
        const std::uint32_t page = m.u32(block, "a base relocation block"), bsize = m.u32(block + 4, "a base relocation block");
        if (bsize < 8 || bsize % 2 || block + bsize > std::uint64_t{rva} + size) {
            throw Bad{"the base relocation block at " + hex(block) + " has a size of " + std::to_string(bsize) +
                      " that does not fit its directory"};
        }
        for (std::uint32_t k = 8; k + 2 <= bsize; k += 2) {
            const std::uint16_t e = m.u16(block + k, "a base relocation block");
            const unsigned type = e >> 12;
            if (type == 0) continue;  // padding
            const std::uint64_t at = std::uint64_t{page} + (e & 0xFFF);
            if (type > 3) {
                throw Bad{"base relocation of type " + std::to_string(type) + " at " + hex(at) +
                          ", which a 32-bit image does not use"};
            }
            if (at + (type == 3 ? 4 : 2) > img.image_size) {
                throw Bad{"a base relocation at " + hex(at) + " lies outside the image"};
            }
            if (img.relocations.size() == kMaxRelocations) {
                throw Bad{"the module has more than " + std::to_string(kMaxRelocations) + " base relocations"};
            }
            img.relocations.push_back({static_cast<std::uint32_t>(at), type});
        }
        block += bsize;
    }
}

void parse_into(PeImage& img) {
    const File f(img.file);
    if (f.size() < 2 || f.at<std::uint16_t>(0, "the MZ header") != 0x5A4D) throw Bad{"not an executable image (no MZ header)"};
    const std::uint32_t pe = f.at<std::uint32_t>(0x3C, "the MZ header");
    if (f.at<std::uint32_t>(pe, "the PE signature") != 0x00004550) throw Bad{"no PE signature at byte " + std::to_string(pe)};
    img.machine = f.at<std::uint16_t>(std::uint64_t{pe} + 4, "the file header");
    const std::uint16_t nsections = f.at<std::uint16_t>(std::uint64_t{pe} + 6, "the file header");
    const std::uint16_t opt_size = f.at<std::uint16_t>(std::uint64_t{pe} + 20, "the file header");
    img.characteristics = f.at<std::uint16_t>(std::uint64_t{pe} + 22, "the file header");
    const std::uint64_t opt = std::uint64_t{pe} + 24;
    if (img.machine != 0x14C || f.at<std::uint16_t>(opt, "the optional header") != 0x10B) throw Bad{"not a 32-bit i386 image"};
    if (opt_size < 96 || !f.has(opt, opt_size)) throw Bad{"the optional header of " + std::to_string(opt_size) + " bytes does not fit the file"};
    img.entry_rva = f.at<std::uint32_t>(opt + 16, "the optional header");
    img.image_base = f.at<std::uint32_t>(opt + 28, "the optional header");
    img.section_alignment = f.at<std::uint32_t>(opt + 32, "the optional header");
    img.image_size = f.at<std::uint32_t>(opt + 56, "the optional header");
    img.headers_size = f.at<std::uint32_t>(opt + 60, "the optional header");
    img.dll_characteristics = f.at<std::uint16_t>(opt + 70, "the optional header");
    const std::uint32_t ndirs = f.at<std::uint32_t>(opt + 92, "the optional header");
    if (img.image_base % 0x10000) throw Bad{"the image base " + hex(img.image_base) + " is not a multiple of 64 KiB"};
    if (img.section_alignment < 0x1000 || (img.section_alignment & (img.section_alignment - 1))) {
        throw Bad{"the section alignment " + hex(img.section_alignment) + " is not a power of two of at least 4 KiB"};
    }
    if (img.image_size == 0 || img.image_size > kMaxImageSize) {
        throw Bad{"the image size " + hex(img.image_size) + " is not between 1 byte and " + hex(kMaxImageSize)};
    }
    if (nsections == 0 || nsections > kMaxSections) {
        throw Bad{"the file claims " + std::to_string(nsections) + " sections (1 to " + std::to_string(kMaxSections) + ")"};
    }
    // Windows reads the first 16 directories, wherever the optional header
    // ends, and ignores any further ones.
    if (ndirs > PeImage::kDirectories) {
        img.warnings.push_back({WarningKind::DirectoriesIgnored, "", "claims " + std::to_string(ndirs) +
                                                                      " data directories; the first 16 are used"});
    }
    for (unsigned i = 0; i < std::min<std::uint32_t>(ndirs, PeImage::kDirectories); ++i) {
        img.directories[i] = {f.at<std::uint32_t>(opt + 96 + 8 * i, "the data directories"),
                              f.at<std::uint32_t>(opt + 100 + 8 * i, "the data directories")};
    }
    read_sections(img, f, opt + opt_size, nsections);
    if (img.headers_mapped > img.image_size) {
        throw Bad{"the headers (" + hex(img.headers_mapped) + " bytes) do not fit the image of " + hex(img.image_size)};
    }

    const Image m(img);
    if (auto [rva, size] = img.directories[PeImage::kImports]; rva) read_imports(img, m, rva);
    if (img.dynamic_base()) {
        std::string error;
        if (!img.read_relocations(error)) throw Bad{error};
    }
}

}  // namespace

std::uint32_t PeSection::span() const {
    return virtual_size ? virtual_size : raw_size;
}

std::uint32_t PeSection::mapped_file_bytes() const {
    if (!raw_size) return 0;
    const std::uint64_t from_file = (std::uint64_t{raw_size} + (raw_offset & 0x1FF) + 0x1FF) & ~std::uint64_t{0x1FF};
    const std::uint64_t to_last_page = (std::uint64_t{span()} + 0xFFF) & ~std::uint64_t{0xFFF};
    return static_cast<std::uint32_t>(std::min(from_file, to_last_page));
}

bool PeImage::read_relocations(std::string& error) {
    relocations.clear();
    relocations_read = true;
    const auto [rva, size] = directories[kRelocations];
    if (!rva) return true;
    try {
        parse_relocations(*this, Image(*this), rva, size);
    } catch (const Bad& b) {
        relocations.clear();
        error = b.what;
        return false;
    }
    return true;
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
    copy(0, headers_mapped, 0);
    for (const auto& s : sections) copy(s.virtual_address, s.mapped_file_bytes(), s.file_start());
    return out;
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

namespace q7host {

namespace {

// Reads through an ImageReader; a read it refuses ends the lookup with `why`.
struct Unreadable {
    std::string why;
};

class Reader {
public:
    explicit Reader(const ImageReader& r) : r_(r) {}
    template <typename T>
    T at(std::uint64_t rva, const char* what) const {
        T v{};
        if (rva > 0xFFFFFFFFu || !r_(static_cast<std::uint32_t>(rva), &v, sizeof v)) {
            throw Unreadable{std::string(what) + " at " + hex(rva) + " cannot be read"};
        }
        return v;
    }
    // strcmp of `name` against the string at `rva`, reading only as far as
    // the first difference, as a C string comparison does.
    int compare(std::string_view name, std::uint32_t rva, const char* what) const {
        for (std::size_t i = 0;; ++i) {
            const unsigned char a = i < name.size() ? static_cast<unsigned char>(name[i]) : 0;
            const auto b = at<std::uint8_t>(std::uint64_t{rva} + i, what);
            if (a != b) return a < b ? -1 : 1;
            if (!a) return 0;
        }
    }

private:
    const ImageReader& r_;
};

struct ExportDirectory {
    std::uint32_t base, functions, names, address_table, name_table, ordinal_table;
};

ExportDirectory export_directory(const Reader& r, const PeDirectory& dir) {
    const char* what = "the export directory";
    return {r.at<std::uint32_t>(dir.rva + 16ull, what), r.at<std::uint32_t>(dir.rva + 20ull, what),
            r.at<std::uint32_t>(dir.rva + 24ull, what), r.at<std::uint32_t>(dir.rva + 28ull, what),
            r.at<std::uint32_t>(dir.rva + 32ull, what), r.at<std::uint32_t>(dir.rva + 36ull, what)};
}

// The address table's entry `index`: 0 and forwarders are no export here.
ExportLookup export_at(const Reader& r, const PeDirectory& dir, const ExportDirectory& d, std::uint32_t index,
                       const std::string& what) {
    if (index >= d.functions) return {0, what + " is not in the export address table"};
    const auto rva = r.at<std::uint32_t>(d.address_table + 4ull * index, "the export address table");
    if (!rva) return {0, what + " has no address"};
    if (rva >= dir.rva && rva - dir.rva < dir.size) return {0, what + " is forwarded to another module"};
    return {rva, ""};
}

}  // namespace

ImageReader file_layout_reader(const PeImage& image) {
    return [&image](std::uint32_t rva, void* out, std::size_t n) {
        if (std::uint64_t{rva} + n > image.image_size) return false;
        const auto b = image.bytes_at(rva, n);
        std::memcpy(out, b.data(), n);
        return true;
    };
}

ExportLookup find_export(const ImageReader& read, const PeDirectory& dir, std::string_view name) {
    const std::string what(name);
    if (!dir.rva) return {0, "the module exports nothing"};
    try {
        const Reader r(read);
        const ExportDirectory d = export_directory(r, dir);
        std::int64_t lo = 0, hi = std::int64_t{d.names} - 1;
        while (lo <= hi) {
            const std::int64_t pos = lo + (hi - lo) / 2;
            const auto k = static_cast<std::uint64_t>(pos);
            const auto at = r.at<std::uint32_t>(d.name_table + 4 * k, "the export name table");
            const int c = r.compare(name, at, "an export name");
            if (c == 0) {
                const auto index = r.at<std::uint16_t>(d.ordinal_table + 2 * k, "the export ordinal table");
                return export_at(r, dir, d, index, what);
            }
            if (c < 0) hi = pos - 1;
            else lo = pos + 1;
        }
        return {0, what + " is not in the export name table"};
    } catch (const Unreadable& u) {
        return {0, u.why};
    }
}

ExportLookup find_export(const ImageReader& read, const PeDirectory& dir, std::uint32_t ordinal) {
    const std::string what = "ordinal " + std::to_string(ordinal);
    if (!dir.rva) return {0, "the module exports nothing"};
    try {
        const Reader r(read);
        const ExportDirectory d = export_directory(r, dir);
        return export_at(r, dir, d, ordinal - d.base, what);
    } catch (const Unreadable& u) {
        return {0, u.why};
    }
}

namespace {

constexpr std::uint32_t kNeutral = 0x0000, kUsEnglish = 0x0409;

// One level of the resource tree: the entry with `id` among the directory's
// id entries, found by binary search; its offset (directory or data entry,
// as `want_directory` says) from the tree's root, or nothing.
std::optional<std::uint32_t> resource_entry(const Reader& r, std::uint32_t root, std::uint32_t dir, std::uint32_t id,
                                            bool want_directory) {
    const std::uint64_t table = std::uint64_t{root} + dir;
    const auto named = r.at<std::uint16_t>(table + 12, "a resource directory");
    const auto ids = r.at<std::uint16_t>(table + 14, "a resource directory");
    const std::uint64_t first = table + 16 + 8ull * named;
    int lo = 0, hi = ids - 1;
    while (lo <= hi) {
        const int pos = (lo + hi) / 2;
        const std::uint64_t entry = first + 8ull * static_cast<unsigned>(pos);
        const std::uint32_t key = r.at<std::uint32_t>(entry, "a resource directory entry") & 0xFFFF;
        if (key == id) {
            const auto offset = r.at<std::uint32_t>(entry + 4, "a resource directory entry");
            if (bool(offset & 0x80000000u) != want_directory) return std::nullopt;
            return offset & 0x7FFFFFFFu;
        }
        if (key < id) lo = pos + 1;
        else hi = pos - 1;
    }
    return std::nullopt;
}

}  // namespace

ResourceLookup find_resource(const ImageReader& read, const PeDirectory& dir, std::uint32_t type, std::uint32_t id) {
    ResourceLookup out;
    if (!dir.rva) {
        out.why = "the module has no resources";
        return out;
    }
    try {
        const Reader r(read);
        const auto names = resource_entry(r, dir.rva, 0, type, true);
        if (!names) {
            out.why = "no resources of type " + std::to_string(type);
            return out;
        }
        const auto languages = resource_entry(r, dir.rva, *names, id, true);
        if (!languages) {
            out.why = "no resource " + hex(id) + " of type " + std::to_string(type);
            return out;
        }
        std::optional<std::uint32_t> data;
        for (std::uint32_t lang : {kNeutral, kUsEnglish}) {
            if ((data = resource_entry(r, dir.rva, *languages, lang, false))) {
                out.language = lang;
                break;
            }
        }
        if (!data) {
            // The first language listed.
            const std::uint64_t table = std::uint64_t{dir.rva} + *languages;
            const auto count = r.at<std::uint16_t>(table + 12, "a resource directory") +
                               r.at<std::uint16_t>(table + 14, "a resource directory");
            const auto offset = count ? r.at<std::uint32_t>(table + 20, "a resource directory entry") : 0x80000000u;
            if (offset & 0x80000000u) {
                out.why = "resource " + hex(id) + " has no data in any language";
                return out;
            }
            out.language = r.at<std::uint32_t>(table + 16, "a resource directory entry") & 0xFFFF;
            data = offset;
        }
        const std::uint64_t entry = std::uint64_t{dir.rva} + *data;
        const auto rva = r.at<std::uint32_t>(entry, "a resource data entry");
        const auto size = r.at<std::uint32_t>(entry + 4, "a resource data entry");
        if (size > kMaxImageSize) {
            out.why = "its data claims " + std::to_string(size) + " bytes, more than the largest image";
            return out;
        }
        out.data.resize(size);
        if (size && (std::uint64_t{rva} + size > 0xFFFFFFFFu || !read(rva, out.data.data(), size))) {
            out.data.clear();
            out.why = "its data at " + hex(rva) + " (" + std::to_string(size) + " bytes) cannot be read";
            return out;
        }
        out.found = true;
        return out;
    } catch (const Unreadable& u) {
        out.why = u.why;
        return out;
    }
}

std::optional<PeExportTable> list_exports(const PeImage& img, std::string& error) {
    const std::uint32_t rva = img.directories[PeImage::kExports].rva;
    PeExportTable t;
    if (!rva) return t;
    try {
        const Image m(img);
        const std::string where = "the export directory";
        t.dll_name = m.name(m.u32(rva + 12ull, where), "the export table's module name");
        t.ordinal_base = m.u32(rva + 16ull, where);
        const auto nfunc = m.u32(rva + 20ull, where), nnames = m.u32(rva + 24ull, where);
        if (nfunc > kMaxExports || nnames > nfunc) {
            throw Bad{"the export table lists " + std::to_string(nfunc) + " functions and " + std::to_string(nnames) +
                      " names"};
        }
        const auto funcs = m.u32(rva + 28ull, where), names = m.u32(rva + 32ull, where),
                   ords = m.u32(rva + 36ull, where);
        std::vector<std::string> name_of(nfunc);
        for (std::uint32_t k = 0; k < nnames; ++k) {
            const auto i = m.u16(ords + 2ull * k, "the export ordinal table");
            if (i >= nfunc) throw Bad{"export name " + std::to_string(k + 1) + " names function " + std::to_string(i)};
            name_of[i] = m.name(m.u32(names + 4ull * k, "the export name table"), "an export name");
        }
        for (std::uint32_t i = 0; i < nfunc; ++i) {
            const auto f = m.u32(funcs + 4ull * i, "the export address table");
            if (f) t.exports.push_back({name_of[i], t.ordinal_base + i, f});
        }
    } catch (const Bad& b) {
        error = b.what;
        return std::nullopt;
    }
    return t;
}

std::optional<PeResourceList> list_resources(const PeImage& img, std::string& error) {
    const std::uint32_t rva = img.directories[PeImage::kResources].rva;
    PeResourceList list;
    if (!rva) return list;
    try {
        const Image m(img);
        // Type, name and language: three fixed levels, so a directory that
        // points back at itself cannot loop.
        auto entries = [&](std::uint32_t off) {
            const std::string where = "the resource directory at " + hex(off);
            const std::uint64_t table = std::uint64_t{rva} + off;
            const unsigned named = m.u16(table + 12, where), ids = m.u16(table + 14, where);
            if (named + ids > kMaxResourcesPerLevel) {
                throw Bad{where + " lists " + std::to_string(named + ids) + " entries"};
            }
            if (named) list.has_named = true;
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
                    if (list.resources.size() == kMaxResources) {
                        throw Bad{"more than " + std::to_string(kMaxResources) + " resources"};
                    }
                    const std::string what = "resource " + std::to_string(type) + "/" + std::to_string(id);
                    const std::uint64_t entry = std::uint64_t{rva} + l_off;
                    const auto data = m.u32(entry, what), bytes = m.u32(entry + 4, what);
                    total += bytes;
                    if (total > kMaxImageSize || std::uint64_t{data} + bytes > img.image_size) {
                        throw Bad{what + "'s data lies outside the image"};
                    }
                    list.resources.push_back({type, id, lang, img.bytes_at(data, bytes)});
                }
            }
        }
    } catch (const Bad& b) {
        error = b.what;
        return std::nullopt;
    }
    return list;
}

}  // namespace q7host
