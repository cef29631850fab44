// What FindResource and LoadResource find in a module's resource tree for a
// numeric type and id, over any view of the mapped image; and the whole tree,
// read strictly, for the tools and tests that list it.
#include "pe_reading.h"

#include <optional>
#include <utility>
#include <vector>

namespace q7host {

using namespace pe_detail;

namespace {

constexpr std::uint32_t kNeutral = 0x0000, kUsEnglish = 0x0409;
constexpr std::uint32_t kResourceDirectoryHeader = 16;  // IMAGE_RESOURCE_DIRECTORY

// One level of the resource tree: the entry with `id` among the directory's
// id entries, found by binary search; its offset (directory or data entry,
// as `want_directory` says) from the tree's root, or nothing.
std::optional<std::uint32_t> resource_entry(const LookupReader& r, std::uint32_t root, std::uint32_t dir,
                                            std::uint32_t id, bool want_directory) {
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
        if (key < id)
            lo = pos + 1;
        else
            hi = pos - 1;
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
    // A directory too small for its own header is none (the lookup Windows's
    // loader makes gives STATUS_RESOURCE_DATA_NOT_FOUND).
    if (dir.size < kResourceDirectoryHeader) {
        out.why = "the resource directory's size, " + std::to_string(dir.size) + " bytes, is less than a directory's " +
                  std::to_string(kResourceDirectoryHeader);
        return out;
    }
    try {
        const LookupReader r(read);
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

std::optional<PeResourceList> list_resources(const PeImage& img, std::string& error) {
    const std::uint32_t rva = img.directories[PeImage::kResources].rva;
    PeResourceList list;
    if (!rva) return list;
    try {
        const LayoutView m(img);
        // Type, name and language: three fixed levels, so a directory that
        // points back at itself cannot loop.
        auto entries = [&](std::uint32_t off) {
            const std::string where = "the resource directory at " + hex(off);
            const std::uint64_t table = std::uint64_t{rva} + off;
            const unsigned named = m.u16(table + 12, where), ids = m.u16(table + 14, where);
            if (named + ids > kMaxResourcesPerLevel) {
                throw Malformed{where + " lists " + std::to_string(named + ids) + " entries"};
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
                        throw Malformed{"more than " + std::to_string(kMaxResources) + " resources"};
                    }
                    const std::string what = "resource " + std::to_string(type) + "/" + std::to_string(id);
                    const std::uint64_t entry = std::uint64_t{rva} + l_off;
                    const auto data = m.u32(entry, what), bytes = m.u32(entry + 4, what);
                    total += bytes;
                    if (total > kMaxImageSize || std::uint64_t{data} + bytes > img.image_size) {
                        throw Malformed{what + "'s data lies outside the image"};
                    }
                    list.resources.push_back({type, id, lang, img.bytes_at(data, bytes)});
                }
            }
        }
    } catch (const Malformed& b) {
        error = b.what;
        return std::nullopt;
    }
    return list;
}

}  // namespace q7host
