// Reading a module file as the Windows loader does before it maps it: the
// headers, the section layout, the imports it binds and the base relocations
// it applies, each field checked against the file's and the image's size.
#include "pe_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace q7host {

using namespace pe_detail;

namespace {

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
            throw Malformed{"the file is truncated: it ends at byte " + std::to_string(b_.size()) + ", inside " +
                            field};
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

void read_sections(PeImage& img, const File& f, std::uint64_t table, unsigned count) {
    if (!f.has(table, std::uint64_t{count} * 40)) {
        throw Malformed{"the file is truncated: the section table of " + std::to_string(count) +
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
            throw Malformed{label + " lies outside the file: its data ends at byte " +
                            std::to_string(std::uint64_t{s.raw_offset} + s.raw_size) + ", the file at byte " +
                            std::to_string(f.size()) + " (truncated?)"};
        }
        if (s.virtual_address % img.section_alignment != 0) {
            throw Malformed{label + " does not start on a section boundary (" + hex(s.virtual_address) + ")"};
        }
        if (std::uint64_t{s.virtual_address} + s.span() > img.image_size) {
            throw Malformed{label + " lies outside the image: it ends at " +
                            hex(std::uint64_t{s.virtual_address} + s.span()) + ", the image at " + hex(img.image_size)};
        }
        if (s.virtual_address < next_free) {
            throw Malformed{label + " overlaps the headers or the section before it (" + hex(s.virtual_address) + ")"};
        }
        // Windows maps the sections one after another: a gap between two
        // is an image it does not load (STATUS_INVALID_IMAGE_FORMAT).
        const std::uint64_t expected =
            (next_free + img.section_alignment - 1) & ~std::uint64_t{img.section_alignment - 1};
        if (i > 0 && s.virtual_address != expected) {
            throw Malformed{label + " does not start where the section before it ends (" + hex(s.virtual_address) +
                            ", not " + hex(expected) + "): Windows refuses the image (0xC000007B)"};
        }
        next_free = std::uint64_t{s.virtual_address} + s.span();
        img.sections.push_back(s);
    }
}

void read_imports(PeImage& img, const LayoutView& m, std::uint32_t rva) {
    for (std::uint64_t d = rva;; d += 20) {
        const std::string where = "the import directory";
        if (d - rva >= 20 * kMaxImports)
            throw Malformed{"the import directory lists more than " + std::to_string(kMaxImports) + " modules"};
        if (m.u32(d + 12, where) == 0) break;
        const std::string dll = m.name(m.u32(d + 12, where), "an imported module's name");
        const std::uint32_t iat = m.u32(d + 16, where);
        const std::uint32_t lookup = m.u32(d, where) ? m.u32(d, where) : iat;
        for (std::uint32_t k = 0;; ++k) {
            const std::uint32_t entry = m.u32(lookup + 4ull * k, "the import lookup table of " + dll);
            if (!entry) break;
            if (img.imports.size() == kMaxImports) {
                throw Malformed{"the module imports more than " + std::to_string(kMaxImports) + " functions"};
            }
            PeImport imp{dll, "", 0, static_cast<std::uint32_t>(iat + 4ull * k)};
            m.check(imp.iat_rva, 4, "the import address table of " + dll);
            if (entry & 0x80000000u)
                imp.ordinal = entry & 0xFFFF;
            else
                imp.function = m.name(entry + 2ull, "a function name imported from " + dll);
            img.imports.push_back(imp);
        }
    }
}

// The types a Windows loader applies to a 32-bit image: 0 pads a block, 1
// and 2 add the high or low half of the move to a 16-bit field, 3 adds the
// move to a 32-bit address.
void parse_relocations(PeImage& img, const LayoutView& m, std::uint32_t rva, std::uint32_t size) {
    m.check(rva, size, "the base relocation directory");
    for (std::uint64_t block = rva; block + 8 <= std::uint64_t{rva} + size;) {
        const std::uint32_t page = m.u32(block, "a base relocation block"),
                            bsize = m.u32(block + 4, "a base relocation block");
        if (bsize < 8 || bsize % 2 || block + bsize > std::uint64_t{rva} + size) {
            throw Malformed{"the base relocation block at " + hex(block) + " has a size of " + std::to_string(bsize) +
                            " that does not fit its directory"};
        }
        for (std::uint32_t k = 8; k + 2 <= bsize; k += 2) {
            const std::uint16_t e = m.u16(block + k, "a base relocation block");
            const unsigned type = e >> 12;
            if (type == 0) continue;  // padding
            const std::uint64_t at = std::uint64_t{page} + (e & 0xFFF);
            if (type > 3) {
                throw Malformed{"base relocation of type " + std::to_string(type) + " at " + hex(at) +
                                ", which a 32-bit image does not use"};
            }
            if (at + (type == 3 ? 4 : 2) > img.image_size) {
                throw Malformed{"a base relocation at " + hex(at) + " lies outside the image"};
            }
            if (img.relocations.size() == kMaxRelocations) {
                throw Malformed{"the module has more than " + std::to_string(kMaxRelocations) + " base relocations"};
            }
            img.relocations.push_back({static_cast<std::uint32_t>(at), type});
        }
        block += bsize;
    }
}

void parse_into(PeImage& img) {
    const File f(img.file);
    if (f.size() < 2 || f.at<std::uint16_t>(0, "the MZ header") != 0x5A4D)
        throw Malformed{"not an executable image (no MZ header)"};
    const std::uint32_t pe = f.at<std::uint32_t>(0x3C, "the MZ header");
    if (f.at<std::uint32_t>(pe, "the PE signature") != 0x00004550)
        throw Malformed{"no PE signature at byte " + std::to_string(pe)};
    img.machine = f.at<std::uint16_t>(std::uint64_t{pe} + 4, "the file header");
    const std::uint16_t nsections = f.at<std::uint16_t>(std::uint64_t{pe} + 6, "the file header");
    const std::uint16_t opt_size = f.at<std::uint16_t>(std::uint64_t{pe} + 20, "the file header");
    img.characteristics = f.at<std::uint16_t>(std::uint64_t{pe} + 22, "the file header");
    const std::uint64_t opt = std::uint64_t{pe} + 24;
    if (img.machine != 0x14C || f.at<std::uint16_t>(opt, "the optional header") != 0x10B)
        throw Malformed{"not a 32-bit i386 image"};
    if (opt_size < 96 || !f.has(opt, opt_size))
        throw Malformed{"the optional header of " + std::to_string(opt_size) + " bytes does not fit the file"};
    img.entry_rva = f.at<std::uint32_t>(opt + 16, "the optional header");
    img.image_base = f.at<std::uint32_t>(opt + 28, "the optional header");
    img.section_alignment = f.at<std::uint32_t>(opt + 32, "the optional header");
    img.image_size = f.at<std::uint32_t>(opt + 56, "the optional header");
    img.headers_size = f.at<std::uint32_t>(opt + 60, "the optional header");
    img.dll_characteristics = f.at<std::uint16_t>(opt + 70, "the optional header");
    const std::uint32_t ndirs = f.at<std::uint32_t>(opt + 92, "the optional header");
    if (img.image_base % 0x10000)
        throw Malformed{"the image base " + hex(img.image_base) + " is not a multiple of 64 KiB"};
    if (img.section_alignment < 0x1000 || (img.section_alignment & (img.section_alignment - 1))) {
        throw Malformed{"the section alignment " + hex(img.section_alignment) +
                        " is not a power of two of at least 4 KiB"};
    }
    if (img.image_size == 0 || img.image_size > kMaxImageSize) {
        throw Malformed{"the image size " + hex(img.image_size) + " is not between 1 byte and " + hex(kMaxImageSize)};
    }
    if (nsections == 0 || nsections > kMaxSections) {
        throw Malformed{"the file claims " + std::to_string(nsections) + " sections (1 to " +
                        std::to_string(kMaxSections) + ")"};
    }
    // Windows reads the first 16 directories, wherever the optional header
    // ends, and ignores any further ones.
    if (ndirs > PeImage::kDirectories) {
        img.warnings.push_back({WarningKind::DirectoriesIgnored, "",
                                "claims " + std::to_string(ndirs) + " data directories; the first 16 are used"});
    }
    for (unsigned i = 0; i < std::min<std::uint32_t>(ndirs, PeImage::kDirectories); ++i) {
        img.directories[i] = {f.at<std::uint32_t>(opt + 96 + 8 * i, "the data directories"),
                              f.at<std::uint32_t>(opt + 100 + 8 * i, "the data directories")};
    }
    read_sections(img, f, opt + opt_size, nsections);
    if (img.headers_mapped > img.image_size) {
        throw Malformed{"the headers (" + hex(img.headers_mapped) + " bytes) do not fit the image of " +
                        hex(img.image_size)};
    }

    const LayoutView m(img);
    if (auto [rva, size] = img.directories[PeImage::kImports]; rva) read_imports(img, m, rva);
    if (img.dynamic_base()) {
        std::string error;
        if (!img.read_relocations(error)) throw Malformed{error};
    }
}

}  // namespace

std::uint32_t PeSection::span() const { return virtual_size ? virtual_size : raw_size; }

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
        parse_relocations(*this, LayoutView(*this), rva, size);
    } catch (const Malformed& b) {
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
    } catch (const Malformed& b) {
        error = b.what;
        return std::nullopt;
    }
    return img;
}

ImageReader file_layout_reader(const PeImage& image) {
    return [&image](std::uint32_t rva, void* out, std::size_t n) {
        if (std::uint64_t{rva} + n > image.image_size) return false;
        const auto b = image.bytes_at(rva, n);
        std::memcpy(out, b.data(), n);
        return true;
    };
}

}  // namespace q7host
