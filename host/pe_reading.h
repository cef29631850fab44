// Inside the PE reader: the limits that keep a hostile file cheap to read, the refusal its readers
// throw, and its two ways of reading the image by RVA: the file's own layout, checked against the
// image's size (the loader's reads and the listings), and an ImageReader over any view of the
// mapped image (the lookups Windows makes). Only the pe_*.cpp sources include this.
#pragma once

#include "panel/hex.h"
#include "host/pe_image.h"

#include <cstring>
#include <string>
#include <string_view>

namespace q7host::pe_detail {

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

// A file the reader refuses, in the words of the one line that says why.
struct Malformed {
    std::string what;
};

// The image as the loader will lay it out, read through RVAs: every read
// must lie inside the image and is taken from the file where a section (or
// the headers) has raw data there, zeros elsewhere, as a loader maps it.
class LayoutView {
public:
    explicit LayoutView(const PeImage& img) : img_(img) {}
    void check(std::uint64_t rva, std::uint64_t n, const std::string& what) const {
        if (rva + n > img_.image_size) {
            throw Malformed{what + " lies outside the image (" + hex(rva) + ", " + std::to_string(n) +
                            " bytes, image " + hex(img_.image_size) + ")"};
        }
    }
    std::uint32_t u32(std::uint64_t rva, const std::string& what) const { return read<std::uint32_t>(rva, what); }
    std::uint16_t u16(std::uint64_t rva, const std::string& what) const { return read<std::uint16_t>(rva, what); }
    std::string name(std::uint64_t rva, const std::string& what) const {
        std::string s;
        for (std::size_t i = 0;; ++i) {
            if (i == kMaxName) throw Malformed{what + " is longer than " + std::to_string(kMaxName) + " characters"};
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

// A read an ImageReader refuses: it ends the lookup with `why`.
struct Unreadable {
    std::string why;
};

// Reads through an ImageReader as the lookups do.
class LookupReader {
public:
    explicit LookupReader(const ImageReader& r) : r_(r) {}
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

}  // namespace q7host::pe_detail
