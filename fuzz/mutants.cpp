// The structured mutants: the real module with one thing broken, each labelled
// and, where the outcome is certain, with the viewer's exit status on it (0
// shown, 1 the module misbehaved, 2 the file is unusable). The table comes in
// three parts (mutants_headers.cpp, mutants_tables.cpp, mutants_module.cpp),
// joined here in order.
#include "mutant_edits.h"

#include <vector>

namespace q7fuzz {

std::span<const Mutant> structured_mutants() {
    static const std::vector<Mutant> all = [] {
        std::vector<Mutant> v;
        for (auto half : {edits::header_mutants(), edits::table_mutants(), edits::module_mutants()})
            v.insert(v.end(), half.begin(), half.end());
        return v;
    }();
    return all;
}

Bytes make_mutant(const Mutant& m, const Bytes& module, const Anatomy& a) {
    Bytes b = module;
    if (m.edit) m.edit(b, a);
    return b;
}

const Mutant* find_mutant(const std::string& label) {
    for (const Mutant& m : structured_mutants()) {
        if (label == m.label) return &m;
    }
    return nullptr;
}

}  // namespace q7fuzz
