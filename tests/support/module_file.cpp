#include "support/module_file.h"

#include <stdexcept>
#include <string>

namespace q7test {

const ModuleFile& ModuleFile::get() {
    static const ModuleFile m = [] {
        std::string error;
        auto image = q7host::PeImage::read_file(Q7_MODULE_FILE, error);
        if (!image) throw std::runtime_error(std::string(Q7_MODULE_FILE) + ": " + error);
        auto anatomy = q7fuzz::dissect(image->file, error);
        if (!anatomy) throw std::runtime_error(std::string(Q7_MODULE_FILE) + ": " + error);
        return ModuleFile{image->file, std::move(*image), std::move(*anatomy)};
    }();
    return m;
}

Bytes ModuleFile::mutant(const char* label) const {
    const q7fuzz::Mutant* m = q7fuzz::find_mutant(label);
    if (!m) throw std::runtime_error(std::string("no mutant ") + label);
    return q7fuzz::make_mutant(*m, file, anatomy);
}

Bytes ModuleFile::with_code(std::uint32_t rva, const Bytes& code) const {
    Bytes b = file;
    q7fuzz::put(b, offset(rva), code.data(), code.size());
    return b;
}

}  // namespace q7test
