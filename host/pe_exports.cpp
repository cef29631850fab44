// What GetProcAddress finds in a module's export table, by name or by
// ordinal, over any view of the mapped image; and the whole table, read
// strictly, for the tools and tests that list it.
#include "pe_reading.h"

namespace q7host {

using namespace pe_detail;

namespace {

struct ExportDirectory {
    std::uint32_t base, functions, names, address_table, name_table, ordinal_table;
};

ExportDirectory export_directory(const LookupReader& r, const PeDirectory& dir) {
    const char* what = "the export directory";
    return {r.at<std::uint32_t>(dir.rva + 16ull, what), r.at<std::uint32_t>(dir.rva + 20ull, what),
            r.at<std::uint32_t>(dir.rva + 24ull, what), r.at<std::uint32_t>(dir.rva + 28ull, what),
            r.at<std::uint32_t>(dir.rva + 32ull, what), r.at<std::uint32_t>(dir.rva + 36ull, what)};
}

// The address table's entry `index`: 0 and forwarders are no export here.
ExportLookup export_at(const LookupReader& r, const PeDirectory& dir, const ExportDirectory& d, std::uint32_t index,
                       const std::string& what) {
    if (index >= d.functions) return {0, what + " is not in the export address table"};
    const auto rva = r.at<std::uint32_t>(d.address_table + 4ull * index, "the export address table");
    if (!rva) return {0, what + " has no address"};
    if (rva >= dir.rva && rva - dir.rva < dir.size) return {0, what + " is forwarded to another module"};
    return {rva, ""};
}

}  // namespace

ExportLookup find_export(const ImageReader& read, const PeDirectory& dir, std::string_view name) {
    const std::string what(name);
    if (!dir.rva) return {0, "the module exports nothing"};
    try {
        const LookupReader r(read);
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
            if (c < 0)
                hi = pos - 1;
            else
                lo = pos + 1;
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
        const LookupReader r(read);
        const ExportDirectory d = export_directory(r, dir);
        return export_at(r, dir, d, ordinal - d.base, what);
    } catch (const Unreadable& u) {
        return {0, u.why};
    }
}

std::optional<PeExportTable> list_exports(const PeImage& img, std::string& error) {
    const std::uint32_t rva = img.directories[PeImage::kExports].rva;
    PeExportTable t;
    if (!rva) return t;
    try {
        const LayoutView m(img);
        const std::string where = "the export directory";
        t.dll_name = m.name(m.u32(rva + 12ull, where), "the export table's module name");
        t.ordinal_base = m.u32(rva + 16ull, where);
        const auto nfunc = m.u32(rva + 20ull, where), nnames = m.u32(rva + 24ull, where);
        if (nfunc > kMaxExports || nnames > nfunc) {
            throw Malformed{"the export table lists " + std::to_string(nfunc) + " functions and " +
                            std::to_string(nnames) + " names"};
        }
        const auto funcs = m.u32(rva + 28ull, where), names = m.u32(rva + 32ull, where),
                   ords = m.u32(rva + 36ull, where);
        std::vector<std::string> name_of(nfunc);
        for (std::uint32_t k = 0; k < nnames; ++k) {
            const auto i = m.u16(ords + 2ull * k, "the export ordinal table");
            if (i >= nfunc)
                throw Malformed{"export name " + std::to_string(k + 1) + " names function " + std::to_string(i)};
            name_of[i] = m.name(m.u32(names + 4ull * k, "the export name table"), "an export name");
        }
        for (std::uint32_t i = 0; i < nfunc; ++i) {
            const auto f = m.u32(funcs + 4ull * i, "the export address table");
            if (f) t.exports.push_back({name_of[i], t.ordinal_base + i, f});
        }
    } catch (const Malformed& b) {
        error = b.what;
        return std::nullopt;
    }
    return t;
}

}  // namespace q7host
